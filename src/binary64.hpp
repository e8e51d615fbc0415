// Named bit fields of IEEE 754 binary64 values.
#pragma once

#include <bit>
#include <cstdint>

namespace quorvane::binary64 {

// Layout: 1 sign bit | 11 exponent bits, bias 1023 | 52 fraction bits.
inline constexpr int fraction_bits = 52;
inline constexpr std::uint64_t fraction_mask = (std::uint64_t{1} << fraction_bits) - 1;
inline constexpr std::uint64_t exponent_max = 0x7FF;  // all ones: infinity or NaN
inline constexpr std::uint64_t sign_mask = std::uint64_t{1} << 63;

constexpr std::uint64_t bits(double v) noexcept { return std::bit_cast<std::uint64_t>(v); }

// The bits without the sign, shifted up by one: the magnitude order of
// binary64 values is the unsigned order of these keys, and the infinities
// are the key infinity_key; NaNs are the keys above it.
inline constexpr std::uint64_t infinity_key = exponent_max << (fraction_bits + 1);
constexpr std::uint64_t magnitude_key(double v) noexcept { return bits(v) << 1; }

// Neither NaN nor an infinity.  Decided on the bits, so that it holds
// whatever the compiler assumes about NaNs.
constexpr bool is_finite(double v) noexcept { return magnitude_key(v) < infinity_key; }

constexpr bool is_nan(double v) noexcept { return magnitude_key(v) > infinity_key; }

// The value with the given sign, biased exponent field and fraction field.
constexpr double compose(bool negative, std::uint64_t biased_exponent, std::uint64_t fraction) noexcept {
    return std::bit_cast<double>((negative ? sign_mask : 0) | (biased_exponent << fraction_bits) |
                                 (fraction & fraction_mask));
}

}  // namespace quorvane::binary64
