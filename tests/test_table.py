"""quorvane.Table against the four functions, and its own interface.

* Every answer equals the function's on the same arrays, bit for bit, and a
  batch that fails names the query the function fails on first (found by
  bisecting the function over prefixes), for every route: sorted walks,
  lockstep and two-level searches, the partitioned route of large tables,
  batches split across threads, and after injected faults in the split.
* Conversions: what each axis accepts exactly, and what it refuses, with
  the message; shapes, layouts, scalars, lists, masks, time units.
* outside= (clamp, fill), method=, workers=; errors and their classes;
  pickling, copies, attributes; threads sharing tables; the GIL released.
"""

from __future__ import annotations

import contextlib
import copy
import datetime as dt
import gc
import pickle
import re
import sys
import threading
import warnings
import weakref

import numpy as np
import pytest

import quorvane
from quorvane import (Error, InvalidTypeError, InvalidValueError, NonFiniteError, NotFoundError,
                      NotIncreasingError, OutOfBoundsError, Table)
from quorvane import _table

U64, I64, F64 = np.uint64, np.int64, np.float64
METHODS = [None, "nearest", "ffill", "bfill"]
FUNCTIONS = {
    (False, "forward"): quorvane.forward_int, (True, "forward"): quorvane.forward_float,
    (False, "inverse"): quorvane.inverse_int, (True, "inverse"): quorvane.inverse_float,
}


def kind_of(exc: BaseException) -> type:
    """The Table error class that stands for a function's exception."""
    message = exc.args[0] if exc.args else ""
    if "out of bounds" in message:
        return OutOfBoundsError
    if "not found" in message:
        return NotFoundError
    if "strictly increasing" in message:
        return NotIncreasingError
    if message in ("nan or inf encountered", "assertion failed: value.is_finite()"):
        return NonFiniteError
    raise AssertionError(f"unexpected {exc!r}")


def function_outcome(func, queries, xp, fp, *method):
    """("ok", result) or (error class, index of the first failing query)."""
    try:
        return "ok", func(queries, xp, fp, *method)
    except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
        kind = kind_of(exc)
    lo, hi = 0, len(queries) - 1  # the prefix [0, hi] fails, [0, lo) does not
    while lo < hi:
        mid = (lo + hi) // 2
        try:
            func(queries[:mid + 1], xp, fp, *method)
            lo = mid + 1
        except BaseException:  # noqa: B036
            hi = mid
    return kind, lo


def table_outcome(call):
    try:
        return "ok", call()
    except Error as exc:
        found = re.match(r"[xf]\[(\d+)\]", exc.args[0])
        return type(exc), int(found.group(1)) if found else 0


def same(got, want) -> bool:
    if got[0] != want[0]:
        return False
    if got[0] != "ok":
        return got[1] == want[1]
    a, b = got[1], want[1]
    return a.dtype.itemsize == b.dtype.itemsize and a.shape == b.shape and \
        bool((a.view(U64) == b.view(U64)).all())


def check_against_functions(xp, fp, queries, direction, method=None, **options):
    """Table and function agree on every query, or on the first failure."""
    floats = fp.dtype == F64
    func = FUNCTIONS[floats, direction]
    table = Table(xp, fp)
    tail = (method,) if direction == "inverse" else ()
    want = function_outcome(func, queries, xp, fp, *tail)
    if direction == "forward":
        got = table_outcome(lambda: table.forward(queries, **options))
    else:
        got = table_outcome(lambda: table.inverse(queries, method, **options))
    assert same(got, want), (got, want)


# --------------------------------------------------------------------------
# random tables and batches of every route


def make_table(rng, n, floats, kind):
    """(xp, fp) with n samples: both axes increasing ("sorted"), or with a
    planted defect: a repeated coordinate, a repeated value, a NaN or an
    infinity late in the table."""
    xp = np.cumsum(rng.integers(1, 1 << 40, n, dtype=U64), dtype=U64) + U64(rng.integers(0, 1 << 20))
    if floats:
        fp = np.cumsum(rng.random(n) * 100.0 + 0.25) - 50.0
    else:
        fp = np.cumsum(rng.integers(1, 1 << 30, n, dtype=I64)) - (1 << 40)
    k = int(rng.integers(1, max(2, n))) if n > 1 else 0
    if kind == "xp descent" and n > 1:
        xp[k] = xp[k - 1]
    elif kind == "fp descent" and n > 1:
        fp[k] = fp[k - 1]
    elif kind in ("nan", "inf") and n > 1 and floats:
        fp[k] = np.nan if kind == "nan" else np.inf
    return xp, fp


def make_queries(rng, xp, fp, m, direction, order, floats):
    axis = xp if direction == "forward" else fp
    finite = axis[np.isfinite(axis)] if floats and direction == "inverse" else axis
    if len(finite) == 0:
        lo, hi = 0, 100
    else:
        lo, hi = finite.min(), finite.max()
    if direction == "inverse" and floats:
        q = rng.uniform(lo - 1.0, hi + 1.0, m)
    else:
        q = rng.integers(int(lo) - (1 if direction == "inverse" or int(lo) > 0 else 0), int(hi) + 2, m,
                         dtype=I64 if direction == "inverse" else U64)
    if len(axis):  # exact hits
        hits = rng.integers(0, len(axis), m // 3)
        q[rng.integers(0, m, m // 3)] = axis[hits]
    if order == "sorted":
        q = np.sort(q)
    elif order == "runs":
        q = np.concatenate([np.sort(part) for part in np.array_split(q, 7)])
    if order == "inside":  # nothing outside the table: the whole batch is answered
        q = np.clip(q, lo, hi).astype(q.dtype)
    return q


ROUTES = [  # samples, queries, order, workers
    (0, 5, "random", 1), (1, 9, "random", 1), (2, 40, "sorted", 1),
    (70, 1000, "random", 1), (70, 1000, "runs", 1), (5000, 3000, "sorted", 1),
    (40_000, 20_000, "random", 1),               # two-level search through the summary
    (3000, 300_000, "inside", 2),                # split across two threads
    (3000, 300_000, "sorted", -1),
    (1 << 20, 70_000, "random", 1),              # through the ladder (a sixteenth of the table makes it)
    (1 << 20, 70_000, "runs", 1),                # sorted runs, queries far apart: the ladder too
    ((1 << 19) + 777, 300_000, "inside", 1),     # partitioned
    ((1 << 19) + 777, 300_000, "random", 2),     # partitioned in each thread
]


CASES = [(*route, floats, kind) for route in ROUTES for floats in (False, True)
         for kind in ("sorted", "xp descent", "fp descent", "nan", "inf")
         if (floats or kind not in ("nan", "inf")) and (route[0] < 1 << 19 or kind == "sorted")]


@pytest.mark.parametrize("n, m, order, workers, floats, kind", CASES,
                         ids=[f"{c[0]}x{c[1]}-{c[2]}-w{c[3]}-{'float' if c[4] else 'int'}-{c[5]}" for c in CASES])
def test_same_outcome_as_the_functions(n, m, order, workers, floats, kind):
    rng = np.random.default_rng([n, m, len(order), workers + 1, floats, len(kind)])
    xp, fp = make_table(rng, n, floats, kind)
    check_against_functions(xp, fp, make_queries(rng, xp, fp, m, "forward", order, floats), "forward",
                            workers=workers)
    for method in METHODS if m <= 20_000 else ["nearest", None]:
        queries = make_queries(rng, xp, fp, m, "inverse", order, floats)
        check_against_functions(xp, fp, queries, "inverse", method, workers=workers)


@pytest.mark.parametrize("threads, buffers", [(1, 0), (3, 0), (0, 1), (0, 2)],
                         ids=["a thread", "all threads", "one worker's buffers", "two workers' buffers"])
def test_faults_in_the_split_give_the_same_outcome(threads, buffers):
    rng = np.random.default_rng(7)
    xp, fp = make_table(rng, 2000, False, "sorted")
    table = Table(xp, fp)
    queries = make_queries(rng, xp, fp, 600_000, "forward", "random", False)
    want = table.forward(queries, outside="clamp")
    _table._inject_faults(threads, buffers)
    try:
        got = table.forward(queries, outside="clamp", workers=4)
        assert got.tobytes() == want.tobytes()
        queries[500_000] = xp[-1] + U64(1)
        _table._inject_faults(threads, buffers)
        with pytest.raises(OutOfBoundsError, match=r"^x\[500000\] = "):
            table.forward(queries, workers=4)
    finally:
        _table._inject_faults(0, 0)


def test_no_buffer_for_the_calling_thread_is_a_memory_error():
    table = Table([0, 10], [0, 1])
    _table._inject_faults(0, 1)
    try:
        with pytest.raises(MemoryError):
            table.forward(np.array([5, 6], dtype=np.int16))
    finally:
        _table._inject_faults(0, 0)
    assert table.forward(np.array([5, 6], dtype=np.int16)).tolist() == [0, 1]


# --------------------------------------------------------------------------
# what each axis accepts, exactly


INT = Table(np.array([0, 10, 20], U64), np.array([-5, 5, 105], I64))
FLOAT = Table(np.array([0, 10, 2**64 - 1], U64), np.array([0.0, 1.0, 2.0**70]))

ACCEPTED = [  # table, direction, query, the same queries as the functions take them
    (INT, "forward", np.array([5, 15], np.uint8), [5, 15]),
    (INT, "forward", np.array([5, 15], np.int16), [5, 15]),
    (INT, "forward", np.array([5, 15], ">u8"), [5, 15]),
    (INT, "forward", [5, 15], [5, 15]),
    (INT, "forward", (np.int32(5), 15), [5, 15]),
    (INT, "forward", 15, 15),
    (INT, "forward", np.uint16(15), 15),
    (INT, "forward", np.array(15), 15),
    (INT, "inverse", np.array([0, 55], np.int8), [0, 55]),
    (INT, "inverse", np.array([0, 55], np.uint64), [0, 55]),
    (INT, "inverse", [-5, 105], [-5, 105]),
    (FLOAT, "inverse", np.array([0.5, 2.0**66], np.float32), [0.5, 2.0**66]),
    (FLOAT, "inverse", np.array([0.5], np.float16), [0.5]),
    (FLOAT, "inverse", [1, 0.5], [1.0, 0.5]),
    (FLOAT, "inverse", 2**64, 2.0**64),
    (FLOAT, "inverse", np.array([2**53, 2**60], np.int64), [2.0**53, 2.0**60]),
]


@pytest.mark.parametrize("table, direction, query, same_as", ACCEPTED,
                         ids=[f"{d}-{type(q).__name__}-{getattr(q, 'dtype', '')}" for _, d, q, _ in ACCEPTED])
def test_accepted_queries(table, direction, query, same_as):
    floats = table.fp.dtype == F64
    func = FUNCTIONS[floats, direction]
    dtype = U64 if direction == "forward" else table.fp.dtype
    canonical = np.array(same_as, dtype=dtype, ndmin=1)
    tail = ("ffill",) if direction == "inverse" else ()
    want = func(canonical, table.xp, table.fp, *tail)
    got = table.forward(query) if direction == "forward" else table.inverse(query, "ffill")
    if isinstance(same_as, list):
        assert isinstance(got, np.ndarray) and got.tolist() == want.tolist()
        assert got.dtype.type is (U64 if direction == "inverse" else table.fp.dtype.type)
    else:
        assert np.ndim(got) == 0 and not isinstance(got, np.ndarray) and got == want[0]
        assert type(got) is (U64 if direction == "inverse" else table.fp.dtype.type)


REFUSED = [  # table, direction, query, error class, message
    (INT, "forward", np.array([5, -1], I64), InvalidValueError, "x[1] = -1 is negative; coordinates are uint64"),
    (INT, "forward", -3, InvalidValueError, "x = -3 is negative; coordinates are uint64"),
    (INT, "forward", 2**64, InvalidValueError, "x = 18446744073709551616 does not fit uint64"),
    (INT, "forward", [1, 2**64], InvalidValueError, "x[1] = 18446744073709551616 does not fit uint64"),
    (INT, "forward", [[1, 2], [3, -4]], InvalidValueError, "x[1, 1] = -4 is negative; coordinates are uint64"),
    (INT, "forward", [1.0], InvalidTypeError,
     "x[0]: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got float"),
    (INT, "forward", 1.5, InvalidTypeError,
     "x: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got float"),
    (INT, "forward", np.array([1.0]), InvalidTypeError,
     "x: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got float64"),
    (INT, "forward", True, InvalidTypeError,
     "x: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got bool"),
    (INT, "forward", np.array(["2024-01-01"], "M8[ns]"), InvalidTypeError,
     "x: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got datetime64[ns]"),
    (INT, "forward", [1, None], InvalidTypeError,
     "x[1]: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got NoneType"),
    (INT, "forward", [[1, 2], [3]], (InvalidValueError, InvalidTypeError), None),  # NumPy 1.x: lists of lists
    (INT, "inverse", np.array([2**63], U64), InvalidValueError, "f[0] = 9223372036854775808 does not fit int64"),
    (INT, "inverse", np.array([1.5]), InvalidTypeError,
     "f: expected integers that fit int64 (the table's fp is int64), got float64"),
    (FLOAT, "inverse", np.array([2**53 + 1], I64), InvalidValueError,
     "f[0] = 9007199254740993 has no exact float64 value"),
    (FLOAT, "inverse", [0.5, 2**64 + 1], InvalidValueError, "f[1] = 18446744073709551617 has no exact float64 value"),
    (FLOAT, "inverse", np.array([1], np.longdouble), InvalidTypeError, None),
    (FLOAT, "inverse", np.array([1j]), InvalidTypeError, None),
    (FLOAT, "inverse", "0.5", InvalidTypeError, None),
]


@pytest.mark.parametrize("table, direction, query, error, message", REFUSED,
                         ids=[f"{d}-{getattr(e, '__name__', 'Error')}-{i}" for i, (_, d, _, e, _) in enumerate(REFUSED)])
def test_refused_queries(table, direction, query, error, message):
    with pytest.raises(error) as caught, warnings.catch_warnings():
        warnings.simplefilter("ignore")  # NumPy 1.x warns of ragged lists before it makes objects of them
        table.forward(query) if direction == "forward" else table.inverse(query, "ffill")
    if message is not None:
        assert caught.value.args == (message,)


def test_a_conversion_error_after_a_failing_query_is_not_reported():
    # one query at a time in index order: the lookup of query 1 fails first
    with pytest.raises(OutOfBoundsError, match=r"^x\[1\] = 99 is outside"):
        INT.forward(np.array([5, 99, -1], I64))
    with pytest.raises(OutOfBoundsError, match=r"^x\[1\] = 99 is outside"):
        INT.forward([5, 99, 2**64])
    with pytest.raises(InvalidValueError, match=r"^x\[1\] = -1 is negative"):
        INT.forward(np.array([5, -1, 99], I64))
    with pytest.raises(OutOfBoundsError, match=r"^x\[0\] = 99 is outside"):
        INT.forward([99, None])
    with pytest.raises(InvalidTypeError, match=r"^x\[1\]: expected integers"):
        INT.forward([15, None, 99])


def _negative_at(*where, n=1_000_000):
    """A converted xp of 8 MB (written page by page) with negatives at `where`."""
    xp = np.arange(n, dtype=I64)
    xp[list(where)] = -5
    return xp


SAMPLES_REFUSED = [  # xp, fp, error class, message
    ([-1, 2], [1, 2], InvalidValueError, "xp[0] = -1 is negative; coordinates are uint64"),
    (_negative_at(700_001), np.arange(1_000_000), InvalidValueError,
     "xp[700001] = -5 is negative; coordinates are uint64"),
    (_negative_at(3, 900_000), np.arange(1_000_000), InvalidValueError,
     "xp[3] = -5 is negative; coordinates are uint64"),
    ([1, 2], [1, 2, 3], InvalidValueError, "xp and fp must have the same length, got len(xp) = 2 and len(fp) = 3"),
    ([[1, 2]], [[1, 2]], InvalidValueError, "xp must be one-dimensional, got shape (1, 2)"),
    (5, 5, InvalidValueError, "xp must be one-dimensional, got shape ()"),
    ([1, 2], [2**63 + 1, 1], InvalidValueError, "fp[0] = 9223372036854775809 does not fit int64"),
    ([1, 2], [1, 2**63], InvalidValueError, "fp[1] = 9223372036854775808 does not fit int64"),
    ([1, 2], [1.5, 2**63 + 1], InvalidValueError, "fp[1] = 9223372036854775809 has no exact float64 value"),
    ([1, 2], np.array([2**63, 1], U64), InvalidValueError, "fp[0] = 9223372036854775808 does not fit int64"),
    ([1.0, 2.0], [1, 2], InvalidTypeError,
     "xp[0]: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got float"),
    (np.array([1.0, 2.0]), [1, 2], InvalidTypeError,
     "xp: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got float64"),
    ([1, 2], [True, False], InvalidTypeError,
     "fp: expected integers that fit int64 (the table's fp is int64), got bool"),
    (np.ma.masked_array([1, 2], mask=[0, 1]), [1, 2], InvalidValueError, "xp[1] is null"),
    (np.array(["2024-01", "2024-02"], "M8[M]"), [1, 2], InvalidTypeError,
     "xp: datetime64[M] has no fixed length; convert to a unit such as 's' or 'ns' first"),
    (np.array(["1969-12-31", "2024-01-01"], "M8[D]"), [1, 2], InvalidValueError,
     "xp[0] = 1969-12-31 is negative; coordinates are uint64"),
    ([1, 2], np.array(["NaT", "2024-01-01"], "M8[s]"), InvalidValueError, "fp[0] is NaT"),
    ([1, 2], None, InvalidTypeError, None),
]


def _spoilt(kind, where, n=1500):
    """xp and fp of n samples (converted: not read in place), spoilt at `where`."""
    xp, fp = np.arange(n, dtype=I64) * 2, np.arange(n, dtype=I64)
    if kind == "xp NaT":
        xp = xp.astype("M8[ns]")
    elif kind == "fp NaT":
        fp = fp.astype("M8[s]")
    elif kind == "too large":
        fp = fp.astype(U64)
    bad = {"negative": -1, "strided": -1, "xp NaT": np.datetime64("NaT"), "fp NaT": np.datetime64("NaT"),
           "too large": 2**63}[kind]
    if kind == "strided":
        xp = np.repeat(xp, 2)[::2]
    (fp if kind in ("fp NaT", "too large") else xp)[list(where)] = bad
    return xp, fp


CONVERSION_MESSAGES = {
    "negative": "xp[{at}] = -1 is negative; coordinates are uint64",
    "strided": "xp[{at}] = -1 is negative; coordinates are uint64",
    "xp NaT": "xp[{at}] is NaT",
    "fp NaT": "fp[{at}] is NaT",
    "too large": "fp[{at}] = 9223372036854775808 does not fit int64",
}


@pytest.mark.parametrize("kind", CONVERSION_MESSAGES)
@pytest.mark.parametrize("at", [0, 1, 511, 512, 513, 1024, 1499])
def test_converted_samples_refused_at_the_first_bad_one(kind, at):
    # converted a block at a time: the first refusal is found wherever it
    # falls in a block, with a second one later
    for where in ([at], [at, at + 700] if at + 700 < 1500 else [at]):
        with pytest.raises(InvalidValueError) as caught:
            Table(*_spoilt(kind, where))
        assert caught.value.args == (CONVERSION_MESSAGES[kind].format(at=at),)


def test_converted_queries_refused_at_the_first_bad_one():
    table = Table(np.arange(2000, dtype=U64), np.arange(2000, dtype=I64))
    for at in (0, 511, 512, 1023, 1999):
        x = np.arange(2000, dtype=I64)
        x[at] = -3
        x[-1 if at != 1999 else 0] = -4 if at != 1999 else 5
        with pytest.raises(InvalidValueError, match=rf"^x\[{at}\] = -3 is negative"):
            table.forward(x)
    times = np.arange(2000).astype("M8[ns]")
    dated = Table(times, np.arange(2000, dtype=F64))
    assert np.array_equal(dated.forward(times[::-3]), np.arange(2000, dtype=F64)[::-3])
    assert np.array_equal(dated.inverse(np.arange(2000, dtype=F64)[::7]), times[::7])


@pytest.mark.parametrize("xp, fp, error, message", SAMPLES_REFUSED,
                         ids=[f"{e.__name__}-{i}" for i, (_, _, e, _) in enumerate(SAMPLES_REFUSED)])
def test_refused_samples(xp, fp, error, message):
    with pytest.raises(error) as caught:
        Table(xp, fp)
    if message is not None:
        assert caught.value.args == (message,)


def test_samples_of_any_dtype_and_layout_make_the_same_table():
    want = Table(np.array([1, 3, 7], U64), np.array([2, 4, -8], I64))
    for xp, fp in [([1, 3, 7], [2, 4, -8]), (np.array([7, 3, 1], np.uint8)[::-1], np.array([2, 4, -8], np.int8)),
                   (np.array([1, 3, 7], ">i4"), np.array([2, 4, -8], ">i8")),
                   (np.array([1, 0, 3, 0, 7])[::2], np.array([[2, 4, -8]]).T[:, 0])]:
        table = Table(xp, fp)
        assert table.xp.tobytes() == want.xp.tobytes() and table.fp.tobytes() == want.fp.tobytes()
        assert table.xp.dtype.type is U64 and table.fp.dtype.type is I64
    assert Table([1, 2], [1, 2.5]).fp.dtype.type is F64
    assert Table([1, 2], np.array([1, 2], np.float32)).fp.dtype.type is F64


# --------------------------------------------------------------------------
# shapes, layouts, masks


def layouts(a):
    yield "C", a
    yield "F", np.asfortranarray(a)
    yield "reversed", a[::-1, ::-1].copy()[::-1, ::-1]
    yield "strided", np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, ::3]
    yield "transposed", a.T.copy().T
    yield "broadcast", np.broadcast_to(a[:1], a.shape)


@pytest.mark.parametrize("name", ["C", "F", "reversed", "strided", "transposed", "broadcast"])
def test_any_layout_gives_c_order_results(name):
    rng = np.random.default_rng(3)
    a = rng.integers(0, 21, (5, 7)).astype(np.uint16)
    query = dict(layouts(a))[name]
    got = INT.forward(query)
    want = quorvane.forward_int(np.ascontiguousarray(query).ravel().astype(U64), INT.xp, INT.fp).reshape(a.shape)
    assert got.flags.c_contiguous and got.shape == a.shape and got.tolist() == want.tolist()
    assert INT.forward(np.empty((3, 0, 2), U64)).shape == (3, 0, 2)


def test_masked_queries_are_not_evaluated_and_stay_masked():
    q = np.ma.masked_array([[5, 99], [15, -1]], mask=[[0, 1], [0, 1]])
    got = INT.forward(q)
    assert isinstance(got, np.ma.MaskedArray) and got.mask.tolist() == [[False, True], [False, True]]
    assert got.compressed().tolist() == [0, 55]
    with pytest.raises(OutOfBoundsError, match=r"^x\[1, 1\] = 99 is outside"):
        INT.forward(np.ma.masked_array([[5, 6], [15, 99]], mask=[[0, 1], [0, 0]]))
    assert INT.forward(np.ma.masked) is np.ma.masked
    assert INT.inverse(np.ma.masked_array([0, 55], mask=[0, 0]), "ffill").tolist() == [5, 15]
    assert INT.forward(np.ma.masked_array([5, 6])).mask.tolist() == [False, False]


@pytest.mark.parametrize("hidden", [None, -1, 2**64, 1.5, "x"])
def test_masked_elements_of_object_queries_are_not_evaluated(hidden):
    # a masked array made from a list holding None is of object dtype
    got = INT.forward(np.ma.masked_array(np.array([5, hidden], dtype=object), mask=[0, 1]))
    assert got.mask.tolist() == [False, True] and got[0] == 0
    got = INT.inverse(np.ma.masked_array(np.array([hidden, 55], dtype=object), mask=[1, 0]), "ffill")
    assert got.mask.tolist() == [True, False] and got[1] == 15


@pytest.mark.parametrize("table", [INT, Table([10, 20], [1.0, 2.0]), Table([10, 20], np.array([5, 6], "M8[s]"))],
                         ids=["int", "float", "datetime"])
def test_the_masked_constant_is_no_fill_value(table):
    # a fill value of fp's type is needed: 0 (or the epoch) was never given
    with pytest.raises((InvalidTypeError, InvalidValueError)):
        table.forward([5, 15], outside=np.ma.masked)


def test_an_unmasked_masked_scalar_is_a_fill_value():
    assert INT.forward([25, 5], outside=np.ma.masked_array(-1, mask=False)).tolist() == [-1, 0]
    assert INT.forward([25], outside=np.ma.masked_array(np.int8(-1))).tolist() == [-1]


# --------------------------------------------------------------------------
# time axes


def test_time_axes_keep_their_unit():
    day = np.array(["2024-01-01", "2024-01-02", "2024-01-04"], "M8[ns]")
    table = Table(day, np.array([0.0, 24.0, 72.0]))
    assert table.xp.dtype == np.dtype("M8[ns]")
    at = np.array(["2024-01-01T06", "2024-01-03"], "M8[h]")
    assert table.forward(at).tolist() == [6.0, 48.0]
    assert table.forward(np.datetime64("2024-01-01T00:00:00.000000001")) == pytest.approx(24 / 86400e9)
    back = table.inverse([6.0, 48.0])
    assert back.dtype == np.dtype("M8[ns]") and (back == at).all()
    assert table.inverse(6.0) == np.datetime64("2024-01-01T06", "ns")
    # the value axis in a unit of its own, queried in another
    clock = Table([0, 1000], np.array([0, 10], "m8[s]"))
    assert clock.forward(100) == np.timedelta64(1, "s") and clock.forward(100).dtype == np.dtype("m8[s]")
    assert clock.inverse(np.array([2000], "m8[ms]")).tolist() == [200]


@pytest.mark.parametrize("method", ["nearest", "bfill"])
def test_inverse_at_the_end_of_a_time_axis_is_never_nat(method):
    xp = np.array([2**63 - 7, 2**63 - 1], "M8[ns]")
    table = Table(xp, [-0.0, 4e300])
    with contextlib.suppress(Error):  # a documented error would do; NaT would not
        assert not np.isnat(table.inverse(3.9999999999999996e300, method))


TIME_REFUSED = [  # query, error class, message
    (np.array(["2024-01-01T00:00:00.000000001"], "M8[ns]"), InvalidValueError,
     "x[0] = 2024-01-01T00:00:00.000000001 is not a whole number of the table's unit (datetime64[us])"),
    (np.datetime64("NaT"), InvalidValueError, "x is NaT"),
    (np.array(["2024-01-01", "NaT"], "M8[s]"), InvalidValueError, "x[1] is NaT"),
    (np.array([10**16], "M8[D]"), InvalidValueError,
     f"x[0] = {np.datetime64(10**16, 'D')} is beyond the range of the table's unit (datetime64[us])"),
    (np.array([1], "m8[s]"), InvalidTypeError,
     "x: expected datetime64[us] values (the table's xp axis), got timedelta64[s]"),
    (np.array([1], U64), InvalidTypeError, "x: expected datetime64[us] values (the table's xp axis), got uint64"),
    (5, InvalidTypeError, "x: expected datetime64[us] values (the table's xp axis), got int"),
]


TIME_REFUSED += [  # time scalars of the standard library, alone and in lists
    (dt.timedelta(0), InvalidTypeError, "x: expected datetime64[us] values (the table's xp axis), got timedelta64[us]"),
    ([dt.datetime(2024, 1, 1), dt.timedelta(1)], InvalidTypeError,
     "x[1]: expected datetime64[us] values (the table's xp axis), got timedelta"),
    ([dt.date(2024, 1, 1), 5], InvalidTypeError, "x[1]: expected datetime64[us] values (the table's xp axis), got int"),
    ([dt.datetime(2024, 1, 1), None], InvalidTypeError,
     "x[1]: expected datetime64[us] values (the table's xp axis), got NoneType"),
    ([dt.datetime(2024, 1, 1), np.datetime64("NaT")], InvalidValueError, "x[1] is NaT"),
    ([dt.datetime(2024, 1, 1), np.datetime64("2024-02", "M")], InvalidTypeError,
     "x[1]: expected datetime64[us] values (the table's xp axis), got datetime64"),
    ([dt.datetime(1969, 12, 31)], InvalidValueError, "x[0] = 1969-12-31 00:00:00 is negative; coordinates are uint64"),
    (1.5, InvalidTypeError, "x: expected datetime64[us] values (the table's xp axis), got float"),
]


@pytest.mark.parametrize("query, error, message", TIME_REFUSED, ids=[m[:20] for _, _, m in TIME_REFUSED])
def test_time_queries_are_converted_only_when_exact(query, error, message):
    table = Table(np.array(["2024-01-01", "2024-01-02"], "M8[us]"), [0, 1])
    with pytest.raises(error) as caught:
        table.forward(query)
    assert caught.value.args == (message,)


DAY_US = Table(np.array(["2024-01-01", "2024-01-02"], "M8[us]"), [0, 86_400_000_000])  # answers: us since 00:00
TIME_ACCEPTED = [  # query, the same query in datetime64 (aware times as UTC instants)
    (dt.datetime(2024, 1, 1, 6, 0, 0, 7), np.datetime64("2024-01-01T06:00:00.000007")),
    (dt.datetime(2024, 1, 1, 7, tzinfo=dt.timezone(dt.timedelta(hours=1))), np.datetime64("2024-01-01T06")),
    (dt.datetime(2024, 1, 1, 1, 30, tzinfo=dt.timezone(dt.timedelta(hours=-4, minutes=-30))),
     np.datetime64("2024-01-01T06")),
    (dt.date(2024, 1, 2), np.datetime64("2024-01-02")),
    (np.datetime64("2024-01-01T00:00:01.5"), np.datetime64("2024-01-01T00:00:01.5")),
    ([dt.date(2024, 1, 1), dt.datetime(2024, 1, 1, 12), np.datetime64("2024-01-01T18:00:00.5")],
     np.array(["2024-01-01", "2024-01-01T12", "2024-01-01T18:00:00.5"], "M8[ms]")),
    (np.array([dt.datetime(2024, 1, 1, 3), dt.datetime(2024, 1, 1, 4)], dtype=object).reshape(2, 1),
     np.array([["2024-01-01T03"], ["2024-01-01T04"]], "M8[h]")),
]


@pytest.mark.parametrize("query, same", TIME_ACCEPTED, ids=[str(i) for i in range(len(TIME_ACCEPTED))])
def test_time_scalars_are_read_exactly(query, same):
    got, want = DAY_US.forward(query), DAY_US.forward(same)
    assert np.shape(got) == np.shape(want) and np.asarray(got).tolist() == np.asarray(want).tolist()
    assert DAY_US.inverse(want, "nearest").tolist() == np.asarray(same, "M8[us]").tolist()


def test_timedelta_scalars():
    clock = Table([0, 10], np.array([0, 10], "m8[s]"))
    assert clock.inverse(dt.timedelta(seconds=5)) == 5
    assert clock.inverse([dt.timedelta(seconds=2), np.timedelta64(3000, "ms")]).tolist() == [2, 3]
    with pytest.raises(InvalidValueError) as caught:
        clock.inverse(dt.timedelta(microseconds=5))
    assert caught.value.args == ("f = 5 microseconds is not a whole number of the table's unit (timedelta64[s])",)
    # timedelta reaches 10^9 days, beyond int64 microseconds: read in days
    with pytest.raises(InvalidValueError) as caught:
        Table([0, 10], np.array([0, 10], "m8[ns]")).inverse(dt.timedelta(days=999_999_999))
    assert caught.value.args == ("f = 86399999913600 seconds is beyond the range of the table's unit (timedelta64[ns])",)


def test_time_samples_from_lists():
    table = Table([dt.datetime(2024, 1, 1), dt.datetime(2024, 1, 1, 0, 0, 1, tzinfo=dt.timezone.utc)], [0, 1])
    assert table.xp.dtype == np.dtype("M8[us]") and table.xp.astype(I64).tolist() == [1704067200000000, 1704067201000000]
    days = Table([0, 10], [dt.date(2024, 1, 1), dt.date(2024, 1, 11)])
    assert days.fp.dtype == np.dtype("M8[D]") and days.forward(5) == np.datetime64("2024-01-06")
    with pytest.raises(InvalidTypeError, match=r"^fp\[1\]: expected datetime64\[D\] values .*got int$"):
        Table([0, 10], [dt.date(2024, 1, 1), 5])


def test_unit_converts_time_axes_exactly():
    us = np.array(["2024-01-01", "2024-01-01T00:00:01.5"], "M8[us]")
    table = Table(us, [0.0, 3.0], unit="ns")
    assert table.xp.dtype == np.dtype("M8[ns]") and table.xp.tolist() == us.astype("M8[ns]").astype(I64).tolist()
    assert table.inverse(1.0).dtype == np.dtype("M8[ns]") and table.inverse(1.0) == us[0] + np.timedelta64(500, "ms")
    assert repr(table).endswith("fp float64 [0.0, 3.0]; inverse answers in nanoseconds)")
    assert pickle.loads(pickle.dumps(table)).xp.dtype == np.dtype("M8[ns]")
    both = Table(np.array([0, 2], "m8[s]"), np.array([0, 1], "M8[s]"), unit="10ms")
    assert both.xp.astype(I64).tolist() == [0, 200] and both.fp.dtype == np.dtype("M8[10ms]")
    assert repr(both).endswith("; forward answers in units of 10 milliseconds, "
                               "inverse answers in units of 10 milliseconds)")
    assert repr(Table(np.array([], "m8[us]"), np.array([], I64))) == \
        "Table(0 samples, xp timedelta64[us], fp int64; inverse answers in microseconds)"


UNIT_REFUSED = [  # xp, unit, error class, message
    (us := np.array(["2024-01-01", "2024-01-01T00:00:01.5"], "M8[us]"), "s", InvalidValueError,
     "xp[1] = 2024-01-01T00:00:01.500000 is not a whole number of the table's unit (datetime64[s])"),
    (np.array([1, 2**62], "M8[s]"), "ns", InvalidValueError,
     f"xp[1] = {np.datetime64(2**62, 's')} is beyond the range of the table's unit (datetime64[ns])"),
    ([0, 1], "ns", InvalidValueError,
     "unit='ns' needs a time axis, but neither xp nor fp holds datetime64 or timedelta64"),
    (us, "M", InvalidValueError,
     "unit must be a time unit of fixed length such as 'ns', 'us', 'ms' or 's', not 'M'"),
    (us, "fortnight", InvalidValueError,
     "unit must be a time unit of fixed length such as 'ns', 'us', 'ms' or 's', not 'fortnight'"),
    (us, 9, InvalidTypeError, "unit must be None or a str, not int"),
]


@pytest.mark.parametrize("xp, unit, error, message", UNIT_REFUSED, ids=[m[:25] for *_, m in UNIT_REFUSED])
def test_refused_units(xp, unit, error, message):
    with pytest.raises(error) as caught:
        Table(xp, [0, 1], unit=unit)
    assert caught.value.args == (message,)


# --------------------------------------------------------------------------
# options


def test_outside_clamps_or_fills():
    x = np.array([0, 5, 20, 25], U64)
    with pytest.raises(OutOfBoundsError, match=r"^x\[3\] = 25 is outside the table \[0, 20\]$"):
        INT.forward(x)
    assert INT.forward(x, outside="clamp").tolist() == [-5, 0, 105, 105]
    assert INT.forward(x, outside=-1).tolist() == [-5, 0, 105, -1]
    assert INT.forward(x, outside=np.array(-1, np.int8)).tolist() == [-5, 0, 105, -1]
    got = Table([10, 20], [1.0, 2.0]).forward([5, 15, 25], outside=np.nan)
    assert np.isnan(got[[0, 2]]).all() and got[1] == 1.5
    empty = Table(np.array([], U64), np.array([], F64))
    assert np.isnan(empty.forward([1, 2], outside=np.nan)).all()
    with pytest.raises(OutOfBoundsError, match=r"^x\[0\] = 1 is outside the table, which is empty$"):
        empty.forward([1, 2], outside="clamp")
    clock = Table([0, 10], np.array([0, 10], "M8[s]"))
    assert np.isnat(clock.forward(11, outside=np.datetime64("NaT")))
    assert clock.forward([11], outside=np.datetime64(5000, "ms")).tolist() == [np.datetime64(5, "s").item()]


OPTIONS_REFUSED = [  # call, error class, message
    (lambda: INT.forward(5, outside="Clamp"), InvalidValueError,
     "outside must be 'raise', 'clamp' or a fill value, not 'Clamp'"),
    (lambda: INT.forward(5, outside=[1, 2]), InvalidValueError,
     "outside must be 'raise', 'clamp' or a single fill value, not an array of shape (2,)"),
    (lambda: INT.forward(5, outside=1.5), InvalidTypeError,
     "outside: expected integers that fit int64 (the table's fp is int64), got float"),
    (lambda: INT.forward(5, outside=2**63), InvalidValueError, "outside = 9223372036854775808 does not fit int64"),
    (lambda: FLOAT.forward(5, outside=2**53 + 1), InvalidValueError,
     "outside = 9007199254740993 has no exact float64 value"),
    (lambda: INT.inverse(5, "Nearest"), InvalidValueError,
     "method must be None, 'nearest', 'ffill' or 'bfill', not 'Nearest'"),
    (lambda: INT.inverse(5, b"nearest"), InvalidTypeError, "method must be None or a str, not bytes"),
    (lambda: INT.forward(5, workers=0), InvalidValueError,
     "workers must be a positive number of threads or -1 (all CPUs), not 0"),
    (lambda: INT.forward(5, workers=1.0), InvalidTypeError, "workers must be an int, not float"),
    (lambda: INT.forward(5, workers=np.float64(2)), InvalidTypeError, "workers must be an int, not float64"),
    (lambda: INT.forward(5, workers=True), InvalidTypeError, "workers must be an int, not bool"),
    (lambda: INT.forward(5, workers=np.int8(-2)), InvalidValueError,
     "workers must be a positive number of threads or -1 (all CPUs), not -2"),
    (lambda: INT.forward(5, 6), InvalidTypeError, "forward() takes at most 1 positional argument but 2 were given"),
    (lambda: INT.inverse(5, None, 2), InvalidTypeError,
     "inverse() takes at most 2 positional arguments but 3 were given"),
    (lambda: INT.forward(5, x=6), InvalidTypeError, "forward() got multiple values for argument 'x'"),
    (lambda: INT.forward(5, method="nearest"), InvalidTypeError,
     "forward() got an unexpected keyword argument 'method'"),
    (lambda: INT.forward(), InvalidTypeError, "forward() missing required argument 'x'"),
]


@pytest.mark.parametrize("call, error, message", OPTIONS_REFUSED, ids=[m[:30] for _, _, m in OPTIONS_REFUSED])
def test_refused_options(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert caught.value.args == (message,)


# --------------------------------------------------------------------------
# errors


LOOKUP_ERRORS = [  # table, call, error class, message
    (INT, lambda t: t.inverse([0, 6]), NotFoundError,
     "f[1] = 6 falls between fp[1] = 5 and fp[2] = 105, at a coordinate that is not whole; "
     "method='nearest', 'ffill' or 'bfill' picks one"),
    (INT, lambda t: t.inverse(-6, "ffill"), OutOfBoundsError,
     "f = -6 is outside the table [-5, 105]; method='ffill' extends it only above"),
    (INT, lambda t: t.inverse(106, "bfill"), OutOfBoundsError,
     "f = 106 is outside the table [-5, 105]; method='bfill' extends it only below"),
    (Table([0, 5, 5], [1, 2, 3]), lambda t: t.forward(1), NotIncreasingError,
     "xp must be strictly increasing for forward queries, but xp[2] = 5 follows xp[1] = 5"),
    (Table([0, 5, 6], [1.0, np.nan, 3.0]), lambda t: t.inverse(1.0), NotIncreasingError,
     "fp must be strictly increasing for inverse queries, but fp[1] = nan follows fp[0] = 1.0"),
    (Table([0, 5, 9], [1.0, np.inf, 3.0]), lambda t: t.forward([0, 5, 7]), NonFiniteError,
     "x[2] = 7 falls between xp[1] = 5 and xp[2] = 9, and fp[1] = inf is not finite"),
    (Table([0, 5], [-np.inf, 3.0]), lambda t: t.inverse([3.0, 1.0]), NonFiniteError,
     "f[1] = 1.0 falls between fp[0] = -inf and fp[1] = 3.0, and fp[0] = -inf is not finite"),
    (FLOAT, lambda t: t.inverse([0.5, np.nan], "nearest"), NonFiniteError, "f[1] = nan is not a number"),
    (Table([3], [np.nan]), lambda t: t.inverse(1.0), NonFiniteError,
     "f = 1.0 cannot be looked up: the only sample, fp[0], is nan"),
]


@pytest.mark.parametrize("table, call, error, message", LOOKUP_ERRORS, ids=[m[:30] for *_, m in LOOKUP_ERRORS])
def test_lookup_errors(table, call, error, message):
    with pytest.raises(error) as caught:
        call(table)
    assert caught.value.args == (message,) and str(caught.value) == message


def test_error_classes():
    assert issubclass(OutOfBoundsError, IndexError) and issubclass(OutOfBoundsError, KeyError)
    assert issubclass(NotFoundError, KeyError)
    for cls in (NotIncreasingError, NonFiniteError, InvalidValueError):
        assert issubclass(cls, ValueError)
    assert issubclass(InvalidTypeError, TypeError)
    for cls in (OutOfBoundsError, NotFoundError, NotIncreasingError, NonFiniteError, InvalidValueError,
                InvalidTypeError):
        assert issubclass(cls, Error) and issubclass(cls, Exception) and cls.__module__ == "quorvane"
        assert getattr(quorvane, cls.__name__) is cls and cls.__doc__
        assert pickle.loads(pickle.dumps(cls("m"))).args == ("m",)


# --------------------------------------------------------------------------
# the object


def test_workers_take_any_index():
    for workers in (np.int64(2), np.uint8(1), np.intp(-1)):
        assert INT.forward([5, 15], workers=workers).tolist() == [0, 55]


def test_weak_references():
    table = Table([1, 2], [3, 4])
    ref = weakref.ref(table)
    assert ref() is table and weakref.WeakValueDictionary({"t": table})["t"] is table
    del table
    gc.collect()
    assert ref() is None


def test_table_object():
    table = Table(np.array([10, 20, 30], U64), np.array([100.0, 200.0, 150.0]))
    assert len(table) == 3
    assert repr(table) == "Table(3 samples, xp uint64 [10, 30], fp float64 [100.0, 200.0])"
    assert repr(Table(np.array([], U64), np.array([], I64))) == "Table(0 samples, xp uint64, fp int64)"
    for axis in (table.xp, table.fp):
        assert not axis.flags.writeable
        with pytest.raises(ValueError):
            axis[0] = 1
    with pytest.raises(AttributeError):
        table.xp = np.array([1], U64)
    with pytest.raises(TypeError):  # PyPy lets the class be made, not used
        type("Sub", (Table,), {})([1], [1])
    assert copy.copy(table) is table and copy.deepcopy(table) is table
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        again = pickle.loads(pickle.dumps(table, protocol))
        assert again is not table and repr(again) == repr(table)
        assert again.forward([15, 25]).tolist() == table.forward([15, 25]).tolist() == [150.0, 175.0]
    assert table.fp.base is table or table.fp.base.base is table


class Forged:
    """Pickles as Table(*args), as a tampered pickle of a Table would."""

    def __init__(self, *args):
        self.args = args

    def __reduce__(self):
        return Table, self.args


@pytest.mark.parametrize("args, error", [
    ((np.array([1, 2], U64), np.array([1], I64)), InvalidValueError),
    ((np.array([-1, 2]), np.array([1, 2])), InvalidValueError),
    ((np.array([[1, 2]], U64), np.array([[1, 2]], I64)), InvalidValueError),
    ((np.array([1, 2], U64), np.array(["a", "b"])), InvalidTypeError),
    ((np.array([1, 2], U64),), InvalidTypeError),
    ((1, 2, 3), InvalidTypeError),
])
def test_tampered_pickles_are_refused(args, error):
    with pytest.raises(error):
        pickle.loads(pickle.dumps(Forged(*args)))


class ForgedStorage(Forged):
    """Pickles as a Table's storage and dtypes, changed."""

    def __reduce__(self):
        return _table._restore, self.args


def _storage(xp, fp, xd=U64, fd=I64):
    # as bytes: the storage that a pickle read in band would read in place
    def immutable(a):
        return np.frombuffer(np.asarray(a).tobytes(), np.asarray(a).dtype).reshape(np.shape(a))
    return immutable(xp), immutable(fp), np.dtype(xd), np.dtype(fd)


@pytest.mark.parametrize("args, error", [
    (_storage(np.array([1, 2], U64), np.array([1], I64)), InvalidValueError),       # lengths
    (_storage(np.array([[1, 2]], U64), np.array([[1, 2]], I64)), InvalidValueError),  # not 1-D
    (_storage(np.array([2**63, 2], U64), np.array([1, 2], I64), "M8[s]"), InvalidValueError),  # before 1970
    (_storage(np.array([1, 2], U64), np.array([-2**63, 2], I64), U64, "m8[s]"), InvalidValueError),  # NaT
    (_storage(np.array([1, 2], U64), np.array([1, 2], I64), "M8[M]"), InvalidTypeError),  # no fixed length
    (_storage(np.array([1, 2], U64), np.array([1, 2], I64), U64, object), InvalidTypeError),
    (_storage(np.array([1, 2], U64), np.array([1.5, 2]), U64, I64), InvalidTypeError),  # floats as int64
    ((np.array([1, 2], U64), np.array([1, 2], I64), "uint64", "int64"), InvalidTypeError),
    ((np.array([1, 2], U64), np.array([1, 2], I64), np.dtype(U64)), InvalidTypeError),
    (([1, -2], [1, 2], np.dtype(U64), np.dtype(I64)), InvalidTypeError),
    ((np.array([1, 2], np.int64), np.array([1, 2], I64), np.dtype(U64), np.dtype(I64)), InvalidTypeError),
    ((np.array([1, 2], U64), np.array([1, 2], I64), np.dtype(">u8"), np.dtype(I64)), InvalidTypeError),
    ((np.array([1, 2], U64), np.array([1, 2], np.float16), np.dtype(U64), np.dtype(np.float16)), InvalidTypeError),
])
def test_tampered_storage_pickles_are_refused(args, error):
    with pytest.raises(error):
        pickle.loads(pickle.dumps(ForgedStorage(*args), 5))


TIME_AND_PLAIN = [(np.array([10, 20, 30], U64), np.array([-5, 0, 7], I64)),
                  (np.array([10, 20, 30], U64).astype("M8[ns]"), np.array([0.5, 1.0, 2.5])),
                  (np.array([0, 5, 9], U64), np.array([1, 2, 3], I64).astype("m8[s]"))]


@pytest.mark.parametrize("xp, fp", TIME_AND_PLAIN)
def test_protocol_5_hands_over_two_buffers_and_reads_immutable_ones_in_place(xp, fp):
    table = Table(xp, fp)
    buffers = []
    data = pickle.dumps(table, 5, buffer_callback=buffers.append)
    assert len(buffers) == 2 and len(data) < 400
    address = lambda t: (t.xp.__array_interface__["data"][0], t.fp.__array_interface__["data"][0])
    as_bytes = [bytes(b.raw()) for b in buffers]
    as_bytearrays = [bytearray(b.raw()) for b in buffers]
    for given in (buffers, as_bytes, as_bytearrays):
        again = pickle.loads(data, buffers=given)
        assert repr(again) == repr(table) and again.__dask_tokenize__() == table.__dask_tokenize__()
        assert again.forward(xp[1]) == fp[1] and again.inverse(fp[2]) == xp[2]
    # in place where nothing can change the memory: a table's own (buffers
    # taken in this process) or bytes; bytearrays are copied, and their
    # change after loading changes nothing
    assert address(pickle.loads(data, buffers=buffers)) == address(table)
    if sys.implementation.name == "cpython":  # PyPy hands C a copy of a bytes object's own
        assert address(pickle.loads(data, buffers=as_bytes)) == tuple(
            np.frombuffer(b, np.uint8).__array_interface__["data"][0] for b in as_bytes)
    again = pickle.loads(data, buffers=as_bytearrays)
    as_bytearrays[0][:] = bytes(len(as_bytearrays[0]))
    assert repr(again) == repr(table)
    # in band, the same table
    assert repr(pickle.loads(pickle.dumps(table, 5))) == repr(table)


# --------------------------------------------------------------------------
# threads


def test_threads_sharing_tables_get_the_sequential_answers():
    rng = np.random.default_rng(11)
    tables = [Table(*make_table(rng, n, floats, "sorted")) for n, floats in [(64, False), (70_000, True)]]
    batches = [(t, make_queries(rng, t.xp, t.fp, 50_000, d, "inside", t.fp.dtype == F64), d, w)
               for t in tables for d in ("forward", "inverse") for w in (1, 2)]
    want = [t.forward(q) if d == "forward" else t.inverse(q, "nearest") for t, q, d, _ in batches]
    failures = []

    def worker(seed):
        order = np.random.default_rng(seed).permutation(len(batches))
        for k in order:
            t, q, d, w = batches[k]
            got = t.forward(q, workers=w) if d == "forward" else t.inverse(q, "nearest", workers=w)
            if got.tobytes() != want[k].tobytes():
                failures.append(k)

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(6)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert failures == []


def test_other_threads_run_while_a_batch_is_evaluated():
    rng = np.random.default_rng(5)
    table = Table(*make_table(rng, 1 << 16, False, "sorted"))
    queries = make_queries(rng, table.xp, table.fp, 4_000_000, "forward", "inside", False)
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(1)

    th = threading.Thread(target=ticker)
    th.start()
    try:
        before = len(ticks)
        table.forward(queries)
        during = len(ticks) - before
    finally:
        done.set()
        th.join()
    assert during > 0
