"""Columns of pandas, polars and pyarrow into and out of quorvane.Table.

The native module calls this helper only for an object of one of these
libraries, so that none of them is imported (or needed) otherwise:

* ``read(obj)``: the values of a pandas Series, Index or extension array as
  quorvane reads them, with its nulls (pandas.NA, NaT) as a mask;
* ``wrap(caller, result, mask)``: the answers, a NumPy array with a mask of
  nulls (or None), in the container the query came in.

Polars and pyarrow columns are read by the native module itself, through the
Arrow C data interface; only their results are built here.
"""

from __future__ import annotations

import sys
from typing import Any, Optional, Tuple

import numpy as np
import numpy.typing as npt

Mask = Optional["npt.NDArray[np.bool_]"]


def read(obj: Any) -> Optional[Tuple[Any, Mask]]:
    """(values, mask) of a pandas column, or None for other pandas objects.

    values is a NumPy array, or an object that exports an Arrow column (the
    array of an Arrow-backed column); mask is a NumPy bool array that is true
    at the nulls, or None when there are none.  Nothing is copied when the
    column's own memory can be read.
    """
    pd = sys.modules["pandas"]
    if isinstance(obj, (pd.Series, pd.Index)):
        array = obj.array
    elif isinstance(obj, pd.api.extensions.ExtensionArray):
        array = obj
    else:
        return None
    if isinstance(array, pd.arrays.ArrowExtensionArray):
        return array.__arrow_array__(), None
    if isinstance(array, (pd.arrays.IntegerArray, pd.arrays.FloatingArray, pd.arrays.BooleanArray)):
        # the masked arrays' own buffers: the values, and true where NA
        values, mask = array._data, array._mask
        return values, mask if mask.any() else None
    if isinstance(array, (pd.arrays.DatetimeArray, pd.arrays.TimedeltaArray)):
        # datetime64 of UTC instants also for a time zone; NaT is the null
        values = array._ndarray
        mask = np.isnat(values)
        return values, mask if mask.any() else None
    values = np.asarray(array)
    if values.dtype == object:
        mask = np.asarray(pd.isna(values), dtype=bool)
        return values, mask if mask.any() else None
    return values, None


def wrap(caller: Any, result: npt.NDArray[Any], mask: Mask) -> Any:
    """The answers in the caller's container (see the module's doc)."""
    module = type(caller).__module__.partition(".")[0]
    if module == "pyarrow" or _derives(caller, "pyarrow"):
        return _pyarrow(caller, result, mask)
    if module == "polars" or _derives(caller, "polars"):
        return _polars(caller, result, mask)
    return _pandas(caller, result, mask)


def _derives(obj: Any, package: str) -> bool:
    return any(cls.__module__.partition(".")[0] == package for cls in type(obj).__mro__)


def _pandas(caller: Any, result: npt.NDArray[Any], mask: Mask) -> Any:
    pd = sys.modules["pandas"]
    array = caller.array if isinstance(caller, (pd.Series, pd.Index)) else caller
    nullable = isinstance(array, (pd.arrays.IntegerArray, pd.arrays.FloatingArray))
    if isinstance(array, pd.arrays.ArrowExtensionArray):
        values = pd.arrays.ArrowExtensionArray(sys.modules["pyarrow"].array(result, mask=mask))
    elif result.dtype.kind in "Mm":
        if mask is not None:
            result[mask] = np.array("NaT", result.dtype)
        values = result
    elif mask is not None or nullable:
        masked = pd.arrays.FloatingArray if result.dtype.kind == "f" else pd.arrays.IntegerArray
        values = masked(result, mask if mask is not None else np.zeros(len(result), bool))
    else:
        values = result
    if isinstance(caller, pd.Series):
        return pd.Series(values, index=caller.index, name=caller.name, copy=False)
    if isinstance(caller, pd.Index):
        return pd.Index(values, name=caller.name, copy=False)
    return pd.array(values, dtype=values.dtype, copy=False)


# polars takes datetime64/timedelta64 in these units only: others are
# converted, exactly, to milliseconds
_POLARS_UNITS = ("ms", "us", "ns")


def _polars(caller: Any, result: npt.NDArray[Any], mask: Mask) -> Any:
    pl = sys.modules["polars"]
    if result.dtype.kind in "Mm" and np.datetime_data(result.dtype)[0] not in _POLARS_UNITS:
        finer = result.astype(result.dtype.str[:3] + "[ms]")
        if (finer.astype(result.dtype) != result).any():
            from quorvane import InvalidValueError
            raise InvalidValueError(f"the answers in {result.dtype} do not fit polars' millisecond times")
        result = finer
    # a masked array: polars takes its mask as the nulls, without a copy of the values
    return pl.Series(caller.name, result if mask is None else np.ma.masked_array(result, mask))


# the units whose times pyarrow keeps as 8-byte counts of the same unit
_ARROW_UNITS = ("s", "ms", "us", "ns")


def _pyarrow(caller: Any, result: npt.NDArray[Any], mask: Mask) -> Any:
    pa = sys.modules["pyarrow"]
    if result.dtype.kind in "Mm" and np.datetime_data(result.dtype) not in [(u, 1) for u in _ARROW_UNITS]:
        array = pa.array(result, mask=mask)  # converted by pyarrow (days to date32, ...)
    else:
        # the result's own buffer, and a validity bitmap packed from the mask
        valid = None if mask is None else pa.py_buffer(np.packbits(~mask, bitorder="little"))
        nulls = -1 if mask is not None else 0
        array = pa.Array.from_buffers(pa.from_numpy_dtype(result.dtype), len(result), [valid, pa.py_buffer(result)],
                                      null_count=nulls)
    if isinstance(caller, pa.ChunkedArray):
        chunks, at = [], 0
        for chunk in caller.chunks:
            chunks.append(array.slice(at, len(chunk)))
            at += len(chunk)
        return pa.chunked_array(chunks, type=array.type)
    return array
