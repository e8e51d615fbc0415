// An argument of a Table made readable by a batch: an Input, one or more
// Parts each read by a QuerySource, its shape and its nulls; and its
// elements as messages show them.
#pragma once

#include "table_common.hpp"

#include <cstdint>
#include <type_traits>
#include <vector>

#include "containers.hpp"
#include "convert.hpp"
#include "prepared.hpp"
#include "time_axis.hpp"

namespace quorvane::table {

// One stretch of an argument that one QuerySource reads: the whole
// argument, or one chunk of an Arrow column.
struct Part {
    std::size_t begin = 0;  // the index of its first element in the argument
    QuerySource src;
    Ref array;  // what src reads: the caller's memory, a copy, or a conversion
    Ref shown;  // the part as the caller passed it, as an array: elements for messages
};

// An argument made readable: the caller's own memory whenever its elements
// and layout can be read in place, its shape (C order), and a byte per
// element that is nonzero where it is masked or null.
struct Input {
    Part whole;              // the argument, or the first chunk of an Arrow column
    std::vector<Part> rest;  // the other chunks, in order
    Ref shown_scalar;        // a scalar argument as the caller passed it, for messages
    Ref mask;                // C-order readable, over the whole argument
    bool own_mask = false;   // made here (from Arrow validity), not the caller's
    Container container = Container::NumPy;
    Ref caller;              // the caller's container, which the answers go back into
    Ref refused_type;        // an Arrow type that cannot be read, as messages show it
    bool scalar = false;     // a scalar argument: the answer is a scalar
    bool numpy_floats = false;  // a list NumPy makes floats of, read as objects
    int ndim = 0;
    npy_intp dims[NPY_MAXDIMS] = {};
    // An object array converted up to its first element that does not
    // convert: the batch is evaluated up to there, and the refusal (or, for
    // an element of the wrong type, the error made for it) stands if
    // nothing before it fails.  Only a single part is ever cut short.
    std::size_t refused_at = 0;
    Refusal refusal = Refusal::None;
    Ref wrong_type;
    std::uint64_t storage = 0;  // a scalar argument's element

    bool cut_short() const noexcept { return refusal != Refusal::None || wrong_type; }
    // The elements read (those before a cut, if any).
    std::size_t size() const noexcept { return rest.empty() ? whole.src.size : rest.back().begin + rest.back().src.size; }
    // The part that holds element `index`.
    const Part& part_at(std::size_t index) const noexcept {
        if (rest.empty() || index < rest.front().begin) return whole;
        std::size_t lo = 0, hi = rest.size();  // rest[lo].begin <= index < rest[hi].begin
        while (hi - lo > 1) {
            const std::size_t mid = (lo + hi) / 2;
            (rest[mid].begin <= index ? lo : hi) = mid;
        }
        return rest[lo];
    }
    template <class Fn>
    void each_part(Fn&& fn) noexcept {
        fn(whole);
        for (Part& p : rest) fn(p);
    }
};

// What an axis accepts, for messages.
inline const char* accepted(const Axis& axis, bool float_values) noexcept {
    if (axis.name[0] == 'x') return "integers from 0 to 2**64 - 1 (the table's xp is uint64)";
    if (float_values) return "real numbers (floats, or integers that float64 holds exactly; the table's fp is float64)";
    return "integers that fit int64 (the table's fp is int64)";
}

// The error of an argument (or its element `where`) of the wrong type:
// `type` names what came.
inline Raised refuse_type(const char* name, const Axis& axis, bool float_values, PyObject* type) noexcept {
    if (axis.time != TimeKind::None) {
        return fail(invalid_type_type, msg::expected_time, name, reinterpret_cast<PyObject*>(axis.descr), axis.name,
                    type);
    }
    return fail(invalid_type_type, msg::expected, name, accepted(axis, float_values), type);
}

// The argument's shape, as a tuple.
inline Ref shape_of(const Input& in) noexcept {
    Ref shape(PyTuple_New(in.ndim));
    for (int k = 0; shape && k < in.ndim; ++k) {
        PyObject* d = PyLong_FromSsize_t(in.dims[k]);
        if (d == nullptr) return Ref();
        PyTuple_SET_ITEM(shape.get(), k, d);
    }
    return shape;
}

inline Ref dtype_name(PyArrayObject* a) noexcept { return Ref(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a)))); }

// ---------------------------------------------------------------------------
// Formatting for messages: an element of an argument or of the table, as
// the caller would write it, and an index into an argument.
// ---------------------------------------------------------------------------

// "x", "x[3]" or "x[1, 2]": where element `index` (C order) sits.
inline Ref shown_index(const Input& in, const char* name, std::size_t index) noexcept {
    if (in.scalar || in.ndim == 0) return Ref(PyUnicode_FromString(name));
    Ref parts(PyList_New(in.ndim));
    if (!parts) return parts;
    std::size_t rest = index;
    for (int k = in.ndim - 1; k >= 0; --k) {
        const auto d = static_cast<std::size_t>(in.dims[k]);
        PyObject* number = PyUnicode_FromFormat("%zu", rest % d);
        if (number == nullptr) return Ref();
        PyList_SET_ITEM(parts.get(), k, number);
        rest /= d;
    }
    Ref comma(PyUnicode_FromString(", "));
    if (!comma) return comma;
    Ref joined(PyUnicode_Join(comma.get(), parts.get()));
    return joined ? Ref(PyUnicode_FromFormat("%s[%U]", name, joined.get())) : Ref();
}

// Element `index` (C order) of the argument as the caller passed it: a
// Python int or float, the object of an object array, or the str() of a
// NumPy time.
inline Ref shown_element(const Input& in, std::size_t index) noexcept {
    const Part& part = in.part_at(index);
    if (!part.shown) return Ref::borrow(in.shown_scalar.get());
    auto* a = reinterpret_cast<PyArrayObject*>(part.shown.get());
    const int nd = PyArray_NDIM(a);
    npy_intp at[NPY_MAXDIMS];
    std::size_t rest = index - part.begin;
    for (int k = nd - 1; k >= 0; --k) {
        const auto d = static_cast<std::size_t>(PyArray_DIMS(a)[k]);
        at[k] = static_cast<npy_intp>(rest % d);
        rest /= d;
    }
    char* p = static_cast<char*>(PyArray_DATA(a));
    for (int k = 0; k < nd; ++k) p += at[k] * PyArray_STRIDES(a)[k];
    Ref item(PyArray_GETITEM(a, p));
    if (!item) return item;
    const char kind = PyArray_DESCR(a)->kind;
    if (kind == 'M' || kind == 'm') {
        Ref scalar(PyArray_Scalar(p, PyArray_DESCR(a), part.shown.get()));
        return scalar ? Ref(PyObject_Str(scalar.get())) : Ref();
    }
    return item;
}

// A value stored in an axis, as the caller would write it.
template <class T>
Ref shown_value(const Axis& axis, T v) noexcept {
    if (axis.time != TimeKind::None) {
        const i64 count = static_cast<i64>(v);
        Ref scalar(PyArray_Scalar(const_cast<i64*>(&count), axis.descr, nullptr));
        return scalar ? Ref(PyObject_Str(scalar.get())) : Ref();
    }
    if constexpr (std::is_same_v<T, double>) {
        return Ref(PyFloat_FromDouble(v));
    } else if constexpr (std::is_same_v<T, i64>) {
        return Ref(PyLong_FromLongLong(v));
    } else {
        return Ref(PyLong_FromUnsignedLongLong(v));
    }
}

// The refusal of element `index` of an argument as an error.
inline PyObject* raise_refusal(const Input& in, const char* name, const Axis& axis, std::size_t index,
                               Refusal why) noexcept {
    Ref where = shown_index(in, name, index);
    if (!where) return nullptr;
    Ref value = shown_element(in, index);
    if (!value) return nullptr;
    Ref unit(PyObject_Str(reinterpret_cast<PyObject*>(axis.descr)));
    if (!unit) return nullptr;
    switch (why) {
        case Refusal::None: break;
        case Refusal::Negative: return fail(invalid_value_type, msg::negative, where.get(), value.get());
        case Refusal::TooLarge:
            return fail(invalid_value_type, msg::too_large, where.get(), value.get(), axis.storage);
        case Refusal::Inexact: return fail(invalid_value_type, msg::inexact, where.get(), value.get());
        case Refusal::NotATime: return fail(invalid_value_type, msg::not_a_time, where.get());
        case Refusal::NotWhole:
            return fail(invalid_value_type, msg::not_whole, where.get(), value.get(), unit.get());
        case Refusal::TimeRange:
            return fail(invalid_value_type, msg::time_range, where.get(), value.get(), unit.get());
    }
    return nullptr;
}

// The error of an argument cut short (Input::cut_short): the one made for
// an element of the wrong type, or the refusal of the element.
inline Raised raise_cut_short(const Input& in, const char* name, const Axis& axis) noexcept {
    if (in.wrong_type) {
        PyErr_SetObject(invalid_type_type, in.wrong_type.get());
    } else {
        raise_refusal(in, name, axis, in.refused_at, in.refusal);
    }
    return {};
}

// Query `index` as the batch's search saw it (it converted: it was looked up).
template <class K>
K query_key(const Input& in, std::size_t index) noexcept {
    const Part& part = in.part_at(index);
    QuerySource one = part.src;
    one.mask = nullptr;
    K key{};
    prepared::gather<K>(one, index - part.begin, index - part.begin + 1, &key, nullptr);
    return key;
}

// "[lo, hi]": the smallest and largest element of an axis (NaNs aside).
template <class T>
inline Ref axis_range(const Axis& axis, const T* a, std::size_t n) noexcept {
    std::size_t lo = n, hi = n;
    for (std::size_t k = 0; k < n; ++k) {
        if (Order<T>::is_nan(a[k])) continue;
        if (lo == n || Order<T>::less(a[k], a[lo])) lo = k;
        if (hi == n || Order<T>::less(a[hi], a[k])) hi = k;
    }
    if (lo == n) lo = hi = 0;  // all NaN
    Ref l = shown_value(axis, a[lo]), h = shown_value(axis, a[hi]);
    return l && h ? Ref(PyUnicode_FromFormat(msg::range, l.get(), h.get())) : Ref();
}

}  // namespace quorvane::table
