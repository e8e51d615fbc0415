// Memory the module reads and owns: strided views of the caller's arrays and
// contiguous buffers of 8-byte elements.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvane {

// A read-only view of a one-dimensional array: element i is read at
// data + i * stride, for any byte stride (negative and zero included), so
// elements are always visited in index order.  Reads go through memcpy: an
// array may be unaligned.
template <class T>
struct StridedView {
    const char* data;
    std::ptrdiff_t length;
    std::ptrdiff_t stride;

    std::size_t size() const noexcept { return static_cast<std::size_t>(length); }
    bool contiguous() const noexcept { return stride == static_cast<std::ptrdiff_t>(sizeof(T)); }

    T operator[](std::size_t i) const noexcept {
        T v;
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof v);
        return v;
    }
};

// Large buffers ask the kernel for transparent huge pages: filling a
// 128 MiB copy costs 32768 page faults with 4 KiB pages and 64 with 2 MiB
// pages.  Only a hint; the one place that knows about the platform's pages.
inline constexpr std::size_t huge_page_threshold = std::size_t{4} << 20;

inline void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= huge_page_threshold) {
        const std::uintptr_t page = 4096;
        const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
        const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(page - 1);
        if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#else
    (void)p;
    (void)bytes;
#endif
}

// in_fresh_pages(out, n, from, to, write): writes elements [from, to) of a
// buffer of n elements, of which [0, from) have been written before and the
// rest never, as write(a, b) on consecutive pieces [a, b) in index order.
// A huge page is zeroed by the kernel at its first touch, 4 KiB at a time
// in an order that leaves the touched part for last (so that it is still in
// the cache).  Touched at its first byte, as a front-to-back copy does, the
// page is zeroed from its end downwards, and that measured 2.5 times slower
// than upwards (AMD EPYC Zen 4, Linux 6.18: both axes of 16,777,216
// entries, 32 against 12 ms of system time; glibc's memcpy, which copies
// such buffers back to front, gets the fast order by chance).  So where a
// buffer can have huge pages, each piece is one page, and before the first
// piece of a page its last element is written (with T{}, to be overwritten
// in turn).  Pages begun by an earlier call were touched by it.
#if defined(__linux__) && defined(MADV_HUGEPAGE)
inline constexpr std::size_t fresh_page_bytes = std::size_t{2} << 20;
#else
inline constexpr std::size_t fresh_page_bytes = 0;  // one piece
#endif

template <class T, class Write>
inline void in_fresh_pages(T* out, std::size_t n, std::size_t from, std::size_t to, Write&& write) noexcept {
    constexpr std::size_t page = fresh_page_bytes;
    if (page != 0 && n * sizeof(T) >= huge_page_threshold) {
        const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(out);
        while (from < to) {
            const std::uintptr_t at = base + from * sizeof(T);
            // The first element of the next page (elements never straddle one).
            const std::uintptr_t next_page = (at | (page - 1)) + 1;
            const std::size_t end = std::min(n, static_cast<std::size_t>(next_page - base) / sizeof(T));
            if (from == 0 || at % page == 0) *static_cast<volatile T*>(out + end - 1) = T{};
            const std::size_t stop = std::min(end, to);
            write(from, stop);
            from = stop;
        }
        return;
    }
    if (from < to) write(from, to);
}

// An owned contiguous buffer of n elements of an 8-byte type, from malloc
// (so that ownership of the memory can pass to a result array whose owner
// frees it with free()).  Allocation never throws: a failed allocation
// leaves an empty buffer for which ok() is false.  A borrowed buffer reads
// memory that something else owns, never changes and outlives the buffer
// (a table's adopted copy, kept alive by the table's Python object).
template <class T>
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), owned_(std::exchange(o.owned_, true)) {}
    Buffer& operator=(Buffer&& o) noexcept {
        if (this != &o) {
            if (owned_) std::free(data_);
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            owned_ = std::exchange(o.owned_, true);
        }
        return *this;
    }
    ~Buffer() {
        if (owned_) std::free(data_);
    }

    // n elements, uninitialised.  At least one element is allocated, so that
    // an empty buffer still has a valid address to hand over.
    static Buffer uninitialised(std::size_t n) noexcept {
        Buffer b;
        const std::size_t count = n == 0 ? 1 : n;
        if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) return b;  // no object is larger
        const std::size_t bytes = count * sizeof(T);
        void* p = std::malloc(bytes);
        if (p == nullptr) return b;
        advise_huge_pages(p, bytes);
        b.data_ = static_cast<T*>(p);
        b.size_ = n;
        return b;
    }

    // n elements at data, read in place and never freed.
    static Buffer borrowed(const T* data, std::size_t n) noexcept {
        Buffer b;
        b.data_ = const_cast<T*>(data);
        b.size_ = n;
        b.owned_ = false;
        return b;
    }

    bool ok() const noexcept { return data_ != nullptr; }
    std::size_t size() const noexcept { return size_; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

    // Gives up ownership (of an owned buffer); the caller frees the memory
    // with std::free.
    T* release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    bool owned_ = true;
};

}  // namespace quorvane
