"""Threads sharing quorvane.Table objects while other threads call the four
functions: every answer is checked against the same call made alone.

    python tools/threads.py [--quick] [--threads N] [--calls N] [--seed N]

tools/tsan.sh runs it under ThreadSanitizer; it runs as it is on any build.

Tables of int64 and float64 values, small (lockstep searches) and beyond
2^19 entries (the partitioned route), one beyond 2^20 whose ladders the
threads make while they query it, and one with datetime64 coordinates,
are queried by many Python threads at once: sorted, random, masked and
converting batches (other integer widths, float32, time units, lists), in
both directions, with workers 1, 2 and -1, with outside= and method=, some
with failing queries planted in one worker's range or in both.  Meanwhile
other threads call forward_int, forward_float, inverse_int and
inverse_float on shared arrays.  The expected answers are made first, one
call at a time on the main thread with workers=1; those of the successful
table calls are checked against the four functions, those of the failing
ones name the planted query.

Three phases, each checked:
  1. the stress above: every answer exactly the expected one;
  2. the same while a thread keeps injecting faults (thread starts and
     worker buffers that fail): the expected answer, or MemoryError when
     the calling thread's own buffers were refused; the four functions
     unaffected;
  3. each kind of fault alone, on one thread: the same answer on fewer
     threads, or MemoryError.

Exit status 0 when every answer was right, 1 otherwise.
"""

from __future__ import annotations

import argparse
import os
import sys
import threading
import time

import numpy as np

import quorvane
from quorvane import (NonFiniteError, NotFoundError, NotIncreasingError, OutOfBoundsError, Table,
                      _table)

U64, I64, F64 = np.uint64, np.int64, np.float64
FUNCTIONS = {(False, "forward"): quorvane.forward_int, (True, "forward"): quorvane.forward_float,
             (False, "inverse"): quorvane.inverse_int, (True, "inverse"): quorvane.inverse_float}
LARGE = (1 << 19) + 4099  # entries: the partitioned route (from 2^19)
LADDER = (1 << 20) + 1031  # entries: a ladder, made by the batches of whichever threads pass a sixteenth


def outcome(call):
    """What a call gave, comparable with ==: the result's bytes, or the
    exception's class and arguments."""
    try:
        r = call()
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        return ("raised", type(exc).__name__, exc.args)
    if isinstance(r, np.ma.MaskedArray):
        return ("masked", r.dtype.str, r.shape, r.data.tobytes(), np.ma.getmaskarray(r).tobytes())
    if isinstance(r, np.ndarray):
        return ("array", r.dtype.str, r.shape, r.tobytes())
    return ("scalar", type(r).__name__, np.asarray(r).tobytes())


# --------------------------------------------------------------------------
# tables and the calls made on them


def make_table(rng, n, floats):
    xp = np.cumsum(rng.integers(1, 1 << 40, n, dtype=U64), dtype=U64) + U64(1000)
    if floats:
        fp = np.cumsum(rng.random(n) * 100.0 + 0.25)
    else:
        fp = np.cumsum(rng.integers(1, 1 << 30, n, dtype=I64))
    return xp, fp


class Case:
    """A call of a table: direction, queries, options, and, for a failing
    batch, the error class and the index of the planted query it names."""

    def __init__(self, label, table, xp, fp, direction, query, method=None, outside="raise", error=None):
        self.label, self.table, self.xp, self.fp = label, table, xp, fp
        self.direction, self.query, self.method, self.outside, self.error = direction, query, method, outside, error
        self.twin = None  # where the expected answers are made, when not on the table itself

    def call(self, workers, table=None):
        table = table or self.table
        if self.direction == "forward":
            return lambda: table.forward(self.query, outside=self.outside, workers=workers)
        return lambda: table.inverse(self.query, self.method, workers=workers)

    def reference(self):
        """The answers of the four functions on the same queries (masked
        ones left out, clamped ones moved onto the table's ends)."""
        q = self.query
        if isinstance(q, np.ma.MaskedArray):
            q = q.compressed()
        q = np.asarray(q).ravel()
        floats = self.fp.dtype == F64
        if self.direction == "forward":
            if q.dtype.kind == "M":
                q = q.astype("M8[ns]").view(I64)
            q = q.astype(U64)
            if self.outside == "clamp":
                q = np.clip(q, self.xp[0], self.xp[-1])
            return FUNCTIONS[floats, "forward"](q, self.xp, self.fp)
        q = q.astype(self.fp.dtype)
        return FUNCTIONS[floats, "inverse"](q, self.xp, self.fp, self.method)


def planted(q, bad, at):
    q = q.copy()
    for k in at:
        q[k] = bad
    return q


def table_cases(rng, n, floats, m, twin=False):
    """The calls of one table; with twin, their expected answers are made
    on another table of the same samples, so that the threads of the stress
    are the first to query this one (and make its ladders)."""
    xp, fp = make_table(rng, n, floats)
    table = Table(xp, fp)
    kind = "float" if floats else "int"
    tag = f"{kind} {n}"
    lo, hi = int(xp[0]), int(xp[-1])
    x = rng.integers(lo, hi, m, dtype=U64, endpoint=True)
    x[rng.integers(0, m, m // 4)] = xp[rng.integers(0, n, m // 4)]  # exact hits
    if floats:
        f = rng.uniform(fp[0], fp[-1], m)
    else:
        f = rng.integers(int(fp[0]), int(fp[-1]), m, dtype=I64, endpoint=True)
    f[rng.integers(0, m, m // 4)] = fp[rng.integers(0, n, m // 4)]
    mask = rng.random(m) < 0.3
    wide = x.copy()
    wide[rng.integers(0, m, m // 8)] = U64(hi + 5)  # outside, above
    wide[rng.integers(0, m, m // 8)] = U64(lo - 5)  # outside, below
    quarter, three = m // 4, 3 * m // 4
    cases = [
        Case(f"{tag} forward random", table, xp, fp, "forward", x),
        Case(f"{tag} forward sorted", table, xp, fp, "forward", np.sort(x)),
        Case(f"{tag} forward int64", table, xp, fp, "forward", x.astype(I64)),
        Case(f"{tag} forward strided", table, xp, fp, "forward", np.repeat(x, 2)[::-2]),
        Case(f"{tag} forward 2-D", table, xp, fp, "forward", x[: m // 2 * 2].reshape(2, -1).T),
        Case(f"{tag} forward masked", table, xp, fp, "forward",
             np.ma.masked_array(np.where(mask, U64(hi + 5), x), mask=mask)),
        Case(f"{tag} forward clamp", table, xp, fp, "forward", wide, outside="clamp"),
        Case(f"{tag} forward fill", table, xp, fp, "forward", wide, outside=fp[0] - (1.5 if floats else 7)),
        Case(f"{tag} forward fails late", table, xp, fp, "forward", planted(x, hi + 1, [three]),
             error=(OutOfBoundsError, three)),
        Case(f"{tag} forward fails twice", table, xp, fp, "forward", planted(x, lo - 1, [quarter, three]),
             error=(OutOfBoundsError, quarter)),
        Case(f"{tag} inverse random", table, xp, fp, "inverse", f, "nearest"),
        Case(f"{tag} inverse sorted", table, xp, fp, "inverse", np.sort(f), "ffill"),
        Case(f"{tag} inverse masked", table, xp, fp, "inverse",
             np.ma.masked_array(f, mask=mask), "bfill"),
    ]
    if floats:
        f32 = f.astype(np.float32)
        f32 = f32[(f32 >= fp[0]) & (f32 <= fp[-1])]
        cases += [
            Case(f"{tag} inverse float32", table, xp, fp, "inverse", f32, "nearest"),
            Case(f"{tag} inverse nan", table, xp, fp, "inverse", planted(f, np.nan, [three]), "bfill",
                 error=(NonFiniteError, three)),
        ]
    else:
        exact = fp[rng.integers(0, n, m)]  # whole coordinates: method=None answers them
        cases += [
            Case(f"{tag} inverse uint64", table, xp, fp, "inverse", f.astype(U64), "bfill"),
            Case(f"{tag} inverse exact", table, xp, fp, "inverse", exact),
            Case(f"{tag} inverse not found", table, xp, fp, "inverse",
                 planted(exact, int(fp[n // 2]) + 1, [quarter, three]), error=(NotFoundError, quarter)),
        ]
    if twin:
        other = Table(xp.copy(), fp.copy())
        for case in cases:
            case.twin = other
    return cases


def special_cases(rng, m):
    """Tables whose failures come from the table itself, a time axis, and
    small calls that never release the GIL."""
    cases = []
    xp, fp = make_table(rng, 5000, False)
    xp[4000] = xp[3999]
    bad = Table(xp, fp)
    x = rng.integers(int(xp[0]), int(xp[-1]), m, dtype=U64)
    cases.append(Case("xp descent forward", bad, xp, fp, "forward", x, error=(NotIncreasingError, None)))
    xp, fp = make_table(rng, 5000, True)
    fp[2500] = np.inf
    inf = Table(xp, fp)
    inside = np.sort(rng.integers(int(xp[0]), int(xp[2400]), m, dtype=U64))
    cases.append(Case("inf forward", inf, xp, fp, "forward",
                      np.concatenate([inside, [xp[2500] - U64(1)]]), error=(NonFiniteError, m)))
    xp, fp = make_table(rng, 70_000, True)
    clock = Table(xp.astype("M8[ns]"), fp)
    first_us = -(-int(xp[0]) // 1000)  # queries in whole microseconds, converted to the table's ns
    at = (first_us + rng.integers(0, (int(xp[-1]) // 1000 - first_us), m)).astype("M8[us]")
    cases.append(Case("datetime forward", clock, xp, fp, "forward", at))
    small_xp, small_fp = make_table(rng, 64, False)
    small = Table(small_xp, small_fp)
    cases.append(Case("list forward", small, small_xp, small_fp, "forward",
                      [int(v) for v in rng.integers(int(small_xp[0]), int(small_xp[-1]), 300)]))
    return cases


def function_calls(rng, m):
    """Calls of the four functions on arrays shared by the threads."""
    xp, fpi = make_table(rng, 3000, False)
    _, fpf = make_table(rng, 3000, True)
    x = rng.integers(int(xp[0]), int(xp[-1]), m, dtype=U64)
    fi = rng.integers(int(fpi[0]), int(fpi[-1]), m, dtype=I64)
    ff = rng.uniform(fpf[0], fpf[-1], m)
    for a in (xp, fpi, fpf, x, fi, ff):
        a.flags.writeable = False
    q = quorvane
    return [
        ("forward_int", lambda: q.forward_int(x, xp, fpi)),
        ("forward_float sorted", lambda: q.forward_float(np.sort(x), xp, fpf)),
        ("inverse_int", lambda: q.inverse_int(fi, xp, fpi, "nearest")),
        ("inverse_float", lambda: q.inverse_float(ff[::-1], xp, fpf, "bfill")),
        ("forward_int fails", lambda: q.forward_int(np.append(x[:1000], U64(0)), xp, fpi)),
        ("inverse_float nan", lambda: q.inverse_float(np.append(ff[:100], np.nan), xp, fpf)),
        ("inverse_int length", lambda: q.inverse_int(fi[:10], xp, fpi[1:])),
    ]


# --------------------------------------------------------------------------
# checks and phases


failures: list[str] = []


def check_expectations(cases, expected):
    """The sequential answers are themselves right: the four functions'
    answers, or the planted query's error."""
    for case in cases:
        want = expected[case.label, 1]
        if case.error is not None:
            cls, index = case.error
            message = want[2][0] if want[0] == "raised" else ""
            # a lookup names its query; an axis that is not increasing, none
            named = index is None or message.startswith((f"x[{index}]", f"f[{index}]"))
            if want[:2] != ("raised", cls.__name__) or not named:
                failures.append(f"{case.label}: expected {cls.__name__} at {index}, got {want[:3]}")
            continue
        if want[0] not in ("array", "masked"):
            failures.append(f"{case.label}: {want[:3]}")
            continue
        if isinstance(case.outside, str):  # not a fill value
            got = np.frombuffer(want[3], dtype=np.dtype(want[1]))
            if want[0] == "masked":
                got = got[~np.frombuffer(want[4], dtype=bool)]
            ref = case.reference()
            if got.tobytes() != ref.view(got.dtype).tobytes():
                failures.append(f"{case.label}: the sequential answer differs from the functions'")


def stress(label, calls, expected, threads, count, seed, faults=False, functions=()):
    """threads run `count` calls each, picked at random, while (with
    faults) another thread keeps injecting faults; every answer must be the
    expected one (or MemoryError for a table call under faults)."""
    stop = threading.Event()
    barrier = threading.Barrier(threads + len(functions) + (1 if faults else 0))
    seen = {"memory": 0, "answers": 0}
    lock = threading.Lock()

    def table_worker(k):
        rng = np.random.default_rng([seed, k])
        picks = rng.integers(0, len(calls), count)
        barrier.wait()
        for i in picks:
            key, call = calls[i]
            got = outcome(call)
            if faults and got[:2] == ("raised", "MemoryError"):
                with lock:
                    seen["memory"] += 1
                continue
            with lock:
                seen["answers"] += 1
            if got != expected[key]:
                failures.append(f"{label}: {key[0]} workers={key[1]}: got {got[:3]!r:.200}")

    def function_worker(k):
        barrier.wait()
        rng = np.random.default_rng([seed, 1000 + k])
        while not stop.is_set():
            name, call = functions[int(rng.integers(0, len(functions)))]
            if outcome(call) != expected[name, 0]:
                failures.append(f"{label}: {name} gave another answer alongside the tables")

    def injector():
        rng = np.random.default_rng([seed, 2000])
        barrier.wait()
        while not stop.is_set():
            _table._inject_faults(int(rng.integers(0, 3)), int(rng.integers(0, 3)))
            time.sleep(0.002)
        _table._inject_faults(0, 0)

    pool = [threading.Thread(target=table_worker, args=(k,)) for k in range(threads)]
    side = [threading.Thread(target=function_worker, args=(k,)) for k in range(len(functions))]
    if faults:
        side.append(threading.Thread(target=injector))
    for t in pool + side:
        t.start()
    for t in pool:
        t.join()
    stop.set()
    for t in side:
        t.join()
    _table._inject_faults(0, 0)
    return seen


def faults_alone(cases, expected, quick):
    """Each kind of fault on its own: fewer threads give the same answer;
    a calling thread without buffers gets MemoryError."""
    wanted = [f"int {LARGE} forward random", f"float {LARGE} forward masked"]
    if not quick:
        wanted += [f"float {LARGE} inverse random", f"int {LARGE} forward fails twice"]
    big = [c for c in cases if c.label in wanted]
    assert len(big) == len(wanted), [c.label for c in big]
    runs = 0
    for case in big:
        want = expected[case.label, 1]
        for threads, buffers, workers in [(1, 0, 2), (3, 0, 4), (0, 1, 2), (0, 3, 4), (2, 2, 4), (0, 4, 4),
                                          (0, 1, 1), (0, 2, -1)]:
            # a worker's buffers are asked for before the calling thread's:
            # with as many refusals as workers, the calling thread has none
            w = workers if workers > 0 else len(os.sched_getaffinity(0))
            split = min(w, max(1, np.size(case.query) // (1 << 16)))
            _table._inject_faults(threads, buffers)
            try:
                got = outcome(case.call(workers))
            finally:
                _table._inject_faults(0, 0)
            runs += 1
            if buffers >= split:
                if got[:2] != ("raised", "MemoryError"):
                    failures.append(f"faults {threads}/{buffers} {case.label}: {got[:3]!r:.200} not MemoryError")
            elif got != want:
                failures.append(f"faults {threads}/{buffers} {case.label} workers={workers}: {got[:3]!r:.200}")
    return runs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller batches and fewer calls (CI)")
    parser.add_argument("--threads", type=int, default=6, help="threads querying the tables")
    parser.add_argument("--calls", type=int, help="calls per thread and phase")
    parser.add_argument("--seed", type=int, default=1)
    opts = parser.parse_args()
    calls_per_thread = opts.calls or (6 if opts.quick else 60)
    m_large = 600_000  # each of two workers gets enough to partition its range
    m_small = 3000 if opts.quick else 20_000
    rng = np.random.default_rng(opts.seed)
    start = time.monotonic()

    cases = []
    for floats in (False, True):
        cases += table_cases(rng, 64, floats, m_small)
        cases += table_cases(rng, LARGE, floats, m_large)
    cases += table_cases(rng, LADDER, False, LADDER // 32, twin=True)
    cases += special_cases(rng, m_small)
    if opts.quick:  # the large tables' random batches and their failures
        keep = ("random", "masked", "fails twice", "nan", "not found")
        cases = [c for c in cases if len(c.xp) < LARGE or any(k in c.label for k in keep)]
    functions = function_calls(rng, m_small)

    expected = {}
    for case in cases:
        expected[case.label, 1] = outcome(case.call(1, case.twin))
    for name, call in functions:
        expected[name, 0] = outcome(call)
    check_expectations(cases, expected)
    calls = []
    for case in cases:
        for workers in (1, 2, -1):
            expected[case.label, workers] = expected[case.label, 1]
            calls.append(((case.label, workers), case.call(workers)))
    prepared = time.monotonic() - start

    times = [time.monotonic()]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    try:
        first = stress("stress", calls, expected, opts.threads, calls_per_thread, opts.seed,
                       functions=functions)
        times.append(time.monotonic())
        second = stress("faults", calls, expected, opts.threads, calls_per_thread // 2, opts.seed + 1,
                        faults=True, functions=functions[:2])
        times.append(time.monotonic())
    finally:
        sys.setswitchinterval(old)
    alone = faults_alone(cases, expected, opts.quick)
    times.append(time.monotonic())
    took = [f"{b - a:.0f}" for a, b in zip(times, times[1:])]
    if failures:
        for line in failures[:40]:
            print("FAIL", line)
        print(f"threads: {len(failures)} wrong answers")
        return 1
    print(f"threads: {len(cases)} table cases x 3 worker settings, {len(functions)} function calls "
          f"({quorvane._table.__file__}); expected answers in {prepared:.0f} s; "
          f"stress: {first['answers']} answers ({took[0]} s); with faults: {second['answers']} answers, "
          f"{second['memory']} MemoryError ({took[1]} s); faults alone: {alone} calls ({took[2]} s); "
          f"{time.monotonic() - start:.0f} s in all")
    return 0


if __name__ == "__main__":
    sys.exit(main())
