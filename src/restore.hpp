// A table outside this process: pickles and dask's tokens.  A table pickles as _restore(xp, fp, xp's dtype, fp's
// dtype), the axes as their storage (uint64, and int64 or float64: arrays
// that protocol 5 hands over as two out-of-band buffers, time axes
// included).  _restore checks what it gets as Table(xp, fp) does (a tampered
// pickle is refused as such arguments are), and reads the samples in place
// where nothing can change them: in memory owned by bytes objects (what a
// pickle loaded in band makes, or buffers passed as bytes) or by a Table
// (buffers taken from a table in this process).
#pragma once

#include "table_common.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "digest.hpp"
#include "input.hpp"
#include "time_axis.hpp"

namespace quorvane::table {

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


// Whether an array's elements sit in memory that nothing can change while
// the array lives: every array on the way to the memory's owner is
// read-only (through bases, memoryviews and other exporters), and the owner
// is a bytes object or a Table.
inline bool immutable_memory(PyObject* obj) noexcept {
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

// A table's identity for dask (__dask_tokenize__): ("quorvane.Table", xp's
// dtype, fp's dtype, length, digest), the digest being 128 bits of each
// axis's content in hex; hashed without the GIL for a large table.
template <class F>
Ref content_token(const Axis& x, const Axis& f, const std::uint64_t* xs, const F* fs, std::size_t n) noexcept {
    static constexpr std::uint64_t seeds[2] = {0, 0x71766e65};  // "qvne"
    std::uint64_t xd[2], fd[2];
    {
        PyThreadState* state = n >= release_from ? PyEval_SaveThread() : nullptr;
        digest::xxh64_words(xs, n, seeds, xd);
        digest::xxh64_words(fs, n, seeds, fd);
        if (state != nullptr) PyEval_RestoreThread(state);
    }
    char hex[65];
    std::snprintf(hex, sizeof hex, "%016llx%016llx%016llx%016llx", static_cast<unsigned long long>(xd[0]),
                  static_cast<unsigned long long>(xd[1]), static_cast<unsigned long long>(fd[0]),
                  static_cast<unsigned long long>(fd[1]));
    Ref xname(PyObject_Str(reinterpret_cast<PyObject*>(x.descr)));
    Ref fname(PyObject_Str(reinterpret_cast<PyObject*>(f.descr)));
    if (!xname || !fname) return Ref();
    return Ref(Py_BuildValue("(sOOns)", "quorvane.Table", xname.get(), fname.get(), static_cast<Py_ssize_t>(n), hex));
}

}  // namespace quorvane::table
