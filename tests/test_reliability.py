"""Huge inputs, interrupts, threads and leaks.

* Batches and tables far too large for memory raise MemoryError at once,
  keep no reference and leave the module working.
* Under a limit on the address space, every entry point raises
  MemoryError for inputs the limit cannot hold and the next call works;
  under every limit on the way up, a call gives MemoryError or its full
  answer.  Run in a child process.
* On PyPy, dropped results and tables are collected before they pile up:
  the memory they own is reported to the collector.
* No call path keeps memory: the resident size stays flat over many calls
  with large tables, on success (once the results are dropped) and on
  every kind of failure.
* A long call answers a signal: SIGINT (or a Python handler's exception)
  ends it long before it would have finished, with nothing returned and
  nothing kept; a handler that does not raise lets it finish with the same
  answer, and may itself call the module or change the rounding mode.  Run
  in child processes.
* A type whose __qualname__ is not a string still gets its conversion
  error.
* Many threads calling the four functions on shared arrays get the answers
  of sequential calls; first use of the module from many threads at once
  makes one of each process-wide object.
"""

from __future__ import annotations

import gc
import json
import os
import platform
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

CPYTHON = platform.python_implementation() == "CPython"
PYPY = platform.python_implementation() == "PyPy"

U64, I64, F64 = np.uint64, np.int64, np.float64
NAMES = ["forward_int", "forward_float", "inverse_int", "inverse_float"]
INVERSE = NAMES[2:]
METHODS = [None, "nearest", "ffill", "bfill"]
TYPES = {  # query, xp, fp
    "forward_int": (U64, U64, I64),
    "forward_float": (U64, U64, F64),
    "inverse_int": (I64, U64, I64),
    "inverse_float": (F64, U64, F64),
}


def calls_of(name):
    """The argument tails a function is called with: no method, and each
    method by position for the inverse functions."""
    return [()] + ([(m,) for m in METHODS] if name in INVERSE else [])


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and type(exc).__module__ == "pyo3_runtime"


# --------------------------------------------------------------------------
# batches and tables too large for memory


def unsorted_table(name):
    """A table whose searched axis is not increasing: a call that got its
    memory would fail at the first query instead of running for hours."""
    _, tx, tf = TYPES[name]
    if name in INVERSE:
        return np.array([1, 2], tx), np.array([5, 5], tf)
    return np.array([5, 5], tx), np.array([1, 2], tf)


@pytest.mark.parametrize("size", [2 ** 44, 2 ** 59], ids=["2**44", "2**59"])
@pytest.mark.parametrize("name", NAMES)
def test_huge_batch_raises_memory_error(rust, name, size):
    func = getattr(rust, name)
    tq = TYPES[name][0]
    one = np.array([1], tq)
    huge = np.broadcast_to(one, (size,))
    xp, fp = unsorted_table(name)
    for tail in calls_of(name):
        with pytest.raises(MemoryError):
            func(huge, xp, fp, *tail)
    # the module keeps working
    assert func(huge[:0], xp, fp).shape == (0,)


@pytest.mark.parametrize("name", NAMES)
def test_huge_table_raises_memory_error(rust, name):
    func = getattr(rust, name)
    tq, tx, tf = TYPES[name]
    xp = np.broadcast_to(np.array([7], tx), (2 ** 44,))
    fp = np.broadcast_to(np.array([7], tf), (2 ** 44,))
    for queries in (np.array([7], tq), np.array([], tq)):
        for tail in calls_of(name):
            with pytest.raises(MemoryError):
                func(queries, xp, fp, *tail)


@pytest.mark.skipif(not CPYTHON, reason="reference counts are a CPython detail")
@pytest.mark.parametrize("name", NAMES)
def test_memory_error_keeps_no_reference(rust, name):
    func = getattr(rust, name)
    tq = TYPES[name][0]
    one = np.array([1], tq)
    huge = np.broadcast_to(one, (2 ** 44,))
    xp, fp = unsorted_table(name)
    tails = calls_of(name)
    methods = [t[0] for t in tails if t and t[0] is not None]
    watched = [one, huge, xp, fp, *methods]

    def run():
        for tail in tails:
            try:
                func(huge, xp, fp, *tail)
            except MemoryError:
                pass

    run()
    gc.collect()
    before = [sys.getrefcount(v) for v in watched]
    for _ in range(50):
        run()
    gc.collect()
    assert [sys.getrefcount(v) for v in watched] == before
    assert sys.exc_info() == (None, None, None)


# --------------------------------------------------------------------------
# a limit on the address space (RLIMIT_AS), in a child process: inputs that
# memory could hold, but not under the limit, raise MemoryError from every
# entry point, and the next call under the same limit succeeds; at every
# limit on the way up, a call gives MemoryError or its full answer

LIMIT_CHILD = textwrap.dedent(r"""
    import json, pickle, resource, sys
    import numpy as np
    import quorvane
    from quorvane import Table

    U64, I64, F64 = np.uint64, np.int64, np.float64
    MiB = 1 << 20
    HEADROOM = 64 * MiB   # address space beyond what is mapped when a call starts
    N = 1 << 24           # elements of a too-large input: 128 MiB at 8 bytes each

    def mapped():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

    def limited(headroom, *calls):
        # the outcome of each call, made in turn under one limit (the soft
        # limit only, so that it can be lifted again)
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped() + headroom, hard))
        out = []
        try:
            for call in calls:
                try:
                    out.append(("ok", call()))
                except MemoryError:
                    out.append(("MemoryError", None))
                except BaseException as exc:
                    out.append(("%s: %s" % (type(exc).__name__, exc), None))
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        return out

    def flat(n, dtype, value=7):  # an input that takes no memory of its own
        return np.broadcast_to(np.array(value, dtype), (n,))

    xp, fpi, fpf = np.array([0, 10, 20], U64), np.array([0, 5, 9], I64), np.array([0.0, 5.5, 9.25])
    ti, tf = Table(xp, fpi), Table(xp, fpf)
    rng = np.random.default_rng(3)
    n = (1 << 19) + 77    # a table of the partitioned route
    big_xp = np.cumsum(rng.integers(1, 1 << 20, n), dtype=U64)
    big_fp = np.cumsum(rng.random(n) + 0.5)
    big = Table(big_xp, big_fp)
    huge = Table(flat(N, U64), flat(N, I64))  # 256 MiB: no copy of it fits the limit
    pickled = pickle.dumps(huge)

    too_large = {
        "forward_int": lambda: quorvane.forward_int(flat(N, U64), xp, fpi),
        "forward_float": lambda: quorvane.forward_float(np.array([7], U64), flat(N, U64), flat(N, F64)),
        "inverse_int": lambda: quorvane.inverse_int(flat(N, I64), xp, fpi, "nearest"),
        "inverse_float": lambda: quorvane.inverse_float(np.array([7.0]), flat(N, U64), flat(N, F64)),
        "Table": lambda: Table(flat(N, U64), flat(N, I64)),
        "Table converting": lambda: Table(flat(N, np.uint32), flat(N, np.float32)),
        "Table from ranges": lambda: Table(range(N), range(N)),
        "forward": lambda: ti.forward(flat(N, U64)),
        "forward workers=2": lambda: ti.forward(flat(N, U64), workers=2),
        "inverse": lambda: tf.inverse(flat(N, F64, 4.5), "nearest"),
        "inverse workers=2": lambda: tf.inverse(flat(N, F64, 4.5), "nearest", workers=2),
        "forward converting": lambda: ti.forward(flat(N, np.int16), outside="clamp", workers=2),
        "inverse converting": lambda: tf.inverse(flat(N, np.float32), "ffill"),
        "forward masked": lambda: ti.forward(np.ma.masked_array(flat(N, U64), mask=False), workers=2),
        "inverse masked": lambda: tf.inverse(np.ma.masked_array(flat(N, F64), mask=flat(N, bool, False))),
        "forward datetime64": lambda: Table(xp.astype("M8[s]"), fpf).forward(flat(N, "M8[ms]", 7000)),
        "pickle.dumps": lambda: pickle.dumps(huge),
        "pickle.loads": lambda: pickle.loads(pickled),
        # the axes are views of the table's own memory: they need no room
        "xp, fp": lambda: (huge.xp.shape, huge.fp.shape),
    }
    small = [lambda: quorvane.inverse_int(np.array([5], I64), xp, fpi).tolist(),
             lambda: ti.forward([15], workers=2).tolist(),
             lambda: big.inverse([big_fp[5]], workers=-1).tolist()]
    for call in small:
        call()  # first use: numpy.ma and the like are imported before any limit
    ti.forward(np.ma.masked_array([5]))
    report = {"too large": {}, "sweep": {}}
    for name, call in too_large.items():
        outcomes = limited(HEADROOM, call, *small)
        report["too large"][name] = [o[0] for o in outcomes]
        report["too large"][name].append(outcomes[1][1] == [10] and outcomes[3][1] == [int(big_xp[5])])

    # a call that makes many allocations (copies, result, worker buffers,
    # threads, partitions, masks), under each limit from none to enough:
    # MemoryError, or exactly the answer it gives without a limit
    m = 1 << 21
    q = rng.integers(int(big_xp[0]), int(big_xp[-1]), m, dtype=U64)
    f = rng.uniform(big_fp[0], big_fp[-1], m)
    mask = rng.random(m) < 0.25
    sweep = {
        "forward masked int64 workers=2": lambda: big.forward(np.ma.masked_array(q.astype(I64), mask=mask),
                                                             workers=2).filled(0),
        "inverse float32 workers=2": lambda: big.inverse(f.astype(np.float32), "nearest", workers=2),
        "Table converting": lambda: Table(big_xp.astype("M8[ns]"), big_fp.astype(np.float32)).forward(
            q.astype("M8[ns]")),
        "forward_float": lambda: quorvane.forward_float(q, big_xp, big_fp),
        "pickle": lambda: pickle.loads(pickle.dumps(big)).inverse(f, "bfill"),
    }
    for name, call in sweep.items():
        want = call()
        seen = []
        for headroom in range(0, 100 * MiB, 4 * MiB):
            (outcome, got), = limited(headroom, call)
            seen.append(outcome if outcome != "ok" else "same" if got.tobytes() == want.tobytes() else "differs")
        report["sweep"][name] = seen
    print(json.dumps(report))
""")


@pytest.fixture(scope="module")
def limited_runs():
    # glibc would otherwise serve some allocations from memory it already
    # has mapped, whatever the limit: blocks it keeps after a free (below
    # the mmap threshold, which grows with every large block freed), and
    # the 64 MiB it reserves for each arena of another thread, to which a
    # thread whose allocation failed in its own arena moves.  With a fixed
    # threshold and one arena, the headroom is what a call can have.
    return child_report(LIMIT_CHILD, timeout=900, env={"MALLOC_MMAP_THRESHOLD_": "65536", "MALLOC_ARENA_MAX": "1"})


# NumPy's own allocations there (converting a range, serialising the axes)
numpy_allocates = pytest.mark.skipif(
    PYPY, reason="on PyPy a MemoryError inside NumPy reaches the caller as SystemError: np.asarray(range(n)) "
                 "and ndarray.tobytes() do the same under the limit without quorvane")
LIMITED = ["forward_int", "forward_float", "inverse_int", "inverse_float", "Table", "Table converting",
           pytest.param("Table from ranges", marks=numpy_allocates), "forward", "forward workers=2", "inverse",
           "inverse workers=2", "forward converting", "inverse converting", "forward masked", "inverse masked",
           "forward datetime64", pytest.param("pickle.dumps", marks=numpy_allocates), "pickle.loads", "xp, fp"]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="RLIMIT_AS and /proc/self/status")
@pytest.mark.parametrize("name", LIMITED)
def test_memory_limit_gives_memory_error(limited_runs, name):
    too_large, *after, answers_right = limited_runs["too large"][name]
    # the axes are views: under the limit they still come, without a copy
    assert too_large == ("ok" if name == "xp, fp" else "MemoryError")
    # under the same limit, the next calls get their memory and their answers
    assert after == ["ok", "ok", "ok"] and answers_right


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="RLIMIT_AS and /proc/self/status")
@pytest.mark.parametrize("name", ["forward masked int64 workers=2", "inverse float32 workers=2", "Table converting",
                                  "forward_float", pytest.param("pickle", marks=numpy_allocates)])
def test_memory_limit_on_the_way_up(limited_runs, name):
    seen = limited_runs["sweep"][name]
    assert set(seen) <= {"MemoryError", "same"}, seen
    assert "MemoryError" in seen and seen[-1] == "same", seen
    # PyPy's collector may hold freed memory that a call at no headroom
    # gets all the same (seen there with the float32 conversion).
    if not PYPY:
        assert seen[0] == "MemoryError", seen


# --------------------------------------------------------------------------
# resident memory stays flat on every path


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


TABLE = 1 << 20  # samples: 8 MiB per axis, copied by every call


def big_tables():
    xp = np.arange(0, 10 * TABLE, 10, dtype=U64)
    return {
        "int": (xp, np.arange(TABLE, dtype=I64) * 3),
        "float": (xp, np.arange(TABLE, dtype=F64) * 3.0),
    }


def leak_cases():
    """(id, function name, argument maker, expected exception type or None)."""
    return [
        ("forward_int ok", "forward_int", lambda t: (np.arange(TABLE, dtype=U64) * 7, *t["int"]), None),
        ("forward_float ok", "forward_float", lambda t: (np.arange(TABLE, dtype=U64) * 7, *t["float"]), None),
        ("inverse_int ok", "inverse_int",
         lambda t: (np.arange(TABLE, dtype=I64), *t["int"], "nearest"), None),
        ("inverse_float ok", "inverse_float",
         lambda t: (np.arange(TABLE, dtype=F64), *t["float"], "bfill"), None),
        ("forward out of bounds", "forward_int",
         lambda t: (np.array([5, 10 * TABLE], U64), *t["int"]), IndexError),
        ("forward not increasing", "forward_float",
         lambda t: (np.array([5], U64), t["float"][0][::-1], t["float"][1]), ValueError),
        ("inverse out of bounds", "inverse_int",
         lambda t: (np.array([-1], I64), *t["int"], "ffill"), KeyError),
        ("inverse not found", "inverse_float",
         lambda t: (np.array([1.0], F64), *t["float"]), KeyError),
        ("inverse not increasing", "inverse_int",
         lambda t: (np.array([1], I64), t["int"][0], t["int"][1][::-1]), ValueError),
        ("length mismatch", "forward_int",
         lambda t: (np.array([5], U64), t["int"][0], t["int"][1][1:]), "panic"),
        ("nan query", "inverse_float",
         lambda t: (np.array([1.5, float("nan")], F64), *t["float"], "nearest"), "panic"),
        ("not finite", "forward_float",
         lambda t: (np.array([5], U64), t["float"][0],
                    np.concatenate([[float("inf")], t["float"][1][1:]])), "panic"),
        ("method", "inverse_int", lambda t: (np.array([1], I64), *t["int"], "Nearest"), ValueError),
        ("result too large", "forward_int",
         lambda t: (np.broadcast_to(np.array([5], U64), (2 ** 44,)), *t["int"]), MemoryError),
    ]


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads /proc/self/statm")
@pytest.mark.parametrize("case", leak_cases(), ids=[c[0] for c in leak_cases()])
def test_no_memory_kept(rust, case):
    _, name, make, expected = case
    func = getattr(rust, name)
    args = make(big_tables())

    def once():
        try:
            result = func(*args)
        except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
            if expected == "panic":
                assert is_panic(exc), repr(exc)
            else:
                assert type(exc) is expected, repr(exc)
            return
        assert expected is None
        assert result.shape == (args[0].shape[0],)

    for _ in range(3):  # warm up the allocator
        once()
    gc.collect()
    start = resident_bytes()
    for k in range(30):
        once()
        if k % 5 == 4:
            gc.collect()
    gc.collect()
    grown = resident_bytes() - start
    # a copy of the table kept by each call would be 16 MiB a call, a result 8 MiB
    assert grown < 64 << 20, f"resident size grew by {grown / 2 ** 20:.0f} MiB over 30 calls"


# --------------------------------------------------------------------------
# PyPy: the memory a result or a table owns is reported to the collector,
# so that dropped ones are collected before they pile up

PRESSURE_CHILD = textwrap.dedent(r"""
    import json, resource, sys
    import numpy as np
    import quorvane

    n = 1 << 20
    x = np.arange(n, dtype=np.uint64)
    xp, fp = np.array([0, n], np.uint64), np.array([0, 3 * n], np.int64)
    table = quorvane.Table(xp, fp)
    call = {"forward_int": lambda: quorvane.forward_int(x, xp, fp),  # an 8 MiB result
            "Table.forward": lambda: table.forward(x),                # an 8 MiB result
            "Table": lambda: quorvane.Table(x, x.view(np.int64)),    # 16 MiB of copies
            }[sys.argv[1]]
    call()
    start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(200):
        call()  # and dropped at once
    print(json.dumps((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start) * 1024))
""")


@pytest.mark.skipif(not PYPY, reason="CPython frees a dropped result at once, by its reference count")
@pytest.mark.parametrize("name", ["forward_int", "Table.forward", "Table"])
def test_dropped_results_and_tables_are_collected_on_pypy(name):
    # PyPy sizes its nursery from the cache size it detects: on a machine
    # that reports a 480 MiB L3 it takes a 240 MB nursery, and then even
    # NumPy's own `x + 1` in a loop grows by about 1 GB before anything is
    # collected.  4 MB is what it takes on an ordinary machine with a few
    # MiB of cache; with it, the 200 dropped results (1.6 GB) or tables
    # (3.2 GB) must not pile up, which they do when the memory that the
    # modules own (a function's result, a table's copies) is not reported.
    # Table.forward's result is an array NumPy allocates and reports itself.
    grown = child_report(PRESSURE_CHILD, name, timeout=300, env={"PYPY_GC_NURSERY": "4MB"})
    assert grown < 64 << 20, f"peak resident size grew by {grown / 2 ** 20:.0f} MiB over 200 calls"


# --------------------------------------------------------------------------
# interrupts, in a child process


CHILD = textwrap.dedent(r"""
    import gc, json, os, signal, subprocess, sys, time
    import numpy as np
    import quorvane.rust as rust

    U64, I64, F64 = np.uint64, np.int64, np.float64
    N = int(sys.argv[1])          # queries in a long call
    DELAY = float(sys.argv[2])    # seconds from the start of a call to the signal

    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    # every query lies strictly inside a segment, so the scheme runs for each
    def long_call(name, n, method="nearest"):
        if name == "forward_int":
            return rust.forward_int, (np.broadcast_to(U64(13), (n,)),
                                      np.array([0, 10, 20, 1000], U64), np.array([0, 5, 9, 11], I64))
        if name == "forward_float":
            return rust.forward_float, (np.broadcast_to(U64(13), (n,)),
                                        np.array([0, 10, 20, 1000], U64), np.array([0, 5.5, 9.25, 11], F64))
        if name == "inverse_int":
            return rust.inverse_int, (np.broadcast_to(I64(7), (n,)),
                                      np.array([0, 10, 20, 1000], U64), np.array([0, 5, 9, 11], I64), method)
        return rust.inverse_float, (np.broadcast_to(F64(7.3), (n,)),
                                    np.array([0, 10, 20, 1000], U64), np.array([0, 5.5, 9.25, 11], F64), method)

    class Stop(Exception):
        pass

    def raise_stop(signum, frame):
        raise Stop("from the handler")

    report = {"runs": []}
    names = ["forward_int", "forward_float", "inverse_int", "inverse_float"]
    for name in names:                      # warm up: first-use objects
        func, args = long_call(name, 10)
        func(*args)
    gc.collect()
    report["resident_before"] = resident()
    for name in names:
        func, args = long_call(name, N // 10)
        start = time.monotonic()
        func(*args)
        estimate = (time.monotonic() - start) * 10
        del args
        for how in ("SIGINT", "SIGALRM", "handler exception"):
            func, args = long_call(name, N)
            if how == "SIGINT":
                signal.signal(signal.SIGINT, signal.default_int_handler)
                killer = subprocess.Popen(["sh", "-c", "sleep %s; kill -INT %d" % (DELAY, os.getpid())])
            elif how == "SIGALRM":
                signal.signal(signal.SIGALRM, signal.default_int_handler)
                signal.setitimer(signal.ITIMER_REAL, DELAY)
            else:
                signal.signal(signal.SIGALRM, raise_stop)
                signal.setitimer(signal.ITIMER_REAL, DELAY)
            start = time.monotonic()
            outcome, message, result = "returned", None, None
            try:
                result = func(*args)
            except KeyboardInterrupt:
                outcome = "KeyboardInterrupt"
            except Stop as exc:
                outcome, message = "Stop", str(exc)
            elapsed = time.monotonic() - start
            if how == "SIGINT":
                killer.wait()
            report["runs"].append(dict(name=name, how=how, outcome=outcome, message=message,
                                       elapsed=elapsed, estimate=estimate,
                                       result=None if result is None else len(result)))
            del args, result
            gc.collect()
    report["resident_after"] = resident()
    # the module still answers
    func, args = long_call("inverse_int", 3)
    report["after"] = func(*args).tolist()
    print(json.dumps(report))
""")

#: queries in a long call: 1.6 GB of results, seconds of work
LONG = 200_000_000
DELAY = 0.2


def child_report(code, *args, timeout=600, env=None):
    """Runs code in a fresh interpreter (with env added to the environment)
    and returns the JSON of its last line."""
    proc = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, env=None if env is None else {**os.environ, **env})
    assert proc.returncode == 0, f"exit status {proc.returncode}: {proc.stderr[-4000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


# PyPy runs Python signal handlers only between bytecodes, never inside a call.
handlers_run_during_calls = pytest.mark.skipif(
    PYPY, reason="PyPy 7.3's PyErr_CheckSignals does not run Python signal handlers during a call")


@pytest.fixture(scope="module")
def interrupted_runs():
    return child_report(CHILD, LONG, DELAY, timeout=900)


@pytest.mark.skipif(PYPY, reason="PyPy 7.3's PyErr_CheckSignals does not run Python signal "
                                 "handlers, so a long call ends only when it is done")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses setitimer, sh, kill and /proc")
class TestInterrupts:
    def test_every_long_call_is_interrupted(self, interrupted_runs):
        runs = interrupted_runs["runs"]
        assert len(runs) == 12
        for run in runs:
            expected = "Stop" if run["how"] == "handler exception" else "KeyboardInterrupt"
            assert run["outcome"] == expected, run
            assert run["result"] is None, run
            if expected == "Stop":
                assert run["message"] == "from the handler"

    def test_interrupt_comes_long_before_the_end(self, interrupted_runs):
        for run in interrupted_runs["runs"]:
            # the module polls about every million queries: milliseconds
            assert run["elapsed"] < DELAY + 5, run
            assert run["elapsed"] < run["estimate"] / 2, run

    def test_nothing_kept_and_module_still_works(self, interrupted_runs):
        grown = interrupted_runs["resident_after"] - interrupted_runs["resident_before"]
        # twelve interrupted calls that each kept their result would keep gigabytes
        assert grown < 128 << 20, f"{grown / 2 ** 20:.0f} MiB kept"
        assert interrupted_runs["after"] == [15, 15, 15]


HANDLER_CHILD = textwrap.dedent(r"""
    import json, platform, signal, sys, time
    import numpy as np
    import quorvane.rust as rust

    n = int(sys.argv[1])
    xp = np.array([0, 10, 20, 1000], np.uint64)
    fp = np.array([0, 5.5, 9.25, 11], np.float64)
    queries = np.broadcast_to(np.float64(7.3), (n,))
    ticks, nested = [], []

    def tick(signum, frame):
        ticks.append(time.monotonic())
        # a call of the module from inside the poll of another call
        nested.append(rust.forward_float(np.array([15], np.uint64), xp, fp).tolist()
                      + rust.inverse_int(np.array([1], np.int64), xp[:2], np.array([0, 3], np.int64),
                                         "bfill").tolist())

    expected = rust.inverse_float(queries[:1], xp, fp, "nearest")[0]
    signal.signal(signal.SIGALRM, tick)
    signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
    start = time.monotonic()
    result = rust.inverse_float(queries, xp, fp, "nearest")
    end = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, 0)
    print(json.dumps(dict(
        during=sum(1 for t in ticks if t < end), nested=nested,
        elapsed=end - start, length=len(result),
        same=bool((result == expected).all()), expected=int(expected))))
""")


ROUNDING_CHILD = textwrap.dedent(r"""
    import ctypes, ctypes.util, json, signal, time
    import numpy as np
    import quorvane.rust as rust

    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    FE_TONEAREST, FE_UPWARD = 0x000, 0x800   # x86
    rng = np.random.default_rng(5)
    xp = np.unique(rng.integers(0, 2 ** 64 - 1, size=1000, dtype=np.uint64, endpoint=True))
    fp = np.unique(rng.normal(size=xp.size))
    xp = xp[:fp.size]
    n = 1 << 23
    f = rng.uniform(fp[0], fp[-1], size=n)
    x = rng.integers(int(xp[0]), int(xp[-1]), size=n, dtype=np.uint64)
    ran = []

    def handler(signum, frame):
        # Python code run while the call polls: here it changes the rounding
        # mode, as an extension module loaded by a handler might
        ran.append(time.monotonic())
        libm.fesetround(FE_UPWARD)

    report = {}
    signal.signal(signal.SIGALRM, handler)
    for name, func, args in [("forward_float", rust.forward_float, (x, xp, fp)),
                             ("inverse_float", rust.inverse_float, (f, xp, fp, "nearest"))]:
        clean = func(*args)
        del ran[:]
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        got = func(*args)
        end = time.monotonic()
        libm.fesetround(FE_TONEAREST)
        report[name] = dict(during=bool(ran) and ran[0] < end,
                            differ=int(np.count_nonzero(got != clean)))
    print(json.dumps(report))
""")


@handlers_run_during_calls
@pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64") or not sys.platform.startswith("linux"),
                    reason="sets the x86 rounding mode through glibc's fesetround")
def test_handler_changing_the_rounding_mode_changes_no_answer():
    report = child_report(ROUNDING_CHILD)
    for name, run in report.items():
        assert run["during"], f"{name}: the handler did not run during the call"
        assert run["differ"] == 0, f"{name}: {run['differ']} answers changed"


SPOILER_CHILD = textwrap.dedent(r"""
    import json, signal
    import numpy as np
    import quorvane.rust as rust

    # A table larger than the stretch copied at a time, and sorted queries
    # that reach only its first half by the time the call first polls.
    n = 3 * (1 << 20) + 1000
    rng = np.random.default_rng(11)
    xp = np.cumsum(rng.integers(1, 1000, size=n, dtype=np.uint64))
    fp = np.cumsum(rng.integers(1, 1000, size=n)).astype(np.int64)
    saved = xp.copy(), fp.copy()
    m = 3 * (1 << 20)
    x = np.sort(rng.integers(int(xp[0]), int(xp[n // 2]), size=m, dtype=np.uint64))
    f = np.sort(rng.integers(int(fp[0]), int(fp[n // 2]), size=m)).astype(np.int64)
    spoiled = []

    def spoil(signum, frame):
        # what a handler may do to the arrays of a call in progress
        if not spoiled:
            xp[:] = 0
            fp[:] = 0
        spoiled.append(1)

    report = {}
    signal.signal(signal.SIGALRM, spoil)
    for name, func, q, extra in [("forward_int", rust.forward_int, x, ()),
                                 ("inverse_int", rust.inverse_int, f, ("nearest",))]:
        xp[:], fp[:] = saved
        clean = func(q, xp, fp, *extra)
        del spoiled[:]
        signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
        try:
            differ = int(np.count_nonzero(func(q, xp, fp, *extra) != clean))
        except Exception as exc:
            differ = f"{type(exc).__name__}: {exc}"
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        report[name] = dict(spoiled=bool(spoiled), zeroed=bool((xp == 0).all()), differ=differ)
    print(json.dumps(report))
""")


@handlers_run_during_calls
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses setitimer")
def test_handler_changing_the_arrays_changes_no_answer():
    # The call works on its copies of xp and fp, taken before any handler
    # can run, even while the copying follows a sorted batch along the table.
    report = child_report(SPOILER_CHILD)
    for name, run in report.items():
        assert run["spoiled"] and run["zeroed"], f"{name}: the handler did not run during the call"
        assert run["differ"] == 0, f"{name}: answers changed: {run['differ']}"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses setitimer")
def test_handler_that_does_not_raise_lets_the_call_finish():
    report = child_report(HANDLER_CHILD, 20_000_000)
    assert report["length"] == 20_000_000
    assert report["same"], report
    assert all(n == [7.375, 4] for n in report["nested"]), report["nested"][:3]
    if not PYPY and report["elapsed"] > 0.5:
        # each poll ran the handler; without polling the ticks would
        # coalesce into one, handled after the call
        assert report["during"] >= 3, report


# --------------------------------------------------------------------------
# argument types with odd names: the message of a conversion error names
# the argument's type by its __qualname__, which a metaclass can make
# anything (the type's own name stands in for one that is not a str).  Each
# call runs in a child process, so that a crash is reported as a failure
# instead of ending the test run.

QUALNAME_CHILD = textwrap.dedent(r"""
    import sys
    import numpy as np
    import quorvane.rust as rust

    kind, position = sys.argv[1], int(sys.argv[2])
    value = {"str": "Shown", "str subclass": type("S", (str,), {})("Shown"),
             "int": 42, "bytes": b"Shown", "none": None}.get(kind)

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                if kind == "raises":
                    raise RuntimeError("no qualified name")
                return value
            return super().__getattribute__(name)

    class Odd(metaclass=Meta):
        pass

    args = [np.array([1], np.int64), np.array([1], np.uint64), np.array([1], np.int64), "nearest"]
    args[position] = Odd()
    try:
        rust.inverse_int(*args)
    except TypeError as exc:
        print(exc.args[0])
""")


@pytest.mark.parametrize("kind,shown", [("str", "Shown"), ("str subclass", "Shown"), ("raises", "Odd"),
                                        ("int", "Odd"), ("bytes", "Odd"), ("none", "Odd")])
@pytest.mark.parametrize("position", [0, 3], ids=["array", "method"])
def test_type_name_from_a_metaclass(kind, shown, position):
    proc = subprocess.run([sys.executable, "-c", QUALNAME_CHILD, kind, str(position)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, f"exit status {proc.returncode}: {proc.stderr[-2000:]}"
    param, target = ("f", "PyArray<T, D>") if position == 0 else ("method", "PyString")
    assert proc.stdout.strip() == (f"argument '{param}': '{shown}' object cannot be "
                                   f"converted to '{target}'")


# --------------------------------------------------------------------------
# threads

FIRST_USE_CHILD = textwrap.dedent(r"""
    import json, sys, threading
    import numpy as np
    import quorvane.rust as rust

    # nothing has called the module yet: NumPy's table, the result owner's
    # class and PanicException are all made by these threads' first calls
    workers = 8
    barrier = threading.Barrier(workers)
    out = [None] * workers

    def work(k):
        barrier.wait()
        r = rust.forward_int(np.array([15], np.uint64), np.array([10, 20], np.uint64),
                             np.array([1, 2], np.int64)).tolist()
        try:
            rust.forward_int(np.array([1], np.uint64), np.array([1, 2], np.uint64),
                             np.array([1], np.int64))
        except BaseException as exc:
            out[k] = (r, id(type(exc)), type(exc).__name__, exc.args[0],
                      id(type(rust.inverse_float(np.array([1.0]), np.array([3], np.uint64),
                                                 np.array([1.0])).base)))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(json.dumps(out))
""")


def test_first_use_from_many_threads():
    out = child_report(FIRST_USE_CHILD, timeout=120)
    assert all(o is not None and o[0] == [2] for o in out), out
    assert {o[2] for o in out} == {"PanicException"}
    assert {o[3] for o in out} == {"xp and fp must have same length"}
    assert len({o[1] for o in out}) == 1, "one PanicException class"
    assert len({o[4] for o in out}) == 1, "one result owner class"


def thread_cases():
    """(function name, args) on arrays shared by every thread: successes of
    every kind of view and every failure kind."""
    rng = np.random.default_rng(7)
    xp = np.unique(rng.integers(0, 2 ** 64 - 1, size=3000, dtype=U64, endpoint=True))
    fpi = np.sort(rng.integers(-(2 ** 62), 2 ** 62, size=xp.size, dtype=I64))
    fpi = np.unique(fpi)
    xpi = xp[:fpi.size]
    fpf = np.unique(rng.normal(size=xp.size) * 1e6)
    xpf = xp[:fpf.size]
    x = rng.integers(int(xp[0]), int(xp[-1]), size=20_000, dtype=U64, endpoint=True)
    fi = rng.integers(int(fpi[0]), int(fpi[-1]), size=20_000, dtype=I64, endpoint=True)
    ff = rng.uniform(fpf[0], fpf[-1], size=20_000)
    for a in (xp, fpi, xpi, fpf, xpf, x, fi, ff):
        a.flags.writeable = False
    cases = [
        ("forward_int", (x, xpi, np.arange(xpi.size, dtype=I64) * 1000)),
        ("forward_int", (x[::-3], xpi, fpi)),
        ("forward_float", (x, xpf, fpf)),
        ("forward_float", (np.sort(x), xpf, fpf)),
        ("inverse_int", (fi, xpi, fpi, "nearest")),
        ("inverse_int", (fi[::2], xpi[::-1].copy()[::-1], fpi, "ffill")),
        ("inverse_float", (ff, xpf, fpf, "bfill")),
        ("inverse_float", (np.sort(ff), xpf, fpf, "nearest")),
        # failures
        ("forward_int", (np.concatenate([x[:100], np.zeros(1, U64)]), xpi, fpi)),
        ("forward_float", (x[:10], xpf[::-1], fpf)),
        ("inverse_int", (fi[:10], xpi, fpi)),
        ("inverse_float", (np.append(ff[:50], np.nan), xpf, fpf, "ffill")),
        ("inverse_float", (ff[:5], xpf, fpf[1:])),
        ("inverse_int", (fi[:5], xpi, fpi, "linear")),
    ]
    return cases


def answer(func, args):
    try:
        r = func(*args)
    except BaseException as exc:  # noqa: B036
        return ("raised", type(exc).__name__, exc.args)
    return ("result", r.dtype.str, r.tobytes())


def test_threads_get_the_sequential_answers(rust):
    cases = [(getattr(rust, name), args) for name, args in thread_cases()]
    expected = [answer(f, a) for f, a in cases]
    assert {e[0] for e in expected} == {"result", "raised"}
    workers, rounds = 8, 6
    barrier = threading.Barrier(workers)
    mismatches = []
    live = []

    def work(seed):
        order = np.random.default_rng(seed).permutation(len(cases) * rounds) % len(cases)
        barrier.wait()
        for k in order:
            f, a = cases[k]
            got = answer(f, a)
            if got != expected[k]:
                mismatches.append((seed, k, got[:2]))
        live.append(cases[0][0](*cases[0][1]))  # results of different threads are separate

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=work, args=(s,)) for s in range(workers)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=300)
        assert not any(t.is_alive() for t in threads)
    finally:
        sys.setswitchinterval(old)
    assert mismatches == []
    assert len(live) == workers
    assert len({r.__array_interface__["data"][0] for r in live}) == workers
    for r in live:
        assert r.tobytes() == expected[0][2]
