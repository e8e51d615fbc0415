// Exact conversion of query and sample elements to a table's axis types.
//
// A prepared table accepts elements of any integer width and sign, float32
// and float64, and datetime64/timedelta64 counts in any fixed unit.  Each
// element either converts to the axis type exactly or is refused with the
// reason; nothing is rounded, wrapped or clamped on the way in.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "binary64.hpp"
#include "u128.hpp"

namespace quorvane {

// Why an element was refused.
enum class Refusal : std::uint8_t {
    None = 0,
    Negative,     // below zero, for an unsigned axis
    TooLarge,     // above the axis type's largest value
    Inexact,      // an integer that float64 cannot hold exactly
    NotATime,     // NaT
    NotWhole,     // a count that is not a whole number of the axis's unit
    TimeRange,    // a count beyond int64 once in the axis's unit
};

// Whether the integer v is a binary64 value: its significant bits (from the
// highest set bit down to the lowest) span at most 53 bits.
template <class S>
constexpr bool exactly_double(S v) noexcept {
    std::uint64_t magnitude;
    if constexpr (std::is_signed_v<S>) {
        magnitude = v < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    } else {
        magnitude = static_cast<std::uint64_t>(v);
    }
    if (magnitude == 0) return true;
    const int width = 64 - std::countl_zero(magnitude) - std::countr_zero(magnitude);
    return width <= 53;
}

// ---------------------------------------------------------------------------
// to_axis<K>(v, out): v converted to the axis type K (u64 coordinates, i64
// or f64 values), exactly, or a refusal (out then unspecified).
//
//   K = u64  from any integer: refused when negative.
//   K = i64  from any integer: refused above 2^63 - 1 (only u64 gets there).
//   K = f64  from float or double: always (widening is exact, NaN stays
//            NaN and is rejected later by the search); from an integer:
//            refused unless the double nearest to it is it.  Worked edge:
//            2^53 + 1 rounds to 2^53, which converts back to 2^53, refused.
//            For int64/uint64 the check is done on the integer side, since
//            converting a double of 2^63 (or 2^64) back would overflow.
// ---------------------------------------------------------------------------
template <class K, class S>
constexpr Refusal to_axis(S v, K& out) noexcept {
    if constexpr (std::is_same_v<K, std::uint64_t>) {
        static_assert(std::is_integral_v<S>);
        if constexpr (std::is_signed_v<S>) {
            if (v < 0) return Refusal::Negative;
        }
        out = static_cast<std::uint64_t>(v);
        return Refusal::None;
    } else if constexpr (std::is_same_v<K, std::int64_t>) {
        static_assert(std::is_integral_v<S>);
        if constexpr (std::is_same_v<S, std::uint64_t>) {
            if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return Refusal::TooLarge;
        }
        out = static_cast<std::int64_t>(v);
        return Refusal::None;
    } else {
        static_assert(std::is_same_v<K, double>);
        if constexpr (std::is_floating_point_v<S>) {
            out = static_cast<double>(v);
            return Refusal::None;
        } else {
            out = static_cast<double>(v);
            return exactly_double(v) ? Refusal::None : Refusal::Inexact;
        }
    }
}

// ---------------------------------------------------------------------------
// Rescale: exact change of unit of a time count, from a unit of `from`
// attoseconds to one of `to` attoseconds (units as NumPy's datetime64 and
// timedelta64 have them: W, D, h, m, s, ms, us, ns, ps, fs, as, each with a
// multiplier).  The ratio is kept reduced as p / q, so a count v converts
// exactly when q divides v, to (v / q) * p, and that must fit int64.
//
// Unit lengths need 128 bits (a week is 6.048e23 as), the reduced ratio only
// 64: a count's magnitude is below 2^63, so a q of 2^63 or more divides only
// 0, and a p of 2^63 or more scales only 0 into range.  Both saturate at
// 2^64 - 1, which keeps those answers and lets every count convert in 64-bit
// arithmetic.
//
// Worked: from s to ns, p = 10^9, q = 1: 3 s -> 3000000000 ns.  From ns to
// s, p = 1, q = 10^9: 3000000000 ns -> 3 s, 1 ns -> NotWhole.  From W to
// as, p = 6.048e23 > 2^63: only 0 converts; 1 W -> TimeRange.
// ---------------------------------------------------------------------------
struct Rescale {
    std::uint64_t p = 1;
    std::uint64_t q = 1;

    // Contract: from, to != 0.
    static Rescale between(u128 from, u128 to) noexcept {
        u128 a = from, b = to;
        while (b != 0) {
            const u128 t = a % b;
            a = b;
            b = t;
        }
        return {saturated(from / a), saturated(to / a)};
    }
    bool identity() const noexcept { return p == 1 && q == 1; }

private:
    static std::uint64_t saturated(u128 v) noexcept {
        return high64(v) != 0 ? ~std::uint64_t{0} : low64(v);
    }
};

// Contract: v is not NaT (the caller refuses INT64_MIN first), so |v| <
// 2^63.  Result: the count in the new unit, or NotWhole / TimeRange.  The
// result's magnitude is at most 2^63 - 1 on both sides: -2^63 would be NaT.
constexpr Refusal rescale(std::int64_t v, const Rescale& r, std::int64_t& out) noexcept {
    const bool negative = v < 0;
    const std::uint64_t magnitude =
        negative ? std::uint64_t{0} - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    if (magnitude % r.q != 0) return Refusal::NotWhole;
    const std::uint64_t whole = magnitude / r.q;
    constexpr std::uint64_t limit = (std::uint64_t{1} << 63) - 1;
    // Tested as a division first, so that whole * p cannot wrap.
    if (whole != 0 && r.p > limit / whole) return Refusal::TimeRange;
    const auto scaled = static_cast<std::int64_t>(whole * r.p);
    out = negative ? -scaled : scaled;
    return Refusal::None;
}

// The largest and smallest counts a datetime64/timedelta64 holds; NaT is
// the int64 minimum and is never a time.
inline constexpr std::int64_t not_a_time = std::numeric_limits<std::int64_t>::min();

// refused_bit<K>(v, time): nonzero exactly when an integer v would be
// refused on its way to an integer axis K, by to_axis's range or (time = 1)
// as NaT; branch-free, for loops that check a block at once.  In shifts of
// 64-bit lanes rather than 64-bit comparisons, which the baseline x86-64
// vector set lacks: a negative int64 has the top bit, and so has a uint64
// above 2^63 - 1; NaT (u = 2^63) is the one u with u & ~(u - 1) at 2^63.
// A coordinate's NaT is refused here as negative (the reason is the exact
// path's to give).
template <class K, class S>
constexpr std::uint64_t refused_bit(S v, std::uint64_t time) noexcept {
    static_assert(std::is_integral_v<K> && std::is_integral_v<S>);
    const auto u = static_cast<std::uint64_t>(v);
    if constexpr (std::is_same_v<K, std::uint64_t> && std::is_signed_v<S>) {
        if constexpr (sizeof(S) == 8) return u >> 63;
        else return v < 0 ? 1u : 0u;
    } else if constexpr (std::is_same_v<K, std::int64_t> && std::is_same_v<S, std::int64_t>) {
        return time & ((u & ~(u - 1)) >> 63);
    } else if constexpr (std::is_same_v<K, std::int64_t> && std::is_same_v<S, std::uint64_t>) {
        return u >> 63;
    } else {
        return 0;
    }
}

}  // namespace quorvane
