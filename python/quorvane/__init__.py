"""Exact piecewise-linear interpolation between uint64 coordinates and
int64 or float64 values, in both directions.

``Table(xp, fp)`` is the everyday interface: a table copied and checked once,
queried any number of times with arrays of any shape, scalars, lists or
datetime64 values, from any number of threads.  ``forward_int``,
``forward_float``, ``inverse_int`` and ``inverse_float`` are the exact
low-level functions on one-dimensional arrays of exactly their element
types, which copy the table on every call.
"""

from ._table import _build
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
    "build_info",
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


def build_info() -> dict[str, str]:
    """What this installation was built with: ``f80``, the backend of the
    64-bit-significand arithmetic of the float tables ("x87", "soft" or
    "mpfr"; all give the same bits); ``u128``, the form of the 128-bit
    integers ("native" or "portable"); and ``target``, the machine and
    system the extension modules were built for.  ``python -m quorvane
    --version`` prints it."""
    return dict(_build)
