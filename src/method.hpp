// The selection rule of an inverse query.
#pragma once

#include <cstdint>

namespace quorvane {

// Which whole coordinate an inverse query answers with, and whether values
// outside the table are clamped to its ends.  The numeric codes are part of
// the contract between the entry points, the table and the schemes.
//
//   code  state    below fp[0]   above fp[n-1]   inside a segment
//   0     Absent   out of bounds out of bounds   only an exact whole coordinate
//   1     Nearest  xp[0]         xp[n-1]         round half to even
//   2     Ffill    out of bounds xp[n-1]         floor
//   3     Bfill    xp[0]         out of bounds   ceiling
enum class Method : std::uint8_t { Absent = 0, Nearest = 1, Ffill = 2, Bfill = 3 };

// True when a query below the first sample value clamps to xp[0].
constexpr bool clamps_below(Method m) noexcept {
    return m == Method::Nearest || m == Method::Bfill;
}

// True when a query above the last sample value clamps to xp[n-1].
constexpr bool clamps_above(Method m) noexcept {
    return m == Method::Nearest || m == Method::Ffill;
}

}  // namespace quorvane
