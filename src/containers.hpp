// The containers columns arrive in, told apart in one place: classify()
// says what kind of object a caller passed (for reading it, and for handing
// the answers back in the same kind), and the Python helper module
// quorvane._containers reads pandas objects and builds pandas, polars and
// pyarrow results.  The helper, and through it those libraries, are
// imported only when a caller has passed one of their objects.  dask arrays
// and xarray DataArrays are answered in kind by quorvane._scale (below).
#pragma once

#include "table_common.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "arrow.hpp"

namespace quorvane::table {

// What an argument is, once the fast paths (Python ints and floats, NumPy
// arrays and scalars, lists and tuples) have not taken it.
enum class Container : std::uint8_t {
    NumPy,   // anything else: read by NumPy's conversion, answered as NumPy
    Pandas,  // a pandas Series, Index or extension array
    Polars,  // a polars Series (other polars objects are Arrow)
    PyArrow, // a pyarrow Array or ChunkedArray
    Arrow,   // another object that exports an Arrow column: answered as NumPy
};

// Whether obj's type is, or derives from, one of the classes `names` of
// the package `package` (pandas gives its public classes the module
// "pandas", so the package is what is compared: "pandas.core.series"
// and "pandas" both count).
inline bool derives(PyObject* obj, const char* package, std::initializer_list<const char*> names) noexcept {
    Ref mro(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__mro__"));
    if (!mro || !PyTuple_Check(mro.get())) {
        PyErr_Clear();
        return false;
    }
    const std::size_t length = std::strlen(package);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro.get()); ++k) {
        PyObject* cls = PyTuple_GET_ITEM(mro.get(), k);
        Ref module(PyObject_GetAttrString(cls, "__module__"));
        const char* text = module && PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8(module.get()) : nullptr;
        if (text == nullptr) {
            PyErr_Clear();
            continue;
        }
        if (std::strncmp(text, package, length) != 0 || (text[length] != '\0' && text[length] != '.')) continue;
        Ref name(PyObject_GetAttrString(cls, "__name__"));
        const char* own = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
        if (own == nullptr) {
            PyErr_Clear();
            continue;
        }
        for (const char* wanted : names) {
            if (std::strcmp(own, wanted) == 0) return true;
        }
    }
    return false;
}

inline Container classify(PyObject* obj) noexcept {
    if (derives(obj, "pandas", {"Series", "Index", "ExtensionArray"})) return Container::Pandas;
    if (!arrow::exports(obj)) return Container::NumPy;
    if (derives(obj, "polars", {"Series"})) return Container::Polars;
    if (derives(obj, "pyarrow", {"Array", "ChunkedArray"})) return Container::PyArrow;
    return Container::Arrow;
}

// quorvane._containers, imported on first need.
inline PyObject* helper_module = nullptr;

inline PyObject* helper(const char* function) noexcept {
    if (helper_module == nullptr) {
        helper_module = PyImport_ImportModule("quorvane._containers");
        if (helper_module == nullptr) return nullptr;
    }
    return PyObject_GetAttrString(helper_module, function);
}

// A pandas object's values (a NumPy array, or an object exporting an Arrow
// column) and its nulls (a NumPy bool array, or nothing); values stays
// empty, without an error, for objects that are no column (NumPy reads
// them).
inline bool pandas_values(PyObject* obj, Ref& values, Ref& mask) noexcept {
    Ref read(helper("read"));
    if (!read) return false;
    Ref got(PyObject_CallOneArg(read.get(), obj));
    if (!got) return false;
    if (got.get() == Py_None) return true;
    if (!PyTuple_Check(got.get()) || PyTuple_GET_SIZE(got.get()) != 2) {
        PyErr_SetString(PyExc_SystemError, "quorvane._containers.read returned no (values, mask) pair");
        return false;
    }
    values = Ref::borrow(PyTuple_GET_ITEM(got.get(), 0));
    PyObject* m = PyTuple_GET_ITEM(got.get(), 1);
    if (m != Py_None) mask = Ref::borrow(m);
    return true;
}

// The answers in the caller's kind of container: result is a NumPy array of
// the query's length, mask a NumPy bool array (true: null) or nullptr.
inline PyObject* wrap(PyObject* caller, Ref result, PyObject* mask) noexcept {
    Ref build(helper("wrap"));
    if (!build) return nullptr;
    return PyObject_CallFunctionObjArgs(build.get(), caller, result.get(), mask != nullptr ? mask : Py_None, nullptr);
}

// ---------------------------------------------------------------------------
// Queries answered in kind.  A query whose type has __dask_graph__ (a dask
// collection, or an xarray DataArray, which has it with or without dask)
// goes to quorvane._scale, imported on first need: a dask array gives a lazy
// dask array, a DataArray a DataArray.  It declines (NotImplemented) any
// other kind, which is then read as every query is.
// ---------------------------------------------------------------------------
inline PyObject* dask_graph_name = nullptr;  // "__dask_graph__", made by the module's initialisation
inline PyObject* scale_answer = nullptr;     // quorvane._scale.answer, imported on first need

// Whether the query may be answered in kind; the common queries never are.
inline bool maybe_in_kind(PyObject* obj) noexcept {
    if (PyArray_Check(obj) || PyLong_Check(obj) || PyFloat_Check(obj) || PyList_CheckExact(obj) ||
        PyTuple_CheckExact(obj) || PyArray_IsScalar(obj, Generic)) {
        return false;
    }
    return PyObject_HasAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), dask_graph_name) == 1;
}

// quorvane._scale.answer(table, direction, query, {option: value, "workers": workers}),
// with only the options given: the answer, NotImplemented, or nullptr with
// an exception.
inline PyObject* in_kind(PyObject* self, const char* direction, PyObject* query, const char* option, PyObject* value,
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

}  // namespace quorvane::table
