// The fuzzer's bytes, read front to back; zeros once they run out, so that
// every input, however short, decodes to a whole case.
#pragma once

#include <cstddef>
#include <cstdint>

class Reader {
public:
    Reader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    std::uint8_t byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    // k bytes, little-endian.
    std::uint64_t bytes(int k) {
        std::uint64_t v = 0;
        for (int i = 0; i < k; ++i) v |= std::uint64_t{byte()} << (8 * i);
        return v;
    }
    bool done() const { return n_ == 0; }
    const std::uint8_t* at() const { return p_; }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};
