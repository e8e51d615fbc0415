"""Scale-out: a Table over a dask array on the threaded scheduler, the
process scheduler and dask.distributed, and what shipping the table costs.

    python benchmarks/scale_bench.py            # 16,777,216 entries, 2048 x 4096 queries in 8 blocks
    python benchmarks/scale_bench.py --quick    # small sizes, checks the answers, judges nothing

The queries are made inside the graph, each block by its own seeded
generator, so that no scheduler ships query data; every compute brings the
whole result back to the caller.  The table is the one thing that travels.
Times are the minimum and median over repetitions; the ratios (of the
minima) are to the threaded scheduler's time in the same process, with the
target beside them.  Transfers of the table are counted: for the process
scheduler, the pickles of it made by the parent process (one per task that
needs it); for distributed, the tables unpickled in each worker process.
"""

from __future__ import annotations

import argparse
import copyreg
import gc
import pickle
import statistics
import sys
import time
import warnings

import numpy as np

import quorvane

GRAPH_MS = 20.0        # building table.forward(dask_array), later calls
DISTRIBUTED = 2.0      # LocalCluster(processes=True, n_workers=2) over the threaded scheduler
ONE_PER_WORKER = 1     # transfers of the table per worker per compute, at most
PROCESSES = 3.0        # the process scheduler over the threaded scheduler

FULL = dict(entries=1 << 24, rows=2048, cols=4096, blocks=8, repeat=5)
QUICK = dict(entries=1 << 16, rows=256, cols=512, blocks=8, repeat=2)


def make_block(block_id=None, lo=0, hi=0, rows=0, cols=0):
    """Block block_id of the queries: coordinates drawn inside the table."""
    rng = np.random.default_rng(1000 + block_id[0])
    return rng.integers(lo, hi, (rows, cols), dtype=np.uint64, endpoint=True)


def count_restores():
    """In a worker process: the tables unpickled there so far (counted from
    the first call on)."""
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


class PickleCount:
    """Counts the tables pickled by this process (through copyreg, which
    pickle consults before the type's own __reduce__)."""

    def __init__(self):
        self.count = 0

    def __enter__(self):
        def reduce(table):
            self.count += 1
            return table.__reduce__()
        copyreg.pickle(quorvane.Table, reduce)
        return self

    def __exit__(self, *exc):
        copyreg.dispatch_table.pop(quorvane.Table, None)


def timings(call, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return times


def row(label, times, ratio=None, target=None, note="", quick=False):
    lo, mid = min(times), statistics.median(times)
    r = f"{ratio:6.2f}" if ratio is not None else " " * 6
    if target is None or quick:
        t, verdict = "", ""
    else:
        t, verdict = f"<= {target:g}", "PASS" if ratio <= target else "FAIL"
    print(f"{label:<44} {lo * 1e3:10.1f} {mid * 1e3:10.1f} {r} {t:>7} {verdict:<4} {note}")
    return lo


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeat", type=int)
    parser.add_argument("--no-distributed", action="store_true")
    args = parser.parse_args()
    size = dict(QUICK if args.quick else FULL)
    if args.repeat:
        size["repeat"] = args.repeat
    repeat = size["repeat"]
    import dask
    import dask.array as da

    n, rows, cols, blocks = size["entries"], size["rows"], size["cols"], size["blocks"]
    rng = np.random.default_rng(7)
    xp = np.cumsum(rng.integers(1, 1 << 20, n, dtype=np.uint64), dtype=np.uint64)
    fp = np.cumsum(rng.random(n) + 0.5)
    table = quorvane.Table(xp, fp)
    lo, hi = int(xp[0]), int(xp[-1])
    del xp, fp
    chunks = ((rows // blocks,) * blocks, (cols,))
    queries = da.map_blocks(make_block, lo=lo, hi=hi, rows=rows // blocks, cols=cols, chunks=chunks,
                            dtype=np.uint64, meta=np.empty((0, 0), np.uint64))
    eager_queries = queries.compute(scheduler="threads")
    want = table.forward(eager_queries)
    mib = n * 16 / 2**20
    print(f"table: {n:,} entries ({mib:,.0f} MiB); queries: {rows} x {cols} uint64 in {blocks} blocks; "
          f"dask {dask.__version__}")
    print(f"{'':<44} {'min ms':>10} {'median ms':>10} {'ratio':>6} {'target':>7}")

    # identity and graph
    fresh = quorvane.Table(table.xp, table.fp)
    first_token = timings(lambda: dask.base.tokenize(fresh), 1)
    row("tokenize(table), first call (hashes it)", first_token)
    row("tokenize(table), later calls", timings(lambda: dask.base.tokenize(fresh), repeat * 20))
    first_graph = timings(lambda: quorvane.Table(table.xp, table.fp).forward(queries), 1)
    row("table.forward(dask array), new table", first_graph, note="(includes the first tokenize)")
    graph = timings(lambda: table.forward(queries), repeat * 20)
    row("table.forward(dask array), graph built", graph, min(graph) * 1e3, GRAPH_MS, "(ratio: ms)", args.quick)
    lazy = table.forward(queries)

    # eager, for reference, and the threaded scheduler
    row("eager table.forward(numpy array)", timings(lambda: table.forward(eager_queries), repeat))
    got = lazy.compute(scheduler="threads")
    assert got.tobytes() == want.tobytes(), "threaded scheduler: answers differ"
    threads = row("threads scheduler, compute()", timings(lambda: lazy.compute(scheduler="threads"), repeat))

    # the process scheduler (a new pool of worker processes per compute)
    with PickleCount() as pickles:
        got = lazy.compute(scheduler="processes")
        per_compute = pickles.count
    assert got.tobytes() == want.tobytes(), "process scheduler: answers differ"
    processes = timings(lambda: lazy.compute(scheduler="processes"), max(2, repeat // 2))
    row("processes scheduler, compute()", processes, min(processes) / threads, PROCESSES,
        f"(the table pickled {per_compute} times per compute)", args.quick)
    row("processes scheduler, the queries alone", timings(lambda: queries.compute(scheduler="processes"),
                                                         max(2, repeat // 2)),
        note="(no table: the scheduler's own floor)")

    # dask.distributed
    if not args.no_distributed:
        try:
            import distributed
        except ImportError:
            print("distributed is not installed: skipped")
        else:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                              dashboard_address=":0") as cluster, \
                        distributed.Client(cluster) as client:
                    client.run(count_restores)
                    before = client.run(count_restores)
                    assert client.compute(lazy).result().tobytes() == want.tobytes(), "distributed: answers differ"
                    times = timings(lambda: client.compute(lazy).result(), repeat)
                    after = client.run(count_restores)
            computes = repeat + 1
            most = max((after[w] - before[w]) / computes for w in after)
            counts = ", ".join(str(after[w] - before[w]) for w in sorted(after))
            row("distributed, 2 worker processes, compute()", times, min(times) / threads, DISTRIBUTED,
                f"(tables unpickled per worker in {computes} computes: {counts})", args.quick)
            verdict = "" if args.quick else ("PASS" if most <= ONE_PER_WORKER else "FAIL")
            print(f"{'distributed, transfers per worker per compute':<44} {most:10.2f} {'':>10} {'':>6} "
                  f"{'<= 1':>7} {verdict}")
            large = [str(w.message).splitlines()[0] for w in caught if "large graph" in str(w.message)]
            if large:
                print(f"  the client warned: {large[0]} ({len(large)} times)")

    # unpickling the table
    buffers = []
    oob = pickle.dumps(table, 5, buffer_callback=buffers.append)
    as_bytes = [bytes(b.raw()) for b in buffers]
    as_bytearrays = [bytearray(b.raw()) for b in buffers]
    in_band = pickle.dumps(table, 5)
    row("Table(xp, fp) from arrays", timings(lambda: quorvane.Table(table.xp, table.fp), repeat))
    row("pickle.loads, protocol 5 in band", timings(lambda: pickle.loads(in_band), repeat),
        note="(pickle makes bytes, read in place)")
    row("pickle.loads, 2 out-of-band bytes buffers", timings(lambda: pickle.loads(oob, buffers=as_bytes), repeat),
        note="(read in place, checked)")
    row("pickle.loads, 2 out-of-band bytearrays", timings(lambda: pickle.loads(oob, buffers=as_bytearrays),
                                                          repeat), note="(mutable: copied, checked)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
