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

constexpr std::uint64_t exponent_field(std::uint64_t b) noexcept {
    return (b >> fraction_bits) & exponent_max;
}

// Neither NaN nor an infinity.  Decided on the bits, so that it holds
// whatever the compiler assumes about NaNs.
constexpr bool is_finite(double v) noexcept { return exponent_field(bits(v)) != exponent_max; }

constexpr bool is_nan(double v) noexcept {
    return exponent_field(bits(v)) == exponent_max && (bits(v) & fraction_mask) != 0;
}

// The value with the given sign, biased exponent field and fraction field.
constexpr double compose(bool negative, std::uint64_t biased_exponent, std::uint64_t fraction) noexcept {
    return std::bit_cast<double>((negative ? sign_mask : 0) | (biased_exponent << fraction_bits) |
                                 (fraction & fraction_mask));
}

}  // namespace quorvane::binary64
