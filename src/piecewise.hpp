// The interpolation table: sample points, their validation, and the halving
// search that answers exact hits and out-of-range queries and finds the
// segment of the others, in either direction.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "arrays.hpp"
#include "binary64.hpp"
#include "method.hpp"
#include "schemes.hpp"

namespace quorvane {

// ---------------------------------------------------------------------------
// Order of an axis's element type.  u64 and i64 compare as unsigned and
// signed integers; f64 by IEEE 754 ordered comparison: less-than is false
// when either operand is NaN, -0.0 equals +0.0, and the infinities order
// below and above every finite value.
// ---------------------------------------------------------------------------
template <class T>
struct Order {
    static constexpr bool has_nan = false;
    static constexpr bool less(T a, T b) noexcept { return a < b; }
    static constexpr bool is_nan(T) noexcept { return false; }
};

template <>
struct Order<double> {
    static constexpr bool has_nan = true;
    static constexpr bool less(double a, double b) noexcept { return a < b; }
    static constexpr bool is_nan(double v) noexcept { return binary64::is_nan(v); }
};

// Where a key falls on an axis: an exact index (axis[index] == key), or an
// insertion point 0 <= index <= n with axis[index-1] < key < axis[index]
// (axis[-1] counting as below everything and axis[n] as above).  unordered
// is set when some comparison met a NaN; the position is then meaningless.
struct Located {
    std::size_t index;
    bool exact;
    bool unordered;
};

// ---------------------------------------------------------------------------
// locate: the reference halving search.
//
// Contract: n >= 1.  Makes exactly ceil(log2 n) passes, never stopping early
// on an equal probe, then probes once more.  Each pass selects the new base
// between two indices by a comparison, not by a data-dependent branch.  On a
// strictly increasing axis the answer is unique, which is what lets the batch
// searches below answer the same by other routes.
// ---------------------------------------------------------------------------
template <class T>
Located locate(const T* axis, std::size_t n, T key) noexcept {
    std::size_t size = n;
    std::size_t base = 0;
    bool unordered = false;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        unordered |= Order<T>::is_nan(key) || Order<T>::is_nan(axis[mid]);
        base = Order<T>::less(key, axis[mid]) ? base : mid;
        size -= half;
    }
    const T probe = axis[base];
    unordered |= Order<T>::is_nan(key) || Order<T>::is_nan(probe);
    if (unordered) return {0, false, true};
    if (probe == key) return {base, true, false};
    return {Order<T>::less(probe, key) ? base + 1 : base, false, false};
}

// no_descent(a, n): true when every adjacent pair satisfies a[k] < a[k+1] in
// the type's order (true for n <= 1).  Without an early exit, so that the
// compiler can vectorise it; compiled for AVX2 as well where the platform
// dispatches on the CPU (the one place that does).  Run on blocks of a few
// hundred elements while a table is copied.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define QUORVANE_CPU_DISPATCH __attribute__((target_clones("avx2", "default")))
#else
#define QUORVANE_CPU_DISPATCH
#endif

namespace order_check {
#define QUORVANE_NO_DESCENT(T)                                                       \
    QUORVANE_CPU_DISPATCH static bool no_descent(const T* a, std::size_t n) noexcept { \
        unsigned bad = 0;                                                             \
        for (std::size_t k = 1; k < n; ++k) bad |= !Order<T>::less(a[k - 1], a[k]) ? 1u : 0u; \
        return bad == 0;                                                              \
    }
QUORVANE_NO_DESCENT(std::uint64_t)
QUORVANE_NO_DESCENT(std::int64_t)
QUORVANE_NO_DESCENT(double)
#undef QUORVANE_NO_DESCENT
}  // namespace order_check

// ---------------------------------------------------------------------------
// Batch searches.  They answer every key exactly as locate does on a strictly
// increasing axis (the only kind the table searches); keys that are NaN get
// a meaningless position and are rejected by the caller before it is used.
// ---------------------------------------------------------------------------
namespace search {

// Queries searched together.  Enough independent loads in flight to hide
// memory latency on tables beyond the caches, few enough to stay in registers.
inline constexpr std::size_t group = 16;

// The passes of locate for `group` keys at once, one pass of every key at a
// time, over windows of `size` elements: element(j, i) is element i of key
// j's window.  base[j] starts at 0 and ends at the window offset of key j's
// final probe.
template <class T, class Element>
inline void halving_passes(std::size_t size, const T* keys, std::size_t* base, Element element) noexcept {
    while (size > 1) {
        const std::size_t half = size / 2;
        for (std::size_t j = 0; j < group; ++j) {
            const std::size_t mid = base[j] + half;
            base[j] = Order<T>::less(keys[j], element(j, mid)) ? base[j] : mid;
        }
        size -= half;
    }
}

// locate's last step: the final probe at axis[b] gives the exact index or the
// insertion point.
template <class T>
inline Located settle(const T* axis, std::size_t b, T key) noexcept {
    const T probe = axis[b];
    const bool exact = probe == key;
    return {b + ((!exact && Order<T>::less(probe, key)) ? 1 : 0), exact, false};
}

// Lockstep halving search of `group` keys over axis[0, n), so that their
// probes overlap in the memory system.  (Measured here: software prefetch of
// the next passes' candidates only adds traffic; the out-of-order core
// already keeps the group's loads in flight.)
template <class T>
inline void lockstep(const T* axis, std::size_t n, const T* keys, Located* out) noexcept {
    std::size_t base[group] = {};
    halving_passes(n, keys, base, [axis](std::size_t, std::size_t i) { return axis[i]; });
    for (std::size_t j = 0; j < group; ++j) out[j] = settle(axis, base[j], keys[j]);
}

// Two-level lockstep search for tables far beyond the caches.  A summary
// holds every B-th element (B a power of two, at most 8192 entries, 64 KiB:
// it stays in the first- or second-level cache); the group is searched there
// first, then in the window of B elements that its summary entry opens.  The
// passes over the whole table that lockstep() would spend on lines of the
// last-level cache or of memory become passes over the summary.  Measured
// here on 16,777,216 entries: a quarter less time per query.
inline constexpr std::size_t summary_from = std::size_t{1} << 20;  // table entries
inline constexpr std::size_t summary_entries = 8192;

// The block size B for a table of n >= summary_from entries.
inline std::size_t summary_block(std::size_t n) noexcept {
    std::size_t b = 1;
    while ((n + b - 1) / b > summary_entries) b <<= 1;
    return b;
}

// summary[k] = axis[k * block] for every k * block < n.
template <class T>
inline void fill_summary(const T* axis, std::size_t n, std::size_t block, T* summary) noexcept {
    for (std::size_t k = 0; k * block < n; ++k) summary[k] = axis[k * block];
}

// Contract: axis strictly increasing, n >= block, summary as filled above
// with ns entries.  A key's lower bound lies in [s, s + block] where s is the
// start of the block its summary search ends in (the next block starts
// above the key), so a window of `block` elements from s, moved back to end
// at n for the last block, holds it as an index or as the insertion point
// at the window's end.
template <class T>
inline void two_level(const T* axis, std::size_t n, const T* summary, std::size_t ns, std::size_t block,
                      const T* keys, Located* out) noexcept {
    std::size_t base[group] = {};
    halving_passes(ns, keys, base, [summary](std::size_t, std::size_t i) { return summary[i]; });
    std::size_t start[group];
    for (std::size_t j = 0; j < group; ++j) {
        const std::size_t s = base[j] * block;
        start[j] = s + block > n ? n - block : s;
        base[j] = 0;
    }
    halving_passes(block, keys, base, [axis, &start](std::size_t j, std::size_t i) { return axis[start[j] + i]; });
    for (std::size_t j = 0; j < group; ++j) out[j] = settle(axis, start[j] + base[j], keys[j]);
}

// Lower bound of key, given the lower bound `hint` of a key not above it:
// a few steps forward one element at a time (sorted batches mostly move a
// handful of elements per query, and a sequential walk is what the memory
// system streams best), then galloping and halving for longer distances.
template <class T>
inline std::size_t advance(const T* axis, std::size_t n, std::size_t hint, T key) noexcept {
    constexpr std::size_t walk = 16;
    const std::size_t stop = n - hint < walk ? n : hint + walk;
    while (hint < stop && Order<T>::less(axis[hint], key)) ++hint;
    if (hint < stop || hint == n) return hint;
    // axis[hint - 1] < key: gallop from there.
    std::size_t lo = hint - 1;
    std::size_t hi = n;
    for (std::size_t step = 1;; step <<= 1) {
        if (step >= n - lo) break;
        const std::size_t probe = lo + step;
        if (!Order<T>::less(axis[probe], key)) {
            hi = probe;
            break;
        }
        lo = probe;
    }
    while (hi - lo > 1) {  // axis[lo] < key <= axis[hi] (axis[n] above all)
        const std::size_t mid = lo + (hi - lo) / 2;
        if (Order<T>::less(axis[mid], key)) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return hi;
}

// How far ahead of a sorted walk to prefetch both axes, in elements, and
// from which table size on.  The walk reads two arrays at the same index;
// measured here, the hardware prefetcher alone leaves it at a third of the
// memory bandwidth on tables beyond the last-level cache.
inline constexpr std::size_t stream_ahead = 512;
inline constexpr std::size_t stream_from = std::size_t{1} << 17;

}  // namespace search

// The outcome of a batch: Status::Ok when every query was answered, or the
// index of the first query that failed and how.  Status::Interrupted means
// the poll asked to stop before `index`.
struct BatchOutcome {
    std::size_t index;
    Status status;
};

// Queries between two polls of the caller (for pending signals).
inline constexpr std::size_t poll_interval = std::size_t{1} << 20;

// ---------------------------------------------------------------------------
// Interp: the table of sample points, generic over the coordinate type X and
// the value type F.  It owns its two sequences, which never change after
// construction; both order flags are computed once, whichever direction the
// caller is going to use.  Ordering never fails construction: an axis that
// is not strictly increasing only surfaces from a lookup in the direction
// that needs it.
// ---------------------------------------------------------------------------
template <class X, class F>
class Interp {
public:
    enum class Build { Ok, LengthMismatch, NoMemory };

    // Interp::new: takes over two sequences of equal length and walks each
    // once for its flag.
    Interp(Buffer<X> xp, Buffer<F> fp) noexcept
        : xp_(std::move(xp)), fp_(std::move(fp)), n_(xp_.size()),
          xp_increasing_(order_check::no_descent(xp_.data(), n_)),
          fp_increasing_(order_check::no_descent(fp_.data(), n_)) {}

    // The same table built from views of the caller's arrays: copies each in
    // index order and finds its flag in the same pass.
    static Build from_views(StridedView<X> xv, StridedView<F> fv, std::optional<Interp>& out) noexcept {
        if (xv.size() != fv.size()) return Build::LengthMismatch;
        Buffer<X> xp = Buffer<X>::uninitialised(xv.size());
        if (!xp.ok()) return Build::NoMemory;
        const bool xinc = copy_checking(xv, xp.data());
        Buffer<F> fp = Buffer<F>::uninitialised(fv.size());
        if (!fp.ok()) return Build::NoMemory;
        const bool finc = copy_checking(fv, fp.data());
        out.emplace(std::move(xp), std::move(fp), xinc, finc);
        return Build::Ok;
    }

    Interp(Buffer<X> xp, Buffer<F> fp, bool xp_increasing, bool fp_increasing) noexcept
        : xp_(std::move(xp)), fp_(std::move(fp)), n_(xp_.size()), xp_increasing_(xp_increasing),
          fp_increasing_(fp_increasing) {}

    std::size_t size() const noexcept { return n_; }
    bool xp_strictly_increasing() const noexcept { return xp_increasing_; }
    bool fp_strictly_increasing() const noexcept { return fp_increasing_; }

    // -----------------------------------------------------------------------
    // Interp::forward: the value at coordinate x.
    //   xp not strictly increasing  NotStrictlyIncreasing (before anything)
    //   empty table                 OutOfBounds
    //   x == xp[i]                  fp[i] as stored, no arithmetic
    //   x < xp[0] or x > xp[n-1]    OutOfBounds (never clamps)
    //   xp[i-1] < x < xp[i]         the forward scheme on that segment
    // -----------------------------------------------------------------------
    Lookup<F> forward(X x) const noexcept {
        if (!xp_increasing_) return fail<F>(Status::NotStrictlyIncreasing);
        if (n_ == 0) return fail<F>(Status::OutOfBounds);
        const Located at = locate(xp_.data(), n_, x);
        return forward_at(x, at);
    }

    // -----------------------------------------------------------------------
    // Interp::inverse: the coordinate of value f under a method.
    //   fp not strictly increasing  NotStrictlyIncreasing (before anything)
    //   empty table                 OutOfBounds, f not examined
    //   unordered comparison        NanOrInf (a NaN f, or a single NaN sample)
    //   f == fp[i]                  xp[i], whatever the method
    //   f < fp[0]                   xp[0] for Nearest/Bfill, else OutOfBounds
    //   f > fp[n-1]                 xp[n-1] for Nearest/Ffill, else OutOfBounds
    //   fp[i-1] < f < fp[i]         the inverse scheme; none -> NotFound
    // -----------------------------------------------------------------------
    Lookup<X> inverse(F f, Method method) const noexcept {
        if (!fp_increasing_) return fail<X>(Status::NotStrictlyIncreasing);
        if (n_ == 0) return fail<X>(Status::OutOfBounds);
        const Located at = locate(fp_.data(), n_, f);
        if (at.unordered) return fail<X>(Status::NanOrInf);
        return inverse_at(f, at, method);
    }

    // -----------------------------------------------------------------------
    // Batches: every query of the view in index order, answers into out[i],
    // stopping at the first failing query.  The answers, and which query
    // fails first and how, are those of forward() and inverse() one query at
    // a time; only the search takes faster routes.  poll() is called every
    // poll_interval queries; returning false stops the batch (Interrupted).
    // -----------------------------------------------------------------------
    template <class Poll>
    BatchOutcome forward_batch(StridedView<X> queries, F* out, Poll&& poll) const noexcept {
        if (queries.size() == 0) return {0, Status::Ok};
        if (!xp_increasing_) return {0, Status::NotStrictlyIncreasing};
        if (n_ == 0) return {0, Status::OutOfBounds};
        return run(xp_.data(), fp_.data(), queries, poll, [&](std::size_t i, X x, const Located& at) noexcept {
            const Lookup<F> r = forward_at(x, at);
            out[i] = r.value;
            return r.status;
        });
    }

    template <class Poll>
    BatchOutcome inverse_batch(StridedView<F> queries, Method method, X* out, Poll&& poll) const noexcept {
        if (queries.size() == 0) return {0, Status::Ok};
        if (!fp_increasing_) return {0, Status::NotStrictlyIncreasing};
        if (n_ == 0) return {0, Status::OutOfBounds};
        // One sample that is NaN: every comparison with it is unordered.
        if (n_ == 1 && Order<F>::is_nan(fp_[0])) return {0, Status::NanOrInf};
        return run(fp_.data(), xp_.data(), queries, poll, [&](std::size_t i, F f, const Located& at) noexcept {
            if (Order<F>::is_nan(f)) return Status::NanOrInf;
            const Lookup<X> r = inverse_at(f, at, method);
            out[i] = r.value;
            return r.status;
        });
    }

private:
    Lookup<F> forward_at(X x, const Located& at) const noexcept {
        if (at.exact) return ok(fp_[at.index]);
        if (at.index == 0 || at.index == n_) return fail<F>(Status::OutOfBounds);
        const std::size_t i = at.index;
        return Forward<X, F>::forward(x, xp_[i - 1], xp_[i], fp_[i - 1], fp_[i]);
    }

    Lookup<X> inverse_at(F f, const Located& at, Method method) const noexcept {
        if (at.exact) return ok(xp_[at.index]);
        if (at.index == 0) return clamps_below(method) ? ok(xp_[0]) : fail<X>(Status::OutOfBounds);
        if (at.index == n_) return clamps_above(method) ? ok(xp_[n_ - 1]) : fail<X>(Status::OutOfBounds);
        const std::size_t i = at.index;
        return Inverse<F, X>::inverse(f, xp_[i - 1], xp_[i], fp_[i - 1], fp_[i], method);
    }

    // Copy a view into out, in index order, and say whether it is strictly
    // increasing.  Block by block, so that the check reads what was just
    // written while it is still in the first-level cache.
    //
    // A contiguous table larger than the caches is copied with streaming
    // stores and checked on the source block just read; the copy would not
    // stay in the caches anyway, and the queries read it back from memory.
    template <class T>
    static bool copy_checking(StridedView<T> v, T* out) noexcept {
        const std::size_t n = v.size();
        constexpr std::size_t block = 512;
        constexpr std::size_t streaming_from = std::size_t{1} << 20;  // elements (8 MiB)
        const bool streaming = v.contiguous() && n >= streaming_from;
        bool increasing = true;
        for (std::size_t start = 0; start < n; start += block) {
            const std::size_t len = std::min(block, n - start);
            const char* src = v.data + static_cast<std::ptrdiff_t>(start * sizeof(T));
            if (streaming) {
                copy_streaming(out + start, src, len);
            } else if (v.contiguous()) {
                std::memcpy(out + start, src, len * sizeof(T));
            } else {
                for (std::size_t k = 0; k < len; ++k) out[start + k] = v[start + k];
            }
            if (!increasing) continue;
            // The block and the element before it: pairs (start-1, start) ..
            // (start+len-2, start+len-1).  Streamed stores bypass the caches,
            // so then the source block just read is checked instead, in place
            // when aligned (NumPy's arrays are, as a rule).
            const std::size_t from = start == 0 ? 0 : 1;
            const T* pairs = out + start - from;
            T staged[block + 1];
            if (streaming) {
                const char* first = src - from * sizeof(T);
                if (reinterpret_cast<std::uintptr_t>(first) % alignof(T) == 0) {
                    pairs = reinterpret_cast<const T*>(first);
                } else {
                    std::memcpy(staged, first, (len + from) * sizeof(T));
                    pairs = staged;
                }
            }
            increasing = order_check::no_descent(pairs, len + from);
        }
        if (streaming) finish_streaming();
        return increasing;
    }

    // The batch driver: searches groups of queries and hands each query's
    // position to `answer` in index order.
    //
    // A group of keys that are sorted and not below the previous group's last
    // key (sorted input) walks forward from the previous lower bound, one
    // key after the other, prefetching both axes ahead of the walk on large
    // tables.  Any other group is searched over the whole axis in lockstep,
    // through the summary on large tables.
    // NaN keys fail the sortedness test, so the walk's precondition (a key
    // not below the one whose lower bound is the hint) always holds.
    template <class K, class O, class Poll, class Answer>
    BatchOutcome run(const K* axis, const O* other, StridedView<K> queries, Poll& poll,
                     Answer&& answer) const noexcept {
        constexpr std::size_t G = search::group;
        const std::size_t m = queries.size();
        const std::size_t n = n_;
        const bool stream = n >= search::stream_from;
        std::size_t hint = 0;  // lower bound of `last`
        bool have_last = false;
        K last{};
        std::size_t next_poll = poll_interval;
        K keys[G];
        Located at[G];
        // The summary of a large table, made by the first unsorted group
        // (without it, if its 64 KiB cannot be had, lockstep() serves).
        Buffer<K> summary;
        const std::size_t block = n >= search::summary_from ? search::summary_block(n) : 0;
        for (std::size_t i = 0; i < m; i += G) {
            const std::size_t g = std::min(G, m - i);
            for (std::size_t j = 0; j < g; ++j) keys[j] = queries[i + j];
            bool sorted = have_last && last <= keys[0];
            for (std::size_t j = 1; j < g; ++j) sorted &= keys[j - 1] <= keys[j];
            if (sorted) {
                for (std::size_t j = 0; j < g; ++j) {
                    hint = search::advance(axis, n, hint, keys[j]);
                    at[j] = {hint, hint < n && axis[hint] == keys[j], false};
                    if (stream) {
                        __builtin_prefetch(axis + std::min(hint + search::stream_ahead, n - 1));
                        __builtin_prefetch(other + std::min(hint + search::stream_ahead, n - 1));
                    }
                }
            } else if (g == G) {
                if (n >= search::summary_from && !summary.ok()) {
                    summary = Buffer<K>::uninitialised(search::summary_entries);
                    if (summary.ok()) search::fill_summary(axis, n, block, summary.data());
                }
                if (summary.ok()) {
                    search::two_level(axis, n, summary.data(), (n + block - 1) / block, block, keys, at);
                } else {
                    search::lockstep(axis, n, keys, at);
                }
            } else {
                for (std::size_t j = 0; j < g; ++j) at[j] = locate(axis, n, keys[j]);
            }
            last = keys[g - 1];
            have_last = true;
            hint = at[g - 1].index;
            for (std::size_t j = 0; j < g; ++j) {
                const Status s = answer(i + j, keys[j], at[j]);
                if (s != Status::Ok) return {i + j, s};
            }
            if (i + g >= next_poll && i + g < m) {
                next_poll += poll_interval;
                if (!poll()) return {i + g, Status::Interrupted};
            }
        }
        return {m, Status::Ok};
    }

    Buffer<X> xp_;
    Buffer<F> fp_;
    std::size_t n_;
    bool xp_increasing_;
    bool fp_increasing_;
};

}  // namespace quorvane
