// libFuzzer target: every batch route of the table against the reference
// lookups, one query at a time on a complete table.
//
// The input decodes (see decode_* below; past its end every byte reads as
// zero, so any input is valid) into a table of u64 coordinates with i64 or
// f64 values, a batch of queries, the byte strides of the three arrays, a
// direction and a method.  The routes:
//   lazy       forward_batch / inverse_batch on Interp::from_views (filled
//              on demand), as the functions call them
//   complete   the same on Interp(Buffer, Buffer)
//   engine     the same on a table from views that establishes only the
//              searched axis's order flag (as the functions' copies do),
//              with the engine's thresholds
//              lowered (Routes): chunks of 16 to 128 queries, every table
//              with a summary partitioning its unsorted chunks (so the
//              partitioned route meets a table filled on demand and a
//              summary built by the batch), the prefetching walk on any
//              table; the long batch too, in chunks of 4,096 and more
//   pieces     drive() called on the complete table piece after piece of the
//              batch, one Walk shared by the calls and the summary built up
//              front, as a prepared table calls it
//   lazy-pieces  the same on a table from views, summary left to drive
//   partitioned  partitioned() on the complete table (tables with a summary
//              and an increasing searched axis), which answers the queries
//              block by block, as a prepared table does for large batches
// Each must give, up to the reference's first failing query, the same
// answers bit for bit, and stop at the same query with the same Status.  A
// mismatch prints what differs and aborts, so that libFuzzer keeps the input.
//
// Tables above Interp::fill_step come from a generator of a few bytes
// (arithmetic progressions with planted defects), so that the lazy filling
// is reached cheaply; the fuzzer meets them only now and then.

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

#include "batch.hpp"
#include "piecewise.hpp"
#include "schemes_float.hpp"
#include "schemes_int.hpp"
#include "reader.hpp"

using namespace quorvane;

namespace {

using u64 = std::uint64_t;
using i64 = std::int64_t;

constexpr std::size_t max_queries = 4096;

// ---------------------------------------------------------------------------
// Ordinals: each element type mapped onto u64 in its own order, so that
// tables and queries are made by stepping through u64 and every step lands
// on a value of the type.  u64 maps to itself, i64 by flipping the sign bit,
// f64 by the sign-magnitude fold: -NaNs lowest, then -inf .. -0.0, +0.0 ..
// +inf, +NaNs highest.  So ordinal neighbours of f64 are the next
// representable values, -0.0 and +0.0 are neighbours that compare equal,
// and walking past an infinity gives NaNs.
//
// Contract: ordinal is a bijection onto u64, from_ordinal its inverse; for
// any a, b that are not NaN, a < b in the type's order implies
// ordinal(a) < ordinal(b) (and for u64 and i64 the converse holds too).
// ---------------------------------------------------------------------------
template <class T>
u64 ordinal(T v) {
    if constexpr (std::is_same_v<T, double>) {
        const u64 b = std::bit_cast<u64>(v);
        return (b >> 63) ? ~b : b | (u64{1} << 63);
    } else {
        return static_cast<u64>(v) ^ (std::is_same_v<T, i64> ? u64{1} << 63 : 0);
    }
}

template <class T>
T from_ordinal(u64 o) {
    if constexpr (std::is_same_v<T, double>) {
        return std::bit_cast<double>((o >> 63) ? o ^ (u64{1} << 63) : ~o);
    } else {
        return static_cast<T>(o ^ (std::is_same_v<T, i64> ? u64{1} << 63 : 0));
    }
}

// Values at the edges of each type, as ordinals.
template <class T>
const std::vector<u64>& specials() {
    static const std::vector<u64> list = [] {
        std::vector<u64> o;
        if constexpr (std::is_same_v<T, double>) {
            const double inf = std::numeric_limits<double>::infinity();
            const double values[] = {0.0, -0.0, 5e-324, -5e-324, 2.2250738585072009e-308, -2.2250738585072009e-308,
                                     2.2250738585072014e-308, -2.2250738585072014e-308, 1.0, -1.0, 1.0 / 3, 0.1,
                                     0x1p53, 0x1p63, 0x1p64, -0x1p64, 1e300, -1e300, 1.7976931348623157e308,
                                     -1.7976931348623157e308, inf, -inf, 1.7e18, 0.5};
            for (double v : values) o.push_back(ordinal(v));
            for (u64 nan : {u64{0x7FF8000000000000}, u64{0xFFF8000000000000}, u64{0x7FF0000000000001},
                            u64{0x7FFFFFFFFFFFFFFF}}) {
                o.push_back(ordinal(std::bit_cast<double>(nan)));
            }
        } else if constexpr (std::is_same_v<T, i64>) {
            const i64 mx = std::numeric_limits<i64>::max();
            const i64 values[] = {0, 1, -1, 2, -2, mx, mx - 1, -mx - 1, -mx, i64{1} << 53, -(i64{1} << 53),
                                  i64{1} << 62, i64{1700000000000000000}, i64{1} << 32, -(i64{1} << 32), 1000};
            for (i64 v : values) o.push_back(ordinal(v));
        } else {
            const u64 values[] = {0, 1, 2, 3, u64{1} << 32, u64{1} << 53, (u64{1} << 53) + 1, u64{1} << 62,
                                  (u64{1} << 63) - 1, u64{1} << 63, (u64{1} << 63) + 1, ~u64{0} - 1, ~u64{0},
                                  u64{1700000000000000000}, 1000, ~u64{0} >> 11};
            for (u64 v : values) o.push_back(v);
        }
        return o;
    }();
    return list;
}

// An ordinal from a picker byte and what follows it: a special value, one
// within 127 ordinals of it (wrapping around u64), raw bytes, or two bytes
// shifted up by up to 63 bits.
template <class T>
u64 pick(Reader& in) {
    const std::uint8_t b = in.byte();
    const std::vector<u64>& s = specials<T>();
    switch (b >> 6) {
        case 0: return s[b % s.size()];
        case 1: {
            const u64 base = s[b % s.size()];
            const std::uint8_t d = in.byte();
            return (d & 0x80) ? base - (d & 0x7F) : base + d;
        }
        case 2: return in.bytes(8);
        default: return in.bytes(2) << (b & 63);
    }
}

// One step of a walk through ordinals from `prev`, by the step byte and
// what follows it: mostly small increases (so that axes come out strictly
// increasing often enough to be searched), then long ones, wrapping sums,
// equal neighbours, small descents and jumps to an edge value.
template <class T>
u64 step(Reader& in, u64 prev) {
    const std::uint8_t b = in.byte();
    const unsigned a = b & 31;
    switch (b >> 5) {
        case 0:
        case 1:
        case 2: return prev + 1 + a + 32 * (b >> 5);
        case 3: return prev + (in.bytes(2) << (a % 48));
        case 4: return prev + in.bytes(8);                                   // anything, wrap included
        case 5: return a < 16 ? prev : prev - (a - 15);                       // equal or a small descent
        case 6: return specials<T>()[a % specials<T>().size()];               // jump to an edge
        default: return prev + (u64{1} << (a + 32));
    }
}

// ---------------------------------------------------------------------------
// Laying out arrays as NumPy would view them: element i at byte
// offset + i * stride of fresh storage, for any stride (0 and negative
// included) and any alignment.  With stride 0 the last element written is
// the one every index reads.
// ---------------------------------------------------------------------------
struct Layout {
    std::ptrdiff_t stride;
    std::size_t offset;
};

Layout layout_of(unsigned code) {
    static constexpr Layout layouts[8] = {{8, 0}, {16, 0}, {-8, 0}, {8, 3}, {24, 5}, {-16, 1}, {0, 0}, {8, 0}};
    return layouts[code & 7];
}

template <class T>
StridedView<T> lay_out(std::vector<unsigned char>& storage, const std::vector<T>& v, Layout l) {
    const std::size_t m = v.size();
    const std::size_t step = static_cast<std::size_t>(l.stride < 0 ? -l.stride : l.stride);
    const std::size_t span = (m == 0 ? 0 : (m - 1) * step) + sizeof(T);
    storage.assign(span + l.offset, 0);
    unsigned char* base = storage.data() + l.offset + (l.stride < 0 && m > 0 ? (m - 1) * step : 0);
    for (std::size_t i = 0; i < m; ++i) std::memcpy(base + static_cast<std::ptrdiff_t>(i) * l.stride, &v[i], sizeof(T));
    return {reinterpret_cast<const char*>(base), static_cast<std::ptrdiff_t>(m), l.stride};
}

template <class T>
std::vector<T> read_back(StridedView<T> v) {
    std::vector<T> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = v[i];
    return out;
}

template <class T>
Buffer<T> buffer_of(const std::vector<T>& v) {
    Buffer<T> b = Buffer<T>::uninitialised(v.size());
    if (!b.ok()) std::abort();
    if (!v.empty()) std::memcpy(b.data(), v.data(), v.size() * sizeof(T));
    return b;
}

// ---------------------------------------------------------------------------
// Tables.
// ---------------------------------------------------------------------------
template <class F>
struct Source {
    std::vector<unsigned char> xstore, fstore;
    StridedView<u64> xv{};
    StridedView<F> fv{};
    std::vector<u64> xs;  // what the views read, index by index
    std::vector<F> fs;
    std::vector<u64> fords;  // ordinals of fs
    std::optional<Interp<u64, F>> complete;  // Interp(Buffer, Buffer) of xs and fs, once made
};

// The elements the views read: the ones laid out, except that with stride
// 0 every index reads the last one.
template <class F>
void read_back_all(Source<F>& s, std::vector<u64>&& xs, std::vector<F>&& fs) {
    s.xs = s.xv.stride == 0 ? read_back(s.xv) : std::move(xs);
    s.fs = s.fv.stride == 0 ? read_back(s.fv) : std::move(fs);
    s.fords.resize(s.fs.size());
    for (std::size_t i = 0; i < s.fs.size(); ++i) s.fords[i] = ordinal(s.fs[i]);
}

// A table written out element by element: its length, then a walk of each
// axis from a picked start.
template <class F>
void explicit_table(Reader& in, std::vector<u64>& xs, std::vector<F>& fs) {
    const std::uint8_t b = in.byte();
    const std::size_t n = b < 192 ? b % 48 : 48 + in.byte();
    u64 x = pick<u64>(in);
    u64 f = pick<F>(in);
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) x = step<u64>(in, x);
        if (i > 0) f = step<F>(in, f);
        xs.push_back(x);
        fs.push_back(from_ordinal<F>(f));
    }
}

// A table made by a generator: both axes arithmetic progressions of
// ordinals, with up to three planted defects (an equal neighbour, a small
// descent, a jump to an end of the ordinals, a long jump forward) at
// positions picked near the fill steps' boundaries, near the end or
// anywhere.  Decoded first (a few bytes), made only when needed.
struct Generator {
    std::size_t n;
    u64 x0, dx, f0, df;
    struct Defect {
        std::size_t at;
        std::uint8_t kind;  // bit 0 on xp, bit 1 on fp, bits 2-3 what, bits 4-7 how much
    };
    Defect defects[3];
    unsigned count;
};

template <class F>
Generator decode_generator(Reader& in, unsigned size_class) {
    constexpr std::size_t S = Interp<u64, F>::fill_step;
    Generator g{};
    const std::size_t r = in.byte();
    // Sizes: mostly below the summary's threshold (a fraction of a
    // millisecond per input); one time in eight around it, one in sixteen
    // around the streaming threshold, and one in sixteen around one or two
    // fill steps (tens of milliseconds; two steps one time in four).
    switch (size_class % 16) {
        default: g.n = 1 + static_cast<std::size_t>(in.bytes(2) % 5000); break;
        case 12:
        case 13: g.n = search::summary_from - 64 + r; break;
        case 14: g.n = search::stream_from + r * 97; break;
        case 15: g.n = (in.byte() % 4 == 3 ? 2 : 1) * S + r * 3 - 300; break;
    }
    g.x0 = pick<u64>(in);
    g.dx = 1 + (in.bytes(2) << (in.byte() % 40));
    g.f0 = pick<F>(in);
    g.df = 1 + (in.bytes(2) << (in.byte() % 40));
    g.count = in.byte() % 4;
    for (unsigned d = 0; d < g.count; ++d) {
        const std::uint8_t where = in.byte();
        std::size_t p = 0;
        switch (where & 7) {
            case 0: p = S - 1; break;
            case 1: p = S; break;
            case 2: p = S + 1; break;
            case 3: p = 2 * S + (where >> 3); break;
            case 4: p = g.n - 1 - std::min<std::size_t>(where >> 3, g.n - 1); break;
            default: p = static_cast<std::size_t>(in.bytes(3)); break;
        }
        g.defects[d] = {p, in.byte()};
    }
    return g;
}

template <class F>
void generate(const Generator& g, std::vector<u64>& xs, std::vector<F>& fs) {
    xs.resize(g.n);
    fs.resize(g.n);
    for (std::size_t i = 0; i < g.n; ++i) {
        xs[i] = g.x0 + g.dx * i;
        fs[i] = from_ordinal<F>(g.f0 + g.df * i);
    }
    for (unsigned d = 0; d < g.count; ++d) {
        const std::size_t p = g.defects[d].at;
        const std::uint8_t kind = g.defects[d].kind;
        if (p == 0 || p >= g.n) continue;
        const auto defect = [kind](u64 prev) -> u64 {
            switch ((kind >> 2) & 3) {
                case 0: return prev;
                case 1: return prev - 1 - (kind >> 4);
                case 2: return (kind >> 4) % 2 ? ~u64{0} : 0;  // u64 extremes, f64 NaNs
                default: return prev + (u64{1} << (40 + (kind >> 4)));
            }
        };
        if (kind & 1) xs[p] = defect(xs[p - 1]);
        if (kind & 2) fs[p] = from_ordinal<F>(defect(ordinal(fs[p - 1])));
    }
}

// The table of an input, laid out with the strides it asks for.  Tables
// from the summary's threshold on are remade only when their bytes change:
// mutations of the queries keep them, and making them would dominate an
// execution.
template <class F>
Source<F>& decode_table(Reader& in, unsigned size_class, unsigned xcode, unsigned fcode) {
    static Source<F> cached;
    static std::vector<std::uint8_t> cached_key;
    static Source<F> fresh;
    const std::uint8_t* start = in.at();
    std::vector<u64> xs;
    std::vector<F> fs;
    if (size_class < 6) {
        explicit_table(in, xs, fs);
    } else {
        const Generator g = decode_generator<F>(in, in.byte());
        if (g.n >= search::summary_from) {
            std::vector<std::uint8_t> key(start, in.at());
            key.push_back(static_cast<std::uint8_t>(size_class));
            key.push_back(static_cast<std::uint8_t>(xcode | fcode << 3));
            if (key == cached_key) return cached;
            cached_key = key;
            generate(g, xs, fs);
            cached.xv = lay_out(cached.xstore, xs, layout_of(xcode));
            cached.fv = lay_out(cached.fstore, fs, layout_of(fcode));
            read_back_all(cached, std::move(xs), std::move(fs));
            cached.complete.reset();
            return cached;
        }
        generate(g, xs, fs);
    }
    fresh.xv = lay_out(fresh.xstore, xs, layout_of(xcode));
    fresh.fv = lay_out(fresh.fstore, fs, layout_of(fcode));
    read_back_all(fresh, std::move(xs), std::move(fs));
    fresh.complete.reset();
    return fresh;
}

// The complete table of a source: made when first asked for, and for a
// large source kept for the inputs that reuse it.  The batch routes never
// write a complete table, so it must still hold the source's elements;
// that is checked at every reuse.
template <class F>
Interp<u64, F>& complete_table(Source<F>& src) {
    const std::size_t n = src.xs.size();
    if (!src.complete) {
        src.complete.emplace(buffer_of(src.xs), buffer_of(src.fs));
    } else if (std::memcmp(src.complete->coordinates(), src.xs.data(), n * sizeof(u64)) != 0 ||
               std::memcmp(src.complete->values(), src.fs.data(), n * sizeof(F)) != 0) {
        std::fprintf(stderr, "fuzz_batch: a complete table of %zu entries was written by a batch\n", n);
        std::abort();
    }
    return *src.complete;
}

// ---------------------------------------------------------------------------
// Queries: ops of one byte (op in the high nibble, argument in the low one)
// and what follows them, in ordinals of the key type K, referring to the
// searched axis `axis` (ordinals too) for exact hits, neighbours and runs.
// ---------------------------------------------------------------------------
template <class K>
std::vector<K> decode_queries(Reader& in, const std::vector<u64>& axis) {
    std::vector<u64> q;
    const std::size_t n = axis.size();
    const auto element = [&](u64 index) { return n == 0 ? u64{0} : axis[index % n]; };
    const auto push = [&](u64 o) {
        if (q.size() < max_queries) q.push_back(o);
    };
    const auto prev = [&] { return q.empty() ? (n ? axis[0] : u64{0}) : q.back(); };
    const auto index = [&] { return n > 65536 ? in.bytes(3) : in.bytes(2); };
    while (!in.done() && q.size() < max_queries) {
        const std::uint8_t b = in.byte();
        const unsigned a = b & 15;
        switch (b >> 4) {
            case 0: push(in.bytes(8)); break;
            case 1: push(specials<K>()[(a | in.byte() << 4) % specials<K>().size()]); break;
            case 2: push(element(index())); break;                                      // an exact hit
            case 3: push(element(index()) + (a < 8 ? a + 1 : -static_cast<u64>(a - 7))); break;  // a neighbour
            case 4: for (unsigned k = 0; k <= a; ++k) push(prev()); break;                // duplicates
            case 5: push(prev() + a + 1); break;                                          // sorted
            case 6: push(prev() - a - 1); break;                                          // a drop
            case 7: push(prev() + (u64{in.byte()} << (a * 4))); break;                    // a long step
            case 8: {  // a sorted run along the table: every s-th element, some just above it
                u64 i = index();
                const std::size_t count = 16 * (a + 1) + in.byte() % 16;
                const u64 s = 1 + in.byte();
                const std::uint8_t jitter = in.byte();
                for (std::size_t k = 0; k < count; ++k, i += s) push(element(i) + ((jitter >> (k % 8)) & 1));
                break;
            }
            case 9: {  // a sorted run in ordinals
                const std::size_t count = 16 * a + in.byte();
                const u64 s = 1 + (u64{in.byte()} << (in.byte() % 56));
                u64 o = prev();
                for (std::size_t k = 0; k < count; ++k) push(o += s);
                break;
            }
            case 10:    // unsorted keys over the table's range, or its indices
            case 11: {
                u64 state = in.bytes(2) * 0x9E3779B97F4A7C15u + 1;
                const u64 lo = n ? axis[0] : 0, hi = n ? axis[n - 1] : ~u64{0};
                for (std::size_t k = 0; k < 16 * (a + 1); ++k) {
                    state = state * 6364136223846793005u + 1442695040888963407u;
                    const u64 r = state >> 11;
                    const u64 span = hi > lo ? hi - lo : 3;  // keys in [lo, lo + span]
                    push((b >> 4) == 11 ? element(r) + (r & 1) : lo + (span == ~u64{0} ? state : r % (span + 1)));
                }
                break;
            }
            case 12: {  // a descending run
                u64 o = prev();
                for (std::size_t k = 0; k < 4 * (a + 1); ++k) push(o -= 1 + in.byte());
                break;
            }
            case 13: {  // a stretch of earlier queries again
                if (q.empty()) break;
                const std::size_t from = static_cast<std::size_t>(in.bytes(2)) % q.size();
                const std::size_t len = 1 + a * 8 + in.byte() % 8;
                for (std::size_t k = 0; k < len; ++k) push(q[(from + k) % q.size()]);
                break;
            }
            case 14: push(specials<K>()[a % specials<K>().size()]); break;
            default: {  // a group of small sorted steps from the previous key
                u64 o = prev();
                for (std::size_t k = 0; k < 16; ++k) push(o += in.byte() % (a + 1));
                break;
            }
        }
    }
    std::vector<K> keys(q.size());
    for (std::size_t i = 0; i < q.size(); ++i) keys[i] = from_ordinal<K>(q[i]);
    return keys;
}

// ---------------------------------------------------------------------------
// Checking.
// ---------------------------------------------------------------------------
template <class R>
u64 bits_of(R v) {
    if constexpr (std::is_same_v<R, double>) {
        return std::bit_cast<u64>(v);
    } else {
        return static_cast<u64>(v);
    }
}

struct Case {
    const char* type;
    bool inverse;
    Method method;
    std::size_t n;
    std::size_t m;
};

[[noreturn]] void mismatch(const Case& c, const char* route, const char* what, std::size_t index, u64 want, u64 got) {
    std::fprintf(stderr,
                 "fuzz_batch: %s: %s mismatch (%s %s, method %d, n = %zu, m = %zu) at query %zu: "
                 "expected 0x%016" PRIx64 ", got 0x%016" PRIx64 "\n",
                 route, what, c.type, c.inverse ? "inverse" : "forward", static_cast<int>(c.method), c.n, c.m, index,
                 want, got);
    std::abort();
}

// FUZZ_DESCRIBE=1 in the environment prints each input's case and the
// reference's outcome (to look at seeds and findings).
void describe(const Case& c, BatchOutcome want, std::ptrdiff_t qstride) {
    static const bool on = std::getenv("FUZZ_DESCRIBE") != nullptr;
    if (!on) return;
    std::fprintf(stderr, "%s %s method %d: n = %zu, m = %zu (stride %td): reference stops at %zu with status %d\n",
                 c.type, c.inverse ? "inverse" : "forward", static_cast<int>(c.method), c.n, c.m, qstride, want.index,
                 static_cast<int>(want.status));
}

// The reference's answers: values up to the first failing query, its index
// (m when none fails) and its Status.
template <class R>
struct Expected {
    std::vector<R> values;
    BatchOutcome outcome;
};

template <class R>
void compare(const Case& c, const char* route, const Expected<R>& want, BatchOutcome got, const std::vector<R>& out) {
    if (got.status != want.outcome.status) {
        mismatch(c, route, "status", want.outcome.index, static_cast<u64>(want.outcome.status),
                 static_cast<u64>(got.status));
    }
    if (got.index != want.outcome.index) mismatch(c, route, "first failing index", 0, want.outcome.index, got.index);
    for (std::size_t i = 0; i < want.outcome.index; ++i) {
        if (bits_of(out[i]) != bits_of(want.values[i])) mismatch(c, route, "value", i, bits_of(want.values[i]), bits_of(out[i]));
    }
}

// A table from views holds complete copies when a batch has returned,
// unless the batch ended at a descent found in a prefix.  Once complete, it
// is the complete table: the same elements and both order flags the same
// (the batch only read the flag of the axis it searched); a table that
// establishes only the searched axis's flag (as the functions' copies do)
// has that one the same.
template <class T>
void expect_complete(const Case& c, const char* route, const T& table, BatchOutcome got, const T& reference,
                     bool both_flags = true) {
    if (c.m > 0 && got.status != Status::NotStrictlyIncreasing && table.filled() != table.size()) {
        mismatch(c, route, "table left incomplete", got.index, table.size(), table.filled());
    }
    if (c.m == 0 || table.filled() != table.size()) return;
    if ((both_flags || !c.inverse) && table.xp_strictly_increasing() != reference.xp_strictly_increasing()) {
        mismatch(c, route, "xp order flag", 0, reference.xp_strictly_increasing(), table.xp_strictly_increasing());
    }
    if ((both_flags || c.inverse) && table.fp_strictly_increasing() != reference.fp_strictly_increasing()) {
        mismatch(c, route, "fp order flag", 0, reference.fp_strictly_increasing(), table.fp_strictly_increasing());
    }
    const std::size_t n = table.size();
    if (std::memcmp(table.coordinates(), reference.coordinates(), n * sizeof(*table.coordinates())) != 0 ||
        std::memcmp(table.values(), reference.values(), n * sizeof(*table.values())) != 0) {
        mismatch(c, route, "copied elements", 0, 0, 1);
    }
}

// Piece lengths for feeding drive(): two sizes taken in turn.
struct Pieces {
    std::size_t a, b;
};

// drive() fed the batch piece after piece with one Walk, as a prepared table
// calls it (through drive_routed: in pairs once the summary has a ladder):
// the batch functions' checks before the first piece, and each piece's
// outcome counted from the start of the batch.
template <class Table, class K, class Answer>
BatchOutcome drive_in_pieces(Table& table, const K* axis, const bool& increasing, StridedView<K> queries,
                             Summary<K>& summary, bool may_build, Pieces pieces, Status precheck, Answer answer) {
    const std::size_t m = queries.size();
    if (m == 0) return {0, Status::Ok};
    if (precheck != Status::Ok) return {0, precheck};
    Walk<K> walk;
    std::size_t start = 0;
    for (std::size_t k = 0; start < m; ++k) {
        const std::size_t len = std::min(m - start, k % 2 ? pieces.b : pieces.a);
        const StridedView<K> piece{queries.data + static_cast<std::ptrdiff_t>(start) * queries.stride,
                                   static_cast<std::ptrdiff_t>(len), queries.stride};
        const auto answered = [&](std::size_t i, K key, std::size_t lb) { return answer(start + i, key, lb); };
        const BatchOutcome o = drive_routed(table, axis, increasing, piece, summary, may_build, walk, answered);
        if (o.status != Status::Ok) return {start + o.index, o.status};
        start += len;
    }
    return {m, Status::Ok};
}

// partitioned() over the whole batch: every query answered, in block order,
// the outcome the failure of smallest index.  Contract: `axis` strictly
// increasing, summary built.
template <class K, class V, class R, class Compute>
void check_partitioned(const Case& c, const K* axis, const V* other, std::size_t n, const Summary<K>& summary,
                       StridedView<K> q, const Expected<R>& want, Compute&& compute) {
    Partition<K, R> p;
    if (!p.make(q.size(), summary.size())) std::abort();
    std::vector<R> out(q.size());
    const BatchOutcome got =
        partitioned(axis, other, n, summary, q, p, compute, [&out](std::size_t i, R value) { out[i] = value; });
    compare(c, "partitioned", want, got, out);
}

// Whole header: type and direction are decided by the caller.
struct Header {
    Routes routes;  // of the engine route (and, chunk scaled up, the long batch)
    Method method;
    unsigned size_class;
    bool lazy_pieces;
    unsigned xcode, fcode, qcode;
    Pieces pieces;
    bool long_batch;  // also the batch repeated past the first poll
    bool interrupt;   // ... whose poll then asks to stop
    bool ladder;      // the pieces on the complete table search through a ladder
};

// A batch of poll_interval + p queries repeating the p of `pattern`, so
// that the driver polls once and, unless told to stop there, goes on past
// the poll.  It takes no memory, and the reference needs only the
// pattern's answers: the answer of a query depends on its key alone.
template <class K>
struct Repeated {
    StridedView<K> pattern;
    std::size_t size() const noexcept { return poll_interval + pattern.size(); }
    K operator[](std::size_t i) const noexcept { return pattern[i % pattern.size()]; }
};

// The routes of the long batch: the engine's own when the header keeps the
// partitioning threshold, else the lowered ones in chunks of 4,096 to
// 32,768 queries (a chunk of 16 would make a million calls).
Routes long_routes(const Header& h) {
    if (h.routes.partition_from != 0) return Routes{};
    Routes r = h.routes;
    r.chunk <<= 8;
    return r;
}

// The long batch on a table from views (the route whose filling the poll
// concerns): at the poll the copies must be complete, and the outcome is
// the pattern's first failure, else Interrupted at the poll or Ok.
template <class X, class F, class R, class Batch>
void long_batch(const Case& c, const Header& h, StridedView<X> xv, StridedView<F> fv, const Interp<X, F>& reference,
                const Expected<R>& want, Batch&& batch) {
    using Table = Interp<X, F>;
    std::optional<Table> lazy;
    if (Table::from_views(xv, fv, lazy) != Table::Build::Ok) std::abort();
    const std::size_t p = want.values.size();
    const std::size_t m = poll_interval + p;
    std::vector<R> out(m);
    std::size_t polls = 0;
    auto poll = [&] {
        ++polls;
        if (lazy->filled() != lazy->size()) mismatch(c, "long", "table incomplete at the poll", 0, lazy->size(), lazy->filled());
        return !h.interrupt;
    };
    const BatchOutcome got = batch(*lazy, out.data(), poll);
    const bool fails = want.outcome.status != Status::Ok;
    const BatchOutcome expected = fails ? want.outcome
                                        : h.interrupt ? BatchOutcome{poll_interval, Status::Interrupted}
                                                      : BatchOutcome{m, Status::Ok};
    if (got.status != expected.status) mismatch(c, "long", "status", expected.index, static_cast<u64>(expected.status), static_cast<u64>(got.status));
    if (got.index != expected.index) mismatch(c, "long", "first failing index", 0, expected.index, got.index);
    if (polls != (fails ? 0u : 1u)) mismatch(c, "long", "number of polls", 0, fails ? 0 : 1, polls);
    for (std::size_t i = 0; i < expected.index; ++i) {
        if (bits_of(out[i]) != bits_of(want.values[i % p])) mismatch(c, "long", "value", i, bits_of(want.values[i % p]), bits_of(out[i]));
    }
    expect_complete(c, "long", *lazy, got, reference);
}

template <class F>
void run_forward(const Header& h, Source<F>& src, Reader& in) {
    using Table = Interp<u64, F>;
    const std::vector<u64> keys = decode_queries<u64>(in, src.xs);  // u64 values are their own ordinals
    std::vector<unsigned char> qstore;
    const StridedView<u64> q = lay_out(qstore, keys, layout_of(h.qcode));
    const std::size_t m = q.size();
    const Case c{std::is_same_v<F, double> ? "f64" : "i64", false, Method::Absent, src.xs.size(), m};

    // An empty batch needs no reference table: its answer is the lazy
    // route's alone.
    static Table none{Buffer<u64>(), Buffer<F>()};
    Table& complete = m ? complete_table(src) : none;
    Expected<F> want{std::vector<F>(m), {m, Status::Ok}};
    for (std::size_t i = 0; i < m; ++i) {
        const Lookup<F> r = complete.forward(q[i]);
        if (r.status != Status::Ok) {
            want.outcome = {i, r.status};
            break;
        }
        want.values[i] = r.value;
    }
    describe(c, want.outcome, q.stride);
    const auto never = [] { return true; };
    std::vector<F> out(m);
    {
        std::optional<Table> lazy;
        if (Table::from_views(src.xv, src.fv, lazy) != Table::Build::Ok) std::abort();
        const BatchOutcome got = forward_batch(*lazy, q, out.data(), never);
        compare(c, "lazy", want, got, out);
        expect_complete(c, "lazy", *lazy, got, complete);
    }
    if (m == 0) return;
    std::fill(out.begin(), out.end(), F{});
    compare(c, "complete", want, forward_batch(complete, q, out.data(), never), out);
    {
        std::optional<Table> lazy;
        if (Table::from_views(src.xv, src.fv, lazy, Table::Checks::Coordinates) != Table::Build::Ok) std::abort();
        std::fill(out.begin(), out.end(), F{});
        const BatchOutcome got = forward_batch(*lazy, q, out.data(), never, h.routes);
        compare(c, "engine", want, got, out);
        expect_complete(c, "engine", *lazy, got, complete, false);
    }

    const auto answer_on = [&out](Table& t) {
        return [&out, &t](std::size_t i, u64 x, std::size_t lb) {
            const Lookup<F> r = t.forward_at(x, lb);
            out[i] = r.value;
            return r.status;
        };
    };
    const Status empty = src.xs.empty() ? Status::OutOfBounds : Status::Ok;
    Summary<u64> summary(complete.size());
    summary.build(complete.coordinates(), complete.size());
    if (h.ladder && complete.xp_strictly_increasing()) summary.build_ladder(complete.coordinates(), complete.size(), 0);
    std::fill(out.begin(), out.end(), F{});
    compare(c, "pieces", want,
            drive_in_pieces(complete, complete.coordinates(), complete.xp_strictly_increasing(), q, summary, false,
                            h.pieces, empty, answer_on(complete)),
            out);
    if (summary.built() && complete.xp_strictly_increasing()) {
        check_partitioned(c, complete.coordinates(), complete.values(), complete.size(), summary, q, want,
                          [&complete](u64 x, std::size_t lb) { return complete.forward_at(x, lb); });
    }
    if (h.lazy_pieces) {
        std::optional<Table> lazy;
        if (Table::from_views(src.xv, src.fv, lazy) != Table::Build::Ok) std::abort();
        Summary<u64> summary(lazy->size());
        std::fill(out.begin(), out.end(), F{});
        const BatchOutcome got = drive_in_pieces(*lazy, lazy->coordinates(), lazy->xp_strictly_increasing(), q,
                                                 summary, true, h.pieces, empty, answer_on(*lazy));
        compare(c, "lazy-pieces", want, got, out);
        expect_complete(c, "lazy-pieces", *lazy, got, complete);
    }
    if (h.long_batch) {
        long_batch<u64, F, F>(c, h, src.xv, src.fv, complete, want, [&q, &h](Table& t, F* result, auto& poll) {
            return forward_batch(t, Repeated<u64>{q}, result, poll, long_routes(h));
        });
    }
}

template <class F>
void run_inverse(const Header& h, Source<F>& src, Reader& in) {
    using Table = Interp<u64, F>;
    const std::vector<F> keys = decode_queries<F>(in, src.fords);
    std::vector<unsigned char> qstore;
    const StridedView<F> q = lay_out(qstore, keys, layout_of(h.qcode));
    const std::size_t m = q.size();
    const Method method = h.method;
    const Case c{std::is_same_v<F, double> ? "f64" : "i64", true, method, src.xs.size(), m};

    static Table none{Buffer<u64>(), Buffer<F>()};
    Table& complete = m ? complete_table(src) : none;
    Expected<u64> want{std::vector<u64>(m), {m, Status::Ok}};
    for (std::size_t i = 0; i < m; ++i) {
        const Lookup<u64> r = complete.inverse(q[i], method);
        if (r.status != Status::Ok) {
            want.outcome = {i, r.status};
            break;
        }
        want.values[i] = r.value;
    }
    describe(c, want.outcome, q.stride);
    const auto never = [] { return true; };
    std::vector<u64> out(m);
    {
        std::optional<Table> lazy;
        if (Table::from_views(src.xv, src.fv, lazy) != Table::Build::Ok) std::abort();
        const BatchOutcome got = inverse_batch(*lazy, q, method, out.data(), never);
        compare(c, "lazy", want, got, out);
        expect_complete(c, "lazy", *lazy, got, complete);
    }
    if (m == 0) return;
    std::fill(out.begin(), out.end(), u64{0});
    compare(c, "complete", want, inverse_batch(complete, q, method, out.data(), never), out);
    {
        std::optional<Table> lazy;
        if (Table::from_views(src.xv, src.fv, lazy, Table::Checks::Values) != Table::Build::Ok) std::abort();
        std::fill(out.begin(), out.end(), u64{0});
        const BatchOutcome got = inverse_batch(*lazy, q, method, out.data(), never, h.routes);
        compare(c, "engine", want, got, out);
        expect_complete(c, "engine", *lazy, got, complete, false);
    }

    const auto answer_on = [&out, method](Table& t) {
        return [&out, &t, method](std::size_t i, F f, std::size_t lb) {
            if (Order<F>::is_nan(f)) return Status::NanOrInf;
            const Lookup<u64> r = t.inverse_at(f, lb, method);
            out[i] = r.value;
            return r.status;
        };
    };
    Summary<F> summary(complete.size());
    summary.build(complete.values(), complete.size());
    if (h.ladder && complete.fp_strictly_increasing()) summary.build_ladder(complete.values(), complete.size(), 0);
    std::fill(out.begin(), out.end(), u64{0});
    compare(c, "pieces", want,
            drive_in_pieces(complete, complete.values(), complete.fp_strictly_increasing(), q, summary, false,
                            h.pieces, inverse_precheck(complete), answer_on(complete)),
            out);
    if (summary.built() && complete.fp_strictly_increasing()) {
        check_partitioned(c, complete.values(), complete.coordinates(), complete.size(), summary, q, want,
                          [&complete, method](F f, std::size_t lb) {
                              if (Order<F>::is_nan(f)) return fail<u64>(Status::NanOrInf);
                              return complete.inverse_at(f, lb, method);
                          });
    }
    if (h.lazy_pieces) {
        std::optional<Table> lazy;
        if (Table::from_views(src.xv, src.fv, lazy) != Table::Build::Ok) std::abort();
        Summary<F> summary(lazy->size());
        std::fill(out.begin(), out.end(), u64{0});
        const Status pre = m ? inverse_precheck(*lazy) : Status::Ok;
        const BatchOutcome got = drive_in_pieces(*lazy, lazy->values(), lazy->fp_strictly_increasing(), q, summary,
                                                 true, h.pieces, pre, answer_on(*lazy));
        compare(c, "lazy-pieces", want, got, out);
        expect_complete(c, "lazy-pieces", *lazy, got, complete);
    }
    if (h.long_batch) {
        long_batch<u64, F, u64>(c, h, src.xv, src.fv, complete, want,
                                [&q, &h, method](Table& t, u64* result, auto& poll) {
                                    return inverse_batch(t, Repeated<F>{q}, method, result, poll, long_routes(h));
                                });
    }
}

template <class F>
void run(const Header& h, bool inverse, Reader& in) {
    Source<F>& src = decode_table<F>(in, h.size_class, h.xcode, h.fcode);
    // The float path runs under the environment the module sets.
    std::optional<FloatEnvironment> env;
    if constexpr (std::is_same_v<F, double>) env.emplace();
    if (inverse) {
        run_inverse<F>(h, src, in);
    } else {
        run_forward<F>(h, src, in);
    }
}

}  // namespace

// Header bytes:
//   0  bit 0 f64 values (else i64), bit 1 inverse, bits 2-3 method,
//      bits 4-6 table: 0-5 written out, 6-7 generated (its first byte
//      picks the size); bit 7 the lazy-pieces route
//   1  bits 0-2 layout of xp, bits 3-5 of fp (see layout_of)
//   2  bits 0-2 layout of the queries; bits 3-5 all set: the long batch
//      too, bit 6 whose poll asks to stop; bit 7 the pieces on the
//      complete table through a ladder, whatever its size
//   3  piece lengths: 1 + byte % 40 and 1 + next byte (4); the engine
//      route's chunk 16 << (bits 6-7 of 3); byte 4 bit 0 keeps the
//      partitioning threshold of tables (else every table with a summary
//      partitions), bits 1-2 both set partition only chunks of at least
//      the summary's size (else any), bit 3 keeps the streaming threshold
//      (else every table streams)
// then the table, then the query ops.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::uint8_t h0 = in.byte(), h1 = in.byte(), h2 = in.byte();
    Header h{};
    h.method = static_cast<Method>((h0 >> 2) & 3);
    h.size_class = (h0 >> 4) & 7;
    h.lazy_pieces = (h0 & 0x80) != 0;
    h.xcode = h1 & 7;
    h.fcode = (h1 >> 3) & 7;
    h.qcode = h2 & 7;
    h.long_batch = (h2 & 0x38) == 0x38;
    h.interrupt = (h2 & 0x40) != 0;
    h.ladder = (h2 & 0x80) != 0;
    const std::uint8_t h3 = in.byte(), h4 = in.byte();
    h.pieces.a = 1 + h3 % 40;
    h.pieces.b = 1 + std::size_t{h4};
    h.routes.chunk = std::size_t{16} << (h3 >> 6);
    h.routes.partition_from = (h4 & 1) ? h.routes.partition_from : 0;
    h.routes.partition_per_block = (h4 & 6) == 6 ? 1 : 0;
    h.routes.stream_from = (h4 & 8) ? h.routes.stream_from : 0;
    if (h0 & 1) {
        run<double>(h, (h0 & 2) != 0, in);
    } else {
        run<i64>(h, (h0 & 2) != 0, in);
    }
    return 0;
}
