// Python objects as elements of an axis: Python ints (exactly, of any
// size), and the elements of object arrays (lists NumPy could not make a
// numeric array of): ints, floats and NumPy scalars for a plain axis, time
// scalars of the standard library, pandas and NumPy for a time axis.
#pragma once

#include "table_common.hpp"

#include <cstdint>
#include <type_traits>
#include <utility>

#include "convert.hpp"
#include "input.hpp"
#include "prepared.hpp"
#include "time_axis.hpp"

namespace quorvane::table {

// A Python int converted to the axis type K exactly, or its refusal;
// false with an exception set when the interpreter fails.  Python compares
// an int with a float exactly, which decides whether float64 holds it.
template <class K>
bool python_int(PyObject* obj, K& out, Refusal& why) noexcept {
    why = Refusal::None;
    if constexpr (std::is_same_v<K, double>) {
        const double v = PyLong_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
            why = Refusal::Inexact;
            return true;
        }
        Ref back(PyFloat_FromDouble(v));
        if (!back) return false;
        const int same = PyObject_RichCompareBool(back.get(), obj, Py_EQ);
        if (same < 0) return false;
        out = v;
        if (!same) why = Refusal::Inexact;
        return true;
    } else {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow == 0) {
            why = to_axis<K>(static_cast<i64>(v), out);
            return true;
        }
        if (overflow < 0) {
            why = std::is_same_v<K, u64> ? Refusal::Negative : Refusal::TooLarge;
            return true;
        }
        const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
            why = Refusal::TooLarge;
            return true;
        }
        why = to_axis<K>(static_cast<u64>(u), out);
        return true;
    }
}

template <class K>
constexpr Elem elem_for() noexcept {
    return std::is_same_v<K, double> ? Elem::F64 : std::is_same_v<K, i64> ? Elem::I64 : Elem::U64;
}

// A time element converted to a time axis of storage K, exactly: its count
// in the axis's unit (rescaled from the element's own), or the refusal.
template <class K>
Refusal time_to_axis(const TimeValue& t, const Axis& axis, K& out) noexcept {
    if (t.count == not_a_time) return Refusal::NotATime;
    i64 count = t.count;
    auto* descr = reinterpret_cast<PyArray_Descr*>(t.descr.get());
    const Rescale r = Rescale::between(descr_attoseconds(descr), axis.attoseconds);
    if (!r.identity()) {
        if (const Refusal why = rescale(count, r, count); why != Refusal::None) return why;
    }
    if constexpr (std::is_same_v<K, double>) {
        return Refusal::Inexact;  // a float axis has no unit: never reached
    } else {
        return to_axis<K>(count, out);
    }
}

// The error made for element i of an object array, of the wrong type; the
// batch raises it if nothing before it fails.
inline bool wrong_element(Input& in, const char* name, const Axis& axis, bool float_values, PyObject* item,
                          std::size_t i) noexcept {
    Ref where = shown_index(in, name, i);
    Ref type = item == nullptr ? Ref(PyUnicode_FromString("NULL")) : host::type_name(item);
    if (!where || !type) return false;
    Ref text(axis.time != TimeKind::None
                 ? PyUnicode_FromFormat(msg::expected_time_element, where.get(),
                                        reinterpret_cast<PyObject*>(axis.descr), axis.name, type.get())
                 : PyUnicode_FromFormat(msg::expected_element, where.get(), accepted(axis, float_values), type.get()));
    if (!text) return false;
    in.wrong_type = Ref(PyObject_CallOneArg(invalid_type_type, text.get()));
    if (!in.wrong_type) return false;
    in.refused_at = i;
    return true;
}

// Converts an object array's elements to the axis type K, into a new array
// (part.array), up to the first one that does not convert:
// Input::refusal and refused_at then say which and why.  Masked elements
// are not evaluated, so they are not converted either.
template <class K>
bool convert_objects(PyArrayObject* a, const char* name, const Axis& axis, bool float_values, Part& part,
                     Input& in) noexcept {
    const npy_intp m = PyArray_SIZE(a);
    Ref flat(PyArray_NewCopy(a, NPY_CORDER));
    if (!flat) return false;
    PyArray_Descr* descr = std::is_same_v<K, double> ? result_f64 : std::is_same_v<K, i64> ? result_i64 : result_u64;
    Py_INCREF(descr);
    Ref out(PyArray_NewFromDescr(&PyArray_Type, descr, PyArray_NDIM(a), PyArray_DIMS(a), nullptr, nullptr, 0, nullptr));
    if (!out) return false;
    Ref mask;
    if (in.mask) {
        mask = Ref(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(in.mask.get()), NPY_CORDER));
        if (!mask) return false;
    }
    const auto* hidden = mask ? static_cast<const char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(mask.get())))
                              : nullptr;
    auto* items = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(flat.get())));
    K* values = static_cast<K*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const bool time = axis.time != TimeKind::None;
    for (npy_intp i = 0; i < m; ++i) {
        PyObject* item = items[i];
        const auto at = static_cast<std::size_t>(i);
        Refusal why = Refusal::None;
        if (hidden != nullptr && hidden[i] != 0) {
            values[i] = K{};
            continue;
        }
        if (time) {
            TimeValue t;
            const int is_time = item == nullptr ? 0 : time_of(item, t);
            if (is_time < 0) return false;
            // a time of no fixed length (months, years) is no count of a unit
            const bool fixed = is_time > 0 && descr_attoseconds(reinterpret_cast<PyArray_Descr*>(t.descr.get())) != 0;
            if (is_time == 0 || t.kind != axis.time || (!fixed && t.count != not_a_time)) {
                if (!wrong_element(in, name, axis, float_values, item, at)) return false;
                break;
            }
            why = time_to_axis<K>(t, axis, values[i]);
        } else {
            const bool is_float = item != nullptr && (PyFloat_Check(item) || PyArray_IsScalar(item, Float) ||
                                                      PyArray_IsScalar(item, Double) || PyArray_IsScalar(item, Half));
            if (is_float && std::is_same_v<K, double>) {
                const double v = PyFloat_AsDouble(item);  // exact: no wider float gets here
                if (v == -1.0 && PyErr_Occurred()) return false;
                values[i] = static_cast<K>(v);
                continue;
            }
            if (item == nullptr || is_float || PyBool_Check(item) || !PyIndex_Check(item)) {
                if (!wrong_element(in, name, axis, float_values, item, at)) return false;
                break;
            }
            Ref number(PyNumber_Index(item));
            if (!number || !python_int<K>(number.get(), values[i], why)) return false;
        }
        if (why != Refusal::None) {
            in.refusal = why;
            in.refused_at = at;
            break;
        }
    }
    part.array = std::move(out);
    part.src.elem = elem_for<K>();
    return true;
}

}  // namespace quorvane::table
