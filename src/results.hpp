// The answers of a Table's methods as the caller gets them.
#pragma once

#include "table_common.hpp"

#include <algorithm>

#include "containers.hpp"
#include "input.hpp"

namespace quorvane::table {

// The answer as the caller gets it: a scalar for a scalar query (numpy's
// masked constant if it was masked); for a column of pandas, polars or
// pyarrow, the same kind of column with its nulls (containers.hpp); else an
// array of the query's shape, masked where the query was masked or null.
inline PyObject* hand_over(const Input& in, Ref result, PyArray_Descr* descr, const void* scalar_storage) noexcept {
    if (in.scalar || in.ndim == 0) {
        if (in.mask && in.whole.src.mask[0] != 0) {
            Py_INCREF(masked_constant);
            return masked_constant;
        }
        return PyArray_Scalar(const_cast<void*>(scalar_storage), descr, nullptr);
    }
    const bool column = in.container == Container::Pandas || in.container == Container::Polars ||
                        in.container == Container::PyArrow;
    if (!in.mask && !column) return result.release();
    Ref mask;
    if (in.own_mask) {
        mask = Ref::borrow(in.mask.get());  // a bool array of our own, C-contiguous: it can be handed over
    } else if (in.mask) {
        // the caller's mask (or a view of it): the answer gets a copy
        mask = Ref(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(in.mask.get()), NPY_CORDER));
        if (!mask) return nullptr;
        if (PyArray_DESCR(reinterpret_cast<PyArrayObject*>(mask.get()))->type_num != NPY_BOOL) {
            mask = Ref(PyArray_Cast(reinterpret_cast<PyArrayObject*>(mask.get()), NPY_BOOL));
            if (!mask) return nullptr;
        }
    }
    if (column) return wrap(in.caller.get(), std::move(result), mask.get());
    if (!load_numpy_ma()) return nullptr;
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

}  // namespace quorvane::table
