// Checks of the C++ core that the Python interface cannot reach: the batch
// searches against the reference locate, and the F80 primitives at the
// edges of their ranges, the 128-bit integers, and the soft backend under
// every floating-point environment.  Prints "N passed, M failed" and exits
// non-zero on any failure.  Built with every F80 backend.  --quick runs an
// eighth of the random cases (the cross-compiled runs under emulation).

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <string_view>
#include <cfenv>
#include <vector>

#include "divop.hpp"
#include "batch.hpp"
#include "extended.hpp"
#include "piecewise.hpp"
#include "prepared.hpp"
#include "schemes_float.hpp"
#include "schemes_int.hpp"

using namespace quorvane;
using u64 = std::uint64_t;
using i64 = std::int64_t;
using u32 = std::uint32_t;

namespace {

int passed = 0;
int failed = 0;
int scale = 1;  // 8 with --quick: the random cases divided by it

void check(bool ok, const char* what, long long detail = 0) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s (%lld)\n", what, detail);
    }
}

std::mt19937_64 rng(20261209);

template <class T>
Buffer<T> buffer_of(const std::vector<T>& v) {
    Buffer<T> b = Buffer<T>::uninitialised(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) b[i] = v[i];
    return b;
}

template <class T>
StridedView<T> view_of(const std::vector<T>& v) {
    return {reinterpret_cast<const char*>(v.data()), static_cast<std::ptrdiff_t>(v.size()),
            static_cast<std::ptrdiff_t>(sizeof(T))};
}

template <class T>
bool same(T a, T b) {
    if constexpr (std::is_same_v<T, double>) {
        return std::bit_cast<u64>(a) == std::bit_cast<u64>(b);
    } else {
        return a == b;
    }
}

// A strictly increasing axis of n elements, drawn so that keys hit samples,
// fall between them and fall outside.
template <class T>
std::vector<T> increasing_axis(std::size_t n) {
    std::vector<T> a;
    if constexpr (std::is_same_v<T, double>) {
        double v = -static_cast<double>(rng() % 1000);
        for (std::size_t i = 0; i < n; ++i) {
            a.push_back(v);
            v += 0.25 + static_cast<double>(rng() % 16);
        }
    } else if constexpr (std::is_same_v<T, i64>) {
        i64 v = -static_cast<i64>(rng() % 100000);
        for (std::size_t i = 0; i < n; ++i) {
            a.push_back(v);
            v += 1 + static_cast<i64>(rng() % 7);
        }
    } else {
        u64 v = rng() % 50;
        for (std::size_t i = 0; i < n; ++i) {
            a.push_back(v);
            v += 1 + rng() % 7;
        }
    }
    return a;
}

template <class T>
std::vector<T> keys_for(const std::vector<T>& axis, std::size_t m, bool sorted, bool with_nan) {
    std::vector<T> k;
    const T lo = axis.empty() ? T{} : axis.front();
    const T hi = axis.empty() ? T{} : axis.back();
    for (std::size_t i = 0; i < m; ++i) {
        const u64 r = rng();
        T v;
        if (!axis.empty() && r % 3 == 0) {
            v = axis[rng() % axis.size()];
        } else if constexpr (std::is_same_v<T, double>) {
            v = lo - 2.0 + (hi - lo + 4.0) * static_cast<double>(rng() % 100000) / 100000.0;
        } else {
            const u64 span = static_cast<u64>(hi - lo) + 8;
            v = static_cast<T>(lo + static_cast<T>(rng() % span)) - static_cast<T>(3);
        }
        k.push_back(v);
    }
    if (sorted) std::sort(k.begin(), k.end());
    if constexpr (std::is_same_v<T, double>) {
        if (with_nan && m > 0) k[rng() % m] = std::numeric_limits<double>::quiet_NaN();
    }
    return k;
}

// Pairs of groups of search::group keys, each pair left as it is, sorted
// together (the second group then walks on from the first), or reversed:
// a batch whose groups take the sorted and the searched routes in turn.
template <class T>
void mix_routes(std::vector<T>& k) {
    constexpr std::size_t pair = 2 * search::group;
    for (std::size_t i = 0; i + pair <= k.size(); i += pair) {
        const u64 r = rng() % 3;
        if (r == 1) std::sort(k.begin() + i, k.begin() + i + pair);
        if (r == 2) std::sort(k.begin() + i, k.begin() + i + pair, [](T a, T b) { return b < a; });
    }
}

// The batch answers every query as the reference lookup does, and stops at
// the same query with the same status.
template <class F>
void batches_match_reference() {
    auto poll = [] { return true; };
    for (int round = 0; round < 3000 / scale; ++round) {
        const std::size_t n = round % 7 == 0 ? rng() % 3 : 1 + rng() % (round % 5 == 0 ? 5000 : 80);
        std::vector<u64> xp = increasing_axis<u64>(n);
        std::vector<F> fp = increasing_axis<F>(n);
        if (round % 11 == 0 && n >= 2) std::swap(xp[0], xp[1]);  // unsorted coordinates
        if (round % 13 == 0 && n >= 2) fp[n - 1] = fp[n - 2];     // unsorted values
        if constexpr (std::is_same_v<F, double>) {
            if (round % 17 == 0 && n == 1) fp[0] = std::numeric_limits<double>::quiet_NaN();
        }
        Interp<u64, F> table(buffer_of(xp), buffer_of(fp));
        const std::size_t m = rng() % 200;
        const bool sorted = round % 2 == 0;
        const bool nan = round % 9 == 0;

        const std::vector<u64> xq = keys_for(xp, m, sorted, false);
        std::vector<F> fwd(m);
        const BatchOutcome fo = forward_batch(table, view_of(xq), fwd.data(), poll);
        std::size_t first = m;
        Status first_status = Status::Ok;
        for (std::size_t i = 0; i < m && first == m; ++i) {
            const Lookup<F> r = table.forward(xq[i]);
            if (r.status != Status::Ok) {
                first = i;
                first_status = r.status;
            } else {
                check(same(r.value, fwd[i]), "forward batch value", static_cast<long long>(i));
            }
        }
        check(fo.status == first_status, "forward batch status", static_cast<long long>(fo.status));
        if (first_status != Status::Ok) check(fo.index == first, "forward batch index", static_cast<long long>(fo.index));

        const std::vector<F> fq = keys_for(fp, m, sorted, nan);
        for (int code = 0; code < 4; ++code) {
            const Method method = static_cast<Method>(code);
            std::vector<u64> inv(m);
            const BatchOutcome io = inverse_batch(table, view_of(fq), method, inv.data(), poll);
            std::size_t ifirst = m;
            Status istatus = Status::Ok;
            for (std::size_t i = 0; i < m && ifirst == m; ++i) {
                const Lookup<u64> r = table.inverse(fq[i], method);
                if (r.status != Status::Ok) {
                    ifirst = i;
                    istatus = r.status;
                } else {
                    check(r.value == inv[i], "inverse batch value", static_cast<long long>(i));
                }
            }
            check(io.status == istatus, "inverse batch status", static_cast<long long>(io.status));
            if (istatus != Status::Ok) check(io.index == ifirst, "inverse batch index", static_cast<long long>(io.index));
        }
    }
}

// A sorted group finds locate's index for every key, given the lower bound
// of a key not above its first key and an index not below its last key's
// lower bound whose element is not below that key: keys on samples (the last
// one too), between them and beyond both ends.
void sorted_groups_match_locate() {
    constexpr std::size_t G = search::group;
    for (int round = 0; round < 2000; ++round) {
        const std::size_t n = 1 + rng() % 300;
        const std::vector<u64> axis = increasing_axis<u64>(n);
        std::vector<u64> keys = keys_for(axis, G, true, false);
        if (round % 3 == 0) keys[G - 1] = axis[rng() % n];  // the last key on a sample
        std::sort(keys.begin(), keys.end());
        const std::size_t first = locate(axis.data(), n, keys[0]).index;
        const std::size_t lo = round % 2 == 0 ? first : rng() % (first + 1);
        const std::size_t last = locate(axis.data(), n, keys[G - 1]).index;
        const std::size_t hi = round % 4 < 2 ? last : last + rng() % (n - last + 1);
        std::size_t got[G];
        search::sorted_group(axis.data(), lo, hi, keys.data(), got);
        for (std::size_t j = 0; j < G; ++j) {
            if (got[j] != locate(axis.data(), n, keys[j]).index) check(false, "sorted group", static_cast<long long>(round));
        }
    }
    check(true, "sorted groups");
}

// The ladder's lower bounds are locate's, on axes of every size around the
// level boundaries (8^k entries and their neighbours) and at every place of
// the axis within a cache line (the ladder aligns its blocks to the lines),
// for keys on samples, between them, outside, at the type's extremes and
// NaN (whose bound only has to lie within the axis), in groups of both
// sizes the engine searches.
template <std::size_t G, class T>
void ladder_groups(const Ladder<T>& ladder, const T* axis, std::size_t n, const std::vector<T>& keys,
                   long long where) {
    for (std::size_t g = 0; g + G <= keys.size(); g += G) {
        std::size_t got[G];
        std::size_t line[G];  // told before the search reads it
        ladder.template search<G>(axis, keys.data() + g, got,
                                  [&line](std::size_t j, std::size_t first) { line[j] = first; });
        for (std::size_t j = 0; j < G; ++j) {
            const T key = keys[g + j];
            const bool ok = Order<T>::is_nan(key) ? got[j] <= n : got[j] == locate(axis, n, key).index;
            // The answer's first element (lb - 1) lies in the line told.
            const bool told = got[j] == 0 || (got[j] - 1 >= line[j] && got[j] - 1 < line[j] + 8);
            if (!ok || !told) check(false, "ladder", where);
        }
    }
}

template <class T>
void ladder_matches_locate() {
    constexpr std::size_t G = search::group;
    std::vector<std::size_t> sizes = {1, 2, 7, 8, 9, 63, 64, 65, 511, 512, 513, 4095, 4097};
    for (int extra = 0; extra < 12; ++extra) sizes.push_back(1 + rng() % 40000);
    for (std::size_t n : sizes) {
        std::vector<T> store = increasing_axis<T>(n + 8);
        for (std::size_t offset = 0; offset < 8; ++offset) {
            const T* axis = store.data() + offset;
            Ladder<T> ladder;
            if (!ladder.build(axis, n)) std::abort();
            const std::vector<T> some(axis, axis + n);
            std::vector<T> keys = keys_for(some, 4 * G, offset % 2 == 1, std::is_same_v<T, double>);
            keys[0] = std::numeric_limits<T>::lowest();
            keys[1] = std::numeric_limits<T>::max();
            keys[2] = axis[0];
            keys[3] = axis[n - 1];
            const auto where = static_cast<long long>(n * 8 + offset);
            ladder_groups<G>(ladder, axis, n, keys, where);
            ladder_groups<2 * G>(ladder, axis, n, keys, where);
        }
    }
    check(true, "ladder");
}

// The guide's summary blocks are those of halving passes over the whole
// summary, NaN keys included, on summaries of every size up to the largest,
// spread evenly or bunched with outliers at the type's ends (ranges of many
// entries in one cell), and for doubles across both signs, the subnormals,
// -0.0 and the infinities (which rank must order as Order::less does).  The
// guide of a summary that is not increasing keeps its blocks within it; an
// evenly spread one of integers is used.
template <class T>
void guide_matches_halving() {
    constexpr std::size_t G = search::group;
    using limits = std::numeric_limits<T>;
    std::vector<std::size_t> sizes = {1, 2, 3, 5, 8, 9, 100, search::summary_entries};
    for (int extra = 0; extra < 6; ++extra) sizes.push_back(1 + rng() % search::summary_entries);
    for (std::size_t ns : sizes) {
        for (int shape = 0; shape < 3; ++shape) {
            std::vector<T> summary = increasing_axis<T>(ns);
            std::vector<T> keys = keys_for(summary, 6 * G, false, std::is_same_v<T, double>);
            keys[0] = limits::lowest(), keys[1] = limits::max();
            if (shape == 1 && ns > 2) summary.front() = limits::lowest(), summary.back() = limits::max();
            if constexpr (std::is_same_v<T, double>) {
                // The small one puts a cell's boundary between -0.0 and +0.0
                // if they ranked apart.
                if (shape == 2) {
                    if (ns > 8) {
                        summary = {-limits::infinity(), -1e308, -1.0, -5e-324, 0.0, 5e-324, 2.2250738585072014e-308,
                                   1e300, limits::infinity()};
                    } else {
                        summary = {-5e-324, 0.0, 5e-324};
                    }
                    ns = summary.size();
                    keys[0] = -0.0, keys[1] = -limits::quiet_NaN();
                }
            }
            for (std::size_t k = 0; k < ns && 3 * k + 4 < keys.size(); ++k) {  // on, below and above each entry
                keys[2 + 3 * k] = summary[k];
                keys[3 + 3 * k] = summary[k] - (summary[k] > limits::lowest() ? T(1) : T(0));
                keys[4 + 3 * k] = std::is_same_v<T, double> ? -summary[k] : summary[k] + (summary[k] < limits::max() ? T(1) : T(0));
            }
            keys.resize(keys.size() + G, keys[0]);  // a group of one key: no other widens its window
            std::vector<T> reversed(summary.rbegin(), summary.rend());
            std::vector<std::uint16_t> counts(search::guide_cells(ns) + 1), other(counts.size());
            const search::Guide guide = search::fill_guide(summary.data(), ns, counts.data());
            const search::Guide wrong = search::fill_guide(reversed.data(), ns, other.data());
            if (!std::is_same_v<T, double> && shape == 0 && guide.counts == nullptr) check(false, "even summary, no guide", ns);
            for (std::size_t g = 0; g < keys.size(); g += G) {
                std::size_t got[G], want[G], stray[G];
                search::summary_blocks(summary.data(), ns, guide, keys.data() + g, got);
                search::halving_passes(ns, keys.data() + g, want, [&summary](std::size_t, std::size_t i) { return summary[i]; });
                search::summary_blocks(reversed.data(), ns, wrong, keys.data() + g, stray);
                for (std::size_t j = 0; j < G; ++j) {
                    if (got[j] != want[j]) check(false, "guide", static_cast<long long>(ns * 4 + shape));
                    if (stray[j] >= ns) check(false, "guide of a descending summary", static_cast<long long>(ns));
                }
            }
        }
    }
    check(true, "guide");
}

// locate as written, on a few fixed axes.
void locate_cases() {
    const u64 a[] = {10, 20, 30};
    const struct {
        u64 key;
        std::size_t index;
        bool exact;
    } cases[] = {{5, 0, false}, {10, 0, true}, {15, 1, false}, {20, 1, true}, {25, 2, false}, {30, 2, true}, {31, 3, false}};
    for (const auto& c : cases) {
        const Located at = locate(a, 3, c.key);
        check(at.index == c.index && at.exact == c.exact && !at.unordered, "locate", static_cast<long long>(c.key));
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double b[] = {1.0, 2.0};
    check(locate(b, 2, nan).unordered, "locate NaN key");
    const double single_nan[] = {nan};
    check(locate(single_nan, 1, 1.0).unordered, "locate NaN sample");
    const double inf = std::numeric_limits<double>::infinity();
    const double c[] = {-inf, 0.0, inf};
    check(locate(c, 3, inf).exact && locate(c, 3, inf).index == 2, "locate +inf exact");
    check(locate(c, 3, -0.0).exact && locate(c, 3, -0.0).index == 1, "locate -0.0 hits 0.0");
}

void divide_cases() {
    const struct {
        u64 n, d;
        Method m;
        bool present;
        u64 q;
    } cases[] = {
        {25, 10, Method::Absent, false, 0}, {25, 10, Method::Nearest, true, 2}, {35, 10, Method::Nearest, true, 4},
        {25, 10, Method::Ffill, true, 2},   {25, 10, Method::Bfill, true, 3},   {30, 10, Method::Bfill, true, 3},
        {30, 10, Method::Absent, true, 3},  {26, 10, Method::Nearest, true, 3}, {24, 10, Method::Nearest, true, 2},
        {3, 2, Method::Nearest, true, 2},   {5, 2, Method::Nearest, true, 2},   {7, 3, Method::Nearest, true, 2},
    };
    for (const auto& c : cases) {
        const Quotient q = divide_rounded(c.n, c.d, c.m);
        check(q.present == c.present && (!q.present || q.value == c.q), "divide_rounded", static_cast<long long>(c.n));
    }
    // The largest numerator the schemes make: (2^64 - 1) * d.
    const u64 d = 0xFFFFFFFFFFFFFFFBull;
    const u128 n = u128{~u64{0}} * d;
    const Quotient q = divide_rounded(n, d, Method::Absent);
    check(q.present && q.value == ~u64{0}, "divide_rounded at the top");
}

double f64_of(u64 bits) { return std::bit_cast<double>(bits); }

void f80_cases() {
    FloatEnvironment env;
    const F80 one = F80::from_u64(1);
    const F80 two = F80::from_u64(2);
    const F80 tenth = one / F80::from_u64(10);
    const F80Parts p = tenth.parts();
    check(p.m == 0xCCCCCCCCCCCCCCCDull && p.e == -3, "1/10 significand and exponent");
    check(std::bit_cast<u64>(to_f64(tenth)) == 0x3FB9999999999999ull, "1/10 truncates");

    // The conversion of whole values to u64 at both ends of its range and
    // across 2^63, against the bit-by-bit route.
    {
        const F80 p63 = F80::from_u64(u64{1} << 63);
        const F80 p64 = F80::from_u64(~u64{0}) + one;
        const F80 zero = F80::from_u64(0);
        const F80 wholes[] = {zero, zero - zero, one, two, p63 - one, p63, p63 + one, F80::from_u64(~u64{0}), p64,
                              p64 + p64, p64 * p64, zero - one, zero - p63, zero - p63 - one, zero - p64,
                              zero - p64 * p64};
        for (const F80& w : wholes) {
            check(whole_to_u64(w) == to_u64(w), "whole_to_u64 edge", static_cast<long long>(to_u64(w)));
        }
    }

    // Just below 2: 2 - 2^-63.
    const F80 below_two = two - one / F80::from_u64(u64{1} << 63);
    check(below_two.parts().m == ~u64{0} && below_two.parts().e == 1, "just below 2 bits");
    check(to_f64(below_two) == 1.9999999999999998, "just below 2 truncates");

    // Round trips of finite binary64 values; -0.0 comes back as +0.0.
    for (int i = 0; i < 200000 / scale; ++i) {
        u64 bits = rng();
        if (i < 1000) bits &= 0x800FFFFFFFFFFFFFull;  // subnormals
        const double v = f64_of(bits);
        if (!std::isfinite(v)) continue;
        const double back = to_f64(F80::from_f64(v));
        const bool ok = v == 0.0 ? std::bit_cast<u64>(back) == 0 : std::bit_cast<u64>(back) == bits;
        if (!ok) check(false, "f64 round trip", static_cast<long long>(bits));
    }
    check(to_f64(F80::from_f64(1.7976931348623157e308)) == 1.7976931348623157e308, "largest finite round trip");
    check(to_f64(F80::from_f64(1.5e308)) == 1.5e308, "1.5e308 round trip");

    const F80 p1023 = F80::from_f64(std::ldexp(1.0, 1023));
    check(to_f64(p1023 * two) == std::numeric_limits<double>::infinity(), "2^1024 is +inf");
    check(to_f64(F80::from_u64(0) - p1023 * two) == -std::numeric_limits<double>::infinity(), "-2^1024 is -inf");
    const F80 half_min_normal = F80::from_f64(2.2250738585072014e-308) / two;
    check(std::bit_cast<u64>(to_f64(half_min_normal)) == 0x0008000000000000ull, "2^-1023 subnormal");
    const F80 tiny = F80::from_f64(5e-324);
    check(to_f64(tiny) == 5e-324, "2^-1074");
    check(std::bit_cast<u64>(to_f64(tiny / two)) == 0, "2^-1075 to +0.0");
    check(std::bit_cast<u64>(to_f64(F80::from_u64(0) - tiny / two)) == 0, "-2^-1075 to +0.0");

    // Saturating conversion to u64.
    const F80 three_75 = F80::from_f64(3.75);
    check(to_u64(F80::from_f64(-0.5)) == 0, "to_u64(-0.5)");
    check(to_u64(F80::from_f64(0.999)) == 0, "to_u64(0.999)");
    check(to_u64(three_75) == 3, "to_u64(3.75)");
    check(to_u64(F80::from_u64(~u64{0})) == ~u64{0}, "to_u64(2^64 - 1)");
    const F80 two64 = F80::from_u64(~u64{0}) + one;
    check(to_u64(two64) == ~u64{0}, "to_u64(2^64) saturates");
    check(to_u64(two64 * two64) == ~u64{0}, "to_u64(2^128) saturates");

    // Round half to even, floor, ceiling.
    const struct {
        double v, round, floor, ceil;
    } cases[] = {
        {0.5, 0, 0, 1},     {1.5, 2, 1, 2},     {2.5, 2, 2, 3},      {3.5, 4, 3, 4},   {0.25, 0, 0, 1},
        {0.75, 1, 0, 1},    {-0.5, 0, -1, 0},   {-1.5, -2, -2, -1},  {-2.5, -2, -3, -2}, {-0.75, -1, -1, 0},
        {7.0, 7, 7, 7},     {-7.0, -7, -7, -7}, {0.0, 0, 0, 0},      {2251799813685248.5, 2251799813685248.0, 2251799813685248.0, 2251799813685249.0},
    };
    for (const auto& c : cases) {
        const F80 v = F80::from_f64(c.v);
        check(to_f64(v.round_even()) == c.round, "round", static_cast<long long>(c.v * 4));
        check(to_f64(v.floor()) == c.floor, "floor", static_cast<long long>(c.v * 4));
        check(to_f64(v.ceil()) == c.ceil, "ceil", static_cast<long long>(c.v * 4));
        // The same, converted to u64 in one step (negative ones give 0).
        const auto u = [](double w) { return w <= 0 ? u64{0} : static_cast<u64>(w); };
        check(nearest_u64(v) == u(c.round) && floor_u64(v) == u(c.floor) && ceil_u64(v) == u(c.ceil) &&
                  is_whole(v) == (c.floor == c.ceil),
              "whole u64", static_cast<long long>(c.v * 4));
    }
    // 2^62 + 0.5 and values at and beyond 2^63, where every value is whole.
    const F80 big_half = F80::from_u64(u64{1} << 62) + F80::from_f64(0.5);
    check(to_u64(big_half.round_even()) == u64{1} << 62, "round 2^62 + 0.5");
    check(to_u64(big_half.ceil()) == (u64{1} << 62) + 1, "ceil 2^62 + 0.5");
    const F80 top = F80::from_u64(~u64{0});
    check(top.floor() == top && top.ceil() == top && top.round_even() == top, "integral at 2^64 - 1");
    check(to_f64(F80::from_f64(-0.0)) == 0.0 && !std::signbit(to_f64(F80::from_f64(-0.0))), "-0.0 to +0.0");

    // The difference of two doubles equals the general subtraction: exact
    // cases (exponents 10 apart or fewer, zeros, subnormals, magnitudes that
    // nearly fill 64 bits) and rounded ones (11 or more apart).
    const double m53 = 9007199254740991.0;  // 2^53 - 1
    const struct {
        double x, y;
    } differences[] = {
        {1.0, 0.75},     {0.75, 1.0},          {-1.0, 0.75},        {1.0, -0.75},        {2.5, 2.5},
        {-0.0, 0.0},     {0.0, 5e-324},        {5e-324, -5e-324},   {1e-310, 2.2250738585072014e-308},
        {m53 * 1024, -m53},                    {-m53 * 1024, m53},  {m53 * 2048, -m53},  {m53 * 1024, m53},
        {1.0, std::ldexp(1.0, -11)},           {1.0, std::ldexp(m53, -64)},              {0.0, -1e300},
        {1e300, -1e-300}, {-3.0, std::nextafter(-3.0, 0.0)},    {1.7976931348623157e308, -1.7976931348623157e308},
    };
    for (const auto& c : differences) {
        const F80Parts want = (F80::from_f64(c.x) - F80::from_f64(c.y)).parts();
        const F80Parts got = F80::difference(c.x, c.y).parts();
        check(want.zero == got.zero && (want.zero || (want.negative == got.negative && want.e == got.e && want.m == got.m)),
              "difference", static_cast<long long>(&c - differences));
    }
    check(F80::difference(1.0, 0.75) == F80::from_f64(0.25), "1.0 - 0.75");
}

// The fused copy and check, and its portable pieces, against a plain walk:
// every length up to a few vectors, at every source alignment, over values
// that order differently as signed and unsigned (u64 across 2^63), i64
// across zero, and f64 with both zeros, the infinities and NaN, with one
// element changed at a random place.
template <class T>
void copy_check_case(const std::vector<T>& pool) {
    std::vector<unsigned char> raw(pool.size() * sizeof(T) + 8);
    std::vector<T> out(pool.size()), again(pool.size());
    for (std::size_t n = 1; n + 1 < pool.size() && n <= 21; ++n) {
        for (int trial = 0; trial < 24; ++trial) {
            std::vector<T> v(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(n + 1));
            if (trial % 3 != 0) v[rng() % (n + 1)] = pool[rng() % pool.size()];
            const std::size_t offset = static_cast<std::size_t>(trial) % 8;
            std::memcpy(raw.data() + offset, v.data() + 1, n * sizeof(T));
            bool want = true;
            for (std::size_t k = 1; k <= n; ++k) want = want && Order<T>::less(v[k - 1], v[k]);
            const char* src = reinterpret_cast<const char*>(raw.data() + offset);
            const bool got = order_check::copy_no_descent(src, out.data(), n, v[0]);
            const bool pieces = order_check::copy_no_descent_pieces(src, again.data(), n, v[0]);
            check(got == want && pieces == want, "copy check", static_cast<long long>(n));
            check(std::memcmp(out.data(), v.data() + 1, n * sizeof(T)) == 0 &&
                      std::memcmp(again.data(), v.data() + 1, n * sizeof(T)) == 0,
                  "copied", static_cast<long long>(n));
        }
    }
}

void copies_check_order() {
    std::vector<u64> u;
    for (u64 k = 0; k < 24; ++k) u.push_back((u64{1} << 63) - 12 + k);
    copy_check_case(u);
    std::vector<i64> s;
    for (i64 k = -12; k < 12; ++k) s.push_back(k);
    copy_check_case(s);
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> f = {-inf, -1e300, -2.0, -1.0, -0.5, -0.0, 0.0, 1e-310, 0.5, 1.0, 2.0, 3.0,
                             4.0, 8.0, 16.0, 1e10, 1e20, 1e100, 1e300, inf};
    f.push_back(std::numeric_limits<double>::quiet_NaN());
    copy_check_case(f);
    // -0.0 then +0.0 is a descent (they are equal), NaN is one everywhere.
    std::vector<double> zeros = {-1.0, -0.0, 0.0, 1.0, 2.0, 3.0}, o(5);
    check(!order_check::copy_no_descent(reinterpret_cast<const char*>(zeros.data() + 1), o.data(), 5, zeros[0]),
          "-0.0 then 0.0");
}

// A buffer written in fresh pages: the pieces cover each call's range in
// order, none crosses a page, and the only elements written besides them
// are the pages' last ones, whatever the steps of the calls.
void fresh_pages_touch_each_page_at_its_end() {
    const std::size_t n = (huge_page_threshold / sizeof(u64)) + 3;
    std::vector<u64> storage(n + 8);
    for (std::size_t offset : {1u, 2u, 5u}) {  // out[-1] is in the storage
        for (std::size_t step : {n, std::size_t{1} << 16, std::size_t{100003}, std::size_t{262144}}) {
            u64* out = storage.data() + offset;
            std::fill(storage.begin(), storage.end(), ~u64{0});
            std::vector<std::size_t> touched;  // by the calls so far
            std::size_t written = 0;
            bool ok = true;
            for (std::size_t from = 0; from < n; from += step) {
                const std::size_t to = std::min(n, from + step);
                in_fresh_pages(out, n, from, to, [&](std::size_t a, std::size_t b) {
                    ok = ok && a == written && a < b && b <= to;
                    if (fresh_page_bytes != 0)
                        ok = ok && (reinterpret_cast<std::uintptr_t>(out + a) / fresh_page_bytes ==
                                    reinterpret_cast<std::uintptr_t>(out + b - 1) / fresh_page_bytes);
                    written = b;
                });
                ok = ok && written == to;
            }
            for (std::size_t k = 0; k < n; ++k)
                if (out[k] == 0) touched.push_back(k);
            std::vector<std::size_t> want;
            if (fresh_page_bytes != 0) {
                for (std::size_t k = 0; k < n; ++k) {
                    const bool last = k + 1 == n || reinterpret_cast<std::uintptr_t>(out + k + 1) % fresh_page_bytes == 0;
                    if (last) want.push_back(k);
                }
            }
            check(ok && touched == want && out[-1] == ~u64{0} && out[n] == ~u64{0}, "fresh pages (step, offset)",
                  static_cast<long long>(step * 10 + offset));
        }
    }
}

// Building from views copies in index order (any stride) and finds the same
// flags as walking the copies, whichever block a descent falls in.
void views_build_same_table() {
    for (std::size_t n : {0u, 1u, 2u, 511u, 512u, 513u, 1024u, 1500u}) {
        for (int trial = 0; trial < 40; ++trial) {
            std::vector<u64> xp = increasing_axis<u64>(n);
            std::vector<double> fp = increasing_axis<double>(n);
            if (n >= 2 && trial % 2 == 1) {
                const std::size_t at = 1 + rng() % (n - 1);
                xp[at] = xp[at - 1];
                fp[at] = trial % 4 == 1 ? std::numeric_limits<double>::quiet_NaN() : fp[at - 1];
            }
            // A reversed view of the reversed data reads the same elements.
            std::vector<u64> xr(xp.rbegin(), xp.rend());
            const StridedView<u64> xv{reinterpret_cast<const char*>(xr.data() + (n ? n - 1 : 0)),
                                      static_cast<std::ptrdiff_t>(n), -8};
            std::optional<Interp<u64, double>> built;
            const auto status = Interp<u64, double>::from_views(xv, view_of(fp), built);
            check(status == Interp<u64, double>::Build::Ok, "from_views builds");
            built->complete();
            const Interp<u64, double> walked(buffer_of(xp), buffer_of(fp));
            check(built->xp_strictly_increasing() == walked.xp_strictly_increasing(), "xp flag", static_cast<long long>(n));
            check(built->fp_strictly_increasing() == walked.fp_strictly_increasing(), "fp flag", static_cast<long long>(n));
            std::vector<double> a(1), b(1);
            for (std::size_t i = 0; i < n; i += 97) {
                const Lookup<double> ra = built->forward(xp[i]);
                const Lookup<double> rb = walked.forward(xp[i]);
                check(ra.status == rb.status && same(ra.value, rb.value), "copied values", static_cast<long long>(i));
            }
        }
    }
    // Tables of several fill steps: aligned and unaligned sources, a
    // descent in the first, a middle and the last block, and on either side
    // of the edge between two pieces of a contiguous copy (16,384 entries).
    const std::size_t big = (std::size_t{1} << 20) + 5;
    std::vector<u64> xp = increasing_axis<u64>(big);
    std::vector<unsigned char> raw((big + 1) * sizeof(u64));
    for (std::size_t where : {std::size_t{0}, std::size_t{1}, std::size_t{16383}, std::size_t{16384}, std::size_t{16385},
                              big / 2 + 3, std::size_t{1} << 20, big - 1, big}) {
        std::vector<u64> v = xp;
        if (where > 0 && where < big) v[where] = v[where - 1];
        for (std::size_t offset : {std::size_t{0}, std::size_t{3}}) {
            std::memcpy(raw.data() + offset, v.data(), big * sizeof(u64));
            const StridedView<u64> xv{reinterpret_cast<const char*>(raw.data() + offset),
                                      static_cast<std::ptrdiff_t>(big), 8};
            const StridedView<i64> fv{xv.data, xv.length, xv.stride};  // small values: same order
            std::optional<Interp<u64, i64>> built;
            Interp<u64, i64>::from_views(xv, fv, built);
            built->complete();
            const bool want = where == 0 || where == big;
            check(built->xp_strictly_increasing() == want && built->fp_strictly_increasing() == want,
                  "filled copy flag", static_cast<long long>(where));
            check((!want || built->forward(v[big - 1]).value == static_cast<i64>(v[big - 1])) && built->forward(v[0]).status ==
                  (want ? Status::Ok : Status::NotStrictlyIncreasing), "filled copy values");
        }
    }
    std::optional<Interp<u64, double>> none;
    const std::vector<u64> two = {1, 2};
    const std::vector<double> one = {1.0};
    check(Interp<u64, double>::from_views(view_of(two), view_of(one), none) == Interp<u64, double>::Build::LengthMismatch,
          "length mismatch");
}

// The method's coordinate as floor / round / ceiling and the bit-level
// saturating conversion, for comparison with the scheme's route.
Lookup<u64> whole_coordinate_reference(const F80& r, Method method) {
    switch (method) {
        case Method::Absent: {
            const F80 whole = r.floor();
            if (!(whole == r)) return fail<u64>(Status::NotFound);
            return ok(to_u64(whole));
        }
        case Method::Nearest: return ok(to_u64(r.round_even()));
        case Method::Ffill: return ok(to_u64(r.floor()));
        case Method::Bfill: return ok(to_u64(r.ceil()));
    }
    return fail<u64>(Status::NotFound);
}

// The scheme's whole coordinate agrees with floor / round / ceiling and the
// saturating conversion, on values of every scale, halves and ties included.
void whole_coordinate_matches_reference() {
    FloatEnvironment env;
    const F80 half = F80::from_f64(0.5);
    for (int i = 0; i < 300000 / scale; ++i) {
        const int shift = static_cast<int>(rng() % 70);
        const u64 k = rng() >> (rng() % 64);
        F80 r = F80::from_u64(k);
        switch (i % 5) {
            case 0: r = r / F80::from_u64(u64{1} << (shift % 64)); break;
            case 1: r = r + half; break;
            case 2: r = r * F80::from_u64(u64{1} << (shift % 64)); break;  // up to 2^127
            case 3: r = F80::from_f64(static_cast<double>(rng() % 4096) / 1024.0); break;
            default: r = r / F80::from_u64(1 + rng() % 1000); break;
        }
        if (i % 97 == 0) r = F80::from_u64(0) - r;  // negative values take the reference route
        for (int code = 0; code < 4; ++code) {
            const Method method = static_cast<Method>(code);
            const Lookup<u64> a = whole_coordinate(r, method);
            const Lookup<u64> b = whole_coordinate_reference(r, method);
            if (a.status != b.status || (a.status == Status::Ok && a.value != b.value)) {
                check(false, "whole_coordinate", static_cast<long long>(i));
            }
        }
    }
    check(true, "whole_coordinate");
}

// The backend's narrowing to binary64 agrees with the bit-by-bit rule on
// values of every magnitude: normal, subnormal, beyond the largest finite
// value, below the smallest subnormal, both signs.
void narrowing_matches_bitwise() {
    FloatEnvironment env;
    int bad = 0;
    for (int i = 0; i < 400000 / scale; ++i) {
        const u64 top = rng() | (u64{1} << 63);
        F80 v = F80::from_u64(top) / F80::from_u64(1 + (rng() >> (rng() % 64)));
        const int scale = static_cast<int>(rng() % 2300) - 1150;  // 2^-1150 .. 2^1150
        const F80 step = F80::from_f64(std::ldexp(1.0, scale / 2 > 1000 ? 1000 : (scale / 2 < -1000 ? -1000 : scale / 2)));
        v = v * step * step;
        if (i % 2) v = F80::from_u64(0) - v;
        if (i % 1000 == 0) v = F80::from_u64(0);
        const double a = to_f64(v);
        const double b = to_f64_bitwise(v);
        if (std::bit_cast<u64>(a) != std::bit_cast<u64>(b)) {
            if (++bad < 5) check(false, "narrowing", static_cast<long long>(std::bit_cast<u64>(b)));
        }
    }
    // Just below 2^1024 truncates to the largest finite value.
    const F80 near_top = F80::from_f64(1.7976931348623157e308) + F80::from_f64(std::ldexp(1.0, 960));
    check(to_f64(near_top) == 1.7976931348623157e308 && to_f64_bitwise(near_top) == 1.7976931348623157e308,
          "just below 2^1024");
    check(to_f64(F80::from_u64(0) - near_top) == -1.7976931348623157e308, "just above -2^1024");
    // Ties of the narrowing, which rounding to nearest sends to the even
    // neighbour, away from zero or not: 1 + 2^-53 stays 1, 1 + 3 * 2^-53
    // goes up to 1 + 2^-51 and must come back to 1 + 2^-52; both signs.
    const F80 one = F80::from_u64(1);
    const F80 ulp_half = F80::from_f64(std::ldexp(1.0, -53));
    for (const F80& t : {one + ulp_half, one + ulp_half * F80::from_u64(3), one - ulp_half / F80::from_u64(2)}) {
        for (const F80& v : {t, F80::from_u64(0) - t}) {
            check(std::bit_cast<u64>(to_f64(v)) == std::bit_cast<u64>(to_f64_bitwise(v)), "narrowing a tie");
        }
    }
    check(bad == 0, "narrowing", bad);
}

// Tables large enough for the two-level search, random and sorted groups
// mixed, sizes just above and well above a whole number of blocks.
void large_tables_match_reference() {
    auto poll = [] { return true; };
    for (std::size_t n : {search::summary_from, search::summary_from + 12345, 3 * search::summary_from + 1}) {
        std::vector<u64> xp = increasing_axis<u64>(n);
        std::vector<i64> fp = increasing_axis<i64>(n);
        Interp<u64, i64> table(buffer_of(xp), buffer_of(fp));
        std::vector<u64> xq = keys_for(xp, 20000, false, false);
        xq[0] = xp[0];
        xq[1] = xp[n - 1];
        xq[2] = xp[n - 1] + 1;
        std::sort(xq.begin() + 10000, xq.begin() + 15000);
        std::vector<i64> out(xq.size());
        const BatchOutcome o = forward_batch(table, view_of(xq), out.data(), poll);
        std::size_t first = xq.size();
        for (std::size_t i = 0; i < xq.size() && first == xq.size(); ++i) {
            const Lookup<i64> r = table.forward(xq[i]);
            if (r.status != Status::Ok) first = i;
            else if (r.value != out[i]) check(false, "large table value", static_cast<long long>(i));
        }
        check(o.index == first && (o.status == Status::Ok) == (first == xq.size()), "large table outcome",
              static_cast<long long>(o.index));
        // Fewer queries than summary entries: searched without the summary.
        const std::vector<u64> few(xq.begin() + 3, xq.begin() + 203);
        std::vector<i64> few_out(few.size());
        const BatchOutcome fo = forward_batch(table, view_of(few), few_out.data(), poll);
        bool few_same = true;
        std::size_t few_first = few.size();
        for (std::size_t i = 0; i < few.size() && few_first == few.size(); ++i) {
            const Lookup<i64> r = table.forward(few[i]);
            if (r.status != Status::Ok) few_first = i;
            else few_same &= r.value == few_out[i];
        }
        check(few_same && fo.index == few_first && (fo.status == Status::Ok) == (few_first == few.size()),
              "large table, few queries", static_cast<long long>(fo.index));
        // The same keys clamped into the table all succeed.
        for (u64& k : xq) k = std::min(std::max(k, xp[0]), xp[n - 1]);
        const BatchOutcome all = forward_batch(table, view_of(xq), out.data(), poll);
        check(all.status == Status::Ok, "large table in range");
        bool same_values = true;
        for (std::size_t i = 0; i < xq.size(); i += 7) same_values &= table.forward(xq[i]).value == out[i];
        check(same_values, "large table values");
    }
}

// The outcome of a batch on a table filled on demand from views, against
// the reference lookups on the complete table.
template <class Batch, class Lookup1>
void expect_reference(const char* what, std::size_t m, const BatchOutcome& got, Batch&& value_at, Lookup1&& reference) {
    std::size_t first = m;
    Status status = Status::Ok;
    bool values = true;
    for (std::size_t i = 0; i < m && first == m; ++i) {
        const auto r = reference(i);
        if (r.status != Status::Ok) {
            first = i;
            status = r.status;
        } else {
            values &= r.value == value_at(i);
        }
    }
    check(got.status == status && (status == Status::Ok || got.index == first), what,
          static_cast<long long>(got.index));
    check(status != Status::Ok || values, what, -1);
}

// Sorted batches on tables of several fill steps answer as on complete
// tables: keys reaching only the start of the table with a descent beyond
// them, a descent inside the reached part, a failing query before any
// descent is found, a batch turning unsorted half-way, and polls that
// change the caller's arrays (as a signal handler may) in the middle of a
// batch, which must not change any answer.
void filling_matches_complete_table() {
    using Table = Interp<u64, i64>;
    const std::size_t n = 3 * Table::fill_step + 1000;
    const std::vector<u64> xp0 = increasing_axis<u64>(n);
    const std::vector<i64> fp0 = increasing_axis<i64>(n);
    const auto keys_within = [&](std::size_t upto, std::size_t m) {
        std::vector<u64> k(m);
        for (u64& v : k) v = xp0[0] + rng() % (xp0[upto - 1] - xp0[0] + 1);
        std::sort(k.begin(), k.end());
        return k;
    };
    const auto never = [] { return true; };
    struct Case {
        const char* what;
        std::size_t reach;    // keys drawn below xp[reach - 1]
        std::size_t descent;  // xp[descent] = xp[descent - 1], or 0 for none
        int twist;            // 1: first key below xp[0]; 2: unsorted second half
    };
    const Case cases[] = {
        {"filled: start only", Table::fill_step / 2, 0, 0},
        {"filled: descent beyond the keys", Table::fill_step / 2, n - 1, 0},
        {"filled: descent in a later step", 2 * Table::fill_step, Table::fill_step + 7, 0},
        {"filled: descent at the first fill boundary", n, Table::fill_step, 0},
        {"filled: out of bounds first, descent later", Table::fill_step / 2, 2 * Table::fill_step, 1},
        {"filled: out of bounds first", Table::fill_step / 2, 0, 1},
        {"filled: unsorted half", n, 0, 2},
        {"filled: unsorted half, descent", n, n - 2, 2},
    };
    for (const Case& c : cases) {
        std::vector<u64> xp = xp0;
        if (c.descent) xp[c.descent] = xp[c.descent - 1];
        std::vector<u64> keys = keys_within(c.reach, 5000);
        if (c.twist == 1) keys[0] = xp0[0] - 1;
        if (c.twist == 2) std::shuffle(keys.begin() + 2500, keys.end(), rng);
        std::optional<Table> table;
        Table::from_views(view_of(xp), view_of(fp0), table);
        std::vector<i64> out(keys.size());
        const BatchOutcome got = forward_batch(*table, view_of(keys), out.data(), never);
        const Table reference(buffer_of(xp), buffer_of(fp0));
        expect_reference(c.what, keys.size(), got, [&](std::size_t i) { return out[i]; },
                         [&](std::size_t i) { return reference.forward(keys[i]); });
    }
    // The inverse direction searches fp: a descent there.
    {
        std::vector<i64> fp = fp0;
        fp[Table::fill_step + 3] = fp[Table::fill_step + 2];
        std::vector<i64> keys(3000);
        for (i64& v : keys) v = fp0[0] + static_cast<i64>(rng() % static_cast<u64>(fp0[n - 1] - fp0[0]));
        std::sort(keys.begin(), keys.end());
        for (const bool spoil : {false, true}) {
            const std::vector<i64>& f = spoil ? fp : fp0;
            std::optional<Table> table;
            Table::from_views(view_of(xp0), view_of(f), table);
            std::vector<u64> out(keys.size());
            const BatchOutcome got = inverse_batch(*table, view_of(keys), Method::Nearest, out.data(), never);
            const Table reference(buffer_of(xp0), buffer_of(f));
            expect_reference("filled: inverse", keys.size(), got, [&](std::size_t i) { return out[i]; },
                             [&](std::size_t i) { return reference.inverse(keys[i], Method::Nearest); });
        }
    }
    // A poll that overwrites the caller's arrays: the batch already holds
    // its complete copies, whatever the keys had reached.
    for (const std::size_t reach : {Table::fill_step / 3, n}) {
        std::vector<u64> xp = xp0;
        std::vector<i64> fp = fp0;
        const std::vector<u64> keys = keys_within(reach, poll_interval + 5000);
        std::optional<Table> table;
        Table::from_views(view_of(xp), view_of(fp), table);
        std::vector<i64> out(keys.size());
        int polls = 0;
        const auto spoiler = [&] {
            ++polls;
            std::fill(xp.begin(), xp.end(), u64{0});
            std::fill(fp.begin(), fp.end(), i64{0});
            return true;
        };
        const BatchOutcome got = forward_batch(*table, view_of(keys), out.data(), spoiler);
        check(polls == 1, "filled: polled once");
        const Table reference(buffer_of(xp0), buffer_of(fp0));
        expect_reference("filled: poll changes the arrays", keys.size(), got, [&](std::size_t i) { return out[i]; },
                         [&](std::size_t i) { return reference.forward(keys[i]); });
    }
}

// The functions' engine with its thresholds lowered, on tables filled on
// demand with a summary: chunks of 4,096 queries partitioned when unsorted
// (the summary built by the batch), sorted chunks walked with prefetching,
// a failure in a later chunk, and a descent the partitioned chunk finds.
void engine_routes_match_reference() {
    using Table = Interp<u64, i64>;
    const std::size_t n = search::summary_from + 4321;
    const std::vector<u64> xp0 = increasing_axis<u64>(n);
    const std::vector<i64> fp0 = increasing_axis<i64>(n);
    const auto never = [] { return true; };
    for (int round = 0; round < 8; ++round) {
        std::vector<u64> xp = xp0;
        if (round == 3) xp[n - 5] = xp[n - 6];
        std::vector<u64> xq = keys_for(xp0, 20000, false, false);
        std::vector<i64> fq = keys_for(fp0, 20000, false, false);
        if (round % 2 == 0) {  // inside the table, so that every chunk is answered
            for (u64& k : xq) k = std::min(std::max(k, xp0[0]), xp0[n - 1]);
            for (i64& k : fq) k = std::min(std::max(k, fp0[0]), fp0[n - 1]);
        }
        if (round >= 4) std::sort(xq.begin(), xq.begin() + 8192);  // two sorted chunks first
        Routes routes;
        routes.chunk = 4096;
        routes.partition_from = 0;
        routes.partition_per_block = round % 4 == 1 ? 1 : 0;
        routes.stream_from = round % 3 == 0 ? 0 : routes.stream_from;
        std::optional<Table> table;  // establishing only xp's order, as forward_int's copy does
        Table::from_views(view_of(xp), view_of(fp0), table, Table::Checks::Coordinates);
        std::vector<i64> out(xq.size());
        const BatchOutcome fo = forward_batch(*table, view_of(xq), out.data(), never, routes);
        const Table reference(buffer_of(xp), buffer_of(fp0));
        expect_reference("engine forward", xq.size(), fo, [&](std::size_t i) { return out[i]; },
                         [&](std::size_t i) { return reference.forward(xq[i]); });
        std::optional<Table> again;
        Table::from_views(view_of(xp), view_of(fp0), again, Table::Checks::Values);
        std::vector<u64> inv(fq.size());
        const BatchOutcome io = inverse_batch(*again, view_of(fq), Method::Bfill, inv.data(), never, routes);
        expect_reference("engine inverse", fq.size(), io, [&](std::size_t i) { return inv[i]; },
                         [&](std::size_t i) { return reference.inverse(fq[i], Method::Bfill); });
    }
    // Sorted queries far apart on a table with a summary (a prepared one):
    // once the first groups have set the pace, every group through the
    // summary; at spans near the thresholds (n / 64 and n / 32 queries), a
    // batch that changes routes as it goes.
    const Prepared<i64> prepared(Interp<u64, i64>(buffer_of(xp0), buffer_of(fp0)));
    for (const std::size_t m : {std::size_t{300}, std::size_t{700}, n / 64, n / 8, std::size_t{0}, std::size_t{300},
                                n / 32, n / 8}) {
        if (m == 0) {  // the same through the ladder
            prepared.prepare_ladders(0);
            continue;
        }
        std::vector<u64> xq = keys_for(xp0, m, true, false);
        for (u64& k : xq) k = std::min(std::max(k, xp0[0]), xp0[n - 1]);
        std::vector<i64> out(m);
        const Verdict v = prepared.forward(QuerySource{reinterpret_cast<const char*>(xq.data()), 8, m, Elem::U64},
                                           Outside<i64>{}, out.data(), Execution{});
        bool same_values = !v.failed();
        for (std::size_t i = 0; i < m; ++i) same_values &= prepared.table().forward(xq[i]).value == out[i];
        check(same_values, "engine: sparse sorted", static_cast<long long>(m));
    }
}

}  // namespace


// Prepared tables, on every route (the driver in chunks, the partitioned
// route, a split across threads with and without injected faults, queries
// converted from narrower types, masked queries), against the reference
// lookups one query at a time: the same answers, and the first failure.
template <class F>
void prepared_matches_reference() {
    const std::size_t n = prepared::partition_from + 777;  // partitioned when large and unsorted
    std::vector<u64> xp = increasing_axis<u64>(n);
    std::vector<F> fp = increasing_axis<F>(n);
    const Prepared<F> table(Interp<u64, F>(buffer_of(xp), buffer_of(fp)));
    Faults faults;
    for (int round = 0; round < 12; ++round) {
        if (round == 6) table.prepare_ladders(0);  // the rounds after it search through the ladders
        const std::size_t m = round % 3 == 0 ? 5000 : 300000;
        std::vector<u64> xq = keys_for(xp, m, round % 4 == 1, false);
        std::vector<F> fq = keys_for(fp, m, round % 4 == 1, round % 5 == 2);
        if (round % 2 == 0) {  // everything inside: the whole batch is answered
            for (u64& k : xq) k = std::min(std::max(k, xp[0]), xp[n - 1]);
            for (F& k : fq) k = std::min(std::max(k, fp[0]), fp[n - 1]);
        }
        if (round == 6 || round == 9) {  // groups that take the sorted and the searched routes in turn
            mix_routes(xq);
            mix_routes(fq);
        }
        std::vector<char> mask(m, 0);
        for (std::size_t i = 0; i < m; i += 1 + rng() % 50) mask[i] = round % 3 == 2;
        Execution exec;
        exec.workers = 1 + static_cast<unsigned>(round % 3);
        exec.faults = &faults;
        faults.thread_starts.store(round == 4 ? 1 : 0);
        faults.worker_buffers.store(round == 7 ? 1 : 0);
        QuerySource xs{reinterpret_cast<const char*>(xq.data()), 8, m, Elem::U64};
        QuerySource fs{reinterpret_cast<const char*>(fq.data()), 8, m, std::is_same_v<F, double> ? Elem::F64 : Elem::I64};
        if (round % 3 == 2) xs.mask = fs.mask = mask.data(), xs.mask_stride = fs.mask_stride = 1;
        std::vector<u32> narrow;  // the same keys as uint32, where they fit
        if (round == 9) {
            for (u64& k : xq) k &= 0xFFFFFFFFu;
            for (u64 k : xq) narrow.push_back(static_cast<u32>(k));
            xs = {reinterpret_cast<const char*>(narrow.data()), 4, m, Elem::U32};
        }
        std::vector<F> fout(m);
        std::vector<u64> xout(m);
        const Verdict fv = table.forward(xs, Outside<F>{}, fout.data(), exec);
        const Verdict iv = table.inverse(fs, Method::Nearest, xout.data(), exec);
        const auto expect = [&](const char* what, const Verdict& v, auto&& reference, auto&& got) {
            std::size_t first = m;
            Status status = Status::Ok;
            bool values = true;
            for (std::size_t i = 0; i < m && first == m; ++i) {
                if (mask[i] != 0 && xs.mask != nullptr) continue;
                const auto r = reference(i);
                if (r.status != Status::Ok) {
                    first = i;
                    status = r.status;
                } else {
                    values &= same(r.value, got(i));
                }
            }
            check(v.status == status && (status == Status::Ok || v.index == first) && !v.no_memory, what,
                  static_cast<long long>(round));
            check(status != Status::Ok || values, what, -round - 1);
        };
        expect("prepared forward", fv, [&](std::size_t i) { return table.table().forward(xq[i]); },
               [&](std::size_t i) { return fout[i]; });
        expect("prepared inverse", iv, [&](std::size_t i) { return table.table().inverse(fq[i], Method::Nearest); },
               [&](std::size_t i) { return xout[i]; });
    }
}

// The 128-bit integers against Python-style references: on the portable
// limb pair, every operation against the compiler's __int128 where it has
// one (x86-64 with QUORVANE_PORTABLE_U128), and the 128-by-64 division
// against its definition (q * d + r == n, r < d) everywhere.
void u128_matches_reference() {
    int bad = 0;
    for (int i = 0; i < 200000 / scale; ++i) {
        const u64 d = rng() >> (rng() % 64) | 1;
        const u64 hi = rng() % d;
        const u64 lo = rng() >> (i % 3 == 0 ? rng() % 64 : 0);
        const u128 n = make_u128(hi, lo);
        u64 r = 0;
        const u64 q = divrem_128_by_64(n, d, r);
        const u128 back = mul_64x64(q, d) + u128{r};
        if (!(back == n) || r >= d) ++bad;
        u64 r2 = 0;
        if (div_128_by_64(n, d, r2) != q || r2 != r) ++bad;
#if !defined(QUORVANE_NATIVE_U128) && defined(__SIZEOF_INT128__)
        __extension__ typedef unsigned __int128 wide;
        const wide a = (static_cast<wide>(rng()) << 64) | rng();
        const wide b = (static_cast<wide>(rng() >> (rng() % 64)) << 64) | (rng() | 1);
        const u128 pa = make_u128(static_cast<u64>(a >> 64), static_cast<u64>(a));
        const u128 pb = make_u128(static_cast<u64>(b >> 64), static_cast<u64>(b));
        const auto same128 = [](u128 x, wide y) {
            return high64(x) == static_cast<u64>(y >> 64) && low64(x) == static_cast<u64>(y);
        };
        const int s = static_cast<int>(rng() % 128);
        if (!same128(pa + pb, a + b) || !same128(pa - pb, a - b) || !same128(pa * pb, a * b) ||
            !same128(pa / pb, a / b) || !same128(pa % pb, a % b) || !same128(pa << s, a << s) ||
            !same128(pa >> s, a >> s) || (pa < pb) != (a < b) || !same128(mul_64x64(low64(pa), low64(pb)),
                                                                      static_cast<wide>(static_cast<u64>(a)) * static_cast<u64>(b))) {
            ++bad;
        }
#endif
    }
    check(bad == 0, "128-bit integers", bad);
    // The largest numerator the schemes divide: (2^64 - 1) * (2^64 - 1).
    u64 r = 0;
    check(divrem_128_by_64(mul_64x64(~u64{0}, ~u64{0}), ~u64{0}, r) == ~u64{0} && r == 0, "128-bit division at the top");
    // A time unit of a week in attoseconds needs 80 bits.
    const u128 week = u128{604800} * u128{1000000000000000000ull};
    check(high64(week) == 32786 && low64(week) == 5048799358640717824ull, "128-bit product of a week");
}

// The soft backend reads no floating-point environment: the same answers,
// bit for bit, under every rounding direction, with DAZ and FTZ set and with
// x87 precision control at 24 and 53 bits, with no FloatEnvironment around
// them, and the environment as it was afterwards.  (The other backends need
// their scope: nothing to check.)
#if defined(QUORVANE_F80_SOFT)
struct Environment {
    const char* name;
    int rounding;                // <cfenv> direction
    std::uint32_t mxcsr_extra;   // x86: DAZ 0x40, FTZ 0x8000
    std::uint16_t x87_precision; // x86: precision control bits, 0x300 = 64 bits
};

#if defined(QUORVANE_X86)
void set_environment(const Environment& e) {
    std::fesetround(e.rounding);
    std::uint32_t mxcsr;
    std::uint16_t control;
    __asm__ volatile("stmxcsr %0" : "=m"(mxcsr));
    __asm__ volatile("fnstcw %0" : "=m"(control));
    mxcsr = (mxcsr & ~0x8040u) | e.mxcsr_extra;
    control = static_cast<std::uint16_t>((control & ~0x300u) | e.x87_precision);
    __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr) : "memory");
    __asm__ volatile("fldcw %0" : : "m"(control) : "memory");
}
std::uint64_t environment_word() {
    std::uint32_t mxcsr;
    std::uint16_t control;
    __asm__ volatile("stmxcsr %0" : "=m"(mxcsr));
    __asm__ volatile("fnstcw %0" : "=m"(control));
    return (std::uint64_t{mxcsr & ~0x3Fu} << 16) | control;  // settings, not flags
}
#else
void set_environment(const Environment& e) { std::fesetround(e.rounding); }
std::uint64_t environment_word() { return static_cast<std::uint64_t>(std::fegetround()); }
#endif

// Operands of the schemes, subnormal and extreme ones included, made (with
// the hardware's arithmetic) in the default environment.
struct Operands {
    u64 x, x0, x1;
    double f0, f, f1;
};

std::vector<Operands> soft_operands() {
    std::mt19937_64 g(42);
    std::vector<Operands> out;
    const auto value = [&g]() {
        const u64 b = g();
        switch (b % 4) {
            case 0: return std::bit_cast<double>(b >> 12);  // subnormal
            case 1: return std::ldexp(static_cast<double>(g() >> 11), static_cast<int>(b % 2100) - 1100);
            case 2: return static_cast<double>(static_cast<std::int64_t>(g())) / 7.0;
            default: return std::bit_cast<double>((g() & 0x800FFFFFFFFFFFFFull) | (u64{1 + b % 2045} << 52));
        }
    };
    while (out.size() < static_cast<std::size_t>(20000 / scale)) {
        double f0 = value(), f1 = value();
        if (f1 < f0) std::swap(f0, f1);
        const u64 x0 = g() >> (g() % 64), w = 2 + (g() >> (g() % 64 + 1));
        const u64 x1 = x0 + std::min(w, ~u64{0} - x0);
        const double f = f0 + (f1 - f0) * 0.375;
        if (!(f0 < f && f < f1) || x1 - x0 < 2) continue;
        out.push_back({x0 + 1 + g() % (x1 - x0 - 1), x0, x1, f0, f, f1});
    }
    return out;
}

// The answers of the schemes and of single operations on those operands, as
// bits: computed with nothing but the soft backend.
std::vector<u64> soft_answers(const std::vector<Operands>& operands) {
    std::vector<u64> out;
    for (const Operands& o : operands) {
        out.push_back(std::bit_cast<u64>(Forward<u64, double>::forward(o.x, o.x0, o.x1, o.f0, o.f1).value));
        for (int code = 0; code < 4; ++code) {
            const Lookup<u64> r = Inverse<double, u64>::inverse(o.f, o.x0, o.x1, o.f0, o.f1, static_cast<Method>(code));
            out.push_back(r.value ^ (static_cast<u64>(r.status) << 56));
        }
        const F80 a = F80::from_f64(o.f0), b = F80::from_f64(o.f1), c = F80::from_u64(o.x);
        for (const F80& v : {a + b, a - b, a * c, b / c, (a * c).round_even(), (b / c).floor(), (a / c).ceil()}) {
            const F80Parts p = v.parts();
            out.push_back(p.m ^ static_cast<u64>(static_cast<std::uint32_t>(p.e)) ^ (p.negative ? 1u : 0u));
            out.push_back(std::bit_cast<u64>(to_f64(v)) ^ to_u64(v));
        }
    }
    return out;
}

void soft_ignores_environment() {
    const std::vector<Operands> operands = soft_operands();
    const std::vector<u64> want = soft_answers(operands);  // the default environment
    const Environment environments[] = {
        {"downward", FE_DOWNWARD, 0, 0x300},        {"upward", FE_UPWARD, 0, 0x300},
        {"toward zero", FE_TOWARDZERO, 0, 0x300},   {"nearest, DAZ and FTZ", FE_TONEAREST, 0x8040, 0x300},
        {"upward, DAZ", FE_UPWARD, 0x40, 0x300},    {"x87 at 53 bits", FE_TONEAREST, 0, 0x200},
        {"x87 at 24 bits, toward zero", FE_TOWARDZERO, 0x8000, 0x000},
    };
    const std::uint64_t initial = environment_word();
    for (const Environment& e : environments) {
        set_environment(e);
        const std::uint64_t entered = environment_word();
        const std::vector<u64> got = soft_answers(operands);
        const std::uint64_t left = environment_word();
        set_environment({"default", FE_TONEAREST, 0, 0x300});
        check(got == want, e.name);
        check(left == entered, "the environment left as it was");
    }
    check(environment_word() == initial, "the default environment back");
}
#else
void soft_ignores_environment() {}
#endif

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--quick") scale = 8;
    u128_matches_reference();
    soft_ignores_environment();
    prepared_matches_reference<i64>();
    prepared_matches_reference<double>();
    sorted_groups_match_locate();
    ladder_matches_locate<u64>();
    ladder_matches_locate<i64>();
    ladder_matches_locate<double>();
    guide_matches_halving<u64>();
    guide_matches_halving<i64>();
    guide_matches_halving<double>();
    filling_matches_complete_table();
    engine_routes_match_reference();
    large_tables_match_reference();
    narrowing_matches_bitwise();
    whole_coordinate_matches_reference();
    copies_check_order();
    fresh_pages_touch_each_page_at_its_end();
    views_build_same_table();
    locate_cases();
    divide_cases();
    f80_cases();
    batches_match_reference<i64>();
    batches_match_reference<double>();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
