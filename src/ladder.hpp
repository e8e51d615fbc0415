// A ladder: the index of a prepared table's strictly increasing axis that
// takes a key to its lower bound through one cache line per level.
//
// Why: on a table far beyond the caches a halving search spends a dependent
// miss on every pass that leaves the cached summary: on 16,777,216 entries,
// the eleven passes over a summary block of 2,048 entries are eight lines
// of memory, one after the other, for every query.  Each level of a ladder
// narrows the range eight times within one line, so the passes that miss
// are one line of the lowest level and one of the axis; the levels above
// stay in the caches.  It costs a seventh of the axis in memory and a read
// of every line of it to build, which is why only prepared tables make one,
// once their batches have asked enough of the axis (see Summary).
//
// Layout.  The axis is viewed as a virtual array V with `pad` entries below
// everything in front of it, so that V's blocks of eight are the axis's
// cache lines (pad in [1, 8], from the axis's address):
//   V[v] = below all keys  for v < pad,
//          axis[v - pad]   for pad <= v < pad + n,
//          above all keys  beyond.
// Level k (k >= 1) holds L_k[j] = V[8^k * j], in blocks of eight, padded
// with the type's largest value (+inf for float64: no key is above it);
// L_{k+1}[j] is L_k[8j].  The top level is the first with at most eight
// entries.
//
// Search.  c_k, the number of entries of level k below the key, lies in
// block b = c_{k+1} - 1 of level k: entry 8b is below the key (it is entry
// b of level k + 1, counted there, or V[0]), and entry 8b + 8 is not.  So
// c_k = 8b + 1 + r, r the count below the key among entries 8b+1 .. 8b+7,
// found by three halving probes within the line.  Entry 0 of a block is
// never read, which is what lets V[0] stand for "below all keys" in a type
// that has no such value.  At the axis, lower bound = c_0 - pad.  Worked
// case: axis {10, 20, 30} starting a line, so pad = 8 and V[8..10] holds
// it.  One level: L_1 = {V[0], V[8]} = {-, 10}, padded with the largest
// value to a block of eight.  Key 25: 10 is below it, r = 1, c_1 = 2, so
// block 1 of V (the axis's line); there, of V[9..15] = {20, 30, above...},
// only 20 is below: r = 1, c_0 = 8 + 1 + 1 = 10, lower bound 10 - 8 = 2.
// Key 5: r = 0 at the top, block 0 of V, whose V[1..7] are all below:
// c_0 = 0 + 1 + 7 = 8, lower bound 0.
//
// A NaN key compares below nothing: it gets a meaningless bound within the
// axis, which its caller rejects (as for every batch search).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "arrays.hpp"
#include "piecewise.hpp"

namespace quorvane {

template <class K>
class Ladder {
    static_assert(sizeof(K) == 8, "eight entries to a 64-byte line");

public:
    static constexpr std::size_t fan = 8;
    static constexpr unsigned most_levels = 22;  // 8^22 > 2^64

    // Tables from this size on have one (8 MiB an axis).  Measured here,
    // ns per query in batches of 4,096 random queries, through the summary
    // and through the ladder: 18.7 and 21.7 on 2^18 entries, 25 and 25 on
    // 2^19, 32 and 27 on 2^20, 78 and 55 on 2^22, 138 and 80 on 2^24.
    static constexpr std::size_t from = std::size_t{1} << 20;

    Ladder() noexcept = default;

    bool built() const noexcept { return top_ != 0; }
    std::size_t bytes() const noexcept { return built() ? storage_.size() * sizeof(K) : 0; }

    // Builds the levels over axis[0, n) (strictly increasing, n >= 1);
    // false, leaving none, when the memory cannot be had.
    bool build(const K* axis, std::size_t n) noexcept {
        top_ = 0;
        const std::size_t pad = 8 - (reinterpret_cast<std::uintptr_t>(axis) / sizeof(K)) % fan;  // [1, 8]
        const std::size_t virtual_size = pad + n;
        // Entries of level k: s_k = ceil(virtual_size / 8^k), stored as the
        // 8 * s_{k+1} that the blocks of level k + 1 can open.
        std::size_t counts[most_levels + 1];
        std::size_t stored[most_levels + 1];
        std::size_t total = 0;
        unsigned levels = 0;
        for (std::size_t s = virtual_size;;) {
            s = (s + fan - 1) / fan;  // s_k
            ++levels;
            counts[levels] = s;
            stored[levels] = fan * ((s + fan - 1) / fan);
            total += stored[levels];
            if (s <= fan) break;
        }
        storage_ = Buffer<K>::uninitialised(total + fan);  // room to align the first level
        if (!storage_.ok()) return false;
        K* at = storage_.data();
        at += (fan - (reinterpret_cast<std::uintptr_t>(at) / sizeof(K)) % fan) % fan;
        constexpr K above = std::numeric_limits<K>::has_infinity ? std::numeric_limits<K>::infinity()
                                                                 : std::numeric_limits<K>::max();
        for (unsigned k = 1; k <= levels; ++k) {
            K* level = at;
            at += stored[k];
            level_[k] = level;
            level[0] = axis[0];  // V[0]: never read
            if (k == 1) {
                // V[8j] for 1 <= j < counts[1]: 8 <= 8j < pad + n, so on the axis
                for (std::size_t j = 1; j < counts[1]; ++j) level[j] = axis[fan * j - pad];
            } else {
                const K* below = level_[k - 1];
                for (std::size_t j = 1; j < counts[k]; ++j) level[j] = below[fan * j];
            }
            for (std::size_t j = counts[k]; j < stored[k]; ++j) level[j] = above;
        }
        pad_ = pad;
        n_ = n;
        top_ = levels;
        return true;
    }

    // The lower bounds of `group` keys over the axis the ladder was built
    // on (the same pointer and size): out[j] is the first index whose
    // element is not below keys[j], n if none.  leaf(j, first) is told the
    // first axis index of key j's line before that line is read, so that
    // the caller may prefetch what it will read there.  (Descending the
    // next group's levels while this group's lines come in measured no
    // faster on an Intel VM, where the misses in flight were the limit; a
    // group twice as large measured 8-18% faster on an AMD EPYC, and the
    // driver searches two groups as one: see drive.)
    template <std::size_t group, class Leaf>
    void search(const K* axis, const K* keys, std::size_t* out, Leaf&& leaf) const noexcept {
        std::size_t block[group] = {};  // per key: c_k - 1, its block of the level below
        for (unsigned k = top_; k >= 1; --k) {
            const K* level = level_[k];
            // The two lowest levels lie beyond the second-level cache on
            // the largest tables: every key's line asked for first, before
            // the probes wait on any of them.
            if (k <= 2) {
                for (std::size_t j = 0; j < group; ++j) __builtin_prefetch(level + fan * block[j]);
            }
            for (std::size_t j = 0; j < group; ++j) {
                const K* e = level + fan * block[j];
                const K key = keys[j];
                std::size_t r = Order<K>::less(e[4], key) ? 4u : 0u;
                r += Order<K>::less(e[r + 2], key) ? 2u : 0u;
                r += Order<K>::less(e[r + 1], key) ? 1u : 0u;
                block[j] = fan * block[j] + r;
            }
        }
        // The axis: V[v] read at axis[v - pad] where that exists.  (With
        // branches: they are predicted, so the line's three probes issue
        // together; selects measured a fifth slower here.)
        std::ptrdiff_t first[group];  // axis index of V[8 * block], below 0 in the first line
        for (std::size_t j = 0; j < group; ++j) {
            first[j] = static_cast<std::ptrdiff_t>(fan * block[j]) - static_cast<std::ptrdiff_t>(pad_);
            leaf(j, static_cast<std::size_t>(first[j] < 0 ? 0 : first[j]));
        }
        const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(n_);
        for (std::size_t j = 0; j < group; ++j) {
            const K key = keys[j];
            const auto below = [&](std::ptrdiff_t t) noexcept {
                const std::ptrdiff_t i = first[j] + t;
                const std::ptrdiff_t c = i < 0 ? 0 : (i >= n ? n - 1 : i);
                return i < 0 || (i < n && Order<K>::less(axis[c], key));
            };
            std::ptrdiff_t r = below(4) ? 4 : 0;
            r += below(r + 2) ? 2 : 0;
            r += below(r + 1) ? 1 : 0;
            out[j] = static_cast<std::size_t>(first[j] + 1 + r);
        }
    }

private:
    Buffer<K> storage_;
    const K* level_[most_levels + 1] = {};
    std::size_t pad_ = 0;
    std::size_t n_ = 0;
    unsigned top_ = 0;
};

}  // namespace quorvane
