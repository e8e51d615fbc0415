// What the files of the extension module `quorvane._table` share: every
// message, defined once, the exception classes and the other process-wide
// objects, and the raising of an error with a formatted message.
//
// Included by table_module.cpp only (with the headers that read arguments),
// which makes one translation unit of them all.
#pragma once

#include "host.hpp"

#include "prepared.hpp"

namespace quorvane::table {

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
constexpr const char* expected_time_element = "%U: expected %S values (the table's %s axis), got %U";
constexpr const char* null_sample = "%U is null";
constexpr const char* unit_type = "unit must be None or a str, not %U";
constexpr const char* bad_unit = "unit must be a time unit of fixed length such as 'ns', 'us', 'ms' or 's', not %R";
constexpr const char* unit_without_time = "unit=%R needs a time axis, but neither xp nor fp holds datetime64 or timedelta64";
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
constexpr const char* repr = "Table(%zd samples, xp %U %S, fp %U %S%U)";
constexpr const char* repr_empty = "Table(0 samples, xp %U, fp %U%U)";
constexpr const char* answers_in = "%U%s%s answers in %U";
constexpr const char* range = "[%S, %S]";
constexpr const char* time_too_large =
    "%R is beyond 2**63 - 1 microseconds and not a whole number of seconds or days";
// unpickling
constexpr const char* restore_args = "_restore() takes 4 arguments (%zd given)";
constexpr const char* restore_dtype_type = "_restore(): %s's dtype must be a numpy.dtype, not %U";
constexpr const char* restore_dtype = "_restore(): %s's dtype must be %s, not %S";
constexpr const char* restore_storage = "_restore(): %s must be an array of %s, not %s%U";
}  // namespace msg

// ---------------------------------------------------------------------------
// Process-wide state, made by the module's initialisation (or on first need)
// under the interpreter lock.
// ---------------------------------------------------------------------------
// Work on this many elements or more runs without the GIL (a batch of
// queries, the hash of a table): below, releasing it costs more than it
// frees.
inline constexpr std::size_t release_from = 8192;
inline PyObject* the_module = nullptr;
inline PyTypeObject* table_type = nullptr;
inline PyObject* error_type = nullptr;
inline PyObject* out_of_bounds_type = nullptr;
inline PyObject* not_found_type = nullptr;
inline PyObject* not_increasing_type = nullptr;
inline PyObject* non_finite_type = nullptr;
inline PyObject* invalid_value_type = nullptr;
inline PyObject* invalid_type_type = nullptr;
inline PyObject* masked_array_type = nullptr;  // numpy.ma.MaskedArray, imported on first need
inline PyObject* masked_constant = nullptr;    // numpy.ma.masked
inline PyObject* getmaskarray = nullptr;       // numpy.ma.getmaskarray
inline PyArray_Descr* result_u64 = nullptr;    // np.uint64, np.int64, np.float64: the results' dtypes
inline PyArray_Descr* result_i64 = nullptr;
inline PyArray_Descr* result_f64 = nullptr;
inline Faults faults;  // injected by tests through _inject_faults

inline bool load_numpy() noexcept {
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

inline bool load_numpy_ma() noexcept {
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

// The NumPy dtype that a string such as "M8[ns]" or "u8" names (a new
// reference), or nullptr with NumPy's error.
inline PyArray_Descr* dtype_from(const char* name) noexcept {
    Ref text(PyUnicode_FromString(name));
    PyArray_Descr* descr = nullptr;
    if (!text || !PyArray_DescrConverter(text.get(), &descr)) return nullptr;
    return descr;
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

}  // namespace quorvane::table
