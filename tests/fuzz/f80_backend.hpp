// What each F80 backend of fuzz_f80 offers the driver: the float schemes,
// and a program of single F80 operations on a few registers whose every
// result is recorded.  Each backend is the library compiled in a translation
// unit of its own (f80_mpfr.cpp, f80_soft.cpp, f80_x87.cpp) with its
// namespace renamed, so that all of them sit side by side in one program;
// only the plain types below cross between them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace f80_check {

// An answer of a scheme: its value (the bits of a double for forward) and
// its quorvane::Status as the enum's code.
struct Answer {
    std::uint64_t value;
    std::uint8_t status;
    bool operator==(const Answer&) const = default;
};
inline constexpr std::uint8_t not_finite = 5;  // Status::NotFinite

// One operation of a program.  Registers 0..7 start at zero.
enum class Code : std::uint8_t {
    LoadU64,    // r[dst] = from_u64(u)
    LoadU63,    // r[dst] = from_u63(u & (2^63 - 1))
    LoadF64,    // r[dst] = from_f64(v), v finite
    Add,        // r[dst] = r[a] + r[b]
    Sub,        // r[dst] = r[a] - r[b]
    Mul,        // r[dst] = r[a] * r[b]
    Div,        // r[dst] = r[a] / r[b], skipped when r[b] is zero
    RoundEven,  // r[dst] = r[a].round_even(); also records whole_to_u64 of it,
                // and nearest_u64(r[a]) as the direct conversion
    Floor,      // likewise (floor_u64)
    Ceil,       // likewise (ceil_u64)
    Equal,      // records r[a] == r[b]
    ToF64,      // records the bits of to_f64(r[a])
    ToU64,      // records to_u64(r[a])
    Difference, // r[dst] = F80::difference(v, w), v and w finite
    IsWhole,    // records is_whole(r[a])
    count
};

struct Op {
    Code code;
    std::uint8_t dst, a, b;
    std::uint64_t u;
    double v, w;
};

// What one operation recorded: the parts of its result (zero, negative, e,
// m), plus a scalar for the operations that give one (a bool, the bits of a
// double, a u64).  An F80 result whose exponent leaves [-limit, limit] is
// recorded and then replaced by one, so that no program leaves the range
// that all backends share (x87's ends near 2^-16382 and 2^16384).
struct Step {
    std::uint8_t zero = 0, negative = 0;
    std::int32_t e = 0;
    std::uint64_t m = 0;
    std::uint64_t scalar = 0;
    std::uint64_t direct = 0;  // RoundEven, Floor, Ceil: the one-step conversion
    bool operator==(const Step&) const = default;
};
inline constexpr std::int32_t limit = 4000;
inline constexpr std::size_t max_ops = 48;

// One backend.  forward and inverse are the schemes (contracts as there);
// run executes ops[0..n) and fills steps[0..n).
struct Backend {
    const char* name;
    Answer (*forward)(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1);
    Answer (*inverse)(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1, std::uint8_t method);
    void (*run)(const Op* ops, std::size_t n, Step* steps);
};

extern const Backend mpfr_backend;  // the reference
extern const Backend soft_backend;
#if defined(__x86_64__) || defined(__i386__)
#define F80_CHECK_X87 1
extern const Backend x87_backend;
#endif

}  // namespace f80_check
