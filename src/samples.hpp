// The sample axes of a new table, Table(xp, fp, unit=None): what each axis
// is (uint64 coordinates; int64 or float64 values; either with a time
// unit), decided from the resolved arguments, then read and copied, every
// element converted exactly and none missing.
#pragma once

#include "table_common.hpp"

#include <cstdint>
#include <type_traits>

#include "arrays.hpp"
#include "input.hpp"
#include "prepared.hpp"
#include "reading.hpp"
#include "time_axis.hpp"

namespace quorvane::table {

// The time kind and finest unit of an object array's time elements (the
// unit NumPy gives a list of them, but exact also for aware datetimes and
// pandas' nanoseconds); kind None when its first element is no time.
inline bool object_times(PyArrayObject* a, TimeKind& kind, Ref& descr) noexcept {
    kind = TimeKind::None;
    Ref flat(PyArray_NewCopy(a, NPY_CORDER));
    if (!flat) return false;
    auto* items = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(flat.get())));
    u128 finest = 0;
    for (npy_intp i = 0; i < PyArray_SIZE(a); ++i) {
        TimeValue t;
        const int is_time = items[i] == nullptr ? 0 : time_of(items[i], t);
        if (is_time < 0) return false;
        if (is_time == 0 || (i > 0 && t.kind != kind)) break;  // refused when read
        kind = t.kind;
        const u128 unit = descr_attoseconds(reinterpret_cast<PyArray_Descr*>(t.descr.get()));
        if (unit != 0 && (finest == 0 || unit < finest)) {
            finest = unit;
            descr = std::move(t.descr);
        }
    }
    if (kind != TimeKind::None && !descr) kind = TimeKind::None;  // only NaT: no unit to take
    return true;
}

// An axis as its argument makes it: `storage` and the plain descriptor
// unless the argument holds times, which keep their dtype.
inline bool make_axis(const Input& in, const char* name, const char* storage, PyArray_Descr* plain,
                      Axis& axis) noexcept {
    axis.name = name;
    axis.storage = storage;
    auto* a = reinterpret_cast<PyArrayObject*>(in.whole.shown.get());
    PyArray_Descr* descr = a != nullptr ? PyArray_DESCR(a) : nullptr;
    Ref times;
    axis.time = descr != nullptr ? time_kind(descr->kind) : TimeKind::None;
    if (descr != nullptr && descr->kind == 'O') {
        if (!object_times(a, axis.time, times)) return false;
        descr = reinterpret_cast<PyArray_Descr*>(times.get());
    }
    if (axis.time == TimeKind::None) {
        Py_INCREF(plain);
        axis.descr = plain;
        return true;
    }
    axis.attoseconds = descr_attoseconds(descr);
    if (axis.attoseconds == 0) {
        Ref type(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
        return type && fail(invalid_type_type, msg::unit_without_length, name, type.get());
    }
    axis.descr = PyArray_DescrNewByteorder(descr, NPY_NATIVE);
    return axis.descr != nullptr;
}

// Whether samples make a float table: a float dtype, or Python floats
// among objects (NumPy's scalars of floats too), or an empty list (NumPy's
// float64: nothing says otherwise).
inline bool holds_floats(const Input& in) noexcept {
    auto* a = reinterpret_cast<PyArrayObject*>(in.whole.shown.get());
    if (a == nullptr) return false;
    if (in.numpy_floats && PyArray_SIZE(a) == 0) return true;
    const char kind = PyArray_DESCR(a)->kind;
    if (kind != 'O') return kind == 'f';
    Ref flat(PyArray_NewCopy(a, NPY_CORDER));
    if (!flat) {
        PyErr_Clear();  // the conversion that follows meets the same problem
        return false;
    }
    auto* items = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(flat.get())));
    for (npy_intp i = 0; i < PyArray_SIZE(a); ++i) {
        if (items[i] != nullptr && (PyFloat_Check(items[i]) || PyArray_IsScalar(items[i], Floating))) return true;
    }
    return false;
}

// unit=: None (the samples' own units), or a NumPy time unit such as "ns",
// "us", "ms", "s" (with a multiplier, "10ms", if wanted) that every time
// axis of the table is converted to, exactly.
inline bool apply_unit(PyObject* unit, Axis& x, Axis& f) noexcept {
    if (unit == nullptr || unit == Py_None) return true;
    if (!PyUnicode_Check(unit)) {
        Ref type = host::type_name(unit);
        return type && fail(invalid_type_type, msg::unit_type, type.get());
    }
    if (x.time == TimeKind::None && f.time == TimeKind::None) return fail(invalid_value_type, msg::unit_without_time, unit);
    for (Axis* axis : {&x, &f}) {
        if (axis->time == TimeKind::None) continue;
        Ref name(PyUnicode_FromFormat(axis->time == TimeKind::Datetime ? "M8[%U]" : "m8[%U]", unit));
        if (!name) return false;
        PyArray_Descr* descr = nullptr;
        if (!PyArray_DescrConverter(name.get(), &descr)) {
            PyErr_Clear();
            return fail(invalid_value_type, msg::bad_unit, unit);
        }
        Ref owned(reinterpret_cast<PyObject*>(descr));
        const u128 length = descr_attoseconds(descr);
        if (length == 0) return fail(invalid_value_type, msg::bad_unit, unit);
        Py_XDECREF(axis->descr);
        axis->descr = reinterpret_cast<PyArray_Descr*>(owned.release());
        axis->attoseconds = length;
    }
    return true;
}

// A sample axis, resolved: one-dimensional, nothing null, every element
// converted.
template <class K>
bool read_samples(Input& in, const char* name, const Axis& axis, bool float_values) noexcept {
    if (!read_parts<K>(in, name, axis, float_values)) return false;
    if (in.wrong_type) return PyErr_SetObject(invalid_type_type, in.wrong_type.get()), false;  // nothing to evaluate
    if (in.scalar || in.ndim != 1) {
        Ref shape = shape_of(in);
        return shape && fail(invalid_value_type, msg::not_1d, name, shape.get());
    }
    if (in.mask) {
        const auto* m = static_cast<const char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(in.mask.get())));
        const std::ptrdiff_t stride = in.whole.src.mask_stride;
        for (std::size_t i = 0; i < static_cast<std::size_t>(in.dims[0]); ++i) {
            if (m[static_cast<std::ptrdiff_t>(i) * stride] != 0) {
                Ref where = shown_index(in, name, i);
                return where && fail(invalid_value_type, msg::null_sample, where.get());
            }
        }
        in.each_part([](Part& part) { part.src.mask = nullptr; });
    }
    return true;
}

// Converted copy of a sample axis; false with the refusal raised.
template <class K>
bool copy_samples(const Input& in, const char* name, const Axis& axis, Buffer<K>& out) noexcept {
    out = Buffer<K>::uninitialised(static_cast<std::size_t>(in.dims[0]));
    if (!out.ok()) return PyErr_NoMemory(), false;
    const auto copy = [&](const Part& part) {
        // Written page by page, as a table's copies are (in_fresh_pages);
        // the pieces after a refusal are skipped.
        prepared::Gathered g;
        const auto piece = [&](std::size_t a, std::size_t b) {
            if (g.refusal != Refusal::None) return;
            g = prepared::gather<K>(part.src, a - part.begin, b - part.begin, out.data() + a, nullptr);
        };
        in_fresh_pages(out.data(), out.size(), part.begin, part.begin + part.src.size, piece);
        if (g.refusal == Refusal::None) return true;
        return raise_refusal(in, name, axis, part.begin + g.refused_at, g.refusal), false;
    };
    if (!copy(in.whole)) return false;
    for (const Part& part : in.rest) {
        if (!copy(part)) return false;
    }
    if (in.cut_short()) return raise_cut_short(in, name, axis);
    return true;
}

}  // namespace quorvane::table
