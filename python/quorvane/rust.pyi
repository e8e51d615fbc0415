"""Native core of quorvane: exact piecewise-linear interpolation between
uint64 coordinates and int64 or float64 values, in both directions.

Every function takes one-dimensional NumPy arrays of exactly the element
types named in its signature (native byte order, any stride) and returns a
new, writeable one-dimensional array with one element per query.  Nothing
is cast: a list, a scalar, a 2-D array or an array of another element type
raises ``TypeError``.  ``xp`` and ``fp`` are copied once per call, the
queries are answered in index order, and the first query without an answer
raises; no partial result is returned.

Broken preconditions (``xp`` and ``fp`` of different lengths, NaN queries,
non-finite samples next to an interpolated query) raise
``pyo3_runtime.PanicException``, which derives from ``BaseException`` and
so passes through ``except Exception``.
"""

from typing import Literal

import numpy as np
import numpy.typing as npt

__all__ = ["forward_int", "forward_float", "inverse_int", "inverse_float"]

def forward_int(
    x: npt.NDArray[np.uint64],
    xp: npt.NDArray[np.uint64],
    fp: npt.NDArray[np.int64],
) -> npt.NDArray[np.int64]:
    """Evaluate the piecewise-linear function through ``(xp[k], fp[k])`` at
    every coordinate of ``x``, exactly.

    A coordinate equal to ``xp[k]`` gives ``fp[k]``.  A coordinate strictly
    between ``xp[k-1]`` and ``xp[k]`` gives the integer nearest to
    ``fp[k-1] + (fp[k] - fp[k-1]) * (x - xp[k-1]) / (xp[k] - xp[k-1])``,
    computed with 128-bit intermediates; an exact tie goes to the even
    integer.  The result always lies between the two sample values.

    Args:
        x: uint64 query coordinates.
        xp: uint64 sample coordinates, strictly increasing.
        fp: int64 sample values, one per coordinate, in any order.

    Returns:
        A new int64 array of ``len(x)`` values.

    Raises:
        TypeError: an argument is missing, unexpected, or not a
            one-dimensional array of its element type.
        ValueError: ``"xp must be strictly increasing"`` (raised at the
            first query, so never for an empty ``x``).
        IndexError: ``"x out of bounds"``: a query below ``xp[0]`` or above
            ``xp[-1]``, or an empty table.
        pyo3_runtime.PanicException: ``"xp and fp must have same length"``
            (a ``BaseException``; raised even for an empty ``x``).
    """

def forward_float(
    x: npt.NDArray[np.uint64],
    xp: npt.NDArray[np.uint64],
    fp: npt.NDArray[np.float64],
) -> npt.NDArray[np.float64]:
    """Evaluate the piecewise-linear function through ``(xp[k], fp[k])`` at
    every coordinate of ``x``.

    A coordinate equal to ``xp[k]`` gives ``fp[k]`` bit for bit (NaN, -0.0
    and infinities included).  A coordinate strictly between ``x0 = xp[k-1]``
    and ``x1 = xp[k]`` gives the weighted mean
    ``(f0 * (x1 - x) + f1 * (x - x0)) / (x1 - x0)``, computed with a 64-bit
    significand: the coordinate differences are exact, each product, the sum
    and the quotient are rounded to nearest-even at 64 bits, and the result
    is truncated toward zero to float64.

    Args:
        x: uint64 query coordinates.
        xp: uint64 sample coordinates, strictly increasing.
        fp: float64 sample values, one per coordinate, in any order.

    Returns:
        A new float64 array of ``len(x)`` values.

    Raises:
        TypeError: an argument is missing, unexpected, or not a
            one-dimensional array of its element type.
        ValueError: ``"xp must be strictly increasing"`` (raised at the
            first query, so never for an empty ``x``).
        IndexError: ``"x out of bounds"``: a query below ``xp[0]`` or above
            ``xp[-1]``, or an empty table.
        pyo3_runtime.PanicException: ``"xp and fp must have same length"``;
            ``"assertion failed: value.is_finite()"`` when a query lies
            strictly inside a segment whose sample values are not both
            finite.
    """

def inverse_int(
    f: npt.NDArray[np.int64],
    xp: npt.NDArray[np.uint64],
    fp: npt.NDArray[np.int64],
    method: Literal["nearest", "ffill", "bfill"] | None = None,
) -> npt.NDArray[np.uint64]:
    """Find, for every value of ``f``, the coordinate at which the
    piecewise-linear function through ``(xp[k], fp[k])`` takes it, exactly.

    A value equal to ``fp[k]`` gives ``xp[k]`` under every method.  A value
    strictly between ``fp[k-1]`` and ``fp[k]`` has the exact rational
    coordinate ``x* = xp[k-1] + (xp[k] - xp[k-1]) * (f - fp[k-1]) /
    (fp[k] - fp[k-1])``, computed with 128-bit intermediates, and
    ``method`` turns it into a whole coordinate:

    - ``None``: ``x*`` if it is whole, otherwise ``KeyError("f not found")``;
      values outside ``[fp[0], fp[-1]]`` raise ``KeyError("f out of bounds")``.
    - ``"nearest"``: the nearest whole coordinate, ties to even; values below
      ``fp[0]`` give ``xp[0]``, values above ``fp[-1]`` give ``xp[-1]``.
    - ``"ffill"``: ``floor(x*)``; values above ``fp[-1]`` give ``xp[-1]``,
      values below ``fp[0]`` raise ``KeyError("f out of bounds")``.
    - ``"bfill"``: ``ceil(x*)``; values below ``fp[0]`` give ``xp[0]``,
      values above ``fp[-1]`` raise ``KeyError("f out of bounds")``.

    Args:
        f: int64 query values.
        xp: uint64 sample coordinates, one per value, in any order.
        fp: int64 sample values, strictly increasing.
        method: ``None``, ``"nearest"``, ``"ffill"`` or ``"bfill"``, matched
            exactly (case and whitespace included).

    Returns:
        A new uint64 array of ``len(f)`` coordinates.

    Raises:
        TypeError: an argument is missing, unexpected, or not a
            one-dimensional array of its element type; ``method`` neither
            ``None`` nor a ``str``.
        ValueError: ``"method must be either None, 'nearest', 'ffill' or
            'bfill'"``; ``"fp must be strictly increasing"`` (raised at the
            first query, so never for an empty ``f``).
        KeyError: ``"f out of bounds"`` or ``"f not found"`` as above; an
            empty table gives ``"f out of bounds"`` under every method.
        pyo3_runtime.PanicException: ``"xp and fp must have same length"``
            (a ``BaseException``; raised even for an empty ``f``).
    """

def inverse_float(
    f: npt.NDArray[np.float64],
    xp: npt.NDArray[np.uint64],
    fp: npt.NDArray[np.float64],
    method: Literal["nearest", "ffill", "bfill"] | None = None,
) -> npt.NDArray[np.uint64]:
    """Find, for every value of ``f``, the coordinate at which the
    piecewise-linear function through ``(xp[k], fp[k])`` takes it.

    A value equal to ``fp[k]`` (``-0.0`` matches ``0.0``) gives ``xp[k]``
    under every method.  A value strictly between ``f0 = fp[k-1]`` and
    ``f1 = fp[k]`` gives the coordinate
    ``r = (x0 * (f1 - f) + x1 * (f - f0)) / (f1 - f0)``, every step rounded
    to nearest-even at 64 significant bits, and ``method`` turns ``r`` into a
    whole coordinate as for :func:`inverse_int`: ``None`` accepts only a
    whole ``r``, ``"nearest"`` rounds half to even, ``"ffill"`` floors,
    ``"bfill"`` ceils; clamping outside the table is the same as there.
    Coordinates saturate at ``2**64 - 1``.  From ``2**63`` on, ``r`` is
    always whole, so all four methods agree.

    Args:
        f: float64 query values.
        xp: uint64 sample coordinates, one per value, in any order.
        fp: float64 sample values, strictly increasing (``-inf`` first and
            ``+inf`` last are allowed).
        method: ``None``, ``"nearest"``, ``"ffill"`` or ``"bfill"``, matched
            exactly (case and whitespace included).

    Returns:
        A new uint64 array of ``len(f)`` coordinates.

    Raises:
        TypeError: an argument is missing, unexpected, or not a
            one-dimensional array of its element type; ``method`` neither
            ``None`` nor a ``str``.
        ValueError: ``"method must be either None, 'nearest', 'ffill' or
            'bfill'"``; ``"fp must be strictly increasing"`` (any NaN among
            two or more samples; raised at the first query, so never for an
            empty ``f``).
        KeyError: ``"f out of bounds"`` or ``"f not found"``.
        pyo3_runtime.PanicException: ``"xp and fp must have same length"``;
            ``"nan or inf encountered"`` for a NaN query on a non-empty
            table (or a one-sample table whose value is NaN);
            ``"assertion failed: value.is_finite()"`` for a query
            between an infinite sample value and its neighbour.
    """
