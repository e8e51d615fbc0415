// The body of one backend of fuzz_f80 (see f80_backend.hpp).  Included by
// f80_<name>.cpp after the library, compiled with that backend into
// namespace F80_LIBRARY, and with F80_BACKEND naming the Backend object to
// define.  F80_SCOPED says whether the calls run inside the library's
// FloatEnvironment, as the module runs them (x87, MPFR), or in whatever
// environment the caller has (soft, which must not need one).
#include <bit>
#include <optional>

#include "f80_backend.hpp"

namespace {

using L = F80_LIBRARY::F80;
static_assert(static_cast<std::uint8_t>(F80_LIBRARY::Status::NotFinite) == f80_check::not_finite);
using f80_check::Answer;
using f80_check::Code;
using f80_check::Op;
using f80_check::Step;

struct Scope {
#if F80_SCOPED
    F80_LIBRARY::FloatEnvironment environment;
#endif
};

// Results leave the scope through volatile stores, so that the compiler
// computes them inside it (a value in a register may otherwise be computed
// after the scope has ended, in the caller's environment), as the module's
// results are stored into their array inside it.
Answer forward(std::uint64_t x, std::uint64_t x0, std::uint64_t x1, double f0, double f1) {
    volatile std::uint64_t value;
    volatile std::uint8_t status;
    {
        [[maybe_unused]] Scope scope;
        const auto r = F80_LIBRARY::Forward<std::uint64_t, double>::forward(x, x0, x1, f0, f1);
        value = std::bit_cast<std::uint64_t>(r.value);
        status = static_cast<std::uint8_t>(r.status);
    }
    return {value, status};
}

Answer inverse(double f, std::uint64_t x0, std::uint64_t x1, double f0, double f1, std::uint8_t method) {
    volatile std::uint64_t value;
    volatile std::uint8_t status;
    {
        [[maybe_unused]] Scope scope;
        const auto r = F80_LIBRARY::Inverse<double, std::uint64_t>::inverse(f, x0, x1, f0, f1,
                                                                             static_cast<F80_LIBRARY::Method>(method));
        value = r.value;
        status = static_cast<std::uint8_t>(r.status);
    }
    return {value, status};
}

Step parts_of(const L& v) {
    const F80_LIBRARY::F80Parts p = v.parts();
    Step s;
    s.zero = p.zero ? 1 : 0;
    s.negative = p.negative ? 1 : 0;
    s.e = p.zero ? 0 : p.e;
    s.m = p.zero ? 0 : p.m;
    return s;
}

void run(const Op* ops, std::size_t n, Step* steps) {
    [[maybe_unused]] Scope scope;
    const L zero = L::from_u64(0);
    std::optional<L> r[8];
    for (auto& reg : r) reg.emplace(zero);
    for (std::size_t i = 0; i < n; ++i) {
        const Op& op = ops[i];
        const L& a = *r[op.a & 7];
        const L& b = *r[op.b & 7];
        std::optional<L> out;
        Step s;
        switch (op.code) {
            case Code::LoadU64: out.emplace(L::from_u64(op.u)); break;
            case Code::LoadU63: out.emplace(L::from_u63(op.u & ~(std::uint64_t{1} << 63))); break;
            case Code::LoadF64: out.emplace(L::from_f64(op.v)); break;
            case Code::Add: out.emplace(a + b); break;
            case Code::Sub: out.emplace(a - b); break;
            case Code::Mul: out.emplace(a * b); break;
            case Code::Div:
                if (!b.parts().zero) out.emplace(a / b);
                break;
            case Code::RoundEven:
                out.emplace(a.round_even());
                s.direct = F80_LIBRARY::nearest_u64(a);
                break;
            case Code::Floor:
                out.emplace(a.floor());
                s.direct = F80_LIBRARY::floor_u64(a);
                break;
            case Code::Ceil:
                out.emplace(a.ceil());
                s.direct = F80_LIBRARY::ceil_u64(a);
                break;
            case Code::IsWhole: s.scalar = F80_LIBRARY::is_whole(a) ? 1 : 0; break;
            case Code::Equal: s.scalar = a == b ? 1 : 0; break;
            case Code::ToF64: s.scalar = std::bit_cast<std::uint64_t>(F80_LIBRARY::to_f64(a)); break;
            case Code::ToU64: s.scalar = F80_LIBRARY::to_u64(a); break;
            case Code::Difference: out.emplace(L::difference(op.v, op.w)); break;
            case Code::count: break;
        }
        if (out) {
            const Step result = parts_of(*out);
            s.zero = result.zero, s.negative = result.negative, s.e = result.e, s.m = result.m;
            if (op.code == Code::RoundEven || op.code == Code::Floor || op.code == Code::Ceil) {
                s.scalar = F80_LIBRARY::whole_to_u64(*out);
            }
            const bool inside = s.zero != 0 || (s.e >= -f80_check::limit && s.e <= f80_check::limit);
            r[op.dst & 7].emplace(inside ? *out : L::from_u64(1));
        }
        steps[i] = s;  // the caller's memory: stored inside the scope

    }
}

}  // namespace

namespace f80_check {
const Backend F80_BACKEND = {F80_NAME, forward, inverse, run};
}
