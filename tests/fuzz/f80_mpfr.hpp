// The float schemes with the MPFR backend of F80, compiled in a translation
// unit of their own (f80_mpfr.cpp) with the library's namespace renamed, so
// that they sit beside the hardware backend in one program.  Plain
// functions, so that no type of either backend crosses over.
#pragma once

#include <cstdint>

namespace f80_mpfr {

// An answer of a scheme: its value (the bits of a double for forward) and
// its quorvane::Status as the enum's code.
struct Answer {
    std::uint64_t value;
    std::uint8_t status;
};

// Forward<std::uint64_t, double>::forward (contract: x0 < x < x1).
Answer forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1);

// Inverse<double, std::uint64_t>::inverse with the Method of code `method`
// (contract: f0 < f < f1, unless f0 or f1 is not finite).
Answer inverse(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1, std::uint8_t method);

}  // namespace f80_mpfr
