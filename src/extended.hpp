// F80: a binary floating-point value with a 64-bit significand, every
// arithmetic operation rounded once to 64 significant bits, to nearest, ties
// to even.  The float schemes do all of their arithmetic in it.
//
// Two backends, chosen when the module is built:
//   hardware  the x87 80-bit extended type (long double on x86-64, whose
//             significand is exactly 64 bits).  The default wherever it exists.
//   MPFR      GNU MPFR at a precision of 64 bits (QUORVANE_F80_MPFR), the
//             portable backend and the cross-check of the hardware one.  About
//             70 times slower per query: never the default on x86-64.
//
// Both give identical results: correct rounding at 64 bits leaves no choice,
// and the exponent ranges of both cover every magnitude the schemes produce
// (2^-2100 to 2^1090).
//
// A value is read out through its decomposition (Parts): zero, or a sign, an
// exponent e and a significand m with its top bit set, standing for
// (-1)^sign * m * 2^(e - 64), so that the magnitude lies in [2^(e-1), 2^e).
#pragma once

#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "binary64.hpp"

#if defined(QUORVANE_F80_MPFR)
#include <mpfr.h>
#else
#if LDBL_MANT_DIG != 64
#error "the hardware F80 backend needs a long double with a 64-bit significand; build with QUORVANE_F80=mpfr"
#endif
#include <cstring>
#endif

#if defined(__x86_64__) || defined(__i386__)
#define QUORVANE_X86 1
#else
#include <cfenv>
#endif

namespace quorvane {

// The decomposition of a finite F80 (see the header comment).
struct F80Parts {
    bool zero;
    bool negative;
    std::int32_t e;
    std::uint64_t m;
};

// ---------------------------------------------------------------------------
// FloatEnvironment: a scope with the floating-point environment that the
// float path needs, whatever the caller had set: round to nearest, x87
// precision control at 64 bits, every exception masked, subnormals neither
// flushed nor treated as zero (DAZ would make subnormal samples compare
// equal to zero).  The caller's environment, exception flags included, is
// put back when the scope ends, on every path.  Taken once per call, never
// per element.
//
// The one place that switches on the platform's floating-point control.
// ---------------------------------------------------------------------------
class FloatEnvironment {
public:
#if defined(QUORVANE_X86)
    // The common case costs three register stores and one load: a caller
    // with the default x87 control word and no exception flags raised needs
    // only its flags cleared again at the end (FNCLEX), while anything else
    // takes the full FNSTENV/FLDENV save and restore.  MXCSR is always put
    // back as it was, flags included.
    FloatEnvironment() noexcept {
        std::uint16_t control;
        std::uint16_t status;
        __asm__ volatile("fnstcw %0" : "=m"(control) : : "memory");
        __asm__ volatile("fnstsw %0" : "=m"(status) : : "memory");
        __asm__ volatile("stmxcsr %0" : "=m"(mxcsr_) : : "memory");
        quick_ = (control & x87_control_bits) == x87_wanted && (status & x87_flag_bits) == 0;
        if (!quick_) {
            // FNSTENV also masks all x87 exceptions as a side effect.
            __asm__ volatile("fnstenv %0" : "=m"(x87_) : : "memory");
            const std::uint16_t wanted = x87_wanted;
            __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(wanted) : "memory");
        }
        if ((mxcsr_ & ~sse_flag_bits) != sse_wanted) {
            const std::uint32_t wanted = sse_wanted;
            __asm__ volatile("ldmxcsr %0" : : "m"(wanted) : "memory");
        }
    }
    ~FloatEnvironment() {
        if (quick_) {
            __asm__ volatile("fnclex" : : : "memory");
        } else {
            __asm__ volatile("fldenv %0" : : "m"(x87_) : "memory");
        }
        __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr_) : "memory");
    }
#else
    FloatEnvironment() noexcept {
        std::fegetenv(&saved_);
        std::fesetenv(FE_DFL_ENV);
    }
    ~FloatEnvironment() { std::fesetenv(&saved_); }
#endif
    FloatEnvironment(const FloatEnvironment&) = delete;
    FloatEnvironment& operator=(const FloatEnvironment&) = delete;

private:
#if defined(QUORVANE_X86)
    // x87 control word: exception masks (bits 0-5), precision control (bits
    // 8-9, 11 = 64 bits), rounding control (bits 10-11, 00 = to nearest).
    static constexpr std::uint16_t x87_control_bits = 0x0F3F;
    static constexpr std::uint16_t x87_wanted = 0x033F;  // all masked, 64 bits, nearest
    static constexpr std::uint16_t x87_flag_bits = 0x003F;  // status word exception flags
    // MXCSR: flags (bits 0-5), masks (7-12), rounding (13-14), DAZ (6), FTZ (15).
    static constexpr std::uint32_t sse_flag_bits = 0x003F;
    static constexpr std::uint32_t sse_wanted = 0x1F80;  // all masked, nearest, no DAZ/FTZ
    struct {
        unsigned char bytes[28];
    } x87_;
    std::uint32_t mxcsr_;
    bool quick_;
#else
    std::fenv_t saved_;
#endif
};

#if !defined(QUORVANE_F80_MPFR)

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

#else  // QUORVANE_F80_MPFR

// ===========================================================================
// MPFR backend: one mpfr_t of precision 64 whose single limb lives inside
// the object (MPFR's custom interface), so no value touches the heap.  The
// rounding mode is passed to every operation; the floating-point
// environment plays no part.
// ===========================================================================
static_assert(GMP_NUMB_BITS == 64, "the MPFR backend expects 64-bit limbs");

class F80 {
public:
    static constexpr mpfr_prec_t precision = 64;

    F80() noexcept { bind(MPFR_ZERO_KIND, 0); }
    F80(const F80& o) noexcept : limb_(o.limb_) { bind_like(o); }
    F80& operator=(const F80& o) noexcept {
        limb_ = o.limb_;
        bind_like(o);
        return *this;
    }

    static F80 from_u64(std::uint64_t u) noexcept {
        F80 r;
        static_assert(sizeof(unsigned long) == sizeof(std::uint64_t));
        mpfr_set_ui(r.p(), static_cast<unsigned long>(u), MPFR_RNDN);
        return r;
    }

    // Precondition: u < 2^63.
    static F80 from_u63(std::uint64_t u) noexcept { return from_u64(u); }

    static F80 from_f64(double v) noexcept {
        F80 r;
        mpfr_set_d(r.p(), v, MPFR_RNDN);  // exact: 53 <= 64 bits
        return r;
    }

    friend F80 operator+(const F80& a, const F80& b) noexcept { return op(mpfr_add, a, b); }
    friend F80 operator-(const F80& a, const F80& b) noexcept { return op(mpfr_sub, a, b); }
    friend F80 operator*(const F80& a, const F80& b) noexcept { return op(mpfr_mul, a, b); }
    friend F80 operator/(const F80& a, const F80& b) noexcept { return op(mpfr_div, a, b); }
    friend bool operator==(const F80& a, const F80& b) noexcept { return mpfr_equal_p(a.p(), b.p()) != 0; }

    bool is_finite() const noexcept { return mpfr_number_p(p()) != 0; }

    F80Parts parts() const noexcept {
        if (mpfr_zero_p(p())) return {true, false, 0, 0};
        // MPFR's exponent has the same meaning as e: the significand is read
        // as a fraction in [1/2, 1).
        return {false, mpfr_signbit(p()) != 0, static_cast<std::int32_t>(mpfr_get_exp(p())),
                static_cast<std::uint64_t>(limb_)};
    }

    F80 floor() const noexcept { return unary(mpfr_floor); }
    F80 ceil() const noexcept { return unary(mpfr_ceil); }
    F80 round_even() const noexcept {
        F80 r;
        mpfr_rint(r.p(), p(), MPFR_RNDN);  // halfway cases to even
        return r;
    }

private:
    void bind(int kind, mpfr_exp_t e) noexcept { mpfr_custom_init_set(&x_, kind, e, precision, &limb_); }
    void bind_like(const F80& o) noexcept {
        const int kind = mpfr_custom_get_kind(o.p());
        const bool regular = kind == MPFR_REGULAR_KIND || kind == -MPFR_REGULAR_KIND;
        bind(kind, regular ? mpfr_custom_get_exp(o.p()) : 0);
    }
    mpfr_ptr p() noexcept { return &x_; }
    mpfr_srcptr p() const noexcept { return &x_; }

    template <class Op>
    static F80 op(Op f, const F80& a, const F80& b) noexcept {
        F80 r;
        f(r.p(), a.p(), b.p(), MPFR_RNDN);
        return r;
    }
    template <class Op>
    F80 unary(Op f) const noexcept {
        F80 r;
        f(r.p(), p());
        return r;
    }

    mp_limb_t limb_ = 0;
    __mpfr_struct x_;
};

#endif  // QUORVANE_F80_MPFR

// ---------------------------------------------------------------------------
// to_f64: truncating conversion to binary64, built bit by bit.
//
// Precondition: v is finite.  The result is the binary64 value of largest
// magnitude not above |v|, with v's sign: surplus significand bits are
// dropped, never rounded up.  So 1/10 in F80 (significand
// 0xCCCCCCCCCCCCCCCD, e = -3) gives 0x3FB9999999999999, not 0.1.
//
//   zero                   +0.0
//   e >= 1025              +-infinity (magnitude at least 2^1024)
//   -1021 <= e <= 1024     normal: exponent field e + 1022, fraction = bits
//                          62..11 of m
//   -1073 <= e <= -1022    subnormal: fraction = m >> (-1010 - e), 12..63 bits
//   e <= -1074             +0.0 whatever the sign (below 2^-1074)
// ---------------------------------------------------------------------------
inline double to_f64_bitwise(const F80& v) noexcept {
    const F80Parts p = v.parts();
    if (p.zero) return 0.0;
    if (p.e >= 1025) return binary64::compose(p.negative, binary64::exponent_max, 0);
    if (p.e >= -1021) {
        return binary64::compose(p.negative, static_cast<std::uint64_t>(p.e + 1022), p.m >> 11);
    }
    if (p.e >= -1073) return binary64::compose(p.negative, 0, p.m >> (-1010 - p.e));
    return 0.0;
}

// The conversion the schemes use: the same result, by the backend's fastest
// route (see F80::truncate_to_f64 for the hardware one).
inline double to_f64(const F80& v) noexcept {
#if defined(QUORVANE_F80_MPFR)
    return to_f64_bitwise(v);
#else
    return v.truncate_to_f64();
#endif
}

// ---------------------------------------------------------------------------
// to_u64: truncating, saturating conversion to u64.
//
// Precondition: v is finite.  Zero, negative values and magnitudes below 1
// give 0; values of 2^64 or more give 2^64 - 1; otherwise the integer part.
// The inverse scheme only converts values already made integral, so the
// truncation is exact there.  3.75 -> 3; 2^64 -> 18446744073709551615.
// ---------------------------------------------------------------------------
inline std::uint64_t to_u64(const F80& v) noexcept {
    const F80Parts p = v.parts();
    if (p.zero || p.negative || p.e <= 0) return 0;
    if (p.e >= 65) return ~std::uint64_t{0};
    return p.m >> (64 - p.e);
}

// ---------------------------------------------------------------------------
// whole_to_u64: to_u64 of a value already made whole, by the backend's
// fastest route (the hardware one converts on the x87 registers).
// ---------------------------------------------------------------------------
inline std::uint64_t whole_to_u64(const F80& v) noexcept {
#if defined(QUORVANE_F80_MPFR)
    return to_u64(v);
#else
    return v.whole_to_u64();
#endif
}

}  // namespace quorvane
