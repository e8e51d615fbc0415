"""quorvane.Table on Arrow columns (pyarrow, polars) and pandas columns,
against the same call on the equivalent NumPy array, in one process.

    python benchmarks/columns_bench.py            # 16,777,216 rows (about a minute, ~1.5 GiB)
    python benchmarks/columns_bench.py --quick    # small sizes, answers checked, times not judged

Every candidate is ``table.forward(column)`` on a table of 65,536 entries
with random queries; the baseline is the same call on the NumPy uint64
array holding the same queries.  The candidates take turns in an order that
rotates from one repetition to the next; the minimum and the median of the
repetitions are printed, with the ratio of each to the baseline's.

Targets (on the minimum): an Arrow column without nulls at most 1.1x the
NumPy call (it is read in place: no copy), the same column with 1% nulls at
most 1.3x (the validity bitmap becomes a byte mask; null queries are not
evaluated; the answer is built with its nulls).  The last rows, pandas and
NumPy's masked array, are shown for comparison.

The memory rows: the peak of the memory NumPy and quorvane report to
tracemalloc during one call, over the result's size; an in-place read is
1.0 (the result alone), a copy of the column would add 1.0.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
import tracemalloc

import numpy as np

import quorvane

try:
    import pandas as pd
    import polars as pl
    import pyarrow as pa
except ImportError as exc:  # pragma: no cover - needs the test extras
    sys.exit(f"columns_bench.py needs pyarrow, polars and pandas: {exc}")

NO_NULLS = 1.1
ONE_PERCENT = 1.3


def candidates(rows, entries, seed=7):
    rng = np.random.default_rng(seed)
    xp = np.cumsum(rng.integers(1, 1 << 20, entries, dtype=np.uint64), dtype=np.uint64)
    fp = np.cumsum(rng.random(entries) + 0.5)
    table = quorvane.Table(xp, fp)
    queries = rng.integers(int(xp[0]), int(xp[-1]) + 1, rows, dtype=np.uint64)
    nulls = rng.random(rows) < 0.01
    quarter = rows // 4
    cands = {
        "numpy": (queries, None, None),
        "pyarrow": (pa.array(queries), "numpy", NO_NULLS),
        "pyarrow chunked": (pa.chunked_array([queries[k:k + quarter] for k in range(0, rows, quarter)]),
                            "numpy", NO_NULLS),
        "polars": (pl.Series("q", queries), "numpy", NO_NULLS),
        "pyarrow 1% null": (pa.array(queries, mask=nulls), "numpy", ONE_PERCENT),
        "polars 1% null": (pl.Series("q", pa.array(queries, mask=nulls)), "numpy", ONE_PERCENT),
        "pandas UInt64 1%": (pd.Series(pd.arrays.IntegerArray(queries, nulls)), "numpy", None),
        "numpy.ma 1%": (np.ma.masked_array(queries, mask=nulls), "numpy", None),
    }
    return table, queries, nulls, cands


def check(table, queries, nulls, cands):
    """Every candidate's answers are the NumPy call's, nulls where null."""
    want = table.forward(queries)
    for name, (column, _, _) in cands.items():
        got = table.forward(column)
        if isinstance(got, pl.Series):
            got = got.to_arrow()
        if isinstance(got, pa.ChunkedArray):
            got = got.combine_chunks()
        if isinstance(got, pa.Array):
            mask = np.asarray(got.is_null().to_pylist(), bool)
            values = got.fill_null(0).to_numpy()
        elif isinstance(got, pd.Series):
            mask = got.isna().to_numpy()
            values = got.array._data
        elif isinstance(got, np.ma.MaskedArray):
            mask, values = np.ma.getmaskarray(got), got.data
        else:
            mask, values = np.zeros(len(got), bool), got
        expected_mask = nulls if "%" in name else np.zeros(len(queries), bool)
        if not (mask == expected_mask).all() or values[~mask].tobytes() != want[~mask].tobytes():
            raise SystemExit(f"{name}: answers differ from the NumPy call's")


def timed(table, cands, repeats):
    times = {name: [] for name in cands}
    names = list(cands)
    for r in range(repeats):
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            column = cands[name][0]
            start = time.perf_counter()
            table.forward(column)
            times[name].append(time.perf_counter() - start)
    return times


def peak_over_result(table, column, rows):
    tracemalloc.start()
    try:
        table.forward(column)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return peak / (rows * 8)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes; answers checked, times not judged")
    parser.add_argument("--repeat", type=int, default=None, help="repetitions per candidate")
    args = parser.parse_args(argv)
    rows = 1 << 16 if args.quick else 1 << 24
    repeats = args.repeat or (3 if args.quick else 9)
    table, queries, nulls, cands = candidates(rows, 65_536)
    check(table, queries, nulls, cands)
    times = timed(table, cands, repeats)
    best = {name: min(t) for name, t in times.items()}
    middle = {name: statistics.median(t) for name, t in times.items()}
    print(f"Table.forward, {rows:,} random queries, 65,536 entries, float64 values; {repeats} repetitions")
    print(f"{'column':<18} {'min ms':>9} {'median ms':>10} {'min ratio':>10} {'med ratio':>10}  target")
    failed = False
    for name, (_, base, target) in cands.items():
        ratio = best[name] / best[base] if base else None
        median_ratio = middle[name] / middle[base] if base else None
        verdict = ""
        if target is not None and not args.quick:
            verdict = f"<= {target:g} {'PASS' if ratio <= target else 'FAIL'}"
            failed = failed or ratio > target
        print(f"{name:<18} {best[name] * 1e3:>9.1f} {middle[name] * 1e3:>10.1f} "
              f"{'' if ratio is None else f'{ratio:.3f}':>10} "
              f"{'' if median_ratio is None else f'{median_ratio:.3f}':>10}  {verdict}")
    print(f"\npeak traced memory of one call over the result's size ({rows * 8 / 2**20:.0f} MiB):")
    for name in ("numpy", "pyarrow", "pyarrow chunked", "polars", "pyarrow 1% null", "polars 1% null"):
        print(f"{name:<18} {peak_over_result(table, cands[name][0], rows):>9.3f}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
