// The integer scheme: u64 coordinates, i64 values, exact with 128-bit
// intermediates and one final rounding.
#pragma once

#include <cstdint>

#include "divop.hpp"
#include "schemes.hpp"

namespace quorvane {

using i64 = std::int64_t;

// Offset form of a signed value: v + 2^63 as an unsigned number, which is
// v's bit pattern with the top bit inverted.  It maps -2^63..2^63-1 onto
// 0..2^64-1 in order, so for v <= w the unsigned difference of the offset
// forms is w - v exactly, and sums of weighted offset forms never go negative.
constexpr u64 offset_form(i64 v) noexcept {
    return static_cast<u64>(v) ^ (u64{1} << 63);
}

// The value whose offset form is u.
constexpr i64 from_offset_form(u64 u) noexcept {
    return static_cast<i64>(u ^ (u64{1} << 63));
}

template <>
struct Forward<u64, i64> {
    // -----------------------------------------------------------------------
    // Contract: x0 < x < x1 (so d = x1 - x0 >= 2); f0, f1 arbitrary.
    // Result: the integer nearest to f0 + (f1 - f0) * (x - x0) / (x1 - x0),
    // ties to even; it lies between f0 and f1 inclusive.
    //
    // n = (x1 - x) * a + (x - x0) * b with a, b the offset forms: the lower
    // sample's value is weighted by the distance to the upper end.  The
    // weights sum to d, so n <= (2^64 - 1) * d < 2^128 and n / d lies between
    // a and b.  2^63 is even, so rounding in offset form rounds the signed
    // value the same way: -0.5 -> 0, -1.5 -> -2, -2.5 -> -2.
    // Worked: x = 15 on (10, 1)-(20, 2): n = 5(2^63 + 1) + 5(2^63 + 2),
    // n / 10 = 2^63 + 1.5 -> 2^63 + 2 -> value 2.
    // -----------------------------------------------------------------------
    static Lookup<i64> forward(u64 x, u64 x0, u64 x1, i64 f0, i64 f1) noexcept {
        const u64 d = x1 - x0;
        const u64 wa = x1 - x;
        const u64 wb = x - x0;
        const u128 n = mul_64x64(wa, offset_form(f0)) + mul_64x64(wb, offset_form(f1));
        return ok(from_offset_form(divide_rounded(n, d, Method::Nearest).value));
    }
};

template <>
struct Inverse<i64, u64> {
    // -----------------------------------------------------------------------
    // Contract: f0 < f < f1 (signed), so d = f1 - f0 >= 2; x0, x1 arbitrary
    // (x1 < x0 and x1 == x0 occur: the coordinates of an inverse table are
    // not required to increase).
    // Result: x* = x0 + (x1 - x0) * (f - f0) / (f1 - f0), rounded by the
    // method (Absent: only when x* is whole, else NotFound).  Floor and
    // ceiling follow the numeric order of coordinates, whichever of x0 and
    // x1 is larger; x0 == x1 gives x0 under every method.
    //
    // n = (f1 - f) * x0 + (f - f0) * x1 <= (2^64 - 1) * d, so the quotient,
    // which lies between x0 and x1, fits 64 bits even after rounding up.
    // -----------------------------------------------------------------------
    static Lookup<u64> inverse(i64 f, u64 x0, u64 x1, i64 f0, i64 f1, Method method) noexcept {
        const u64 d = offset_form(f1) - offset_form(f0);
        const u64 wa = offset_form(f1) - offset_form(f);
        const u64 wb = offset_form(f) - offset_form(f0);
        const u128 n = mul_64x64(wa, x0) + mul_64x64(wb, x1);
        const Quotient q = divide_rounded(n, d, method);
        return q.present ? ok(q.value) : fail<u64>(Status::NotFound);
    }
};

}  // namespace quorvane
