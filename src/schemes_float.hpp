// The float schemes: u64 coordinates, f64 values, arithmetic in F80.
//
// The order of the steps and the points of rounding are fixed: they decide
// the last bit of every result.  Every subtraction, product, sum and quotient
// below is one F80 operation, rounded to 64 significant bits, to nearest,
// ties to even.  Differences of two u64 values are exact in F80.
#pragma once

#include <cstdint>

#include "binary64.hpp"
#include "extended.hpp"
#include "schemes.hpp"

namespace quorvane {

template <>
struct Forward<std::uint64_t, double> {
    // -----------------------------------------------------------------------
    // Contract: x0 < x < x1; f0, f1 any f64 (the value axis is not checked in
    // the forward direction).
    // Result: (f0 * (x1 - x) + f1 * (x - x0)) / (x1 - x0), rounded after each
    // product, after the sum and after the quotient, then truncated to f64.
    // NotFinite when f0 or f1 is NaN or infinite (checked before any
    // arithmetic).
    //
    // The truncation can land one binary64 unit toward zero outside
    // [f0, f1]: x = 1 on (0, 0.3333333333333333)-(3073, 0.3333333333333333)
    // gives 0.33333333333333326 (the 65-bit sum is a tie that goes to even,
    // the quotient lands just below the constant, truncation drops a unit).
    // -----------------------------------------------------------------------
    [[gnu::always_inline]] static Lookup<double> forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0,
                                  double f1) noexcept {
        if (!(binary64::is_finite(f0) & binary64::is_finite(f1))) return fail<double>(Status::NotFinite);
        // The three differences of coordinates are exact in F80, so they are
        // taken on the integers, off the x87's dependency chain.  None
        // reaches 2^63 unless the segment's width does.
        const std::uint64_t width = x1 - x0;
        if (width >> 63) [[unlikely]] {
            return ok(interpolate(F80::from_u64(x1 - x), F80::from_u64(x - x0), F80::from_u64(width), f0, f1));
        }
        return ok(interpolate(F80::from_u63(x1 - x), F80::from_u63(x - x0), F80::from_u63(width), f0, f1));
    }

private:
    [[gnu::always_inline]] static double interpolate(F80 a, F80 b, F80 d, double f0, double f1) noexcept {
        const F80 F0 = F80::from_f64(f0);
        const F80 F1 = F80::from_f64(f1);
        const F80 p = F0 * a;
        const F80 q = F1 * b;
        const F80 s = p + q;
        const F80 r = s / d;
        return to_f64(r);
    }
};

// ---------------------------------------------------------------------------
// The method's whole coordinate of r: floor, round-half-even or ceiling in
// F80, then the saturating conversion to u64; Absent gives the value only
// when r is whole.
// ---------------------------------------------------------------------------
[[gnu::always_inline]] inline Lookup<std::uint64_t> whole_coordinate(const F80& r, Method method) noexcept {
    switch (method) {
        case Method::Absent:
            if (!is_whole(r)) return fail<std::uint64_t>(Status::NotFound);
            return ok(nearest_u64(r));
        case Method::Nearest: return ok(nearest_u64(r));
        case Method::Ffill: return ok(floor_u64(r));
        case Method::Bfill: return ok(ceil_u64(r));
    }
    return fail<std::uint64_t>(Status::NotFound);
}

template <>
struct Inverse<double, std::uint64_t> {
    // -----------------------------------------------------------------------
    // Contract: f0 < f < f1 (so f is finite and d below is never zero); x0,
    // x1 any u64, equal or decreasing included.
    // r = (x0 * (f1 - f) + x1 * (f - f0)) / (f1 - f0), every step rounded;
    // then by method: Absent gives floor(r) only if it equals r (else
    // NotFound), Nearest round-half-even(r), Ffill floor(r), Bfill ceil(r),
    // each converted to u64 with saturation (rounding can carry r to 2^64
    // near the top of the range, which gives 2^64 - 1).
    // NotFinite when f0 or f1 is infinite (checked before any arithmetic).
    //
    // From 2^62 on r holds only halves, and from 2^63 on it is whole: f = 0.5
    // on (2^63, 0.0)-(2^63 + 1, 1.0) gives 2^63 under every method.
    // -----------------------------------------------------------------------
    [[gnu::always_inline]] static Lookup<std::uint64_t> inverse(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1,
                                         Method method) noexcept {
        if (!(binary64::is_finite(f0) & binary64::is_finite(f1))) return fail<std::uint64_t>(Status::NotFinite);
        // Coordinates below 2^63 (nearly every table) take one signed load
        // each; the branch is the predictor's to get right.
        if ((x0 | x1) >> 63) [[unlikely]] {
            return whole_coordinate(interpolate(f, F80::from_u64(x0), F80::from_u64(x1), f0, f1), method);
        }
        return whole_coordinate(interpolate(f, F80::from_u63(x0), F80::from_u63(x1), f0, f1), method);
    }

private:
    [[gnu::always_inline]] static F80 interpolate(double f, F80 X0, F80 X1, double f0, double f1) noexcept {
        const F80 a = F80::difference(f1, f);
        const F80 p = X0 * a;
        const F80 b = F80::difference(f, f0);
        const F80 q = X1 * b;
        const F80 s = p + q;
        const F80 d = F80::difference(f1, f0);
        return s / d;
    }
};

}  // namespace quorvane
