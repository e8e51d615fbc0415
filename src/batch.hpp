// Answering a batch of queries through a table, for both interfaces: the
// batch searches, which find many keys' places on a strictly increasing
// axis at once; the driver, which walks the queries in index order; the
// partitioned route for large unsorted batches on large tables; and
// answer_chunk, the one place that picks between them.  The one-call
// functions run it on their per-call copy (a table filled as the batch
// goes) through forward_batch / inverse_batch; prepared tables run it on
// their complete table, chunk by chunk, from prepared.hpp.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "arrays.hpp"
#include "ladder.hpp"
#include "method.hpp"
#include "piecewise.hpp"
#include "schemes.hpp"

namespace quorvane {

// ---------------------------------------------------------------------------
// Batch searches.  They give each key's lower bound: the first index whose
// element is not below the key, n if there is none.  On a strictly
// increasing axis (the only kind the table searches) that is the index
// locate gives, exact or not, and the key is exact when the element there
// equals it, which the caller tests on the element it loads anyway.  Keys
// that are NaN get a meaningless bound and are rejected by the caller before
// it is used.
// ---------------------------------------------------------------------------
namespace search {

// Queries searched together.  Enough independent loads in flight to hide
// memory latency on tables beyond the caches, few enough to stay in registers.
inline constexpr std::size_t group = 16;

// The passes of locate for `group` keys at once, one pass of every key at a
// time, over windows of `size` elements: element(j, i) is element i of key
// j's window.  base[j] ends at the window offset of key j's final probe, as
// if it had started at 0.
template <class T, class Element>
inline void halving_passes(std::size_t size, const T* keys, std::size_t* base, Element element) noexcept {
    // The first pass sets every base (from 0), so that no separate zeroing of
    // the array is needed: compilers make that a string store, whose start-up
    // costs more than a pass.
    if (size <= 1) {
        for (std::size_t j = 0; j < group; ++j) base[j] = 0;
        return;
    }
    {
        const std::size_t half = size / 2;
        for (std::size_t j = 0; j < group; ++j) base[j] = Order<T>::less(keys[j], element(j, half)) ? 0 : half;
        size -= half;
    }
    while (size > 1) {
        const std::size_t half = size / 2;
        for (std::size_t j = 0; j < group; ++j) {
            const std::size_t mid = base[j] + half;
            base[j] = Order<T>::less(keys[j], element(j, mid)) ? base[j] : mid;
        }
        size -= half;
    }
}

// locate's last step: the final probe at axis[b], the last element of the
// passes' window not above key (or its first one), gives the lower bound.
template <class T>
inline std::size_t settle(const T* axis, std::size_t b, T key) noexcept {
    return b + (Order<T>::less(axis[b], key) ? 1 : 0);
}

// Lockstep halving search of `group` keys over axis[0, n), so that their
// probes overlap in the memory system.  (Measured here: software prefetch of
// the next passes' candidates only adds traffic; the out-of-order core
// already keeps the group's loads in flight.)
template <class T>
inline void lockstep(const T* axis, std::size_t n, const T* keys, std::size_t* out) noexcept {
    std::size_t base[group];
    halving_passes(n, keys, base, [axis](std::size_t, std::size_t i) { return axis[i]; });
    for (std::size_t j = 0; j < group; ++j) out[j] = settle(axis, base[j], keys[j]);
}

// Two-level lockstep search for tables beyond the first-level cache.  A
// summary holds every B-th element (B a power of two, at most 8192 entries,
// 64 KiB: it stays in the first- or second-level cache); the group is
// searched there first, then in the window of B elements that its summary
// entry opens.  The passes over the whole table that lockstep() would spend
// on lines of the outer caches or of memory become passes over the summary.
// Measured here: a quarter less time per query on 16,777,216 entries, a
// fifth on 65,536.  Making it costs a read per entry, so a batch makes it
// only when at least as many queries remain.
inline constexpr std::size_t summary_from = std::size_t{1} << 15;  // table entries
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

// The first element of summary block b's window of `block` elements on an
// axis of n >= block: the block's start, moved back for the last block so
// that the window ends at n.
inline std::size_t window_start(std::size_t b, std::size_t block, std::size_t n) noexcept {
    return b * block + block > n ? n - block : b * block;
}

// A guide to the summary: the summary's entries bucketed by value, so that
// a key's summary block is found in a pass or two instead of the thirteen
// of a halving search over 8,192 entries.  The ranks of the entries (see
// Order::rank) are measured from the first one's, `low`, and shifted down
// by `shift`, so that they fall in `cells` cells; counts[c] is the number
// of entries whose cell is below c (counts[cells] = ns).  A key in cell c
// (cells below 0 and above the last clamped to them) lies above every
// entry of the cells below and below every entry of the cells above, so
// its block, the last entry not above it, lies in [counts[c] - 1,
// counts[c + 1] - 1] (0 at the least).  With twice as many cells as
// entries, on an axis of evenly spread entries nearly every such range
// holds one or two: the group's halving passes over the widest of them are
// one or two.  Measured here, 1,048,576 random queries on 16,777,216
// entries through the partitioned route: the summary search from 11.1 to
// 6.2 ns per query.  Worked case: entries {0, 100, 200, 300} in 8 cells,
// shift 6 (300 >> 6 = 4 < 8): cells 0, 1, 3, 4, counts {0, 1, 2, 2, 3, 4,
// 4, 4, 4}; key 150 is in cell 2: block in [1, 1], entry 100.
struct Guide {
    const std::uint16_t* counts = nullptr;
    std::size_t cells = 0;
    unsigned shift = 0;
    std::uint64_t low = 0;

    // The cell of a rank, those below the first clamped to it and those
    // beyond the last to that one: so every rank has a cell, on any
    // summary (one of an axis that turns out not to be increasing, too).
    std::size_t cell(std::uint64_t r) const noexcept {
        return r < low ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>((r - low) >> shift, cells - 1));
    }
};

// The guide's cells for the ns entries of a summary (ns <= summary_entries),
// counts with room for cells + 1.  Only a strictly increasing summary's
// guide finds its blocks; any other's stays within the summary.
inline std::size_t guide_cells(std::size_t ns) noexcept { return 2 * std::bit_ceil(ns); }

// A guide whose fullest cell holds more entries than this is not used
// (counts left null): its groups would still take five passes or more, and
// ranking the keys costs about as much as the passes saved.  Evenly spread
// integers fill a cell with one or two; doubles spread evenly over
// [-3.3e7, 3.3e7] put half the entries in the top binade's few cells, some
// 256 to a cell, and measured 11% slower through the guide (65,536 entries,
// 1,048,576 random queries).
inline constexpr std::uint16_t guide_fullest = 16;

template <class T>
inline Guide fill_guide(const T* summary, std::size_t ns, std::uint16_t* counts) noexcept {
    static_assert(summary_entries < 65536, "counts of 16 bits");
    Guide g{counts, guide_cells(ns), 0, Order<T>::rank(summary[0])};
    const std::uint64_t span = Order<T>::rank(summary[ns - 1]) - g.low;
    while ((span >> g.shift) >= g.cells) ++g.shift;
    std::fill(counts, counts + g.cells + 1, std::uint16_t{0});
    for (std::size_t k = 0; k < ns; ++k) ++counts[g.cell(Order<T>::rank(summary[k])) + 1];
    std::uint16_t fullest = 0;
    for (std::size_t c = 0; c < g.cells; ++c) {
        fullest = std::max(fullest, counts[c + 1]);
        counts[c + 1] = static_cast<std::uint16_t>(counts[c + 1] + counts[c]);
    }
    if (fullest > guide_fullest) g.counts = nullptr;
    return g;
}

// The summary blocks of `group` keys: out[j] is the last k with
// summary[k] <= keys[j], or 0 when there is none, which is what halving
// passes over the whole summary give (for a NaN key too: it ranks in the
// last cell and goes up at every pass, to ns - 1).  The passes run over a
// window of every key's range, the width of the widest (or the whole
// summary), moved back to end at ns; without a guide, over the whole.
template <class T>
inline void summary_blocks(const T* summary, std::size_t ns, const Guide& guide, const T* keys,
                           std::size_t* out) noexcept {
    if (guide.counts == nullptr) {
        halving_passes(ns, keys, out, [summary](std::size_t, std::size_t i) { return summary[i]; });
        return;
    }
    std::size_t first[group];
    std::size_t widest = 0;
    for (std::size_t j = 0; j < group; ++j) {
        const std::size_t c = guide.cell(Order<T>::rank(keys[j]));
        const std::size_t lo = std::max<std::size_t>(guide.counts[c], 1) - 1;
        const std::size_t hi = std::max<std::size_t>(guide.counts[c + 1], 1) - 1;
        first[j] = lo;
        widest |= hi - lo;  // at least the widest range
    }
    const std::size_t width = std::min(std::bit_ceil(widest + 1), ns);
    for (std::size_t j = 0; j < group; ++j) first[j] = std::min(first[j], ns - width);
    halving_passes(width, keys, out, [summary, &first](std::size_t j, std::size_t i) { return summary[first[j] + i]; });
    for (std::size_t j = 0; j < group; ++j) out[j] += first[j];
}

// Contract: axis strictly increasing, n >= block, summary as filled above
// with ns entries, and its guide.  A key's lower bound lies in [s, s +
// block] where s is the start of the block its summary search ends in (the
// next block starts above the key), so a window of `block` elements from s,
// moved back to end at n for the last block, holds it as an index or as the
// insertion point at the window's end.  Out of line: one call per group
// costs nothing measurable, and the batch loop's hot code stays compact
// (measured here: a fourteenth less time per query on 65,536 entries,
// random queries).
template <class T>
[[gnu::noinline]] inline void two_level(const T* axis, std::size_t n, const T* summary, std::size_t ns,
                                        std::size_t block, const Guide& guide, const T* keys, std::size_t* out) noexcept {
    std::size_t base[group];
    summary_blocks(summary, ns, guide, keys, base);
    std::size_t start[group];
    for (std::size_t j = 0; j < group; ++j) start[j] = window_start(base[j], block, n);
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

// The lower bounds of a sorted group of `group` keys, all in [lo, hi]: lo is
// the lower bound of a key not above keys[0], and hi is n or an index whose
// element is not below keys[group - 1].  The keys are then independent of
// each other, so the halving passes of all of them run in lockstep over the
// window axis[lo, hi) instead of one walk after the other: a walk's every
// step waits for the one before.  A key whose bound is hi ends on the
// window's last element, which is below it.  Worked case: window {10, 20,
// 30} and key 25, the passes end at offset 1 (20 <= 25 < 30), and 20 < 25
// gives lo + 2; key 35 ends at offset 2, and 30 < 35 gives hi = lo + 3.
template <class T>
inline void sorted_group(const T* axis, std::size_t lo, std::size_t hi, const T* keys, std::size_t* out) noexcept {
    if (hi == lo) {
        for (std::size_t j = 0; j < group; ++j) out[j] = lo;
        return;
    }
    std::size_t base[group];
    const T* window = axis + lo;
    halving_passes(hi - lo, keys, base, [window](std::size_t, std::size_t i) { return window[i]; });
    for (std::size_t j = 0; j < group; ++j) out[j] = lo + settle(window, base[j], keys[j]);
}

// How far ahead of a sorted walk to prefetch both axes, in elements, and
// from which table size on.  The walk reads two arrays at the same index;
// measured here, the hardware prefetcher alone leaves it at a third of the
// memory bandwidth on tables beyond the last-level cache.
inline constexpr std::size_t stream_ahead = 512;
inline constexpr std::size_t stream_from = std::size_t{1} << 17;

// A sorted group is searched as an unsorted one, through the summary, when
// the table has one and the recent groups' lower bounds spanned at least
// this many elements (Walk::pace; see drive).
inline constexpr std::size_t sparse_span = 1024;
// ... and, when the table has a ladder, at least this many.  The walk reads
// every line of both axes in its windows, at the pace the memory streams
// them; the ladder reads about three lines at random per key, at the pace
// of the misses in flight.  Measured on an Intel Xeon VM, 16,777,216
// entries, ns per query, walk / ladder: 27 / 48 at spans of 256, 39 / 57 at
// 384, 62 / 61 at 512, 94 / 64 at 683.
inline constexpr std::size_t sparse_span_ladder = 512;

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

// The summary of a searched axis for the two-level search: planned for the
// axis's size, made once (by the first batch that has enough unsorted
// queries to pay for it, or up front by a prepared table) and read only
// after that.  Without its 64 KiB, lockstep() serves.
template <class K>
class Summary {
public:
    Summary() noexcept = default;
    explicit Summary(std::size_t n) noexcept
        : block_(n >= search::summary_from ? search::summary_block(n) : 0),
          size_(block_ == 0 ? 0 : (n + block_ - 1) / block_) {}

    // Whether the axis is large enough to have one.
    bool planned() const noexcept { return block_ != 0; }
    bool built() const noexcept { return entries_.ok(); }
    std::size_t size() const noexcept { return size_; }
    std::size_t block() const noexcept { return block_; }
    const K* data() const noexcept { return entries_.data(); }
    const search::Guide& guide() const noexcept { return guide_; }

    // Reads every block-th element of the axis (n as planned), and makes
    // the guide; false when the memory cannot be had, which leaves the
    // summary unbuilt.
    bool build(const K* axis, std::size_t n) noexcept {
        if (!planned()) return false;
        Buffer<K> entries = Buffer<K>::uninitialised(size_);
        Buffer<std::uint16_t> counts = Buffer<std::uint16_t>::uninitialised(search::guide_cells(size_) + 1);
        if (!entries.ok() || !counts.ok()) return false;
        search::fill_summary(axis, n, block_, entries.data());
        guide_ = search::fill_guide(entries.data(), size_, counts.data());
        counts_ = std::move(counts);
        entries_ = std::move(entries);
        return true;
    }

    // The ladder of the axis, for tables large enough to have one.  Made
    // once, by the caller that claims it first, and published complete:
    // other threads may search meanwhile, through the summary alone, as
    // they do for good when its memory cannot be had.
    bool build_ladder(const K* axis, std::size_t n, std::size_t from = Ladder<K>::from) noexcept {
        if (n == 0 || n < from) return false;
        unsigned char idle = none;
        if (!ladder_state_.compare_exchange_strong(idle, building, std::memory_order_acq_rel)) {
            return ladder() != nullptr;
        }
        const bool made = ladder_.build(axis, n);
        ladder_state_.store(made ? ready : failed, std::memory_order_release);
        return made;
    }
    // Counts m more queries asked of the axis (of n entries), and makes the
    // ladder once they reach a sixteenth of n: a prepared table's ladder
    // waits until it pays, since making it reads the whole axis, about a
    // third of the time the copy took.
    void asked(const K* axis, std::size_t n, std::size_t m) noexcept {
        if (n < Ladder<K>::from || ladder_state_.load(std::memory_order_relaxed) != none) return;
        if (asked_.fetch_add(m, std::memory_order_relaxed) + m >= n / 16) build_ladder(axis, n);
    }
    // The ladder once made, else nullptr.
    const Ladder<K>* ladder() const noexcept {
        return ladder_state_.load(std::memory_order_acquire) == ready ? &ladder_ : nullptr;
    }
    std::size_t bytes() const noexcept {
        const Ladder<K>* l = ladder();
        const std::size_t own = entries_.size() * sizeof(K) + counts_.size() * sizeof(std::uint16_t);
        return (built() ? own : 0) + (l != nullptr ? l->bytes() : 0);
    }

private:
    static constexpr unsigned char none = 0, building = 1, ready = 2, failed = 3;
    std::size_t block_ = 0;
    std::size_t size_ = 0;
    Buffer<K> entries_;
    Buffer<std::uint16_t> counts_;
    search::Guide guide_;
    Ladder<K> ladder_;
    std::atomic<unsigned char> ladder_state_{none};
    std::atomic<std::size_t> asked_{0};
};

// What the driver carries from one group of queries to the next, and from
// one call to the next when a caller feeds it a batch in pieces.
template <class K>
struct Walk {
    std::size_t hint = 0;        // lower bound of `last`, or 0 before the first group
    std::size_t prefetched = 0;  // both axes are prefetched below this index
    std::size_t span = 0;        // of the last sorted group's lower bounds
    std::size_t pace = 0;        // ... and of the recent ones, smoothed
    // The span of a sorted group just searched.  Spans of random keys vary
    // by a quarter around their mean, and a batch whose mean lies near a
    // threshold would switch routes from group to group on the last span
    // alone, which measured slower than either route (10-20%, at a mean
    // span of 512 on 16,777,216 entries): the routes go by the pace.
    void spanned(std::size_t s) noexcept {
        span = s;
        pace = pace - pace / 8 + s / 8;
    }
    bool have_last = false;
    K last{};
};

// ---------------------------------------------------------------------------
// drive: searches groups of queries on `axis` (the table's searched axis,
// whose flag is `increasing`) and hands each query's lower bound to
// answer(i, key, lb) in index order, i counted from the start of `queries`.
// Contract: the table is not empty (an empty one has no element for the
// searches' last probe; every caller answers it before).
// It stops at the first answer that is not Status::Ok.  `table` is filled
// as far as the search needs (a complete table is never written), and is
// complete whenever drive returns, unless it returns at a descent found in
// the filled prefix.
//
// A group of keys that are sorted and not below the previous group's last
// key (sorted input) searches forward from the previous lower bound,
// filling the table as it goes and, on large tables, prefetching both
// axes ahead of the window.  Any other group completes the table and is
// searched over the whole axis in lockstep, through the summary on large
// tables (built here when `may_build` and enough queries remain), or
// through the ladder when the summary has one: with `pairs`, together with
// the next group.  NaN keys fail the sortedness test, so the walk's
// precondition (a key not below the one whose lower bound is the hint)
// always holds.
//
// The searched axis's flag is only known for the prefix until the table
// is complete.  A prefix that is not increasing ends the batch at once;
// otherwise the table is completed before any outcome is decided.  It
// never polls: callers feed it a chunk at a time and poll in between.
// ---------------------------------------------------------------------------
template <bool pairs = false, class Table, class K, class Queries, class Answer>
BatchOutcome drive(Table& table, const K* axis, const bool& increasing, const Queries& queries,
                   Summary<K>& summary, bool may_build, Walk<K>& walk, Answer&& answer,
                   std::size_t stream_from = search::stream_from) noexcept {
    constexpr std::size_t G = search::group;
    constexpr BatchOutcome descent{0, Status::NotStrictlyIncreasing};
    // An outcome stands once the whole table is copied and its searched
    // axis found increasing.
    const auto decided = [&](BatchOutcome outcome) noexcept {
        table.complete();
        return increasing ? outcome : descent;
    };
    const auto* coordinates = table.coordinates();
    const auto* values = table.values();
    const std::size_t m = queries.size();
    const std::size_t n = table.size();
    const bool stream = n >= stream_from;
    const Ladder<K>* ladder = summary.ladder();
    // With pairs, room for two groups: the ladder searches two at once (see
    // below).  Without, the loops compile as they always have: the larger
    // frame and loop counts measured up to 30% slower on 64-entry tables.
    constexpr std::size_t room = pairs ? 2 * G : G;
    K keys[room];
    std::size_t at[room];  // lower bounds
    bool summary_wanted = may_build && summary.planned() && !summary.built();
    if (n <= Table::fill_step) table.complete();
    if (!increasing) return descent;
    for (std::size_t i = 0; i < m; i += G) {
        std::size_t g = std::min(G, m - i);  // queries answered in this round
        for (std::size_t j = 0; j < g; ++j) keys[j] = queries[i + j];
        bool sorted = !walk.have_last || walk.last <= keys[0];
        for (std::size_t j = 1; j < g; ++j) sorted &= keys[j - 1] <= keys[j];
        // A sorted batch whose queries lie far apart, on a complete table
        // with a summary: walking there would make each group's window a
        // chain of dependent misses (the gallop, then halving over lines
        // far apart), the two-level search keeps the group's misses in
        // flight together, as for unsorted keys.
        const bool sparse = sorted && g == G &&
                            walk.pace >= (ladder != nullptr ? search::sparse_span_ladder : search::sparse_span) &&
                            table.filled() == n &&
                            (summary.built() || ladder != nullptr || (summary_wanted && m - i >= summary.size()));
        if (sorted && !sparse) {
            // The group's window ends at the lower bound of its last key
            // or beyond it.  Sorted batches move at a steady pace, so
            // the previous group's span is the first guess; when the
            // guess falls short, the walk finds the bound, filling the
            // table as far as it needs.
            const std::size_t lo = walk.hint;
            std::size_t hi = lo + walk.span + 1;
            std::size_t filled = table.filled();
            if (g < G || hi >= filled || Order<K>::less(axis[hi], keys[g - 1])) {
                hi = search::advance(axis, filled, lo, keys[g - 1]);
                while (hi == filled && filled < n) {
                    table.fill(filled + Table::fill_step);
                    filled = table.filled();
                    if (!increasing) return descent;
                    hi = search::advance(axis, filled, lo, keys[g - 1]);
                }
            }
            if (g == G) {
                search::sorted_group(axis, lo, hi, keys, at);
            } else {
                for (std::size_t j = 0, from = lo; j < g; ++j) at[j] = from = search::advance(axis, hi, from, keys[j]);
            }
            walk.spanned(at[g - 1] - lo);
            // Both axes ahead of the window, every line: the walk
            // reads them in order, at the pace of the queries.
            if (stream) {
                walk.prefetched = std::max(walk.prefetched, hi);
                for (const std::size_t ahead = std::min(hi + search::stream_ahead, filled); walk.prefetched < ahead;
                     walk.prefetched += 64 / sizeof(K)) {
                    __builtin_prefetch(coordinates + walk.prefetched);
                    __builtin_prefetch(values + walk.prefetched);
                }
            }
        } else {
            table.complete();
            if (!increasing) return descent;
            if (g == G) {
                if (summary_wanted && m - i >= summary.size()) {
                    summary_wanted = false;
                    summary.build(axis, n);
                }
                if (ladder != nullptr) {
                    // Both axes at the line each key's search ends in,
                    // before the search reads it: the answer reads there.
                    const auto lines = [&](std::size_t, std::size_t first) noexcept {
                        __builtin_prefetch(coordinates + first);
                        __builtin_prefetch(values + first);
                    };
                    // With pairs, two groups at once where the batch has
                    // them: twice the lines in flight while the probes
                    // wait on theirs.
                    // The ladder takes keys in any order, so the second
                    // group needs no test.  Measured here on 16,777,216
                    // entries, batches of 4,096 to 262,144 queries: 8-18%
                    // less time per query, random and sparse sorted alike.
                    // (A group of 32 on every route made the walk of dense
                    // sorted batches three times slower.)
                    if (pairs && m - i >= 2 * G) {
                        for (std::size_t j = G; j < room; ++j) keys[j] = queries[i + j];
                        ladder->template search<room>(axis, keys, at, lines);
                        g = room;
                    } else {
                        ladder->template search<G>(axis, keys, at, lines);
                    }
                } else if (summary.built()) {
                    search::two_level(axis, n, summary.data(), summary.size(), summary.block(), summary.guide(), keys, at);
                } else {
                    search::lockstep(axis, n, keys, at);
                }
                // Every query's segment, both axes, all at once: the
                // answers load them one query after the other, and beyond
                // the caches each would wait on memory by itself.  (On
                // the searched axis the search's last probes mostly
                // brought them in already; prefetching a cached line
                // costs next to nothing.)  Measured here: a sixth less
                // time per query on 16,777,216 entries.
                if (stream) {
                    for (std::size_t j = 0; j < (pairs ? g : G); ++j) {
                        const std::size_t below = at[j] - (at[j] != 0 ? 1 : 0);
                        __builtin_prefetch(coordinates + below);
                        __builtin_prefetch(values + below);
                        __builtin_prefetch(coordinates + at[j]);
                        __builtin_prefetch(values + at[j]);
                    }
                }
            } else {
                for (std::size_t j = 0; j < g; ++j) at[j] = locate(axis, n, keys[j]).index;
            }
            // The span of the last group, for the pace the test above reads.
            if (sparse) walk.spanned(at[g - 1] - (pairs && g > G ? at[g - 1 - G] : walk.hint));
        }
        walk.last = keys[g - 1];
        walk.have_last = true;
        walk.hint = at[g - 1];
        for (std::size_t j = 0; j < g; ++j) {
            const Status s = answer(i + j, keys[j], at[j]);
            if (s != Status::Ok) return decided({i + j, s});
        }
        if constexpr (pairs) i += g - std::min(G, m - i);  // the second group of a pair
    }
    return decided({m, Status::Ok});
}

// drive as the engine runs it: in pairs where the summary has a ladder, the
// one route that gains from them.
template <class Table, class K, class Queries, class Answer>
BatchOutcome drive_routed(Table& table, const K* axis, const bool& increasing, const Queries& queries,
                          Summary<K>& summary, bool may_build, Walk<K>& walk, Answer&& answer,
                          std::size_t stream_from = search::stream_from) noexcept {
    if (summary.ladder() != nullptr) {
        return drive<true>(table, axis, increasing, queries, summary, may_build, walk, answer, stream_from);
    }
    return drive(table, axis, increasing, queries, summary, may_build, walk, answer, stream_from);
}

// ---------------------------------------------------------------------------
// Partitioned route for a large unsorted batch on a table beyond the
// caches.  Searched in index order, every query of such a batch waits on
// memory for its last probes (about 105 of 130 ns per query on 16,777,216
// entries).  Instead the queries are first grouped by the summary block
// their key falls in (a counting sort on the summary search, which stays in
// the cache), and each block's queries are then searched and answered
// together, while that stretch of both axes is in the cache: the table is
// read about once, in order, at the pace of the memory system.
//
// The answers are those of the driver; only their order differs, so every
// query is answered and the outcome is the failure with the smallest index
// (the one a walk in index order would have met first).
// ---------------------------------------------------------------------------
template <class K, class R>
struct Partition {
    Buffer<std::uint16_t> bucket;    // per query: its summary block
    Buffer<std::uint32_t> position;  // per query: its place in block order
    Buffer<K> keys;                  // the queries' keys, in block order
    Buffer<std::uint32_t> index;     // ... their indices in the batch
    Buffer<R> answers;               // ... and their answers
    Buffer<std::uint32_t> start;     // per block: where its queries end, after the scatter
    std::size_t capacity = 0;

    // Room for m queries over `blocks` summary blocks (m < 2^32, blocks
    // <= 2^16); false when the memory cannot be had.
    bool make(std::size_t m, std::size_t blocks) noexcept {
        if (capacity >= m && start.size() >= blocks + 1) return true;
        bucket = Buffer<std::uint16_t>::uninitialised(m);
        position = Buffer<std::uint32_t>::uninitialised(m);
        keys = Buffer<K>::uninitialised(m);
        index = Buffer<std::uint32_t>::uninitialised(m);
        answers = Buffer<R>::uninitialised(m);
        start = Buffer<std::uint32_t>::uninitialised(blocks + 1);
        const bool ok = bucket.ok() && position.ok() && keys.ok() && index.ok() && answers.ok() && start.ok();
        capacity = ok ? m : 0;
        return ok;
    }
};

// Batches at least this many times the summary's size are partitioned:
// fewer queries per block leave too little of each block's stretch read.
inline constexpr std::size_t partition_per_block = 32;

// Whether a batch looks unsorted enough to be partitioned: sorted runs are
// what the driver's walk is fastest on.  One descent in 16 is plenty.
template <class Queries>
bool mostly_unsorted(const Queries& queries) noexcept {
    const std::size_t m = queries.size();
    std::size_t descents = 0;
    for (std::size_t i = 1; i < m; i += 8) descents += queries[i] < queries[i - 1] ? std::size_t{1} : 0;
    return descents * 16 * 8 >= m;
}

// Contract: axis strictly increasing with n >= summary.block() entries;
// summary built; queries.size() <= p.capacity; `other` the other axis.
// compute(key, lb) gives the Lookup<R> of a key whose lower bound is lb;
// deliver(i, value) takes query i's answer, for every query, in index order
// (also when some failed: the caller then drops them).
//
// Aligned to a cache line: its loops' speed depends on where they fall in
// the lines (measured here: 1,048,576 random queries on 16,777,216 entries
// took 5-8% longer when an unrelated change moved it 16 bytes into one).
template <class K, class V, class R, class Queries, class Compute, class Deliver>
[[gnu::aligned(64)]] BatchOutcome partitioned(const K* axis, const V* other, std::size_t n,
                                              const Summary<K>& summary, const Queries& queries, Partition<K, R>& p,
                                              Compute&& compute, Deliver&& deliver) noexcept {
    constexpr std::size_t G = search::group;
    const std::size_t m = queries.size();
    const std::size_t ns = summary.size();
    const std::size_t block = summary.block();
    std::uint32_t* start = p.start.data();
    std::fill(start, start + ns + 1, 0u);
    K keys[G];
    std::size_t base[G];
    // Each query's block, from the summary search, and the blocks' sizes.
    for (std::size_t i = 0; i < m; i += G) {
        const std::size_t g = std::min(G, m - i);
        for (std::size_t j = 0; j < G; ++j) keys[j] = queries[i + std::min(j, g - 1)];
        search::summary_blocks(summary.data(), ns, summary.guide(), keys, base);
        for (std::size_t j = 0; j < g; ++j) {
            p.bucket[i + j] = static_cast<std::uint16_t>(base[j]);
            ++start[base[j] + 1];
        }
    }
    for (std::size_t b = 0; b < ns; ++b) start[b + 1] += start[b];
    // Scattered block by block (start[b] then ends block b), in index order
    // within a block.
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint32_t at = start[p.bucket[i]]++;
        p.position[i] = at;
        p.keys[at] = queries[i];
        p.index[at] = static_cast<std::uint32_t>(i);
    }
    // Block by block: the stretch of both axes asked for (every line: its
    // queries read most of it), then its queries, in lockstep, their
    // answers stored in block order.  Storing each answer at its query's
    // index right away would be a write to a random line per query, which
    // measured a quarter of the whole time here; gathered afterwards in
    // index order, the reads overlap instead.
    //
    // The next block's stretch is asked for a share at a time after each
    // group's search, so that its lines come in while this block's queries
    // are answered; asking for a whole stretch at once leaves the loop
    // waiting for the memory system to take the requests, with nothing to
    // do meanwhile.  (Measured here, 1,048,576 random queries on
    // 16,777,216 entries: a sixteenth less time than asking for each
    // stretch whole at its block's start.  The shares asked for before
    // each group's search measured the same, and twice this pace no
    // less.)
    BatchOutcome first{m, Status::Ok};
    std::size_t at[G];
    constexpr std::size_t line = 64 / sizeof(K);
    const auto window_of = [&](std::size_t b) noexcept { return search::window_start(b, block, n); };
    std::size_t ahead = ns;      // the block whose stretch is being asked for
    std::size_t ahead_line = 0;  // ... below this offset
    // (The cursor lives outside the loop on purpose: GCC 12 compiled the
    // same loop over a local index, `for (l = from; l < to; ...)` in a
    // lambda, to no prefetch instruction at all.)
    const auto stream = [&](std::size_t upto) noexcept {
        const std::size_t s = window_of(ahead);
        for (; ahead_line < upto; ahead_line += line) {
            __builtin_prefetch(axis + s + ahead_line);
            __builtin_prefetch(other + s + ahead_line);
        }
    };
    std::size_t lo = 0;
    for (std::size_t b = 0; b < ns; ++b) {
        const std::size_t hi = start[b];
        if (hi == lo) continue;
        const std::size_t s = window_of(b);
        const K* window = axis + s;
        if (ahead != b) ahead = b, ahead_line = 0;  // the first block with queries
        stream(block);  // what the shares have not asked for yet (all of the first block)
        ahead = b + 1;
        while (ahead < ns && start[ahead] == start[ahead - 1]) ++ahead;
        ahead_line = 0;
        const std::size_t groups = (hi - lo + G - 1) / G;
        const std::size_t step = ahead == ns ? 0 : (block / line + groups - 1) / groups * line;
        for (std::size_t k = lo; k < hi; k += G) {
            const std::size_t g = std::min(G, hi - k);
            for (std::size_t j = 0; j < G; ++j) keys[j] = p.keys[k + std::min(j, g - 1)];
            search::halving_passes(block, keys, base, [window](std::size_t, std::size_t i) { return window[i]; });
            for (std::size_t j = 0; j < g; ++j) at[j] = s + search::settle(window, base[j], keys[j]);
            if (step != 0) stream(std::min(block, ahead_line + step));
            for (std::size_t j = 0; j < g; ++j) {
                const Lookup<R> r = compute(keys[j], at[j]);
                p.answers[k + j] = r.value;
                if (r.status != Status::Ok && p.index[k + j] < first.index) first = {p.index[k + j], r.status};
            }
        }
        lo = hi;
    }
    for (std::size_t i = 0; i < m; ++i) deliver(i, p.answers[p.position[i]]);
    return first;
}

// ---------------------------------------------------------------------------
// The route of a chunk of queries, and the memory it may take.
// ---------------------------------------------------------------------------

// Queries answered at a time: the unit of the chunked loops of both
// interfaces, between two polls of the caller, and enough queries for the
// partitioned route on the largest tables (see partition_per_block).
inline constexpr std::size_t chunk = poll_interval;

// Tables from this size on partition large unsorted chunks (beyond the
// second-level cache: 8 MiB per axis).
inline constexpr std::size_t partition_from = std::size_t{1} << 19;

// The most memory a batch takes beside the table and the result, whatever
// its size: the partition of one chunk and the summary.  (A prepared table
// adds a chunk of converted keys per worker when its queries are not read
// in place.)
inline constexpr std::size_t scratch_ceiling = std::size_t{32} << 20;
static_assert(chunk * (sizeof(std::uint16_t) + 2 * sizeof(std::uint32_t) + 2 * 8) +
                      (search::summary_entries + 1) * (8 + sizeof(std::uint32_t)) <=
                  scratch_ceiling,
              "a chunk's partition and the summary stay under the ceiling");

// Where the routes change, by table and batch size.  The defaults are the
// engine's; tests lower them to reach every route on small inputs.
struct Routes {
    std::size_t chunk = quorvane::chunk;  // queries per chunk; a power of two up to poll_interval
    std::size_t stream_from = search::stream_from;  // tables that prefetch both axes
    std::size_t partition_from = quorvane::partition_from;  // tables that partition
    std::size_t partition_per_block = quorvane::partition_per_block;  // chunks that do, per summary entry
};

// A stretch of a batch, [begin, begin + length), as a batch of its own.
template <class Queries>
struct Slice {
    const Queries* all;
    std::size_t begin;
    std::size_t length;

    std::size_t size() const noexcept { return length; }
    auto operator[](std::size_t i) const noexcept { return (*all)[begin + i]; }
};

template <class Queries>
Slice<Queries> slice(const Queries& queries, std::size_t begin, std::size_t length) noexcept {
    return {&queries, begin, length};
}

template <class T>
StridedView<T> slice(const StridedView<T>& v, std::size_t begin, std::size_t length) noexcept {
    return {v.data + static_cast<std::ptrdiff_t>(begin) * v.stride, static_cast<std::ptrdiff_t>(length), v.stride};
}

// ---------------------------------------------------------------------------
// answer_chunk: the answers of a chunk of queries, by the partitioned route
// when the chunk is large and mostly unsorted and the table large, by the
// driver otherwise; the one place where a route is picked, for both
// interfaces.  compute(key, lb) gives a key's Lookup<R> from its lower
// bound on `axis` (whose flag is `increasing`); store(i, value) takes
// query i's answer.  `other` is the other axis.  The table may be filled on
// demand (the partitioned route completes it first); a summary that is not
// built is built here when `may_build` (once the table is complete).  Walk
// carries the driver's state from one chunk to the next.  Without the
// memory for the partition (or the summary) the driver serves: the same
// answers, by another route.
// ---------------------------------------------------------------------------
template <class Table, class K, class V, class R, class Queries, class Compute, class Store>
BatchOutcome answer_chunk(Table& table, const K* axis, const V* other, const bool& increasing, Summary<K>& summary,
                          bool may_build, const Queries& keys, Walk<K>& walk, Partition<K, R>& partition,
                          const Routes& routes, Compute&& compute, Store&& store) noexcept {
    const std::size_t n = table.size();
    // With a ladder, searching costs about half what it does through the
    // summary alone, and partitioning pays from twice the batch size on
    // (measured here on 16,777,216 entries: 262,144 random queries 94 ns
    // each partitioned, 90 through the ladder; 1,048,576 queries 48 and 93).
    const std::size_t per_block = routes.partition_per_block * (summary.ladder() != nullptr ? 2 : 1);
    if (n >= routes.partition_from && summary.planned() && keys.size() >= per_block * summary.size() &&
        mostly_unsorted(keys)) {
        table.complete();
        if (!increasing) return {0, Status::NotStrictlyIncreasing};
        if ((summary.built() || (may_build && summary.build(axis, n))) &&
            partition.make(keys.size(), summary.size())) {
            walk = Walk<K>{};
            return partitioned(axis, other, n, summary, keys, partition, compute, store);
        }
    }
    return drive_routed(
        table, axis, increasing, keys, summary, may_build, walk,
        [&](std::size_t i, K key, std::size_t lb) noexcept {
            const Lookup<R> r = compute(key, lb);
            store(i, r.value);
            return r.status;
        },
        routes.stream_from);
}

// A whole batch through a table filled on demand (the functions' copy), in
// chunks, in index order, with poll() every poll_interval queries (at a
// chunk's end): returning false stops the batch (Interrupted).  Before
// every poll the copies are complete (both routes complete them before a
// chunk's outcome is decided), so that nothing a signal handler does to
// the caller's arrays reaches the answers.
template <class Table, class K, class V, class R, class Queries, class Poll, class Compute>
BatchOutcome run_batch(Table& table, const K* axis, const V* other, const bool& increasing, const Queries& queries,
                       R* out, Poll& poll, const Routes& routes, Compute&& compute) noexcept {
    Summary<K> summary(table.size());
    Walk<K> walk;
    Partition<K, R> partition;
    const std::size_t m = queries.size();
    std::size_t next_poll = poll_interval;
    for (std::size_t at = 0; at < m;) {
        const std::size_t length = std::min(routes.chunk, m - at);
        R* part = out + at;
        const BatchOutcome o =
            answer_chunk(table, axis, other, increasing, summary, true, slice(queries, at, length), walk, partition,
                         routes, compute, [part](std::size_t i, R value) noexcept { part[i] = value; });
        if (o.status != Status::Ok) return {at + o.index, o.status};
        at += length;
        if (at >= next_poll && at < m) {
            next_poll += poll_interval;
            table.complete();  // already: a chunk's outcome is decided on the complete table
            if (!poll()) return {at, Status::Interrupted};
        }
    }
    return {m, Status::Ok};
}

// ---------------------------------------------------------------------------
// Batches through an Interp: every query of `queries` in index order,
// answers into out[i], stopping at the first failing query.  The answers,
// and which query fails first and how, are those of Interp::forward() and
// Interp::inverse() one query at a time on the complete table; only the
// search takes faster routes.  `queries` is anything with size() and
// operator[](i) giving the search key (a StridedView, say).
// ---------------------------------------------------------------------------
template <class X, class F, class Queries, class Poll>
BatchOutcome forward_batch(Interp<X, F>& table, const Queries& queries, F* out, Poll&& poll,
                           const Routes& routes = Routes{}) noexcept {
    if (queries.size() == 0) return {0, Status::Ok};
    if (table.size() == 0) return {0, Status::OutOfBounds};
    return run_batch(table, table.coordinates(), table.values(), table.xp_strictly_increasing(), queries, out, poll,
                     routes, [&table](X x, std::size_t lb) noexcept { return table.forward_at(x, lb); });
}

// The check that an inverse batch makes before any search: one sample that
// is NaN makes every comparison with it unordered.  Ok otherwise.
template <class X, class F>
Status inverse_precheck(Interp<X, F>& table) noexcept {
    if (table.size() == 0) return Status::OutOfBounds;
    if (table.size() == 1) {
        table.complete();
        if (Order<F>::is_nan(table.values()[0])) return Status::NanOrInf;
    }
    return Status::Ok;
}

template <class X, class F, class Queries, class Poll>
BatchOutcome inverse_batch(Interp<X, F>& table, const Queries& queries, Method method, X* out, Poll&& poll,
                           const Routes& routes = Routes{}) noexcept {
    if (queries.size() == 0) return {0, Status::Ok};
    if (const Status s = inverse_precheck(table); s != Status::Ok) return {0, s};
    return run_batch(table, table.values(), table.coordinates(), table.fp_strictly_increasing(), queries, out, poll,
                     routes, [&table, method](F f, std::size_t lb) noexcept {
                         if (Order<F>::is_nan(f)) return fail<X>(Status::NanOrInf);
                         return table.inverse_at(f, lb, method);
                     });
}

}  // namespace quorvane
