// Content digests of tables: XXH64 (Yann Collet's 64-bit xxHash) over the
// bytes of an array of 64-bit words, under two seeds at once, so that one
// pass over memory gives 128 bits.  A table is immutable, so its digest is
// computed once and kept: it names the table in task graphs (equal tables,
// equal names), where hashing 256 MiB on every graph would cost more than
// the work.  Not a cryptographic hash: two different tables made on purpose
// may collide, two tables met by chance do with probability about 2^-128.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorvane::digest {

inline constexpr std::uint64_t p1 = 0x9E3779B185EBCA87ULL;
inline constexpr std::uint64_t p2 = 0xC2B2AE3D27D4EB4FULL;
inline constexpr std::uint64_t p3 = 0x165667B19E3779F9ULL;
inline constexpr std::uint64_t p4 = 0x85EBCA77C2B2AE63ULL;
inline constexpr std::uint64_t p5 = 0x27D4EB2F165667C5ULL;

constexpr std::uint64_t rotl(std::uint64_t v, int r) noexcept { return (v << r) | (v >> (64 - r)); }

constexpr std::uint64_t round(std::uint64_t acc, std::uint64_t input) noexcept {
    return rotl(acc + input * p2, 31) * p1;
}

constexpr std::uint64_t merge(std::uint64_t acc, std::uint64_t lane) noexcept {
    return (acc ^ round(0, lane)) * p1 + p4;
}

// The state of one seed: four lanes, each taking every fourth word.
struct Lanes {
    std::uint64_t v[4];
    explicit constexpr Lanes(std::uint64_t seed) noexcept : v{seed + p1 + p2, seed + p2, seed, seed - p1} {}
};

// The digests of the n words at data (of any 8-byte element type: their bit
// patterns) under both seeds, as XXH64 reads their bytes on a little-endian
// machine (on a big-endian one each word is taken by value, which gives the
// same digests for the same numbers).  Unaligned data is read as well:
//   n < 4        no stripes: h = seed + p5
//   n >= 4       the lanes over the whole stripes of four words, merged
//   then         h += 8n; each remaining word folds in; avalanche
inline void xxh64_words(const void* data, std::size_t n, const std::uint64_t (&seeds)[2],
                        std::uint64_t (&out)[2]) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(data);
    const auto word = [bytes](std::size_t i) noexcept {
        std::uint64_t v;
        std::memcpy(&v, bytes + i * sizeof v, sizeof v);
        return v;
    };
    std::uint64_t h[2];
    std::size_t k = 0;
    if (n >= 4) {
        Lanes a(seeds[0]), b(seeds[1]);
        for (; k + 4 <= n; k += 4) {
            for (std::size_t j = 0; j < 4; ++j) {
                const std::uint64_t v = word(k + j);
                a.v[j] = round(a.v[j], v);
                b.v[j] = round(b.v[j], v);
            }
        }
        for (int s = 0; s < 2; ++s) {
            const std::uint64_t* v = s == 0 ? a.v : b.v;
            std::uint64_t acc = rotl(v[0], 1) + rotl(v[1], 7) + rotl(v[2], 12) + rotl(v[3], 18);
            for (int j = 0; j < 4; ++j) acc = merge(acc, v[j]);
            h[s] = acc;
        }
    } else {
        h[0] = seeds[0] + p5;
        h[1] = seeds[1] + p5;
    }
    for (int s = 0; s < 2; ++s) {
        std::uint64_t acc = h[s] + static_cast<std::uint64_t>(n) * 8;
        for (std::size_t r = k; r < n; ++r) acc = rotl(acc ^ round(0, word(r)), 27) * p1 + p4;
        acc ^= acc >> 33;
        acc *= p2;
        acc ^= acc >> 29;
        acc *= p3;
        acc ^= acc >> 32;
        out[s] = acc;
    }
}


}  // namespace quorvane::digest
