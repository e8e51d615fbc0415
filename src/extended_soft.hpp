// The software backend of F80: a sign, a 64-bit significand and a 32-bit
// exponent, with every operation done in integer arithmetic.  It needs no
// floating-point unit, environment or library, so it runs the same on every
// target, and it is the one that gives the same bits whatever the caller has
// done to the floating-point environment: it never reads it.  Included by
// extended.hpp only, which picks the backend.
//
// A value is zero (m == 0), or (-1)^negative * m * 2^(e - 64) with the top
// bit of m set, so its magnitude lies in [2^(e-1), 2^e): the decomposition
// F80Parts is the representation itself.
//
// Range.  No operation checks its exponent: results are exact as stated as
// long as every exponent stays within +-2^30, where the sum or difference of
// two of them still fits 32 bits.  That covers magnitudes from 2^-(2^30) to
// 2^(2^30); the float schemes produce only magnitudes between 2^-2100 and
// 2^1090, and no infinities or NaNs (they check their operands first).
//
// Rounding.  + - * / compute the exact result to at least two bits beyond
// the 64 kept, plus a sticky bit for everything below, and round once to
// nearest, ties to even (`rounded` below).  That is what the x87 unit at
// 64-bit precision and MPFR at a precision of 64 do, so all three backends
// give the same bits.
#pragma once

#include <bit>
#include <cstdint>
#include <utility>

#include "binary64.hpp"
#include "divop.hpp"
#include "u128.hpp"

namespace quorvane {

class F80 {
public:
    // -----------------------------------------------------------------------
    // from_u64: exact.  0 gives zero; otherwise the significand is u shifted
    // up to its top bit.  Worked: 5 = 0b101 -> m = 0xA000000000000000, e = 3.
    // -----------------------------------------------------------------------
    static F80 from_u64(std::uint64_t u) noexcept {
        if (u == 0) return F80();
        const int shift = std::countl_zero(u);
        return F80(false, 64 - shift, u << shift);
    }

    // Precondition: u < 2^63.  The same as from_u64 (the other backends
    // have a faster route for it).
    static F80 from_u63(std::uint64_t u) noexcept { return from_u64(u); }

    // -----------------------------------------------------------------------
    // from_f64: exact.  Precondition: v finite (the schemes check it first;
    // a NaN or an infinity gives a meaningless finite value).
    //   +-0.0        zero
    //   subnormal    fraction f * 2^-1074: m = f shifted up to its top bit,
    //                e = -1010 - (that shift); 5e-324 -> m = 2^63, e = -1073
    //   normal       (2^52 + f) * 2^(E - 1075): m = (2^52 + f) << 11,
    //                e = E - 1022; 1.0 -> m = 2^63, e = 1
    // -----------------------------------------------------------------------
    [[gnu::always_inline]] static F80 from_f64(double v) noexcept {
        const std::uint64_t bits = binary64::bits(v);
        const bool negative = (bits & binary64::sign_mask) != 0;
        const auto field = static_cast<std::int32_t>((bits >> binary64::fraction_bits) & binary64::exponent_max);
        const std::uint64_t fraction = bits & binary64::fraction_mask;
        if (field == 0) {
            if (fraction == 0) return F80();
            const int shift = std::countl_zero(fraction);
            return F80(negative, -1010 - shift, fraction << shift);
        }
        return F80(negative, field - 1022, (fraction | (std::uint64_t{1} << binary64::fraction_bits)) << 11);
    }

    // -----------------------------------------------------------------------
    // difference: from_f64(x) - from_f64(y), rounded, for finite x and y
    // (the same precondition as from_f64).
    //
    // Why it is fused: the inverse scheme's three differences are of doubles
    // of one segment, whose exponents nearly always lie close together.
    // Then the difference is exact in 64 bits and needs no rounding at all:
    // each double is an integer significand (below 2^53) times the weight
    // 2^(g - 1075) of its last bit, with g the exponent field (1 for a
    // subnormal).  When the two g lie at most 10 apart, both significands
    // scaled to the smaller weight are below 2^63, so their sum or
    // difference is below 2^64, exact; its top bit gives the exponent.  A
    // zero takes the other operand's weight.  Further apart, the general
    // sum rounds it.  Worked: 1.0 - 0.75: g = 1023 and 1022, significands
    // 2^52 and 3 * 2^51; at the weight 2^(1022 - 1075): 2^53 - 3 * 2^51 =
    // 2^51, 12 leading zeros, so m = 2^63 and e = 1022 - 1011 - 12 = -1:
    // 2^63 * 2^(-1 - 64) = 0.25.
    // -----------------------------------------------------------------------
    [[gnu::always_inline]] static F80 difference(double x, double y) noexcept {
        const std::uint64_t xb = binary64::bits(x), yb = binary64::bits(y);
        const auto xfield = static_cast<std::int32_t>((xb >> binary64::fraction_bits) & binary64::exponent_max);
        const auto yfield = static_cast<std::int32_t>((yb >> binary64::fraction_bits) & binary64::exponent_max);
        const std::uint64_t xm = (xb & binary64::fraction_mask) | (static_cast<std::uint64_t>(xfield != 0) << binary64::fraction_bits);
        const std::uint64_t ym = (yb & binary64::fraction_mask) | (static_cast<std::uint64_t>(yfield != 0) << binary64::fraction_bits);
        std::int32_t xg = xfield + (xfield == 0);
        std::int32_t yg = yfield + (yfield == 0);
        xg = xm == 0 ? yg : xg;
        yg = ym == 0 ? xg : yg;
        const std::int32_t gap = xg - yg;
        if (static_cast<std::uint32_t>(gap + 10) > 20u) [[unlikely]] return from_f64(x) - from_f64(y);
        const std::int32_t g = gap < 0 ? xg : yg;
        const std::uint64_t xs = xm << (xg - g);
        const std::uint64_t ys = ym << (yg - g);
        const std::uint32_t xneg = static_cast<std::uint32_t>(xb >> 63);
        const std::uint32_t yneg = static_cast<std::uint32_t>(yb >> 63);
        // x - y = (-1)^xneg * (xs - (-1)^(xneg ^ yneg) * ys)
        std::uint64_t mag;
        std::uint32_t negative = xneg;
        if (xneg != yneg) {
            mag = xs + ys;
        } else {
            const std::uint64_t below = static_cast<std::uint64_t>(xs < ys);
            mag = xs - ys;
            mag = (mag ^ (0 - below)) + below;
            negative ^= static_cast<std::uint32_t>(below);
        }
        if (mag == 0) return F80();
        const int shift = std::countl_zero(mag);
        return F80(negative, g - 1011 - shift, mag << shift);
    }

    // -----------------------------------------------------------------------
    // Multiplication, rounded.  The product of two significands has 127 or
    // 128 bits; it is shifted so that its top bit is bit 127, and its low 64
    // bits decide the rounding.  Zero times anything is zero.  Worked:
    // (2^64 - 1) * (2^64 - 1) = 2^128 - 2^65 + 1: the high half 2^64 - 2 is
    // kept, the low half 1 is below a half, so m = 2^64 - 2.
    // -----------------------------------------------------------------------
    [[gnu::always_inline]] friend F80 operator*(F80 a, F80 b) noexcept {
        if (a.m_ == 0 || b.m_ == 0) return F80();
        const u128 p = mul_64x64(a.m_, b.m_);
        // Shifted up by one when the top bit is clear, without a branch:
        // which it is, is a coin toss on random significands.
        const std::uint64_t short_by = (high64(p) >> 63) ^ 1u;
        const std::uint64_t high = (high64(p) << short_by) | ((low64(p) >> 63) & short_by);
        const std::uint64_t low = low64(p) << short_by;
        const std::int32_t e = a.e_ + b.e_ - static_cast<std::int32_t>(short_by);
        return rounded(a.negative_ ^ b.negative_, e, high, low);
    }

    // -----------------------------------------------------------------------
    // Division, rounded.  The quotient of the significands is taken to 64
    // bits by one 128-by-64 division: a's significand is placed so that the
    // quotient lands in [2^63, 2^64) (shifted up by 64 when a's is the
    // smaller, by 63 otherwise), and the remainder r against b's significand
    // decides the rounding: above a half when 2r > m_b, a tie when 2r ==
    // m_b.  Zero divided by anything is zero; division by zero, which no
    // scheme asks for, gives zero too rather than trapping.  Worked: 1 / 10:
    // 2^63 * 2^64 / (10 * 2^60) = 0xCCCCCCCCCCCCCCCC rest 8 * 2^60 > a half,
    // so m = 0xCCCCCCCCCCCCCCCD, e = -3.
    // -----------------------------------------------------------------------
    [[gnu::always_inline]] friend F80 operator/(F80 a, F80 b) noexcept {
        if (a.m_ == 0 || b.m_ == 0) return F80();
        // Which significand is the larger is a coin toss: no branch.
        const std::uint64_t not_smaller = a.m_ >= b.m_ ? 1u : 0u;
        std::int32_t e = a.e_ - b.e_ + static_cast<std::int32_t>(not_smaller);
        const u128 n = make_u128(a.m_ >> not_smaller, (a.m_ << 63) & (std::uint64_t{0} - not_smaller));
        std::uint64_t r;
        std::uint64_t q = div_128_by_64(n, b.m_, r);
        const std::uint64_t rest = b.m_ - r;  // 2r vs m_b  <=>  r vs m_b - r
        q += static_cast<std::uint64_t>(r > rest) | (static_cast<std::uint64_t>(r == rest) & q & 1u);
        if (q == 0) {  // rounded up to 2^64
            q = std::uint64_t{1} << 63;
            ++e;
        }
        return F80(a.negative_ ^ b.negative_, e, q);
    }

    [[gnu::always_inline]] friend F80 operator+(F80 a, F80 b) noexcept { return sum(a, b, b.negative_); }
    [[gnu::always_inline]] friend F80 operator-(F80 a, F80 b) noexcept { return sum(a, b, b.negative_ ^ 1u); }

    // Numeric equality: zeros are equal whatever their sign.
    friend bool operator==(F80 a, F80 b) noexcept {
        if (a.m_ == 0 || b.m_ == 0) return a.m_ == b.m_;
        return a.m_ == b.m_ && a.e_ == b.e_ && a.negative_ == b.negative_;
    }

    // There are no infinities or NaNs to be.
    bool is_finite() const noexcept { return true; }

    F80Parts parts() const noexcept {
        if (m_ == 0) return {true, false, 0, 0};
        return {false, negative_ != 0, e_, m_};
    }

    // -----------------------------------------------------------------------
    // Integral parts, exact.  A value with e >= 64 has no fraction bits and
    // is returned as it is; one with e <= 0 has magnitude below 1.  Otherwise
    // the top e bits of m are the whole part and the low 64 - e bits the
    // fraction.  The result has the value's sign (a zero carries none).
    //   round_even  to nearest, halfway to even: 0.5 -> 0, 1.5 -> 2,
    //               2.5 -> 2, -2.5 -> -2, 0.75 -> 1
    //   floor       toward minus infinity: -0.5 -> -1, 2.5 -> 2
    //   ceil        toward plus infinity: 0.25 -> 1, -2.5 -> -2
    // -----------------------------------------------------------------------
    F80 round_even() const noexcept {
        if (m_ == 0 || e_ >= 64) return *this;
        if (e_ <= 0) {
            // Below a half, or a half exactly (e == 0, m == 2^63): to zero.
            // Above a half: to one.
            const bool above_half = e_ == 0 && m_ > (std::uint64_t{1} << 63);
            return above_half ? whole(negative_ != 0, 1) : F80();
        }
        const std::uint64_t whole_part = m_ >> (64 - e_);
        const std::uint64_t fraction = m_ << e_;  // its top bit is the half
        constexpr std::uint64_t half = std::uint64_t{1} << 63;
        const std::uint64_t up =
            static_cast<std::uint64_t>(fraction > half) | (static_cast<std::uint64_t>(fraction == half) & whole_part);
        return whole(negative_ != 0, whole_part + (up & 1u));
    }
    F80 floor() const noexcept { return toward(negative_ != 0); }
    F80 ceil() const noexcept { return toward(negative_ == 0); }

    // -----------------------------------------------------------------------
    // The integral parts above converted to u64 as to_u64 does (negative
    // results give 0, 2^64 and more give 2^64 - 1), in one step: the
    // inverse scheme wants only that integer, and going through the F80 of
    // the whole part normalises it only to take it apart again.  is_whole:
    // the value has no fraction bits (round_even() == *this).
    //   value              nearest      floor   ceil    is_whole
    //   zero               0            0       0       yes
    //   negative           0            0       0       as the magnitude
    //   e <= 0 (below 1)   1 if above   0       1       no
    //                      a half
    //   1 <= e <= 63       the whole part m >> (64 - e), and the fraction
    //                      m << e decides (nearest: above a half, or a half
    //                      with the whole part odd)
    //   e == 64            m            m       m       yes
    //   e >= 65            2^64 - 1     2^64 - 1        yes
    // Worked: 2.5 (m = 0xA000000000000000, e = 2): whole part 2, fraction
    // exactly a half and 2 even, so nearest 2, floor 2, ceil 3.
    // -----------------------------------------------------------------------
    std::uint64_t nearest_u64() const noexcept {
        if (m_ == 0 || negative_ != 0) return 0;
        if (e_ >= 64) return e_ == 64 ? m_ : ~std::uint64_t{0};
        if (e_ <= 0) return e_ == 0 && m_ > (std::uint64_t{1} << 63) ? 1u : 0u;
        const std::uint64_t whole_part = m_ >> (64 - e_);
        const std::uint64_t fraction = m_ << e_;
        constexpr std::uint64_t half = std::uint64_t{1} << 63;
        return whole_part + (static_cast<std::uint64_t>(fraction > half) |
                             (static_cast<std::uint64_t>(fraction == half) & whole_part & 1u));
    }
    std::uint64_t floor_u64() const noexcept {
        if (m_ == 0 || negative_ != 0 || e_ <= 0) return 0;
        if (e_ >= 64) return e_ == 64 ? m_ : ~std::uint64_t{0};
        return m_ >> (64 - e_);
    }
    std::uint64_t ceil_u64() const noexcept {
        if (m_ == 0 || negative_ != 0) return 0;
        if (e_ >= 64) return e_ == 64 ? m_ : ~std::uint64_t{0};
        if (e_ <= 0) return 1;
        return (m_ >> (64 - e_)) + static_cast<std::uint64_t>((m_ << e_) != 0);
    }
    bool is_whole() const noexcept {
        if (m_ == 0 || e_ >= 64) return true;
        return e_ > 0 && (m_ << e_) == 0;
    }

private:
    constexpr F80() noexcept = default;
    constexpr F80(bool negative, std::int32_t e, std::uint64_t m) noexcept
        : m_(m), e_(e), negative_(negative ? 1u : 0u) {}
    constexpr F80(std::uint32_t negative, std::int32_t e, std::uint64_t m) noexcept
        : m_(m), e_(e), negative_(negative) {}

    // The whole number k with a sign (k < 2^64).
    static F80 whole(bool negative, std::uint64_t k) noexcept {
        F80 r = from_u64(k);
        r.negative_ = negative && k != 0 ? 1u : 0u;
        return r;
    }

    // The integer part, plus one in magnitude when `away` and there is a
    // fraction: floor of a negative value and ceiling of a positive one.
    F80 toward(bool away) const noexcept {
        if (m_ == 0 || e_ >= 64) return *this;
        if (e_ <= 0) return away ? whole(negative_ != 0, 1) : F80();
        const std::uint64_t whole_part = m_ >> (64 - e_);
        const bool fraction = (m_ << e_) != 0;
        return whole(negative_ != 0, whole_part + (away && fraction ? 1u : 0u));
    }

    // -----------------------------------------------------------------------
    // rounded: the value (-1)^negative * (high + low / 2^64) * 2^(e - 64),
    // high's top bit set, rounded to 64 bits, to nearest, ties to even.  low
    // holds everything below the kept bits: its top bit is the half, and any
    // other set bit (a sticky bit included) means "more than nothing".
    // Rounding up 2^64 - 1 gives 2^64, which is 2^63 one exponent higher.
    // -----------------------------------------------------------------------
    [[gnu::always_inline]] static F80 rounded(std::uint32_t negative, std::int32_t e, std::uint64_t high, std::uint64_t low) noexcept {
        const std::uint64_t up = (low >> 63) & (static_cast<std::uint64_t>((low << 1) != 0) | (high & 1));
        high += up;
        if (high == 0) {
            high = std::uint64_t{1} << 63;
            ++e;
        }
        return F80(negative, e, high);
    }

    // -----------------------------------------------------------------------
    // sum: a + b, where b counts with the sign b_negative, rounded.
    //
    // The operand with the larger exponent is called a.  b's significand is
    // aligned to a's in a 128-bit window (a's significand in the high half)
    // by the difference d of the exponents.  Below d = 64 (nearly every sum
    // the schemes make) nothing falls out of the window:
    //   same signs        add; a carry out of the window shifts the sum
    //                     down by one, the bit shifted out kept in the low
    //                     half's lowest bit
    //   opposite signs    subtract; a is the larger in magnitude unless d =
    //                     0, where the difference is exact and is negated
    //                     (sign flipped) when b's significand is the larger;
    //                     then shifted up until its top bit is set
    // and the low half decides the rounding.  From d = 64 on (far), bits fall
    // out below the window and only matter as a sticky bit, which sits below
    // bit 63 of the low half and so decides nothing but "more than a half"
    // on a tie-looking low half.  A difference there is taken one unit lower
    // with the sticky bit set: the true b is a little more than its window,
    // so the true difference lies strictly between.
    //
    // Worked: 2^64 - 2^-64 (a = 2^64: m = 2^63, e = 65; b = 2^-64: m = 2^63,
    // e = -63; d = 128): the window of b is empty and sticky; the window
    // difference one unit lower, (2^63 - 1) * 2^64 + (2^64 - 1), shifted up
    // once with the sticky bit, has a low half above a half, so it rounds
    // back up to 2^64 exactly, as it must: 2^64 - 2^-64 is nearer 2^64 than
    // the next value below it, 2^64 - 1.
    // -----------------------------------------------------------------------
    [[gnu::always_inline]] static F80 sum(F80 a, F80 b, std::uint32_t b_negative) noexcept {
        if ((a.m_ == 0) | (b.m_ == 0)) [[unlikely]] {
            if (b.m_ == 0) return a.m_ == 0 ? F80() : a;
            return F80(b_negative, b.e_, b.m_);
        }
        // a becomes the operand with the larger exponent, by masks: which
        // one it is, is data, and compilers turn selects that share a
        // condition into a branch.
        const std::int64_t diff = std::int64_t{a.e_} - b.e_;
        const auto swap = static_cast<std::uint64_t>(diff >> 63);  // all ones when b's is larger
        const std::uint64_t am = a.m_ ^ ((a.m_ ^ b.m_) & swap);
        const std::uint64_t bm = b.m_ ^ ((a.m_ ^ b.m_) & swap);
        const auto e = static_cast<std::int32_t>(a.e_ ^ ((a.e_ ^ b.e_) & static_cast<std::int32_t>(swap)));
        const std::uint32_t negative = a.negative_ ^ ((a.negative_ ^ b_negative) & static_cast<std::uint32_t>(swap));
        const auto d = static_cast<std::uint64_t>((diff ^ static_cast<std::int64_t>(swap)) - static_cast<std::int64_t>(swap));
        if (d >= 64) [[unlikely]] return far(am, bm, d, e, negative, a.negative_ != b_negative);

        // b in the window, bhigh:blow (d = 0 shifts blow out to 0 in two
        // steps, as a shift by 64 is undefined).  Nothing falls out below.
        const std::uint64_t bhigh = bm >> d;
        const std::uint64_t blow = (bm << (63 - d)) << 1;
        if (a.negative_ == b_negative) {
            // A carry out of the window shifts the sum down by one, without
            // a branch: whether it carries is data.
            std::uint64_t high = am + bhigh;
            const std::uint64_t carry = high < am ? 1u : 0u;
            const std::uint64_t low = (blow >> carry) | ((high << 63) & (std::uint64_t{0} - carry)) | (blow & carry);
            high = (high >> carry) | (carry << 63);
            return rounded(negative, e + static_cast<std::int32_t>(carry), high, low);
        }
        // The difference.  Only with d = 0 can b be the larger: then it is
        // exact (blow = 0), and negated with the sign flipped.
        const std::uint64_t low = std::uint64_t{0} - blow;
        std::uint64_t high = am - bhigh - (blow != 0 ? 1u : 0u);
        const std::uint64_t flip = std::uint64_t{0} - static_cast<std::uint64_t>((d == 0) & (am < bm));
        high = (high ^ flip) - flip;
        if (high == 0) [[unlikely]] {
            if (low == 0) return F80();  // exact cancellation
            // Only with d = 1: the difference is below 2^64 in the window.
            const int shift = std::countl_zero(low);
            return F80(negative, e - 64 - shift, low << shift);
        }
        // Up until the top bit is set; shift 0 takes low's bits out in two
        // steps, as a shift by 64 is undefined.
        const int shift = std::countl_zero(high);
        high = (high << shift) | ((low >> 1) >> (63 - shift));
        return rounded(negative ^ static_cast<std::uint32_t>(flip & 1u), e - shift, high, low << shift);
    }

    // sum for exponents at least 64 apart (out of line: the schemes' sums
    // almost never get here).  b's significand falls below the window's
    // high half: with d > 64 partly or wholly out of the window, as a sticky
    // bit.  a is the larger in magnitude, so a difference is positive and
    // keeps its top half at least 2^62: one shift at most.
    static F80 far(std::uint64_t am, std::uint64_t bm, std::uint64_t d, std::int32_t e,
                                     std::uint32_t negative, bool subtract) noexcept {
        std::uint64_t blow = 0;
        std::uint64_t sticky = 0;
        if (d == 64) {
            blow = bm;
        } else if (d < 128) {
            blow = bm >> (d - 64);
            sticky = (bm << (128 - d)) != 0 ? 1u : 0u;
        } else {
            sticky = 1;
        }
        if (!subtract) return rounded(negative, e, am, blow | sticky);  // no carry: blow < 2^64 below am
        // With sticky bits the true b is a little more than its window:
        // the window difference is taken one unit lower and the sticky bit
        // set, so that the true difference lies strictly between.  blow +
        // sticky never wraps: with a sticky bit, blow < 2^63.
        const std::uint64_t taken = blow + sticky;
        std::uint64_t low = std::uint64_t{0} - taken;
        std::uint64_t high = am - (taken != 0 ? 1u : 0u);
        const std::uint64_t shift = (high >> 63) ^ 1u;
        high = (high << shift) | ((low >> 63) & shift);
        low <<= shift;
        return rounded(negative, e - static_cast<std::int32_t>(shift), high, low | sticky);
    }

    // Three fields that fill 16 bytes without padding, so that a copy is two
    // 8-byte moves (with a bool, compilers copy 13 bytes as two overlapping
    // moves, and a load that spans two earlier stores stalls).
    std::uint64_t m_ = 0;  // 0 for zero, else the top bit is set
    std::int32_t e_ = 0;
    std::uint32_t negative_ = 0;  // 0 or 1
};

}  // namespace quorvane
