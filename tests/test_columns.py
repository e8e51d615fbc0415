"""quorvane.Table on the columns of pyarrow, polars, pandas and other Arrow
producers.

* Every column gives, bit for bit, the answers of the equivalent NumPy
  array, for every element type, with nulls in every position (none, first,
  last, a run, across a chunk boundary, all), in chunked streams (empty
  chunks too) and sliced arrays (offset not a multiple of 8).
* Time columns: timestamps with and without a time zone (UTC instants),
  durations, dates; pandas tz-aware columns and DatetimeIndex.
* The answers come back in the caller's container, with its name, index and
  nulls; a null query changes nothing else; a null sample is refused.
* Errors name the argument, the index across chunks and the value; the
  caller's objects are never modified; nothing is copied (a 16 Mi-row
  column) and nothing leaks.
"""

from __future__ import annotations

import gc
import platform
import sys

import numpy as np
import pytest

from quorvane import InvalidTypeError, InvalidValueError, OutOfBoundsError, Table

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
pd = pytest.importorskip("pandas")

import tracemalloc  # noqa: E402 - PyPy has none, nor these libraries: the module is skipped there first

CPYTHON = platform.python_implementation() == "CPython"
U64, I64, F64 = np.uint64, np.int64, np.float64


# --------------------------------------------------------------------------
# columns of every kind, from values with None for nulls


class ArrayProducer:
    """Another Arrow producer: only __arrow_c_array__."""

    def __init__(self, array):
        self.array = array

    def __arrow_c_array__(self, requested_schema=None):
        return self.array.__arrow_c_array__(requested_schema)


class StreamProducer:
    """Another Arrow producer: only __arrow_c_stream__."""

    def __init__(self, chunked):
        self.chunked = chunked

    def __arrow_c_stream__(self, requested_schema=None):
        return self.chunked.__arrow_c_stream__(requested_schema)


def arrow_type(dtype):
    return pa.from_numpy_dtype(np.dtype(dtype))


def chunks_of(values, dtype):
    """Four chunks, one empty, with a boundary at index 3."""
    cut = [0, 3, 3, max(3, len(values) - 2), len(values)]
    return pa.chunked_array([pa.array(values[a:b], arrow_type(dtype)) for a, b in zip(cut, cut[1:])],
                            arrow_type(dtype))


PANDAS_NULLABLE = {"uint8": "UInt8", "int16": "Int16", "uint32": "UInt32", "int32": "Int32", "int64": "Int64",
                   "uint64": "UInt64", "float32": "Float32", "float64": "Float64"}


def make(kind, values, dtype):
    t = arrow_type(dtype)
    if kind == "pyarrow":
        return pa.array(values, t)
    if kind == "pyarrow sliced":  # offset 3: the validity bits start mid-byte
        return pa.array([0, 0, 0] + values + [0], t).slice(3, len(values))
    if kind == "pyarrow chunked":
        return chunks_of(values, dtype)
    if kind == "polars":
        return pl.Series("q", pa.array(values, t))
    if kind == "polars chunked":
        head, tail = pl.Series("q", pa.array(values[:5], t)), pl.Series("q", pa.array(values[5:], t))
        return pl.concat([head, tail], rechunk=False)
    if kind == "polars sliced":
        return pl.Series("q", pa.array([0] * 11 + values, t)).slice(11)
    if kind == "pandas":
        return pd.Series(np.array(values, dtype), name="q", index=np.arange(len(values)) * 10)
    if kind == "pandas nullable":
        return pd.Series(values, dtype=PANDAS_NULLABLE[dtype], name="q", index=np.arange(len(values)) * 10)
    if kind == "pandas arrow":
        return pd.Series(pd.arrays.ArrowExtensionArray(chunks_of(values, dtype)), name="q")
    if kind == "pandas index":
        return pd.Index(values, dtype=PANDAS_NULLABLE[dtype], name="q")
    if kind == "pandas array":
        return pd.array(values, dtype=PANDAS_NULLABLE[dtype])
    if kind == "producer array":
        return ArrayProducer(pa.array(values, t))
    if kind == "producer stream":
        return StreamProducer(chunks_of(values, dtype))
    raise AssertionError(kind)


KINDS = ["pyarrow", "pyarrow sliced", "pyarrow chunked", "polars", "polars chunked", "polars sliced", "pandas",
         "pandas nullable", "pandas arrow", "pandas index", "pandas array", "producer array", "producer stream"]
NULLABLE = [k for k in KINDS if k != "pandas"]


def arrow_parts(array):
    """(raw values, nulls) of a pyarrow Array or ChunkedArray."""
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    width = array.type.bit_width // 8
    values = np.frombuffer(array.buffers()[1], f"u{width}")[array.offset:array.offset + len(array)]
    return values, np.asarray(array.is_null().to_pylist(), bool)


def parts(result):
    """(raw values, nulls) of any answer: the values' bits as unsigned
    integers, and True at the nulls (False everywhere without any)."""
    if isinstance(result, (pa.Array, pa.ChunkedArray)):
        return arrow_parts(result)
    if isinstance(result, pl.Series):
        return arrow_parts(result.to_arrow())
    if isinstance(result, (pd.Series, pd.Index)):
        result = result.array
    if isinstance(result, pd.arrays.ArrowExtensionArray):
        return arrow_parts(result.__arrow_array__())
    if isinstance(result, (pd.arrays.IntegerArray, pd.arrays.FloatingArray)):
        data, mask = result._data, result._mask
    elif isinstance(result, (pd.arrays.DatetimeArray, pd.arrays.TimedeltaArray)):
        data = result._ndarray
        mask = np.isnat(data)
    elif isinstance(result, np.ma.MaskedArray):
        data, mask = result.data, np.ma.getmaskarray(result)
    else:
        data = np.asarray(result)
        mask = np.zeros(data.shape, bool)
    return data.view(f"u{data.dtype.itemsize}"), mask


def answer_container(kind):
    return {"pyarrow": pa.Array, "pyarrow sliced": pa.Array, "pyarrow chunked": pa.ChunkedArray,
            "polars": pl.Series, "polars chunked": pl.Series, "polars sliced": pl.Series, "pandas": pd.Series,
            "pandas nullable": pd.Series, "pandas arrow": pd.Series, "pandas index": pd.Index,
            "pandas array": pd.api.extensions.ExtensionArray, "producer array": np.ndarray,
            "producer stream": np.ndarray}[kind]


def check_same_answers(call, kind, values, dtype, nulls):
    """call(column) answers as call(the equivalent NumPy array) where no
    query is null, and is null where one is."""
    column = make(kind, values, dtype)
    got = call(column)
    want = call(np.array([v for v in values if v is not None], dtype))
    assert isinstance(got, answer_container(kind)), type(got)
    raw, mask = parts(got)
    assert mask.tolist() == [v is None for v in values]
    assert raw[~mask].tolist() == want.view(f"u{want.dtype.itemsize}").tolist()
    if kind.startswith("pandas") and kind != "pandas array":
        assert got.name == "q"
        if isinstance(got, pd.Series):
            assert got.index.equals(column.index)
        if nulls and want.dtype.kind in "iuf" and kind != "pandas arrow":
            assert isinstance(got.dtype, pd.api.extensions.ExtensionDtype)  # a nullable dtype
    if kind.startswith("polars"):
        assert got.name == "q"


INT = Table(np.array([0, 10, 20, 70000], U64), np.array([-5, 5, 105, 2**40], I64))
FLOAT = Table(np.array([0, 10, 2**64 - 1], U64), np.array([-1.5, 1.0, 2.0**70]))
N = 20


def null_positions(n):
    return {"none": (), "first": (0,), "last": (n - 1,), "run": (4, 5, 6, 7, 8, 9, 10, 11, 12),
            "boundary": (2, 3), "all": tuple(range(n))}


@pytest.mark.parametrize("nulls", list(null_positions(N)))
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("dtype", ["uint8", "int16", "uint32", "int64", "uint64"])
def test_forward_columns_answer_as_numpy(kind, dtype, nulls):
    if nulls != "none" and kind == "pandas":
        pytest.skip("a NumPy-backed pandas column has no nulls")
    rng = np.random.default_rng([len(kind), len(dtype), len(nulls)])
    top = min(70000, np.iinfo(dtype).max)
    values = [int(v) for v in rng.integers(0, top + 1, N)]
    for k in null_positions(N)[nulls]:
        values[k] = None
    check_same_answers(INT.forward, kind, values, dtype, nulls != "none")
    check_same_answers(lambda q: FLOAT.forward(q, workers=2), kind, values, dtype, nulls != "none")


@pytest.mark.parametrize("nulls", ["none", "first", "boundary", "all"])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("dtype", ["int32", "int64", "float32", "float64"])
def test_inverse_columns_answer_as_numpy(kind, dtype, nulls):
    if nulls != "none" and kind == "pandas":
        pytest.skip("a NumPy-backed pandas column has no nulls")
    rng = np.random.default_rng([len(kind), len(dtype), len(nulls), 1])
    floats = dtype.startswith("float")
    values = [float(v) if floats else int(v) for v in rng.integers(-5, 106, N)]
    if floats:
        values[1] = 0.375
    for k in null_positions(N)[nulls]:
        values[k] = None
    table = FLOAT if floats else INT
    check_same_answers(lambda q: table.inverse(q, "nearest"), kind, values, dtype, nulls != "none")


def test_float16_columns_widen():
    column = pa.array(np.array([0.5, -1.5, 1.0], np.float16))
    assert FLOAT.inverse(column, "nearest").tolist() == FLOAT.inverse(np.array([0.5, -1.5, 1.0]), "nearest").tolist()


def test_long_chunked_stream():
    # many chunks, each answered in place, with a split across threads
    rng = np.random.default_rng(5)
    queries = rng.integers(0, 70001, 300_000, dtype=U64)
    chunked = pa.chunked_array([queries[a:a + 70_000] for a in range(0, len(queries), 70_000)])
    got = INT.forward(chunked, workers=2)
    assert [len(c) for c in got.chunks] == [len(c) for c in chunked.chunks]
    assert got.to_numpy().tolist() == INT.forward(queries).tolist()


# --------------------------------------------------------------------------
# time columns


DAY = np.array(["2024-03-31T00:00", "2024-03-31T12:00", "2024-04-02T00:00"], "M8[ns]")
CLOCK = Table(DAY, np.array([0.0, 12.0, 60.0]))
TIMES = ["2024-03-31T01:00", "2024-03-31T12:00:00.000000001", "2024-04-01T00:00:00.5"]


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("tz", [None, "UTC", "Europe/Paris", "America/New_York"])
def test_timestamps_are_utc_instants(unit, tz):
    naive = np.array(TIMES, "M8[ns]").astype(f"M8[{unit}]")
    want = CLOCK.forward(naive)
    stamps = pa.array(naive.astype(I64), pa.timestamp(unit, tz))  # counts of UTC instants
    assert CLOCK.forward(stamps).to_numpy().tolist() == want.tolist()
    series = pl.from_arrow(stamps)
    if unit != "s":  # polars has no second unit
        assert CLOCK.forward(series).to_numpy().tolist() == want.tolist()
    aware = pd.Series(pd.DatetimeIndex(naive).tz_localize("UTC")).dt.tz_convert(tz) if tz else pd.Series(naive)
    assert CLOCK.forward(aware).to_numpy().tolist() == want.tolist()


def test_time_columns_of_each_kind():
    dates = pa.array([19813, None, 19814], pa.date32())  # 2024-03-31, 2024-04-01
    got = CLOCK.forward(dates)
    assert got.is_null().to_pylist() == [False, True, False]
    assert got.to_pylist()[::2] == CLOCK.forward(np.array(["2024-03-31", "2024-04-01"], "M8[D]")).tolist()
    ms = pa.array([1711843200000], pa.date64())
    assert CLOCK.forward(ms).to_pylist() == [0.0]
    waits = Table(np.array([0, 10], "m8[s]"), [0, 100])
    assert waits.forward(pa.array([2000, None], pa.duration("ms"))).to_pylist() == [20, None]
    assert waits.forward(pl.Series([3000], dtype=pl.Duration("ms"))).to_list() == [30]
    index = pd.DatetimeIndex(TIMES).tz_localize("UTC").tz_convert("Asia/Tokyo")
    got = CLOCK.forward(index)
    assert isinstance(got, pd.Index) and got.tolist() == CLOCK.forward(index.tz_convert(None).to_numpy()).tolist()
    with pytest.raises(InvalidValueError, match=r"^x\[1\] = .* is not a whole number of the table's unit"):
        Table(DAY.astype("M8[s]"), [0, 1, 2]).forward(pa.array(np.array(TIMES, "M8[ns]")))


def test_time_answers_and_samples_from_columns():
    stamps = pa.array(DAY.astype(I64), pa.timestamp("ns", "UTC"))
    table = Table(pl.Series("count", [0, 12, 60], dtype=pl.UInt32), stamps)
    assert table.fp.dtype == np.dtype("M8[ns]") and table.fp.tolist() == DAY.astype(I64).tolist()
    got = table.forward(pd.Series([6, None], dtype="UInt64", name="t", index=[3, 4]))
    assert got.dtype == np.dtype("M8[ns]") and got.name == "t" and got.index.tolist() == [3, 4]
    assert got.isna().tolist() == [False, True] and str(got[3]) == "2024-03-31 06:00:00"
    got = Table([0, 10], pd.Series(pd.to_datetime(["2024-01-01", "2024-01-02"]))).forward(pa.array([5]))
    assert got.type == pa.timestamp("us") and got.to_numpy()[0] == np.datetime64("2024-01-01T12:00", "us")
    us = Table([0, 10], pl.Series([0, 10], dtype=pl.Duration("ms")), unit="us").forward(
        pl.Series("s", [None, 5], dtype=pl.UInt8))
    assert us.dtype == pl.Duration("us") and us.to_list()[0] is None and us.name == "s"
    assert us.to_list()[1].total_seconds() == 0.005
    seconds = Table([0, 10], np.array([0, 10], "m8[s]")).forward(pl.Series("s", [5]))
    assert seconds.dtype == pl.Duration("ms") and seconds.to_list()[0].total_seconds() == 5


def test_pandas_time_scalars():
    ns = Table(DAY, np.array([0, 43_200_000_000_000, 172_800_000_000_000]))  # ns since 2024-03-31
    one = pd.Timestamp("2024-03-31 01:00:00.000000001")
    assert ns.forward(one) == 3_600_000_000_001
    assert ns.forward(one.tz_localize("UTC").tz_convert("Europe/Paris")) == 3_600_000_000_001
    assert ns.forward([one, pd.Timestamp("2024-03-31 12:00", tz="UTC")]).tolist() == [3_600_000_000_001,
                                                                                    43_200_000_000_000]
    with pytest.raises(InvalidValueError) as caught:
        Table(DAY.astype("M8[us]"), [0, 1, 2]).forward([pd.Timestamp("2024-04-01"), one])
    assert caught.value.args == ("x[1] = 2024-03-31 01:00:00.000000001 is not a whole number of the table's unit "
                                 "(datetime64[us])",)
    with pytest.raises(InvalidValueError, match=r"^x\[0\] is NaT$"):
        ns.forward([pd.NaT])
    waits = Table([0, 10], np.array([0, 10], "m8[ns]"))
    assert waits.inverse(pd.Timedelta(5, "ns")) == 5 and waits.inverse([pd.Timedelta(3, "ns")]).tolist() == [3]
    table = Table([pd.Timestamp("2024-01-01"), pd.Timestamp("2024-01-01 00:00:00.000000001")], [0, 1])
    assert table.xp.dtype == np.dtype("M8[ns]")


# --------------------------------------------------------------------------
# samples from columns


@pytest.mark.parametrize("kind", KINDS)
def test_samples_from_columns(kind):
    xp = make(kind, [0, 10, 20, 70000], "uint64")
    fp = make(kind, [-5, 5, 105, 2**40], "int64")
    table = Table(xp, fp)
    assert table.xp.tobytes() == INT.xp.tobytes() and table.fp.tobytes() == INT.fp.tobytes()
    floats = Table(make(kind, [0, 10, 20], "uint32"), make(kind, [0.5, 1.0, 2.0], "float32"))
    assert floats.fp.dtype == F64 and floats.fp.tolist() == [0.5, 1.0, 2.0]


@pytest.mark.parametrize("kind", NULLABLE)
@pytest.mark.parametrize("where", [0, 3, 7])
def test_a_null_sample_is_refused(kind, where):
    values = [0, 10, 20, 30, 40, 50, 60, 70]
    values[where] = None
    with pytest.raises(InvalidValueError) as caught:
        Table(make(kind, values, "uint64"), np.arange(8))
    assert caught.value.args == (f"xp[{where}] is null",)
    with pytest.raises(InvalidValueError) as caught:
        Table(np.arange(8), make(kind, values, "int64"))
    assert caught.value.args == (f"fp[{where}] is null",)


# --------------------------------------------------------------------------
# errors, and what a null changes


def test_errors_name_the_index_across_chunks():
    chunked = pa.chunked_array([[1, 2], [], [3, 99999, 5]], pa.uint64())
    with pytest.raises(OutOfBoundsError, match=r"^x\[3\] = 99999 is outside the table \[0, 70000\]$"):
        INT.forward(chunked)
    negative = pl.concat([pl.Series([1, 2], dtype=pl.Int8), pl.Series([None, -4], dtype=pl.Int8)], rechunk=False)
    with pytest.raises(InvalidValueError, match=r"^x\[3\] = -4 is negative; coordinates are uint64$"):
        INT.forward(negative)
    with pytest.raises(InvalidValueError, match=r"^f\[2\] = 9007199254740993 has no exact float64 value$"):
        FLOAT.inverse(pd.Series([1, None, 2**53 + 1], dtype="Int64"))


def test_a_null_query_is_never_evaluated():
    # the value under a null is no query: here it is outside the table
    under = pa.array([5, 99999, 7], pa.uint64())
    valid = pa.array([True, False, True])
    masked = pa.Array.from_buffers(pa.uint64(), 3, [valid.buffers()[1], under.buffers()[1]])
    assert masked.to_pylist() == [5, None, 7]
    assert INT.forward(masked).to_pylist() == [0, None, 2]
    raw, mask = parts(INT.forward(pd.array([None, 5], dtype="UInt64")))
    assert mask.tolist() == [True, False] and raw[1] == 0
    assert pd.isna(INT.forward(pd.Series([None, None], dtype="UInt64"))).all()
    # a null scalar answer stays null through outside=
    assert INT.forward(pl.Series([None, 99999], dtype=pl.UInt64), outside=-1).to_list() == [None, -1]


REFUSED = [  # column, error class, message
    (pa.array(["a"]), InvalidTypeError,
     "x: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got Arrow string"),
    (pa.array([True]), InvalidTypeError,
     "x: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got Arrow bool"),
    (pa.array([1.0]), InvalidTypeError,
     "x: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got float64"),
    (pa.array([1]).dictionary_encode(), InvalidTypeError,
     "x: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got Arrow dictionary"),
    (pl.Series([[1]]), InvalidTypeError,
     "x: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got Arrow nested type"),
    (pa.array([1], pa.timestamp("ns")), InvalidTypeError,
     "x: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got datetime64[ns]"),
    (pa.array([-1], pa.int64()), InvalidValueError, "x[0] = -1 is negative; coordinates are uint64"),
    (pd.Series(["a", None], dtype=object), InvalidTypeError,
     "x[0]: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got str"),
    (pd.Series([5, None, 7.5], dtype=object), InvalidTypeError,
     "x[2]: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got float"),
]


@pytest.mark.parametrize("column, error, message", REFUSED, ids=[m[-20:] for _, _, m in REFUSED])
def test_refused_columns(column, error, message):
    with pytest.raises(error) as caught:
        INT.forward(column)
    assert caught.value.args == (message,)


def test_tables_of_columns_go_through_numpy():
    # a pyarrow Table or polars DataFrame is no column: NumPy makes it 2-D
    frame = pl.DataFrame({"a": [1, 2], "b": [3, 4]})
    assert INT.forward(frame).tolist() == INT.forward(frame.to_numpy()).tolist()


def underlying(column):
    return parts(getattr(column, "array", None) or getattr(column, "chunked", None) or column)


@pytest.mark.parametrize("kind", KINDS)
def test_callers_columns_are_never_modified(kind):
    values = [5, None, 15, 25, None, 1] if kind != "pandas" else [5, 0, 15, 25, 3, 1]
    column = make(kind, values, "uint64")
    if kind.startswith("producer"):
        column.array = getattr(column, "array", None) or column.chunked
    before = [a.copy() for a in underlying(column)]
    got = INT.forward(column, outside="clamp")
    INT.forward(column, outside=-1)
    with pytest.raises((InvalidValueError, OutOfBoundsError)):
        Table(column, column) if kind != "pandas" else INT.forward(column * 10**6)
    after = underlying(column)
    assert before[0].tolist() == after[0].tolist() and before[1].tolist() == after[1].tolist()
    assert not np.shares_memory(parts(got)[0], after[0])


# --------------------------------------------------------------------------
# nothing copied, nothing kept


ROWS = 1 << 24  # 16,777,216 rows: 128 MiB of uint64


@pytest.mark.skipif(not CPYTHON, reason="tracemalloc sees NumPy's allocations on CPython")
@pytest.mark.parametrize("kind", ["pyarrow", "polars", "pyarrow chunked"])
def test_a_large_column_is_read_in_place(kind):
    # NumPy reports every array it allocates to tracemalloc: a copy of the
    # column would add 128 MiB to the peak, beside the 128 MiB result
    queries = np.arange(ROWS, dtype=U64) % U64(70000)
    column = {"pyarrow": lambda: pa.array(queries), "polars": lambda: pl.Series("q", queries),
              "pyarrow chunked": lambda: pa.chunked_array([queries[:ROWS // 2], queries[ROWS // 2:]])}[kind]()
    del queries
    gc.collect()
    tracemalloc.start()
    try:
        got = INT.forward(column)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert len(got) == ROWS
    assert peak < (ROWS * 8) * 1.25, f"peak {peak / 2**20:.0f} MiB for a 128 MiB result"


@pytest.mark.skipif(not CPYTHON, reason="reference counts are a CPython detail")
def test_no_references_kept():
    columns = [make(kind, [5, None, 15, 99], "uint64") for kind in NULLABLE] + [make("pandas", [5, 1], "uint64")]
    before = [sys.getrefcount(c) for c in columns]

    def run():
        for c in columns:
            for call in (lambda: INT.forward(c, outside="clamp"), lambda: INT.forward(c),
                         lambda: Table(c, c), lambda: INT.inverse(c, "ffill")):
                try:
                    call()
                except (OutOfBoundsError, InvalidValueError, InvalidTypeError):
                    pass

    run()
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(30):  # the libraries' own caches fill up first (slowly: they keep growing a little)
            run()
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        for _ in range(40):
            run()
        gc.collect()
        last, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(c) for c in columns] == before
    # 40 rounds of 56 calls: a leak of one 32-byte object a call would be 70 KiB
    assert last - first < 48 << 10, f"{last - first} bytes kept over 40 rounds"
