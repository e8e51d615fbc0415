// Reading the options of a Table's methods: workers=, method= and outside=.
#pragma once

#include "table_common.hpp"

#include <algorithm>
#include <thread>
#include <type_traits>

#if defined(__linux__)
#include <sched.h>
#endif

#include "method.hpp"
#include "prepared.hpp"
#include "reading.hpp"

namespace quorvane::table {

// workers: 1 by default, -1 for every CPU the process may run on.
inline bool parse_workers(PyObject* obj, unsigned& workers) noexcept {
    workers = 1;
    if (obj == nullptr) return true;
    if (PyBool_Check(obj) || !PyIndex_Check(obj)) {
        Ref type = host::type_name(obj);
        return type && fail(invalid_type_type, msg::workers_type, type.get());
    }
    Ref number(PyNumber_Index(obj));  // an int, or what __index__ makes of it (numpy's integers)
    if (!number) return false;
    int overflow = 0;
    const long long w = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (w == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || w == 0 || w < -1) return fail(invalid_value_type, msg::bad_workers, number.get()), false;
    if (w == -1) {
        long count = 0;
#if defined(__linux__)
        cpu_set_t set;
        if (sched_getaffinity(0, sizeof set, &set) == 0) count = CPU_COUNT(&set);
#endif
        if (count <= 0) count = static_cast<long>(std::thread::hardware_concurrency());
        workers = count > 0 ? static_cast<unsigned>(count) : 1u;
    } else {
        workers = static_cast<unsigned>(std::min<long long>(w, 1 << 16));
    }
    return true;
}

inline bool parse_method(PyObject* obj, Method& method) noexcept {
    method = Method::Absent;
    if (obj == nullptr || obj == Py_None) return true;
    if (!PyUnicode_Check(obj)) {
        Ref type = host::type_name(obj);
        return type && fail(invalid_type_type, msg::method_type, type.get());
    }
    if (PyUnicode_CompareWithASCIIString(obj, "nearest") == 0) {
        method = Method::Nearest;
    } else if (PyUnicode_CompareWithASCIIString(obj, "ffill") == 0) {
        method = Method::Ffill;
    } else if (PyUnicode_CompareWithASCIIString(obj, "bfill") == 0) {
        method = Method::Bfill;
    } else {
        return fail(invalid_value_type, msg::bad_method, obj), false;
    }
    return !PyErr_Occurred();
}

// outside: 'raise', 'clamp', or a fill value of the value axis's type (NaT
// included for a time axis: it marks a missing answer).
template <class F>
bool parse_outside(const Axis& values, PyObject* obj, Outside<F>& outside) noexcept {
    using Mode = typename Outside<F>::Mode;
    outside.mode = Mode::Raise;
    if (obj == nullptr) return true;
    if (PyUnicode_Check(obj)) {
        if (PyUnicode_CompareWithASCIIString(obj, "raise") == 0) return true;
        if (PyUnicode_CompareWithASCIIString(obj, "clamp") == 0) {
            outside.mode = Mode::Clamp;
            return true;
        }
        return fail(invalid_value_type, msg::bad_outside, obj), false;
    }
    Input in;
    if (!read_input<F>(obj, "outside", values, std::is_same_v<F, double>, in)) return false;
    if (in.wrong_type) return PyErr_SetObject(invalid_type_type, in.wrong_type.get()), false;
    if (!in.scalar && in.ndim != 0) {
        Ref shape = shape_of(in);
        return shape && fail(invalid_value_type, msg::outside_shape, shape.get());
    }
    // A masked element is no value at all; an unmasked one is its value.
    const QuerySource& src = in.whole.src;
    if (src.mask != nullptr && src.mask[0] != 0) return fail(invalid_value_type, msg::masked_fill), false;
    if (src.time && src.size == 1 && prepared::read<i64>(src.data) == not_a_time) {
        outside.fill = static_cast<F>(not_a_time);
        outside.mode = Mode::Fill;
        return true;
    }
    const prepared::Gathered g = prepared::gather<F>(src, 0, src.size, &outside.fill, nullptr);
    const Refusal why = in.refusal != Refusal::None ? in.refusal : g.refusal;
    if (why != Refusal::None) return raise_refusal(in, "outside", values, 0, why), false;
    outside.mode = Mode::Fill;
    return true;
}

}  // namespace quorvane::table
