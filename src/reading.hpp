// Reading what callers pass to a Table: NumPy arrays of any dtype, shape
// and layout, masked arrays, NumPy scalars, Python ints and floats, lists
// and object arrays, made readable by a batch as an Input (the caller's
// own memory whenever its elements and layout allow), with the messages
// that name an argument's element; and the sample axes of a new table.
#pragma once

#include "table_common.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "arrays.hpp"
#include "convert.hpp"
#include "prepared.hpp"
#include "time_axis.hpp"

namespace quorvane::table {

// ---------------------------------------------------------------------------
// Reading arguments.  An Input is an argument made readable: an array (the
// caller's own whenever its elements and layout can be read in place), its
// shape, an optional mask, and the QuerySource that reads it in C order.
// ---------------------------------------------------------------------------
struct Input {
    Ref array;    // what is read (maybe a copy, or a conversion of an object array)
    Ref shown;    // what the caller passed, as an array: elements for messages
    Ref shown_scalar;  // ... or the Python int or float it passed
    Ref mask;     // np.ma.getmaskarray of a masked argument, C-order readable
    bool scalar = false;  // a scalar argument: the answer is a scalar
    int ndim = 0;
    npy_intp dims[NPY_MAXDIMS] = {};
    QuerySource src;
    // An object array converted up to its first element that does not
    // convert: the batch is evaluated up to there, and the refusal (or, for
    // an element of the wrong type, the error made for it) stands if
    // nothing before it fails.
    std::size_t refused_at = 0;
    Refusal refusal = Refusal::None;
    Ref wrong_type;

    bool cut_short() const noexcept { return refusal != Refusal::None || wrong_type; }
    std::uint64_t storage = 0;  // a Python int or float argument's element
};

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

// What an axis accepts, for messages.
inline const char* accepted(const Axis& axis, bool float_values) noexcept {
    if (axis.name[0] == 'x') return "integers from 0 to 2**64 - 1 (the table's xp is uint64)";
    if (float_values) return "real numbers (floats, or integers that float64 holds exactly; the table's fp is float64)";
    return "integers that fit int64 (the table's fp is int64)";
}

inline Ref dtype_name(PyArrayObject* a) noexcept { return Ref(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a)))); }

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

// Converts an object array's elements (Python ints and floats, NumPy
// scalars) to the axis type K, into a new array, up to the first one that
// does not convert: Input::refusal and refused_at then say which and why.
template <class K>
bool convert_objects(PyArrayObject* a, const char* name, const Axis& axis, bool float_values, Input& in) noexcept {
    const npy_intp m = PyArray_SIZE(a);
    Ref flat(PyArray_NewCopy(a, NPY_CORDER));
    if (!flat) return false;
    PyArray_Descr* descr = std::is_same_v<K, double> ? result_f64 : std::is_same_v<K, i64> ? result_i64 : result_u64;
    Py_INCREF(descr);
    Ref out(PyArray_NewFromDescr(&PyArray_Type, descr, PyArray_NDIM(a), PyArray_DIMS(a), nullptr, nullptr, 0, nullptr));
    if (!out) return false;
    // A masked element is not evaluated, so it is not converted either.
    Ref mask;
    if (in.mask) {
        mask = Ref(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(in.mask.get()), NPY_CORDER));
        if (!mask) return false;
    }
    const auto* hidden = mask ? static_cast<const char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(mask.get())))
                              : nullptr;
    auto* items = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(flat.get())));
    K* values = static_cast<K*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    for (npy_intp i = 0; i < m; ++i) {
        PyObject* item = items[i];
        Refusal why = Refusal::None;
        if (hidden != nullptr && hidden[i] != 0) {
            values[i] = K{};
            continue;
        }
        const bool is_float = item != nullptr && (PyFloat_Check(item) || PyArray_IsScalar(item, Float) ||
                                                  PyArray_IsScalar(item, Double) || PyArray_IsScalar(item, Half));
        if (is_float && std::is_same_v<K, double>) {
            const double v = PyFloat_AsDouble(item);  // exact: no wider float gets here
            if (v == -1.0 && PyErr_Occurred()) return false;
            values[i] = static_cast<K>(v);
            continue;
        }
        if (item == nullptr || is_float || PyBool_Check(item) || !PyIndex_Check(item)) {
            Ref where = shown_index(in, name, static_cast<std::size_t>(i));
            Ref type = item == nullptr ? Ref(PyUnicode_FromString("NULL")) : host::type_name(item);
            if (!where || !type) return false;
            Ref text(PyUnicode_FromFormat(msg::expected_element, where.get(), accepted(axis, float_values), type.get()));
            if (!text) return false;
            in.wrong_type = Ref(PyObject_CallOneArg(invalid_type_type, text.get()));
            if (!in.wrong_type) return false;
            in.refused_at = static_cast<std::size_t>(i);
            break;
        }
        Ref number(PyNumber_Index(item));
        if (!number || !python_int<K>(number.get(), values[i], why)) return false;
        if (why != Refusal::None) {
            in.refusal = why;
            in.refused_at = static_cast<std::size_t>(i);
            break;
        }
    }
    in.array = std::move(out);
    in.src.elem = elem_for<K>();
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
            return type && fail(invalid_type_type, msg::expected_time, name,
                                reinterpret_cast<PyObject*>(axis.descr), axis.name, type.get());
        }
        in.scalar = true;
        in.shown_scalar = Ref::borrow(obj);
        K value{};
        if (!python_int<K>(obj, value, in.refusal)) return false;
        std::memcpy(&in.storage, &value, sizeof value);
        in.src = {reinterpret_cast<const char*>(&in.storage), 0, in.refusal == Refusal::None ? 1u : 0u, elem_for<K>()};
        return true;
    }
    if (PyFloat_Check(obj) && std::is_same_v<K, double>) {
        in.scalar = true;
        in.shown_scalar = Ref::borrow(obj);
        const double v = PyFloat_AS_DOUBLE(obj);
        std::memcpy(&in.storage, &v, sizeof v);
        in.src = {reinterpret_cast<const char*>(&in.storage), 0, 1, Elem::F64};
        return true;
    }
    Ref array;
    if (PyArray_Check(obj)) {
        array = Ref::borrow(obj);
        if (!PyArray_CheckExact(obj)) {
            if (!load_numpy_ma()) return false;
            const int masked = PyObject_IsInstance(obj, masked_array_type);
            if (masked < 0) return false;
            if (obj == masked_constant) {
                // numpy.ma.masked: nothing to evaluate, whatever its dtype.
                static const char masked_byte = 1;
                in.scalar = true;
                in.mask = Ref::borrow(obj);
                in.src = {reinterpret_cast<const char*>(&in.storage), 0, 1, elem_for<K>()};
                in.src.mask = &masked_byte;
                return true;
            }
            if (masked) {
                Ref mask(PyObject_CallOneArg(getmaskarray, obj));
                if (!mask) return false;
                in.mask = std::move(mask);
            }
        }
    } else if (PyArray_IsScalar(obj, Generic)) {
        array = Ref(PyArray_FromScalar(obj, nullptr));
        if (!array) return false;
        in.scalar = true;
    } else {
        array = Ref(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
        if (!array) {
            // NumPy's own error, with the argument's name: a ValueError
            // (ragged nesting, say) or a TypeError keeps its kind.
            const bool value = PyErr_ExceptionMatches(PyExc_ValueError);
            if (!value && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
            PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
            PyErr_Fetch(&t, &v, &tb);
            PyErr_NormalizeException(&t, &v, &tb);
            Ref cause(v), cause_type(t), cause_tb(tb);
            fail(value ? invalid_value_type : invalid_type_type, msg::not_an_array, name,
                 cause ? cause.get() : Py_None);
            PyObject *t2 = nullptr, *v2 = nullptr, *tb2 = nullptr;
            PyErr_Fetch(&t2, &v2, &tb2);
            PyErr_NormalizeException(&t2, &v2, &tb2);
            if (v2 != nullptr && cause) PyException_SetCause(v2, cause.release());
            PyErr_Restore(t2, v2, tb2);
            return false;
        }
        in.scalar = PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array.get())) == 0;
        // NumPy turns a list of Python ints beyond int64 into float64: such
        // lists are converted element by element instead, exactly.
        if ((PyList_Check(obj) || PyTuple_Check(obj)) &&
            PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array.get()))->kind == 'f') {
            array = Ref(PyArray_FromAny(obj, PyArray_DescrFromType(NPY_OBJECT), 0, 0, 0, nullptr));
            if (!array) return false;
        }
    }
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    in.ndim = PyArray_NDIM(a);
    std::copy(PyArray_DIMS(a), PyArray_DIMS(a) + in.ndim, in.dims);
    in.shown = Ref::borrow(array.get());
    PyArray_Descr* descr = PyArray_DESCR(a);
    const char kind = descr->kind;
    const TimeKind time = time_kind(kind);
    // The kind of element the axis takes.
    if (time != axis.time || kind == 'b' || kind == 'c' || (kind == 'f' && !std::is_same_v<K, double>) ||
        !(kind == 'u' || kind == 'i' || kind == 'f' || kind == 'O' || time != TimeKind::None)) {
        Ref type = dtype_name(a);
        if (!type) return false;
        if (axis.time != TimeKind::None) {
            return fail(invalid_type_type, msg::expected_time, name, reinterpret_cast<PyObject*>(axis.descr),
                        axis.name, type.get());
        }
        return fail(invalid_type_type, msg::expected, name, accepted(axis, float_values), type.get());
    }
    if (kind == 'O') {
        if (!convert_objects<K>(a, name, axis, float_values, in)) return false;
        a = reinterpret_cast<PyArrayObject*>(in.array.get());
    } else {
        // Elements in native byte order, of a width a batch reads; float16
        // widens exactly to float64, and longdouble is refused.
        Elem elem{};
        const bool known = elem_of(kind, static_cast<int>(PyArray_ITEMSIZE(a)), elem);
        if (!known && !(kind == 'f' && PyArray_ITEMSIZE(a) == 2)) {
            Ref type = dtype_name(a);
            return type && fail(invalid_type_type, msg::expected, name, accepted(axis, float_values), type.get());
        }
        if (!known || !PyArray_ISNBO(descr->byteorder)) {
            PyArray_Descr* target = known ? PyArray_DescrNewByteorder(descr, NPY_NATIVE) : PyArray_DescrFromType(NPY_DOUBLE);
            if (target == nullptr) return false;
            array = Ref(PyArray_FromArray(a, target, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
            if (!array) return false;
            a = reinterpret_cast<PyArrayObject*>(array.get());
            if (!known) elem = Elem::F64;
        }
        in.src.elem = elem;
        if (time != TimeKind::None) {
            // The generic unit holds only NaT, each refused as such; a
            // count without a unit is never taken for the axis's unit.
            const bool generic = descr_is_generic(descr) && only_not_a_time(a);
            const u128 unit = generic ? axis.attoseconds : descr_attoseconds(descr);
            if (unit == 0) {
                Ref type = dtype_name(a);
                return type && fail(invalid_type_type, msg::unit_without_length, name, type.get());
            }
            in.src.time = true;
            in.src.rescale = Rescale::between(unit, axis.attoseconds);
        }
        in.array = std::move(array);
    }
    std::ptrdiff_t stride = 0;
    if (!readable(in.array, stride)) return false;
    a = reinterpret_cast<PyArrayObject*>(in.array.get());
    in.src.data = static_cast<const char*>(PyArray_DATA(a));
    in.src.stride = stride;
    in.src.size = in.cut_short() ? in.refused_at : static_cast<std::size_t>(PyArray_SIZE(a));
    if (in.mask) {
        std::ptrdiff_t mask_stride = 0;
        if (!readable(in.mask, mask_stride)) return false;
        in.src.mask = static_cast<const char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(in.mask.get())));
        in.src.mask_stride = mask_stride;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Formatting for messages: an element of an argument or of the table, as
// the caller would write it, and an index into an argument.
// ---------------------------------------------------------------------------

// Element `index` (C order) of the argument as the caller passed it: a
// Python int or float, or the str() of a NumPy time.
inline Ref shown_element(const Input& in, std::size_t index) noexcept {
    if (!in.shown) return Ref::borrow(in.shown_scalar.get());
    auto* a = reinterpret_cast<PyArrayObject*>(in.shown.get());
    npy_intp at[NPY_MAXDIMS];
    std::size_t rest = index;
    for (int k = in.ndim - 1; k >= 0; --k) {
        const auto d = static_cast<std::size_t>(in.dims[k]);
        at[k] = static_cast<npy_intp>(rest % d);
        rest /= d;
    }
    char* p = static_cast<char*>(PyArray_DATA(a));
    for (int k = 0; k < in.ndim; ++k) p += at[k] * PyArray_STRIDES(a)[k];
    Ref item(PyArray_GETITEM(a, p));
    if (!item) return item;
    const char kind = PyArray_DESCR(a)->kind;
    if (kind == 'M' || kind == 'm') {
        Ref scalar(PyArray_Scalar(p, PyArray_DESCR(a), in.shown.get()));
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
inline PyObject* raise_refusal(const Input& in, const char* name, const Axis& axis, std::size_t index, Refusal why) noexcept {
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
    QuerySource one = in.src;
    one.mask = nullptr;
    K key{};
    prepared::gather<K>(one, index, index + 1, &key, nullptr);
    return key;
}

// ---------------------------------------------------------------------------
// The sample axes of a new table: Table(xp, fp).
// ---------------------------------------------------------------------------

// An axis as its argument's dtype makes it: `storage` and the plain
// descriptor unless the argument holds times, which keep their dtype.
inline bool make_axis(PyObject* array, const char* name, const char* storage, PyArray_Descr* plain, Axis& axis) noexcept {
    axis.name = name;
    axis.storage = storage;
    PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array));
    axis.time = time_kind(descr->kind);
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

// The argument as an array (NumPy's conversion for array-likes), for its
// dtype to decide the axis.
inline Ref as_array(PyObject* obj, const char* name) noexcept {
    if (PyArray_Check(obj)) return Ref::borrow(obj);
    Ref a(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
    if (!a) {
        const bool value = PyErr_ExceptionMatches(PyExc_ValueError);
        if (!value && !PyErr_ExceptionMatches(PyExc_TypeError)) return a;
        PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
        PyErr_Fetch(&t, &v, &tb);
        Ref cause_type(t), cause(v), cause_tb(tb);
        fail(value ? invalid_value_type : invalid_type_type, msg::not_an_array, name, cause ? cause.get() : Py_None);
    }
    return a;
}

// Whether samples make a float table: a float dtype, or Python floats
// among objects.
inline bool holds_floats(PyArrayObject* a) noexcept {
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

// A sample axis: one-dimensional, nothing masked, every element converted.
template <class K>
bool read_samples(PyObject* obj, const char* name, const Axis& axis, bool float_values, Input& in) noexcept {
    if (!read_input<K>(obj, name, axis, float_values, in)) return false;
    if (in.wrong_type) return PyErr_SetObject(invalid_type_type, in.wrong_type.get()), false;  // nothing to evaluate
    if (in.scalar || in.ndim != 1) {
        Ref shape = in.shown ? Ref(PyObject_GetAttrString(in.shown.get(), "shape")) : Ref(PyTuple_New(0));
        return shape && fail(invalid_value_type, msg::not_1d, name, shape.get());
    }
    if (in.mask) {
        const auto* m = in.src.mask;
        for (std::size_t i = 0; i < in.src.size; ++i) {
            if (m[static_cast<std::ptrdiff_t>(i) * in.src.mask_stride] != 0) {
                return fail(invalid_value_type, msg::masked_samples, name), false;
            }
        }
        in.src.mask = nullptr;
    }
    return true;
}

// Converted copy of a sample axis; false with the refusal raised.
template <class K>
bool copy_samples(const Input& in, const char* name, const Axis& axis, Buffer<K>& out) noexcept {
    out = Buffer<K>::uninitialised(static_cast<std::size_t>(in.dims[0]));
    if (!out.ok()) return PyErr_NoMemory(), false;
    const prepared::Gathered g = prepared::gather<K>(in.src, 0, in.src.size, out.data(), nullptr);
    if (g.refusal != Refusal::None) return raise_refusal(in, name, axis, g.refused_at, g.refusal), false;
    if (in.cut_short()) return raise_cut_short(in, name, axis);
    return true;
}

}  // namespace quorvane::table
