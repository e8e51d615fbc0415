// A prepared table: an Interp that is complete from the start, with the
// summaries of its increasing axes made once, answering batches of queries
// read from the caller's memory in any element type, on one thread or
// split across several.
//
// Whatever the split, the outcome is that of evaluating the queries one at
// a time in index order: every answer as Interp::forward/inverse gives it,
// and, when some query fails, the first one (converting a query comes
// before looking it up).  Nothing here touches the interpreter: the caller
// may run it without the GIL, and polls for signals through a callback.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

#include "arrays.hpp"
#include "batch.hpp"
#include "convert.hpp"
#include "extended.hpp"
#include "method.hpp"
#include "piecewise.hpp"
#include "schemes.hpp"

namespace quorvane {

// Element types a batch of queries may arrive in.  A time count
// (datetime64/timedelta64) arrives as I64 with QuerySource::time set.
enum class Elem : std::uint8_t { U8, U16, U32, U64, I8, I16, I32, I64, F32, F64 };

// A batch of queries where the caller's memory holds it: query i is read at
// data + i * stride (any stride), and is not evaluated when a mask is given
// and its byte at mask + i * mask_stride is nonzero.
struct QuerySource {
    const char* data = nullptr;
    std::ptrdiff_t stride = 0;
    std::size_t size = 0;
    Elem elem = Elem::U64;
    bool time = false;  // NaT is refused, then the count is rescaled
    Rescale rescale{};
    const char* mask = nullptr;
    std::ptrdiff_t mask_stride = 0;
};

// The outcome of a prepared batch: nothing failed, or the first query (by
// index) that did and how: a lookup status, or a refusal of its element.
// no_memory: a buffer the batch needed could not be had (index unused).
struct Verdict {
    std::size_t index = std::numeric_limits<std::size_t>::max();
    Status status = Status::Ok;
    Refusal refusal = Refusal::None;
    bool no_memory = false;

    bool failed() const noexcept { return status != Status::Ok || refusal != Refusal::None || no_memory; }
};

// Faults to inject, for tests of the parallel path: each positive count
// makes that many of the next thread starts (or worker buffers) fail.
struct Faults {
    std::atomic<int> thread_starts{0};
    std::atomic<int> worker_buffers{0};

    static bool take(std::atomic<int>& count) noexcept {
        int c = count.load(std::memory_order_relaxed);
        while (c > 0) {
            if (count.compare_exchange_weak(c, c - 1, std::memory_order_relaxed)) return true;
        }
        return false;
    }
};

// How to run a batch.  poll(context) is called by the calling thread about
// every poll_interval queries it has done, never while its float
// environment is in force; false stops the batch (Interrupted).
struct Execution {
    unsigned workers = 1;
    bool (*poll)(void*) = nullptr;
    void* poll_context = nullptr;
    Faults* faults = nullptr;
};

// What to answer for a forward query outside the table.
template <class F>
struct Outside {
    enum class Mode : std::uint8_t { Raise, Clamp, Fill } mode = Mode::Raise;
    F fill{};
};

namespace prepared {

// Queries are answered a chunk at a time by each worker: converted (when
// they are not read in place) into a buffer of keys, then searched as one
// batch through the engine (answer_chunk).
using quorvane::chunk;
using quorvane::partition_from;
// Tables from this size on prefetch both axes at every query's segment
// (beyond the first-level cache): a prepared table's batches are the
// lookups themselves, with no copying to hide the waits behind.
inline constexpr std::size_t stream_from = std::size_t{1} << 12;
inline constexpr Routes routes{chunk, stream_from, partition_from, partition_per_block};
// A batch is split across threads only in pieces of at least this many
// queries: starting a thread costs about as much as answering a few
// thousand queries.
inline constexpr std::size_t min_per_worker = std::size_t{1} << 16;

template <class T>
T read(const char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Whether the source's elements are the keys themselves, read in place.
template <class K>
bool in_place(const QuerySource& src) noexcept {
    if (src.mask != nullptr || src.time) return false;
    if constexpr (std::is_same_v<K, std::uint64_t>) return src.elem == Elem::U64;
    if constexpr (std::is_same_v<K, std::int64_t>) return src.elem == Elem::I64;
    if constexpr (std::is_same_v<K, double>) return src.elem == Elem::F64;
    return false;
}

// The keys of queries [begin, end) that are not masked, converted to K,
// into keys[0, count) (and their indices into positions when masked).
// Stops at the first element that does not convert: refused is then set,
// with its index.
struct Gathered {
    std::size_t count = 0;
    std::size_t refused_at = 0;
    Refusal refusal = Refusal::None;
};

template <class K, class S>
Gathered gather_as(const QuerySource& src, std::size_t begin, std::size_t end, K* keys, std::size_t* positions) noexcept {
    Gathered g;
    const char* p = src.data + static_cast<std::ptrdiff_t>(begin) * src.stride;
    std::size_t i = begin;
    constexpr bool by_comparisons = (std::is_integral_v<S> && std::is_integral_v<K>) ||
                                    (std::is_same_v<K, double> && std::is_floating_point_v<S>);
    if constexpr (by_comparisons) {
        // Without a mask or a change of unit, an integer converts to an
        // integer axis by comparisons alone (refused_bit), and a float to a
        // double always: a block at a time without an early exit, so that
        // the loop vectorises.  (Measured here,
        // Table(xp, fp) from 16,777,216 datetime64[ns] coordinates and
        // float64 values: 67 ms element by element, 35 ms in blocks, about
        // what NumPy's two copies take.)  A block with a refusal in it is
        // left to the loop below, which finds the first one and says why.
        if (src.mask == nullptr && (!src.time || src.rescale.identity())) {
            constexpr std::size_t block = 512;
            const std::uint64_t time = src.time ? 1 : 0;
            const auto convert = [time](const char* q, K* out, std::size_t count, auto stride) noexcept {
                std::uint64_t bad = 0;
                for (std::size_t k = 0; k < count; ++k) {
                    const S v = read<S>(q + static_cast<std::ptrdiff_t>(k) * stride);
                    if constexpr (std::is_integral_v<S>) bad |= refused_bit<K>(v, time);
                    out[k] = static_cast<K>(v);
                }
                return bad;
            };
            constexpr auto packed = std::integral_constant<std::ptrdiff_t, std::ptrdiff_t{sizeof(S)}>{};
            const bool contiguous = src.stride == packed;
            while (i < end) {
                const std::size_t count = std::min(end - i, block);
                const std::uint64_t bad = contiguous ? convert(p, keys + g.count, count, packed)
                                                     : convert(p, keys + g.count, count, src.stride);
                if (bad != 0) break;
                g.count += count;
                i += count;
                p += static_cast<std::ptrdiff_t>(count) * src.stride;
            }
        }
    }
    for (; i < end; ++i, p += src.stride) {
        if (src.mask != nullptr && src.mask[static_cast<std::ptrdiff_t>(i) * src.mask_stride] != 0) continue;
        S v = read<S>(p);
        Refusal why = Refusal::None;
        if constexpr (std::is_same_v<S, std::int64_t>) {
            if (src.time) {
                if (v == not_a_time) {
                    why = Refusal::NotATime;
                } else if (!src.rescale.identity()) {
                    why = rescale(v, src.rescale, v);
                }
            }
        }
        if (why == Refusal::None) why = to_axis<K>(v, keys[g.count]);
        if (why != Refusal::None) {
            g.refused_at = i;
            g.refusal = why;
            return g;
        }
        if (positions != nullptr) positions[g.count] = i;
        ++g.count;
    }
    return g;
}

template <class K>
Gathered gather(const QuerySource& src, std::size_t begin, std::size_t end, K* keys, std::size_t* positions) noexcept {
    switch (src.elem) {
        case Elem::U8: return gather_as<K, std::uint8_t>(src, begin, end, keys, positions);
        case Elem::U16: return gather_as<K, std::uint16_t>(src, begin, end, keys, positions);
        case Elem::U32: return gather_as<K, std::uint32_t>(src, begin, end, keys, positions);
        case Elem::U64: return gather_as<K, std::uint64_t>(src, begin, end, keys, positions);
        case Elem::I8: return gather_as<K, std::int8_t>(src, begin, end, keys, positions);
        case Elem::I16: return gather_as<K, std::int16_t>(src, begin, end, keys, positions);
        case Elem::I32: return gather_as<K, std::int32_t>(src, begin, end, keys, positions);
        case Elem::I64: return gather_as<K, std::int64_t>(src, begin, end, keys, positions);
        case Elem::F32:
            if constexpr (std::is_same_v<K, double>) return gather_as<K, float>(src, begin, end, keys, positions);
            break;
        case Elem::F64:
            if constexpr (std::is_same_v<K, double>) return gather_as<K, double>(src, begin, end, keys, positions);
            break;
    }
    // Float elements for an integer axis are refused by the caller before
    // a batch starts; this is never reached.
    return {0, begin, Refusal::Inexact};
}

// One worker's buffers: the converted keys of a chunk and their positions,
// and the partition of a chunk (made when first needed).
template <class K, class R>
struct WorkerBuffers {
    Buffer<K> keys;
    Buffer<std::size_t> positions;
    Partition<K, R> partition;

    bool make(const QuerySource& src, Faults* faults) noexcept {
        if (faults != nullptr && Faults::take(faults->worker_buffers)) return false;
        if (in_place<K>(src)) return true;
        const std::size_t size = std::min(chunk, std::max<std::size_t>(src.size, 1));
        keys = Buffer<K>::uninitialised(size);
        if (src.mask != nullptr) positions = Buffer<std::size_t>::uninitialised(size);
        return keys.ok() && (src.mask == nullptr || positions.ok());
    }
};

// What the workers share: the index of the first failure found so far (a
// worker stops before a block that starts beyond it), and whether the
// calling thread was interrupted.
struct Shared {
    std::atomic<std::size_t> first{std::numeric_limits<std::size_t>::max()};
    std::atomic<bool> interrupted{false};

    bool stop_before(std::size_t at) const noexcept {
        return interrupted.load(std::memory_order_relaxed) || first.load(std::memory_order_relaxed) < at;
    }
    void failed_at(std::size_t index) noexcept {
        std::size_t seen = first.load(std::memory_order_relaxed);
        while (index < seen && !first.compare_exchange_weak(seen, index, std::memory_order_relaxed)) {
        }
    }
};

// Queries [begin, end) in chunks, in index order: each chunk's keys go to
// answer_keys(keys, positions or nullptr, first index, walk, partition),
// which gives the batch outcome of the chunk (index relative to its keys).
template <class K, class R, class AnswerChunk>
Verdict run_range(const QuerySource& src, std::size_t begin, std::size_t end, WorkerBuffers<K, R>& buffers,
                  Shared& shared, const Execution* polling, AnswerChunk& answer_keys) noexcept {
    Walk<K> walk;
    const bool direct = in_place<K>(src);
    std::size_t next_poll = begin + poll_interval;
    for (std::size_t at = begin; at < end;) {
        if (shared.stop_before(at)) return {};
        const std::size_t stop = std::min(end, at + chunk);
        StridedView<K> keys{};
        const std::size_t* positions = nullptr;
        Gathered g;
        if (direct) {
            keys = {src.data + static_cast<std::ptrdiff_t>(at) * src.stride, static_cast<std::ptrdiff_t>(stop - at),
                    src.stride};
        } else {
            g = gather<K>(src, at, stop, buffers.keys.data(), buffers.positions.data());
            keys = {reinterpret_cast<const char*>(buffers.keys.data()), static_cast<std::ptrdiff_t>(g.count),
                    static_cast<std::ptrdiff_t>(sizeof(K))};
            if (src.mask != nullptr) positions = buffers.positions.data();
        }
        if (keys.size() != 0) {
            const BatchOutcome o = answer_keys(keys, positions, at, walk, buffers.partition);
            if (o.status != Status::Ok) {
                Verdict v;
                v.index = positions != nullptr ? positions[o.index] : at + o.index;
                v.status = o.status;
                shared.failed_at(v.index);
                return v;
            }
        }
        if (g.refusal != Refusal::None) {
            Verdict v;
            v.index = g.refused_at;
            v.refusal = g.refusal;
            shared.failed_at(v.index);
            return v;
        }
        at = stop;
        if (polling != nullptr && at >= next_poll && at < end) {
            next_poll += poll_interval;
            if (!polling->poll(polling->poll_context)) {
                shared.interrupted.store(true, std::memory_order_relaxed);
                Verdict v;
                v.index = at;
                v.status = Status::Interrupted;
                return v;
            }
        }
    }
    return {};
}

// How many threads a batch of m queries is split across.
inline unsigned split_for(std::size_t m, unsigned workers) noexcept {
    const std::size_t most = std::max<std::size_t>(1, m / min_per_worker);
    return static_cast<unsigned>(std::min<std::size_t>(std::max(workers, 1u), most));
}

// The whole batch: split into contiguous ranges, one per worker, the first
// on the calling thread.  A worker whose buffers cannot be had is not used
// (the batch is split across fewer); a thread that cannot be started leaves
// its range to the calling thread.  Either way the verdict is the same.
template <class K, class R, class AnswerChunk>
Verdict run(const QuerySource& src, const Execution& exec, AnswerChunk& answer_keys) noexcept {
    constexpr unsigned most_workers = 64;
    const Execution* polling = exec.poll != nullptr ? &exec : nullptr;
    Verdict no_memory;
    no_memory.no_memory = true;
    unsigned w = std::min(split_for(src.size, exec.workers), most_workers);
    if (w == 1) {
        WorkerBuffers<K, R> buffers;
        if (!buffers.make(src, exec.faults)) return no_memory;
        Shared shared;
        return run_range<K, R>(src, 0, src.size, buffers, shared, polling, answer_keys);
    }
    // The calling thread's buffers last: without them there is no batch,
    // without another worker's the batch is split across fewer.
    WorkerBuffers<K, R> buffers[most_workers];
    for (unsigned k = w - 1; k >= 1; --k) {
        if (!buffers[k].make(src, exec.faults)) w = k;
    }
    if (!buffers[0].make(src, exec.faults)) return no_memory;
    Shared shared;
    Verdict verdicts[most_workers];
    const auto range = [&](unsigned k) { return std::pair{src.size * k / w, src.size * (k + 1) / w}; };
    std::optional<std::thread> threads[most_workers];
    for (unsigned k = 1; k < w; ++k) {
        if (exec.faults != nullptr && Faults::take(exec.faults->thread_starts)) continue;
        try {
            threads[k].emplace([&, k] {
                const auto [b, e] = range(k);
                verdicts[k] = run_range<K, R>(src, b, e, buffers[k], shared, nullptr, answer_keys);
            });
        } catch (...) {  // std::system_error: the range is done here instead
        }
    }
    for (unsigned k = 0; k < w; ++k) {
        if (k == 0 || !threads[k]) {
            const auto [b, e] = range(k);
            verdicts[k] = run_range<K, R>(src, b, e, buffers[0], shared, polling, answer_keys);
        }
    }
    for (unsigned k = 1; k < w; ++k) {
        if (threads[k]) threads[k]->join();
    }
    // An interruption stops everything; otherwise the first failure by index.
    Verdict first;
    for (unsigned k = 0; k < w; ++k) {
        if (verdicts[k].status == Status::Interrupted) return verdicts[k];
        if (verdicts[k].failed() && verdicts[k].index < first.index) first = verdicts[k];
    }
    return first;
}

// The answers of a chunk's queries through the engine: query i's answer
// goes to out[i], or to out[positions[i]] when positions are given (masked
// queries left out).  Two instantiations, so that the common one has no
// branch per query.
template <class X, class F, class K, class V, class R, class Compute>
BatchOutcome search_chunk(Interp<X, F>& table, const K* axis, const V* other, const bool& increasing,
                          Summary<K>& summary, const StridedView<K>& keys, Walk<K>& walk,
                          Partition<K, R>& partition, R* out, const std::size_t* positions,
                          Compute&& compute) noexcept {
    if (positions == nullptr) {
        return answer_chunk(table, axis, other, increasing, summary, false, keys, walk, partition, routes, compute,
                            [out](std::size_t i, R value) noexcept { out[i] = value; });
    }
    return answer_chunk(table, axis, other, increasing, summary, false, keys, walk, partition, routes, compute,
                        [out, positions](std::size_t i, R value) noexcept { out[positions[i]] = value; });
}

}  // namespace prepared

// ---------------------------------------------------------------------------
// Prepared<F>: the table over u64 coordinates and F values, complete, with
// the summaries of its strictly increasing axes (large tables only).  Read
// only once made, so any number of threads may query it at once.
// ---------------------------------------------------------------------------
template <class F>
class Prepared {
public:
    using X = std::uint64_t;

    explicit Prepared(Interp<X, F> table) noexcept
        : table_(std::move(table)), xsummary_(table_.size()), fsummary_(table_.size()) {
        table_.complete();
        // Without the memory for a summary, lockstep searches serve.
        if (table_.xp_strictly_increasing()) xsummary_.build(table_.coordinates(), table_.size());
        if (table_.fp_strictly_increasing()) fsummary_.build(table_.values(), table_.size());
    }

    const Interp<X, F>& table() const noexcept { return table_; }

    // Makes the ladders of the increasing axes now, on tables of `from`
    // entries or more (batches make them once they pay).
    void prepare_ladders(std::size_t from = Ladder<X>::from) const noexcept {
        if (table_.xp_strictly_increasing()) xsummary_.build_ladder(table_.coordinates(), table_.size(), from);
        if (table_.fp_strictly_increasing()) fsummary_.build_ladder(table_.values(), table_.size(), from);
    }
    std::size_t summary_bytes() const noexcept {
        return xsummary_.bytes() + fsummary_.bytes();
    }

    // -----------------------------------------------------------------------
    // forward: out[i] = the value at query i, for every query that is not
    // masked, in index order; a query outside the table raises, clamps to
    // the first or last sample's value, or takes the fill value.
    // -----------------------------------------------------------------------
    Verdict forward(const QuerySource& src, Outside<F> outside, F* out, const Execution& exec) const noexcept {
        Interp<X, F>& t = const_cast<Interp<X, F>&>(table_);  // complete: the driver never writes it
        const std::size_t n = t.size();
        if (t.xp_strictly_increasing()) xsummary_.asked(t.coordinates(), n, src.size);
        const F* fp = t.values();
        auto answer_keys = [&](const StridedView<X>& keys, const std::size_t* positions, std::size_t first,
                                Walk<X>& walk, Partition<X, F>& partition) noexcept -> BatchOutcome {
            const auto place = [&](std::size_t i) { return positions != nullptr ? positions[i] : first + i; };
            if (n == 0) {
                if (outside.mode != Outside<F>::Mode::Fill) return {0, Status::OutOfBounds};
                for (std::size_t i = 0; i < keys.size(); ++i) out[place(i)] = outside.fill;
                return {keys.size(), Status::Ok};
            }
            FloatPathScope<F> environment;
            return prepared::search_chunk(t, t.coordinates(), fp, t.xp_strictly_increasing(), xsummary_, keys, walk,
                                          partition, positions != nullptr ? out : out + first, positions,
                                          [&](X x, std::size_t lb) noexcept {
                                              Lookup<F> r = t.forward_at(x, lb);
                                              if (r.status == Status::OutOfBounds &&
                                                  outside.mode != Outside<F>::Mode::Raise) {
                                                  r = ok(outside.mode == Outside<F>::Mode::Fill
                                                             ? outside.fill
                                                             : fp[lb == 0 ? 0 : n - 1]);
                                              }
                                              return r;
                                          });
        };
        return prepared::run<X, F>(src, exec, answer_keys);
    }

    // -----------------------------------------------------------------------
    // inverse: out[i] = the coordinate of query i under the method.
    // -----------------------------------------------------------------------
    Verdict inverse(const QuerySource& src, Method method, X* out, const Execution& exec) const noexcept {
        Interp<X, F>& t = const_cast<Interp<X, F>&>(table_);
        if (t.fp_strictly_increasing()) fsummary_.asked(t.values(), t.size(), src.size);
        const Status before = inverse_precheck(t);
        auto answer_keys = [&](const StridedView<F>& keys, const std::size_t* positions, std::size_t first,
                                Walk<F>& walk, Partition<F, X>& partition) noexcept -> BatchOutcome {
            if (before != Status::Ok) return {0, before};
            FloatPathScope<F> environment;
            return prepared::search_chunk(t, t.values(), t.coordinates(), t.fp_strictly_increasing(), fsummary_, keys,
                                          walk, partition, positions != nullptr ? out : out + first, positions,
                                          [&](F f, std::size_t lb) noexcept {
                                              if (Order<F>::is_nan(f)) return fail<X>(Status::NanOrInf);
                                              return t.inverse_at(f, lb, method);
                                          });
        };
        return prepared::run<F, X>(src, exec, answer_keys);
    }

private:
    Interp<X, F> table_;
    mutable Summary<X> xsummary_;  // built in the constructor, read only after (its ladder: see Summary)
    mutable Summary<F> fsummary_;
};

}  // namespace quorvane
