// The MPFR backend of F80: GNU MPFR at a precision of 64 bits, the
// cross-check of the other two.  Included by extended.hpp only, which picks
// the backend.
#pragma once

#include <cstdint>

#define MPFR_USE_INTMAX_T 1  // mpfr_set_uj: a u64 in one call on 32-bit targets too
#include <mpfr.h>

namespace quorvane {

// ===========================================================================
// MPFR backend: one mpfr_t of precision 64 whose limbs (one of 64 bits, or
// two of 32 on 32-bit targets) live inside the object (MPFR's custom
// interface), so no value touches the heap.  The rounding mode is passed to
// every operation; the floating-point environment plays no part.
// ===========================================================================
class F80 {
public:
    static constexpr mpfr_prec_t precision = 64;
    static constexpr int limbs = 64 / GMP_NUMB_BITS;
    static_assert(limbs * GMP_NUMB_BITS == 64, "the MPFR backend expects 32- or 64-bit limbs");

    F80() noexcept { bind(MPFR_ZERO_KIND, 0); }
    F80(const F80& o) noexcept { copy_limbs(o), bind_like(o); }
    F80& operator=(const F80& o) noexcept {
        copy_limbs(o);
        bind_like(o);
        return *this;
    }

    static F80 from_u64(std::uint64_t u) noexcept {
        F80 r;
        mpfr_set_uj(r.p(), static_cast<std::uintmax_t>(u), MPFR_RNDN);  // exact: 64 bits
        return r;
    }

    // Precondition: u < 2^63.
    static F80 from_u63(std::uint64_t u) noexcept { return from_u64(u); }

    static F80 from_f64(double v) noexcept {
        F80 r;
        mpfr_set_d(r.p(), v, MPFR_RNDN);  // exact: 53 <= 64 bits
        return r;
    }

    // from_f64(x) - from_f64(y), rounded; x and y finite.
    static F80 difference(double x, double y) noexcept { return from_f64(x) - from_f64(y); }

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
        // Limbs are least significant first.
        std::uint64_t m = 0;
        for (int k = limbs - 1; k >= 0; --k) m = (m << (GMP_NUMB_BITS % 64)) | static_cast<std::uint64_t>(limb_[k]);
        return {false, mpfr_signbit(p()) != 0, static_cast<std::int32_t>(mpfr_get_exp(p())), m};
    }

    F80 floor() const noexcept { return unary(mpfr_floor); }
    F80 ceil() const noexcept { return unary(mpfr_ceil); }
    F80 round_even() const noexcept {
        F80 r;
        mpfr_rint(r.p(), p(), MPFR_RNDN);  // halfway cases to even
        return r;
    }

private:
    void bind(int kind, mpfr_exp_t e) noexcept { mpfr_custom_init_set(&x_, kind, e, precision, limb_); }
    void copy_limbs(const F80& o) noexcept {
        for (int k = 0; k < limbs; ++k) limb_[k] = o.limb_[k];
    }
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

    mp_limb_t limb_[limbs] = {};
    __mpfr_struct x_;
};

}  // namespace quorvane
