// Exact rounding division of a 128-bit numerator by a 64-bit divisor.
#pragma once

#include <cstdint>

#include "method.hpp"
#include "u128.hpp"

namespace quorvane {

// ---------------------------------------------------------------------------
// div_128_by_64
//
// Contract: d != 0 and the high 64 bits of n are below d, so that the
// quotient fits in 64 bits.  Returns q = floor(n / d) and sets r = n - q*d,
// 0 <= r < d.  Exact; no rounding.
//
// Why a primitive of its own: both schemes divide a sum of two 64x64-bit
// products by a 64-bit weight sum that bounds it (n <= (2^64 - 1) * d), so the
// quotient always fits 64 bits.  x86-64's DIV instruction does exactly this
// in one instruction, quotient and remainder together, about twice as fast as
// the compiler's generic 128-by-128 division followed by a multiply for the
// remainder.  This is the one place that chooses between the two; elsewhere
// the division of u128.hpp does it (the compiler's, or long division in
// base 2^32 on the portable limb pair).
// ---------------------------------------------------------------------------
inline u64 div_128_by_64(u128 n, u64 d, u64& r) noexcept {
#if defined(__x86_64__) && defined(QUORVANE_NATIVE_U128) && !defined(QUORVANE_GENERIC_DIVISION)
    const u64 hi = high64(n);
    const u64 lo = low64(n);
    u64 q;
    u64 rem;
    // DIV faults when the quotient overflows; the contract (hi < d) rules it out.
    __asm__("divq %[d]" : "=a"(q), "=d"(rem) : [d] "r"(d), "a"(lo), "d"(hi) : "cc");
    r = rem;
    return q;
#else
    return divrem_128_by_64(n, d, r);
#endif
}

// The outcome of a rounding division: a quotient, or none (an inexact
// division under Method::Absent).
struct Quotient {
    u64 value;
    bool present;
};

// ---------------------------------------------------------------------------
// divide_rounded
//
// Contract: d != 0 and n <= (2^64 - 1) * d, hence floor(n / d) <= 2^64 - 1;
// the rounded quotient is only taken up to 2^64 - 1 by the callers, whose
// exact quotient lies between two 64-bit integers (see the schemes).
//
// Result by rounding rule, with q = floor(n / d) and r = n mod d:
//   Absent   q if r == 0, otherwise no quotient
//   Nearest  q if 2r < d; q + 1 if 2r > d; on a tie (2r == d, so d is even)
//            the even one of q and q + 1
//   Ffill    q
//   Bfill    q + 1 if r != 0, otherwise q
//
// 2r is compared as r against d - r, which cannot overflow: r < d.
// Worked tie: n = 3, d = 2 gives q = 1, r = 1, 2r == d, q odd -> 2.
// ---------------------------------------------------------------------------
inline Quotient divide_rounded(u128 n, u64 d, Method rounding) noexcept {
    u64 r;
    const u64 q = div_128_by_64(n, d, r);
    switch (rounding) {
        case Method::Absent:
            return {q, r == 0};
        case Method::Nearest: {
            // Without branches: which way a quotient rounds is data, not a
            // pattern a predictor can learn.
            const u64 rest = d - r;  // 2r vs d  <=>  r vs d - r
            const u64 up = static_cast<u64>(r > rest) | (static_cast<u64>(r == rest) & q & 1u);
            return {q + up, true};
        }
        case Method::Ffill:
            return {q, true};
        case Method::Bfill:
            return {q + static_cast<u64>(r != 0), true};
    }
    return {q, false};
}

}  // namespace quorvane
