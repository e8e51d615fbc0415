#!/usr/bin/env python3
"""Coverage-guided fuzzing of quorvane's Python boundary with atheris.

    python tests/fuzz/fuzz_python.py [libFuzzer options] [corpus dir | input files]
    python tests/fuzz/fuzz_python.py --make-corpus     (re)writes corpus/fuzz_python/

tools/fuzz_python.sh runs it.  Each input is decoded (FuzzedDataProvider)
into a few sample tables and a few calls on them: the four functions,
Table(xp, fp), forward and inverse, pickling, pickles of a Table whose
arguments were replaced, and pickles with corrupted bytes.  Arguments come
in every form a caller might pass: arrays of every dtype, shape, byte
order and layout, read-only, unaligned and masked arrays, lists, tuples,
scalars and other objects, with wrong, extra and misnamed arguments.

Every call must end in one of two ways:
  * a result equal to the reference answer: for the functions, the
    pure-Python model (tests/model.py); for a Table, the functions called
    one query at a time on the values this harness converted itself, so
    the first query in index order that has no answer decides the error;
  * one of the documented exceptions, of exactly the class predicted (the
    functions: also the exact message; a Table: a quorvane error whose
    message is a non-empty str and, for a failing query, starts with its
    index, as in "x[1, 2] = ...").
Where the order of two checks is not documented (an option and the query,
xp and fp), any one of the classes the problems present stands for is
accepted.  The arguments must be unchanged afterwards (bytes, masks,
strides, list contents), and results must not share their memory.  A
mismatch raises Mismatch, which atheris reports as a finding; a crash is
reported by atheris itself.
"""
from __future__ import annotations

import copy
import datetime as dt
import io
import math
import operator
import pathlib
import pickle
import random
import struct
import sys
import warnings
from decimal import Decimal
from fractions import Fraction

import atheris
import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))  # tests/, for model.py
with atheris.instrument_imports(include=["model"]):  # the model's branches (rounding ties, clamps) guide the fuzzer too
    import model

try:  # columns of pyarrow, polars and pandas, where the libraries are installed
    import pandas as pd
    import polars as pl
    import pyarrow as pa
except ImportError:
    pa = pl = pd = None

import quorvane
from quorvane import (InvalidTypeError, InvalidValueError, NonFiniteError, NotFoundError, NotIncreasingError,
                      OutOfBoundsError, Table)

warnings.simplefilter("ignore")  # NumPy's overflow and cast warnings while the harness builds arguments
np.seterr(all="ignore")

ERRORS = (OutOfBoundsError, NotFoundError, NotIncreasingError, NonFiniteError, InvalidValueError, InvalidTypeError)
U64_MAX, I64_MIN, I64_MAX = 2**64 - 1, -(2**63), 2**63 - 1
NAT = I64_MIN
ABSENT = object()  # an argument not passed


class Mismatch(AssertionError):
    """A call whose outcome is not the expected one: a finding."""


def require(ok, what, *details):
    if not ok:
        raise Mismatch(what + "".join(f"\n  {safe_repr(d)}" for d in details))


def safe_repr(obj):
    try:
        return repr(obj)
    except Exception as exc:  # NumPy cannot print some arrays it can make (generic-unit times)
        return f"<{type(obj).__name__}: repr failed with {exc!r}>"


# ---------------------------------------------------------------------------
# Decoding the fuzzer's bytes


class Exhausted(Exception):
    """The input has no bytes left: the call being decoded is not made (the
    provider would answer 0 to every choice, which would favour the choices
    numbered 0 at the end of every input)."""


class Src:
    def __init__(self, data: bytes):
        self.f = atheris.FuzzedDataProvider(data)

    def left(self):
        return self.f.remaining_bytes()

    def n(self, k):
        if not self.f.remaining_bytes():
            raise Exhausted
        return self.f.ConsumeIntInRange(0, k - 1)

    def pick(self, seq):
        return seq[self.n(len(seq))]

    def chance(self, k):  # 1 in k
        return self.n(k) == 0

    def int(self, lo, hi):
        if not self.f.remaining_bytes():
            raise Exhausted
        return self.f.ConsumeIntInRange(lo, hi)

    def float(self):
        if not self.f.remaining_bytes():
            raise Exhausted
        return self.f.ConsumeFloat()


# ---------------------------------------------------------------------------
# Axes and the exact conversion of an element to one (the harness's own)

UNIT_AS = {"W": 604800 * 10**18, "D": 86400 * 10**18, "h": 3600 * 10**18, "m": 60 * 10**18, "s": 10**18,
           "ms": 10**15, "us": 10**12, "ns": 10**9, "ps": 10**6, "fs": 10**3, "as": 1}


class Axis:
    """What an axis takes: key 'u' (uint64), 'i' (int64) or 'f' (float64);
    time '' or 'M' / 'm' with the unit's length in attoseconds; dtype of
    the answers on it."""

    def __init__(self, name, key, dtype=None):
        self.name, self.key = name, key
        self.dtype = np.dtype(dtype or {"u": np.uint64, "i": np.int64, "f": np.float64}[key])
        self.time = self.dtype.kind if self.dtype.kind in "Mm" else ""
        self.unit = unit_as(self.dtype) if self.time else 0


def unit_as(dtype):
    unit, num = np.datetime_data(dtype)
    return UNIT_AS.get(unit, 0) * num


def key_of(v, axis):
    """A Python int as a key of the axis, or None when it does not convert exactly."""
    if axis.key == "u":
        return v if 0 <= v <= U64_MAX else None
    if axis.key == "i":
        return v if I64_MIN <= v <= I64_MAX else None
    try:
        f = float(v)
    except OverflowError:
        return None
    return f if f == v else None  # int == float compares exactly


def time_key(count, from_as, axis):
    if count == NAT:
        return None
    r = Fraction(count * from_as, axis.unit)
    if r.denominator != 1 or abs(r) > I64_MAX:
        return None
    return key_of(int(r), axis)


def time_of(v):
    """A time scalar as (kind, count, unit in attoseconds, dtype), or None:
    NumPy's times, and the standard library's (aware ones as UTC instants)."""
    if isinstance(v, (np.datetime64, np.timedelta64)):
        generic = np.datetime_data(v.dtype)[0] == "generic"
        return v.dtype.kind, int(v.view(np.int64)), 1 if generic else unit_as(v.dtype), v.dtype
    if isinstance(v, dt.timedelta):
        return "m", (v.days * 86400 + v.seconds) * 10**6 + v.microseconds, 10**12, np.dtype("m8[us]")
    if isinstance(v, dt.datetime):
        naive = v.replace(tzinfo=None) - (v.utcoffset() or dt.timedelta(0))
        return "M", ((naive - dt.datetime(1970, 1, 1)) // dt.timedelta(microseconds=1)), 10**12, np.dtype("M8[us]")
    if isinstance(v, dt.date):
        return "M", (v - dt.date(1970, 1, 1)).days, 86400 * 10**18, np.dtype("M8[D]")
    return None


def object_axis(a):
    """The time dtype a table's axis takes from an object array whose
    elements lead with time scalars of one kind: the finest of their units
    (None when the first is no time, or none has a unit)."""
    kind, finest = None, None
    for i, v in enumerate(elements(np.ma.getdata(a))):
        t = time_of(v)
        if t is None or (i > 0 and t[0] != kind):
            break
        kind = t[0]
        if unit_as(t[3]) and (finest is None or unit_as(t[3]) < unit_as(finest)):
            finest = t[3]
    return finest if kind is not None else None


SKIP = "masked"


class Refused:  # an element that does not convert: InvalidValueError when the batch reaches it
    pass


REFUSED = Refused()
WRONG = "an element of the wrong kind"


class Conv:
    """An argument as an axis reads it: early error classes (raised before
    any query is looked up) or one key per element in C order (SKIP where
    masked, REFUSED where it does not convert), its shape, whether the
    answer is a scalar, and the mask."""

    def __init__(self, early=None, where=None, keys=(), shape=(), scalar=False, mask=None):
        self.early, self.where = early, where
        self.keys, self.shape, self.scalar, self.mask = list(keys), shape, scalar, mask


def as_array_outcome(obj):
    """What NumPy makes of a non-array argument: (array, None) or (None, the error classes the table raises)."""
    try:
        return np.asarray(obj), None
    except ValueError:
        return None, {InvalidValueError}
    except TypeError:
        return None, {InvalidTypeError}
    except Exception as exc:  # the object's own exception passes through
        return None, {type(exc)}


def elements(a):
    """The elements of an array in C order as Python values (time arrays as int64 counts)."""
    a = np.asarray(a)
    if a.dtype.kind in "Mm":
        return np.array(a, dtype=a.dtype.newbyteorder("=")).view(np.int64).ravel().tolist()
    if a.dtype.kind == "O":
        return list(np.array(a, dtype=object).ravel())
    return np.array(a).ravel().tolist()


def read_arg(obj, axis, samples=False, queries=False):
    """The harness's reading of a query, fill value or sample argument (see
    Conv).  In queries, an element of the wrong kind in a list or object
    array fails at its index, after the queries before it (WRONG); in
    samples and fill values it fails the argument at once."""
    early = lambda cls, where=None: Conv(early={cls}, where=where)  # noqa: E731
    obj = equivalent(obj)
    if isinstance(obj, int) and not isinstance(obj, bool):
        if axis.time:
            return early(InvalidTypeError)
        k = key_of(int(obj), axis)
        return Conv(keys=[REFUSED if k is None else k], scalar=True)
    if isinstance(obj, float) and axis.key == "f":
        return Conv(keys=[float(obj)], scalar=True)
    mask = None
    if isinstance(obj, np.ndarray):
        if obj is np.ma.masked:
            return Conv(keys=[SKIP], scalar=True, mask=np.ones((), bool))
        a, scalar = obj, False
        if isinstance(obj, np.ma.MaskedArray):
            mask = np.ma.getmaskarray(obj).ravel().tolist()
    elif isinstance(obj, np.generic):
        a, scalar = np.asarray(obj), True
    else:
        a, errors = as_array_outcome(obj)
        if errors:
            return Conv(early=errors)
        scalar = a.ndim == 0
        if isinstance(obj, (list, tuple)) and a.dtype.kind == "f":  # Python ints beyond int64 stay exact
            a = np.array(obj, dtype=object)
    conv = Conv(shape=a.shape, scalar=scalar, mask=mask)
    k, dt = a.dtype.kind, a.dtype
    if (k != "O" and ((k in "Mm") != bool(axis.time) or (axis.time and k != axis.time))) or k not in "uifOMm" \
            or (k == "f" and (axis.key != "f" or dt.itemsize not in (2, 4, 8))):
        return early(InvalidTypeError)
    values = elements(a)
    from_as = 0
    if k in "Mm":
        from_as = unit_as(dt)
        if np.datetime_data(dt)[0] == "generic" and not samples and all(v == NAT for v in values):
            from_as = axis.unit  # the generic unit holds only NaT, refused element by element
        if from_as == 0:
            return early(InvalidTypeError)
    for i, v in enumerate(values):
        if mask is not None and mask[i]:
            conv.keys.append(SKIP)
            continue
        if k == "O" and axis.time:  # a time axis takes time scalars of the matching kind, exactly
            t = time_of(v)
            if t is None or t[0] != axis.time or (t[2] == 0 and t[1] != NAT):  # months: no fixed length
                if queries:
                    conv.keys.append(WRONG)
                    break
                return Conv(early={InvalidTypeError}, where=i, shape=a.shape, scalar=scalar)
            key = time_key(t[1], t[2], axis)
            conv.keys.append(REFUSED if key is None else key)
            if key is None:
                break
            continue
        if k == "O":
            is_float = isinstance(v, float) or type(v) in (np.float16, np.float32)
            if is_float and axis.key == "f":
                conv.keys.append(float(v))
                continue
            if is_float or isinstance(v, bool) or not hasattr(type(v), "__index__"):
                if queries:
                    conv.keys.append(WRONG)
                    break  # nothing after it is converted
                return Conv(early={InvalidTypeError}, where=i, shape=a.shape, scalar=scalar)
            key = key_of(operator.index(v), axis)
            conv.keys.append(REFUSED if key is None else key)
            if key is None:
                break  # nothing after it is converted
            continue
        key = time_key(v, from_as, axis) if k in "Mm" else key_of(v, axis) if k in "ui" else float(v)
        conv.keys.append(REFUSED if key is None else key)
    return conv


def fingerprint(obj, depth=0):
    """What must not change in an argument: bytes, dtype, layout, mask; list contents."""
    if is_column(obj):
        return (type(obj), fingerprint(equivalent(obj), depth))
    if isinstance(obj, np.ndarray):
        data = np.ma.getdata(obj)  # a masked array's own tobytes() fills its masked elements
        out = (type(obj), obj.dtype.str, obj.shape, obj.strides, obj.flags.writeable,
               data.tobytes() if obj.dtype.kind != "O" else tuple(fingerprint(o, 1) for o in data.ravel()))
        if isinstance(obj, np.ma.MaskedArray):
            out += (np.ma.getmaskarray(obj).tobytes(), obj.hardmask)
        return out
    if isinstance(obj, (list, tuple)) and depth < 4:
        return (type(obj), tuple(fingerprint(o, depth + 1) for o in obj))
    if isinstance(obj, float):
        return struct.pack("<d", obj)
    try:
        return (type(obj), repr(obj))
    except Exception:  # noqa: BLE001 - an object that cannot show itself is told by identity
        return (type(obj), id(obj))


def separate(result, args):
    """A result shares no memory with an argument."""
    for a in args:
        if isinstance(a, np.ndarray) and isinstance(result, np.ndarray) and a.size and result.size \
                and result is not np.ma.masked:  # the answer to numpy.ma.masked is itself
            require(not np.may_share_memory(result, a), "the result shares memory with an argument")


# ---------------------------------------------------------------------------
# Generating values


def gen_ints(s, n, lo, hi):
    """n integers in [lo, hi], mostly strictly increasing, sometimes with an
    equal pair, a descent, or in any order."""
    span = hi - lo
    start = s.pick([lo, lo + 1, lo + s.int(0, 1000), (lo + hi) // 2 - s.int(0, 10**6), hi - n * 3,
                    lo + s.int(0, span), -5])
    step = s.pick([1, 2, 3, 7, 10, 1000, 2**32 + 1, 2**53 + 1, span // max(n, 1)])
    out, v = [], start
    for _ in range(n):
        out.append(min(max(v, lo), hi))
        v += step if s.n(4) else s.int(1, max(1, step * 3))
    if n > 1 and s.chance(4):
        k = s.int(1, n - 1)
        out[k] = s.pick([out[k - 1], out[k - 1] - 1, lo, hi])
    if s.chance(16):
        random.Random(s.int(0, 255)).shuffle(out)
    return out


EDGE_FLOATS = [0.0, -0.0, 0.5, 1.0, -1.0, 1 / 3, 2.0**53, 2.0**64, 2.0**63, 5e-324, 2.2250738585072014e-308,
                  1.7976931348623157e308, -1.7976931348623157e308, math.inf, -math.inf, math.nan]


def gen_floats(s, n):
    start = s.pick([-1e6, 0.0, -0.0, 1.0, -1e300, 5e-324, -2.0**70, s.float()])
    step = s.pick([1.0, 0.25, 1e-300, 3.3, 1e300, 2.0**60, 5e-324])
    out, v = [], start if math.isfinite(start) else 0.0
    for _ in range(n):
        out.append(v)
        v = v + step * (1 + s.n(5))
    for _ in range(s.n(3) if n else 0):  # NaN, infinities, signed zeros, near neighbours
        k = s.n(n)
        out[k] = s.pick(EDGE_FLOATS + [math.nextafter(out[k - 1], math.inf)])
    return out


def gen_queries(s, points, floats, lo, hi):
    """Queries about the axis `points`: exact hits, neighbours, midpoints,
    outside, extremes and arbitrary values."""
    m = s.pick([0, 1, 1, 2, 3, 4, 5, 8, 13, 32])
    out = []
    for _ in range(m):
        c = s.n(8)
        p = points[s.n(len(points))] if points else 0
        if floats:
            if c < 3 or not isinstance(p, float) or not math.isfinite(p):
                v = p if c < 3 else s.pick(EDGE_FLOATS)
            elif c < 5:
                q = points[s.n(len(points))]
                v = (p + q) / 2 if math.isfinite(q) else p
            elif c == 5:
                v = math.nextafter(p, s.pick([math.inf, -math.inf]))
            else:
                v = s.float()
        else:
            if c < 3:
                v = p
            elif c < 5:
                v = p + s.int(-3, 3)
            elif c == 5:
                v = (p + points[s.n(len(points))]) // 2 if points else 0
            elif c == 6:
                v = s.pick([lo, hi, lo - 1, hi + 1, 0, 2**53 + 1, 2**63, -1])
            else:
                v = s.int(lo, hi)
        out.append(v)
    return out


# ---------------------------------------------------------------------------
# Arguments of every form holding given values


INT_DTYPES = ["u1", "u2", "u4", "u8", "i1", "i2", "i4", "i8"]
TIME_DTYPES = ["M8[ns]", "M8[us]", "M8[s]", "M8[D]", "M8[M]", "M8", "m8[ns]", "m8[ms]", "m8[h]", "m8[W]", "m8[Y]",
               "m8[10s]", "m8"]
OTHER_DTYPES = ["f2", "f4", "f8", "g", "?", "c16", "O", "U6", "S6"]


def as_dtype(values, dt):
    """A 1-D array of dtype dt holding the values, wrapped or rounded as a cast would."""
    dt = np.dtype(dt)
    k = dt.kind
    ints = [0 if isinstance(v, float) and not math.isfinite(v) else int(v) for v in values]
    if k in "uiMm":
        size = 8 if k in "Mm" else dt.itemsize
        raw = np.array([v % 2 ** (8 * size) for v in ints], dtype=f"u{size}")
        native = dt.newbyteorder("=") if k in "Mm" else np.dtype(f"{k}{size}")
        # a view, not a cast: NumPy casts no counts but NaT to the generic unit, yet holds them
        return raw.view(native) if dt == native else raw.view(native).astype(dt)
    if k in "fc":
        return np.array([float(v) if isinstance(v, float) else float(min(max(v, -2**1023), 2**1023)) for v in values],
                        dtype=np.float64).astype(dt)
    if k == "b":
        return np.array([bool(v) for v in values], dtype=dt)
    if k == "O":
        out = np.empty(len(values), dtype=object)
        out[:] = values
        return out
    return np.array([str(v) for v in values], dtype=dt)


def rescaled(values, have, want):
    """Time counts of unit `have` in unit `want`, exact where the new unit is finer."""
    a, b = unit_as(np.dtype(have)), unit_as(np.dtype(want))
    if not a or not b:
        return values
    return [v * a // b if v != NAT else v for v in values]


# ---------------------------------------------------------------------------
# Columns: Arrow (pyarrow, polars, another producer) and pandas, each read as
# its equivalent NumPy array, masked where it holds nulls


class Producer:
    """An Arrow producer of neither library: only the capsule protocol."""

    def __init__(self, column, stream):
        self.column = column
        if stream:
            self.__arrow_c_stream__ = column.__arrow_c_stream__
        else:
            self.__arrow_c_array__ = column.__arrow_c_array__

    def __repr__(self):
        return f"Producer({self.column!r})"


COLUMN_DTYPES = set(INT_DTYPES) | {"f2", "f4", "f8", "M8[ns]", "M8[us]", "M8[s]", "M8[D]", "m8[ns]", "m8[ms]"}
COLUMN_KINDS = ["pyarrow", "pyarrow sliced", "pyarrow chunked", "polars", "polars chunked", "pandas",
                "pandas Index", "producer array", "producer stream"]


def columnize(s, a, nulls):
    """A column of one of COLUMN_KINDS holding the 1-D array a, null where
    nulls is true; or a itself where the kind cannot hold its dtype."""
    kind = s.pick(COLUMN_KINDS)
    dt = a.dtype.newbyteorder("=")
    a = np.ascontiguousarray(a, dtype=dt)
    arrow = pa.array(a, mask=np.asarray(nulls, bool) if any(nulls) else None)
    if kind == "pyarrow":
        return arrow
    if kind == "pyarrow sliced":
        pad = pa.array(np.zeros(3, dt))
        return pa.concat_arrays([pad, arrow, pad]).slice(3, len(a))
    if kind in ("pyarrow chunked", "producer stream"):
        cut = s.int(0, len(a))
        chunked = pa.chunked_array([arrow.slice(0, cut), arrow.slice(cut, 0), arrow.slice(cut)], arrow.type)
        return chunked if kind == "pyarrow chunked" else Producer(chunked, True)
    if kind == "producer array":
        return Producer(arrow, False)
    if kind.startswith("polars"):
        if dt.kind in "Mm" and np.datetime_data(dt)[0] not in ("ms", "us", "ns") or dt == np.float16:
            return arrow
        if kind == "polars":
            return pl.Series("q", arrow)
        cut = s.int(0, len(a))
        return pl.concat([pl.Series("q", arrow.slice(0, cut)), pl.Series("q", arrow.slice(cut))], rechunk=False)
    if dt.kind in "Mm":
        if np.datetime_data(dt)[0] not in ("s", "ms", "us", "ns"):
            return arrow
        values = a.copy()
        values[np.asarray(nulls, bool)] = np.array("NaT", dt)
        return pd.Series(values, name="q") if kind == "pandas" else pd.Index(values, name="q")
    if dt == np.float16:
        return arrow
    masked = (pd.arrays.FloatingArray if dt.kind == "f" else pd.arrays.IntegerArray)(a, np.asarray(nulls, bool))
    return pd.Series(masked, name="q") if kind == "pandas" else pd.Index(masked, name="q")


def arrow_equivalent(array):
    """A pyarrow Array or ChunkedArray as NumPy: values (by their bits), masked at the nulls."""
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks() if array.num_chunks else pa.array([], array.type)
    t = array.type
    if pa.types.is_date32(t):
        dt, width = np.dtype("M8[D]"), 4
    elif pa.types.is_timestamp(t) or pa.types.is_duration(t) or pa.types.is_date64(t):
        unit = "ms" if pa.types.is_date64(t) else t.unit
        dt, width = np.dtype(f"{'m' if pa.types.is_duration(t) else 'M'}8[{unit}]"), 8
    else:
        dt = np.dtype(t.to_pandas_dtype())
        width = dt.itemsize
    raw = np.frombuffer(array.buffers()[1], f"i{width}" if width == 4 and dt.kind == "M" else dt.str)
    values = raw[array.offset:array.offset + len(array)].astype(dt) if width == 4 and dt.kind == "M" else \
        raw[array.offset:array.offset + len(array)].copy()
    nulls = np.asarray(array.is_null().to_pylist(), bool).reshape(values.shape)
    return np.ma.masked_array(values, mask=nulls) if nulls.any() else values


def equivalent(obj):
    """The NumPy array a column stands for (see arrow_equivalent); any
    other object as it is."""
    if pa is None:
        return obj
    if isinstance(obj, Producer):
        obj = obj.column
    if isinstance(obj, (pa.Array, pa.ChunkedArray)):
        return arrow_equivalent(obj)
    if isinstance(obj, pl.Series):
        return arrow_equivalent(obj.to_arrow())
    if isinstance(obj, (pd.Series, pd.Index)):
        array = obj.array
        if isinstance(array, (pd.arrays.IntegerArray, pd.arrays.FloatingArray)):
            values, nulls = array._data.copy(), array._mask.copy()
        else:  # NaT is the null of a time column; a plain one has none
            values = np.asarray(getattr(array, "_ndarray", array)).copy()
            nulls = np.isnat(values) if values.dtype.kind in "Mm" else np.zeros(values.shape, bool)
        return np.ma.masked_array(values, mask=nulls) if nulls.any() else values
    return obj


def is_column(obj):
    return equivalent(obj) is not obj


def from_column(result):
    """An answer in a caller's container, as NumPy (masked at its nulls)."""
    if pa is None or isinstance(result, np.ndarray):
        return result
    require(isinstance(result, (pa.Array, pa.ChunkedArray, pl.Series, pd.Series, pd.Index)),
            "a column's answer is not a column", type(result))
    return equivalent(result)


def layout(s, a):
    """The same elements (or a broadcast of the first ones) in another layout."""
    c = s.n(10)
    if a.ndim == 0 or a.size == 0:
        return a
    if c == 0:
        return np.flip(np.flip(a).copy())  # negative strides
    if c == 1:
        return np.repeat(a, 2, axis=-1)[..., ::2]
    if c == 2:
        return np.asfortranarray(a)
    if c == 3:
        return np.broadcast_to(a[(slice(0, 1),) * a.ndim], a.shape)  # zero strides
    if c == 4 and a.dtype.kind != "O" and a.dtype.itemsize > 1:
        swapped = a.dtype.newbyteorder()
        return a.byteswap().view(swapped)  # the same elements, stored the other way round
    if c == 5 and a.dtype.kind != "O":
        buf = np.zeros(a.nbytes + 1, np.uint8)
        u = np.ndarray(a.shape, a.dtype, buffer=buf, offset=1)  # unaligned
        u[...] = a
        return u
    if c == 6:
        a = a.copy()
        a.flags.writeable = False
        return a
    if c == 7 and a.ndim == 2:
        big = np.zeros((a.shape[0] + 1, a.shape[1] + 2), a.dtype)
        big[1:, 1:-1] = a
        return big[1:, 1:-1]
    return a


def shaped(s, a):
    """The 1-D array a reshaped: 0-d, 2-D, 3-D, or empty of several shapes."""
    n = a.size
    c = s.n(8)
    if c == 0 and n == 1:
        return a.reshape(())
    if c in (1, 2) and n >= 2:
        d = [k for k in range(2, n + 1) if n % k == 0]
        r = s.pick(d)
        return a.reshape((r, n // r)) if c == 1 or (n // r) % 2 else a.reshape((r, 2, n // r // 2))
    if c == 3 and n == 0:
        return a.reshape(s.pick([(0, 3), (2, 0), (1, 0, 4)]))
    return a


class Indexed:  # has __index__ only
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"Indexed({self.v})"


class MyInt(int):
    pass


class MyFloat(float):
    pass


class RaisingArray:  # NumPy's conversion calls __array__, which raises
    def __array__(self, dtype=None, copy=None):
        raise ZeroDivisionError("from __array__")

    def __repr__(self):
        return "RaisingArray()"


class Wrapped:  # an array-like through __array__
    def __init__(self, a):
        self.a = a

    def __array__(self, dtype=None, copy=None):
        return np.array(self.a, dtype=dtype)

    def __repr__(self):
        return f"Wrapped({self.a!r})"


def odd(s, values):
    v = values[0] if values else 0
    return s.pick([None, "5", b"5", object, Fraction(1, 3), Decimal(7), complex(1, 1), {"a": 1}, [[1, 2], [3]],
                   Indexed(int(v) if not isinstance(v, float) else 3), MyInt(int(v) if not isinstance(v, float) else 3),
                   MyFloat(float(v)), RaisingArray(), Wrapped(values), [1, None], [1.5, 2], [True, 1], range(3),
                   (x for x in ()), np.ma.masked, [np.int8(1), np.uint64(2**64 - 1)], [2**64, -1], [[]], (),
                   dt.datetime(1970, 1, 1, 0, 0, 0, int(v) % 10**6 if not isinstance(v, float) else 0),
                   [dt.date(1970, 1, 2), dt.datetime(1970, 1, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=1)))],
                   dt.timedelta(microseconds=int(v) % 10**9 if not isinstance(v, float) else 0),
                   [dt.timedelta(seconds=3), np.timedelta64(5, "ms"), np.timedelta64("NaT", "s")]])


def plant(s, a):
    """An object array with one element of another kind, sometimes."""
    if a.dtype.kind == "O" and len(a) and s.chance(3):
        a[s.n(len(a))] = s.pick([None, "x", 1.5, True, 2**70, -1, np.float32(0.5), np.longdouble(1), Fraction(1, 2)])
    return a


def build(s, values, want, good=False):
    """An argument holding `values`: `want` is the dtype the axis takes
    ('u8', 'i8', 'f8' or a time dtype), chosen most often; `good`: an array
    of that dtype or a list, which most calls should get to test answers."""
    c = s.pick([0, 0, 0, 8]) if good else s.n(16)
    if c < 8 or 13 <= c < 15:  # an ndarray; an object array of Python values
        dt = "O" if c >= 13 else want if good or s.n(3) else s.pick(INT_DTYPES + TIME_DTYPES + OTHER_DTYPES)
        vals = values
        if np.dtype(dt).kind in "Mm" and np.dtype(want).kind in "Mm":
            vals = rescaled(values, want, dt)
        a = layout(s, shaped(s, plant(s, as_dtype(vals, dt))))
        if pa is not None and a.ndim == 1 and dt in COLUMN_DTYPES and s.chance(4):
            return columnize(s, a, [s.chance(4) for _ in range(a.size)] if s.n(2) else [False] * a.size)
        if s.chance(5):
            bits = [s.chance(3) for _ in range(a.size)]
            mask = layout(s, np.array(bits, bool).reshape(a.shape)) if s.n(4) else np.ma.nomask
            a = np.ma.masked_array(a, mask=mask, hard_mask=s.chance(2))
        return a
    if c < 10:  # a list or tuple (nested when 2-D)
        kind = s.n(4) if not good or not np.dtype(want).kind in "Mm" else 1
        conv = [int(v) if kind == 0 and not isinstance(v, float) else
                (as_dtype([v], want)[0] if kind == 1 else v) for v in values]
        if s.chance(3) and len(conv) % 2 == 0 and conv:
            conv = [conv[i:i + 2] for i in range(0, len(conv), 2)]
        return conv if s.n(2) else tuple(conv)
    if c < 13 and values:  # a scalar
        v = values[0]
        k = s.n(4)
        if k == 0:
            return int(v) if not isinstance(v, float) else v
        if k == 1:
            return bool(v) if not isinstance(v, float) or not math.isnan(v) else True
        return as_dtype([v], want if s.n(2) else s.pick(INT_DTYPES + TIME_DTYPES + OTHER_DTYPES))[0]
    return odd(s, values)


# ---------------------------------------------------------------------------
# Outcomes


def panic_class(exc):
    cls = type(exc)
    return cls.__qualname__ == "PanicException" and cls.__module__ == "pyo3_runtime" and not issubclass(cls, Exception)


def check_error(exc, classes, name=None, where=None, conv=None, what=()):
    """exc is of exactly one of the classes; a quorvane error carries one
    non-empty str, shown as is; a failing query's index leads its message."""
    require(type(exc) in classes, f"raised {type(exc).__name__}, expected one of "
            f"{sorted(c.__name__ for c in classes)}", exc, *what)
    if isinstance(exc, ERRORS):
        require(len(exc.args) == 1 and isinstance(exc.args[0], str) and exc.args[0] and str(exc) == exc.args[0],
                "the message is not one non-empty str", exc.args)
        if where is not None and conv is not None and type(exc) is not NotIncreasingError:
            shown = name if conv.scalar or not conv.shape else \
                f"{name}[{', '.join(map(str, np.unravel_index(where, conv.shape)))}]"
            require(exc.args[0].startswith(shown + " ") or exc.args[0].startswith(shown + ":"),
                    f"the message does not name {shown}", exc.args[0], *what)


REACHED = set()  # (callee, outcome) pairs, for choosing seeds


def call(fn, *args, **kwargs):
    """(result, None) or (None, exception); the arguments are checked unchanged."""
    before = [fingerprint(a) for a in (*args, *kwargs.values())]
    try:
        out = fn(*args, **kwargs), None
    except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
        if isinstance(exc, (Mismatch, KeyboardInterrupt)):
            raise
        out = None, exc
    REACHED.add((getattr(fn, "__name__", "?"), type(out[1]).__name__))
    after = [fingerprint(a) for a in (*args, *kwargs.values())]
    require(before == after, f"{getattr(fn, '__name__', fn)} modified an argument", before, after)
    if out[1] is None:
        separate(out[0], (*args, *kwargs.values()))
    return out


def bits(v):
    return struct.unpack("<Q", struct.pack("<d", v))[0] if isinstance(v, float) else v


def cells(r):
    """A result's elements in C order as ints (float64 as their bits, times as counts)."""
    a = np.array(r)
    if a.dtype.kind in "Mm":
        a = a.view(np.int64)
    elif a.dtype.kind == "f":
        a = a.view(np.uint64)
    return a.ravel().tolist()


# ---------------------------------------------------------------------------
# The four functions against the model


FUNCTIONS = {  # name: (params, queries dtype, fp dtype, required)
    "forward_int": (("x", "xp", "fp"), "u8", "i8", 3),
    "forward_float": (("x", "xp", "fp"), "u8", "f8", 3),
    "inverse_int": (("f", "xp", "fp", "method"), "i8", "i8", 3),
    "inverse_float": (("f", "xp", "fp", "method"), "f8", "f8", 3),
}
METHODS = [None, "nearest", "ffill", "bfill"]
ODD_METHODS = ["Nearest", " nearest", "nearest\0", "", "near", "\ud800", "near\udcffst", b"nearest", 1, ABSENT,
               "raise", "ffill ", "NEAREST", "bfil", np.str_("ffill")]
ODD_NAMES = ["X", "method", "outside", "workers", "xp ", "", "f", "x", "fp"]


def bind_function(name, args, kwargs):
    """The TypeError message for a call that does not bind, or None."""
    params, _, _, required = FUNCTIONS[name]
    full = f"{name}()"
    if len(args) > len(params):
        if required == len(params):
            return f"{full} takes {len(params)} positional arguments but {len(args)} were given"
        return f"{full} takes from {required} to {len(params)} positional arguments but {len(args)} were given"
    bound = list(params[:len(args)])
    for k in kwargs:
        if k not in params:
            return f"{full} got an unexpected keyword argument '{k}'"
        if k in bound:
            return f"{full} got multiple values for argument '{k}'"
        bound.append(k)
    missing = [p for p in params[:required] if p not in bound]
    if not missing:
        return None
    names = [f"'{p}'" for p in missing]
    shown = names[0] if len(names) == 1 else " and ".join(names) if len(names) == 2 else \
        ", ".join(names[:-1]) + ", and " + names[-1]
    return f"{full} missing {len(missing)} required positional argument{'s' if len(missing) > 1 else ''}: {shown}"


def function_array(s, values, dt):
    """Mostly a 1-D array of exactly dt in some layout; sometimes anything."""
    if s.n(12):
        a = as_dtype(values, dt)
        a = layout(s, a) if s.n(2) else a
        if s.chance(6):
            a = np.ma.masked_array(a, mask=[s.chance(2) for _ in range(a.size)])
        return a
    return build(s, values, dt)


def expected_function(name, bound):
    """The model's outcome: a list of results, or (class name, message)."""
    params, qdt, fdt, _ = FUNCTIONS[name]
    for p, dt in zip(params[:3], (qdt, "u8", fdt)):
        a = bound[p]
        if not (isinstance(a, np.ndarray) and a.ndim == 1 and a.dtype == np.dtype(dt)):
            return ("TypeError", f"argument '{p}': '{type(a).__qualname__}' object cannot be converted to "
                                 f"'PyArray<T, D>'")
    method = bound.get("method", None)
    if method is not None and not isinstance(method, str):
        return ("TypeError", f"argument 'method': '{type(method).__qualname__}' object cannot be converted to "
                             f"'PyString'")
    if isinstance(method, str):
        try:  # the text is read as UTF-8 first: a lone surrogate fails as str.encode does
            method.encode("utf-8")
        except UnicodeEncodeError as exc:
            return ("UnicodeEncodeError", exc.args)
    lists = [np.asarray(bound[p]).tolist() for p in params[:3]]  # the data, masks aside
    fn = getattr(model, name)
    out = fn(*lists, method) if "method" in params else fn(*lists)
    return (out.type, out.message) if isinstance(out, model.Raised) else out


def fuzz_function(s, tbl):
    name = s.pick(list(FUNCTIONS))
    params, qdt, fdt, _ = FUNCTIONS[name]
    xs, fs = tbl["xs"], tbl["fs"]
    inverse = name.startswith("inverse")
    floats = name.endswith("float")
    if not floats and any(isinstance(v, float) for v in fs):
        fs = [0 if not math.isfinite(v) else int(v) for v in fs]
    if floats and not any(isinstance(v, float) for v in fs):
        fs = [float(v) for v in fs]
    points = fs if inverse else xs
    lo, hi = (I64_MIN, I64_MAX) if inverse else (0, U64_MAX)
    values = {"x": gen_queries(s, points, floats and inverse, lo, hi), "xp": xs, "fp": fs}
    values["f"] = values["x"]
    if s.chance(8):  # lengths that differ
        values["fp"] = values["fp"][:-1] if values["fp"] and s.n(2) else values["fp"] + [0]
    args = {p: function_array(s, values[p], dt) for p, dt in zip(params[:3], (qdt, "u8", fdt))}
    if inverse:
        args["method"] = s.pick(METHODS) if s.n(4) else s.pick(ODD_METHODS)
        if args["method"] is ABSENT:
            del args["method"]
    # positional first, the rest by keyword; sometimes too many, misnamed or repeated
    order = list(args)
    npos = s.int(0, len(order))
    pos = [args[p] for p in order[:npos]]
    kw = {p: args[p] for p in order[npos:]}
    c = s.n(32)
    if c == 0:
        pos.append(args[order[0]] if order else None)
    elif c == 1:
        kw[s.pick(ODD_NAMES)] = args[order[-1]]
    elif c == 2 and pos:
        pos.pop()
    binding = bind_function(name, pos, kw)
    got, exc = call(getattr(quorvane, name), *pos, **kw)
    if binding is not None:
        want = ("TypeError", binding)
    else:
        bound = dict(zip(params, pos))
        bound.update(kw)
        want = expected_function(name, bound)
    if isinstance(want, tuple):
        require(exc is not None, f"{name} returned a result, expected an error", got, want)
        if want[0] == "Panic":
            require(panic_class(exc), f"{name}: expected PanicException", exc)
        else:
            require(type(exc).__name__ == want[0] and type(exc).__module__ == "builtins",
                    f"{name} raised {type(exc)!r}, expected {want[0]}", exc, want)
        require(exc.args == (want[1] if isinstance(want[1], tuple) else (want[1],)), f"{name}: another message",
                exc.args, want[1])
        return
    require(exc is None, f"{name} raised, expected a result", exc, want)
    rdt = np.uint64 if inverse else np.float64 if floats else np.int64
    require(type(got) is np.ndarray and got.ndim == 1 and got.dtype == rdt and got.flags.writeable,
            f"{name}: result {type(got)} {getattr(got, 'dtype', None)}")
    require(cells(got) == [bits(v) for v in want], f"{name}: result differs from the model", got, want)


# ---------------------------------------------------------------------------
# Tables


def gen_table(s):
    """A logical table: coordinates, values (ints or floats), and the time
    dtypes the axes are given in, if any."""
    n = s.pick([0, 1, 2, 2, 3, 3, 4, 5, 6, 9, 17])
    xtime = s.pick(TIME_DTYPES[:5] + ["m8[ns]", "m8[10ms]"]) if s.chance(6) else None
    xs = gen_ints(s, n, 0, I64_MAX if xtime else U64_MAX)
    ftime = s.pick(["M8[ns]", "M8[s]", "m8[us]", "m8[h]"]) if not xtime and s.chance(6) else None
    floats = not ftime and s.n(2)
    fs = gen_floats(s, n) if floats else gen_ints(s, n, I64_MIN + 1 if ftime else I64_MIN, I64_MAX)
    return {"xs": xs, "fs": fs, "xtime": xtime, "ftime": ftime, "floats": bool(floats)}


def bind_table(args, kwargs):
    """Whether Table(*args, **kwargs) binds (to xp and fp), and to what."""
    names = ["xp", "fp"][:len(args)]
    if len(args) > 2 or any(k not in ("xp", "fp") or k in names for k in kwargs) or len(args) + len(kwargs) != 2:
        return None
    bound = dict(zip(names, args))
    bound.update(kwargs)
    return bound["xp"], bound["fp"]


def expected_table(args, kwargs):
    """("ok", what the table must hold) or ("raise", classes) for
    Table(*args, **kwargs).  The order of the checks of xp and fp is not
    documented: any class of the problems present stands."""
    bound = bind_table(args, kwargs)
    if bound is None:
        return "raise", {InvalidTypeError}
    xp, fp = equivalent(bound[0]), equivalent(bound[1])
    arrays = []
    for obj in (xp, fp):
        a, errors = (obj, None) if isinstance(obj, np.ndarray) else as_array_outcome(obj)
        if errors:
            return "raise", errors  # NumPy's own verdict on the argument comes first
        if isinstance(obj, (list, tuple)) and a.dtype.kind == "f" and a.size:  # Python ints beyond int64 stay ints
            a = np.array(obj, dtype=object)
        arrays.append(a)
    xa, fa = arrays
    floats = fa.dtype.kind == "f" or (fa.dtype.kind == "O" and any(isinstance(v, (float, np.floating))
                                                                   for v in elements(np.ma.getdata(fa))))
    errors = set()
    axes = []
    for a, name, key in ((xa, "xp", "u"), (fa, "fp", "f" if floats else "i")):
        if a.dtype.kind == "O" and object_axis(a) is not None:  # times in a list or object array
            axes.append(Axis(name, "i" if name == "fp" else "u", object_axis(a)))
            continue
        if a.dtype.kind in "Mm":
            if unit_as(a.dtype) == 0:
                errors.add(InvalidTypeError)
                axes.append(None)
                continue
            axes.append(Axis(name, "i" if name == "fp" else "u", a.dtype.newbyteorder("=")))
        else:
            axes.append(Axis(name, key))
    if errors:
        return "raise", errors
    convs = []
    for obj, axis in zip((xp, fp), axes):
        conv = read_arg(obj, axis, samples=True)
        errors |= conv.early or set()
        if not conv.early and (conv.scalar or len(conv.shape) != 1 or REFUSED in conv.keys or SKIP in conv.keys
                               or (conv.mask is not None and True in np.ravel(conv.mask).tolist())):
            errors.add(InvalidValueError)  # not 1-D, an element that does not convert, a masked sample
        convs.append(conv)
    if not errors and len(convs[0].keys) != len(convs[1].keys):
        errors.add(InvalidValueError)
    if errors:
        return "raise", errors
    return "ok", {"xs": convs[0].keys, "fs": convs[1].keys, "x": axes[0], "f": axes[1], "floats": floats}


def arrays_of(held):
    """The table as the functions take it."""
    xp = np.array(held["xs"], dtype=np.uint64)
    fp = np.array(held["fs"], dtype=np.float64 if held["floats"] else np.int64)
    return xp, fp


def shown(axis, v):
    if axis.time:
        return str(np.array([v], np.int64).view(axis.dtype)[0])
    return str(v)


def expected_repr(held):
    x, f = held["x"], held["f"]
    n = len(held["xs"])
    names = {"W": "weeks", "D": "days", "h": "hours", "m": "minutes", "s": "seconds", "ms": "milliseconds",
             "us": "microseconds", "ns": "nanoseconds", "ps": "picoseconds", "fs": "femtoseconds", "as": "attoseconds"}
    units = []
    for axis, direction in ((f, "forward"), (x, "inverse")):
        if axis.time:
            unit, num = np.datetime_data(axis.dtype)
            units.append(f"{direction} answers in {names[unit] if num == 1 else f'units of {num} {names[unit]}'}")
    units = "; " + ", ".join(units) if units else ""
    if n == 0:
        return f"Table(0 samples, xp {x.dtype}, fp {f.dtype}{units})"

    def span(axis, a):
        lo = hi = None
        for k, v in enumerate(a):
            if isinstance(v, float) and math.isnan(v):
                continue
            lo = k if lo is None or v < a[lo] else lo
            hi = k if hi is None or a[hi] < v else hi
        lo, hi = (0, 0) if lo is None else (lo, hi)
        return f"[{shown(axis, a[lo])}, {shown(axis, a[hi])}]"

    return f"Table({n} samples, xp {x.dtype} {span(x, held['xs'])}, fp {f.dtype} {span(f, held['fs'])}{units})"


def check_table(t, held):
    """A constructed table holds exactly the converted samples, read-only."""
    xp, fp = arrays_of(held)
    require(type(t) is Table and len(t) == len(held["xs"]), "len", len(t), held)
    for got, want, axis in ((t.xp, xp, held["x"]), (t.fp, fp, held["f"])):
        require(type(got) is np.ndarray and got.dtype == axis.dtype and got.dtype.type is axis.dtype.type
                and not got.flags.writeable, f"{axis.name}: {got.dtype!r}, expected {axis.dtype!r}")
        require(cells(got) == cells(want), f"table.{axis.name} differs from the samples", got, want)
    r = repr(t)
    require(r == expected_repr(held), "repr", r, expected_repr(held))


def fuzz_construct(s, tbl):
    """Table(xp, fp) from arguments of any form; returns (table, held) or None."""
    x = tbl["xtime"] or "u8"
    f = tbl["ftime"] or ("f8" if tbl["floats"] else "i8")
    good = s.n(2)
    args = [build(s, tbl["xs"], x, good), build(s, tbl["fs"], f, good)]
    kwargs = {}
    c = s.n(10)
    if c == 0:
        kwargs = {"xp": args.pop(0)} if s.n(2) else {"fp": args.pop()}
    elif c == 1:
        kwargs = {"xp": args[0], "fp": args[1]}
        args = []
    elif c == 2:
        s.pick([args.pop, lambda: args.append(args[0]), lambda: kwargs.update({s.pick(ODD_NAMES): args[0]})])()
    got, exc = call(Table, *args, **kwargs)
    return judge_table(got, exc, expected_table(args, kwargs), (args, kwargs))


def judge_table(got, exc, want, what):
    verdict, detail = want
    if verdict == "raise":
        require(exc is not None, "Table() returned a table, expected an error", detail, what)
        check_error(exc, detail, what=what)
        return None
    require(exc is None, "Table() raised, expected a table", exc, what)
    check_table(got, detail)
    return got, detail


# --- queries


def expected_options(direction, held, outside, method, workers):
    """The error classes of the options, and the fill (or 'raise' / 'clamp')."""
    errors = set()
    mode = "raise"
    if direction == "forward" and outside is not ABSENT:
        if isinstance(outside, str):
            if outside not in ("raise", "clamp"):
                errors.add(InvalidValueError)
            mode = outside
        else:
            conv = read_arg(outside, held["f"])
            if conv.early:
                errors |= conv.early
            elif not conv.scalar and conv.shape != ():  # a 0-d array is a fill value like a scalar
                errors.add(InvalidValueError)
            elif conv.keys[0] is SKIP:
                errors |= {InvalidValueError, InvalidTypeError}  # a masked fill is no value
            elif conv.keys[0] is REFUSED:  # NaT is refused as a time, but marks a missing answer as a fill
                if held["f"].time and elements(np.ma.getdata(outside)) == [NAT]:
                    mode = ("fill", NAT)
                else:
                    errors.add(InvalidValueError)
            else:
                mode = ("fill", conv.keys[0])
    if direction == "inverse" and method is not ABSENT and method is not None:
        if not isinstance(method, str):
            errors.add(InvalidTypeError)
        elif method not in ("nearest", "ffill", "bfill"):
            errors.add(InvalidValueError)
    if workers is not ABSENT:
        if not hasattr(type(workers), "__index__") or isinstance(workers, bool):
            errors.add(InvalidTypeError)
        elif not (operator.index(workers) == -1 or 1 <= operator.index(workers) <= I64_MAX):
            errors.add(InvalidValueError)
    return errors, mode


def bind_method(direction, args, kwargs):
    params = ("x", "outside", "workers") if direction == "forward" else ("f", "method", "workers")
    positional = 1 if direction == "forward" else 2
    if len(args) > positional:
        return None
    bound = dict(zip(params, args))
    for k in kwargs:
        if k not in params or k in bound:
            return None
        bound[k] = kwargs[k]
    if params[0] not in bound:
        return None
    return [bound.get(p, ABSENT) for p in params]


def reference(direction, held, keys, mode, method):
    """Per query in index order: the expected cell, SKIP, or (index, class)
    of the first that has no answer, from the functions one query at a time
    (one batch first, when every query converted and none may be filled)."""
    xp, fp = arrays_of(held)
    floats = held["floats"]
    fn = getattr(quorvane, f"{direction}_{'float' if floats else 'int'}")
    qdt = np.uint64 if direction == "forward" else np.float64 if floats else np.int64
    tail = (method,) if direction == "inverse" else ()
    if keys and SKIP not in keys and REFUSED not in keys and WRONG not in keys:
        try:
            out = cells(fn(np.array(keys, dtype=qdt), xp, fp, *tail))
            if not (direction == "inverse" and held["x"].time and max(out) > I64_MAX):
                return out, None
        except BaseException:  # noqa: B036 - found again query by query below
            pass
    out, seen = [], {}
    for i, k in enumerate(keys):
        if k is WRONG:
            return out, (i, InvalidTypeError)
        if k is SKIP or k is REFUSED:
            if k is REFUSED:
                return out, (i, InvalidValueError)
            out.append(SKIP)
            continue
        if bits(k) not in seen:
            seen[bits(k)] = one_query(fn, np.array([k], dtype=qdt), xp, fp, tail, direction, mode, floats)
            if direction == "inverse" and held["x"].time and seen[bits(k)][0] is not None \
                    and seen[bits(k)][0] > I64_MAX:  # the float scheme rounded up to 2**63: no time holds it
                seen[bits(k)] = None, InvalidValueError
        cell, cls = seen[bits(k)]
        if cls is not None:
            return out, (i, cls)
        out.append(cell)
    return out, None


def one_query(fn, q, xp, fp, tail, direction, mode, floats):
    """(cell, None) or (None, the class a table raises for the function's exception)."""
    try:
        return cells(fn(q, xp, fp, *tail))[0], None
    except BaseException as exc:  # noqa: B036
        msg = exc.args[0] if exc.args else ""
        if panic_class(exc):
            cls = NonFiniteError
        elif "out of bounds" in msg:
            cls = OutOfBoundsError
        elif "not found" in msg:
            cls = NotFoundError
        elif "strictly increasing" in msg:
            cls = NotIncreasingError
        else:
            raise Mismatch(f"{fn.__name__} raised {exc!r} on one query") from exc
    if cls is OutOfBoundsError and direction == "forward" and mode != "raise" and (len(xp) or mode != "clamp"):
        if mode == "clamp":  # below the table: fp[0]; above: fp[-1]
            return cells(fp[0] if int(q[0]) < int(xp[0]) else fp[-1])[0], None
        return (bits(mode[1]) if floats else mode[1]), None
    return None, cls


def gen_options(s, direction, held):
    """outside / method and workers, mostly valid."""
    o = ABSENT
    if direction == "forward":
        c = s.n(8)
        if c == 1:
            o = s.pick(["raise", "clamp", "Clamp", "fill", "", " raise"])
        elif c >= 2 and c < 6:
            o = "clamp" if c == 2 else build(s, [s.pick(held["fs"] or [0])] if held["fs"] else [s.pick([0, 1.5])],
                                           held["f"].dtype.str if held["f"].time else ("f8" if held["floats"] else "i8"))
        elif c == 6:
            o = s.pick([math.nan, -1, 2**63, 1.5, np.datetime64("NaT"), np.timedelta64("NaT", "s"),
                        np.datetime64(5000, "ms"), np.ma.masked, np.array(1), None, [1], np.float32(-0.0), True])
    else:
        o = s.pick(METHODS) if s.n(4) else s.pick(ODD_METHODS)
    w = ABSENT if s.n(4) else s.pick([1, 2, 3, -1, 0, -2, 2**63, 2**64, True, 1.0, "2", np.int64(2), MyInt(2), 65537])
    return o, w


def fuzz_query(s, t, held, direction):
    axis = held["x"] if direction == "forward" else held["f"]
    points = held["xs"] if direction == "forward" else held["fs"]
    lo, hi = (0, U64_MAX) if axis.key == "u" else (I64_MIN, I64_MAX)
    values = gen_queries(s, points, axis.key == "f", lo, hi)
    arg = build(s, values, axis.dtype.str, s.n(2))
    if s.chance(48) and isinstance(arg, np.ndarray) and arg.ndim == 1 and 0 < arg.size:
        # past the size that releases the GIL, and that splits across threads
        arg = np.tile(arg, -(-s.pick([8192, 8192, 140000]) // arg.size))
    opt, workers = gen_options(s, direction, held)
    args, kwargs = [arg], {}
    if direction == "forward":
        if opt is not ABSENT:
            kwargs["outside"] = opt
    elif opt is not ABSENT:
        (args.append if s.n(2) else lambda m: kwargs.update(method=m))(opt)
    if workers is not ABSENT:
        kwargs["workers"] = workers
    c = s.n(32)
    if c == 0:
        args.append(None)
    elif c == 1:
        kwargs[s.pick(ODD_NAMES)] = 1
    elif c == 2:
        args.pop()
    got, exc = call(getattr(t, direction), *args, **kwargs)
    bound = bind_method(direction, args, kwargs)
    if bound is None:
        require(exc is not None, f"{direction} bound a call that must not bind", args, kwargs)
        return check_error(exc, {InvalidTypeError}, what=(args, kwargs))
    q, opt, workers = bound
    errors, mode = expected_options(direction, held, opt if direction == "forward" else ABSENT,
                                    opt if direction == "inverse" else ABSENT, workers)
    conv = read_arg(q, axis, queries=True)
    where = conv.where if not errors else None  # the query's index leads the message of its own error only
    errors |= conv.early or set()
    if errors:
        require(exc is not None, f"{direction} returned, expected an error", errors, got, q, opt, workers)
        return check_error(exc, errors, axis.name[0], where, conv, (q, opt, workers))
    method = opt if direction == "inverse" and opt is not ABSENT else None
    want, fails = reference(direction, held, conv.keys, mode, method)
    if fails is not None:
        require(exc is not None, f"{direction} returned, expected an error", fails, got,
                q, opt, workers)
        return check_error(exc, {fails[1]}, axis.name[0], fails[0], conv, (q, opt, workers, t))
    require(exc is None, f"{direction} raised, expected a result", exc, q, opt, workers, want)
    rdt = (held["f"] if direction == "forward" else held["x"]).dtype
    if is_column(q):  # answered in the same kind of column: compared as its NumPy equivalent
        got = from_column(got)
        require(got.dtype == rdt or (rdt.kind in "Mm" and got.dtype.kind == rdt.kind),
                f"{direction}: a column answered in {got.dtype}, expected {rdt}")
        if got.dtype != rdt:  # polars has no second unit: its answers come in milliseconds, exactly
            got = np.ma.masked_array(got.astype(rdt), mask=np.ma.getmaskarray(got)) \
                if isinstance(got, np.ma.MaskedArray) else got.astype(rdt)
        if conv.mask is not None and not any(conv.mask):
            conv.mask = None  # a column without nulls answers without them
    masked = conv.mask is not None
    if conv.scalar or len(conv.shape) == 0:
        if masked and conv.keys[0] is SKIP:
            return require(got is np.ma.masked, f"{direction}: not numpy.ma.masked for a masked scalar", got)
        require(isinstance(got, np.generic) and got.dtype == rdt and type(got) is rdt.type,
                f"{direction}: {type(got)} for a scalar, expected {rdt}", got)
    else:
        require(isinstance(got, np.ndarray) and (type(got) is np.ma.MaskedArray if masked else type(got) is np.ndarray)
                and got.dtype == rdt and got.dtype.type is rdt.type and got.shape == conv.shape,
                f"{direction}: {type(got)} {getattr(got, 'dtype', None)} {getattr(got, 'shape', None)}, "
                f"expected {rdt} {conv.shape}")
        require(np.asarray(got).flags.c_contiguous, "the result is not in C order")
        if masked:
            require(np.ma.getmaskarray(got).ravel().tolist() == conv.mask, "the mask differs", got.mask)
    have = cells(got)
    require(all(w is SKIP or h == w for h, w in zip(have, want)) and len(have) == len(want),
            f"{direction} differs from the functions", q, opt, have[:64], want[:64])


# --- pickling


def fuzz_pickle(s, t, held):
    protocol = s.n(pickle.HIGHEST_PROTOCOL + 1)
    again = pickle.loads(pickle.dumps(t, protocol))
    require(again is not t, "unpickled the same object")
    check_table(again, held)
    require(copy.copy(t) is t and copy.deepcopy(t) is t, "a copy of a table is not itself")
    check_table(t, held)


class Forged:
    """Pickles as Table(*args), as a tampered pickle of a Table would."""

    def __init__(self, args):
        self.args = args

    def __reduce__(self):
        return Table, tuple(self.args)


class ForgedStorage(Forged):
    """Pickles as a Table's storage and dtypes (what Table.__reduce__ gives), replaced."""

    def __reduce__(self):
        return quorvane._table._restore, tuple(self.args)


# The globals a pickle may load: those the pickles of tables and of the
# arguments the harness makes use (found by loading such pickles once).
# Anything else a corrupted pickle names is refused before it is looked up.
ALLOWED = set()


class Restricted(pickle._Unpickler):
    """The pure-Python unpickler (the C one has quirks of its own on corrupted
    bytes), loading only the allowed globals, with quorvane.Table replaced
    by `table`.  A dtype's state must have the length and the flags of the
    dtype's own: NumPy 2.4 crashes in dtype.__setstate__ on a shorter one
    ((3, '<', None, -1, -1, 0) for uint64), and accepts "holds objects" on
    uint64, after which it treats the integers as pointers itself."""

    dispatch = dict(pickle._Unpickler.dispatch)

    def __init__(self, data, table):
        super().__init__(io.BytesIO(data))
        self.table = table

    def find_class(self, module, name):
        if (module, name) not in ALLOWED:
            raise pickle.UnpicklingError(f"{module}.{name} is not allowed here")
        if (module, name) == ("quorvane", "Table"):
            return self.table
        return super().find_class(module, name)

    def load_build(self):
        state, obj = self.stack[-1], self.stack[-2]
        if isinstance(obj, np.dtype):
            own = obj.__reduce__()[2]
            if not isinstance(state, tuple) or len(state) != len(own) or state[7] != obj.flags:
                raise pickle.UnpicklingError("a dtype state NumPy does not check")
        pickle._Unpickler.load_build(self)

    dispatch[pickle.BUILD[0]] = load_build


class Recorder(pickle.Unpickler):
    def find_class(self, module, name):
        ALLOWED.add((module, name))
        return super().find_class(module, name)


def record_globals():
    samples = [Table(np.array([1, 2], np.uint64), np.array([1.0, 2.0])), Table([1], np.array([5], "M8[s]")),
               np.ma.masked_array([1, 2], mask=[0, 1]), np.float32(1), np.int8(1), np.datetime64(1, "s"),
               Fraction(1, 3), Decimal(1), complex(1, 2), np.array([1], object), np.array(["a"]), np.array([1], "m8"),
               range(3), Indexed(1), MyInt(1), MyFloat(1.0), np.array(True), b"x", object]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        for obj in samples:
            Recorder(io.BytesIO(pickle.dumps(obj, protocol))).load()
    ALLOWED.add(("quorvane", "Table"))


def checked_table(*args, **kwargs):
    """Table as a pickle calls it: an error of the documented kind, or a table
    that holds what its arguments do."""
    got, exc = call(Table, *args, **kwargs)
    want = expected_table(args, kwargs)
    if want[0] == "raise":
        want = ("raise", want[1] | {MemoryError})
    judged = judge_table(got, exc, want, (args, kwargs))
    if exc is not None:
        raise exc
    return judged[0]


def fuzz_forged(s, tbl):
    """A pickle of a Table whose arguments were replaced."""
    x = tbl["xtime"] or "u8"
    f = tbl["ftime"] or ("f8" if tbl["floats"] else "i8")
    args = [build(s, tbl["xs"], x), build(s, tbl["fs"], f)][:s.pick([2, 2, 2, 1, 0])]
    if s.chance(6):
        args.append(build(s, tbl["xs"], x))
    forged = Forged(args)
    if s.chance(3):  # the storage, viewed as 8-byte integers or floats, and dtypes
        storage = [np.asarray(a).view(s.pick(["u8", "i8", "f8"])) if isinstance(a, np.ndarray) and
                   np.asarray(a).dtype.itemsize == 8 and not np.asarray(a).dtype.hasobject else a for a in args]
        dtypes = [np.dtype(s.pick([x, f, "u8", "i8", "f8", "M8[M]", "f2", ">u8", "O"])) for _ in range(2)]
        forged = ForgedStorage((storage + dtypes)[:s.pick([4, 4, 4, 3, 5])])
    try:
        data = pickle.dumps(forged, s.n(pickle.HIGHEST_PROTOCOL + 1))
    except Exception:
        return  # an argument that does not pickle (a generator, say)
    unpickle(data)


def unpickle(data):
    try:
        t = Restricted(data, checked_table).load()
    except Mismatch:
        raise
    except BaseException as exc:  # noqa: B036 - pickle's own errors on bytes it cannot read
        if isinstance(exc, KeyboardInterrupt) or panic_class(exc):
            raise
        return
    if type(t) is Table:  # a rebuilt table answers as the functions do on its own samples
        xp, fp = t.xp, t.fp
        require(len(xp) == len(fp) == len(t), "lengths of a rebuilt table")
        fn = quorvane.forward_float if fp.dtype == np.float64 else quorvane.forward_int
        xs = np.asarray(xp).view(np.uint64) if xp.dtype.kind in "Mm" else xp
        fv = np.asarray(fp).view(np.int64) if fp.dtype.kind in "Mm" else fp
        if len(xs):
            q = np.array([xs[0], xs[-1], xs[len(xs) // 2]], np.uint64)
            try:
                want = cells(fn(q, xs.copy(), fv.copy()))
            except BaseException:  # noqa: B036
                return
            if xp.dtype.kind in "Mm":
                q = q.view(np.int64).view(xp.dtype)
            require(cells(t.forward(q)) == want, "a rebuilt table answers differently from the functions")


def fuzz_corrupted(s, t):
    """Pickle bytes of a table with a few bytes replaced, inserted or cut."""
    data = bytearray(pickle.dumps(t, s.n(pickle.HIGHEST_PROTOCOL + 1)))
    for _ in range(1 + s.n(4)):
        c = s.n(4)
        k = s.n(len(data))
        if c < 2:
            data[k] = s.n(256)
        elif c == 2:
            data[k:k] = bytes([s.n(256)])
        else:
            del data[k:k + 1 + s.n(8)]
        if not data:
            return
    unpickle(bytes(data))


# ---------------------------------------------------------------------------
# Driving


def test_one_input(data: bytes):
    try:
        run_input(data)
    except Exhausted:
        pass


def run_input(data):
    s = Src(data)
    tbl = gen_table(s)
    made = None
    for _ in range(10):
        if s.left() == 0:
            break
        op = s.n(9)
        if op == 0:
            tbl = gen_table(s)
        elif op == 1:
            fuzz_function(s, tbl)
        elif op == 2:
            made = fuzz_construct(s, tbl) or made
        elif op == 3:
            fuzz_forged(s, tbl)
        elif made is None:
            made = fuzz_construct(s, tbl) or made
        elif op in (4, 5):
            fuzz_query(s, *made, "forward")
        elif op == 6:
            fuzz_query(s, *made, "inverse")
        elif op == 7:
            fuzz_pickle(s, *made)
        else:
            fuzz_corrupted(s, made[0])
        if made is not None:
            check_table(*made)  # unchanged by anything done since


def make_corpus(count=6000):
    """Random inputs, each kept when it reaches a (callee, outcome) pair that
    none kept before reaches; deterministic for a given library and harness."""
    out = HERE / "corpus" / "fuzz_python"
    out.mkdir(parents=True, exist_ok=True)
    for old in out.iterdir():
        old.unlink()
    rng = random.Random(20240610)
    seen, kept = set(), []
    for _ in range(count):
        data = bytes(rng.randrange(256) for _ in range(rng.choice([32, 128, 512, 1024])))
        REACHED.clear()
        try:
            test_one_input(data)
        except Mismatch:
            continue  # a finding belongs in the regressions, not among the seeds
        if REACHED - seen:
            seen |= REACHED
            kept.append(data)
    for i, data in enumerate(kept):
        (out / f"seed-{i:02d}").write_bytes(data)
    print(f"{out}: {len(kept)} seeds reaching {len(seen)} (callee, outcome) pairs")


record_globals()
for _name, _obj in list(globals().items()):  # coverage of the harness's own branches guides the fuzzer
    if callable(_obj) and getattr(_obj, "__module__", None) == __name__ and hasattr(_obj, "__code__"):
        globals()[_name] = atheris.instrument_func(_obj)

if __name__ == "__main__":
    if sys.argv[1:] == ["--make-corpus"]:
        make_corpus()
    else:
        atheris.Setup(sys.argv, test_one_input)
        atheris.Fuzz()
