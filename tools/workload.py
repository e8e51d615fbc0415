"""A workload for memory checkers: every function of quorvane.rust, every
error path and the success paths with every kind of view, each answer
checked.

    python tools/workload.py [--module PATH] [--repeat N] [--small]

--module loads the extension from PATH (a build directory's rust*.so)
instead of the installed quorvane.rust; QUORVANE_MODULE does the same.
--repeat runs every case N times (leaks grow with N).  --small keeps every
array small, for valgrind.

The float cases use values whose answers are exact in binary64 as well, so
that the answers are the same under valgrind, whose x87 emulation computes
with 64-bit doubles.

Exit status 0 when every case gave its expected outcome, 1 otherwise.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import os
import platform
import signal
import sys
import threading
from fractions import Fraction

CPYTHON = platform.python_implementation() == "CPython"


def load(path: str | None):
    if not path:
        import quorvane.rust as rust

        return rust
    spec = importlib.util.spec_from_file_location("quorvane_under_check.rust", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


failures: list[str] = []
counts = {"cases": 0}


def fail(label, text):
    failures.append(f"{label}: {text}")


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and type(exc).__module__ == "pyo3_runtime"


def expect_raise(label, kind, message, func, *args, **kwargs):
    """kind: an exception class, or "panic"; message: the only argument, a
    prefix ending in "...", or None for any."""
    counts["cases"] += 1
    try:
        result = func(*args, **kwargs)
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        if isinstance(exc, (KeyboardInterrupt, SystemExit)) and kind not in (KeyboardInterrupt,):
            raise
        ok = is_panic(exc) if kind == "panic" else type(exc) is kind
        if not ok:
            fail(label, f"raised {type(exc).__module__}.{type(exc).__qualname__}{exc.args!r}")
        elif message is not None:
            got = exc.args[0] if exc.args else None
            if message.endswith("...") and isinstance(got, str):
                if not got.startswith(message[:-3]):
                    fail(label, f"message {got!r}")
            elif got != message:
                fail(label, f"message {got!r}")
        return exc
    fail(label, f"returned {result!r} instead of raising")
    return None


def expect_result(label, want, func, *args, **kwargs):
    counts["cases"] += 1
    try:
        result = func(*args, **kwargs)
    except BaseException as exc:  # noqa: B036
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        fail(label, f"raised {type(exc).__qualname__}{exc.args!r}")
        return None
    got = result.tolist()
    if got != list(want):
        fail(label, f"got {got[:8]!r}... want {list(want)[:8]!r}...")
    if type(result).__name__ != "ndarray" or not result.flags.writeable:
        fail(label, "result is not a plain writeable ndarray")
    return result


# --------------------------------------------------------------------------
# NumPy unavailable at the first call: runs before anything imports NumPy


def numpy_unavailable(rust):
    if "numpy" in sys.modules:
        return
    sys.modules["numpy"] = None  # type: ignore[assignment]
    counts["without numpy"] = 1
    try:
        exc = expect_raise("numpy unavailable", "panic", "Failed to access NumPy array API capsule...",
                           rust.forward_int, [1], [1], [1])
        if exc is not None and exc.__cause__ is not None and not isinstance(exc.__cause__, ImportError):
            fail("numpy unavailable", f"cause {exc.__cause__!r}")
        expect_raise("numpy unavailable again", "panic", "Failed to access NumPy array API capsule...",
                     rust.inverse_float, [1], [1], [1], "nearest")
    finally:
        del sys.modules["numpy"]


# --------------------------------------------------------------------------
# the cases


def _located(keys, axis):
    """Each key with the index k of its lower bound on axis (the first
    element not below it) and whether it is that sample."""
    for q in keys:
        k = next(i for i in range(len(axis)) if axis[i] >= q)
        yield q, k, axis[k] == q


def oracle_forward_int(x, xp, fp):
    out = []
    for q, k, hit in _located(x, xp):
        if hit:
            out.append(fp[k])
            continue
        x0, x1, f0, f1 = xp[k - 1], xp[k], fp[k - 1], fp[k]
        out.append(round(Fraction(f0 * (x1 - q) + f1 * (q - x0), x1 - x0)))
    return out


def oracle_inverse_int(f, xp, fp, method):
    out = []
    for q, k, hit in _located(f, fp):
        if hit:
            out.append(xp[k])
            continue
        x0, x1, f0, f1 = xp[k - 1], xp[k], fp[k - 1], fp[k]
        exact = Fraction(x0 * (f1 - q) + x1 * (q - f0), f1 - f0)
        if method == "nearest":
            out.append(round(exact))
        elif method == "ffill":
            out.append(exact.numerator // exact.denominator)
        else:
            out.append(-((-exact.numerator) // exact.denominator))
    return out


def run_cases(rust, np, small):
    U, I, F = np.uint64, np.int64, np.float64
    NAN, INF = float("nan"), float("inf")
    TOP = 2 ** 64 - 1
    fi, ff, ii, iff = rust.forward_int, rust.forward_float, rust.inverse_int, rust.inverse_float
    funcs = {"forward_int": fi, "forward_float": ff, "inverse_int": ii, "inverse_float": iff}
    types = {"forward_int": (U, U, I), "forward_float": (U, U, F),
             "inverse_int": (I, U, I), "inverse_float": (F, U, F)}

    def good(name):
        tq, tx, tf = types[name]
        return np.array([5], tq), np.array([0, 10], tx), np.array([0, 10], tf)

    # binding errors
    for name, func in funcs.items():
        q, xp, fp = good(name)
        inverse = name.startswith("inverse")
        first = "f" if inverse else "x"
        if inverse:
            expect_raise(f"{name} too many", TypeError,
                         f"{name}() takes from 3 to 4 positional arguments but 5 were given",
                         func, q, xp, fp, None, None)
        else:
            expect_raise(f"{name} too many", TypeError,
                         f"{name}() takes 3 positional arguments but 4 were given", func, q, xp, fp, q)
        expect_raise(f"{name} unexpected", TypeError, f"{name}() got an unexpected keyword argument 'y'",
                     func, q, xp, fp, y=1)
        expect_raise(f"{name} multiple", TypeError, f"{name}() got multiple values for argument '{first}'",
                     func, q, xp, fp, **{first: q})
        expect_raise(f"{name} missing 1", TypeError,
                     f"{name}() missing 1 required positional argument: 'fp'", func, q, xp)
        expect_raise(f"{name} missing 2", TypeError,
                     f"{name}() missing 2 required positional arguments: 'xp' and 'fp'", func, q)
        expect_raise(f"{name} missing 3", TypeError,
                     f"{name}() missing 3 required positional arguments: '{first}', 'xp', and 'fp'", func)
        expect_result(f"{name} keywords", [5], func, fp=fp, xp=xp, **{first: q})

    # conversion errors, each parameter in turn
    class Sub(np.ndarray):
        pass

    class Holder:
        def __array__(self, dtype=None, copy=None):
            return np.zeros(2)

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no qualified name")
            return super().__getattribute__(name)

    class Nameless(metaclass=Meta):
        pass

    for name, func in funcs.items():
        params = ("f" if name.startswith("inverse") else "x", "xp", "fp")
        for k in range(3):
            t = types[name][k]
            bad_things = [
                ([1, 2], "list"), ((1,), "tuple"), (3, "int"), (None, "NoneType"), (t(1), t.__name__),
                (np.array(1, t), "ndarray"), (np.ones((2, 2), t), "ndarray"),
                (np.ones((2, 1), t).view(Sub), Sub.__qualname__),
                (np.arange(2).astype(np.dtype(t).newbyteorder()), "ndarray"),
                (np.zeros(2, np.int32), "ndarray"), (np.zeros(2, np.float32), "ndarray"),
                (np.zeros(2, "O"), "ndarray"), (np.zeros(2, "V8"), "ndarray"),
                (np.zeros(2, I if t is not I else U), "ndarray"),
                (memoryview(np.zeros(2, t)), "memoryview"), (Holder(), Holder.__qualname__),
                (Nameless(), "Nameless"),
            ]
            for bad, type_name in bad_things:
                args = list(good(name))
                args[k] = bad
                expect_raise(f"{name} convert {params[k]} {type_name}", TypeError,
                             f"argument '{params[k]}': '{type_name}' object cannot be converted to "
                             "'PyArray<T, D>'", func, *args)

    # method errors, and methods that are accepted
    class S(str):
        def __eq__(self, other):
            return False

        __hash__ = str.__hash__

    for name in ("inverse_int", "inverse_float"):
        func = funcs[name]
        q, xp, fp = good(name)
        for bad, type_name in [(b"nearest", "bytes"), (1, "int"), (["ffill"], "list"),
                               (np.bytes_(b"bfill"), "bytes_"), (Nameless(), "Nameless")]:
            expect_raise(f"{name} method type {type_name}", TypeError,
                         f"argument 'method': '{type_name}' object cannot be converted to 'PyString'",
                         func, q, xp, fp, bad)
        for bad in ["\ud800", "near\udcffst", S("ffil\udfff")]:
            expect_raise(f"{name} method surrogate", UnicodeEncodeError, None, func, q, xp, fp, bad)
        for bad in ["", "Nearest", "nearest ", "ffil", "bfill\0", "\u00e9", "x" * 1000]:
            expect_raise(f"{name} method value {bad[:10]!r}", ValueError,
                         "method must be either None, 'nearest', 'ffill' or 'bfill'", func, q, xp, fp, bad)
        for m in [None, "nearest", "ffill", "bfill", S("nearest"), np.str_("bfill")]:
            expect_result(f"{name} method {m!r}", [5], func, q, xp, fp, m)
            expect_result(f"{name} method= {m!r}", [5], func, q, xp, fp, method=m)
        # a wrong method comes before a length mismatch
        expect_raise(f"{name} method before length", ValueError, None, func, q, xp, fp[:1], "x")

    # length mismatch, also with no queries
    for name, func in funcs.items():
        q, xp, fp = good(name)
        for queries in (q, q[:0]):
            expect_raise(f"{name} length", "panic", "xp and fp must have same length", func, queries, xp, fp[:1])
            expect_raise(f"{name} length", "panic", "xp and fp must have same length", func, queries, xp[:0], fp)

    # every error kind of the table
    xp3 = np.array([10, 20, 30], U)
    expect_raise("forward out of bounds below", IndexError, "x out of bounds", fi,
                 np.array([15, 9], U), xp3, np.array([1, 2, 3], I))
    expect_raise("forward out of bounds above", IndexError, "x out of bounds", ff,
                 np.array([15, 31], U), xp3, np.array([1.0, 2.0, 3.0]))
    expect_raise("forward empty table", IndexError, "x out of bounds", fi, np.array([1], U),
                 np.array([], U), np.array([], I))
    expect_raise("forward not increasing", ValueError, "xp must be strictly increasing", fi,
                 np.array([10], U), np.array([10, 10, 20], U), np.array([1, 2, 3], I))
    expect_raise("forward_float not increasing", ValueError, "xp must be strictly increasing", ff,
                 np.array([10], U), np.array([20, 10], U), np.array([1.0, 2.0]))
    fp3 = np.array([0, 10, 20], I)
    xpi = np.array([100, 200, 300], U)
    for method in (None, "ffill"):
        expect_raise(f"inverse below {method}", KeyError, "f out of bounds", ii, np.array([-1], I), xpi, fp3, method)
        expect_raise(f"inverse_float below {method}", KeyError, "f out of bounds", iff,
                     np.array([-1.0]), xpi, fp3.astype(F), method)
    for method in (None, "bfill"):
        expect_raise(f"inverse above {method}", KeyError, "f out of bounds", ii, np.array([21], I), xpi, fp3, method)
    for method in METHODS:
        expect_raise(f"inverse empty {method}", KeyError, "f out of bounds", iff, np.array([NAN]),
                     np.array([], U), np.array([], F), method)
    expect_raise("inverse not found", KeyError, "f not found", ii, np.array([1], I),
                 np.array([0, 10], U), np.array([0, 3], I))
    expect_raise("inverse_float not found", KeyError, "f not found", iff, np.array([1.0]),
                 np.array([0, 10], U), np.array([0.0, 3.0]))
    expect_raise("inverse not increasing", ValueError, "fp must be strictly increasing", ii,
                 np.array([0], I), np.array([0, 1], U), np.array([0, 0], I))
    expect_raise("inverse_float nan in fp", ValueError, "fp must be strictly increasing", iff,
                 np.array([1.0]), np.array([0, 1], U), np.array([1.0, NAN]))

    # internal failures of the float schemes
    for method in METHODS:
        expect_raise(f"nan query {method}", "panic", "nan or inf encountered", iff,
                     np.array([1.5, NAN]), np.array([0, 10], U), np.array([0.0, 3.0]), method)
        expect_raise(f"single nan sample {method}", "panic", "nan or inf encountered", iff,
                     np.array([1.0]), np.array([7], U), np.array([NAN]), method)
        expect_raise(f"inverse next to inf {method}", "panic", "assertion failed: value.is_finite()", iff,
                     np.array([1.0]), np.array([0, 10], U), np.array([0.0, INF]), method)
    for bad in (NAN, INF, -INF):
        expect_raise(f"forward next to {bad}", "panic", "assertion failed: value.is_finite()", ff,
                     np.array([5], U), np.array([0, 10], U), np.array([bad, 1.0]))
        expect_result(f"forward exact hit on {bad}", [0.0], ff, np.array([10], U),
                      np.array([0, 10], U), np.array([bad, 0.0]))

    # oversized batches and tables
    for name, func in funcs.items():
        tq, tx, tf = types[name]
        inverse = name.startswith("inverse")
        table = (np.array([1, 2], tx), np.array([5, 5], tf)) if inverse else \
            (np.array([5, 5], tx), np.array([1, 2], tf))
        huge = np.broadcast_to(np.array([1], tq), (2 ** 44,))
        expect_raise(f"{name} huge batch", MemoryError, None, func, huge, *table)
        big = (np.broadcast_to(np.array([7], tx), (2 ** 44,)), np.broadcast_to(np.array([7], tf), (2 ** 44,)))
        expect_raise(f"{name} huge table", MemoryError, None, func, np.array([7], tq), *big)

    # success paths: worked examples through every kind of view
    xp = np.array([10, 20, 30], U)

    def views(a):
        n = len(a)
        rev = a[::-1].copy()[::-1]
        big = np.zeros(3 * n + 1, a.dtype)
        big[1::3] = a
        col = np.zeros((n, 2), a.dtype)
        col[:, 1] = a
        buf = bytearray(8 * n + 3)
        unaligned = np.ndarray((n,), a.dtype, buf, offset=3)
        unaligned[...] = a
        ro = a.copy()
        ro.flags.writeable = False
        return [("contiguous", a), ("reversed", rev), ("strided", big[1::3]), ("column", col[:, 1]),
                ("unaligned", unaligned), ("read-only", ro), ("subclass", a.view(Sub)),
                ("from bytes", np.frombuffer(a.tobytes(), a.dtype))]

    x = np.array([10, 15, 25, 30, 20], U)
    for label, v in views(x):
        expect_result(f"forward_int x {label}", [100, 150, 300, 400, 200], fi, v, xp, np.array([100, 200, 400], I))
        expect_result(f"forward_float x {label}", [100.0, 150.0, 300.0, 400.0, 200.0], ff, v, xp,
                      np.array([100.0, 200.0, 400.0]))
    for label, v in views(xp):
        expect_result(f"forward_int xp {label}", [100, 150, 300, 400, 200], fi, x, v, np.array([100, 200, 400], I))
    for label, v in views(xpi):
        expect_result(f"inverse_int xp {label}", [100, 150, 200, 250, 300], ii,
                      np.array([0, 5, 10, 15, 20], I), v, np.array([0, 10, 20], I))
    for label, v in views(np.array([0.0, 10.0, 20.0])):
        expect_result(f"inverse_float fp {label}", [100, 150, 200, 250, 300], iff,
                      np.array([0.0, 5.0, 10.0, 15.0, 20.0]), xpi, v)
        expect_result(f"inverse_float f {label}", [100, 200, 300], iff, v, xpi, np.array([0.0, 10.0, 20.0]))
    for label, v in views(np.array([0, 5, 10, 15, 20], I)):
        expect_result(f"inverse_int f {label}", [100, 150, 200, 250, 300], ii, v, xpi, np.array([0, 10, 20], I))
    expect_result("broadcast query", [150] * 7, fi, np.broadcast_to(U(15), (7,)), xp, np.array([100, 200, 400], I))
    expect_result("broadcast table", [3, 3], ii, np.array([3, 3], I), np.broadcast_to(U(3), (2,)),
                  np.array([0, 10], I), "nearest")
    same = np.array([0, 1, 2], U)
    expect_result("one array for x and xp", [0, 1, 2], fi, same, same, np.array([0, 1, 2], I))
    shared = np.array([0, 2, 4], I)
    expect_result("shared query and fp", [0, 1, 2], ii, shared, np.array([0, 1, 2], U), shared)
    for name, func in funcs.items():
        tq, tx, tf = types[name]
        expect_result(f"{name} empty", [], func, np.array([], tq), np.array([3, 3], tx), np.array([1, 1], tf))

    # result arrays: views outlive the array, writes stay in the buffer
    r = fi(x, xp, np.array([100, 200, 400], I))
    tail = r[2:]
    del r
    gc.collect()
    tail[0] = 7
    if tail.tolist() != [7, 400, 200]:
        fail("result view", repr(tail))
    counts["cases"] += 1

    # the extremes of the integer scheme against exact fractions
    n = 64 if small else 2000
    rng = np.random.default_rng(11)
    xs = np.unique(np.concatenate([np.array([0, 1, TOP - 1, TOP, 2 ** 63 - 1, 2 ** 63], U),
                                   rng.integers(0, TOP, size=n, dtype=U, endpoint=True)]))
    vals = rng.integers(-(2 ** 63), 2 ** 63 - 1, size=xs.size, dtype=I, endpoint=True)
    vals[:4] = [-(2 ** 63), 2 ** 63 - 1, -(2 ** 63), 2 ** 63 - 1]
    queries = rng.integers(0, TOP, size=n, dtype=U, endpoint=True)
    expect_result("forward_int extremes", oracle_forward_int([int(q) for q in queries], [int(v) for v in xs],
                                                             [int(v) for v in vals]), fi, queries, xs, vals)
    fsorted = np.unique(vals)
    xsi = xs[:fsorted.size][::-1].copy()  # coordinates decreasing
    fq = rng.integers(int(fsorted[0]), int(fsorted[-1]), size=n, dtype=I, endpoint=True)
    for method in ("nearest", "ffill", "bfill"):
        expect_result(f"inverse_int extremes {method}",
                      oracle_inverse_int([int(q) for q in fq], [int(v) for v in xsi],
                                         [int(v) for v in fsorted], method), ii, fq, xsi, fsorted, method)

    # larger batches: lockstep, gallop and the large-table paths (no oracle,
    # only agreement between layouts)
    m = 4000 if small else 200_000
    big_xp = np.arange(0, 40 * (m // 4 + 50000), 40, dtype=U)
    big_fpi = np.arange(big_xp.size, dtype=I) * 3 - 1000
    big_fpf = np.arange(big_xp.size, dtype=F) * 0.5 - 100.0
    qx = rng.integers(0, int(big_xp[-1]), size=m, dtype=U, endpoint=True)
    qf = rng.uniform(big_fpf[0], big_fpf[-1], size=m)
    qi = rng.integers(int(big_fpi[0]), int(big_fpi[-1]), size=m, dtype=I, endpoint=True)
    for label, func, q, fp_, extra in [("forward_int", fi, qx, big_fpi, ()), ("forward_float", ff, qx, big_fpf, ()),
                                       ("inverse_int", ii, qi, big_fpi, ("bfill",)),
                                       ("inverse_float", iff, qf, big_fpf, ("nearest",))]:
        a = func(q, big_xp, fp_, *extra)
        b = func(np.sort(q), big_xp, fp_, *extra)
        c = func(q[::-1].copy()[::-1], big_xp[::-1].copy()[::-1], fp_, *extra)
        counts["cases"] += 3
        if a.tobytes() != c.tobytes():
            fail(f"{label} large batch", "views disagree")
        if a[np.argsort(q, kind="stable")].tobytes() != b.tobytes():
            fail(f"{label} large batch", "sorted and unsorted queries disagree")

    # tables past a million entries (the summary search, the copying that
    # follows a sorted batch along the table, the walk of large tables): a
    # linear integer table has an exact answer
    # computed here with integer arithmetic
    n = (1 << 20) + 123
    lin_xp = np.arange(n, dtype=U) * U(40)
    lin_fp = np.arange(n, dtype=I) * 3 - 1000
    lin_x = rng.integers(0, int(lin_xp[-1]), size=m, dtype=U, endpoint=True)

    def nearest_even(num, den):
        q, r = np.divmod(num, den)
        return q + ((2 * r > den) | ((2 * r == den) & (q % 2 == 1)))

    want = nearest_even(3 * lin_x.astype(I), 40) - 1000
    for label, q in [("unsorted", lin_x), ("sorted", np.sort(lin_x)), ("reversed view", lin_x[::-1])]:
        expect_result(f"large table forward_int {label}",
                      (want if label == "unsorted" else nearest_even(3 * q.astype(I), 40) - 1000).tolist(),
                      fi, q, lin_xp, lin_fp)
    lin_f = rng.integers(-1000, int(lin_fp[-1]), size=m, dtype=I, endpoint=True)
    for label, q in [("unsorted", lin_f), ("sorted", np.sort(lin_f))]:
        expect_result(f"large table inverse_int {label}", nearest_even(40 * (q + 1000), 3).astype(U).tolist(),
                      ii, q, lin_xp, lin_fp, "nearest")
    lin_ff = np.arange(n, dtype=F) * 0.5 - 100.0
    for func, q, fp_ in [(ff, lin_x, lin_ff), (iff, rng.uniform(-100.0, lin_ff[-1], size=m), lin_ff)]:
        extra = ("bfill",) if func is iff else ()
        a = func(q, lin_xp, fp_, *extra)
        b = func(np.sort(q), lin_xp[::-1].copy()[::-1], fp_, *extra)
        counts["cases"] += 1
        if a[np.argsort(q, kind="stable")].tobytes() != b.tobytes():
            fail("large table float", "sorted and unsorted queries disagree")

    # threads sharing arrays
    expected = fi(qx, big_xp, big_fpi).tobytes()
    bad = []

    def work():
        for _ in range(3):
            if fi(qx, big_xp, big_fpi).tobytes() != expected:
                bad.append(1)
            try:
                iff(np.array([NAN]), big_xp, big_fpf)
            except BaseException as exc:  # noqa: B036
                if not is_panic(exc):
                    bad.append(2)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    counts["cases"] += 1
    if bad:
        fail("threads", f"{len(bad)} wrong answers")


METHODS = [None, "nearest", "ffill", "bfill"]


def interrupted(rust, np):
    """A call stopped by a signal handler's exception releases everything."""
    if not CPYTHON or not hasattr(signal, "setitimer"):
        return

    class Stop(Exception):
        pass

    armed = [True]

    def handler(signum, frame):
        if armed[0]:
            raise Stop()

    # the handler stays installed, disarmed, after the call, and then the
    # signal is ignored: under valgrind the alarm may be delivered late, even
    # after the interpreter has put the default action (ending the process)
    # back at exit
    signal.signal(signal.SIGALRM, handler)
    queries = np.broadcast_to(np.float64(7.3), (8 << 20,))
    try:
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.001)
            r = rust.inverse_float(queries, np.array([0, 10, 20], np.uint64), np.array([0.0, 5.5, 9.25]), "nearest")
        finally:
            armed[0] = False
            signal.setitimer(signal.ITIMER_REAL, 0)
    except Stop:
        counts["interrupted"] = counts.get("interrupted", 0) + 1
    else:
        # the signal came after the call
        if r.shape != (8 << 20,):
            fail("interrupt", "wrong result length")
    signal.signal(signal.SIGALRM, signal.SIG_IGN)
    counts["cases"] += 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module", default=os.environ.get("QUORVANE_MODULE"))
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--small", action="store_true")
    opts = parser.parse_args()
    rust = load(opts.module)
    numpy_unavailable(rust)
    import numpy as np

    for _ in range(opts.repeat):
        run_cases(rust, np, opts.small)
        interrupted(rust, np)
        gc.collect()
    where = getattr(rust, "__file__", "?")
    if failures:
        for line in failures[:50]:
            print("FAIL", line)
        print(f"workload: {len(failures)} of {counts['cases']} cases failed ({where})")
        return 1
    print(f"workload: {counts['cases']} cases passed ({where}); first call without NumPy: "
          f"{'yes' if counts.get('without numpy') else 'no'}; calls interrupted: {counts.get('interrupted', 0)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
