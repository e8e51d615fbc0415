// The extension module `quorvane.rust`: module creation, argument binding
// and conversion, the call frame of the four functions, the hand-over of
// results to NumPy, and the mapping of failures to Python exceptions.
//
// Written against the CPython C API as of 3.9 (which PyPy's cpyext also
// provides) with the fast-call-with-keywords convention and hand-written
// binding, because the exact messages are part of the interface.  No C++
// exception crosses into Python: nothing below throws.

#include "host.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>

#include "arrays.hpp"
#include "batch.hpp"
#include "extended.hpp"
#include "method.hpp"
#include "piecewise.hpp"
#include "schemes.hpp"
#include "schemes_float.hpp"
#include "schemes_int.hpp"

namespace quorvane {
namespace {

using host::descr_for;
using host::holds_element_type;
using host::raise;
using host::Ref;

// ---------------------------------------------------------------------------
// Every message the module raises, defined once.
// ---------------------------------------------------------------------------
namespace msg {
constexpr const char* takes_exactly = "%s takes %d positional arguments but %zd were given";
constexpr const char* takes_from_to = "%s takes from %d to %d positional arguments but %zd were given";
constexpr const char* missing_head = "%s missing %d required positional %s: ";
constexpr const char* cannot_convert = "argument '%s': '%U' object cannot be converted to '%s'";
constexpr const char* array_target = "PyArray<T, D>";
constexpr const char* string_target = "PyString";
constexpr const char* bad_method = "method must be either None, 'nearest', 'ffill' or 'bfill'";
constexpr const char* length_mismatch = "xp and fp must have same length";
constexpr const char* nan_or_inf = "nan or inf encountered";
constexpr const char* not_finite = "assertion failed: value.is_finite()";
constexpr const char* numpy_capsule = "Failed to access NumPy array API capsule";
constexpr const char* api_call_failed = "Python API call failed";
constexpr const char* x_out_of_bounds = "x out of bounds";
constexpr const char* x_not_found = "x not found";
constexpr const char* xp_not_increasing = "xp must be strictly increasing";
constexpr const char* f_out_of_bounds = "f out of bounds";
constexpr const char* f_not_found = "f not found";
constexpr const char* fp_not_increasing = "fp must be strictly increasing";
constexpr const char* panic_doc =
    "An internal failure of quorvane.rust: a broken invariant that stopped the whole call.\n\n"
    "Derived from BaseException, not Exception, so that handlers for ordinary errors do not\n"
    "swallow it. The only argument is the failure's message.";
constexpr const char* container_doc = "Owner of the memory of an array returned by quorvane.rust.";
}  // namespace msg

// ---------------------------------------------------------------------------
// Process-wide state, made on first need under the interpreter lock and kept
// until the process ends.
// ---------------------------------------------------------------------------
PyObject* the_module = nullptr;
PyObject* panic_type = nullptr;
PyTypeObject* container_type = nullptr;
// The PanicException class, made at its first use.
PyObject* panic_exception() noexcept {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", msg::panic_doc,
                                               PyExc_BaseException, nullptr);
    }
    return panic_type;
}

// End the call with an internal failure.  A pending error, if any, becomes
// the new exception's cause.
PyObject* panic(const char* message) noexcept {
    PyObject *cause_type = nullptr, *cause = nullptr, *cause_tb = nullptr;
    PyErr_Fetch(&cause_type, &cause, &cause_tb);
    PyObject* type = panic_exception();
    if (type == nullptr) {
        Py_XDECREF(cause_type);
        Py_XDECREF(cause);
        Py_XDECREF(cause_tb);
        return nullptr;
    }
    raise(type, message);
    if (cause_type != nullptr) {
        PyErr_NormalizeException(&cause_type, &cause, &cause_tb);
        if (cause_tb != nullptr && cause != nullptr) PyException_SetTraceback(cause, cause_tb);
        PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        if (v != nullptr && cause != nullptr) {
            PyException_SetCause(v, cause);  // steals cause
            cause = nullptr;
        }
        PyErr_Restore(t, v, tb);
    }
    Py_XDECREF(cause_type);
    Py_XDECREF(cause);
    Py_XDECREF(cause_tb);
    return nullptr;
}

// NumPy's table, or PanicException.
bool load_numpy() noexcept {
    if (host::load_numpy()) return true;
    panic(msg::numpy_capsule);
    return false;
}

// ---------------------------------------------------------------------------
// PySliceContainer: the base object of every result array.  It owns the
// result buffer and frees it when collected; the array does not own its data.
// ---------------------------------------------------------------------------
struct SliceContainer {
    PyObject_HEAD void* data;
};

void container_dealloc(PyObject* self) noexcept {
    void* data = reinterpret_cast<SliceContainer*>(self)->data;
    host::untrack(data);
    std::free(data);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyTypeObject* slice_container_type() noexcept {
    if (container_type == nullptr) {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
            {Py_tp_doc, const_cast<char*>(msg::container_doc)},
            {0, nullptr},
        };
        static PyType_Spec description = {"quorvane.rust.PySliceContainer", sizeof(SliceContainer), 0,
                                   Py_TPFLAGS_DEFAULT, slots};
        container_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&description));
    }
    return container_type;
}

// Hand the buffer to a new one-dimensional array without copying it.
template <class T>
PyObject* wrap_result(Buffer<T>& buffer) noexcept {
    PyTypeObject* type = slice_container_type();
    if (type == nullptr) return nullptr;
    const std::size_t n = buffer.size();
    Ref owner(type->tp_alloc(type, 0));
    if (!owner) return nullptr;
    T* data = buffer.release();
    reinterpret_cast<SliceContainer*>(owner.get())->data = data;
    host::track(data, (n == 0 ? 1 : n) * sizeof(T));
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    npy_intp strides[1] = {n == 0 ? 0 : static_cast<npy_intp>(sizeof(T))};
    PyArray_Descr* descr = descr_for<T>();
    Py_INCREF(descr);  // stolen by PyArray_NewFromDescr
    Ref array(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, data, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) {
        PyErr_Print();
        return panic(msg::api_call_failed);
    }
    // Steals the owner's reference, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
        return nullptr;
    }
    return array.release();
}

// ---------------------------------------------------------------------------
// Argument binding: positional arguments first, then the keywords in the
// caller's order, then the check for required parameters left unbound.
// ---------------------------------------------------------------------------
struct Signature {
    const char* full_name;  // "forward_int()"
    const char* params[4];
    int count;
    int required;
};

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) noexcept {
    if (nargs > sig.count) {
        if (sig.required == sig.count) {
            PyErr_Format(PyExc_TypeError, msg::takes_exactly, sig.full_name, sig.count, nargs);
        } else {
            PyErr_Format(PyExc_TypeError, msg::takes_from_to, sig.full_name, sig.required, sig.count, nargs);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    if (!host::bind_keywords(sig.full_name, sig.params, sig.count, args, nargs, kwnames, bound, PyExc_TypeError)) {
        return false;
    }
    int missing[4];
    int nmissing = 0;
    for (int p = 0; p < sig.required; ++p) {
        if (bound[p] == nullptr) missing[nmissing++] = p;
    }
    if (nmissing == 0) return true;
    // "... missing 3 required positional arguments: 'x', 'xp', and 'fp'"
    char text[256];
    int len = std::snprintf(text, sizeof text, msg::missing_head, sig.full_name, nmissing,
                            nmissing == 1 ? "argument" : "arguments");
    for (int k = 0; k < nmissing && len > 0 && static_cast<std::size_t>(len) < sizeof text; ++k) {
        const char* sep = "";
        if (k > 0) sep = nmissing > 2 ? (k == nmissing - 1 ? ", and " : ", ") : " and ";
        len += std::snprintf(text + len, sizeof text - static_cast<std::size_t>(len), "%s'%s'", sep,
                             sig.params[missing[k]]);
    }
    PyErr_SetString(PyExc_TypeError, text);
    return false;
}

// "argument 'xp': 'list' object cannot be converted to 'PyArray<T, D>'"
bool conversion_error(const char* param, PyObject* obj, const char* target) noexcept {
    Ref type_name = host::type_name(obj);
    if (type_name) PyErr_Format(PyExc_TypeError, msg::cannot_convert, param, type_name.get(), target);
    return false;
}

// An instance of NumPy's array type (or a subclass) with one dimension and
// an element type equivalent to T's (kind, size and byte order): a view of
// it.  Nothing is converted or cast.
template <class T>
bool view_array(const char* param, PyObject* obj, StridedView<T>& view) noexcept {
    if (!PyArray_Check(obj)) return conversion_error(param, obj, msg::array_target);
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 1 || !holds_element_type<T>(PyArray_DESCR(array))) {
        return conversion_error(param, obj, msg::array_target);
    }
    view = {static_cast<const char*>(PyArray_DATA(array)), PyArray_DIMS(array)[0], PyArray_STRIDES(array)[0]};
    return true;
}

// The type check of `method` (None or a string), taking its UTF-8 text.
bool method_text(PyObject* obj, const char*& text, Py_ssize_t& size) noexcept {
    text = nullptr;
    size = 0;
    if (obj == nullptr || obj == Py_None) return true;
    if (!PyUnicode_Check(obj)) return conversion_error("method", obj, msg::string_target);
    text = PyUnicode_AsUTF8AndSize(obj, &size);
    return text != nullptr;
}

// The value check of `method`: byte for byte, no folding or trimming.
bool parse_method(const char* text, Py_ssize_t size, Method& method) noexcept {
    method = Method::Absent;
    if (text == nullptr) return true;
    if (size == 5 && std::memcmp(text, "ffill", 5) == 0) {
        method = Method::Ffill;
    } else if (size == 5 && std::memcmp(text, "bfill", 5) == 0) {
        method = Method::Bfill;
    } else if (size == 7 && std::memcmp(text, "nearest", 7) == 0) {
        method = Method::Nearest;
    } else {
        raise(PyExc_ValueError, msg::bad_method);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The four functions and their error kinds.
// ---------------------------------------------------------------------------
struct Function {
    Signature sig;
    PyObject* const* lookup_error;  // IndexError (forward) or KeyError (inverse)
    const char* out_of_bounds;
    const char* not_found;
    const char* not_increasing;
};

const Function forward_int_fn = {{"forward_int()", {"x", "xp", "fp", nullptr}, 3, 3}, &PyExc_IndexError,
                                 msg::x_out_of_bounds, msg::x_not_found, msg::xp_not_increasing};
const Function forward_float_fn = {{"forward_float()", {"x", "xp", "fp", nullptr}, 3, 3}, &PyExc_IndexError,
                                   msg::x_out_of_bounds, msg::x_not_found, msg::xp_not_increasing};
const Function inverse_int_fn = {{"inverse_int()", {"f", "xp", "fp", "method"}, 4, 3}, &PyExc_KeyError,
                                 msg::f_out_of_bounds, msg::f_not_found, msg::fp_not_increasing};
const Function inverse_float_fn = {{"inverse_float()", {"f", "xp", "fp", "method"}, 4, 3}, &PyExc_KeyError,
                                   msg::f_out_of_bounds, msg::f_not_found, msg::fp_not_increasing};

PyObject* raise_status(const Function& fn, Status status) noexcept {
    switch (status) {
        case Status::Ok: break;
        case Status::OutOfBounds: raise(*fn.lookup_error, fn.out_of_bounds); return nullptr;
        case Status::NotFound: raise(*fn.lookup_error, fn.not_found); return nullptr;
        case Status::NotStrictlyIncreasing: raise(PyExc_ValueError, fn.not_increasing); return nullptr;
        case Status::NanOrInf: return panic(msg::nan_or_inf);
        case Status::NotFinite: return panic(msg::not_finite);
        case Status::Interrupted: return nullptr;  // the signal handler's exception is set
    }
    return panic(msg::api_call_failed);
}

// ---------------------------------------------------------------------------
// The call frame shared by the four functions.
//   Q  element type of the queries (u64 forward; the value type inverse)
//   F  value type of the table (i64 or f64)
// Steps, in order: bind; convert and view the query array, xp, fp; (inverse)
// the type of method, then its value; copy xp and fp into the table (the
// lengths first); allocate the zero-filled result; evaluate the queries in
// index order, stopping at the first failure; wrap the result.
// ---------------------------------------------------------------------------
template <class Q, class F, bool inverse>
PyObject* call_frame(const Function& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using Result = std::conditional_t<inverse, std::uint64_t, F>;
    using Table = Interp<std::uint64_t, F>;

    PyObject* bound[4] = {nullptr, nullptr, nullptr, nullptr};
    if (!bind_arguments(fn.sig, args, nargs, kwnames, bound)) return nullptr;
    if (!load_numpy()) return nullptr;

    StridedView<Q> queries{};
    StridedView<std::uint64_t> xv{};
    StridedView<F> fv{};
    if (!view_array(fn.sig.params[0], bound[0], queries)) return nullptr;
    if (!view_array(fn.sig.params[1], bound[1], xv)) return nullptr;
    if (!view_array(fn.sig.params[2], bound[2], fv)) return nullptr;

    Method method = Method::Absent;
    if constexpr (inverse) {
        const char* text = nullptr;
        Py_ssize_t size = 0;
        if (!method_text(bound[3], text, size)) return nullptr;
        if (!parse_method(text, size, method)) return nullptr;
    }

    // The float path computes under a known floating-point environment and
    // gives the caller's back before anything is raised or returned.
    std::optional<FloatEnvironment> environment;
    if constexpr (std::is_same_v<F, double>) environment.emplace();

    // Only the searched axis's order is established: the other flag is
    // never read by this call.
    std::optional<Table> table;
    switch (Table::from_views(xv, fv, table, inverse ? Table::Checks::Values : Table::Checks::Coordinates)) {
        case Table::Build::Ok: break;
        case Table::Build::LengthMismatch: environment.reset(); return panic(msg::length_mismatch);
        case Table::Build::NoMemory: environment.reset(); return PyErr_NoMemory();
    }
    Buffer<Result> result = Buffer<Result>::uninitialised(queries.size());
    if (!result.ok()) {
        environment.reset();
        return PyErr_NoMemory();
    }

    // Signal handlers run Python code: they run in the caller's environment,
    // and whatever they do to it is not seen by the rest of the batch.
    auto poll = [&environment]() noexcept {
        const bool guarded = environment.has_value();
        environment.reset();
        const bool go_on = PyErr_CheckSignals() == 0;
        if (guarded) environment.emplace();
        return go_on;
    };
    BatchOutcome outcome{};
    if constexpr (inverse) {
        outcome = inverse_batch(*table, queries, method, result.data(), poll);
    } else {
        outcome = forward_batch(*table, queries, result.data(), poll);
    }
    environment.reset();
    table.reset();
    if (outcome.status != Status::Ok) return raise_status(fn, outcome.status);
    return wrap_result(result);
}

PyObject* forward_int(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame<std::uint64_t, std::int64_t, false>(forward_int_fn, args, nargs, kwnames);
}
PyObject* forward_float(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame<std::uint64_t, double, false>(forward_float_fn, args, nargs, kwnames);
}
PyObject* inverse_int(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame<std::int64_t, std::int64_t, true>(inverse_int_fn, args, nargs, kwnames);
}
PyObject* inverse_float(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame<double, double, true>(inverse_float_fn, args, nargs, kwnames);
}

template <auto fn>
PyCFunction as_pycfunction() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

PyMethodDef functions[] = {
    {"forward_int", as_pycfunction<forward_int>(), METH_FASTCALL | METH_KEYWORDS, "forward_int(x, xp, fp)\n--\n\n"},
    {"forward_float", as_pycfunction<forward_float>(), METH_FASTCALL | METH_KEYWORDS,
     "forward_float(x, xp, fp)\n--\n\n"},
    {"inverse_int", as_pycfunction<inverse_int>(), METH_FASTCALL | METH_KEYWORDS,
     "inverse_int(f, xp, fp, method=None)\n--\n\n"},
    {"inverse_float", as_pycfunction<inverse_float>(), METH_FASTCALL | METH_KEYWORDS,
     "inverse_float(f, xp, fp, method=None)\n--\n\n"},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "rust", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Add each function bound to the module, list its name in __all__ and set
// the attribute of that name.
bool add_functions(PyObject* module) noexcept {
    Ref module_name(PyObject_GetAttrString(module, "__name__"));
    if (!module_name) return false;
    for (PyMethodDef& def : functions) {
        Ref function(PyCFunction_NewEx(&def, module, module_name.get()));
        if (!function) return false;
        Ref name(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) return false;
        Ref all(PyObject_GetAttrString(module, "__all__"));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            all = Ref(PyList_New(0));
            if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
        }
        if (PyList_Append(all.get(), name.get()) < 0) return false;
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return false;
    }
    return true;
}

}  // namespace
}  // namespace quorvane

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_rust(void) {
    using namespace quorvane;
    if (the_module != nullptr) {
        Py_INCREF(the_module);
        return the_module;
    }
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    // Not every implementation stores an empty m_doc: set it explicitly.
    {
        Ref empty(PyUnicode_FromString(""));
        if (!empty || PyObject_SetAttrString(module.get(), "__doc__", empty.get()) < 0) return nullptr;
    }
    if (!add_functions(module.get())) return nullptr;
    the_module = module.get();
    Py_INCREF(the_module);
    return module.release();
}
