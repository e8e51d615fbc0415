// libFuzzer target: the F80 backends against each other, bit for bit.  MPFR
// is the reference; soft (every target) and x87 (x86 only) must agree with
// it on
//   - the float schemes: Forward<u64, double>::forward and
//     Inverse<double, u64>::inverse under every Method, on operands decoded
//     from the input within the schemes' contracts (x0 < x < x1; f0 < f <
//     f1), plus non-finite f0 or f1, which every backend must answer with
//     Status::NotFinite;
//   - a program of single operations (conversions in and out, + - * /,
//     round_even, floor, ceil, ==), decoded from the rest of the input,
//     every result compared by its parts.
//
// The caller's floating-point environment is picked by the input (x86:
// rounding direction, x87 precision control, DAZ/FTZ, raised flags;
// elsewhere the rounding direction).  x87 runs inside a FloatEnvironment
// entered from it, as the module runs it, and the scope must give it back
// exactly; soft runs in it as it is, with no scope at all, and must leave
// it as it found it.  MPFR takes its rounding from its arguments and runs
// under the default environment (its conversion of doubles must see
// subnormals as they are).

#include <algorithm>
#include <bit>
#include <cfenv>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "f80_backend.hpp"
#include "reader.hpp"

using f80_check::Answer;
using f80_check::Backend;
using f80_check::Code;
using f80_check::Op;
using f80_check::Step;

namespace {

using u64 = std::uint64_t;

// Coordinates: the ends of the range, powers of two and their neighbours,
// small values, raw bytes.
u64 pick_u64(Reader& in) {
    static constexpr u64 specials[] = {0, 1, 2, 3, (u64{1} << 53) - 1, u64{1} << 53, (u64{1} << 53) + 1,
                                       (u64{1} << 62) - 1, u64{1} << 62, (u64{1} << 63) - 1, u64{1} << 63,
                                       (u64{1} << 63) + 1, ~u64{0} - 2, ~u64{0} - 1, ~u64{0}, 1700000000000000000};
    const std::uint8_t b = in.byte();
    const unsigned a = b & 31;
    switch (b >> 5) {
        case 0: return specials[a % 16];
        case 1: return specials[a % 16] + static_cast<u64>(static_cast<std::int8_t>(in.byte()));
        case 2: return (u64{1} << (a + 32 * (in.byte() & 1))) + static_cast<u64>(static_cast<std::int8_t>(in.byte()));
        case 3: return in.bytes(1 + a % 8);
        case 4: return in.bytes(2) << (a * 2);
        default: return in.bytes(8);
    }
}

// Values: signed zeros, subnormals, the ends of the normal range, NaNs and
// infinities, small integers times powers of two (ties of the roundings
// live there), neighbours of all of these, raw bits.
double pick_f64(Reader& in) {
    static const double specials[] = {0.0, -0.0, 5e-324, -5e-324, 2.2250738585072009e-308,
                                      2.2250738585072014e-308, 1.0, -1.0, 0.5, 1.0 / 3, 0.1, 0x1p52, 0x1p53,
                                      0x1p63, 0x1p64, 1e300, 1.7976931348623157e308, -1.7976931348623157e308,
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity(),
                                      std::numeric_limits<double>::quiet_NaN(), -1e-300, 1.7e18, 3.0};
    constexpr unsigned count = sizeof specials / sizeof specials[0];
    const std::uint8_t b = in.byte();
    const unsigned a = b & 31;
    switch (b >> 5) {
        case 0: return specials[a % count];
        case 1: {  // a neighbour, by steps of the bit pattern (crossing into NaNs past infinity)
            const std::int8_t d = static_cast<std::int8_t>(in.byte());
            return std::bit_cast<double>(std::bit_cast<u64>(specials[a % count]) + static_cast<u64>(std::int64_t{d}));
        }
        case 2:
        case 3: {  // a small integer times a power of two
            const auto k = static_cast<std::int16_t>(in.bytes(2));
            const int e = static_cast<int>(static_cast<std::int16_t>(in.bytes(2)) % 1130);
            return std::ldexp(static_cast<double>(k), e);
        }
        case 4: return static_cast<double>(in.bytes(8)) * ((a & 1) ? -1.0 : 1.0);
        case 5: return (a & 1 ? -1.0 : 1.0) / static_cast<double>(1 + in.byte());
        default: return std::bit_cast<double>(in.bytes(8));
    }
}

// The caller's floating-point environment that the input picks.
#if defined(__x86_64__) || defined(__i386__)
// Applied to both units: rounding direction, x87 precision control, MXCSR
// DAZ and FTZ, and raised (masked) exception flags.
struct Caller {
    std::uint16_t x87_control;
    std::uint32_t mxcsr;
    bool raise;
};

Caller caller_of(std::uint8_t b) {
    static constexpr std::uint16_t rounding[4] = {0x0000, 0x0400, 0x0800, 0x0C00};  // nearest, down, up, zero
    static constexpr std::uint16_t precision[4] = {0x0300, 0x0200, 0x0000, 0x0300};  // 64, 53, 24, 64 bits
    Caller c{};
    c.x87_control = static_cast<std::uint16_t>(0x003F | precision[(b >> 2) & 3] | rounding[b & 3]);
    c.mxcsr = 0x1F80u | (static_cast<std::uint32_t>(b & 3) << 13) | ((b & 0x10) ? 0x40u : 0) | ((b & 0x20) ? 0x8000u : 0);
    c.raise = (b & 0x40) != 0;
    return c;
}

struct FpState {
    std::uint16_t control;
    std::uint16_t flags;  // x87 status word exception flags
    std::uint32_t mxcsr;
    bool operator==(const FpState&) const = default;
};

FpState fp_state() {
    FpState s{};
    std::uint16_t status;
    __asm__ volatile("fnstcw %0" : "=m"(s.control) : : "memory");
    __asm__ volatile("fnstsw %0" : "=m"(status) : : "memory");
    __asm__ volatile("stmxcsr %0" : "=m"(s.mxcsr) : : "memory");
    s.flags = status & 0x3F;
    return s;
}

void set_fp(std::uint16_t control, std::uint32_t mxcsr) {
    __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(control) : "memory");
    __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr) : "memory");
}

void enter(const Caller& c) {
    set_fp(c.x87_control, c.mxcsr);
    if (c.raise) {
        // Raised flags in both units (every exception is masked here).
        volatile double tiny = 1e-300;
        volatile long double t = tiny;
        tiny = tiny * tiny;
        t = t / 3;
        (void)t;
    }
}

void default_fp() { set_fp(0x037F, 0x1F80); }
#else
// The rounding direction, through <cfenv>.
struct Caller {
    int rounding;
};

Caller caller_of(std::uint8_t b) {
    static const int modes[4] = {FE_TONEAREST,
#if defined(FE_DOWNWARD) && defined(FE_UPWARD) && defined(FE_TOWARDZERO)
                                 FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO
#else
                                 FE_TONEAREST, FE_TONEAREST, FE_TONEAREST
#endif
    };
    return {modes[b & 3]};
}

struct FpState {
    std::fenv_t env;
    int rounding;
    bool operator==(const FpState& o) const { return rounding == o.rounding; }
};

FpState fp_state() {
    FpState s{};
    std::fegetenv(&s.env);
    s.rounding = std::fegetround();
    return s;
}

void enter(const Caller& c) { std::fesetround(c.rounding); }
void default_fp() { std::fesetround(FE_TONEAREST); }
#endif

#if (defined(__x86_64__) || defined(__i386__)) && !defined(__SSE2_MATH__)
// Where doubles travel through the x87 registers (32-bit x86 without SSE2
// math), merely passing a subnormal one along raises the x87 denormal flag,
// in this driver's code or before a backend's scope is entered: that much
// may be left behind.  The answers still must not change, and every setting
// must stay as it was.
bool only_moves_raised_flags(const FpState& before, const FpState& after) {
    return before.control == after.control && before.mxcsr == after.mxcsr &&
           (after.flags & ~before.flags & ~0x02) == 0;
}
#else
bool only_moves_raised_flags(const FpState&, const FpState&) { return false; }
#endif

// The backends checked against the reference, and how each is entered.
struct Checked {
    const Backend* backend;
    bool scoped;  // inside its own FloatEnvironment (give it back exactly); else none (leave it alone)
};
const Checked checked[] = {
    {&f80_check::soft_backend, false},
#if defined(F80_CHECK_X87)
    {&f80_check::x87_backend, true},
#endif
};

[[noreturn]] void mismatch(const char* backend, const char* what, std::uint64_t want, std::uint64_t got) {
    std::fprintf(stderr, "fuzz_f80: %s: %s: mpfr 0x%016" PRIx64 ", %s 0x%016" PRIx64 "\n", backend, what, want,
                 backend, got);
    std::abort();
}

// Runs body(backend) for every checked backend in the caller's
// environment, and checks that the environment is as it was afterwards.
template <class Body>
void in_the_callers_environment(const Caller& c, Body&& body) {
    for (const Checked& k : checked) {
        enter(c);
        const FpState before = fp_state();
        body(*k.backend);
        const FpState after = fp_state();
        default_fp();
        if (!(before == after) && !only_moves_raised_flags(before, after)) {
            std::fprintf(stderr, "fuzz_f80: %s: %s the caller's floating-point environment\n", k.backend->name,
                         k.scoped ? "did not give back" : "changed");
            std::abort();
        }
    }
}

void expect_same(const char* backend, const char* what, const Answer& want, const Answer& got) {
    if (got.status != want.status) mismatch(backend, what, want.status, got.status);
    if (want.status == 0 && got.value != want.value) mismatch(backend, what, want.value, got.value);
}

void fuzz_forward(Reader& in, const Caller& caller) {
    // x0 < x < x1 from a start, a width of at least 2 and an offset.
    u64 x0 = pick_u64(in);
    x0 = std::min(x0, ~u64{0} - 2);
    const u64 d = std::clamp<u64>(pick_u64(in), 2, ~u64{0} - x0);
    const u64 x1 = x0 + d;
    const u64 x = x0 + 1 + pick_u64(in) % (d - 1);
    const double f0 = pick_f64(in), f1 = pick_f64(in);

    const Answer want = f80_check::mpfr_backend.forward(x, x0, x1, f0, f1);
    const bool finite = std::isfinite(f0) && std::isfinite(f1);
    if (!finite && want.status != f80_check::not_finite) {
        mismatch("mpfr", "forward: non-finite sample not refused", f80_check::not_finite, want.status);
    }
    in_the_callers_environment(caller, [&](const Backend& b) {
        expect_same(b.name, "forward", want, b.forward(x, x0, x1, f0, f1));
    });
}

void fuzz_inverse(Reader& in, const Caller& caller) {
    double f0 = pick_f64(in), f = pick_f64(in), f1 = pick_f64(in);
    const u64 x0 = pick_u64(in), x1 = pick_u64(in);
    const bool finite = std::isfinite(f0) && std::isfinite(f1);
    if (!std::isfinite(f)) f = 0.0;
    if (finite) {
        // f0 < f < f1: the three in order, then pulled apart where equal.
        double v[3] = {f0, f, f1};
        std::sort(v, v + 3);
        if (!(v[0] < v[1])) v[1] = std::nextafter(v[0], std::numeric_limits<double>::infinity());
        if (!(v[1] < v[2])) v[2] = std::nextafter(v[1], std::numeric_limits<double>::infinity());
        if (!std::isfinite(v[2])) return;
        f0 = v[0], f = v[1], f1 = v[2];
    }
    for (std::uint8_t code = 0; code < 4; ++code) {
        const Answer want = f80_check::mpfr_backend.inverse(f, x0, x1, f0, f1, code);
        if (!finite && want.status != f80_check::not_finite) {
            mismatch("mpfr", "inverse: non-finite sample not refused", f80_check::not_finite, want.status);
        }
        in_the_callers_environment(caller, [&](const Backend& b) {
            expect_same(b.name, "inverse", want, b.inverse(f, x0, x1, f0, f1, code));
        });
    }
}

// The program: up to max_ops operations from the rest of the input.  Each
// takes a code byte and a register byte (dst, a; b from the code byte's top
// bits), then its immediate if it loads one.
void fuzz_program(Reader& in, const Caller& caller) {
    Op ops[f80_check::max_ops];
    std::size_t n = 0;
    while (!in.done() && n < f80_check::max_ops) {
        const std::uint8_t c = in.byte();
        const std::uint8_t regs = in.byte();
        Op op{};
        op.code = static_cast<Code>((c & 15) % static_cast<unsigned>(Code::count));
        op.dst = regs & 7;
        op.a = (regs >> 3) & 7;
        op.b = static_cast<std::uint8_t>(((c >> 4) & 7) | (regs >> 6));
        if (op.code == Code::LoadU64 || op.code == Code::LoadU63) op.u = pick_u64(in);
        if (op.code == Code::LoadF64 || op.code == Code::Difference) {
            op.v = pick_f64(in);
            if (!std::isfinite(op.v)) op.v = 0.0;
        }
        if (op.code == Code::Difference) {
            // Near v more often than not: the fused route is for neighbours.
            op.w = (c & 0x80) ? pick_f64(in) : std::nextafter(op.v, 0.0) * (1.0 + std::ldexp(static_cast<double>(in.byte()), -9));
            if (!std::isfinite(op.w)) op.w = 0.0;
        }
        ops[n++] = op;
    }
    if (n == 0) return;
    Step want[f80_check::max_ops];
    f80_check::mpfr_backend.run(ops, n, want);
    in_the_callers_environment(caller, [&](const Backend& b) {
        Step got[f80_check::max_ops];
        b.run(ops, n, got);
        for (std::size_t i = 0; i < n; ++i) {
            if (got[i] == want[i]) continue;
            std::fprintf(stderr,
                         "fuzz_f80: %s: operation %zu (code %u): mpfr zero %u negative %u e %" PRId32 " m 0x%016" PRIx64
                         " scalar 0x%016" PRIx64 " direct 0x%016" PRIx64 "; %s zero %u negative %u e %" PRId32
                         " m 0x%016" PRIx64 " scalar 0x%016" PRIx64 " direct 0x%016" PRIx64 "\n",
                         b.name, i, static_cast<unsigned>(ops[i].code), want[i].zero, want[i].negative, want[i].e,
                         want[i].m, want[i].scalar, want[i].direct, b.name, got[i].zero, got[i].negative, got[i].e,
                         got[i].m, got[i].scalar, got[i].direct);
            std::abort();
        }
    });
}

}  // namespace

// Byte 0: bit 7 inverse (else forward), bits 0-6 the caller's environment
// (see caller_of); then the scheme's operands; then the program.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::uint8_t h = in.byte();
    const Caller caller = caller_of(h & 0x7F);
    default_fp();
    if (h & 0x80) {
        fuzz_inverse(in, caller);
    } else {
        fuzz_forward(in, caller);
    }
    fuzz_program(in, caller);
    return 0;
}
