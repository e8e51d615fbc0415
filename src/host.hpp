// What both extension modules need from the interpreter and from NumPy:
// owned references, NumPy's C-API table and the descriptors of the three
// element types, the names of types for messages, and the accounting of
// memory that Python objects own.
//
// Included by exactly one translation unit per extension module; each
// module (a shared object of its own, with hidden symbols) has its own copy
// of the state below, made on first need under the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quorvane_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace quorvane::host {

// ---------------------------------------------------------------------------
// Ref: an owned reference.
// ---------------------------------------------------------------------------
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Raise `type` with the message as its only argument.
inline void raise(PyObject* type, const char* message) noexcept {
    Ref text(PyUnicode_FromString(message));
    if (text) PyErr_SetObject(type, text.get());
}

// ---------------------------------------------------------------------------
// NumPy's C-API table, found by the first call that converts an array:
// import numpy, read its version with numpy.lib.NumpyVersion, and take the
// "_ARRAY_API" capsule from numpy._core.multiarray (2.x) or
// numpy.core.multiarray (1.x).  The build uses the 2.x headers, whose table
// layout 1.x shares for every entry used here.
// ---------------------------------------------------------------------------
inline bool numpy_loaded = false;
inline PyArray_Descr* descr_u64 = nullptr;  // NPY_ULONGLONG
inline PyArray_Descr* descr_i64 = nullptr;  // NPY_LONGLONG
inline PyArray_Descr* descr_f64 = nullptr;  // NPY_DOUBLE
// Per element type, the last other descriptor that PyArray_EquivTypes found
// equivalent, with a reference held so that its address cannot be reused:
// arrays of np.uint64 and np.int64 carry the descriptors of C long (type
// numbers 8 and 7 on LP64 platforms), and the equivalence test costs more
// than the rest of a one-query call's checks together.
inline PyArray_Descr* equivalent_u64 = nullptr;
inline PyArray_Descr* equivalent_i64 = nullptr;
inline PyArray_Descr* equivalent_f64 = nullptr;

inline bool find_numpy_table() noexcept {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return false;
    Ref lib(PyImport_ImportModule("numpy.lib"));
    if (!lib) return false;
    Ref parse(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    if (!parse) return false;
    Ref parsed(PyObject_CallFunctionObjArgs(parse.get(), version.get(), nullptr));
    if (!parsed) return false;
    Ref major_obj(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) return false;
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) return false;
    Ref multiarray(PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    if (!multiarray) return false;
    Ref capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return false;
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) return false;
    PyArray_API = static_cast<void**>(table);
    if (PyArray_GetNDArrayCVersion() < 0x01000009) return false;  // ABI before NumPy 1.0
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (PyArray_RUNTIME_VERSION < NPY_FEATURE_VERSION) return false;
    descr_u64 = PyArray_DescrFromType(NPY_ULONGLONG);
    descr_i64 = PyArray_DescrFromType(NPY_LONGLONG);
    descr_f64 = PyArray_DescrFromType(NPY_DOUBLE);
    return descr_u64 != nullptr && descr_i64 != nullptr && descr_f64 != nullptr;
}

// NumPy's table, found once; false (with the lookup's error, if any,
// pending) when it cannot be had, and the next call tries again.
inline bool load_numpy() noexcept {
    if (numpy_loaded) return true;
    if (!find_numpy_table()) {
        PyArray_API = nullptr;
        Py_CLEAR(descr_u64);
        Py_CLEAR(descr_i64);
        Py_CLEAR(descr_f64);
        return false;
    }
    numpy_loaded = true;
    return true;
}

template <class T>
PyArray_Descr* descr_for() noexcept {
    if constexpr (std::is_same_v<T, std::uint64_t>) {
        return descr_u64;
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return descr_i64;
    } else {
        static_assert(std::is_same_v<T, double>);
        return descr_f64;
    }
}

template <class T>
PyArray_Descr*& equivalent_for() noexcept {
    if constexpr (std::is_same_v<T, std::uint64_t>) {
        return equivalent_u64;
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return equivalent_i64;
    } else {
        return equivalent_f64;
    }
}

// Whether arrays of descriptor `have` hold T's element type (kind, size and
// byte order).
template <class T>
bool holds_element_type(PyArray_Descr* have) noexcept {
    PyArray_Descr*& known = equivalent_for<T>();
    if (have == descr_for<T>() || have == known) return true;
    if (!PyArray_EquivTypes(have, descr_for<T>())) return false;
    PyArray_Descr* previous = known;
    Py_INCREF(have);
    known = have;
    Py_XDECREF(previous);
    return true;
}

// The qualified name of obj's type, for messages.  A metaclass may make
// __qualname__ anything; only a str is used as is, else the C-level name.
inline Ref type_name(PyObject* obj) noexcept {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        name = Ref(PyUnicode_FromString(Py_TYPE(obj)->tp_name));
    }
    return name;
}

// ---------------------------------------------------------------------------
// Keyword arguments of a fast call, bound to the parameters named in
// params[0, count): bound[slot] = value, in the caller's order.  False,
// with the interpreter's message as an exception of class `type` (a
// TypeError), for an unknown keyword or a parameter bound twice (by
// position, or by an earlier keyword).
// ---------------------------------------------------------------------------
inline constexpr const char* unexpected_keyword = "%s got an unexpected keyword argument '%U'";
inline constexpr const char* multiple_values = "%s got multiple values for argument '%s'";

inline bool bind_keywords(const char* full_name, const char* const* params, int count, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames, PyObject** bound, PyObject* type) noexcept {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        for (int p = 0; p < count && PyUnicode_Check(name); ++p) {
            if (PyUnicode_CompareWithASCIIString(name, params[p]) == 0) {
                slot = p;
                break;
            }
        }
        if (slot < 0) {
            PyErr_Format(type, unexpected_keyword, full_name, name);
            return false;
        }
        if (bound[slot] != nullptr) {
            PyErr_Format(type, multiple_values, full_name, params[slot]);
            return false;
        }
        bound[slot] = args[nargs + k];
    }
    return true;
}

// ---------------------------------------------------------------------------
// Memory that a Python object owns outside the interpreter's heap (a
// result's buffer, a table's copies) is reported to the interpreter while
// it lives, as NumPy reports its arrays' data.  On PyPy that is what tells
// the collector that a small object holds megabytes (without it, dropped
// results pile up until the process runs out of memory); on CPython it
// shows the memory to tracemalloc.
// ---------------------------------------------------------------------------
inline constexpr unsigned int memory_domain = 0x71766e65;  // "qvne"

// CPython 3.11's tracemalloc.h declares the two functions without C
// linkage, so a C++ caller would look for mangled names: they are declared
// here again, by their C symbols.
#if defined(PYPY_VERSION)
inline int trace_track(unsigned int domain, std::uintptr_t p, std::size_t size) noexcept {
    return PyTraceMalloc_Track(domain, p, size);
}
inline int trace_untrack(unsigned int domain, std::uintptr_t p) noexcept { return PyTraceMalloc_Untrack(domain, p); }
#else
#define QUORVANE_SYMBOL_2(prefix, name) #prefix name
#define QUORVANE_SYMBOL(prefix, name) QUORVANE_SYMBOL_2(prefix, name)
extern "C" int trace_track(unsigned int, std::uintptr_t, std::size_t) noexcept
    __asm__(QUORVANE_SYMBOL(__USER_LABEL_PREFIX__, "PyTraceMalloc_Track"));
extern "C" int trace_untrack(unsigned int, std::uintptr_t) noexcept
    __asm__(QUORVANE_SYMBOL(__USER_LABEL_PREFIX__, "PyTraceMalloc_Untrack"));
#endif

// Reports the block at p as `bytes` long (again: the trace is updated),
// `added` of them new since the last report.
inline void track(const void* p, std::size_t bytes, std::size_t added) noexcept {
    if (p == nullptr) return;
    (void)trace_track(memory_domain, reinterpret_cast<std::uintptr_t>(p), bytes);
#if defined(PYPY_VERSION)
    // PyPy's PyTraceMalloc_Track only counts towards a collection that
    // something else starts; the pressure that NumPy adds for its own arrays
    // is what moves the next major collection closer.
    _PyPyGC_AddMemoryPressure(static_cast<Py_ssize_t>(added));
#else
    (void)added;
#endif
}

inline void track(const void* p, std::size_t bytes) noexcept { track(p, bytes, bytes); }

inline void untrack(const void* p) noexcept {
    if (p != nullptr) (void)trace_untrack(memory_domain, reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace quorvane::host
