"""Scale-out with dask: the functions and prepared tables over chunked
``dask.array`` queries (tables with 2-D chunks too).

The queries are chunked (irregular chunks, an empty chunk, a reversed
view); the table is passed whole to every block.  Every block result must
equal the corresponding slice of one call over all the queries, for the
synchronous and the threaded scheduler, and errors raised in a block must
come out of ``compute()`` with their type and message.  The functions must
pickle by reference, as worker processes need.
"""

from __future__ import annotations

import functools
import pickle
import platform

import numpy as np
import pytest

import quorvane
import quorvane.rust

if platform.python_implementation() == "PyPy":
    pytest.skip("dask measures objects with sys.getsizeof, which PyPy does not provide",
                allow_module_level=True)

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")

FUNCTIONS = ["forward_int", "forward_float", "inverse_int", "inverse_float"]
METHODS = [None, "nearest", "ffill", "bfill"]
CHUNKS = ((40, 0, 33, 1, 126),)  # 200 queries

T0 = 1_718_000_000 * 10**9  # Unix time in ns

# Integer table: sample counter -> Unix time in ns.
XP_INT = np.array([0, 1_000_037, 2_000_071, 3_000_110], dtype=np.uint64)
FP_INT = T0 + np.array([0, 1, 2, 3], dtype=np.int64) * 10**9

# Float table: Unix time in ns -> a measured level.
XP_FLOAT = T0 + np.array([0, 1_000, 3_000, 7_000, 2**40], dtype=np.uint64)
FP_FLOAT = np.array([-3.5, 0.1, 0.2, 21.0, 1e6])


@pytest.fixture(params=["synchronous", "threads"])
def scheduler(request):
    with dask.config.set(scheduler=request.param):
        yield request.param


def _rng():
    return np.random.default_rng(20240610)


def _chunked(values: np.ndarray, reverse: bool = False):
    if reverse:
        # dask slices a reversed (negative-stride) view for every block.
        return da.from_array(values[::-1].copy()[::-1], chunks=CHUNKS)
    return da.from_array(values, chunks=CHUNKS)


def _map(func, queries, xp, fp, dtype, **kwargs):
    return queries.map_blocks(func, xp, fp, dtype=dtype,
                              meta=np.empty(0, dtype=dtype), **kwargs)


def _same(got: np.ndarray, want: np.ndarray) -> bool:
    return (got.dtype == want.dtype and got.shape == want.shape
            and np.array_equal(got.view(np.uint64), want.view(np.uint64)))


def _queries(name: str, method):
    rng = _rng()
    n = sum(CHUNKS[0])
    if name.startswith("forward"):
        xp = XP_INT if name == "forward_int" else XP_FLOAT
        x = rng.integers(int(xp[0]), int(xp[-1]), size=n, dtype=np.uint64,
                         endpoint=True)
        x[:len(xp)] = xp  # exact hits too
        return x
    fp = FP_INT if name == "inverse_int" else FP_FLOAT
    if method is None:  # only exact hits are sure to have an answer
        return fp[rng.integers(0, len(fp), size=n)]
    lo, hi = fp[0], fp[-1]
    if name == "inverse_int":
        span = int(hi - lo)
        low = int(lo) - (span // 10 if method in ("nearest", "bfill") else 0)
        high = int(hi) + (span // 10 if method in ("nearest", "ffill") else 0)
        return rng.integers(low, high, size=n, dtype=np.int64, endpoint=True)
    low = lo - (10.0 if method in ("nearest", "bfill") else 0.0)
    high = hi + (10.0 if method in ("nearest", "ffill") else 0.0)
    f = rng.uniform(low, high, size=n)
    f[:len(fp)] = fp
    return f


def _table(name: str):
    return (XP_INT, FP_INT) if name.endswith("_int") else (XP_FLOAT, FP_FLOAT)


def _result_dtype(name: str):
    return {"forward_int": np.int64, "forward_float": np.float64,
            "inverse_int": np.uint64, "inverse_float": np.uint64}[name]


CASES = [("forward_int", None), ("forward_float", None)] + [
    (name, method) for name in ("inverse_int", "inverse_float") for method in METHODS]


@pytest.mark.parametrize("reverse", [False, True], ids=["contiguous", "reversed"])
@pytest.mark.parametrize("name, method", CASES)
def test_map_blocks_matches_one_call(scheduler, name, method, reverse):
    func = getattr(quorvane, name)
    xp, fp = _table(name)
    queries = _queries(name, method)
    kwargs = {} if name.startswith("forward") else {"method": method}
    want = func(queries, xp, fp, **kwargs)
    got = _map(func, _chunked(queries, reverse), xp, fp, _result_dtype(name),
               **kwargs).compute()
    assert _same(got, want)


@pytest.mark.parametrize("scheduler_name", ["synchronous", "threads"])
def test_whole_pipeline_round_trip(scheduler_name):
    """Sample -> time -> sample over many blocks, computed together."""
    samples = da.arange(0, 3_000_110, 997, chunks=313, dtype=np.uint64)
    times = _map(quorvane.forward_int, samples, XP_INT, FP_INT, np.int64)
    back = _map(quorvane.inverse_int, times, XP_INT, FP_INT, np.uint64,
                method="nearest")
    with dask.config.set(scheduler=scheduler_name):
        s, t, b = dask.compute(samples, times, back)
    assert _same(t, quorvane.forward_int(s, XP_INT, FP_INT))
    assert _same(b, s)


# --------------------------------------------------------------------------
# Errors raised in a block


def _raises(array, exc_type, message):
    with pytest.raises(BaseException) as info:
        array.compute()
    assert type(info.value) is exc_type or (
        isinstance(exc_type, str) and type(info.value).__qualname__ == exc_type
        and type(info.value).__module__ == "pyo3_runtime"), repr(info.value)
    assert info.value.args == (message,)


def test_forward_out_of_bounds_propagates(scheduler):
    x = np.arange(0, 200, dtype=np.uint64) * 15_000
    x[-1] = 2**63  # in the last block only
    arr = _map(quorvane.forward_int, _chunked(x), XP_INT, FP_INT, np.int64)
    _raises(arr, IndexError, "x out of bounds")


def test_forward_not_increasing_propagates(scheduler):
    xp = XP_FLOAT[::-1].copy()
    x = _queries("forward_float", None)
    arr = _map(quorvane.forward_float, _chunked(x), xp, FP_FLOAT, np.float64)
    _raises(arr, ValueError, "xp must be strictly increasing")


def test_inverse_not_found_propagates(scheduler):
    f = FP_INT[np.arange(200) % len(FP_INT)]
    f[150] += 1  # strictly inside a segment, not a whole sample
    arr = _map(quorvane.inverse_int, _chunked(f), XP_INT, FP_INT, np.uint64)
    _raises(arr, KeyError, "f not found")


def test_inverse_out_of_bounds_propagates(scheduler):
    f = np.full(200, 0.5)
    f[-1] = 1e7  # above the last value; ffill would clamp, bfill does not
    arr = _map(quorvane.inverse_float, _chunked(f), XP_FLOAT, FP_FLOAT,
               np.uint64, method="bfill")
    _raises(arr, KeyError, "f out of bounds")


def test_bad_method_propagates(scheduler):
    f = _queries("inverse_int", "nearest")
    arr = _map(quorvane.inverse_int, _chunked(f), XP_INT, FP_INT, np.uint64,
               method="Nearest")
    _raises(arr, ValueError,
            "method must be either None, 'nearest', 'ffill' or 'bfill'")


def test_type_error_propagates(scheduler):
    x = _queries("forward_int", None).astype(np.int64)  # int64, not uint64
    arr = _map(quorvane.forward_int, _chunked(x), XP_INT, FP_INT, np.int64)
    _raises(arr, TypeError,
            "argument 'x': 'ndarray' object cannot be converted to 'PyArray<T, D>'")


def test_panic_length_mismatch_propagates(scheduler):
    x = _queries("forward_int", None)
    arr = _map(quorvane.forward_int, _chunked(x), XP_INT, FP_INT[:-1], np.int64)
    _raises(arr, "PanicException", "xp and fp must have same length")


def test_panic_nan_propagates(scheduler):
    f = np.full(200, 0.5)
    f[77] = np.nan
    arr = _map(quorvane.inverse_float, _chunked(f), XP_FLOAT, FP_FLOAT,
               np.uint64, method="nearest")
    _raises(arr, "PanicException", "nan or inf encountered")


def test_panic_not_finite_propagates(scheduler):
    fp = FP_FLOAT.copy()
    fp[2] = np.inf
    x = np.full(200, XP_FLOAT[1] + 1, dtype=np.uint64)
    arr = _map(quorvane.forward_float, _chunked(x), XP_FLOAT, fp, np.float64)
    _raises(arr, "PanicException", "assertion failed: value.is_finite()")


# --------------------------------------------------------------------------
# Pickling


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_pickle_by_reference(name, protocol):
    for func in (getattr(quorvane, name), getattr(quorvane.rust, name)):
        assert pickle.loads(pickle.dumps(func, protocol=protocol)) is func
    assert getattr(quorvane, name) is getattr(quorvane.rust, name)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_cloudpickle_by_reference(name):
    cloudpickle = pytest.importorskip("cloudpickle")
    func = getattr(quorvane, name)
    assert cloudpickle.loads(cloudpickle.dumps(func)) is func


def test_partial_pickles():
    nearest = functools.partial(quorvane.inverse_int, method="nearest")
    again = pickle.loads(pickle.dumps(nearest))
    assert again.func is quorvane.inverse_int
    f = _queries("inverse_int", "nearest")
    assert _same(again(f, XP_INT, FP_INT), nearest(f, XP_INT, FP_INT))


def test_dask_graph_pickles(scheduler):
    """A pickled and restored graph, as a worker process would get it,
    computes the same answer."""
    f = _queries("inverse_float", "ffill")
    arr = _map(quorvane.inverse_float, _chunked(f), XP_FLOAT, FP_FLOAT,
               np.uint64, method="ffill")
    restored = pickle.loads(pickle.dumps(arr))
    assert _same(restored.compute(), quorvane.inverse_float(f, XP_FLOAT, FP_FLOAT,
                                                            method="ffill"))


# --------------------------------------------------------------------------
# Prepared tables with N-D chunks


TABLES = {"int": quorvane.Table(XP_INT, FP_INT), "float": quorvane.Table(XP_FLOAT, FP_FLOAT)}


@pytest.mark.parametrize("direction", ["forward", "inverse"])
@pytest.mark.parametrize("kind", ["int", "float"])
def test_table_over_nd_chunks(scheduler, kind, direction):
    """A 2-D array in irregular 2-D chunks (a Fortran-order source, an empty
    chunk) gives the one-call answer; so does its restored pickled graph."""
    table = TABLES[kind]
    rng = _rng()
    axis = table.xp if direction == "forward" else table.fp
    values = axis[rng.integers(0, len(axis), (30, 40))]
    values = np.asfortranarray(values)
    call = table.forward if direction == "forward" else functools.partial(table.inverse, method="nearest")
    want = call(values)
    chunked = da.from_array(values, chunks=((10, 0, 20), (7, 33)))
    arr = chunked.map_blocks(call, dtype=want.dtype, meta=np.empty((0, 0), dtype=want.dtype))
    assert _same(arr.compute(), want)
    assert _same(pickle.loads(pickle.dumps(arr)).compute(), want)


def test_table_errors_propagate(scheduler):
    x = np.zeros((20, 10), dtype=np.uint64)
    x[17, 3] = 2**63
    arr = da.from_array(x, chunks=(5, 5)).map_blocks(TABLES["int"].forward, dtype=np.int64,
                                                     meta=np.empty((0, 0), dtype=np.int64))
    with pytest.raises(quorvane.OutOfBoundsError) as info:
        arr.compute()
    # the index is the block's own
    assert info.value.args == ("x[2, 3] = 9223372036854775808 is outside the table [0, 3000110]",)
