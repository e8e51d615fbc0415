// F80: a binary floating-point value with a 64-bit significand, every
// arithmetic operation rounded once to 64 significant bits, to nearest, ties
// to even.  The float schemes do all of their arithmetic in it.
//
// Three backends, one chosen when the module is built (QUORVANE_F80):
//   soft   integer arithmetic only (extended_soft.hpp): every target, no
//          floating-point environment, no library.  QUORVANE_F80_SOFT.
//   x87    the x87 80-bit extended type (extended_x87.hpp), long double on
//          x86 with GCC or Clang.  QUORVANE_F80_X87.
//   mpfr   GNU MPFR at a precision of 64 bits (extended_mpfr.hpp), the
//          cross-check of the other two.  QUORVANE_F80_MPFR.
// Without a choice, x87 where the compiler has it and soft elsewhere, as
// the build's "auto" does.
//
// All give identical results: correct rounding at 64 bits leaves no choice,
// and the exponent ranges of all three cover every magnitude the schemes
// produce (2^-2100 to 2^1090).
//
// A value is read out through its decomposition (Parts): zero, or a sign, an
// exponent e and a significand m with its top bit set, standing for
// (-1)^sign * m * 2^(e - 64), so that the magnitude lies in [2^(e-1), 2^e).
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>

#include "binary64.hpp"

// The backend: the one place that picks it.
#if !defined(QUORVANE_F80_SOFT) && !defined(QUORVANE_F80_X87) && !defined(QUORVANE_F80_MPFR)
#include <cfloat>
#if (defined(__x86_64__) || defined(__i386__)) && LDBL_MANT_DIG == 64 && (defined(__GNUC__) || defined(__clang__))
#define QUORVANE_F80_X87 1
#else
#define QUORVANE_F80_SOFT 1
#endif
#endif
#if defined(QUORVANE_F80_SOFT) + defined(QUORVANE_F80_X87) + defined(QUORVANE_F80_MPFR) != 1
#error "define exactly one of QUORVANE_F80_SOFT, QUORVANE_F80_X87 and QUORVANE_F80_MPFR"
#endif

#if defined(__x86_64__) || defined(__i386__)
#define QUORVANE_X86 1
// The x87 registers, as an asm clobber list (see FloatEnvironment).
#define QUORVANE_X87_STACK , "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)"
#endif
#if !defined(QUORVANE_X86)
#include <cfenv>
#endif

namespace quorvane {

// The backend's name, as the module reports it.
#if defined(QUORVANE_F80_SOFT)
inline constexpr const char* f80_backend = "soft";
#elif defined(QUORVANE_F80_X87)
inline constexpr const char* f80_backend = "x87";
#else
inline constexpr const char* f80_backend = "mpfr";
#endif

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
// The soft backend computes in integers and never reads the environment;
// only the searches' comparisons of binary64 values still run on the
// hardware, and of the whole environment only DAZ (x86) or flush-to-zero
// (elsewhere) changes a comparison.  So there the scope only takes that off:
// on x86 MXCSR alone is read, and written back at the end.  (Comparing on
// the bits instead, as signed integers, costs five times the time of an
// inverse search: measured here on 65,536 entries.)
//
// The one place that switches on the platform's floating-point control.
// ---------------------------------------------------------------------------
class FloatEnvironment {
public:
#if defined(QUORVANE_F80_SOFT) && defined(QUORVANE_X86)
    FloatEnvironment() noexcept {
        __asm__ volatile("stmxcsr %0" : "=m"(mxcsr_) : : "memory");
        if ((mxcsr_ & daz) != 0) {
            const std::uint32_t wanted = mxcsr_ & ~daz;
            __asm__ volatile("ldmxcsr %0" : : "m"(wanted) : "memory");
        }
    }
    // Put back as it was, flags included (a conversion of the batch may
    // have raised one).
    ~FloatEnvironment() { __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr_) : "memory"); }
#elif defined(QUORVANE_X86)
    // The common case costs three register stores and one load: a caller
    // with the default x87 control word and no exception flags raised needs
    // only its flags cleared again at the end (FNCLEX), while anything else
    // takes the full FNSTENV/FLDENV save and restore.  MXCSR is always put
    // back as it was, flags included.
    //
    // Every x87 instruction here also names all eight x87 registers as
    // clobbered: no x87 value may be live across them.  Otherwise the
    // compiler may load an operand onto the register stack before the
    // scope's FNSTENV, and FLDENV at the end puts back the stack's top as
    // it was then, one register off (found by fuzzing with the scope around
    // a single scheme call: subnormal operands left the stack pointer one
    // lower per call).
    FloatEnvironment() noexcept {
        std::uint16_t control;
        std::uint16_t status;
        __asm__ volatile("fnstcw %0\n\tfnstsw %1" : "=m"(control), "=m"(status) : : "memory" QUORVANE_X87_STACK);
        __asm__ volatile("stmxcsr %0" : "=m"(mxcsr_) : : "memory");
        quick_ = (control & x87_control_bits) == x87_wanted && (status & x87_flag_bits) == 0;
        if (!quick_) {
            // FNSTENV also masks all x87 exceptions as a side effect.
            const std::uint16_t wanted = x87_wanted;
            __asm__ volatile("fnstenv %0\n\tfnclex\n\tfldcw %1" : "=m"(x87_) : "m"(wanted) : "memory" QUORVANE_X87_STACK);
        }
        if ((mxcsr_ & ~sse_flag_bits) != sse_wanted) {
            const std::uint32_t wanted = sse_wanted;
            __asm__ volatile("ldmxcsr %0" : : "m"(wanted) : "memory");
        }
    }
    ~FloatEnvironment() {
        if (quick_) {
            __asm__ volatile("fnclex" : : : "memory" QUORVANE_X87_STACK);
        } else {
            __asm__ volatile("fldenv %0" : : "m"(x87_) : "memory" QUORVANE_X87_STACK);
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
#if defined(QUORVANE_F80_SOFT) && defined(QUORVANE_X86)
    static constexpr std::uint32_t daz = 0x0040;  // MXCSR bit 6: denormal inputs read as zero
    std::uint32_t mxcsr_;
#elif defined(QUORVANE_X86)
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

// The environment a table of F values computes and compares under: a
// FloatEnvironment scope for float64 values, none for integer ones (their
// path touches no floating point).
template <class F>
class FloatPathScope {
public:
    FloatPathScope() noexcept {
        if constexpr (std::is_same_v<F, double>) environment_.emplace();
    }

private:
    std::optional<FloatEnvironment> environment_;
};

}  // namespace quorvane

#if defined(QUORVANE_F80_SOFT)
#include "extended_soft.hpp"
#elif defined(QUORVANE_F80_X87)
#include "extended_x87.hpp"
#else
#include "extended_mpfr.hpp"
#endif

namespace quorvane {


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
#if defined(QUORVANE_F80_X87)
    return v.truncate_to_f64();
#else
    return to_f64_bitwise(v);
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
#if defined(QUORVANE_F80_X87)
    return v.whole_to_u64();
#else
    return to_u64(v);
#endif
}

// ---------------------------------------------------------------------------
// The inverse scheme's whole coordinates: to_u64 of round_even(), floor()
// and ceil(), and whether round_even() leaves v as it is.  The soft backend
// computes them without the F80 of the whole part in between.
// ---------------------------------------------------------------------------
#if defined(QUORVANE_F80_SOFT)
inline std::uint64_t nearest_u64(const F80& v) noexcept { return v.nearest_u64(); }
inline std::uint64_t floor_u64(const F80& v) noexcept { return v.floor_u64(); }
inline std::uint64_t ceil_u64(const F80& v) noexcept { return v.ceil_u64(); }
inline bool is_whole(const F80& v) noexcept { return v.is_whole(); }
#else
inline std::uint64_t nearest_u64(const F80& v) noexcept { return whole_to_u64(v.round_even()); }
inline std::uint64_t floor_u64(const F80& v) noexcept { return whole_to_u64(v.floor()); }
inline std::uint64_t ceil_u64(const F80& v) noexcept { return whole_to_u64(v.ceil()); }
inline bool is_whole(const F80& v) noexcept { return v.round_even() == v; }
#endif

}  // namespace quorvane
