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


def interleaved(calls, repeat, after_each=None):
    """{label: times} of every call, taking turns in an order that rotates
    from one round to the next."""
    labels = list(calls)
    times = {label: [] for label in labels}
    for r in range(repeat):
        for label in labels[r % len(labels):] + labels[:r % len(labels)]:
            gc.collect()
            start = time.perf_counter()
            calls[label]()
            times[label].append(time.perf_counter() - start)
            if after_each is not None:
                after_each(label)
    return times


def distributed_runs(distributed, table, queries, lazy, want, repeat, quick):
    """LocalCluster(processes=True, n_workers=2): a graph built under the
    client (the table broadcast once) and one built before it (the table in
    the graph), in turns with the threaded scheduler and the queries alone;
    the tables unpickled in each worker are counted after every compute."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
            client.run(count_restores)
            start = time.perf_counter()
            under = table.forward(queries)
            scatter = time.perf_counter() - start
            sent = client.run(count_restores)
            for graph in (under, lazy):
                assert client.compute(graph).result().tobytes() == want.tobytes(), "distributed: answers differ"
            counts = {"under": [], "before": []}
            last = [client.run(count_restores)]

            def count(label):
                now = client.run(count_restores)
                if label in counts:
                    counts[label].append(max(now[w] - last[0][w] for w in now))
                last[0] = now

            turns = interleaved({"threads": lambda: lazy.compute(scheduler="threads"),
                                 "under": lambda: client.compute(under).result(),
                                 "before": lambda: client.compute(lazy).result(),
                                 "floor": lambda: client.compute(queries).result()}, repeat, count)
    print("dask.distributed, LocalCluster(processes=True, n_workers=2), in turns with threads:")
    threads = row("  threads scheduler, compute()", turns["threads"])
    for label, text, judged in (("under", "graph built under the client", True),
                                ("before", "graph built before the client", False)):
        row(f"  {text}, compute()", turns[label], min(turns[label]) / threads, DISTRIBUTED if judged else None,
            f"(most tables unpickled by a worker in a compute: {max(counts[label])})", quick)
    row("  the queries alone, compute()", turns["floor"], min(turns["floor"]) / threads,
        note="(no table: the cluster's own floor)")
    most = max(counts["under"])
    verdict = "" if quick else ("PASS" if most <= ONE_PER_WORKER else "FAIL")
    print(f"{'  transfers per worker per compute, at most':<44} {most:10d} {'':>10} {'':>6} {'<= 1':>7} {verdict}"
          f" (graph under the client; before it: {max(counts['before'])})")
    print(f"{'  building the graph under the client':<44} {scatter * 1e3:10.1f} {'':>10}        "
          f"(once per table and client: the broadcast; tables unpickled per worker: "
          f"{', '.join(str(v) for v in sent.values())})")
    large = [str(w.message).splitlines()[0] for w in caught if "large graph" in str(w.message)]
    if large:
        print(f"  the client warned {len(large)} times: {large[0]} (the graph built before the client)")


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
    fresh = quorvane.Table(table.xp, table.fp)
    first_graph = timings(lambda: fresh.forward(queries), 1)
    row("table.forward(dask array), new table", first_graph, note="(includes the first tokenize)")
    del fresh
    graph = timings(lambda: table.forward(queries), repeat * 20)
    row("table.forward(dask array), graph built", graph, min(graph) * 1e3, GRAPH_MS, "(ratio: ms)", args.quick)
    lazy = table.forward(queries)

    # eager, for reference, and the threaded scheduler
    row("eager table.forward(numpy array)", timings(lambda: table.forward(eager_queries), repeat))
    got = lazy.compute(scheduler="threads")
    assert got.tobytes() == want.tobytes(), "threaded scheduler: answers differ"
    row("threads scheduler, compute()", timings(lambda: lazy.compute(scheduler="threads"), repeat))

    # The other schedulers take turns with the threaded one, and each ratio
    # is to the threaded scheduler's minimum among the same turns: other
    # tenants of a shared machine load it in bursts longer than one run.
    with PickleCount() as pickles:
        got = lazy.compute(scheduler="processes")
        per_compute = pickles.count
    assert got.tobytes() == want.tobytes(), "process scheduler: answers differ"
    turns = interleaved({"threads": lambda: lazy.compute(scheduler="threads"),
                         "processes": lambda: lazy.compute(scheduler="processes"),
                         "floor": lambda: queries.compute(scheduler="processes")}, max(2, repeat // 2))
    print("the process scheduler (a new pool of worker processes per compute), in turns with threads:")
    threads = row("  threads scheduler, compute()", turns["threads"])
    row("  processes scheduler, compute()", turns["processes"], min(turns["processes"]) / threads, PROCESSES,
        f"(the table pickled {per_compute} times per compute)", args.quick)
    row("  processes scheduler, the queries alone", turns["floor"], min(turns["floor"]) / threads,
        note="(no table: the scheduler's own floor)")

    # dask.distributed
    if not args.no_distributed:
        try:
            import distributed
        except ImportError:
            print("distributed is not installed: skipped")
        else:
            distributed_runs(distributed, table, queries, lazy, want, repeat, args.quick)

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
