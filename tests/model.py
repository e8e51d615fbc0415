"""Pure-Python reference model of ``quorvane.rust``.

Every function here mirrors one of the extension's entry points and returns
either the list of results or a :class:`Raised` describing the exception the
extension must raise (its type name and its only argument).  Internal
failures of the extension surface as ``PanicException``; the model reports
them as ``Raised("Panic", message)``.

The integer scheme is computed with Python integers.  The float schemes are
computed with MPFR (through gmpy2) at 64 bits of precision, rounding to
nearest with ties to even, one rounding per arithmetic step, followed by the
truncating narrowing to binary64 and the saturating conversion to uint64.
Nothing here uses the host's floating point for arithmetic; Python floats are
only carried around and compared.
"""

from __future__ import annotations

import math
import struct
from fractions import Fraction
from typing import Any, Callable, Iterable, NamedTuple, Optional, Sequence, Union

try:  # the float model needs MPFR; the integer model does not
    import gmpy2
except ImportError:  # pragma: no cover - e.g. PyPy, which has no gmpy2 build
    gmpy2 = None

U64_MAX = (1 << 64) - 1
I64_MIN = -(1 << 63)
I64_MAX = (1 << 63) - 1
OFFSET = 1 << 63

# Method codes.
ABSENT, NEAREST, FFILL, BFILL = 0, 1, 2, 3
METHODS = {None: ABSENT, "nearest": NEAREST, "ffill": FFILL, "bfill": BFILL}

MSG_NOT_FINITE = "assertion failed: value.is_finite()"
MSG_NAN = "nan or inf encountered"
MSG_LENGTH = "xp and fp must have same length"
MSG_METHOD = "method must be either None, 'nearest', 'ffill' or 'bfill'"


class Raised(NamedTuple):
    """An exception outcome: the class name ("Panic" for PanicException)
    and the exception's only argument."""

    type: str
    message: str


Outcome = Union[list, Raised]


class _Panic(Exception):
    """Internal failure inside the model; becomes Raised("Panic", msg)."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


# InterpError kinds.
OUT_OF_BOUNDS, NOT_FOUND, NOT_STRICTLY_INCREASING = 0, 1, 2


class _InterpError(Exception):
    def __init__(self, kind: int) -> None:
        super().__init__(kind)
        self.kind = kind


_FORWARD_MESSAGES = {
    OUT_OF_BOUNDS: ("IndexError", "x out of bounds"),
    NOT_FOUND: ("IndexError", "x not found"),
    NOT_STRICTLY_INCREASING: ("ValueError", "xp must be strictly increasing"),
}
_INVERSE_MESSAGES = {
    OUT_OF_BOUNDS: ("KeyError", "f out of bounds"),
    NOT_FOUND: ("KeyError", "f not found"),
    NOT_STRICTLY_INCREASING: ("ValueError", "fp must be strictly increasing"),
}


# ---------------------------------------------------------------------------
# Bit helpers


def f64_bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def bits_f64(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


# ---------------------------------------------------------------------------
# Table


def _strictly_increasing(axis: Sequence[Any]) -> bool:
    for k in range(len(axis) - 1):
        # "not less than" in the element order: NaN fails it.
        if not axis[k] < axis[k + 1]:
            return False
    return True


def _ordered(a: Any, b: Any) -> None:
    if isinstance(a, float) and math.isnan(a):
        raise _Panic(MSG_NAN)
    if isinstance(b, float) and math.isnan(b):
        raise _Panic(MSG_NAN)


def locate(axis: Sequence[Any], key: Any) -> tuple[bool, int]:
    """Halving search over a non-empty axis.

    Returns (True, i) for an exact index, (False, i) for an insertion point.
    """
    n = len(axis)
    assert n >= 1
    size, base = n, 0
    while size > 1:
        half = size // 2
        mid = base + half
        _ordered(key, axis[mid])
        if not key < axis[mid]:
            base = mid
        size -= half
    probe = axis[base]
    _ordered(probe, key)
    if probe == key:
        return True, base
    if probe < key:
        return False, base + 1
    return False, base


class Interp:
    def __init__(self, xp: Sequence[Any], fp: Sequence[Any]) -> None:
        if len(xp) != len(fp):
            raise _Panic(MSG_LENGTH)
        self.xp = list(xp)
        self.fp = list(fp)
        self.xp_strictly_increasing = _strictly_increasing(self.xp)
        self.fp_strictly_increasing = _strictly_increasing(self.fp)

    def forward(self, x: int, scheme: Callable[..., Any]) -> Any:
        if not self.xp_strictly_increasing:
            raise _InterpError(NOT_STRICTLY_INCREASING)
        n = len(self.xp)
        if n == 0:
            raise _InterpError(OUT_OF_BOUNDS)
        exact, i = locate(self.xp, x)
        if exact:
            return self.fp[i]
        if i == 0 or i == n:
            raise _InterpError(OUT_OF_BOUNDS)
        return scheme(x, self.xp[i - 1], self.xp[i], self.fp[i - 1], self.fp[i])

    def inverse(self, f: Any, method: int, scheme: Callable[..., Any]) -> int:
        if not self.fp_strictly_increasing:
            raise _InterpError(NOT_STRICTLY_INCREASING)
        n = len(self.fp)
        if n == 0:
            raise _InterpError(OUT_OF_BOUNDS)
        exact, i = locate(self.fp, f)
        if exact:
            return self.xp[i]
        if i == 0:
            if method in (NEAREST, BFILL):
                return self.xp[0]
            raise _InterpError(OUT_OF_BOUNDS)
        if i == n:
            if method in (NEAREST, FFILL):
                return self.xp[n - 1]
            raise _InterpError(OUT_OF_BOUNDS)
        r = scheme(f, self.xp[i - 1], self.xp[i], self.fp[i - 1], self.fp[i], method)
        if r is None:
            raise _InterpError(NOT_FOUND)
        return r


# ---------------------------------------------------------------------------
# Integer scheme


def divide_rounded(n: int, d: int, method: int) -> Optional[int]:
    assert 0 <= n < 1 << 128 and 0 < d < 1 << 64
    q, r = divmod(n, d)
    if method == ABSENT:
        return q if r == 0 else None
    if method == NEAREST:
        twice = 2 * r
        if twice < d:
            return q
        if twice > d:
            return q + 1
        return q if q % 2 == 0 else q + 1
    if method == FFILL:
        return q
    if method == BFILL:
        return q + 1 if r else q
    raise AssertionError(method)


def int_forward(x: int, x0: int, x1: int, f0: int, f1: int) -> int:
    assert x0 < x < x1
    d = x1 - x0
    a, b = f0 + OFFSET, f1 + OFFSET
    wa, wb = x1 - x, x - x0
    n = wa * a + wb * b
    assert n < 1 << 128
    q = divide_rounded(n, d, NEAREST)
    assert q is not None and q < 1 << 64
    return q - OFFSET


def int_inverse(f: int, x0: int, x1: int, f0: int, f1: int, method: int) -> Optional[int]:
    assert f0 < f < f1
    d = (f1 + OFFSET) - (f0 + OFFSET)
    wa = (f1 + OFFSET) - (f + OFFSET)
    wb = (f + OFFSET) - (f0 + OFFSET)
    n = wa * x0 + wb * x1
    assert n < 1 << 128
    q = divide_rounded(n, d, method)
    if q is None:
        return None
    assert q <= U64_MAX
    return q


# ---------------------------------------------------------------------------
# F80 arithmetic through MPFR

_CTX = None if gmpy2 is None else gmpy2.context(
    precision=64,
    round=gmpy2.RoundToNearest,
    emax=1 << 30,
    emin=-(1 << 30),
    subnormalize=False,
    trap_underflow=True,
    trap_overflow=True,
    trap_inexact=False,
    trap_invalid=True,
    trap_erange=True,
    trap_divzero=True,
)


def _f80_from_u64(v: int) -> Any:
    assert 0 <= v <= U64_MAX
    r = gmpy2.mpfr(v)
    assert r.precision == 64 and int(r) == v
    return r


def _f80_from_f64(v: float) -> Any:
    if not math.isfinite(v):
        raise _Panic(MSG_NOT_FINITE)
    r = gmpy2.mpfr(v)
    assert r.precision == 64 and Fraction(*r.as_integer_ratio()) == Fraction(v)
    return r


# The arithmetic helpers below must run inside ``with gmpy2.context(_CTX)``:
# each operation is then one MPFR operation rounded once to 64 bits.


def _sub(a: Any, b: Any) -> Any:
    return a - b


def _mul(a: Any, b: Any) -> Any:
    return a * b


def _add(a: Any, b: Any) -> Any:
    return a + b


def _div(a: Any, b: Any) -> Any:
    return a / b


def f80_parts(v: Any) -> tuple[int, int, int]:
    """(sign, e, m) of a nonzero finite value: |v| = m * 2**(e - 64) with the
    top bit of the 64-bit m set, so |v| lies in [2**(e-1), 2**e)."""
    assert gmpy2.is_finite(v) and not gmpy2.is_zero(v)
    man, exp = v.as_mantissa_exp()
    man, exp = int(man), int(exp)
    sign = 1 if man < 0 else 0
    man = abs(man)
    length = man.bit_length()
    assert length <= 64
    m = man << (64 - length)
    e = exp + length
    assert m >> 63 == 1
    return sign, e, m


def f80_to_f64_bits(v: Any) -> int:
    """Truncating conversion to binary64, as a bit pattern."""
    if not gmpy2.is_finite(v):
        raise _Panic("F80 conversion of a non-finite value")
    if gmpy2.is_zero(v):
        return 0
    sign, e, m = f80_parts(v)
    if e >= 1025:
        return (sign << 63) | (0x7FF << 52)
    if -1021 <= e <= 1024:
        fraction = (m >> 11) & ((1 << 52) - 1)
        return (sign << 63) | ((e + 1022) << 52) | fraction
    if -1073 <= e <= -1022:
        shift = -1010 - e
        assert 12 <= shift <= 63
        fraction = m >> shift
        assert fraction != 0
        return (sign << 63) | fraction
    return 0


def f80_to_u64(v: Any) -> int:
    """Truncating, saturating conversion to uint64."""
    if not gmpy2.is_finite(v):
        raise _Panic("F80 conversion of a non-finite value")
    if gmpy2.is_zero(v):
        return 0
    sign, e, m = f80_parts(v)
    if sign:
        return 0
    if e <= 0:
        return 0
    if e >= 65:
        return U64_MAX
    return m >> (64 - e)


def _exact_fraction(v: Any) -> Fraction:
    return Fraction(*v.as_integer_ratio())


def _integral_f80(k: int) -> Any:
    r = gmpy2.mpfr(k)
    assert int(r) == k, "integer part not representable in 64 bits"
    return r


def f80_floor(v: Any) -> Any:
    return _integral_f80(math.floor(_exact_fraction(v)))


def f80_ceil(v: Any) -> Any:
    return _integral_f80(math.ceil(_exact_fraction(v)))


def f80_round(v: Any) -> Any:
    # Fraction.__round__ rounds halfway cases to even.
    return _integral_f80(round(_exact_fraction(v)))


# ---------------------------------------------------------------------------
# Float schemes


def float_forward(x: int, x0: int, x1: int, f0: float, f1: float) -> float:
    assert x0 < x < x1
    with gmpy2.context(_CTX):
        return _float_forward(x, x0, x1, f0, f1)


def _float_forward(x: int, x0: int, x1: int, f0: float, f1: float) -> float:
    X = _f80_from_u64(x)
    X0 = _f80_from_u64(x0)
    X1 = _f80_from_u64(x1)
    F0 = _f80_from_f64(f0)
    F1 = _f80_from_f64(f1)
    a = _sub(X1, X)
    assert int(a) == x1 - x
    p = _mul(F0, a)
    b = _sub(X, X0)
    assert int(b) == x - x0
    q = _mul(F1, b)
    s = _add(p, q)
    d = _sub(X1, X0)
    assert int(d) == x1 - x0
    r = _div(s, d)
    return bits_f64(f80_to_f64_bits(r))


def float_inverse(f: float, x0: int, x1: int, f0: float, f1: float, method: int) -> Optional[int]:
    assert f0 < f < f1
    with gmpy2.context(_CTX):
        return _float_inverse(f, x0, x1, f0, f1, method)


def _float_inverse(f: float, x0: int, x1: int, f0: float, f1: float, method: int) -> Optional[int]:
    F = _f80_from_f64(f)
    X0 = _f80_from_u64(x0)
    X1 = _f80_from_u64(x1)
    F0 = _f80_from_f64(f0)
    F1 = _f80_from_f64(f1)
    a = _sub(F1, F)
    p = _mul(X0, a)
    b = _sub(F, F0)
    q = _mul(X1, b)
    s = _add(p, q)
    d = _sub(F1, F0)
    assert not gmpy2.is_zero(d)
    r = _div(s, d)
    if method == ABSENT:
        k = f80_floor(r)
        if _exact_fraction(k) != _exact_fraction(r):
            return None
        return f80_to_u64(k)
    if method == NEAREST:
        return f80_to_u64(f80_round(r))
    if method == FFILL:
        return f80_to_u64(f80_floor(r))
    if method == BFILL:
        return f80_to_u64(f80_ceil(r))
    raise AssertionError(method)


# ---------------------------------------------------------------------------
# Entry points


def _u64_list(values: Iterable[Any]) -> list[int]:
    out = [int(v) for v in values]
    assert all(0 <= v <= U64_MAX for v in out)
    return out


def _i64_list(values: Iterable[Any]) -> list[int]:
    out = [int(v) for v in values]
    assert all(I64_MIN <= v <= I64_MAX for v in out)
    return out


def _f64_list(values: Iterable[Any]) -> list[float]:
    return [float(v) for v in values]


def _parse_method(method: Optional[str]) -> Union[int, Raised]:
    if method is not None and not isinstance(method, str):
        return Raised("TypeError", "argument 'method': '%s' object cannot be converted to 'PyString'"
                      % type(method).__qualname__)
    if method in METHODS:
        return METHODS[method]
    return Raised("ValueError", MSG_METHOD)


def _run_forward(x, xp, fp, scheme) -> Outcome:
    try:
        table = Interp(xp, fp)
        out = []
        for q in x:
            try:
                out.append(table.forward(q, scheme))
            except _InterpError as err:
                return Raised(*_FORWARD_MESSAGES[err.kind])
        return out
    except _Panic as panic:
        return Raised("Panic", panic.message)


def _run_inverse(f, xp, fp, method, scheme) -> Outcome:
    code = _parse_method(method)
    if isinstance(code, Raised):
        return code
    try:
        table = Interp(xp, fp)
        out = []
        for q in f:
            try:
                out.append(table.inverse(q, code, scheme))
            except _InterpError as err:
                return Raised(*_INVERSE_MESSAGES[err.kind])
        return out
    except _Panic as panic:
        return Raised("Panic", panic.message)


def forward_int(x, xp, fp) -> Outcome:
    """Values (Python ints) at the coordinates ``x``, or the exception."""
    return _run_forward(_u64_list(x), _u64_list(xp), _i64_list(fp), int_forward)


def inverse_int(f, xp, fp, method=None) -> Outcome:
    """Coordinates (Python ints) of the values ``f``, or the exception."""
    return _run_inverse(_i64_list(f), _u64_list(xp), _i64_list(fp), method, int_inverse)


def forward_float(x, xp, fp) -> Outcome:
    """Values (Python floats) at the coordinates ``x``, or the exception."""
    return _run_forward(_u64_list(x), _u64_list(xp), _f64_list(fp), float_forward)


def inverse_float(f, xp, fp, method=None) -> Outcome:
    """Coordinates (Python ints) of the values ``f``, or the exception."""
    return _run_inverse(_f64_list(f), _u64_list(xp), _f64_list(fp), method, float_inverse)


def forward_float_bits(x, xp, fp) -> Outcome:
    """Like :func:`forward_float`, with each result as its uint64 bit pattern."""
    out = forward_float(x, xp, fp)
    if isinstance(out, Raised):
        return out
    return [f64_bits(v) for v in out]


# ---------------------------------------------------------------------------
# Running the extension the same way


def capture(fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Union[Any, Raised]:
    """Call ``fn`` and return its result, or the exception as a Raised.

    PanicException (from pyo3_runtime, derived from BaseException) becomes
    Raised("Panic", message); other exceptions keep their class name.  An
    exception that does not carry exactly one string argument is re-raised.
    """
    try:
        return fn(*args, **kwargs)
    except BaseException as exc:  # noqa: B902 - PanicException is a BaseException
        cls = type(exc)
        if cls.__name__ == "PanicException":
            if cls.__module__ != "pyo3_runtime" or issubclass(cls, Exception):
                raise
            name = "Panic"
        elif isinstance(exc, (ValueError, IndexError, KeyError, TypeError)):
            name = cls.__name__
        else:
            raise
        if len(exc.args) != 1 or not isinstance(exc.args[0], str):
            raise
        return Raised(name, exc.args[0])
