"""The prepared table and its exceptions (exported by ``quorvane``)."""

import datetime as dt
from typing import Any, Callable, Generic, Literal, Optional, Protocol, Sequence, SupportsIndex, Union, overload

import numpy as np
import numpy.typing as npt
from typing_extensions import TypeVar

__all__ = [
    "Table",
    "Error",
    "OutOfBoundsError",
    "NotFoundError",
    "NotIncreasingError",
    "NonFiniteError",
    "InvalidValueError",
    "InvalidTypeError",
]

#: The scalar type of the values (int64, float64, datetime64 or timedelta64),
#: and that of the coordinates (uint64, or xp's datetime64 or timedelta64):
#: ``Table[np.float64, np.uint64]`` is a float table on integer coordinates.
#: Either defaults to Any, so that a bare ``Table`` fits every table.
_V_co = TypeVar("_V_co", bound=np.generic, covariant=True, default=Any)
_X_co = TypeVar("_X_co", bound=np.generic, covariant=True, default=Any)

#: A single query or fill value.
_Scalar = Union[
    int, float, np.integer[Any], np.floating[Any], np.datetime64, np.timedelta64,
    dt.date, dt.timedelta,
]

#: What ``outside=`` takes: one of the two words, or a fill value.
_Outside = Union[Literal["raise", "clamp"], _Scalar]
#: What ``method=`` takes.
_Method = Optional[Literal["nearest", "ffill", "bfill"]]

class _ArrowArray(Protocol):
    def __arrow_c_array__(self, *args: Any, **kwargs: Any) -> Any: ...

class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, *args: Any, **kwargs: Any) -> Any: ...

class _PandasColumn(Protocol):
    @property
    def array(self) -> Any: ...
    @property
    def name(self) -> Any: ...

#: A column whose answers come back in a container of its own kind: a pandas
#: Series or Index, a polars Series, a pyarrow Array or ChunkedArray (or any
#: Arrow producer).  Typed loosely: those libraries need not be installed.
_Column = Union[_ArrowArray, _ArrowStream, _PandasColumn]

#: The samples, by the kind of table they make.
_Ints = Union[npt.NDArray[np.integer[Any]], Sequence[Union[int, np.integer[Any]]]]
_Floats = Union[npt.NDArray[np.floating[Any]], Sequence[float]]
_Datetimes = Union[npt.NDArray[np.datetime64], Sequence[Union[np.datetime64, dt.date]]]
_Timedeltas = Union[npt.NDArray[np.timedelta64], Sequence[Union[np.timedelta64, dt.timedelta]]]
_Samples = Union[npt.ArrayLike, _Column]
_Queries = Union[npt.ArrayLike, _Column]

# What the extension modules were built with (quorvane.build_info()).
_build: dict[str, str]

class Error(Exception):
    """Base class of the errors that quorvane.Table raises."""

class OutOfBoundsError(Error, IndexError, KeyError):
    """A query outside the table, or any query on an empty table."""

class NotFoundError(Error, KeyError):
    """An inverse query whose coordinate is not whole, with method=None."""

class NotIncreasingError(Error, ValueError):
    """The axis a query searches is not strictly increasing."""

class NonFiniteError(Error, ValueError):
    """A NaN query value, or a NaN or infinite sample next to a query."""

class InvalidValueError(Error, ValueError):
    """An element that does not convert exactly, a wrong shape or length, an unknown option."""

class InvalidTypeError(Error, TypeError):
    """An argument of a kind the table does not accept, or a call that does not bind."""

class Table(Generic[_V_co, _X_co]):
    """A piecewise-linear table between uint64 coordinates ``xp`` and int64 or
    float64 values ``fp``, copied and checked once, then queried any number
    of times, from any number of threads, in either direction.

    ``xp``: 1-D integers from 0 to 2**64 - 1, or datetime64/timedelta64.
    ``fp``: 1-D, as many as ``xp``: integers that fit int64, floats, or
    datetime64/timedelta64.  Answers equal those of ``forward_int``,
    ``forward_float``, ``inverse_int`` and ``inverse_float`` on the same
    arrays, bit for bit.
    """

    # The kind of table follows from the samples: integer, float or time
    # values; integer or time coordinates.
    @overload
    def __init__(self: Table[np.int64, np.uint64], xp: _Ints, fp: _Ints, *, unit: Optional[str] = None) -> None: ...
    @overload
    def __init__(self: Table[np.float64, np.uint64], xp: _Ints, fp: _Floats, *, unit: Optional[str] = None) -> None: ...
    @overload
    def __init__(
        self: Table[np.datetime64, np.uint64], xp: _Ints, fp: _Datetimes, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(
        self: Table[np.timedelta64, np.uint64], xp: _Ints, fp: _Timedeltas, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(self: Table[Any, np.uint64], xp: _Ints, fp: _Samples, *, unit: Optional[str] = None) -> None: ...
    @overload
    def __init__(
        self: Table[np.int64, np.datetime64], xp: _Datetimes, fp: _Ints, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(
        self: Table[np.float64, np.datetime64], xp: _Datetimes, fp: _Floats, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(
        self: Table[np.datetime64, np.datetime64], xp: _Datetimes, fp: _Datetimes, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(
        self: Table[np.timedelta64, np.datetime64], xp: _Datetimes, fp: _Timedeltas, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(
        self: Table[Any, np.datetime64], xp: _Datetimes, fp: _Samples, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(
        self: Table[np.int64, np.timedelta64], xp: _Timedeltas, fp: _Ints, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(
        self: Table[np.float64, np.timedelta64], xp: _Timedeltas, fp: _Floats, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(
        self: Table[np.datetime64, np.timedelta64], xp: _Timedeltas, fp: _Datetimes, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(
        self: Table[np.timedelta64, np.timedelta64], xp: _Timedeltas, fp: _Timedeltas, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(
        self: Table[Any, np.timedelta64], xp: _Timedeltas, fp: _Samples, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(self: Table[np.int64, Any], xp: _Samples, fp: _Ints, *, unit: Optional[str] = None) -> None: ...
    @overload
    def __init__(self: Table[np.float64, Any], xp: _Samples, fp: _Floats, *, unit: Optional[str] = None) -> None: ...
    @overload
    def __init__(
        self: Table[np.datetime64, Any], xp: _Samples, fp: _Datetimes, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(
        self: Table[np.timedelta64, Any], xp: _Samples, fp: _Timedeltas, *, unit: Optional[str] = None
    ) -> None: ...
    @overload
    def __init__(self: Table[Any, Any], xp: _Samples, fp: _Samples, *, unit: Optional[str] = None) -> None:
        """``unit``: a NumPy time unit (``"ns"``, ``"us"``, ...) that a time axis
        is converted to, exactly, when the table is built; None keeps the
        samples' own unit."""
    @property
    def xp(self) -> npt.NDArray[_X_co]:
        """The coordinates, read-only (uint64, or xp's datetime64/timedelta64 dtype)."""
    @property
    def fp(self) -> npt.NDArray[_V_co]:
        """The values, read-only (int64, float64, or fp's datetime64/timedelta64 dtype)."""
    def __len__(self) -> int: ...
    @overload
    def forward(self, x: _Scalar, *, outside: _Outside = "raise", workers: SupportsIndex = 1) -> _V_co:
        """The value at coordinate x: a NumPy scalar of fp's dtype."""
    @overload
    def forward(
        self, x: np.ma.MaskedArray[Any, Any], *, outside: _Outside = "raise", workers: SupportsIndex = 1
    ) -> np.ma.MaskedArray[Any, np.dtype[_V_co]]:
        """A masked array keeps its mask."""
    @overload
    def forward(
        self, x: npt.NDArray[Any], *, outside: _Outside = "raise", workers: SupportsIndex = 1
    ) -> npt.NDArray[_V_co]: ...
    @overload
    def forward(self, x: _Column, *, outside: _Outside = "raise", workers: SupportsIndex = 1) -> Any:
        """A column in, a column of the same kind out."""
    @overload
    def forward(
        self, x: _Queries, *, outside: _Outside = "raise", workers: SupportsIndex = 1
    ) -> npt.NDArray[_V_co]:
        """The value at every coordinate of x, in an array of x's shape and fp's dtype.

        ``outside``: ``"raise"`` (OutOfBoundsError), ``"clamp"`` (fp[0] below
        the table, fp[-1] above) or a fill value of fp's type.  ``workers``:
        threads to split a large batch across; -1 uses every CPU.
        """
    @overload
    def inverse(self, f: _Scalar, method: _Method = None, *, workers: SupportsIndex = 1) -> _X_co:
        """The coordinate at value f: a NumPy scalar of xp's dtype."""
    @overload
    def inverse(
        self, f: np.ma.MaskedArray[Any, Any], method: _Method = None, *, workers: SupportsIndex = 1
    ) -> np.ma.MaskedArray[Any, np.dtype[_X_co]]:
        """A masked array keeps its mask."""
    @overload
    def inverse(
        self, f: npt.NDArray[Any], method: _Method = None, *, workers: SupportsIndex = 1
    ) -> npt.NDArray[_X_co]: ...
    @overload
    def inverse(self, f: _Column, method: _Method = None, *, workers: SupportsIndex = 1) -> Any:
        """A column in, a column of the same kind out."""
    @overload
    def inverse(
        self, f: _Queries, method: _Method = None, *, workers: SupportsIndex = 1
    ) -> npt.NDArray[_X_co]:
        """The coordinate of every value of f, in an array of f's shape and xp's dtype.

        ``method``: None (exact whole coordinates only), ``"nearest"``,
        ``"ffill"`` or ``"bfill"``.
        """
    def __reduce__(
        self,
    ) -> tuple[Callable[..., Table[Any, Any]], tuple[npt.NDArray[Any], npt.NDArray[Any], np.dtype[Any], np.dtype[Any]]]: ...
    def __dask_tokenize__(self) -> tuple[str, str, str, int, str]:
        """The table's identity for dask: its dtypes, length and content hash (computed once)."""
    def __copy__(self) -> Table[_V_co, _X_co]: ...
    def __deepcopy__(self, memo: object, /) -> Table[_V_co, _X_co]: ...

def _restore(
    xp: npt.NDArray[Any], fp: npt.NDArray[Any], xp_dtype: np.dtype[Any], fp_dtype: np.dtype[Any], /
) -> Table[Any, Any]:
    """A pickled Table: its axes' storage and dtypes, checked as Table(xp, fp) checks its arguments."""
