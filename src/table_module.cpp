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
// Hand-written binding on the CPython C API (which PyPy's cpyext also
// provides); no C++ exception crosses into Python: nothing below throws.

#include "host.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sched.h>
#endif

#include "arrays.hpp"
#include "batch.hpp"
#include "convert.hpp"
#include "digest.hpp"
#include "extended.hpp"
#include "method.hpp"
#include "piecewise.hpp"
#include "prepared.hpp"
#include "schemes.hpp"
#include "schemes_float.hpp"
#include "schemes_int.hpp"

namespace quorvane {
namespace {

using host::Ref;
using u64 = std::uint64_t;
using i64 = std::int64_t;

// ---------------------------------------------------------------------------
// Every message, defined once.  %U is a str, %S the str() of an object.
// ---------------------------------------------------------------------------
namespace msg {
// binding
constexpr const char* too_many_positional = "%s takes at most %d positional argument%s but %zd were given";
constexpr const char* missing = "%s missing required argument '%s'";
// options
constexpr const char* bad_method = "method must be None, 'nearest', 'ffill' or 'bfill', not %R";
constexpr const char* method_type = "method must be None or a str, not %U";
constexpr const char* bad_outside = "outside must be 'raise', 'clamp' or a fill value, not %R";
constexpr const char* outside_shape = "outside must be 'raise', 'clamp' or a single fill value, not an array of shape %S";
constexpr const char* masked_fill = "outside must be 'raise', 'clamp' or a fill value, not a masked value";
constexpr const char* workers_type = "workers must be an int, not %U";
constexpr const char* bad_workers = "workers must be a positive number of threads or -1 (all CPUs), not %S";
// conversion of arguments
constexpr const char* not_an_array = "%s could not be read as an array: %S";
constexpr const char* expected = "%s: expected %s, got %U";
constexpr const char* expected_element = "%U: expected %s, got %U";
constexpr const char* expected_time = "%s: expected %S values (the table's %s axis), got %U";
constexpr const char* unit_without_length = "%s: %U has no fixed length; convert to a unit such as 's' or 'ns' first";
constexpr const char* not_1d = "%s must be one-dimensional, got shape %S";
constexpr const char* masked_samples = "%s has masked elements; a table needs every sample";
constexpr const char* not_a_base = "%s: quorvane.Table is not a base type";
constexpr const char* lengths = "xp and fp must have the same length, got len(xp) = %zd and len(fp) = %zd";
constexpr const char* negative = "%U = %S is negative; coordinates are uint64";
constexpr const char* too_large = "%U = %S does not fit %s";
constexpr const char* inexact = "%U = %S has no exact float64 value";
constexpr const char* not_a_time = "%U is NaT";
constexpr const char* not_whole = "%U = %S is not a whole number of the table's unit (%U)";
constexpr const char* coordinate_range = "%U = %S is at a coordinate beyond the range of the table's unit (%U)";
constexpr const char* time_range = "%U = %S is beyond the range of the table's unit (%U)";
// lookups
constexpr const char* outside_table = "%U = %S is outside the table [%S, %S]";
constexpr const char* outside_empty = "%U = %S is outside the table, which is empty";
constexpr const char* clamps_only_above = "%U = %S is outside the table [%S, %S]; method='ffill' extends it only above";
constexpr const char* clamps_only_below = "%U = %S is outside the table [%S, %S]; method='bfill' extends it only below";
constexpr const char* not_found =
    "%U = %S falls between fp[%zd] = %S and fp[%zd] = %S, at a coordinate that is not whole; "
    "method='nearest', 'ffill' or 'bfill' picks one";
constexpr const char* not_increasing = "%s must be strictly increasing for %s queries, but %s[%zd] = %S follows %s[%zd] = %S";
constexpr const char* not_a_number = "%U = %S is not a number";
constexpr const char* nan_sample = "%U = %S cannot be looked up: the only sample, fp[0], is nan";
constexpr const char* not_finite = "%U = %S falls between %s[%zd] = %S and %s[%zd] = %S, and fp[%zd] = %S is not finite";
// the type
constexpr const char* repr = "Table(%zd samples, xp %U %S, fp %U %S)";
constexpr const char* repr_empty = "Table(0 samples, xp %U, fp %U)";
constexpr const char* range = "[%S, %S]";
constexpr const char* restore_args = "_restore() takes 4 arguments (%zd given)";
constexpr const char* restore_dtype_type = "_restore(): %s's dtype must be a numpy.dtype, not %U";
constexpr const char* restore_dtype = "_restore(): %s's dtype must be %s, not %S";
constexpr const char* restore_storage = "_restore(): %s must be an array of %s, not %s%U";
}  // namespace msg

// ---------------------------------------------------------------------------
// Docstrings.
// ---------------------------------------------------------------------------
namespace doc {
constexpr const char* module = "Native part of quorvane: the prepared table and its exceptions.";
constexpr const char* table =
    "Table(xp, fp)\n--\n\n"
    "A piecewise-linear table between uint64 coordinates xp and int64 or float64\n"
    "values fp, copied and checked once, then queried any number of times, from\n"
    "any number of threads, in either direction.\n\n"
    "xp: coordinates, 1-D: any integer dtype or Python ints from 0 to 2**64 - 1,\n"
    "    or datetime64/timedelta64 (not before the epoch, no NaT).\n"
    "fp: values, 1-D, as many as xp: integers that fit int64 make an integer\n"
    "    table; float16/32/64 a float table; datetime64/timedelta64 (no NaT) an\n"
    "    integer table whose values keep their unit.\n\n"
    "forward() needs xp strictly increasing, inverse() fp strictly increasing;\n"
    "a table whose fp is not increasing still answers forward queries (the\n"
    "error comes from the first query in the direction that needs it).\n"
    "Answers are those of quorvane.forward_int / forward_float / inverse_int /\n"
    "inverse_float on the same arrays, bit for bit.\n\n"
    "Raises InvalidTypeError (a TypeError) for arguments of the wrong kind,\n"
    "InvalidValueError (a ValueError) for elements that do not convert exactly,\n"
    "arrays that are not 1-D and lengths that differ.";
constexpr const char* forward =
    "forward($self, x, *, outside='raise', workers=1)\n--\n\n"
    "The value at every coordinate of x.\n\n"
    "x: a scalar or an array-like of any shape and any memory layout: integers\n"
    "   (any dtype, or Python ints) from 0 to 2**64 - 1, or datetime64/\n"
    "   timedelta64 when xp is one (converted to xp's unit only when exact).\n"
    "   A masked array keeps its mask: masked queries are not evaluated.\n"
    "outside: for a coordinate below xp[0] or above xp[-1]: 'raise' (the\n"
    "   default: OutOfBoundsError), 'clamp' (fp[0] below, fp[-1] above, as\n"
    "   numpy.interp does), or a fill value of fp's type (e.g. numpy.nan).\n"
    "workers: threads to split a large batch across; -1 uses every CPU.\n\n"
    "Returns an array of fp's dtype and x's shape (C order), or a scalar for a\n"
    "scalar x; for a dask array, a lazy dask array of the same chunks (an error\n"
    "in a block names its query's index in the whole array); for an xarray\n"
    "DataArray, a DataArray of the same dims, coords and name.\n"
    "The first query in index order that has no answer raises:\n"
    "OutOfBoundsError (IndexError), NotIncreasingError (xp not strictly\n"
    "increasing), NonFiniteError (a NaN or infinite sample next to x), or\n"
    "InvalidValueError (x does not convert exactly).  Messages name the\n"
    "query's index and value.";
constexpr const char* inverse =
    "inverse($self, f, method=None, *, workers=1)\n--\n\n"
    "The coordinate at which the table takes every value of f.\n\n"
    "f: a scalar or an array-like of any shape: values of fp's kind (floats,\n"
    "   or integers that float64 holds exactly, for a float table; integers\n"
    "   for an integer table; datetime64/timedelta64 when fp is one).  A\n"
    "   masked array keeps its mask.\n"
    "method: None (only exact whole coordinates; values outside the table\n"
    "   raise), 'nearest' (round half to even; clamps on both sides), 'ffill'\n"
    "   (floor; clamps above), 'bfill' (ceiling; clamps below).\n"
    "workers: threads to split a large batch across; -1 uses every CPU.\n\n"
    "Returns an array of xp's dtype and f's shape, or a scalar for a scalar f\n"
    "(a lazy dask array for a dask array, a DataArray for a DataArray).\n"
    "The first query in index order that has no answer raises: OutOfBoundsError\n"
    "(IndexError and KeyError), NotFoundError (KeyError: the coordinate is not\n"
    "whole and method is None), NotIncreasingError, NonFiniteError (a NaN query,\n"
    "or an infinite sample next to it) or InvalidValueError.";
constexpr const char* xp = "The coordinates, as a read-only array (uint64, or xp's datetime64/timedelta64 dtype).";
constexpr const char* fp = "The values, as a read-only array (int64, float64, or fp's datetime64/timedelta64 dtype).";
constexpr const char* reduce =
    "Pickles as the storage of xp and fp with their dtypes (with protocol 5, two\n"
    "out-of-band buffers): the table is checked again where it is loaded.";
constexpr const char* copy = "A Table is immutable: its copy is itself.";
constexpr const char* tokenize =
    "The table's identity for dask: its dtypes, length and a 128-bit hash of\n"
    "each axis's content, computed by the first call and kept (a table never\n"
    "changes).  Equal tables give equal tokens.";
constexpr const char* error = "Base class of the errors that quorvane.Table raises.";
constexpr const char* out_of_bounds =
    "A query outside the table, or any query on an empty table (forward without outside=,\n"
    "or inverse on a side that method does not extend).  Both an IndexError (as the\n"
    "forward functions raise) and a KeyError (as the inverse functions raise).";
constexpr const char* not_found = "An inverse query whose coordinate is not whole, with method=None.  A KeyError.";
constexpr const char* not_increasing = "The axis a query searches is not strictly increasing.  A ValueError.";
constexpr const char* non_finite =
    "A NaN query value, or a NaN or infinite sample next to the segment a query falls in.  A ValueError.";
constexpr const char* invalid_value =
    "An argument of the right kind whose value is not accepted: an element that does not\n"
    "convert exactly to the table's axis (negative, too large, NaN in an integer axis, NaT,\n"
    "a time not whole in the table's unit), an array of the wrong shape, lengths that\n"
    "differ, an unknown option.  A ValueError.";
constexpr const char* invalid_type =
    "An argument of the wrong kind: a dtype the axis does not accept (floats for an integer\n"
    "axis, datetime64 for an axis without a unit, ...), or a call that does not bind.  A TypeError.";
}  // namespace doc

// ---------------------------------------------------------------------------
// Process-wide state, made by the module's initialisation (or on first need)
// under the interpreter lock.
// ---------------------------------------------------------------------------
PyObject* the_module = nullptr;
PyTypeObject* table_type = nullptr;
PyObject* error_type = nullptr;
PyObject* out_of_bounds_type = nullptr;
PyObject* not_found_type = nullptr;
PyObject* not_increasing_type = nullptr;
PyObject* non_finite_type = nullptr;
PyObject* invalid_value_type = nullptr;
PyObject* invalid_type_type = nullptr;
PyObject* masked_array_type = nullptr;  // numpy.ma.MaskedArray, imported on first need
PyObject* masked_constant = nullptr;    // numpy.ma.masked
PyObject* getmaskarray = nullptr;       // numpy.ma.getmaskarray
PyArray_Descr* result_u64 = nullptr;    // np.uint64, np.int64, np.float64: the results' dtypes
PyArray_Descr* result_i64 = nullptr;
PyArray_Descr* result_f64 = nullptr;
Faults faults;  // injected by tests through _inject_faults

bool load_numpy() noexcept {
    if (!host::load_numpy()) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "NumPy's C API is not available");
        return false;
    }
    if (result_u64 == nullptr) {
        result_u64 = PyArray_DescrFromType(NPY_UINT64);
        result_i64 = PyArray_DescrFromType(NPY_INT64);
        result_f64 = PyArray_DescrFromType(NPY_FLOAT64);
    }
    return result_u64 != nullptr && result_i64 != nullptr && result_f64 != nullptr;
}

bool load_numpy_ma() noexcept {
    if (getmaskarray != nullptr) return true;
    Ref ma(PyImport_ImportModule("numpy.ma"));
    if (!ma) return false;
    Ref type(PyObject_GetAttrString(ma.get(), "MaskedArray"));
    Ref masked(PyObject_GetAttrString(ma.get(), "masked"));
    Ref get(PyObject_GetAttrString(ma.get(), "getmaskarray"));
    if (!type || !masked || !get) return false;
    masked_array_type = type.release();
    masked_constant = masked.release();
    getmaskarray = get.release();
    return true;
}

// What fail() gives: a failure in whichever form the caller returns one,
// a null object or false.
struct Raised {
    operator PyObject*() const noexcept { return nullptr; }
    operator bool() const noexcept { return false; }
};

// Raise `type` with a message made by PyUnicode_FromFormat.
template <class... Args>
Raised fail(PyObject* type, const char* format, Args... args) noexcept {
    Ref text(PyUnicode_FromFormat(format, args...));
    if (text) PyErr_SetObject(type, text.get());
    return {};
}

// ---------------------------------------------------------------------------
// Axes.  Every table has a coordinate axis (u64) and a value axis (i64 or
// f64); either may carry a time unit, which its queries and answers keep.
// ---------------------------------------------------------------------------
enum class TimeKind : std::uint8_t { None, Datetime, Timedelta };

struct Axis {
    const char* name = "xp";     // "xp" or "fp", for messages
    const char* storage = "uint64";  // the element type without unit
    TimeKind time = TimeKind::None;
    u128 attoseconds = 0;     // length of the unit, for time axes
    PyArray_Descr* descr = nullptr;  // owned: the dtype of the axis's arrays and answers
};

// Length of NumPy's fixed time units in attoseconds; 0 for the units of
// no fixed length (years, months) and the generic unit.
u128 unit_attoseconds(NPY_DATETIMEUNIT unit) noexcept {
    constexpr u128 second = 1000000000000000000ULL;
    switch (unit) {
        case NPY_FR_W: return second * 604800;
        case NPY_FR_D: return second * 86400;
        case NPY_FR_h: return second * 3600;
        case NPY_FR_m: return second * 60;
        case NPY_FR_s: return second;
        case NPY_FR_ms: return second / 1000;
        case NPY_FR_us: return second / 1000000;
        case NPY_FR_ns: return second / 1000000000;
        case NPY_FR_ps: return 1000000;
        case NPY_FR_fs: return 1000;
        case NPY_FR_as: return 1;
        default: return 0;
    }
}

// The unit of a datetime64/timedelta64 descriptor, in attoseconds (0: none).
u128 descr_attoseconds(PyArray_Descr* descr) noexcept {
    auto* meta = reinterpret_cast<PyArray_DatetimeDTypeMetaData*>(PyDataType_C_METADATA(descr));
    if (meta == nullptr) return 0;
    return unit_attoseconds(meta->meta.base) * static_cast<u128>(meta->meta.num > 0 ? meta->meta.num : 0);
}

// Whether a datetime64/timedelta64 descriptor has the generic unit, which
// only NaT has (np.datetime64('NaT')).
bool descr_is_generic(PyArray_Descr* descr) noexcept {
    auto* meta = reinterpret_cast<PyArray_DatetimeDTypeMetaData*>(PyDataType_C_METADATA(descr));
    return meta != nullptr && meta->meta.base == NPY_FR_GENERIC;
}

// Whether every element of a time array (native order, 8 bytes) is NaT.
bool only_not_a_time(PyArrayObject* a) noexcept {
    Ref flat(PyArray_NewCopy(a, NPY_CORDER));
    if (!flat) {
        PyErr_Clear();
        return false;
    }
    const auto* v = static_cast<const i64*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(flat.get())));
    return std::all_of(v, v + PyArray_SIZE(a), [](i64 c) { return c == not_a_time; });
}

// The time kind of a dtype kind character.
TimeKind time_kind(char kind) noexcept {
    return kind == 'M' ? TimeKind::Datetime : kind == 'm' ? TimeKind::Timedelta : TimeKind::None;
}

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
bool c_order_stride(PyArrayObject* a, std::ptrdiff_t& stride) noexcept {
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
bool readable(Ref& array, std::ptrdiff_t& stride) noexcept {
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (c_order_stride(a, stride)) return true;
    Ref copy(PyArray_NewCopy(a, NPY_CORDER));
    if (!copy) return false;
    array = std::move(copy);
    return c_order_stride(reinterpret_cast<PyArrayObject*>(array.get()), stride);
}

// The element type of a dtype's kind and size, if a batch can read it.
bool elem_of(char kind, int size, Elem& elem) noexcept {
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
const char* accepted(const Axis& axis, bool float_values) noexcept {
    if (axis.name[0] == 'x') return "integers from 0 to 2**64 - 1 (the table's xp is uint64)";
    if (float_values) return "real numbers (floats, or integers that float64 holds exactly; the table's fp is float64)";
    return "integers that fit int64 (the table's fp is int64)";
}

Ref dtype_name(PyArrayObject* a) noexcept { return Ref(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a)))); }

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
Ref shown_index(const Input& in, const char* name, std::size_t index) noexcept {
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
Ref shown_element(const Input& in, std::size_t index) noexcept {
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
    PyObject* token;         // __dask_tokenize__'s answer, made by its first call
    PyObject* owner;         // what holds the samples of a table that reads them in place (Adopted)
    PyObject* weakrefs;      // a table may be weakly referenced (by a cache of what was sent where)
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

// The refusal of element `index` of an argument as an error.
PyObject* raise_refusal(const Input& in, const char* name, const Axis& axis, std::size_t index, Refusal why) noexcept {
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
Raised raise_cut_short(const Input& in, const char* name, const Axis& axis) noexcept {
    if (in.wrong_type) {
        PyErr_SetObject(invalid_type_type, in.wrong_type.get());
    } else {
        raise_refusal(in, name, axis, in.refused_at, in.refusal);
    }
    return {};
}

// The first descent of an axis: k >= 1 with !(a[k-1] < a[k]).
template <class T>
std::size_t first_descent(const T* a, std::size_t n) noexcept {
    for (std::size_t k = 1; k < n; ++k) {
        if (!Order<T>::less(a[k - 1], a[k])) return k;
    }
    return n;
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

// A lookup failure of query `index` as an error; K is the searched axis's
// type, so the forward direction has K = u64.
template <class F, bool inverse>
PyObject* raise_lookup(TableObject* t, const Input& in, const char* name, std::size_t index, Status status,
                            Method method) noexcept {
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

// workers: 1 by default, -1 for every CPU the process may run on.
bool parse_workers(PyObject* obj, unsigned& workers) noexcept {
    workers = 1;
    if (obj == nullptr) return true;
    if (PyBool_Check(obj) || !PyLong_Check(obj)) {
        Ref type = host::type_name(obj);
        return type && fail(invalid_type_type, msg::workers_type, type.get());
    }
    int overflow = 0;
    const long long w = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (w == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || w == 0 || w < -1) return fail(invalid_value_type, msg::bad_workers, obj), false;
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

bool parse_method(PyObject* obj, Method& method) noexcept {
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
bool parse_outside(TableObject* t, PyObject* obj, Outside<F>& outside) noexcept {
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
    if (!read_input<F>(obj, "outside", t->f, std::is_same_v<F, double>, in)) return false;
    if (in.wrong_type) return PyErr_SetObject(invalid_type_type, in.wrong_type.get()), false;
    if (!in.scalar && in.ndim != 0) {
        Ref shape(PyObject_GetAttrString(in.shown.get(), "shape"));
        return shape && fail(invalid_value_type, msg::outside_shape, shape.get());
    }
    // A masked element is no value at all; an unmasked one is its value.
    if (in.src.mask != nullptr && in.src.mask[0] != 0) return fail(invalid_value_type, msg::masked_fill), false;
    if (in.src.time && in.src.size == 1 && prepared::read<i64>(in.src.data) == not_a_time) {
        outside.fill = static_cast<F>(not_a_time);
        outside.mode = Mode::Fill;
        return true;
    }
    const prepared::Gathered g = prepared::gather<F>(in.src, 0, in.src.size, &outside.fill, nullptr);
    const Refusal why = in.refusal != Refusal::None ? in.refusal : g.refusal;
    if (why != Refusal::None) return raise_refusal(in, "outside", t->f, 0, why), false;
    outside.mode = Mode::Fill;
    return true;
}

// ---------------------------------------------------------------------------
// Evaluation: the batch runs without the GIL once it is large enough to
// pay for releasing it, polling for signals about every 2^20 queries.
// ---------------------------------------------------------------------------
inline constexpr std::size_t release_from = 8192;

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

template <class Run>
Verdict evaluate(const Input& in, unsigned workers, Run&& run) noexcept {
    Execution exec;
    exec.workers = workers;
    exec.faults = &faults;
    if (in.src.size < release_from && workers <= 1) return run(exec);
    Polling polling{nullptr};
    exec.poll = poll_signals;
    exec.poll_context = &polling;
    polling.state = PyEval_SaveThread();
    const Verdict v = run(exec);
    PyEval_RestoreThread(polling.state);
    return v;
}

// The answer as the caller gets it: a scalar for a scalar query (numpy's
// masked constant if it was masked), an array of the query's shape, masked
// where the query was.
PyObject* hand_over(const Input& in, Ref result, PyArray_Descr* descr, const void* scalar_storage) noexcept {
    if (in.scalar || in.ndim == 0) {
        if (in.mask && in.src.mask[0] != 0) {
            Py_INCREF(masked_constant);
            return masked_constant;
        }
        return PyArray_Scalar(const_cast<void*>(scalar_storage), descr, nullptr);
    }
    if (!in.mask) return result.release();
    Ref mask(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(in.mask.get()), NPY_CORDER));
    if (!mask) return nullptr;
    Ref args(PyTuple_Pack(1, result.get()));
    Ref kwargs(Py_BuildValue("{s:O}", "mask", mask.get()));
    if (!args || !kwargs) return nullptr;
    return PyObject_Call(masked_array_type, args.get(), kwargs.get());
}

// The result array for the query's shape (zeros where masked), or the
// scalar storage: out points at the first answer.
template <class R>
bool make_result(const Input& in, PyArray_Descr* descr, Ref& result, R& scalar_storage, R*& out) noexcept {
    if (in.scalar || in.ndim == 0) {
        out = &scalar_storage;
        return true;
    }
    Py_INCREF(descr);  // stolen
    npy_intp dims[NPY_MAXDIMS];
    std::copy(in.dims, in.dims + in.ndim, dims);
    result = Ref(in.mask ? PyArray_Zeros(in.ndim, dims, descr, 0)
                         : PyArray_NewFromDescr(&PyArray_Type, descr, in.ndim, dims, nullptr, nullptr, 0, nullptr));
    if (!result) return false;
    out = static_cast<R*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    return true;
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
            const std::size_t answered =
                v.failed() ? v.index : in.cut_short() ? in.refused_at : in.src.size;
            for (std::size_t i = 0; i < answered && i < in.src.size; ++i) {
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
    if (!parse_outside<F>(t, bound[1], outside) || !parse_workers(bound[2], workers)) return nullptr;
    Input in;
    if (!read_input<u64>(bound[0], "x", t->x, std::is_same_v<F, double>, in)) return nullptr;
    Ref result;
    F storage{};
    F* out = nullptr;
    if (!make_result(in, t->f.descr, result, storage, out)) return nullptr;
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(t));  // alive while the GIL is released
    const Prepared<F>* p = prepared_of<F>(t);
    const Verdict v = evaluate(in, workers, [&](const Execution& exec) { return p->forward(in.src, outside, out, exec); });
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
    const Verdict v = evaluate(in, workers, [&](const Execution& exec) { return p->inverse(in.src, method, out, exec); });
    return conclude<F, true>(t, in, "f", v, method, std::move(result), t->x.descr, &storage);
}

// ---------------------------------------------------------------------------
// Queries answered in kind.  A query whose type has __dask_graph__ (a dask
// collection, or an xarray DataArray, which has it with or without dask)
// goes to quorvane._scale, imported on first need: a dask array gives a lazy
// dask array, a DataArray a DataArray.  It declines (NotImplemented) any
// other kind, which is then read as every query is.
// ---------------------------------------------------------------------------
PyObject* dask_graph_name = nullptr;  // "__dask_graph__", made by the module's initialisation
PyObject* scale_answer = nullptr;     // quorvane._scale.answer, imported on first need

// Whether the query may be answered in kind; the common queries never are.
bool maybe_in_kind(PyObject* obj) noexcept {
    if (PyArray_Check(obj) || PyLong_Check(obj) || PyFloat_Check(obj) || PyList_CheckExact(obj) ||
        PyTuple_CheckExact(obj) || PyArray_IsScalar(obj, Generic)) {
        return false;
    }
    return PyObject_HasAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), dask_graph_name) == 1;
}

// quorvane._scale.answer(table, direction, query, {option: value, "workers": workers}),
// with only the options given: the answer, NotImplemented, or nullptr with
// an exception.
PyObject* in_kind(PyObject* self, const char* direction, PyObject* query, const char* option, PyObject* value,
                  PyObject* workers) noexcept {
    if (scale_answer == nullptr) {
        Ref module(PyImport_ImportModule("quorvane._scale"));
        if (!module) return nullptr;
        scale_answer = PyObject_GetAttrString(module.get(), "answer");
        if (scale_answer == nullptr) return nullptr;
    }
    Ref options(PyDict_New());
    if (!options) return nullptr;
    if (value != nullptr && PyDict_SetItemString(options.get(), option, value) < 0) return nullptr;
    if (workers != nullptr && PyDict_SetItemString(options.get(), "workers", workers) < 0) return nullptr;
    Ref name(PyUnicode_FromString(direction));
    if (!name) return nullptr;
    return PyObject_CallFunctionObjArgs(scale_answer, self, name.get(), query, options.get(), nullptr);
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

// An axis as its argument's dtype makes it: `storage` and the plain
// descriptor unless the argument holds times, which keep their dtype.
bool make_axis(PyObject* array, const char* name, const char* storage, PyArray_Descr* plain, Axis& axis) noexcept {
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
Ref as_array(PyObject* obj, const char* name) noexcept {
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
bool holds_floats(PyArrayObject* a) noexcept {
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

// Samples that a table reads in place instead of copying them: the storage
// of both axes (uint64, and int64 or float64), checked to convert as they
// are, in memory that never changes (immutable_memory), which the arrays
// `x_array` and `f_array` hold.  Only an unpickled table is made so.
struct Adopted {
    PyObject* x_array = nullptr;
    PyObject* f_array = nullptr;
    const void* x = nullptr;
    const void* f = nullptr;
};

template <class F>
Prepared<F>* prepare(const Input& xin, const Input& fin, const Axis& x, const Axis& f,
                     const Adopted* adopted) noexcept {
    std::optional<Interp<u64, F>> table;
    if (adopted != nullptr) {
        // Checked as a copy is (the order flags), without the copy.
        const auto n = static_cast<std::size_t>(xin.dims[0]);
        table.emplace(Buffer<u64>::borrowed(static_cast<const u64*>(adopted->x), n),
                      Buffer<F>::borrowed(static_cast<const F*>(adopted->f), n));
    } else if (prepared::in_place<u64>(xin.src) && prepared::in_place<F>(fin.src) && !xin.cut_short() &&
        !fin.cut_short()) {
        // Copied and checked in one pass, as the functions do.
        const StridedView<u64> xv{xin.src.data, static_cast<std::ptrdiff_t>(xin.src.size), xin.src.stride};
        const StridedView<F> fv{fin.src.data, static_cast<std::ptrdiff_t>(fin.src.size), fin.src.stride};
        if (Interp<u64, F>::from_views(xv, fv, table) != Interp<u64, F>::Build::Ok) return PyErr_NoMemory(), nullptr;
    } else {
        Buffer<u64> xb;
        Buffer<F> fb;
        if (!copy_samples(xin, "xp", x, xb) || !copy_samples(fin, "fp", f, fb)) return nullptr;
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
    // The table holds its samples either way; adopted ones are the
    // interpreter's memory already.
    const std::size_t samples = p->table().size() * (sizeof(u64) + sizeof(F));
    t->tracked = sizeof(Prepared<F>) + samples + p->summary_bytes();
    host::track(p, t->tracked - (adopted != nullptr ? samples : 0));
    return true;
}

// Table(xp, fp), reading the samples in place when `adopted` says where.
PyObject* construct(PyTypeObject* type, PyObject* xp_obj, PyObject* fp_obj, const Adopted* adopted) noexcept {
    if (!load_numpy()) return nullptr;
    Ref xa = as_array(xp_obj, "xp");
    if (!xa) return nullptr;
    Ref fa = as_array(fp_obj, "fp");
    if (!fa) return nullptr;
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    TableObject* t = as_table(self.get());
    t->ints = nullptr;
    t->floats = nullptr;
    t->tracked = 0;
    t->token = nullptr;
    t->owner = nullptr;
    t->weakrefs = nullptr;
    t->x = Axis{};
    t->f = Axis{};
    const bool float_values = holds_floats(reinterpret_cast<PyArrayObject*>(fa.get()));
    if (!make_axis(xa.get(), "xp", "uint64", result_u64, t->x)) return nullptr;
    if (!make_axis(fa.get(), "fp", float_values ? "float64" : "int64", float_values ? result_f64 : result_i64, t->f)) {
        return nullptr;
    }
    Input xin, fin;
    if (!read_samples<u64>(xp_obj, "xp", t->x, float_values, xin)) return nullptr;
    const bool read = float_values ? read_samples<double>(fp_obj, "fp", t->f, true, fin)
                                   : read_samples<i64>(fp_obj, "fp", t->f, false, fin);
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
    static const char* names[] = {"xp", "fp", nullptr};
    PyObject* xp_obj = nullptr;
    PyObject* fp_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Table", const_cast<char**>(names), &xp_obj, &fp_obj)) {
        // The interpreter's message, as the module's own TypeError.
        PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
        PyErr_Fetch(&t, &v, &tb);
        Ref cause_type(t), cause(v), cause_tb(tb);
        return fail(invalid_type_type, "%S", cause ? cause.get() : Py_None);
    }
    if (type != table_type) {  // PyPy lets a class derive from it all the same
        return fail(invalid_type_type, msg::not_a_base, type->tp_name);
    }
    return construct(type, xp_obj, fp_obj, nullptr);
}

// ---------------------------------------------------------------------------
// Pickling.  A table pickles as _restore(xp, fp, xp's dtype, fp's dtype),
// the axes as their storage (uint64, and int64 or float64: arrays that
// protocol 5 hands over as two out-of-band buffers, time axes included).
// _restore checks what it gets as Table(xp, fp) does (a tampered pickle is
// refused as such arguments are), and reads the samples in place where
// nothing can change them: in memory owned by bytes objects (what a pickle
// loaded in band makes, or buffers passed as bytes) or by a Table (buffers
// taken from a table in this process).
// ---------------------------------------------------------------------------

// Whether an array's elements sit in memory that nothing can change while
// the array lives: every array on the way to the memory's owner is
// read-only (through bases, memoryviews and other exporters), and the owner
// is a bytes object or a Table.
bool immutable_memory(PyObject* obj) noexcept {
    Ref at = Ref::borrow(obj);
    for (int depth = 0; depth < 64; ++depth) {
        PyObject* o = at.get();
        if (PyBytes_CheckExact(o) || Py_TYPE(o) == table_type) return true;
        if (PyArray_Check(o)) {
            auto* a = reinterpret_cast<PyArrayObject*>(o);
            if (PyArray_ISWRITEABLE(a) || PyArray_BASE(a) == nullptr) return false;
            at = Ref::borrow(PyArray_BASE(a));
        } else if (PyMemoryView_Check(o)) {
            Ref under(PyObject_GetAttrString(o, "obj"));
            if (!under) {
                PyErr_Clear();
                return false;
            }
            at = std::move(under);
        } else {
            // Another exporter (a pickle.PickleBuffer, which PyPy's pickle
            // hands over as it is) leads on to what it exports.
            Ref view(PyMemoryView_FromObject(o));
            Ref under(view ? PyObject_GetAttrString(view.get(), "obj") : nullptr);
            if (!under || under.get() == o) {
                PyErr_Clear();
                return false;
            }
            at = std::move(under);
        }
    }
    return false;
}

// An axis's storage viewed as its dtype: `descr` must be one of `kinds`,
// 8 bytes wide in native order, and `raw` an array of the storage type;
// else InvalidTypeError.
template <class Storage>
Ref storage_view(PyObject* raw, PyObject* descr_obj, const char* name, const char* kinds,
                 const char* expected_dtypes) noexcept {
    if (!PyArray_DescrCheck(descr_obj)) {
        Ref type = host::type_name(descr_obj);
        if (type) fail(invalid_type_type, msg::restore_dtype_type, name, type.get());
        return Ref();
    }
    auto* descr = reinterpret_cast<PyArray_Descr*>(descr_obj);
    if (std::strchr(kinds, descr->kind) == nullptr || descr->kind == '\0' || PyDataType_ELSIZE(descr) != 8 ||
        !PyArray_ISNBO(descr->byteorder)) {
        fail(invalid_type_type, msg::restore_dtype, name, expected_dtypes, descr_obj);
        return Ref();
    }
    if (!PyArray_CheckExact(raw) ||
        !host::holds_element_type<Storage>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(raw)))) {
        const bool array = PyArray_Check(raw);
        Ref type = array ? dtype_name(reinterpret_cast<PyArrayObject*>(raw)) : host::type_name(raw);
        constexpr const char* storage = std::is_same_v<Storage, u64> ? "uint64" : std::is_same_v<Storage, i64> ? "int64" : "float64";
        if (type) fail(invalid_type_type, msg::restore_storage, name, storage, array ? "an array of " : "", type.get());
        return Ref();
    }
    Py_INCREF(descr);  // stolen
    return Ref(PyArray_View(reinterpret_cast<PyArrayObject*>(raw), descr, nullptr));
}

// Whether a raw storage array may be read in place: one-dimensional,
// contiguous, aligned, of the storage type, in memory that never changes;
// time values also as they would convert (counts from 0 for coordinates,
// no NaT).
template <class Storage>
bool adoptable(PyObject* raw, PyObject* descr_obj, bool coordinates, npy_intp& n) noexcept {
    if (!PyArray_CheckExact(raw)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(raw);
    if (PyArray_NDIM(a) != 1 || !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a) ||
        !host::holds_element_type<Storage>(PyArray_DESCR(a)) || !immutable_memory(raw)) {
        return false;
    }
    n = PyArray_DIM(a, 0);
    const char kind = reinterpret_cast<PyArray_Descr*>(descr_obj)->kind;
    if (kind == 'M' || kind == 'm') {
        const auto* v = static_cast<const i64*>(PyArray_DATA(a));
        const bool converts = coordinates ? std::none_of(v, v + n, [](i64 c) { return c < 0; })
                                          : std::none_of(v, v + n, [](i64 c) { return c == not_a_time; });
        if (!converts) return false;
    }
    return true;
}

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
    return construct(table_type, xv.get(), fv.get(), in_place ? &adopted : nullptr);
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

// "[lo, hi]": the smallest and largest element of an axis (NaNs aside).
template <class T>
Ref axis_range(const Axis& axis, const T* a, std::size_t n) noexcept {
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

template <class F>
PyObject* repr_of(TableObject* t, const Prepared<F>& p) noexcept {
    const auto& table = p.table();
    const std::size_t n = table.size();
    Ref xname(PyObject_Str(reinterpret_cast<PyObject*>(t->x.descr)));
    Ref fname(PyObject_Str(reinterpret_cast<PyObject*>(t->f.descr)));
    if (!xname || !fname) return nullptr;
    if (n == 0) return PyUnicode_FromFormat(msg::repr_empty, xname.get(), fname.get());
    Ref xr = axis_range(t->x, table.coordinates(), n);
    Ref fr = axis_range(t->f, table.values(), n);
    if (!xr || !fr) return nullptr;
    return PyUnicode_FromFormat(msg::repr, static_cast<Py_ssize_t>(n), xname.get(), xr.get(), fname.get(), fr.get());
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

// __dask_tokenize__: ("quorvane.Table", xp's dtype, fp's dtype, length,
// digest), the digest being 128 bits of each axis's content in hex.  The
// table never changes, so the first call hashes it (without the GIL for a
// large table) and every later one returns the same tuple.
template <class F>
PyObject* make_token(PyObject* self, const Prepared<F>& p) noexcept {
    TableObject* t = as_table(self);
    const auto& table = p.table();
    const std::size_t n = table.size();
    static constexpr std::uint64_t seeds[2] = {0, 0x71766e65};  // "qvne"
    std::uint64_t xd[2], fd[2];
    {
        PyThreadState* state = n >= release_from ? PyEval_SaveThread() : nullptr;
        digest::xxh64_words(table.coordinates(), n, seeds, xd);
        digest::xxh64_words(table.values(), n, seeds, fd);
        if (state != nullptr) PyEval_RestoreThread(state);
    }
    if (t->token == nullptr) {  // else another thread's, made meanwhile
        char hex[65];
        std::snprintf(hex, sizeof hex, "%016llx%016llx%016llx%016llx", static_cast<unsigned long long>(xd[0]),
                      static_cast<unsigned long long>(xd[1]), static_cast<unsigned long long>(fd[0]),
                      static_cast<unsigned long long>(fd[1]));
        Ref xname(PyObject_Str(reinterpret_cast<PyObject*>(t->x.descr)));
        Ref fname(PyObject_Str(reinterpret_cast<PyObject*>(t->f.descr)));
        if (!xname || !fname) return nullptr;
        t->token = Py_BuildValue("(sOOns)", "quorvane.Table", xname.get(), fname.get(), static_cast<Py_ssize_t>(n), hex);
        if (t->token == nullptr) return nullptr;
    }
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

PyGetSetDef table_getset[] = {
    {"xp", table_xp, nullptr, doc::xp, nullptr},
    {"fp", table_fp, nullptr, doc::fp, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Weak references: on PyPy every object takes them, and the member is not
// needed there.
PyMemberDef table_members[] = {
#if !defined(PYPY_VERSION)
    {"__weaklistoffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(TableObject, weakrefs)), READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_members, table_members},
    {Py_tp_new, reinterpret_cast<void*>(table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(table_repr)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
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
}  // namespace quorvane

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__table(void) {
    using namespace quorvane;
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
    if (!add_object(module.get(), "_build", build_info())) return nullptr;
    the_module = module.get();
    Py_INCREF(the_module);
    return module.release();
}
