// Unsigned 128-bit integers: the compiler's unsigned __int128 where it has
// one, a portable pair of 64-bit limbs elsewhere (32-bit targets, MSVC).
//
// The integer scheme holds its weighted sums at 128 bits, the software F80
// multiplies and divides 64-bit significands, and time units are compared in
// attoseconds: all of it goes through this header, which is the one place
// that chooses the representation.  QUORVANE_PORTABLE_U128 forces the limb
// pair on any compiler, so that it is tested where __int128 exists too.
//
// Both forms give the same values: everything is arithmetic modulo 2^128,
// with the usual C++ meaning of each operator, and division by zero is the
// caller's fault in both.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

#if defined(__SIZEOF_INT128__) && !defined(QUORVANE_PORTABLE_U128)
#define QUORVANE_NATIVE_U128 1
#endif

namespace quorvane {

using u64 = std::uint64_t;

#if defined(QUORVANE_NATIVE_U128)

__extension__ typedef unsigned __int128 u128;

constexpr u128 make_u128(u64 high, u64 low) noexcept { return (u128{high} << 64) | low; }
constexpr u64 high64(u128 v) noexcept { return static_cast<u64>(v >> 64); }
constexpr u64 low64(u128 v) noexcept { return static_cast<u64>(v); }

// The full product of two 64-bit integers.
constexpr u128 mul_64x64(u64 a, u64 b) noexcept { return u128{a} * b; }

// ---------------------------------------------------------------------------
// divrem_128_by_64: contract d != 0 and high64(n) < d, so that the quotient
// fits 64 bits.  Returns floor(n / d) and sets r = n mod d.  (divop's
// div_128_by_64 uses the x86-64 DIV instruction instead where it exists.)
// ---------------------------------------------------------------------------
constexpr u64 divrem_128_by_64(u128 n, u64 d, u64& r) noexcept {
    const u128 q = n / d;
    r = static_cast<u64>(n - q * d);
    return static_cast<u64>(q);
}

#else  // the portable limb pair

namespace wide_detail {

// The full product of two 64-bit integers from four 32-bit partial products,
// each of which fits 64 bits: 32-bit targets multiply 32x32 -> 64 in one
// instruction.  The middle column cannot overflow: (2^32-1)^2 + 2 * (2^32-1)
// = 2^64 - 1.
struct Product {
    u64 high;
    u64 low;
};
constexpr Product multiply(u64 a, u64 b) noexcept {
    const u64 a0 = a & 0xFFFFFFFFu, a1 = a >> 32;
    const u64 b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
    const u64 p00 = a0 * b0;
    const u64 p01 = a0 * b1;
    const u64 p10 = a1 * b0;
    const u64 p11 = a1 * b1;
    const u64 middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
    return {p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32), (middle << 32) | (p00 & 0xFFFFFFFFu)};
}

// ---------------------------------------------------------------------------
// divide: floor((high * 2^64 + low) / d) and the remainder, for d != 0 and
// high < d.  Long division in base 2^32 (Knuth's algorithm D for a
// two-digit divisor): the divisor is normalised so that its top bit is set,
// then each of the two quotient digits is estimated from the top digits and
// corrected at most twice.  Worked: (2^64 + 5) / 3 -> 6148914691236517207,
// remainder 0.
// ---------------------------------------------------------------------------
constexpr u64 divide(u64 high, u64 low, u64 d, u64& r) noexcept {
    constexpr u64 base = u64{1} << 32;
    const int s = std::countl_zero(d);
    d <<= s;
    // The numerator shifted by s: its top 64 bits and its low 64 bits.
    const u64 top = s == 0 ? high : (high << s) | (low >> (64 - s));
    const u64 bottom = low << s;
    const u64 d1 = d >> 32, d0 = d & 0xFFFFFFFFu;
    const u64 n1 = bottom >> 32, n0 = bottom & 0xFFFFFFFFu;

    u64 q1 = top / d1;
    u64 rest = top - q1 * d1;
    while (q1 >= base || q1 * d0 > ((rest << 32) | n1)) {
        --q1;
        rest += d1;
        if (rest >= base) break;
    }
    const u64 mid = (top << 32) + n1 - q1 * d;  // modulo 2^64: the true value is below d

    u64 q0 = mid / d1;
    rest = mid - q0 * d1;
    while (q0 >= base || q0 * d0 > ((rest << 32) | n0)) {
        --q0;
        rest += d1;
        if (rest >= base) break;
    }
    r = ((mid << 32) + n0 - q0 * d) >> s;
    return (q1 << 32) + q0;
}

}  // namespace wide_detail

class u128 {
public:
    constexpr u128() noexcept = default;
    // From any integer, as the built-in type converts it: a negative value
    // wraps modulo 2^128.
    template <class I, std::enable_if_t<std::is_integral_v<I>, int> = 0>
    constexpr u128(I v) noexcept  // NOLINT: implicit, as the built-in type
        : low_(static_cast<u64>(v)), high_(std::is_signed_v<I> && v < 0 ? ~u64{0} : 0) {}
    constexpr u128(u64 high, u64 low, int) noexcept : low_(low), high_(high) {}

    template <class I, std::enable_if_t<std::is_integral_v<I>, int> = 0>
    constexpr explicit operator I() const noexcept {
        return static_cast<I>(low_);
    }
    constexpr explicit operator bool() const noexcept { return (low_ | high_) != 0; }

    constexpr u64 high() const noexcept { return high_; }
    constexpr u64 low() const noexcept { return low_; }

    friend constexpr u128 operator+(u128 a, u128 b) noexcept {
        const u64 low = a.low_ + b.low_;
        return {a.high_ + b.high_ + (low < a.low_ ? 1u : 0u), low, 0};
    }
    friend constexpr u128 operator-(u128 a, u128 b) noexcept {
        return {a.high_ - b.high_ - (a.low_ < b.low_ ? 1u : 0u), a.low_ - b.low_, 0};
    }
    friend constexpr u128 operator*(u128 a, u128 b) noexcept {
        const wide_detail::Product p = wide_detail::multiply(a.low_, b.low_);
        return {p.high + a.high_ * b.low_ + a.low_ * b.high_, p.low, 0};
    }
    friend constexpr u128 operator/(u128 a, u128 b) noexcept {
        u128 r;
        return divmod(a, b, r);
    }
    friend constexpr u128 operator%(u128 a, u128 b) noexcept {
        u128 r;
        divmod(a, b, r);
        return r;
    }
    friend constexpr u128 operator<<(u128 a, int s) noexcept {
        if (s == 0) return a;
        if (s >= 64) return {a.low_ << (s - 64), 0, 0};
        return {(a.high_ << s) | (a.low_ >> (64 - s)), a.low_ << s, 0};
    }
    friend constexpr u128 operator>>(u128 a, int s) noexcept {
        if (s == 0) return a;
        if (s >= 64) return {0, a.high_ >> (s - 64), 0};
        return {a.high_ >> s, (a.low_ >> s) | (a.high_ << (64 - s)), 0};
    }
    friend constexpr u128 operator|(u128 a, u128 b) noexcept { return {a.high_ | b.high_, a.low_ | b.low_, 0}; }
    friend constexpr u128 operator&(u128 a, u128 b) noexcept { return {a.high_ & b.high_, a.low_ & b.low_, 0}; }
    u128& operator+=(u128 b) noexcept { return *this = *this + b; }
    u128& operator-=(u128 b) noexcept { return *this = *this - b; }
    u128& operator*=(u128 b) noexcept { return *this = *this * b; }
    u128& operator/=(u128 b) noexcept { return *this = *this / b; }
    u128& operator%=(u128 b) noexcept { return *this = *this % b; }
    u128& operator<<=(int s) noexcept { return *this = *this << s; }
    u128& operator>>=(int s) noexcept { return *this = *this >> s; }
    u128& operator|=(u128 b) noexcept { return *this = *this | b; }

    friend constexpr bool operator==(u128 a, u128 b) noexcept { return a.high_ == b.high_ && a.low_ == b.low_; }
    friend constexpr bool operator<(u128 a, u128 b) noexcept {
        return a.high_ != b.high_ ? a.high_ < b.high_ : a.low_ < b.low_;
    }
    friend constexpr bool operator>(u128 a, u128 b) noexcept { return b < a; }
    friend constexpr bool operator<=(u128 a, u128 b) noexcept { return !(b < a); }
    friend constexpr bool operator>=(u128 a, u128 b) noexcept { return !(a < b); }

private:
    // Quotient and remainder of a by b != 0.  A divisor of 64 bits takes two
    // steps of the 128-by-64 long division; a wider one leaves a quotient
    // below 2^64, found bit by bit (only setup code divides by such values).
    static constexpr u128 divmod(u128 a, u128 b, u128& r) noexcept {
        if (b.high_ == 0) {
            u64 rest = 0;
            const u64 qh = a.high_ / b.low_;
            const u64 ql = wide_detail::divide(a.high_ % b.low_, a.low_, b.low_, rest);
            r = u128{rest};
            return {qh, ql, 0};
        }
        u64 q = 0;
        u128 rest = a;
        const int shift = std::countl_zero(b.high_) - std::countl_zero(a.high_ | 1);
        for (int k = shift < 0 ? -1 : shift; k >= 0; --k) {
            const u128 step = b << k;
            if (!(rest < step)) {
                rest -= step;
                q |= u64{1} << k;
            }
        }
        r = rest;
        return u128{q};
    }

    u64 low_ = 0;
    u64 high_ = 0;
};

constexpr u128 make_u128(u64 high, u64 low) noexcept { return {high, low, 0}; }
constexpr u64 high64(u128 v) noexcept { return v.high(); }
constexpr u64 low64(u128 v) noexcept { return v.low(); }

constexpr u128 mul_64x64(u64 a, u64 b) noexcept {
    const wide_detail::Product p = wide_detail::multiply(a, b);
    return make_u128(p.high, p.low);
}

constexpr u64 divrem_128_by_64(u128 n, u64 d, u64& r) noexcept { return wide_detail::divide(n.high(), n.low(), d, r); }

#endif  // QUORVANE_NATIVE_U128

}  // namespace quorvane
