"""Exact piecewise-linear interpolation between uint64 coordinates and
int64 or float64 values, in both directions.

``Table(xp, fp)`` is the everyday interface: a table copied and checked once,
queried any number of times with arrays of any shape, scalars, lists or
datetime64 values, from any number of threads.  ``forward_int``,
``forward_float``, ``inverse_int`` and ``inverse_float`` are the exact
low-level functions on one-dimensional arrays of exactly their element
types, which copy the table on every call.
"""

from ._table import (
    Error,
    InvalidTypeError,
    InvalidValueError,
    NonFiniteError,
    NotFoundError,
    NotIncreasingError,
    OutOfBoundsError,
    Table,
)
from .rust import forward_float, forward_int, inverse_float, inverse_int

__all__ = [
    "Table",
    "forward_int",
    "forward_float",
    "inverse_int",
    "inverse_float",
    "Error",
    "OutOfBoundsError",
    "NotFoundError",
    "NotIncreasingError",
    "NonFiniteError",
    "InvalidValueError",
    "InvalidTypeError",
]
__version__ = "0.1.0"
