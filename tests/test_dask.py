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
import gc
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


# --------------------------------------------------------------------------
# Tables over dask arrays: lazy dask arrays out


TIME_TABLE = quorvane.Table(XP_INT.astype("M8[us]"), FP_FLOAT[:4].copy())
LAZY_TABLES = {"int": TABLES["int"], "float": TABLES["float"], "time": TIME_TABLE}
# (chunks, shape): 1-D irregular with an empty chunk, 2-D irregular
LAZY_CHUNKS = {"1-D": CHUNKS, "2-D": ((10, 0, 20), (7, 33))}
# the options of both directions, each with a fill value of the table's kind
LAZY_OPTIONS = [("forward", {}), ("forward", {"outside": "clamp"}), ("forward", {"outside": "fill"}),
                ("forward", {"workers": 2})] + [("inverse", {"method": m}) for m in METHODS[1:]]


def _lazy_queries(table, direction, shape):
    rng = _rng()
    axis = table.xp if direction == "forward" else table.fp
    values = axis[rng.integers(0, len(axis), shape)]
    if direction == "forward":
        # between and beyond the samples: outside= decides those
        span = np.array(axis.view(np.uint64)[-1] // 4, dtype=np.uint64)
        raw = values.view(np.uint64).copy()
        raw.flat[::3] = raw.flat[::3] // np.uint64(2) + span
        return raw.view(axis.dtype)
    return values


def _eager_and_lazy(table, direction, options, chunks):
    shape = tuple(sum(c) for c in chunks)
    values = _lazy_queries(table, direction, shape)
    if options.get("outside") == "fill":
        options = {"outside": np.array(-1, table.fp.dtype)} if table.fp.dtype.kind != "f" else {"outside": np.nan}
    call = getattr(table, direction)
    if direction == "forward" and "outside" not in options:
        values = np.clip(values, table.xp[0], table.xp[-1])
    return call(values, **options), call(da.from_array(values, chunks=chunks), **options)


@pytest.mark.parametrize("chunks", LAZY_CHUNKS, ids=list(LAZY_CHUNKS))
@pytest.mark.parametrize("direction, options", LAZY_OPTIONS, ids=[f"{d}-{o}" for d, o in LAZY_OPTIONS])
@pytest.mark.parametrize("kind", LAZY_TABLES)
def test_table_on_dask_arrays_is_lazy_and_exact(scheduler, kind, direction, options, chunks):
    want, got = _eager_and_lazy(LAZY_TABLES[kind], direction, dict(options), LAZY_CHUNKS[chunks])
    assert isinstance(got, da.Array) and got.chunks == LAZY_CHUNKS[chunks] and got.dtype == want.dtype
    assert _same(got.compute(), want)


def _never(block_id=None):
    raise AssertionError("a block was computed")


def test_nothing_is_computed_and_the_table_is_one_key():
    table = TABLES["float"]
    x = da.map_blocks(_never, chunks=((5, 5, 5), (2, 2)), dtype=np.uint64, meta=np.empty((0, 0), np.uint64))
    y, z = table.forward(x, outside="clamp"), table.inverse(table.forward(x), method="nearest")
    assert (y.chunks, y.dtype, z.dtype) == (x.chunks, np.float64, np.uint64)
    graph = dict(dask.base.collections_to_expr([y, z]).__dask_graph__())
    held = [key for key, task in graph.items() if getattr(task, "value", None) is table]
    assert len(held) == 1  # the two arrays share the key
    blocks = [key for key in graph if isinstance(key, tuple) and key[0] in (y.name, z.name)]
    assert len(blocks) == 12 and all(held[0] in graph[key].dependencies for key in blocks)


def test_options_and_dtype_are_checked_when_the_graph_is_built():
    f = da.from_array(np.array([0.5]), chunks=1)
    with pytest.raises(quorvane.InvalidValueError, match="method must be None"):
        TABLES["float"].inverse(f, method="Nearest")
    with pytest.raises(quorvane.InvalidTypeError, match=r"^x: expected integers"):
        TABLES["float"].forward(f)
    with pytest.raises(quorvane.InvalidValueError, match="workers must be"):
        TABLES["float"].forward(da.from_array(np.array([1], np.uint64)), workers=0)


def test_masked_and_0d_dask_arrays():
    table = TABLES["int"]
    x = np.ma.masked_array(np.array([0, 1_000_037, 7, 2**63], np.uint64), mask=[0, 0, 0, 1])
    got = table.forward(da.ma.masked_array(da.from_array(x.data, chunks=2), mask=x.mask))
    want = table.forward(x)
    assert isinstance(got.compute(), np.ma.MaskedArray)
    assert (got.compute().mask == want.mask).all() and (got.compute().filled(0) == want.filled(0)).all()
    assert table.forward(da.from_array(np.array(7, np.uint64))).compute() == table.forward(7)


# (direction, options, bad query, where): one bad query among good ones, in
# a block other than the first along each axis
BLOCK_ERRORS = [
    ("forward", {}, 2**63, (17, 3)),                         # outside the table
    ("forward", {}, 2**40, (0, 9)),
    ("inverse", {}, FP_INT[1] + 1, (12, 8)),                 # not whole
    ("inverse", {"method": "ffill"}, FP_INT[0] - 1, (19, 0)),  # ffill extends only above
]


@pytest.mark.parametrize("direction, options, bad, where", BLOCK_ERRORS)
@pytest.mark.parametrize("through", ["dask", "xarray"])
def test_block_errors_name_the_global_index(scheduler, direction, options, bad, where, through):
    table = TABLES["int"]
    good = table.xp[1] if direction == "forward" else table.fp[1]
    values = np.full((20, 10), good)
    values[where] = bad
    with pytest.raises(quorvane.Error) as eager:
        getattr(table, direction)(values, **options)
    chunked = da.from_array(values, chunks=(5, (3, 7)))
    if through == "xarray":
        xr = pytest.importorskip("xarray")
        chunked = xr.DataArray(chunked, dims=("t", "c"))
    with pytest.raises(quorvane.Error) as lazy:
        dask.compute(getattr(table, direction)(chunked, **options))
    assert type(lazy.value) is type(eager.value)
    assert lazy.value.args == eager.value.args
    assert str(list(where))[1:-1] in str(lazy.value)
    # 1-D too, the bad query in the fourth block
    flat = values.ravel()
    with pytest.raises(quorvane.Error) as eager1:
        getattr(table, direction)(flat, **options)
    with pytest.raises(quorvane.Error) as lazy1:
        getattr(table, direction)(da.from_array(flat, chunks=37), **options).compute()
    assert lazy1.value.args == eager1.value.args


def test_block_errors_in_chunks_of_unknown_length_name_the_block():
    x = da.from_array(np.array([5, 7, 1_000_037, 9, 2**63, 11], np.uint64), chunks=2)
    picked = x[x > 6]  # chunks of unknown length: (1, 1, 2) once computed
    with pytest.raises(quorvane.OutOfBoundsError) as info:
        TABLES["int"].forward(picked).compute(scheduler="sync")
    assert info.value.args == ("x[0] of block (2,) = 9223372036854775808 is outside the table [0, 3000110]",)


# --------------------------------------------------------------------------
# xarray: DataArrays out, with their dims, coords and name


@pytest.mark.parametrize("backing", ["numpy", "dask"])
@pytest.mark.parametrize("direction, options", [("forward", {"outside": "clamp"}), ("inverse", {"method": "bfill"})])
def test_data_arrays_keep_dims_coords_and_name(scheduler, backing, direction, options):
    xr = pytest.importorskip("xarray")
    table = TABLES["float"]
    values = _lazy_queries(table, direction, (6, 4))
    data = values if backing == "numpy" else da.from_array(values, chunks=(4, 3))
    query = xr.DataArray(data, dims=("time", "channel"), name="counts", attrs={"units": "ns"},
                         coords={"time": np.arange(6), "channel": list("abcd"), "gain": ("channel", [1, 2, 3, 4])})
    got = getattr(table, direction)(query, **options)
    want = getattr(table, direction)(values, **options)
    assert isinstance(got, xr.DataArray) and got.dims == query.dims and got.name == "counts"
    assert got.coords.to_dataset().identical(query.coords.to_dataset()) and got.attrs == {}
    assert isinstance(got.data, da.Array) == (backing == "dask")
    assert _same(got.values, want)


# --------------------------------------------------------------------------
# Tokens


def _xxh64(data: bytes, seed: int) -> int:
    """XXH64, in Python integers: the oracle of the tables' digests."""
    m = (1 << 64) - 1
    p1, p2, p3, p4, p5 = (0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9,
                          0x85EBCA77C2B2AE63, 0x27D4EB2F165667C5)

    def rotl(v, r):
        return ((v << r) | (v >> (64 - r))) & m

    def rnd(acc, w):
        return rotl((acc + w * p2) & m, 31) * p1 & m

    words = [int.from_bytes(data[i:i + 8], "little") for i in range(0, len(data), 8)]
    stripes = len(words) // 4 * 4
    if stripes:
        v = [(seed + p1 + p2) & m, (seed + p2) & m, seed, (seed - p1) & m]
        for k in range(0, stripes, 4):
            v = [rnd(v[j], words[k + j]) for j in range(4)]
        h = (rotl(v[0], 1) + rotl(v[1], 7) + rotl(v[2], 12) + rotl(v[3], 18)) & m
        for lane in v:
            h = ((h ^ rnd(0, lane)) * p1 + p4) & m
    else:
        h = (seed + p5) & m
    h = (h + len(data)) & m
    for w in words[stripes:]:
        h = (rotl(h ^ rnd(0, w), 27) * p1 + p4) & m
    h ^= h >> 33
    h = h * p2 & m
    h ^= h >> 29
    h = h * p3 & m
    return h ^ (h >> 32)


def test_xxh64_oracle_known_values():
    assert _xxh64(b"", 0) == 0xEF46DB3751D8E999


@pytest.mark.parametrize("n", [0, 1, 3, 4, 5, 8, 11, 64, 1001])
def test_tokens_are_the_content_digest(n):
    rng = _rng()
    xp = np.sort(rng.integers(0, 2**64 - 1, n, dtype=np.uint64, endpoint=True))
    fp = rng.standard_normal(n)
    table = quorvane.Table(xp, fp)
    token = table.__dask_tokenize__()
    digest = "".join(f"{_xxh64(a.tobytes(), seed):016x}" for a in (xp, fp) for seed in (0, 0x71766E65))
    assert token == ("quorvane.Table", "uint64", "float64", n, digest)
    assert table.__dask_tokenize__() is token  # kept
    assert pickle.loads(pickle.dumps(table, 5)).__dask_tokenize__() == token
    assert dask.base.tokenize(table) == dask.base.tokenize(quorvane.Table(xp.copy(), fp.copy()))


def test_different_tables_have_different_tokens():
    xp, fp = np.arange(6, dtype=np.uint64), np.arange(6, dtype=np.int64)
    variants = [(xp, fp), (xp, fp.astype(np.float64)), (xp.astype("M8[s]"), fp), (xp.astype("M8[ms]"), fp),
                (xp, fp.astype("m8[s]")), (xp[:5], fp[:5])]
    for k in range(6):  # one bit of one sample
        for axis in (0, 1):
            a = [xp.copy(), fp.copy()]
            a[axis].view(np.uint64)[k] ^= np.uint64(1) << np.uint64(k * 11)
            variants.append(tuple(a))
    tokens = {dask.base.tokenize(quorvane.Table(*v)) for v in variants}
    assert len(tokens) == len(variants)


# --------------------------------------------------------------------------
# dask.distributed: the table reaches each worker once per compute, or less


def _count_restores():
    """In a worker: counts the tables unpickled in this process."""
    import quorvane._table as native
    if not hasattr(native, "restored"):
        original = native._restore
        native.restored = 0

        def _restore(*args):
            native.restored += 1
            return original(*args)

        _restore.__module__, _restore.__qualname__ = "quorvane._table", "_restore"
        native._restore = _restore
    return native.restored


def test_distributed_ships_the_table_once_per_worker():
    distributed = pytest.importorskip("distributed")
    rng = _rng()
    xp = np.cumsum(rng.integers(1, 1000, 50_000, dtype=np.uint64), dtype=np.uint64)
    table = quorvane.Table(xp, np.cumsum(rng.random(50_000)))
    x = rng.integers(int(xp[0]), int(xp[-1]), (64, 100), dtype=np.uint64)
    queries = da.from_array(x, chunks=(8, 50))  # 16 blocks
    before = table.forward(queries)  # built without a client: the table is in the graph
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        client.run(_count_restores)
        for compute in (1, 2):
            assert _same(client.compute(before).result(), table.forward(x))
            counts = client.run(_count_restores)
            assert len(counts) == 2 and all(c <= compute for c in counts.values()), counts
        # built under the client: the table is sent to each worker once,
        # and kept there, for every graph of it; the futures go with the table
        solo = quorvane.Table(xp, table.fp)
        after = [solo.forward(queries), solo.inverse(solo.forward(queries), method="nearest")]
        for compute in (1, 2):
            got = client.compute(after, sync=True)
            assert _same(got[0], table.forward(x)) and _same(got[1], x)
            assert client.run(_count_restores) == {w: c + 1 for w, c in counts.items()}
        assert len(quorvane._scale._scattered) == 1
        del after, solo
        gc.collect()
        assert len(quorvane._scale._scattered) == 0
    assert table.forward(queries).compute(scheduler="sync").shape == x.shape  # no client any more


class _GraphLike:
    """Has __dask_graph__ but is neither a dask array nor a DataArray."""

    def __dask_graph__(self):
        return None

    def __array__(self, dtype=None, copy=None):
        return np.array([1_000_037, 2_000_071], dtype=np.uint64)


def test_other_kinds_are_read_as_arrays_and_nothing_is_imported_for_them():
    table = TABLES["int"]
    assert _same(table.forward(_GraphLike()), table.forward(np.array([1_000_037, 2_000_071], np.uint64)))
    code = ("import sys, numpy as np, quorvane\n"
            "t = quorvane.Table([1, 2], [3, 4])\n"
            "t.forward(np.array([1])); t.forward(1); t.forward([1, 2]); t.forward(np.uint8(2))\n"
            "t.inverse(np.ma.masked_array([3])); t.inverse((3, 4)); t.inverse(range(3, 5))\n"
            "print(sorted(m for m in ('dask', 'xarray', 'quorvane._scale') if m in sys.modules))\n")
    import subprocess
    import sys
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
