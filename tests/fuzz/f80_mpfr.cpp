// The MPFR side of fuzz_f80: the library's float schemes built with the MPFR
// backend, inside namespace quorvane_mpfr instead of quorvane, so that their
// F80 and everything around it does not clash with the hardware backend's
// definitions in fuzz_f80.cpp (one definition per name and namespace).
#define QUORVANE_F80_MPFR 1
#define quorvane quorvane_mpfr
#include "schemes_float.hpp"
#undef quorvane

#include "f80_mpfr.hpp"

#include <bit>

namespace f80_mpfr {

Answer forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1) {
    const auto r = quorvane_mpfr::Forward<std::uint64_t, double>::forward(x, x0, x1, f0, f1);
    return {std::bit_cast<std::uint64_t>(r.value), static_cast<std::uint8_t>(r.status)};
}

Answer inverse(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1, std::uint8_t method) {
    const auto r = quorvane_mpfr::Inverse<double, std::uint64_t>::inverse(f, x0, x1, f0, f1,
                                                                           static_cast<quorvane_mpfr::Method>(method));
    return {r.value, static_cast<std::uint8_t>(r.status)};
}

}  // namespace f80_mpfr
