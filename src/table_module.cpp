// The extension module `quorvane._table`: the prepared table `Table` and the
// exception classes it raises (exported by the package as quorvane.Table,
// quorvane.Error, ...).
//
// A Table copies and checks its samples once and then answers queries of
// any shape and of any element type that converts exactly, with or without
// a mask, returning results of the answering axis's dtype (datetime64 and
// timedelta64 axes keep their unit).  While a batch is evaluated the GIL is
// released, and with workers > 1 the batch is split across threads; the
// outcome is always that of one query at a time in index order.
//
// This file holds the Table object and its methods (their docstrings are
// table_docs.hpp's).  Reading what callers pass is reading.hpp's, with
// input.hpp (the readable form and its messages), objects.hpp (Python
// objects), time_axis.hpp (units and time scalars), arrow.hpp (Arrow
// columns), containers.hpp (pandas, polars, pyarrow in and out), samples.hpp
// (a new table's axes) and options.hpp (the methods' options); handing
// answers back is results.hpp's; the messages and exception classes all of
// them raise are table_common.hpp's.
//
// Hand-written binding on the CPython C API (which PyPy's cpyext also
// provides); no C++ exception crosses into Python: nothing below throws.

#include "table_common.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "arrays.hpp"
#include "batch.hpp"
#include "containers.hpp"
#include "convert.hpp"
#include "digest.hpp"
#include "extended.hpp"
#include "method.hpp"
#include "piecewise.hpp"
#include "options.hpp"
#include "prepared.hpp"
#include "reading.hpp"
#include "restore.hpp"
#include "results.hpp"
#include "samples.hpp"
#include "schemes.hpp"
#include "schemes_float.hpp"
#include "schemes_int.hpp"
#include "table_docs.hpp"
#include "time_axis.hpp"

namespace quorvane::table {
namespace {

// ---------------------------------------------------------------------------
// The Table object.
// ---------------------------------------------------------------------------
struct TableObject {
    PyObject_HEAD
    Axis x;
    Axis f;
    Prepared<i64>* ints;     // exactly one of the two
    Prepared<double>* floats;
    std::size_t tracked;     // bytes reported to the interpreter
    PyObject* weakrefs;      // the weak references to the table (a cache of what was sent where)
    PyObject* token;         // __dask_tokenize__'s answer, made by its first call
    PyObject* owner;         // what holds the samples of a table that reads them in place (Adopted)
};

TableObject* as_table(PyObject* self) noexcept { return reinterpret_cast<TableObject*>(self); }

template <class F>
Prepared<F>* prepared_of(TableObject* t) noexcept {
    if constexpr (std::is_same_v<F, double>) {
        return t->floats;
    } else {
        return t->ints;
    }
}

// What the table reports to the interpreter (tracemalloc, sys.getsizeof):
// its samples (adopted ones are the interpreter's memory already), its
// summaries, and the ladders that batches make later, counted from the
// first call that sees them.  With the GIL held.
template <class F>
void account(TableObject* t, const Prepared<F>* p) noexcept {
    const std::size_t samples = p->table().size() * (sizeof(u64) + sizeof(F));
    const std::size_t now = sizeof(Prepared<F>) + samples + p->summary_bytes();
    if (now == t->tracked) return;
    const std::size_t theirs = t->owner != nullptr ? samples : 0;  // not traced as the table's
    const std::size_t traced = t->tracked == 0 ? 0 : t->tracked - theirs;
    t->tracked = now;
    host::track(p, now - theirs, now - theirs - traced);
}

// The first descent of an axis of n >= 2 elements whose flag says it has
// one: k >= 1 with !(a[k-1] < a[k]); never beyond the last pair, so that
// no message reads past the axis even if the flag and this walk disagreed.
template <class T>
std::size_t first_descent(const T* a, std::size_t n) noexcept {
    for (std::size_t k = 1; k < n; ++k) {
        if (!Order<T>::less(a[k - 1], a[k])) return k;
    }
    return n - 1;
}

// A lookup failure of query `index` as an error; K is the searched axis's
// type, so the forward direction has K = u64.
template <class F, bool inverse>
PyObject* raise_lookup(TableObject* t, const Input& in, const char* name, std::size_t index, Status status,
                            Method method) noexcept {
    // The searches and comparisons below find again what the query found,
    // and the samples are shown, under the environment the query ran in:
    // a caller's DAZ would make subnormals compare and print as zero.
    FloatPathScope<F> environment;
    const Interp<u64, F>& table = prepared_of<F>(t)->table();
    const std::size_t n = table.size();
    const u64* xp = table.coordinates();
    const F* fp = table.values();
    const Axis& searched = inverse ? t->f : t->x;
    Ref where = shown_index(in, name, index);
    Ref value = shown_element(in, index);
    if (!where || !value) return nullptr;
    const auto at = [&](std::size_t k) { return inverse ? shown_value(t->f, fp[k]) : shown_value(t->x, xp[k]); };
    switch (status) {
        case Status::Ok:
        case Status::Interrupted: return nullptr;
        case Status::OutOfBounds: {
            if (n == 0) return fail(out_of_bounds_type, msg::outside_empty, where.get(), value.get());
            Ref lo = at(0), hi = at(n - 1);
            if (!lo || !hi) return nullptr;
            const char* format = msg::outside_table;
            if (inverse && method == Method::Ffill) format = msg::clamps_only_above;
            if (inverse && method == Method::Bfill) format = msg::clamps_only_below;
            return fail(out_of_bounds_type, format, where.get(), value.get(), lo.get(), hi.get());
        }
        case Status::NotFound: {
            // Only inverse queries strictly inside a segment get here.
            const std::size_t lb = locate(fp, n, query_key<F>(in, index)).index;
            Ref lo = at(lb - 1), hi = at(lb);
            if (!lo || !hi) return nullptr;
            return fail(not_found_type, msg::not_found, where.get(), value.get(), static_cast<Py_ssize_t>(lb - 1),
                        lo.get(), static_cast<Py_ssize_t>(lb), hi.get());
        }
        case Status::NotStrictlyIncreasing: {
            const std::size_t k = inverse ? first_descent(fp, n) : first_descent(xp, n);
            Ref before = at(k - 1), after = at(k);
            if (!before || !after) return nullptr;
            return fail(not_increasing_type, msg::not_increasing, searched.name, inverse ? "inverse" : "forward",
                        searched.name, static_cast<Py_ssize_t>(k), after.get(), searched.name,
                        static_cast<Py_ssize_t>(k - 1), before.get());
        }
        case Status::NanOrInf:
            if (n == 1) return fail(non_finite_type, msg::nan_sample, where.get(), value.get());
            return fail(non_finite_type, msg::not_a_number, where.get(), value.get());
        case Status::NotFinite: {
            // The segment the query fell in, found again by the reference
            // search; one of its two samples is not finite.
            const std::size_t lb = inverse ? locate(fp, n, query_key<F>(in, index)).index
                                           : locate(xp, n, query_key<u64>(in, index)).index;
            const std::size_t bad = binary64::is_finite(static_cast<double>(fp[lb - 1])) ? lb : lb - 1;
            Ref lo = at(lb - 1), hi = at(lb), sample = shown_value(t->f, fp[bad]);
            if (!lo || !hi || !sample) return nullptr;
            return fail(non_finite_type, msg::not_finite, where.get(), value.get(), searched.name,
                        static_cast<Py_ssize_t>(lb - 1), lo.get(), searched.name, static_cast<Py_ssize_t>(lb),
                        hi.get(), static_cast<Py_ssize_t>(bad), sample.get());
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Argument binding of the methods: positional parameters first, then
// keyword-only ones, with the interpreter's own messages.
// ---------------------------------------------------------------------------
struct Signature {
    const char* full_name;  // "forward()"
    const char* params[3];
    int count;
    int positional;  // how many may come by position
};

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) noexcept {
    if (nargs > sig.positional) {
        fail(invalid_type_type, msg::too_many_positional, sig.full_name, sig.positional, sig.positional == 1 ? "" : "s",
             nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    if (!host::bind_keywords(sig.full_name, sig.params, sig.count, args, nargs, kwnames, bound, invalid_type_type)) {
        return false;
    }
    if (bound[0] == nullptr) {
        fail(invalid_type_type, msg::missing, sig.full_name, sig.params[0]);
        return false;
    }
    return true;
}

const Signature forward_signature = {"forward()", {"x", "outside", "workers"}, 3, 1};
const Signature inverse_signature = {"inverse()", {"f", "method", "workers"}, 3, 2};

// ---------------------------------------------------------------------------
// Evaluation: the batch runs without the GIL once it is large enough to
// pay for releasing it (release_from), polling for signals about every
// 2^20 queries.
// ---------------------------------------------------------------------------

struct Polling {
    PyThreadState* state;
};

bool poll_signals(void* context) noexcept {
    auto* p = static_cast<Polling*>(context);
    PyEval_RestoreThread(p->state);
    const bool go_on = PyErr_CheckSignals() == 0;
    p->state = PyEval_SaveThread();
    return go_on;
}

// run(src, first, exec) answers one part, whose answers start at
// out + first; the parts go in order, up to the first that fails.
template <class Run>
Verdict evaluate(const Input& in, unsigned workers, Run&& run) noexcept {
    Execution exec;
    exec.workers = workers;
    exec.faults = &faults;
    const auto all = [&]() noexcept {
        Verdict v = run(in.whole.src, 0, exec);
        std::size_t since_poll = in.whole.src.size;
        for (const Part& part : in.rest) {
            if (v.failed()) break;
            if (exec.poll != nullptr && since_poll >= poll_interval) {  // between parts too
                since_poll = 0;
                if (!exec.poll(exec.poll_context)) return v.status = Status::Interrupted, v;
            }
            v = run(part.src, part.begin, exec);
            if (v.failed() && !v.no_memory) v.index += part.begin;
            since_poll += part.src.size;
        }
        return v;
    };
    if (in.size() < release_from && workers <= 1) return all();
    Polling polling{nullptr};
    exec.poll = poll_signals;
    exec.poll_context = &polling;
    polling.state = PyEval_SaveThread();
    const Verdict v = all();
    PyEval_RestoreThread(polling.state);
    return v;
}

// What a verdict means for the caller: nullptr and an exception, or the
// answer.
template <class F, bool inverse>
PyObject* conclude(TableObject* t, const Input& in, const char* name, const Verdict& v, Method method, Ref result,
                   PyArray_Descr* descr, const void* scalar_storage) noexcept {
    const Axis& axis = inverse ? t->f : t->x;
    if (v.no_memory) return PyErr_NoMemory();
    if (v.status == Status::Interrupted) return nullptr;  // the handler's exception is set
    if constexpr (inverse && std::is_same_v<F, double>) {
        // A time axis holds counts up to 2^63 - 1; the float scheme may
        // round a coordinate near its end up to 2^63, which a time count
        // cannot be (it would read as NaT).  Among the queries answered
        // before the first failure, the first such one fails.  (The integer
        // scheme is exact: its coordinates never leave their segment.)
        if (t->x.time != TimeKind::None) {
            const auto* out = static_cast<const u64*>(
                result ? PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())) : scalar_storage);
            const std::size_t answered = v.failed() ? v.index : in.cut_short() ? in.refused_at : in.size();
            for (std::size_t i = 0; i < answered && i < in.size(); ++i) {
                if (out[i] >> 63) {
                    Ref where = shown_index(in, name, i), value = shown_element(in, i);
                    Ref unit(PyObject_Str(reinterpret_cast<PyObject*>(t->x.descr)));
                    if (!where || !value || !unit) return nullptr;
                    return fail(invalid_value_type, msg::coordinate_range, where.get(), value.get(), unit.get());
                }
            }
        }
    }
    if (v.refusal != Refusal::None) return raise_refusal(in, name, axis, v.index, v.refusal);
    if (v.status != Status::Ok) return raise_lookup<F, inverse>(t, in, name, v.index, v.status, method);
    if (in.cut_short()) return raise_cut_short(in, name, axis);
    return hand_over(in, std::move(result), descr, scalar_storage);
}

template <class F>
PyObject* forward_impl(TableObject* t, PyObject** bound) noexcept {
    Outside<F> outside;
    unsigned workers = 1;
    if (!parse_outside<F>(t->f, bound[1], outside) || !parse_workers(bound[2], workers)) return nullptr;
    Input in;
    if (!read_input<u64>(bound[0], "x", t->x, std::is_same_v<F, double>, in)) return nullptr;
    Ref result;
    F storage{};
    F* out = nullptr;
    if (!make_result(in, t->f.descr, result, storage, out)) return nullptr;
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(t));  // alive while the GIL is released
    const Prepared<F>* p = prepared_of<F>(t);
    const Verdict v = evaluate(in, workers, [&](const QuerySource& src, std::size_t first, const Execution& exec) {
        return p->forward(src, outside, out + first, exec);
    });
    account(t, p);
    return conclude<F, false>(t, in, "x", v, Method::Absent, std::move(result), t->f.descr, &storage);
}

template <class F>
PyObject* inverse_impl(TableObject* t, PyObject** bound) noexcept {
    Method method = Method::Absent;
    unsigned workers = 1;
    if (!parse_method(bound[1], method) || !parse_workers(bound[2], workers)) return nullptr;
    Input in;
    if (!read_input<F>(bound[0], "f", t->f, std::is_same_v<F, double>, in)) return nullptr;
    Ref result;
    u64 storage = 0;
    u64* out = nullptr;
    if (!make_result(in, t->x.descr, result, storage, out)) return nullptr;
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(t));
    const Prepared<F>* p = prepared_of<F>(t);
    const Verdict v = evaluate(in, workers, [&](const QuerySource& src, std::size_t first, const Execution& exec) {
        return p->inverse(src, method, out + first, exec);
    });
    account(t, p);
    return conclude<F, true>(t, in, "f", v, method, std::move(result), t->x.descr, &storage);
}

PyObject* table_forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* bound[3] = {nullptr, nullptr, nullptr};
    if (!bind(forward_signature, args, nargs, kwnames, bound)) return nullptr;
    if (maybe_in_kind(bound[0])) {
        Ref answer(in_kind(self, "forward", bound[0], "outside", bound[1], bound[2]));
        if (!answer || answer.get() != Py_NotImplemented) return answer.release();
    }
    TableObject* t = as_table(self);
    return t->floats != nullptr ? forward_impl<double>(t, bound) : forward_impl<i64>(t, bound);
}

PyObject* table_inverse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* bound[3] = {nullptr, nullptr, nullptr};
    if (!bind(inverse_signature, args, nargs, kwnames, bound)) return nullptr;
    if (maybe_in_kind(bound[0])) {
        Ref answer(in_kind(self, "inverse", bound[0], "method", bound[1], bound[2]));
        if (!answer || answer.get() != Py_NotImplemented) return answer.release();
    }
    TableObject* t = as_table(self);
    return t->floats != nullptr ? inverse_impl<double>(t, bound) : inverse_impl<i64>(t, bound);
}

// ---------------------------------------------------------------------------
// Construction: Table(xp, fp).
// ---------------------------------------------------------------------------

template <class F>
Prepared<F>* prepare(const Input& xin, const Input& fin, const Axis& x, const Axis& f,
                     const Adopted* adopted) noexcept {
    std::optional<Interp<u64, F>> table;
    const QuerySource& xs = xin.whole.src;
    const QuerySource& fs = fin.whole.src;
    const bool in_place = adopted == nullptr && prepared::in_place<u64>(xs) && prepared::in_place<F>(fs) &&
                          xin.rest.empty() && fin.rest.empty() && !xin.cut_short() && !fin.cut_short();
    Buffer<u64> xb;
    Buffer<F> fb;
    if (adopted == nullptr && !in_place && (!copy_samples(xin, "xp", x, xb) || !copy_samples(fin, "fp", f, fb))) {
        return nullptr;
    }
    // The order checks below compare float samples on the hardware, where
    // a caller's DAZ would make two subnormal samples compare equal and the
    // table not increasing: they run under the float path's environment,
    // as every query does (and no Python code runs inside it).
    FloatPathScope<F> environment;
    if (adopted != nullptr) {
        // Checked as a copy is (the order flags), without the copy.
        const auto n = static_cast<std::size_t>(xin.dims[0]);
        table.emplace(Buffer<u64>::borrowed(static_cast<const u64*>(adopted->x), n),
                      Buffer<F>::borrowed(static_cast<const F*>(adopted->f), n));
    } else if (in_place) {
        // Copied and checked in one pass, as the functions do.
        const StridedView<u64> xv{xs.data, static_cast<std::ptrdiff_t>(xs.size), xs.stride};
        const StridedView<F> fv{fs.data, static_cast<std::ptrdiff_t>(fs.size), fs.stride};
        if (Interp<u64, F>::from_views(xv, fv, table) != Interp<u64, F>::Build::Ok) return PyErr_NoMemory(), nullptr;
    } else {
        table.emplace(std::move(xb), std::move(fb));
    }
    auto* p = new (std::nothrow) Prepared<F>(std::move(*table));
    if (p == nullptr) PyErr_NoMemory();
    return p;
}

void table_dealloc(PyObject* self) noexcept {
    TableObject* t = as_table(self);
    if (t->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    const void* memory = t->ints != nullptr ? static_cast<const void*>(t->ints) : static_cast<const void*>(t->floats);
    host::untrack(memory);
    delete t->ints;
    delete t->floats;
    Py_XDECREF(t->x.descr);
    Py_XDECREF(t->f.descr);
    Py_XDECREF(t->token);
    Py_XDECREF(t->owner);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <class F>
bool fill_table(TableObject* t, const Input& xin, const Input& fin, const Adopted* adopted) noexcept {
    if (adopted != nullptr) {
        t->owner = PyTuple_Pack(2, adopted->x_array, adopted->f_array);
        if (t->owner == nullptr) return false;
    }
    Prepared<F>* p = prepare<F>(xin, fin, t->x, t->f, adopted);
    if (p == nullptr) return false;
    if constexpr (std::is_same_v<F, double>) {
        t->floats = p;
    } else {
        t->ints = p;
    }
    account(t, p);
    return true;
}

// Table(xp, fp, unit=unit), reading the samples in place when `adopted`
// says where.
PyObject* construct(PyTypeObject* type, PyObject* xp_obj, PyObject* fp_obj, PyObject* unit,
                    const Adopted* adopted) noexcept {
    if (!load_numpy()) return nullptr;
    Input xin, fin;
    if (!resolve(xp_obj, "xp", xin) || !resolve(fp_obj, "fp", fin)) return nullptr;
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    TableObject* t = as_table(self.get());
    t->ints = nullptr;
    t->floats = nullptr;
    t->tracked = 0;
    t->weakrefs = nullptr;
    t->token = nullptr;
    t->owner = nullptr;
    t->x = Axis{};
    t->f = Axis{};
    const bool float_values = holds_floats(fin);
    if (!make_axis(xin, "xp", "uint64", result_u64, t->x)) return nullptr;
    if (!make_axis(fin, "fp", float_values ? "float64" : "int64", float_values ? result_f64 : result_i64, t->f)) {
        return nullptr;
    }
    if (!apply_unit(unit, t->x, t->f)) return nullptr;
    if (!read_samples<u64>(xin, "xp", t->x, float_values)) return nullptr;
    const bool read = float_values ? read_samples<double>(fin, "fp", t->f, true)
                                   : read_samples<i64>(fin, "fp", t->f, false);
    if (!read) return nullptr;
    if (xin.dims[0] != fin.dims[0]) {
        return fail(invalid_value_type, msg::lengths, static_cast<Py_ssize_t>(xin.dims[0]),
                    static_cast<Py_ssize_t>(fin.dims[0]));
    }
    if (!(float_values ? fill_table<double>(t, xin, fin, adopted) : fill_table<i64>(t, xin, fin, adopted))) {
        return nullptr;
    }
    return self.release();
}

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static const char* names[] = {"xp", "fp", "unit", nullptr};
    PyObject* xp_obj = nullptr;
    PyObject* fp_obj = nullptr;
    PyObject* unit = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:Table", const_cast<char**>(names), &xp_obj, &fp_obj,
                                     &unit)) {
        // The interpreter's message, as the module's own TypeError.
        PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
        PyErr_Fetch(&t, &v, &tb);
        Ref cause_type(t), cause(v), cause_tb(tb);
        return fail(invalid_type_type, "%S", cause ? cause.get() : Py_None);
    }
    if (type != table_type) {  // PyPy lets a class derive from it all the same
        return fail(invalid_type_type, msg::not_a_base, type->tp_name);
    }
    return construct(type, xp_obj, fp_obj, unit, nullptr);
}

// _restore(xp, fp, xp's dtype, fp's dtype): a pickled table (restore.hpp).
PyObject* table_restore(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 4) return fail(invalid_type_type, msg::restore_args, nargs);
    PyObject* xp = args[0];
    PyObject* fp = args[1];
    if (!load_numpy()) return nullptr;
    Ref xv = storage_view<u64>(xp, args[2], "xp", "uMm", "uint64, datetime64 or timedelta64");
    if (!xv) return nullptr;
    const bool floats = PyArray_DescrCheck(args[3]) && reinterpret_cast<PyArray_Descr*>(args[3])->kind == 'f';
    const char* fkinds = "int64, float64, datetime64 or timedelta64";
    Ref fv = floats ? storage_view<double>(fp, args[3], "fp", "f", fkinds) : storage_view<i64>(fp, args[3], "fp", "iMm", fkinds);
    if (!fv) return nullptr;
    npy_intp nx = -1, nf = -1;
    Adopted adopted{xp, fp};
    const bool in_place = adoptable<u64>(xp, args[2], true, nx) &&
                          (floats ? adoptable<double>(fp, args[3], false, nf) : adoptable<i64>(fp, args[3], false, nf)) &&
                          nx == nf;
    if (in_place) {
        adopted.x = PyArray_DATA(reinterpret_cast<PyArrayObject*>(xp));
        adopted.f = PyArray_DATA(reinterpret_cast<PyArrayObject*>(fp));
    }
    return construct(table_type, xv.get(), fv.get(), nullptr, in_place ? &adopted : nullptr);
}

// ---------------------------------------------------------------------------
// Attributes and protocols.
// ---------------------------------------------------------------------------
std::size_t table_size(TableObject* t) noexcept {
    return t->ints != nullptr ? t->ints->table().size() : t->floats->table().size();
}

Py_ssize_t table_len(PyObject* self) noexcept { return static_cast<Py_ssize_t>(table_size(as_table(self))); }

// A read-only array over the table's own memory, kept alive by the table.
PyObject* axis_array(PyObject* self, const Axis& axis, const void* data) noexcept {
    npy_intp n = static_cast<npy_intp>(table_size(as_table(self)));
    Py_INCREF(axis.descr);  // stolen
    Ref array(PyArray_NewFromDescr(&PyArray_Type, axis.descr, 1, &n, nullptr, const_cast<void*>(data), 0, nullptr));
    if (!array) return nullptr;
    Py_INCREF(self);  // stolen, also on failure
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), self) < 0) return nullptr;
    return array.release();
}

PyObject* table_xp(PyObject* self, void*) noexcept {
    TableObject* t = as_table(self);
    const void* data = t->ints != nullptr ? static_cast<const void*>(t->ints->table().coordinates())
                                          : static_cast<const void*>(t->floats->table().coordinates());
    return axis_array(self, t->x, data);
}

PyObject* table_fp(PyObject* self, void*) noexcept {
    TableObject* t = as_table(self);
    const void* data = t->ints != nullptr ? static_cast<const void*>(t->ints->table().values())
                                          : static_cast<const void*>(t->floats->table().values());
    return axis_array(self, t->f, data);
}

template <class F>
PyObject* repr_of(TableObject* t, const Prepared<F>& p) noexcept {
    const auto& table = p.table();
    const std::size_t n = table.size();
    Ref xname(PyObject_Str(reinterpret_cast<PyObject*>(t->x.descr)));
    Ref fname(PyObject_Str(reinterpret_cast<PyObject*>(t->f.descr)));
    Ref units = answer_units(t->x, t->f);
    if (!xname || !fname || !units) return nullptr;
    if (n == 0) return PyUnicode_FromFormat(msg::repr_empty, xname.get(), fname.get(), units.get());
    Ref xr = axis_range(t->x, table.coordinates(), n);
    Ref fr = axis_range(t->f, table.values(), n);
    if (!xr || !fr) return nullptr;
    return PyUnicode_FromFormat(msg::repr, static_cast<Py_ssize_t>(n), xname.get(), xr.get(), fname.get(), fr.get(),
                                units.get());
}

PyObject* table_repr(PyObject* self) noexcept {
    TableObject* t = as_table(self);
    return t->ints != nullptr ? repr_of(t, *t->ints) : repr_of(t, *t->floats);
}

PyObject* table_reduce(PyObject* self, PyObject*) noexcept {
    TableObject* t = as_table(self);
    Axis x = t->x, f = t->f;  // the storage of both, as arrays
    x.descr = result_u64;
    f.descr = t->floats != nullptr ? result_f64 : result_i64;
    const void* xdata = t->ints != nullptr ? static_cast<const void*>(t->ints->table().coordinates())
                                           : static_cast<const void*>(t->floats->table().coordinates());
    const void* fdata = t->ints != nullptr ? static_cast<const void*>(t->ints->table().values())
                                           : static_cast<const void*>(t->floats->table().values());
    Ref xp(axis_array(self, x, xdata));
    Ref fp(axis_array(self, f, fdata));
    Ref restore(PyObject_GetAttrString(the_module, "_restore"));
    if (!xp || !fp || !restore) return nullptr;
    return Py_BuildValue("(O(OOOO))", restore.get(), xp.get(), fp.get(), reinterpret_cast<PyObject*>(t->x.descr),
                         reinterpret_cast<PyObject*>(t->f.descr));
}

// __dask_tokenize__, made by the first call (restore.hpp) and kept: the
// table never changes.
template <class F>
PyObject* make_token(PyObject* self, const Prepared<F>& p) noexcept {
    TableObject* t = as_table(self);
    Ref token = content_token(t->x, t->f, p.table().coordinates(), p.table().values(), p.table().size());
    if (!token) return nullptr;
    if (t->token == nullptr) t->token = token.release();  // else another thread's, made meanwhile
    Py_INCREF(t->token);
    return t->token;
}

PyObject* table_tokenize(PyObject* self, PyObject*) noexcept {
    TableObject* t = as_table(self);
    if (t->token != nullptr) {
        Py_INCREF(t->token);
        return t->token;
    }
    return t->ints != nullptr ? make_token(self, *t->ints) : make_token(self, *t->floats);
}

PyObject* table_copy(PyObject* self, PyObject*) noexcept {
    Py_INCREF(self);
    return self;
}

PyObject* table_sizeof(PyObject* self, PyObject*) noexcept {
    return PyLong_FromSize_t(static_cast<std::size_t>(Py_TYPE(self)->tp_basicsize) + as_table(self)->tracked);
}

template <auto fn>
PyCFunction as_pycfunction() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

PyMethodDef table_methods[] = {
    {"forward", as_pycfunction<table_forward>(), METH_FASTCALL | METH_KEYWORDS, doc::forward},
    {"inverse", as_pycfunction<table_inverse>(), METH_FASTCALL | METH_KEYWORDS, doc::inverse},
    {"__reduce__", table_reduce, METH_NOARGS, doc::reduce},
    {"__copy__", table_copy, METH_NOARGS, doc::copy},
    {"__deepcopy__", table_copy, METH_O, doc::copy},
    {"__sizeof__", table_sizeof, METH_NOARGS, nullptr},
    {"__dask_tokenize__", table_tokenize, METH_NOARGS, doc::tokenize},
    {nullptr, nullptr, 0, nullptr},
};

// Weak references: on PyPy every object takes them, and the member is not
// needed there.
PyMemberDef table_members[] = {
#if !defined(PYPY_VERSION)
    {"__weaklistoffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(TableObject, weakrefs)), READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"xp", table_xp, nullptr, doc::xp, nullptr},
    {"fp", table_fp, nullptr, doc::fp, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
    {Py_tp_members, table_members},
    {Py_tp_doc, const_cast<char*>(doc::table)},
    {Py_sq_length, reinterpret_cast<void*>(table_len)},
    {Py_mp_length, reinterpret_cast<void*>(table_len)},
    {0, nullptr},
};

// Immutable where the interpreter has the flag (3.10 on): the type's
// attributes cannot be replaced either.
#if defined(Py_TPFLAGS_IMMUTABLETYPE)
constexpr unsigned long table_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long table_flags = Py_TPFLAGS_DEFAULT;
#endif
PyType_Spec table_spec = {"quorvane.Table", sizeof(TableObject), 0, table_flags, table_slots};

// ---------------------------------------------------------------------------
// The module.
// ---------------------------------------------------------------------------

// _inject_faults(thread_starts, worker_buffers): the next that many thread
// starts, and allocations of a worker's buffers, fail.  For tests.
PyObject* inject_faults(PyObject*, PyObject* args) noexcept {
    int threads = 0;
    int buffers = 0;
    if (!PyArg_ParseTuple(args, "ii:_inject_faults", &threads, &buffers)) return nullptr;
    faults.thread_starts.store(threads);
    faults.worker_buffers.store(buffers);
    Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    {"_restore", as_pycfunction<table_restore>(), METH_FASTCALL,
     "_restore(xp, fp, xp_dtype, fp_dtype)\n--\n\nA pickled Table: its axes' storage and dtypes, checked as "
     "Table(xp, fp) checks its arguments."},
    {"_inject_faults", inject_faults, METH_VARARGS,
     "_inject_faults(thread_starts, worker_buffers)\n--\n\nMake the next thread starts and worker "
     "buffer allocations of batches fail (for tests)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_table", doc::module, -1, module_functions, nullptr, nullptr, nullptr, nullptr,
};

// An exception class of the package.  KeyError's str() shows its argument
// quoted; the classes derived from it show their message as it is.
PyObject* make_error(const char* name, const char* docstring, PyObject* bases) noexcept {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    Ref base_str(PyObject_GetAttrString(PyExc_BaseException, "__str__"));
    if (!base_str || PyDict_SetItemString(dict.get(), "__str__", base_str.get()) < 0) return nullptr;
    return PyErr_NewExceptionWithDoc(name, docstring, bases, dict.get());
}

// module.name = obj, keeping the caller's reference.
bool add_object(PyObject* module, const char* name, PyObject* obj) noexcept {
    Py_INCREF(obj);
    if (PyModule_AddObject(module, name, obj) == 0) return true;
    Py_DECREF(obj);
    return false;
}

bool add_errors(PyObject* module) noexcept {
    error_type = make_error("quorvane.Error", doc::error, PyExc_Exception);
    if (error_type == nullptr) return false;
    struct Made {
        const char* name;
        const char* docstring;
        PyObject** slot;
        PyObject* also[2];
    } made[] = {
        {"quorvane.OutOfBoundsError", doc::out_of_bounds, &out_of_bounds_type, {PyExc_IndexError, PyExc_KeyError}},
        {"quorvane.NotFoundError", doc::not_found, &not_found_type, {PyExc_KeyError, nullptr}},
        {"quorvane.NotIncreasingError", doc::not_increasing, &not_increasing_type, {PyExc_ValueError, nullptr}},
        {"quorvane.NonFiniteError", doc::non_finite, &non_finite_type, {PyExc_ValueError, nullptr}},
        {"quorvane.InvalidValueError", doc::invalid_value, &invalid_value_type, {PyExc_ValueError, nullptr}},
        {"quorvane.InvalidTypeError", doc::invalid_type, &invalid_type_type, {PyExc_TypeError, nullptr}},
    };
    if (!add_object(module, "Error", error_type)) return false;
    for (const Made& m : made) {
        Ref bases(m.also[1] != nullptr ? PyTuple_Pack(3, error_type, m.also[0], m.also[1])
                                       : PyTuple_Pack(2, error_type, m.also[0]));
        if (!bases) return false;
        *m.slot = make_error(m.name, m.docstring, bases.get());
        if (*m.slot == nullptr) return false;
        if (!add_object(module, std::strchr(m.name, '.') + 1, *m.slot)) return false;
    }
    return true;
}

// What the module was built with: the F80 backend, the form of the 128-bit
// integers and the target (quorvane.build_info(), python -m quorvane
// --version).
#if !defined(QUORVANE_BUILD_TARGET)
#define QUORVANE_BUILD_TARGET "unknown"
#endif
PyObject* build_info() noexcept {
#if defined(QUORVANE_NATIVE_U128)
    constexpr const char* u128_form = "native";
#else
    constexpr const char* u128_form = "portable";
#endif
    return Py_BuildValue("{s:s,s:s,s:s}", "f80", f80_backend, "u128", u128_form, "target", QUORVANE_BUILD_TARGET);
}

}  // namespace
}  // namespace quorvane::table

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__table(void) {
    using namespace quorvane::table;
    if (the_module != nullptr) {
        Py_INCREF(the_module);
        return the_module;
    }
    if (!load_numpy()) return nullptr;
    dask_graph_name = PyUnicode_InternFromString("__dask_graph__");
    if (dask_graph_name == nullptr) return nullptr;
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!add_errors(module.get())) return nullptr;
    table_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&table_spec));
    if (table_type == nullptr) return nullptr;
    if (!add_object(module.get(), "Table", reinterpret_cast<PyObject*>(table_type))) return nullptr;
    Ref build(build_info());
    if (!build || !add_object(module.get(), "_build", build.get())) return nullptr;
    the_module = module.get();
    Py_INCREF(the_module);
    return module.release();
}
