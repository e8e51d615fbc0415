"""The prepared table and its exceptions (exported by ``quorvane``)."""

import datetime
from typing import Any, Optional, SupportsIndex, Union, overload

import numpy as np
import numpy.typing as npt

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

#: A single query or fill value.
_Scalar = Union[int, float, np.integer[Any], np.floating[Any], np.datetime64, np.timedelta64, datetime.date, datetime.timedelta]

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

class Table:
    """A piecewise-linear table between uint64 coordinates ``xp`` and int64 or
    float64 values ``fp``, copied and checked once, then queried any number
    of times, from any number of threads, in either direction.

    ``xp``: 1-D integers from 0 to 2**64 - 1, or datetime64/timedelta64.
    ``fp``: 1-D, as many as ``xp``: integers that fit int64, floats, or
    datetime64/timedelta64.  Answers equal those of ``forward_int``,
    ``forward_float``, ``inverse_int`` and ``inverse_float`` on the same
    arrays, bit for bit.
    """

    def __init__(self, xp: npt.ArrayLike, fp: npt.ArrayLike, *, unit: Optional[str] = None) -> None: ...
    @property
    def xp(self) -> npt.NDArray[Any]:
        """The coordinates, read-only (uint64, or xp's datetime64/timedelta64 dtype)."""
    @property
    def fp(self) -> npt.NDArray[Any]:
        """The values, read-only (int64, float64, or fp's datetime64/timedelta64 dtype)."""
    def __len__(self) -> int: ...
    @overload
    def forward(self, x: _Scalar, *, outside: Union[str, _Scalar] = "raise", workers: SupportsIndex = 1) -> Any:
        """The value at coordinate x: a NumPy scalar of fp's dtype."""
    @overload
    def forward(
        self, x: npt.ArrayLike, *, outside: Union[str, _Scalar] = "raise", workers: SupportsIndex = 1
    ) -> npt.NDArray[Any]:
        """The value at every coordinate of x, in an array of x's shape and fp's dtype.

        ``outside``: ``"raise"`` (OutOfBoundsError), ``"clamp"`` (fp[0] below
        the table, fp[-1] above) or a fill value of fp's type.  ``workers``:
        threads to split a large batch across; -1 uses every CPU.
        """
    @overload
    def inverse(self, f: _Scalar, method: Optional[str] = None, *, workers: SupportsIndex = 1) -> Any:
        """The coordinate at value f: a NumPy scalar of xp's dtype."""
    @overload
    def inverse(self, f: npt.ArrayLike, method: Optional[str] = None, *, workers: SupportsIndex = 1) -> npt.NDArray[Any]:
        """The coordinate of every value of f, in an array of f's shape and xp's dtype.

        ``method``: None (exact whole coordinates only), ``"nearest"``,
        ``"ffill"`` or ``"bfill"``.
        """
    def __reduce__(self) -> tuple[type["Table"], tuple[npt.NDArray[Any], npt.NDArray[Any]]]: ...
    def __copy__(self) -> "Table": ...
    def __deepcopy__(self, memo: object, /) -> "Table": ...
