// Reading what callers pass to a Table: NumPy arrays of any dtype, shape
// and layout, masked arrays, NumPy scalars, Python ints and floats, time
// scalars, lists and object arrays, Arrow columns (pyarrow, polars, any
// producer), pandas columns with their nulls, each made readable by a batch
// as an Input: the caller's own memory whenever its elements and layout
// allow.
//
// Two steps: resolve() sees through the container to the arrays that hold
// the elements (one, or an Arrow column's chunks) and the nulls; read_parts()
// then checks their element type against the axis and makes the
// QuerySources.  A table's samples take the steps apart, deciding the axes
// from the resolved arrays in between (samples.hpp).
#pragma once

#include "table_common.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "arrow.hpp"
#include "containers.hpp"
#include "convert.hpp"
#include "input.hpp"
#include "objects.hpp"
#include "prepared.hpp"
#include "time_axis.hpp"

namespace quorvane::table {

// The stride that reads an array's elements in C order, if one does: the
// dimensions of more than one element must be nested, each stride the
// next one times its length.
inline bool c_order_stride(PyArrayObject* a, std::ptrdiff_t& stride) noexcept {
    const int nd = PyArray_NDIM(a);
    const npy_intp* dims = PyArray_DIMS(a);
    const npy_intp* strides = PyArray_STRIDES(a);
    stride = static_cast<std::ptrdiff_t>(PyArray_ITEMSIZE(a));
    bool have = false;
    std::ptrdiff_t inner = 0;
    npy_intp inner_len = 1;
    for (int k = nd - 1; k >= 0; --k) {
        if (dims[k] == 0) {
            stride = 0;
            return true;
        }
        if (dims[k] == 1) continue;
        if (!have) {
            have = true;
            inner = strides[k];
            stride = inner;
        } else if (strides[k] != inner * inner_len) {
            return false;
        }
        inner = have ? strides[k] : inner;
        inner_len = dims[k];
    }
    return true;
}

// An array whose elements can be read with one stride in C order: the
// array itself, or a C-order copy.
inline bool readable(Ref& array, std::ptrdiff_t& stride) noexcept {
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (c_order_stride(a, stride)) return true;
    Ref copy(PyArray_NewCopy(a, NPY_CORDER));
    if (!copy) return false;
    array = std::move(copy);
    return c_order_stride(reinterpret_cast<PyArrayObject*>(array.get()), stride);
}

// The element type of a dtype's kind and size, if a batch can read it.
inline bool elem_of(char kind, int size, Elem& elem) noexcept {
    if (kind == 'u') {
        switch (size) {
            case 1: elem = Elem::U8; return true;
            case 2: elem = Elem::U16; return true;
            case 4: elem = Elem::U32; return true;
            case 8: elem = Elem::U64; return true;
        }
    } else if (kind == 'i' || kind == 'M' || kind == 'm') {
        switch (size) {
            case 1: elem = Elem::I8; return true;
            case 2: elem = Elem::I16; return true;
            case 4: elem = Elem::I32; return true;
            case 8: elem = Elem::I64; return true;
        }
    } else if (kind == 'f') {
        switch (size) {
            case 4: elem = Elem::F32; return true;
            case 8: elem = Elem::F64; return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Step 1: resolve.  The arrays behind an argument, as Part::shown of each
// part, with the shape, the nulls and the container; or, for the masked
// constant, the whole (scalar) Input at once.
// ---------------------------------------------------------------------------

// NumPy's conversion of an array-like, with NumPy's own error given the
// argument's name: a ValueError (ragged nesting, say) or a TypeError keeps
// its kind, and NumPy's error is its cause.
inline Ref numpy_array(PyObject* obj, const char* name, bool* floats = nullptr) noexcept {
    Ref array(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
    if (array) {
        // NumPy turns a list of Python ints beyond int64 into float64: such
        // lists are converted element by element instead, exactly.
        if ((PyList_Check(obj) || PyTuple_Check(obj)) &&
            PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array.get()))->kind == 'f') {
            array = Ref(PyArray_FromAny(obj, PyArray_DescrFromType(NPY_OBJECT), 0, 0, 0, nullptr));
            if (floats != nullptr) *floats = true;
        }
        return array;
    }
    const bool value = PyErr_ExceptionMatches(PyExc_ValueError);
    if (!value && !PyErr_ExceptionMatches(PyExc_TypeError)) return array;
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    Ref cause(v), cause_type(t), cause_tb(tb);
    fail(value ? invalid_value_type : invalid_type_type, msg::not_an_array, name, cause ? cause.get() : Py_None);
    PyObject *t2 = nullptr, *v2 = nullptr, *tb2 = nullptr;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    if (v2 != nullptr && cause) PyException_SetCause(v2, cause.release());
    PyErr_Restore(t2, v2, tb2);
    return array;
}

// A 0-d datetime64/timedelta64 array holding a time scalar's count.
inline Ref time_array(const TimeValue& t) noexcept {
    auto* descr = reinterpret_cast<PyArray_Descr*>(t.descr.get());
    Py_INCREF(descr);  // stolen
    Ref array(PyArray_NewFromDescr(&PyArray_Type, descr, 0, nullptr, nullptr, nullptr, 0, nullptr));
    if (array) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), &t.count, sizeof t.count);
    return array;
}

// An Arrow column's chunks as the parts.  A table (a struct column) is
// left to NumPy's conversion, as before Arrow was read: `taken` is false.
inline bool resolve_arrow(PyObject* obj, const char* name, Input& in, bool& taken) noexcept {
    arrow::Column column;
    if (!arrow::read_column(obj, name, column)) return false;
    taken = !column.table;
    if (!taken) return true;
    in.refused_type = std::move(column.refused);
    in.mask = std::move(column.mask);
    in.own_mask = static_cast<bool>(in.mask);
    in.ndim = 1;
    in.dims[0] = static_cast<npy_intp>(column.length);
    std::size_t begin = 0;
    for (std::size_t k = 0; k < column.views.size(); ++k) {
        Part& part = k == 0 ? in.whole : in.rest.emplace_back();
        part.begin = begin;
        begin += static_cast<std::size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(column.views[k].get())));
        part.shown = std::move(column.views[k]);
    }
    return true;
}

// What is behind obj (see above).  False with an exception set.
inline bool resolve(PyObject* obj, const char* name, Input& in) noexcept {
    Ref array;
    if (PyArray_Check(obj)) {
        array = Ref::borrow(obj);
        if (!PyArray_CheckExact(obj)) {
            if (!load_numpy_ma()) return false;
            const int masked = PyObject_IsInstance(obj, masked_array_type);
            if (masked < 0) return false;
            if (obj == masked_constant) {
                // numpy.ma.masked: nothing to evaluate, whatever its dtype.
                in.scalar = true;
                in.mask = Ref::borrow(obj);
                return true;
            }
            if (masked) {
                in.mask = Ref(PyObject_CallOneArg(getmaskarray, obj));
                if (!in.mask) return false;
            }
        }
    } else if (PyArray_IsScalar(obj, Generic)) {
        array = Ref(PyArray_FromScalar(obj, nullptr));
        if (!array) return false;
        in.scalar = true;
    } else if (PyList_Check(obj) || PyTuple_Check(obj)) {
        array = numpy_array(obj, name, &in.numpy_floats);
        if (!array) return false;
    } else {
        TimeValue t;
        const int is_time = time_of(obj, t);
        if (is_time < 0) return false;
        if (is_time > 0) {
            array = time_array(t);
            if (!array) return false;
            in.scalar = true;
        } else {
            const Container kind = classify(obj);
            if (kind == Container::Pandas) {
                Ref values, mask;
                if (!pandas_values(obj, values, mask)) return false;
                if (values) {
                    in.container = Container::Pandas;
                    in.caller = Ref::borrow(obj);
                    in.mask = std::move(mask);
                    bool taken = false;
                    if (!PyArray_Check(values.get()) && !resolve_arrow(values.get(), name, in, taken)) return false;
                    if (taken) return true;
                    array = numpy_array(values.get(), name);
                }
            } else if (kind != Container::NumPy) {
                bool taken = false;
                if (!resolve_arrow(obj, name, in, taken)) return false;
                if (taken) {
                    in.container = kind;
                    in.caller = Ref::borrow(obj);
                    return true;
                }
            }
            if (!array) array = numpy_array(obj, name);
            if (!array) return false;
        }
    }
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    in.ndim = PyArray_NDIM(a);
    std::copy(PyArray_DIMS(a), PyArray_DIMS(a) + in.ndim, in.dims);
    if (in.ndim == 0) in.scalar = true;
    in.whole.shown = std::move(array);
    return true;
}

// ---------------------------------------------------------------------------
// Step 2: read.  Each part's elements checked against the axis (storage
// K), the part made readable, and the nulls attached.
// ---------------------------------------------------------------------------

template <class K>
bool read_part(Part& part, const char* name, const Axis& axis, bool float_values, Input& in) noexcept {
    Ref array = Ref::borrow(part.shown.get());
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    PyArray_Descr* descr = PyArray_DESCR(a);
    const char kind = descr->kind;
    const TimeKind time = time_kind(kind);
    // The kind of element the axis takes.
    if (kind != 'O' && (time != axis.time || kind == 'b' || kind == 'c' || (kind == 'f' && !std::is_same_v<K, double>) ||
                        !(kind == 'u' || kind == 'i' || kind == 'f' || time != TimeKind::None))) {
        Ref type = dtype_name(a);
        return type && refuse_type(name, axis, float_values, type.get());
    }
    if (kind == 'O') {
        if (!convert_objects<K>(a, name, axis, float_values, part, in)) return false;
    } else {
        // Elements in native byte order, of a width a batch reads; float16
        // widens exactly to float64, and longdouble is refused.
        Elem elem{};
        const bool known = elem_of(kind, static_cast<int>(PyArray_ITEMSIZE(a)), elem);
        if (!known && !(kind == 'f' && PyArray_ITEMSIZE(a) == 2)) {
            Ref type = dtype_name(a);
            return type && refuse_type(name, axis, float_values, type.get());
        }
        if (!known || !PyArray_ISNBO(descr->byteorder)) {
            PyArray_Descr* target = known ? PyArray_DescrNewByteorder(descr, NPY_NATIVE) : PyArray_DescrFromType(NPY_DOUBLE);
            if (target == nullptr) return false;
            array = Ref(PyArray_FromArray(a, target, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
            if (!array) return false;
            a = reinterpret_cast<PyArrayObject*>(array.get());
            if (!known) elem = Elem::F64;
        }
        part.src.elem = elem;
        if (time != TimeKind::None) {
            // The generic unit holds only NaT, each refused as such; a
            // count without a unit is never taken for the axis's unit.
            const bool generic = descr_is_generic(descr) && only_not_a_time(a);
            const u128 unit = generic ? axis.attoseconds : descr_attoseconds(descr);
            if (unit == 0) {
                Ref type = dtype_name(a);
                return type && fail(invalid_type_type, msg::unit_without_length, name, type.get());
            }
            part.src.time = true;
            part.src.rescale = Rescale::between(unit, axis.attoseconds);
        }
        part.array = std::move(array);
    }
    std::ptrdiff_t stride = 0;
    if (!readable(part.array, stride)) return false;
    a = reinterpret_cast<PyArrayObject*>(part.array.get());
    part.src.data = static_cast<const char*>(PyArray_DATA(a));
    part.src.stride = stride;
    part.src.size = in.cut_short() ? in.refused_at : static_cast<std::size_t>(PyArray_SIZE(a));
    return true;
}

template <class K>
bool read_parts(Input& in, const char* name, const Axis& axis, bool float_values) noexcept {
    if (in.refused_type) return refuse_type(name, axis, float_values, in.refused_type.get());
    if (!in.whole.shown) {  // the masked constant
        static const char masked_byte = 1;
        in.whole.src = {reinterpret_cast<const char*>(&in.storage), 0, 1, elem_for<K>()};
        in.whole.src.mask = &masked_byte;
        return true;
    }
    // The nulls first: an object array converts only what is not null.
    std::ptrdiff_t mask_stride = 0;
    if (in.mask && !readable(in.mask, mask_stride)) return false;
    bool ok = true;
    in.each_part([&](Part& part) { ok = ok && read_part<K>(part, name, axis, float_values, in); });
    if (!ok || !in.mask) return ok;
    const char* mask = static_cast<const char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(in.mask.get())));
    in.each_part([&](Part& part) {
        part.src.mask = mask + static_cast<std::ptrdiff_t>(part.begin) * mask_stride;
        part.src.mask_stride = mask_stride;
    });
    return true;
}

// Makes `obj` readable as a batch for `axis` (whose storage is K): `name`
// is the argument's name for messages.  False with an exception set when it
// cannot be; conversions of elements are checked later, per element.
template <class K>
bool read_input(PyObject* obj, const char* name, const Axis& axis, bool float_values, Input& in) noexcept {
    // Python scalars first: the commonest single queries, no array needed.
    if (PyLong_CheckExact(obj) || (PyLong_Check(obj) && !PyBool_Check(obj))) {
        if (axis.time != TimeKind::None) {
            Ref type = host::type_name(obj);
            return type && refuse_type(name, axis, float_values, type.get());
        }
        in.scalar = true;
        in.shown_scalar = Ref::borrow(obj);
        K value{};
        if (!python_int<K>(obj, value, in.refusal)) return false;
        std::memcpy(&in.storage, &value, sizeof value);
        in.whole.src = {reinterpret_cast<const char*>(&in.storage), 0, in.refusal == Refusal::None ? 1u : 0u,
                        elem_for<K>()};
        return true;
    }
    if (PyFloat_Check(obj)) {
        if (!std::is_same_v<K, double> || axis.time != TimeKind::None) {
            Ref type = host::type_name(obj);
            return type && refuse_type(name, axis, float_values, type.get());
        }
        in.scalar = true;
        in.shown_scalar = Ref::borrow(obj);
        const double v = PyFloat_AS_DOUBLE(obj);
        std::memcpy(&in.storage, &v, sizeof v);
        in.whole.src = {reinterpret_cast<const char*>(&in.storage), 0, 1, Elem::F64};
        return true;
    }
    return resolve(obj, name, in) && read_parts<K>(in, name, axis, float_values);
}

}  // namespace quorvane::table
