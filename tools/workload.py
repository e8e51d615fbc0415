"""A workload for memory checkers: every function of quorvane.rust and
every path of quorvane.Table (construction from every kind of input, both
directions with every option, every error, masks, time units, threads,
injected faults, pickling), each answer checked.

    python tools/workload.py [--module PATH] [--repeat N] [--small]

--module loads the extensions of a build instead of the installed
quorvane.rust and quorvane._table: PATH is the build directory's rust*.so,
and the _table module is the one beside it; QUORVANE_MODULE does the same.
--repeat runs every case N times (leaks grow with N).  --small keeps the
arrays small where their size only adds time, for valgrind.

The float cases use values whose answers are exact in binary64 as well, so
that the answers are the same under valgrind, whose x87 emulation computes
with 64-bit doubles.

Exit status 0 when every case gave its expected outcome, 1 otherwise.
"""

from __future__ import annotations

import argparse
import copy
import gc
import importlib.machinery
import importlib.util
import os
import pickle
import platform
import signal
import sys
import threading
import types
from fractions import Fraction

CPYTHON = platform.python_implementation() == "CPython"


def module_paths(path: str | None):
    """The files of the two extension modules: the rust module at path and
    the _table module of the same build beside it, or the installed ones
    (found without importing the package, which would import NumPy)."""
    if path:
        directory, name = os.path.split(os.path.abspath(path))
        suffix = name[name.index("."):]  # e.g. ".cpython-311-x86_64-linux-gnu.so"
    else:
        package = importlib.util.find_spec("quorvane")
        if package is None or not package.submodule_search_locations:
            sys.exit("workload: quorvane is not installed; pass --module")
        directory = list(package.submodule_search_locations)[0]
        suffix = next(s for s in importlib.machinery.EXTENSION_SUFFIXES
                      if os.path.exists(os.path.join(directory, "rust" + s)))
    paths = [os.path.join(directory, name + suffix) for name in ("rust", "_table")]
    for p in paths:
        if not os.path.exists(p):
            sys.exit(f"workload: {p} not found")
    return paths


def load(name, path):
    found = importlib.util.spec_from_file_location(f"quorvane_under_check.{name}", path)
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def stand_in(rust, table):
    """A package `quorvane` made of the modules under check: a Table
    pickles as quorvane.Table, which must be the class under check."""
    package = types.ModuleType("quorvane")
    for module in (rust, table):
        for name in dir(module):
            if not name.startswith("__"):
                setattr(package, name, getattr(module, name))
    package.__path__ = []  # a package, so that quorvane._containers can be one of its modules
    sys.modules["quorvane"] = package
    # A table pickles as a call of _table._restore, which pickle finds by the
    # module name the function was made under.
    under_check = types.ModuleType("quorvane_under_check")
    under_check.__path__ = []
    sys.modules["quorvane_under_check"] = under_check
    for module in (rust, table):
        sys.modules[module.__name__] = module
    # the helper that builds the answers of pandas, polars and pyarrow columns, from the sources
    helper = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python", "quorvane", "_containers.py")
    found = importlib.util.spec_from_file_location("quorvane._containers", helper)
    if found is not None and found.loader is not None and os.path.exists(helper):
        sys.modules["quorvane._containers"] = importlib.util.module_from_spec(found)
        found.loader.exec_module(sys.modules["quorvane._containers"])


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
        # NumPy's MemoryError for an array it cannot allocate is a subclass
        ok = is_panic(exc) if kind == "panic" else type(exc) is kind or (
            kind is MemoryError and isinstance(exc, MemoryError))
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


def in_threads(label, work, bad):
    """One case: work(k) in four threads at once, k = 0..3; each appends
    to `bad` what it found wrong."""
    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    counts["cases"] += 1
    if bad:
        fail(label, f"{len(bad)} wrong answers")


RAISED = object()


def outcome(label, func, args, kwargs):
    """One case: what func(*args, **kwargs) returns, or RAISED with the
    exception recorded as the case's failure (an interrupt or exit passes)."""
    counts["cases"] += 1
    try:
        return func(*args, **kwargs)
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        fail(label, f"raised {type(exc).__qualname__}{exc.args!r:.300}")
        return RAISED


def expect_result(label, want, func, *args, **kwargs):
    result = outcome(label, func, args, kwargs)
    if result is RAISED:
        return None
    got = result.tolist()
    if got != list(want):
        fail(label, f"got {got[:8]!r}... want {list(want)[:8]!r}...")
    if type(result).__name__ != "ndarray" or not result.flags.writeable:
        fail(label, "result is not a plain writeable ndarray")
    return result


# --------------------------------------------------------------------------
# NumPy unavailable at the first call: runs before anything imports NumPy


def numpy_unavailable(rust, table_path):
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
        # the table module needs NumPy to initialise; it can be loaded later
        expect_raise("numpy unavailable: _table", ModuleNotFoundError, None, load, "_table", table_path)
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

    def work(_):
        for _ in range(3):
            if fi(qx, big_xp, big_fpi).tobytes() != expected:
                bad.append(1)
            try:
                iff(np.array([NAN]), big_xp, big_fpf)
            except BaseException as exc:  # noqa: B036
                if not is_panic(exc):
                    bad.append(2)

    in_threads("threads", work, bad)


METHODS = [None, "nearest", "ffill", "bfill"]


# --------------------------------------------------------------------------
# quorvane.Table: construction from every kind of input, both directions
# with every option, every error, masks, time units, the split across
# threads and the partitioned route, injected faults, pickling.  Answers
# are checked against the four functions of the same build.


def same_answer(np, got, want):
    """Equal answers: the same kind (array, masked array, scalar), dtype,
    shape, mask and bits."""
    if want is np.ma.masked:
        return got is np.ma.masked
    if isinstance(want, np.ma.MaskedArray):
        return (isinstance(got, np.ma.MaskedArray) and got.dtype == want.dtype and got.shape == want.shape
                and np.ma.getmaskarray(got).tobytes() == np.ma.getmaskarray(want).tobytes()
                and got.compressed().tobytes() == want.compressed().tobytes())
    if isinstance(want, np.ndarray):
        return (type(got) is np.ndarray and got.dtype == want.dtype and got.shape == want.shape
                and got.tobytes() == want.tobytes())
    return (not isinstance(got, np.ndarray) and type(got) is type(want)
            and np.asarray(got).tobytes() == np.asarray(want).tobytes())


def expect_answer(np, label, want, func, *args, **kwargs):
    got = outcome(label, func, args, kwargs)
    if got is RAISED:
        return None
    if not same_answer(np, got, want):
        fail(label, f"got {got!r:.200} want {want!r:.200}")
    return got


class Forged:
    """Pickles as Table(*args), as a tampered pickle of a Table would."""

    def __init__(self, table_type, *args):
        self.table_type, self.args = table_type, args

    def __reduce__(self):
        return self.table_type, self.args


def run_table_cases(rust, T, np, small):
    Table = T.Table
    U, I, F = np.uint64, np.int64, np.float64
    NAN, INF = float("nan"), float("inf")
    fi, ff, ii, iff = rust.forward_int, rust.forward_float, rust.inverse_int, rust.inverse_float
    xp = np.array([10, 20, 30], U)
    fpi = np.array([100, 200, 400], I)
    fpf = np.array([100.0, 200.0, 400.0])

    def answer(label, want, func, *args, **kwargs):
        return expect_answer(np, label, want, func, *args, **kwargs)

    def layouts(a):
        """a, and the same elements in other memory layouts and dtypes."""
        buf = bytearray(a.itemsize * a.size + 3)
        unaligned = np.ndarray(a.shape, a.dtype, buf, offset=3)
        unaligned[...] = a
        ro = a.copy()
        ro.flags.writeable = False
        return [("contiguous", a), ("reversed", a[::-1].copy()[::-1]), ("strided", np.repeat(a, 3)[::3]),
                ("unaligned", unaligned), ("read-only", ro), ("byte-swapped", a.astype(a.dtype.newbyteorder())),
                ("list", a.tolist()), ("tuple", tuple(a.tolist())), ("objects", a.astype(object))]

    # construction from every kind of input
    def construct(label, xp_like, fp_like, want_xp, want_fp):
        answer(f"Table {label} xp", want_xp, lambda: Table(xp_like, fp_like).xp)
        answer(f"Table {label} fp", want_fp, lambda: Table(xp_like, fp_like).fp)

    for (lx, x_like), (lf, f_like) in zip(layouts(xp), layouts(fpi)):
        construct(f"int {lx}/{lf}", x_like, f_like, xp, fpi)
    for (lx, x_like), (lf, f_like) in zip(layouts(xp), layouts(fpf)):
        construct(f"float {lx}/{lf}", x_like, f_like, xp, fpf)
    for label, x_like, f_like, want_f in [
        ("narrow ints", xp.astype(np.uint8), fpi.astype(np.int16), fpi),
        ("other signedness", xp.astype(np.int32), fpi.astype(np.uint16), fpi),
        ("numpy scalars", [U(10), np.int8(20), 30], [I(100), np.uint16(200), 400], fpi),
        ("masked, nothing masked", np.ma.masked_array(xp, mask=[0, 0, 0]), np.ma.masked_array(fpi), fpi),
        ("column", np.stack([xp, xp], axis=1)[:, 1], np.stack([fpi, fpi], axis=1)[:, 0], fpi),
        ("float32", xp, fpf.astype(np.float32), fpf),
        ("float16", xp, fpf.astype(np.float16), fpf),
        ("Python floats among ints", [10, 20, 30], [100, 200.0, 400], fpf),
    ]:
        construct(label, x_like, f_like, xp, want_f)
    construct("extremes", [0, 2 ** 64 - 1], [-(2 ** 63), 2 ** 63 - 1], np.array([0, 2 ** 64 - 1], U),
              np.array([-(2 ** 63), 2 ** 63 - 1], I))
    construct("times", np.array([10, 20, 30], ">M8[ns]"), np.array([100, 200, 400], "m8[s]"),
              np.array([10, 20, 30], "M8[ns]"), np.array([100, 200, 400], "m8[s]"))
    construct("empty", np.array([], U), np.array([], I), np.array([], U), np.array([], I))
    construct("empty lists", [], [], np.array([], U), np.array([], F))
    answer("Table keywords", fpi, lambda: Table(fp=fpi, xp=xp).fp)

    huge_u64 = np.broadcast_to(U(7), (2 ** 44,))
    huge_u8 = np.broadcast_to(np.uint8(7), (2 ** 44,))
    huge_i64 = np.broadcast_to(I(7), (2 ** 44,))
    IT, IV = T.InvalidTypeError, T.InvalidValueError
    for args, kind, message in [
        ((), IT, "Table() missing required argument 'xp' (pos 1)"),
        ((xp, fpi, fpi), IT, "Table() takes at most 2 positional arguments (3 given)"),
        (([-1, 2], [1, 2]), IV, "xp[0] = -1 is negative; coordinates are uint64"),
        (([1, 2 ** 64], [1, 2]), IV, "xp[1] = 18446744073709551616 does not fit uint64"),
        (([1, 2], [1, 2, 3]), IV, "xp and fp must have the same length, got len(xp) = 2 and len(fp) = 3"),
        (([[1, 2]], [[1, 2]]), IV, "xp must be one-dimensional, got shape (1, 2)"),
        ((5, 5), IV, "xp must be one-dimensional, got shape ()"),
        (([1, 2], [2 ** 63 + 1, 1]), IV, "fp[0] = 9223372036854775809 does not fit int64"),
        (([1, 2], [0.5, 2 ** 63 + 1]), IV, "fp[1] = 9223372036854775809 has no exact float64 value"),
        (([1, 2], np.array([2 ** 63, 1], U)), IV, "fp[0] = 9223372036854775808 does not fit int64"),
        (([1.0, 2.0], [1, 2]), IT, "xp[0]: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got float"),
        ((np.array([1.0, 2.0]), [1, 2]), IT,
         "xp: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got float64"),
        (([1, 2], [True, False]), IT, "fp: expected integers that fit int64 (the table's fp is int64), got bool"),
        (([1, 2], [1, None]), IT, "fp[1]: expected integers that fit int64 (the table's fp is int64), got NoneType"),
        ((np.ma.masked_array([1, 2], mask=[0, 1]), [1, 2]), IV, "xp[1] is null"),
        ((np.array(["2024-01", "2024-02"], "M8[M]"), [1, 2]), IT,
         "xp: datetime64[M] has no fixed length; convert to a unit such as 's' or 'ns' first"),
        ((np.array(["NaT", "NaT"], "M8"), [1, 2]), IT,
         "xp: datetime64 has no fixed length; convert to a unit such as 's' or 'ns' first"),
        ((np.array(["1969-12-31", "2024-01-01"], "M8[D]"), [1, 2]), IV,
         "xp[0] = 1969-12-31 is negative; coordinates are uint64"),
        (([1, 2], np.array(["NaT", "2024-01-01"], "M8[s]")), IV, "fp[0] is NaT"),
        (([[1, 2], [3]], [1, 2]), IV, "xp could not be read as an array: ..."),
        ((["a", "b"], [1, 2]), IT, None),
        (([1, 2], None), IT, None),
        (([1, 2], np.array([1, 2], np.complex128)), IT, None),
        (([1, 2], np.array([1, 2], np.longdouble)), IT, None),
        ((huge_u64, huge_i64), MemoryError, None),
        ((huge_u8, huge_i64), MemoryError, None),
    ]:
        expect_raise(f"Table{args!r:.40} refused", kind, message, Table, *args)
    expect_raise("Table unknown keyword", IT, None, Table, xp, fpi, z=1)

    ti, tf = Table(xp, fpi), Table(xp, fpf)

    # both directions, queries in every layout and element type, every option
    x = np.array([10, 15, 25, 30, 20], U)
    for label, q in layouts(x) + [("uint8", x.astype(np.uint8)), ("int16", x.astype(np.int16)),
                                  ("int64", x.astype(I)), ("uint32", x.astype(np.uint32))]:
        for workers in (1, 2, -1):
            answer(f"forward_int {label} w{workers}", fi(x, xp, fpi), ti.forward, q, workers=workers)
        answer(f"forward_float {label}", ff(x, xp, fpf), tf.forward, q)
    f = np.array([100, 150, 200, 300, 400], I)
    for label, q in layouts(f) + [("int16", f.astype(np.int16)), ("uint64", f.astype(U))]:
        for method in METHODS:
            answer(f"inverse_int {label} {method}", ii(f, xp, fpi, method), ti.inverse, q, method)
    ffl = np.array([100.0, 150.0, 300.0, 400.0, 200.0])
    for label, q in layouts(ffl) + [("float32", ffl.astype(np.float32)), ("float16", ffl.astype(np.float16)),
                                    ("int64", ffl.astype(I)), ("ints", [100, 150, 300, 400, 200])]:
        for method in METHODS:
            answer(f"inverse_float {label} {method}", iff(ffl, xp, fpf, method), tf.inverse, q, method,
                   workers=2)
    q2 = x[:4].reshape(2, 2)
    for label, q in [("2-D", q2), ("F order", np.asfortranarray(q2)), ("transposed", q2.T.copy().T),
                     ("broadcast", np.broadcast_to(x[:2], (3, 2)))]:
        answer(f"forward {label}", fi(np.ascontiguousarray(q).ravel(), xp, fpi).reshape(q.shape).view(I),
               ti.forward, q)
    answer("forward empty 2-D", np.empty((0, 3), I), ti.forward, np.empty((0, 3), U))
    for label, q in [("int", 15), ("uint64", U(15)), ("uint8", np.uint8(15)), ("0-d", np.array(15, U))]:
        answer(f"forward scalar {label}", I(150), ti.forward, q)
        answer(f"forward_float scalar {label}", F(150.0), tf.forward, q)
    answer("inverse scalar int", U(15), ti.inverse, 150)
    answer("inverse scalar float", U(15), tf.inverse, 150.0, "nearest")
    answer("inverse scalar float32", U(15), tf.inverse, np.float32(150.0))
    answer("keywords", fi(x, xp, fpi).view(I), ti.forward, x=x, outside="raise", workers=1)
    answer("inverse keywords", ii(f, xp, fpi, "bfill"), ti.inverse, f=f, method="bfill", workers=2)

    wide = np.array([5, 15, 35], U)
    answer("outside clamp", np.array([100, 150, 400], I), ti.forward, wide, outside="clamp")
    for fill in (-1, I(-1), np.int8(-1)):
        answer(f"outside fill {fill!r}", np.array([-1, 150, -1], I), ti.forward, wide, outside=fill)
    got = tf.forward(wide, outside=NAN)
    counts["cases"] += 1
    if not (np.isnan(got[[0, 2]]).all() and got[1] == 150.0):
        fail("outside nan", repr(got))
    answer("outside on an empty table", np.array([INF, INF]), Table(np.array([], U), np.array([], F)).forward,
           [1, 2], outside=INF)

    # options that are refused, and calls that do not bind
    for label, kind, message, call in [
        ("outside value", IV, "outside must be 'raise', 'clamp' or a fill value, not 'Clamp'",
         lambda: ti.forward(15, outside="Clamp")),
        ("outside array", IV, "outside must be 'raise', 'clamp' or a single fill value, not an array of shape (2,)",
         lambda: ti.forward(15, outside=[1, 2])),
        ("outside float", IT, "outside: expected integers that fit int64 (the table's fp is int64), got float",
         lambda: ti.forward(15, outside=1.5)),
        ("outside too large", IV, "outside = 9223372036854775808 does not fit int64",
         lambda: ti.forward(15, outside=2 ** 63)),
        ("outside inexact", IV, "outside = 9007199254740993 has no exact float64 value",
         lambda: tf.forward(15, outside=2 ** 53 + 1)),
        ("outside None", IT, None, lambda: tf.forward(15, outside=None)),
        ("method value", IV, "method must be None, 'nearest', 'ffill' or 'bfill', not 'Nearest'",
         lambda: ti.inverse(150, "Nearest")),
        ("method surrogate", IV, None, lambda: ti.inverse(150, "\ud800")),
        ("method type", IT, "method must be None or a str, not bytes", lambda: ti.inverse(150, b"nearest")),
        ("method int", IT, "method must be None or a str, not int", lambda: ti.inverse(150, 1)),
        ("workers 0", IV, "workers must be a positive number of threads or -1 (all CPUs), not 0",
         lambda: ti.forward(15, workers=0)),
        ("workers -2", IV, None, lambda: ti.inverse(150, workers=-2)),
        ("workers huge", IV, None, lambda: ti.forward(15, workers=2 ** 70)),
        ("workers float", IT, "workers must be an int, not float", lambda: ti.forward(15, workers=1.0)),
        ("workers bool", IT, "workers must be an int, not bool", lambda: ti.forward(15, workers=True)),
        ("forward positional", IT, "forward() takes at most 1 positional argument but 2 were given",
         lambda: ti.forward(15, 16)),
        ("inverse positional", IT, "inverse() takes at most 2 positional arguments but 3 were given",
         lambda: ti.inverse(150, None, 2)),
        ("forward twice", IT, "forward() got multiple values for argument 'x'", lambda: ti.forward(15, x=16)),
        ("forward method", IT, "forward() got an unexpected keyword argument 'method'",
         lambda: ti.forward(15, method="nearest")),
        ("forward nothing", IT, "forward() missing required argument 'x'", lambda: ti.forward()),
        ("inverse nothing", IT, "inverse() missing required argument 'f'", lambda: ti.inverse(method="ffill")),
    ]:
        expect_raise(f"Table {label}", kind, message, call)

    # queries that are refused, each kind, and the first failure in index order
    tt = Table(np.array(["2024-01-01", "2024-01-02", "2024-01-04"], "M8[ns]"), np.array([0.0, 24.0, 72.0]))
    clock = Table([0, 1000], np.array([0, 10], "m8[s]"))
    for label, kind, message, call in [
        ("negative", IV, "x[1] = -1 is negative; coordinates are uint64", lambda: ti.forward(np.array([15, -1], I))),
        ("negative scalar", IV, "x = -3 is negative; coordinates are uint64", lambda: ti.forward(-3)),
        ("too large", IV, "x = 18446744073709551616 does not fit uint64", lambda: ti.forward(2 ** 64)),
        ("too large in a list", IV, "x[1] = 18446744073709551616 does not fit uint64",
         lambda: ti.forward([15, 2 ** 64])),
        ("2-D index", IV, "x[1, 1] = -4 is negative; coordinates are uint64", lambda: ti.forward([[15, 16], [17, -4]])),
        ("int64 too large", IV, "f[0] = 9223372036854775808 does not fit int64",
         lambda: ti.inverse(np.array([2 ** 63], U))),
        ("inexact", IV, "f[0] = 9007199254740993 has no exact float64 value",
         lambda: tf.inverse(np.array([2 ** 53 + 1], I))),
        ("float for ints", IT, "x[0]: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got float",
         lambda: ti.forward([1.0])),
        ("float64 for ints", IT, "x: expected integers from 0 to 2**64 - 1 (the table's xp is uint64), got float64",
         lambda: ti.forward(np.array([1.0]))),
        ("bool", IT, None, lambda: ti.forward(True)),
        ("None in a list", IT, None, lambda: ti.forward([15, None])),
        ("str", IT, None, lambda: ti.forward("15")),
        ("void", IT, None, lambda: ti.forward(np.zeros(2, "V8"))),
        ("object", IT, None, lambda: ti.forward(object())),
        ("ragged", IV, "x could not be read as an array: ...", lambda: ti.forward([[1, 2], [3]])),
        ("longdouble", IT, None, lambda: tf.inverse(np.array([1], np.longdouble))),
        ("complex", IT, None, lambda: tf.inverse(np.array([1j]))),
        ("float16 for ints", IT, None, lambda: ti.inverse(np.array([1], np.float16))),
        ("lookup before refusal", T.OutOfBoundsError, "x[1] = 99 is outside the table [10, 30]",
         lambda: ti.forward(np.array([15, 99, -1], I))),
        ("refusal before lookup", IV, "x[1] = -1 is negative; coordinates are uint64",
         lambda: ti.forward(np.array([15, -1, 99], I))),
        ("out of bounds", T.OutOfBoundsError, "x[1] = 35 is outside the table [10, 30]", lambda: ti.forward([15, 35])),
        ("empty table", T.OutOfBoundsError, "x = 1 is outside the table, which is empty",
         lambda: Table(np.array([], U), np.array([], I)).forward(1, outside="clamp")),
        ("empty table inverse", T.OutOfBoundsError, None,
         lambda: Table(np.array([], U), np.array([], F)).inverse(NAN, "nearest")),
        ("not found", T.NotFoundError,
         "f[1] = 101 falls between fp[0] = 100 and fp[1] = 200, at a coordinate that is not whole; "
         "method='nearest', 'ffill' or 'bfill' picks one", lambda: ti.inverse([100, 101])),
        ("ffill below", T.OutOfBoundsError,
         "f = 99 is outside the table [100, 400]; method='ffill' extends it only above", lambda: ti.inverse(99, "ffill")),
        ("bfill above", T.OutOfBoundsError,
         "f = 401 is outside the table [100, 400]; method='bfill' extends it only below",
         lambda: ti.inverse(401, "bfill")),
        ("inverse above", T.OutOfBoundsError, "f = 401.0 is outside the table [100.0, 400.0]",
         lambda: tf.inverse(401.0)),
        ("xp descent", T.NotIncreasingError,
         "xp must be strictly increasing for forward queries, but xp[2] = 5 follows xp[1] = 5",
         lambda: Table([0, 5, 5], [1, 2, 3]).forward(1)),
        ("fp nan", T.NotIncreasingError,
         "fp must be strictly increasing for inverse queries, but fp[1] = nan follows fp[0] = 1.0",
         lambda: Table([0, 5, 6], [1.0, NAN, 3.0]).inverse(1.0)),
        ("inf sample", T.NonFiniteError,
         "x[2] = 7 falls between xp[1] = 5 and xp[2] = 9, and fp[1] = inf is not finite",
         lambda: Table([0, 5, 9], [1.0, INF, 3.0]).forward([0, 5, 7])),
        ("-inf sample", T.NonFiniteError,
         "f[1] = 1.0 falls between fp[0] = -inf and fp[1] = 3.0, and fp[0] = -inf is not finite",
         lambda: Table([0, 5], [-INF, 3.0]).inverse([3.0, 1.0])),
        ("nan query", T.NonFiniteError, "f[1] = nan is not a number", lambda: tf.inverse([150.0, NAN], "nearest")),
        ("single nan sample", T.NonFiniteError, "f = 1.0 cannot be looked up: the only sample, fp[0], is nan",
         lambda: Table([3], [NAN]).inverse(1.0)),
        ("time not whole", IV,
         "x[0] = 2024-01-01T00:00:00.000000001 is not a whole number of the table's unit (datetime64[us])",
         lambda: Table(np.array(["2024-01-01", "2024-01-02"], "M8[us]"), [0, 1]).forward(
             np.array(["2024-01-01T00:00:00.000000001"], "M8[ns]"))),
        ("NaT", IV, "x is NaT", lambda: tt.forward(np.datetime64("NaT"))),
        ("NaT of the generic unit", IV, "x[0] is NaT", lambda: tt.forward(np.array(["NaT"], "M8"))),
        ("time range", IV, None, lambda: tt.forward(np.array([10 ** 16], "M8[D]"))),
        ("timedelta for datetime", IT, "x: expected datetime64[ns] values (the table's xp axis), got timedelta64[s]",
         lambda: tt.forward(np.array([1], "m8[s]"))),
        ("int for datetime", IT, "x: expected datetime64[ns] values (the table's xp axis), got int",
         lambda: tt.forward(5)),
        ("fill not whole", IV, "outside = 5001 milliseconds is not a whole number of the table's unit (timedelta64[s])",
         lambda: clock.forward([100, 2000], outside=np.timedelta64(5001, "ms"))),
        ("huge batch", MemoryError, None, lambda: ti.forward(huge_u64)),
        ("huge converting batch", MemoryError, None, lambda: ti.forward(huge_u8, outside="clamp", workers=2)),
        ("huge inverse batch", MemoryError, None, lambda: tf.inverse(np.broadcast_to(F(1.5), (2 ** 44,)), "nearest")),
        ("huge masked batch", MemoryError, None, lambda: ti.forward(np.ma.masked_array(huge_u64, mask=False))),
    ]:
        expect_raise(f"Table {label}", kind, message, call)

    # masks, and time units
    mq = np.ma.masked_array(np.array([[15, 99], [25, 2 ** 63]], U), mask=[[0, 1], [0, 1]])
    answer("masked", np.ma.masked_array(np.array([[150, 0], [300, 0]], I), mask=mq.mask), ti.forward, mq, workers=2)
    expect_raise("masked failing", T.OutOfBoundsError, "x[1, 1] = 99 is outside the table [10, 30]", ti.forward,
                 np.ma.masked_array([[15, 16], [25, 99]], mask=[[0, 1], [0, 0]]))
    answer("masked constant", np.ma.masked, ti.forward, np.ma.masked)
    answer("masked constant inverse", np.ma.masked, tf.inverse, np.ma.masked, "nearest")
    answer("masked, no mask", np.ma.masked_array(np.array([150, 300], I), mask=[0, 0]), ti.forward,
           np.ma.masked_array(np.array([15, 25], U)))
    answer("masked inverse", np.ma.masked_array(np.array([15, 0], U), mask=[0, 1]), tf.inverse,
           np.ma.masked_array([150.0, NAN], mask=[0, 1]))
    answer("time forward", np.array([6.0, 48.0]), tt.forward, np.array(["2024-01-01T06", "2024-01-03"], "M8[h]"))
    answer("time scalar", F(6.0), tt.forward, np.datetime64("2024-01-01T06", "h"))
    answer("time inverse", np.array(["2024-01-01T06", "2024-01-03"], "M8[ns]"), tt.inverse, [6.0, 48.0])
    answer("time inverse clamps", np.datetime64("2024-01-04", "ns"), tt.inverse, 100.0, "nearest")
    answer("time values", np.timedelta64(1, "s"), clock.forward, 100)
    answer("time values inverse", np.array([200], U), clock.inverse, np.array([2000], "m8[ms]"))
    answer("time fill NaT", np.array([1, "NaT"], "m8[s]"), clock.forward, [100, 2000], outside=np.timedelta64("NaT"))
    answer("time fill other unit", np.array([1, 5], "m8[s]"), clock.forward, [100, 2000],
           outside=np.timedelta64(5000, "ms"))

    # large batches: split across threads, and the partitioned route of a
    # table beyond 2^19 entries (each of two workers partitions its range
    # from 2^18 queries on); linear tables, exact in binary64 too
    n = (1 << 19) + 5
    big_xp = np.arange(n, dtype=U) * U(40)
    big_fpi = np.arange(n, dtype=I) * 3 - 1000
    big_fpf = np.arange(n, dtype=F) * 0.5 - 100.0
    bi = Table(big_xp.astype(np.uint32), big_fpi)  # converted on the way in
    bf = Table(big_xp, big_fpf)
    rng = np.random.default_rng(17)
    m = 300_000 if small else 600_000
    qx = rng.integers(0, int(big_xp[-1]), size=m, dtype=U, endpoint=True)
    qi = rng.integers(int(big_fpi[0]), int(big_fpi[-1]), size=m, dtype=I, endpoint=True)
    qf = rng.uniform(big_fpf[0], big_fpf[-1], size=m)
    want_x, want_i, want_f = fi(qx, big_xp, big_fpi), ii(qi, big_xp, big_fpi, "nearest"), iff(qf, big_xp, big_fpf, "ffill")
    for workers in (1, 2):
        answer(f"large forward w{workers}", want_x, bi.forward, qx, workers=workers)
        answer(f"large forward int64 w{workers}", want_x, bi.forward, qx.astype(I), workers=workers)
        answer(f"large inverse w{workers}", want_i, bi.inverse, qi, "nearest", workers=workers)
        answer(f"large inverse float w{workers}", want_f, bf.inverse, qf, "ffill", workers=workers)
    answer("large forward sorted", fi(np.sort(qx), big_xp, big_fpi), bi.forward, np.sort(qx), workers=-1)
    answer("large forward_float", ff(qx, big_xp, big_fpf), bf.forward, qx, workers=2)
    mask = rng.random(m) < 0.25
    answer("large masked", np.ma.masked_array(want_x.view(I), mask=mask), bi.forward,
           np.ma.masked_array(np.where(mask, U(2 ** 63), qx), mask=mask), workers=2)
    for at in (m // 3, 2 * m // 3):
        bad = qx.copy()
        bad[at] = big_xp[-1] + U(1)
        bad[-1] = big_xp[-1] + U(2)
        expect_raise(f"large failing at {at}", T.OutOfBoundsError, f"x[{at}] = ...", bi.forward, bad, workers=2)
    expect_raise("large failing inverse", T.NonFiniteError, f"f[{m - 7}] = nan is not a number", bf.inverse,
                 np.concatenate([qf[:-7], [NAN] * 7]), "nearest", workers=2)

    # injected faults: fewer threads, the same answers; without the calling
    # thread's buffers, MemoryError; the next batch has them again
    for threads, buffers, workers, outcome in [(1, 0, 2, "same"), (3, 0, 4, "same"), (0, 1, 2, "same"),
                                               (2, 2, 4, "same"), (0, 2, 2, "memory"), (0, 1, 1, "memory")]:
        T._inject_faults(threads, buffers)
        try:
            if outcome == "same":
                answer(f"faults {threads}/{buffers}", want_x, bi.forward, qx, workers=workers)
            else:
                expect_raise(f"faults {threads}/{buffers}", MemoryError, None, bi.forward, qx, workers=workers)
        finally:
            T._inject_faults(0, 0)
    answer("after faults", want_x, bi.forward, qx, workers=2)
    expect_raise("inject faults type", TypeError, None, T._inject_faults, "a", 1)

    # the object: attributes, copies, pickles (tampered ones refused)
    for label, t in [("int", ti), ("float", tf), ("time", tt), ("time values", clock), ("large", bi),
                     ("empty", Table(np.array([], U), np.array([], I)))]:
        counts["cases"] += 1
        if not (copy.copy(t) is t and copy.deepcopy(t) is t and len(t) == len(t.xp) == len(t.fp)
                and isinstance(repr(t), str) and t.__sizeof__() > 0 and not t.xp.flags.writeable):
            fail(f"Table object {label}", repr(t))
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            again = pickle.loads(pickle.dumps(t, protocol))
            answer(f"pickled {label} xp {protocol}", t.xp, lambda: again.xp)
            answer(f"pickled {label} fp {protocol}", t.fp, lambda: again.fp)
    expect_raise("xp written", ValueError, None, ti.xp.__setitem__, 0, 1)
    expect_raise("xp set", AttributeError, None, setattr, ti, "xp", xp)
    kept = Table(xp, fpi).fp  # the array keeps its table alive
    gc.collect()
    answer("axis outlives its table", fpi, lambda: kept.copy())
    for args, kind in [((np.array([1, 2], U), np.array([1], I)), IV), ((np.array([-1, 2]), np.array([1, 2])), IV),
                       ((np.array([1, 2], U),), IT), ((1, 2, 3), IT), ((np.array([1, 2], U), np.array(["a", "b"])), IT)]:
        expect_raise(f"tampered pickle {args!r:.40}", kind, None, pickle.loads, pickle.dumps(Forged(Table, *args)))

    # columns of Arrow producers and pandas, where installed: read in place, in chunks, with their nulls
    try:
        import pandas as pd
        import polars as pl
        import pyarrow as pa
    except ImportError:
        pa = None
    if pa is not None:
        q = np.array([15, 25, 10, 30, 12], U)
        want = fi(q, xp, fpi)
        nulls = np.array([False, True, False, False, True])
        padded = np.concatenate([np.zeros(3, U), q])
        for label, column in [("pyarrow", pa.array(q)), ("pyarrow sliced", pa.array(padded).slice(3)),
                              ("pyarrow chunked", pa.chunked_array([q[:2], q[2:2], q[2:]])),
                              ("polars", pl.Series("q", q)), ("pandas", pd.Series(q))]:
            answer(f"column {label}", want, lambda: np.asarray(ti.forward(column)))
        valid = {pa.Array: lambda r: r.filter(r.is_valid()).to_numpy(), pl.Series: lambda r: r.drop_nulls().to_numpy(),
                 pd.Series: lambda r: r.dropna().to_numpy("int64")}
        for label, column in [
                ("pyarrow nulls", pa.array(q, mask=nulls)),
                ("pyarrow nulls sliced", pa.array(padded, mask=np.concatenate([[False] * 3, nulls])).slice(3)),
                ("polars nulls", pl.Series("q", pa.array(q, mask=nulls))),
                ("pandas nulls", pd.Series(pd.arrays.IntegerArray(q, nulls)))]:
            answer(f"column {label}", want[~nulls], lambda: valid[type(column) if type(column) in valid else pa.Array](
                ti.forward(column)))
        answer("Table from columns", fpi, lambda: Table(pa.chunked_array([xp[:1], xp[1:]]), pl.Series(fpi)).fp)
        expect_raise("column null sample", IV, "xp[1] is null", Table, pa.array(xp, mask=nulls[:3]), fpi)
        expect_raise("column out of bounds", T.OutOfBoundsError, "x[1] = 99 is outside the table [10, 30]",
                     ti.forward, pa.chunked_array([[15], [99]], pa.uint64()))
        expect_raise("column string", IT, None, ti.forward, pa.array(["a"]))

    # threads sharing the tables
    bad = []

    def work(k):
        for _ in range(2):
            if not same_answer(np, bi.forward(qx, workers=2), want_x):
                bad.append(k)
            try:
                tf.inverse([150.0, NAN])
            except T.NonFiniteError:
                pass
            else:
                bad.append(-k)

    in_threads("Table threads", work, bad)




def interrupted(rust, table, np):
    """A call stopped by a signal handler's exception releases everything:
    a function's, and a table's on one thread and split across two."""
    if not CPYTHON or not hasattr(signal, "setitimer"):
        return

    class Stop(Exception):
        pass

    armed = [True]

    def handler(signum, frame):
        if armed[0]:
            raise Stop()

    xp, fp = np.array([0, 10, 20], np.uint64), np.array([0.0, 5.5, 9.25])
    queries = np.broadcast_to(np.float64(7.3), (8 << 20,))
    t = table.Table(xp, fp)
    for label, call in [("function", lambda: rust.inverse_float(queries, xp, fp, "nearest")),
                        ("table", lambda: t.inverse(queries, "nearest")),
                        ("table split", lambda: t.inverse(queries, "nearest", workers=2))]:
        # the handler stays installed, disarmed, after the call, and then the
        # signal is ignored: under valgrind the alarm may be delivered late,
        # even after the interpreter has put the default action (ending the
        # process) back at exit
        armed[0] = True
        signal.signal(signal.SIGALRM, handler)
        try:
            try:
                signal.setitimer(signal.ITIMER_REAL, 0.001)
                r = call()
            finally:
                armed[0] = False
                signal.setitimer(signal.ITIMER_REAL, 0)
        except Stop:
            counts["interrupted"] = counts.get("interrupted", 0) + 1
        else:
            # the signal came after the call
            if r.shape != (8 << 20,):
                fail(f"interrupt {label}", "wrong result length")
        signal.signal(signal.SIGALRM, signal.SIG_IGN)
        counts["cases"] += 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module", default=os.environ.get("QUORVANE_MODULE"))
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--small", action="store_true")
    opts = parser.parse_args()
    rust_path, table_path = module_paths(opts.module)
    rust = load("rust", rust_path)
    numpy_unavailable(rust, table_path)
    import numpy as np

    table = load("_table", table_path)
    stand_in(rust, table)
    for _ in range(opts.repeat):
        run_cases(rust, np, opts.small)
        run_table_cases(rust, table, np, opts.small)
        interrupted(rust, table, np)
        gc.collect()
    where = f"{rust.__file__}, {table.__file__}"
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
