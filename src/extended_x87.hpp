// The x87 backend of F80: the 80-bit extended long double of x86, whose
// significand is exactly 64 bits.  Included by extended.hpp only, which
// picks the backend.
#pragma once

#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "binary64.hpp"

#if LDBL_MANT_DIG != 64 || !(defined(__x86_64__) || defined(__i386__))
#error "the x87 F80 backend needs x86's 80-bit long double; build with QUORVANE_F80=soft"
#endif

namespace quorvane {

// ===========================================================================
// Hardware backend: long double on x86.
//
// The arithmetic relies on the x87 precision control being at 64 bits and
// rounding to nearest, which a FloatEnvironment scope guarantees.  Everything
// that is not one of the four rounded operations (decomposition, floor,
// ceiling, round, the conversions out) works on the bits of the 80-bit
// format, so it does not depend on the rounding mode at all.
// ===========================================================================
class F80 {
public:
    // Exact: every u64 has at most 64 significant bits.  Without a branch:
    // the compiler's conversion tests the top bit and adds 2^64 after a
    // signed load only when it is set, which on coordinates spread over the
    // whole range is a coin toss for the branch predictor three times per
    // query.  Here the signed load is corrected by adding 0 or 2^64 picked
    // from a table; the sum is exact, as the result fits 64 bits.
    static F80 from_u64(std::uint64_t u) noexcept {
        static constexpr double correction[2] = {0.0, 0x1p64};  // 2^64 is a double: FLD m64, not m80
        const long double as_signed = static_cast<long double>(static_cast<std::int64_t>(u));
        return F80(as_signed + correction[u >> 63]);
    }

    // Precondition: u < 2^63.  Exact: one signed load, without from_u64's
    // correction (the differences of coordinates within a segment narrower
    // than 2^63, which is nearly every segment, take this route).
    static F80 from_u63(std::uint64_t u) noexcept {
        return F80(static_cast<long double>(static_cast<std::int64_t>(u)));
    }

    // Precondition: v is finite (the schemes check it first).  Exact,
    // subnormals included; -0.0 and +0.0 both give zero.
    static F80 from_f64(double v) noexcept { return F80(static_cast<long double>(v)); }

    // from_f64(x) - from_f64(y), rounded; x and y finite.
    static F80 difference(double x, double y) noexcept { return from_f64(x) - from_f64(y); }

    friend F80 operator+(F80 a, F80 b) noexcept { return F80(a.v_ + b.v_); }
    friend F80 operator-(F80 a, F80 b) noexcept { return F80(a.v_ - b.v_); }
    friend F80 operator*(F80 a, F80 b) noexcept { return F80(a.v_ * b.v_); }
    friend F80 operator/(F80 a, F80 b) noexcept { return F80(a.v_ / b.v_); }
    friend bool operator==(F80 a, F80 b) noexcept { return a.v_ == b.v_; }

    bool is_finite() const noexcept { return exponent_field(bits().sign_exponent) != x87_exponent_max; }

    // Precondition: finite.
    F80Parts parts() const noexcept {
        const Bits b = bits();
        const bool negative = (b.sign_exponent & x87_sign_bit) != 0;
        const std::int32_t field = exponent_field(b.sign_exponent);
        if (b.significand == 0) return {true, false, 0, 0};
        if (field == 0) {
            // Denormal: no explicit leading one.  The schemes never make one,
            // but normalise it so the decomposition stays truthful.
            const int shift = std::countl_zero(b.significand);
            return {false, negative, 1 - x87_bias_to_e - shift, b.significand << shift};
        }
        return {false, negative, field - x87_bias_to_e, b.significand};
    }

    // -----------------------------------------------------------------------
    // Integral parts, exact, on the x87 itself (reading the 80-bit format back
    // through memory would stall).  FRNDINT rounds by the control word, which
    // the environment holds at round-to-nearest-even; floor and ceiling
    // correct that by one, exactly: a value that is not whole is below 2^63
    // in magnitude.  Precondition: finite.
    // -----------------------------------------------------------------------
    F80 round_even() const noexcept {
        long double r;
        __asm__("frndint" : "=t"(r) : "0"(v_));
        return F80(r);
    }
    F80 floor() const noexcept {
        const long double r = round_even().v_;
        return F80(r > v_ ? r - 1.0L : r);
    }
    F80 ceil() const noexcept {
        const long double r = round_even().v_;
        return F80(r < v_ ? r + 1.0L : r);
    }

    // -----------------------------------------------------------------------
    // truncate_to_f64: the truncating conversion to binary64 (to_f64_bitwise
    // gives the rule), without reading the 80-bit format back through memory:
    // an 80-bit store followed by integer loads of it misses store-to-load
    // forwarding and costs more than the whole arithmetic of a query.
    //
    // Route: narrow with the x87's own rounding (to nearest, as the
    // environment sets it), widen back exactly and compare with v.  Rounding
    // went away from zero when it went up for a positive value or down for a
    // negative one (the narrowed value has the sign of v, or is a zero of
    // that sign); then the binary64 result steps one unit toward zero, which
    // is the truncation.  Zeros come out as +0.0.  Rounding overflows to
    // infinity from 2^1024 - 2^970 on and the rule only from 2^1024 on: in
    // between, the step from infinity gives the largest finite value.
    // Worked: 1 - 2^-64 rounds up to 1.0, which steps down to 1 - 2^-53;
    // -(1 - 2^-64) rounds down to -1.0, which steps to -(1 - 2^-53).
    //
    // One comparison, not one of magnitudes: FABS twice costs two x87
    // operations more, and the sign is a bit of the narrowed value.  The
    // asm keeps v on the register stack (FSTL does not pop, FCOMIP pops
    // only the widened copy).  Precondition: finite.
    // -----------------------------------------------------------------------
    double truncate_to_f64() const noexcept {
        double nearest;
        bool up;    // the widened value is above v
        bool down;  // ... below v
        __asm__("fstl %0\n\tfldl %0\n\tfcomip %%st(1), %%st" : "=m"(nearest), "=@cca"(up), "=@ccb"(down) : "t"(v_));
        std::uint64_t bits = std::bit_cast<std::uint64_t>(nearest);
        if (!binary64::is_finite(nearest)) [[unlikely]] {
            // FLD m80 of the constant 2^1024 is slow, and only needed here.
            return __builtin_fabsl(v_) >= 0x1p1024L ? nearest : std::bit_cast<double>(bits - 1);
        }
        const bool negative = (bits & binary64::sign_mask) != 0;
        const bool away = negative ? down : up;
        bits -= away ? 1u : 0u;  // toward zero
        if ((bits & ~binary64::sign_mask) == 0) return 0.0;
        return std::bit_cast<double>(bits);
    }

    // -----------------------------------------------------------------------
    // to_u64 for a whole value, by FISTP (exact for a whole value under any
    // rounding) rather than the compiler's conversion, which changes the
    // control word around every conversion on CPUs without FISTTP.
    //
    // FISTP takes signed values, so values from 2^63 on are brought down by
    // 2^63 first, exactly, and the result goes up by 2^63 after.  The offset
    // is indexed by the comparison; GCC makes that a branch, which the
    // predictor gets right for coordinates below 2^63 (ns timestamps,
    // counters, offsets: nearly every table).  Measured here, forcing the
    // table load instead puts the comparison on every query's dependency
    // chain and costs a tenth more per query.  Out of range, below zero or
    // from 2^64 on, FISTP stores the integer indefinite -2^63 (the
    // invalid-operation exception is masked in the environment), and a
    // negative result is only ever that or a negative value: one integer
    // test finds both ends, and the offset tells which.  Worked: 5 -> 5;
    // 2^64 - 1 -> 2^63 - 1 -> 2^64 - 1; 2^64 -> indefinite, offset -> 2^64 - 1;
    // -3 -> -3, no offset -> 0.
    // -----------------------------------------------------------------------
    std::uint64_t whole_to_u64() const noexcept {
        static constexpr double offset[2] = {0.0, 0x1p63};  // doubles: FLD m64, not m80
        const std::size_t high = v_ >= 0x1p63L ? 1 : 0;
        const long double w = v_ - offset[high];
        std::int64_t i;
        __asm__("fistpll %0" : "=m"(i) : "t"(w) : "st");
        if (i < 0) return high ? ~std::uint64_t{0} : 0;
        return static_cast<std::uint64_t>(i) + (std::uint64_t{high} << 63);
    }

private:
    struct Bits {
        std::uint64_t significand;    // bit 63 is the explicit leading one
        std::uint16_t sign_exponent;  // sign bit 15, biased exponent bits 14..0
    };
    static constexpr std::uint16_t x87_sign_bit = 0x8000;
    static constexpr std::int32_t x87_exponent_max = 0x7FFF;
    // Biased exponent E stands for m * 2^(E - 16383 - 63), so e = E - 16382.
    static constexpr std::int32_t x87_bias_to_e = 16382;

    static constexpr std::int32_t exponent_field(std::uint16_t se) noexcept { return se & 0x7FFF; }
    static constexpr double binary64_infinity() noexcept { return std::numeric_limits<double>::infinity(); }

    Bits bits() const noexcept {
        Bits b{};
        std::memcpy(&b.significand, &v_, sizeof b.significand);
        std::memcpy(&b.sign_exponent, reinterpret_cast<const unsigned char*>(&v_) + 8, sizeof b.sign_exponent);
        return b;
    }

    explicit F80(long double v) noexcept : v_(v) {}
    long double v_;
};

}  // namespace quorvane
