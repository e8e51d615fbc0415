#!/usr/bin/env python3
"""Speed and memory of ``quorvane.rust`` against ``numpy.interp`` and
``np.searchsorted``, measured in the same process on the same data.

    python benchmarks/bench.py                 # full run, a few minutes
    python benchmarks/bench.py --quick         # tiny sizes, checks answers
    python benchmarks/bench.py --plot out.png  # also plot ns/query vs size
    python benchmarks/bench.py --json out.json # also dump the numbers

Times are the minimum over several interleaved repetitions (quorvane and
numpy take turns on the same arrays), so a noisy shared machine mostly
inflates the maxima, not the reported numbers.  ``--quick`` never judges
times: it checks that every scenario's answers agree with an independent
computation (exact Python integers and fractions) and exits non-zero if
one does not.
"""

from __future__ import annotations

import argparse
import bisect
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import timeit
from fractions import Fraction

import numpy as np

import table_bench

FUNCS = ("forward_int", "forward_float", "inverse_int", "inverse_float")
KIB = 1024

# Targets for the ratio quorvane / numpy.interp, keyed by (order, entries).
RATIO_TARGETS = {
    ("random", 64): 0.30,
    ("random", 65_536): 0.20,
    ("random", 16_777_216): 0.10,
    ("sorted", 64): 3.0,
    ("sorted", 65_536): 3.0,
    ("sorted", 16_777_216): 0.50,
}
PERCALL_TARGET = 0.30  # one query on two samples, vs numpy.interp
PREP_TARGET = 1.2  # one query on a big table, vs xp.copy(); fp.copy()
# The functions on the largest table, 1,000,000 queries: random ones against
# Table(xp, fp) and one call of it, sorted ones against xp.copy(); fp.copy()
# and a prepared Table's call (the same work: copy, check, search, answer).
ENGINE_TARGET = 1.15
# peak extra <= result + one copy of the table + this: the engine's scratch
# ceiling (a chunk's partition and the summary; src/batch.hpp scratch_ceiling)
MEM_SLACK = 32 * 1024 * KIB
# A scenario that misses a target is timed again after a pause, at most this
# many more times (full mode only).
RETRIES = 2
RETRY_PAUSE = 10.0  # seconds

FULL = dict(
    sizes=(64, 65_536, 16_777_216), queries=1_000_000, prep_size=4_194_304,
    mem_size=4_194_304, mem_queries=1_000_000, repeats=7, min_time=0.05,
    mem_large=(16_777_216, 16_777_216),
    percall_min_time=0.05,
)
QUICK = dict(
    sizes=(64, 4096), queries=10_000, prep_size=4096,
    mem_size=4096, mem_queries=10_000, repeats=2, min_time=0.002,
    mem_large=(65_536, 300_000),
    percall_min_time=0.002,
)


# ---------------------------------------------------------------------------
# The module under test, or a NumPy stand-in for developing this script.

class KeyErrorNotFound(KeyError):
    pass


class StandIn:
    """A slow NumPy/Python stand-in with the module's interface, used only
    with the hidden ``--stand-in`` flag while the extension is not built.
    Exact (Python integers) for small inputs, approximate for large ones.
    ``bad=True`` corrupts a few answers, to see that ``--quick`` notices."""

    EXACT_LIMIT = 50_000

    def __init__(self, bad: bool = False) -> None:
        self.bad = bad

    @staticmethod
    def _prep(xp, fp, increasing_name):
        xp = np.ascontiguousarray(xp)
        fp = np.ascontiguousarray(fp)
        if xp.ndim != 1 or xp.shape != fp.shape or xp.size < 2:
            raise ValueError("xp and fp must be 1-D of the same length >= 2")
        keys = xp if increasing_name == "xp" else fp
        if not bool((keys[1:] > keys[:-1]).all()):
            raise ValueError(f"{increasing_name} must be strictly increasing")
        return xp, fp

    def _spoil(self, out):
        if self.bad and out.size > 3:
            out[out.size // 3] += 1
        return out

    def forward_int(self, x, xp, fp):
        xp, fp = self._prep(xp, fp, "xp")
        x = np.ascontiguousarray(x, dtype=np.uint64)
        if x.size and (x.min() < xp[0] or x.max() > xp[-1]):
            raise IndexError("x out of range")
        if x.size <= self.EXACT_LIMIT and xp.size <= self.EXACT_LIMIT:
            xl, xpl, fpl = x.tolist(), xp.tolist(), fp.tolist()
            n = len(xpl)
            out = []
            for v in xl:
                i = bisect.bisect_right(xpl, v) - 1
                if i >= n - 1:
                    out.append(fpl[-1])
                    continue
                out.append(fpl[i] + (fpl[i + 1] - fpl[i]) * (v - xpl[i])
                           // (xpl[i + 1] - xpl[i]))
            return self._spoil(np.array(out, dtype=np.int64))
        r = np.interp(x, xp, fp.astype(np.float64))
        return np.floor(r).astype(np.int64)

    def forward_float(self, x, xp, fp):
        xp, fp = self._prep(xp, fp, "xp")
        x = np.ascontiguousarray(x, dtype=np.uint64)
        if x.size and (x.min() < xp[0] or x.max() > xp[-1]):
            raise IndexError("x out of range")
        if x.size <= self.EXACT_LIMIT and xp.size <= self.EXACT_LIMIT:
            xpl = xp.tolist()
            fpf = [Fraction(v) for v in fp.tolist()]
            out = [float(_forward_float_exact(xpl, fpf, v)) for v in x.tolist()]
            return self._spoil(np.array(out, dtype=np.float64))
        return np.interp(x, xp, fp)

    def _inverse(self, f, xp, fp, method, dtype):
        xp, fp = self._prep(xp, fp, "fp")
        f = np.ascontiguousarray(f, dtype=dtype)
        if method not in (None, "nearest", "ffill", "bfill"):
            raise ValueError(f"unknown method {method!r}")
        lo, hi = fp[0], fp[-1]
        if f.size and (f.min() < lo or f.max() > hi):
            if method is None:
                raise KeyErrorNotFound("f not found")
            f = np.clip(f, lo, hi)
        if f.size <= self.EXACT_LIMIT and xp.size <= self.EXACT_LIMIT:
            conv = int if dtype == np.int64 else Fraction
            fl = [conv(v) for v in f.tolist()]
            xpl = xp.tolist()
            fpl = [conv(v) for v in fp.tolist()]
            n = len(xpl)
            out = []
            for v in fl:
                i = bisect.bisect_right(fpl, v) - 1
                if i >= n - 1:
                    out.append(xpl[-1])
                    continue
                exact = xpl[i] + Fraction((v - fpl[i]) * (xpl[i + 1] - xpl[i])) \
                    / (fpl[i + 1] - fpl[i])
                fl_, ce_ = math.floor(exact), math.ceil(exact)
                if method is None:
                    if fl_ != ce_:
                        raise KeyErrorNotFound("f not found")
                    out.append(fl_)
                elif method == "ffill":
                    out.append(fl_)
                elif method == "bfill":
                    out.append(ce_)
                else:
                    out.append(fl_ if exact - fl_ <= Fraction(1, 2) else ce_)
            return self._spoil(np.array(out, dtype=np.uint64))
        r = np.interp(f.astype(np.float64), fp.astype(np.float64), xp)
        r = np.clip(np.rint(r), 0, 2.0 ** 64 - 4096)
        return r.astype(np.uint64)

    def inverse_int(self, f, xp, fp, method=None):
        return self._inverse(f, xp, fp, method, np.int64)

    def inverse_float(self, f, xp, fp, method=None):
        return self._inverse(f, xp, fp, method, np.float64)


def load_module(args):
    if getattr(args, "stand_in", None):
        return StandIn(bad=args.stand_in == "bad"), "stand-in (NumPy)"
    import quorvane.rust as rust  # noqa: PLC0415

    version = getattr(sys.modules.get("quorvane"), "__version__", "?")
    return rust, f"quorvane {version} ({getattr(rust, '__file__', '?')})"


# ---------------------------------------------------------------------------
# Data.

class Table:
    """xp (uint64) strictly increasing; fp_i (int64) and fp_f (float64) are
    strictly increasing too, so the same table serves the inverse functions
    with the value axis as keys."""

    def __init__(self, xp, fp_i, fp_f):
        self.xp, self.fp_i, self.fp_f = xp, fp_i, fp_f
        self.n = len(xp)

    @property
    def nbytes_int(self):
        return self.xp.nbytes + self.fp_i.nbytes

    @property
    def nbytes_float(self):
        return self.xp.nbytes + self.fp_f.nbytes


def _strictly_increasing(a) -> bool:
    step = 1 << 22
    n = len(a)
    for s in range(0, n - 1, step):
        e = min(n, s + step + 1)
        if not bool((a[s + 1:e] > a[s:e - 1]).all()):
            return False
    return True


def make_table(n: int, rng, kind: str = "wide") -> Table:
    """Build a table without large temporaries (the 16M one is 3 x 128 MiB)."""
    if kind == "extreme" and n == 2:
        xp = np.array([0, 2 ** 64 - 1], dtype=np.uint64)
        fp_i = np.array([-(2 ** 63), 2 ** 63 - 1], dtype=np.int64)
        fp_f = np.array([-1.5e10, 2.5e10], dtype=np.float64)
        return Table(xp, fp_i, fp_f)
    if kind == "narrow":
        # Small gaps: slopes from 1/8 to 8, many whole coordinates.
        xp = rng.integers(1, 8, size=n, dtype=np.uint64, endpoint=True)
        xp[0] = rng.integers(0, 1000)
        np.cumsum(xp, out=xp)
        fp_i = rng.integers(1, 8, size=n, dtype=np.int64, endpoint=True)
        fp_i[0] = rng.integers(-1000, 1000)
        np.cumsum(fp_i, out=fp_i)
        fp_f = rng.uniform(0.125, 8.0, size=n)
        fp_f[0] = rng.uniform(-100.0, 100.0)
        np.cumsum(fp_f, out=fp_f)
    else:
        # Gaps spread over most of uint64 / int64.
        gx = (2 ** 64 - 1) // (n + 1)
        xp = rng.integers(1, gx, size=n, dtype=np.uint64, endpoint=True)
        xp[0] = rng.integers(0, gx, dtype=np.uint64)
        np.cumsum(xp, out=xp)
        gf = (2 ** 63) // (n + 1)
        fp_i = rng.integers(1, gf, size=n, dtype=np.int64, endpoint=True)
        fp_i[0] = -(2 ** 62)
        np.cumsum(fp_i, out=fp_i)
        fp_f = rng.uniform(0.25, 1.75, size=n)
        np.cumsum(fp_f, out=fp_f)
        fp_f *= 1e3
        fp_f -= fp_f[n // 2]
    for name, a in (("xp", xp), ("fp_i", fp_i), ("fp_f", fp_f)):
        if not _strictly_increasing(a):
            raise RuntimeError(f"generated {name} is not strictly increasing")
    return Table(xp, fp_i, fp_f)


class Queries:
    def __init__(self, x, f_i, f_f):
        self.x, self.f_i, self.f_f = x, f_i, f_f

    def sorted(self) -> "Queries":
        return Queries(np.sort(self.x), np.sort(self.f_i), np.sort(self.f_f))


def make_queries(t: Table, m: int, rng) -> Queries:
    x = rng.integers(int(t.xp[0]), int(t.xp[-1]), size=m, dtype=np.uint64,
                     endpoint=True)
    f_i = rng.integers(int(t.fp_i[0]), int(t.fp_i[-1]), size=m, dtype=np.int64,
                       endpoint=True)
    f_f = rng.uniform(float(t.fp_f[0]), float(t.fp_f[-1]), size=m)
    np.clip(f_f, t.fp_f[0], t.fp_f[-1], out=f_f)
    if m >= 2:  # include both ends of the table
        x[0], x[-1] = t.xp[0], t.xp[-1]
        f_i[0], f_i[-1] = t.fp_i[0], t.fp_i[-1]
        f_f[0], f_f[-1] = t.fp_f[0], t.fp_f[-1]
        rng.shuffle(x)
        rng.shuffle(f_i)
        rng.shuffle(f_f)
    return Queries(x, f_i, f_f)


def candidates(q, t: Table, qs: Queries, prepared=None):
    """The calls timed in a scenario, all on the same arrays (and, given a
    prepared table of t's xp and fp_i, its forward call too)."""
    xp, fp_i, fp_f = t.xp, t.fp_i, t.fp_f
    x, f_i, f_f = qs.x, qs.f_i, qs.f_f
    extra = {"Table.forward": lambda: prepared.forward(x)} if prepared is not None else {}
    return {**extra,
        "forward_int": lambda: q.forward_int(x, xp, fp_i),
        "forward_float": lambda: q.forward_float(x, xp, fp_f),
        "inverse_int": lambda: q.inverse_int(f_i, xp, fp_i, method="nearest"),
        "inverse_float": lambda: q.inverse_float(f_f, xp, fp_f, method="nearest"),
        "numpy.interp": lambda: np.interp(x, xp, fp_f),
        "searchsorted": lambda: np.searchsorted(xp, x),
    }


def prepared_module():
    """The package with its prepared table, or None (the stand-in has none)."""
    try:
        import quorvane  # noqa: PLC0415

        return quorvane if hasattr(quorvane, "Table") else None
    except ImportError:
        return None


def _copier(xp, fp):
    return lambda: (xp.copy(), fp.copy())


# ---------------------------------------------------------------------------
# Timing.

def _calibrate(timer, min_time):
    """Calls per timed batch so that a batch lasts about min_time; the first
    (timed) call doubles as the warm-up."""
    number = 1
    while True:
        t = timer.timeit(number)
        if t >= min_time / 4 or number >= 10 ** 7:
            return max(1, int(math.ceil(number * min_time / max(t, 1e-9))))
        number *= 10


def time_interleaved(cands, repeats, min_time, rotating=FUNCS, medians=None):
    """Minimum seconds per call of each candidate; the candidates take turns
    so they all see the same machine conditions.  Given a dict `medians`,
    also stores each candidate's median there.

    The candidates named in `rotating` (the module's functions unless told
    otherwise) come first, in an order that rotates from one repetition to
    the next, then the others (the NumPy baselines).  On a virtual machine
    that hands freed memory back to its host (free page reporting), the
    first large allocation after a long pause (here: the seconds spent in
    NumPy's 16M-entry calls) faults its pages in from the host again; with
    the rotation that cost falls on each function in only some of the
    repetitions, and the minimum is what the function itself costs."""
    timers, numbers, errors = {}, {}, {}
    for name, fn in cands.items():
        try:
            timer = timeit.Timer(fn)
            numbers[name] = _calibrate(timer, min_time)
            timers[name] = timer
        except Exception as exc:  # keep benchmarking the others
            errors[name] = f"{type(exc).__name__}: {exc}"
    seen = {name: [] for name in timers}
    ours = [name for name in timers if name in rotating]
    others = [name for name in timers if name not in rotating]
    for r in range(repeats):
        k = r % max(1, len(ours))
        for name in ours[k:] + ours[:k] + others:
            seen[name].append(timers[name].timeit(numbers[name]) / numbers[name])
    gc.collect()
    if medians is not None:
        medians.update({name: statistics.median(v) for name, v in seen.items()})
    return {name: min(v) for name, v in seen.items()}, errors


def time_settled(cands, repeats, min_time, missed, quick, rotating=FUNCS):
    """time_interleaved, repeated after a pause while missed(best) says that
    a target is missed (at most RETRIES times, never in quick mode); every
    candidate keeps its minimum over all rounds, the baselines included.

    Other tenants of this shared machine load it in bursts that can last
    tens of seconds, longer than one scenario's repetitions; the pause gives
    a burst the chance to pass.  Returns (best, errors, rounds)."""
    best, errors = time_interleaved(cands, repeats, min_time, rotating)
    rounds = 1
    while not quick and rounds <= RETRIES and missed(best):
        time.sleep(RETRY_PAUSE)
        again, _ = time_interleaved(cands, repeats, min_time, rotating)
        best = {name: min(t, again.get(name, t)) for name, t in best.items()}
        rounds += 1
    return best, errors, rounds


def misses(target, base="numpy.interp"):
    """A predicate on `best`: some function's ratio to best[base] is above
    target(name)."""
    def missed(best):
        if base not in best:
            return False
        return any(best[f] / best[base] > target(f) for f in FUNCS if f in best)
    return missed


def print_rounds(rounds):
    if rounds > 1:
        print(f"{'':<{W}} (a target was missed: timed in {rounds} rounds, "
              f"{RETRY_PAUSE:g} s apart)")


# ---------------------------------------------------------------------------
# The functions against the same work done by a Table, on the largest table.

def print_pairs(title, best, med, rows, quick, printed, unit=1e-3, unit_name="ms"):
    """rows: (call, baseline or None, target or None).  Prints each call's
    minimum and median time and its ratio to the baseline's (minimum over
    minimum, median over median), judged on the minima."""
    out = []
    for call, base, target in rows:
        r_min = best[call] / best[base] if base else None
        r_med = med[call] / med[base] if base else None
        mark = "" if quick or target is None else ("PASS" if r_min <= target else "FAIL")
        tstr = "" if quick or target is None else f"<= {target:g}"
        ratios = f"{r_min:.3f} / {r_med:.3f}" if base else ""
        print(f"{title:<{W}} {call:<15} {best[call] / unit:>9.2f} {med[call] / unit:>9.2f} {unit_name:<3}"
              f" {ratios:>15} {(base or ''):<15} {tstr:<9} {mark}")
        out.append({"call": call, "min": best[call], "median": med[call], "ratio": r_min,
                    "ratio_median": r_med, "baseline": base, "target": target,
                    "pass": (mark == "PASS") if mark else None})
        title = ""
    printed.append(out)
    return out


def one_engine(q, qv, t, rng, cfg, quick, ck, out, printed):
    """forward_int and inverse_int against what a Table does with the same
    work: built and used once on random queries; copied (xp.copy();
    fp.copy()) beside a prepared Table's call on sorted queries."""
    qs = make_queries(t, cfg["queries"], rng)
    srt = qs.sorted()
    xp, fp = t.xp, t.fp_i
    prepared = qv.Table(xp, fp)
    if quick:
        for label, x, f in (("random", qs.x, qs.f_i), ("sorted", srt.x, srt.f_i)):
            table_bench.compare(ck, f"one engine, {label} forward", qv.Table(xp, fp).forward(x),
                                q.forward_int(x, xp, fp))
            table_bench.compare(ck, f"one engine, {label} inverse",
                                qv.Table(xp, fp).inverse(f, method="nearest"),
                                q.inverse_int(f, xp, fp, method="nearest"))
    cands = {
        "forward_int": lambda: q.forward_int(qs.x, xp, fp),
        "Table+forward": lambda: qv.Table(xp, fp).forward(qs.x),
        "inverse_int": lambda: q.inverse_int(qs.f_i, xp, fp, method="nearest"),
        "Table+inverse": lambda: qv.Table(xp, fp).inverse(qs.f_i, method="nearest"),
        "fwd, sorted": lambda: q.forward_int(srt.x, xp, fp),
        "copy+T.forward": lambda: (xp.copy(), fp.copy(), prepared.forward(srt.x)),
        "inv, sorted": lambda: q.inverse_int(srt.f_i, xp, fp, method="nearest"),
        "copy+T.inverse": lambda: (xp.copy(), fp.copy(), prepared.inverse(srt.f_i, method="nearest")),
    }
    rows = [("forward_int", "Table+forward", ENGINE_TARGET), ("inverse_int", "Table+inverse", ENGINE_TARGET),
            ("fwd, sorted", "copy+T.forward", ENGINE_TARGET), ("inv, sorted", "copy+T.inverse", ENGINE_TARGET),
            ("Table+forward", None, None), ("Table+inverse", None, None),
            ("copy+T.forward", None, None), ("copy+T.inverse", None, None)]
    med = {}
    best, errors = time_interleaved(cands, max(3, cfg["repeats"]), cfg["min_time"], rotating=cands,
                                    medians=med)
    for name, error in errors.items():
        raise RuntimeError(f"{name}: {error}")
    result = print_pairs(f"engine: {t.n:,} entries, {len(qs.x):,} q", best, med, rows, quick, printed)
    print(f"{'':<{W}} (times: minimum and median; ratios: of the minima / of the medians)")
    out["scenarios"].append({"name": "one engine", "entries": t.n, "queries": len(qs.x), "unit": "s",
                             "rows": result, "rounds": 1})


def where_time_goes(q, qv, t, rng, cfg, quick, out, printed):
    """A forward_int call of 1,000,000 random (then sorted) queries on the
    largest table, taken apart by calls that each do a part of its work:
    copying both axes (NumPy's copy), a call of one query (the copies and
    the check of xp), a prepared Table's call on exact hits (the search,
    no arithmetic) and on the queries themselves (search and answer).  The
    summary is what remains of the call (with the partition's own
    bookkeeping, and, for sorted queries, minus the overlap of the copy
    with the walk)."""
    qs = make_queries(t, cfg["queries"], rng)
    xp, fp = t.xp, t.fp_i
    prepared = qv.Table(xp, fp)
    one = xp[len(xp) // 2: len(xp) // 2 + 1] + np.uint64(1)
    hits = xp[rng.integers(0, len(xp), size=len(qs.x))]
    parts = {}
    for order in ("random", "sorted"):
        x = qs.x if order == "random" else np.sort(qs.x)
        h = hits if order == "random" else np.sort(hits)
        cands = {
            "call": lambda x=x: q.forward_int(x, xp, fp),
            "copy": lambda: (xp.copy(), fp.copy()),
            "copy+check": lambda: q.forward_int(one, xp, fp),
            "search": lambda h=h: prepared.forward(h),
            "search+answer": lambda x=x: prepared.forward(x),
        }
        med = {}
        best, errors = time_interleaved(cands, max(3, cfg["repeats"]), cfg["min_time"], rotating=cands,
                                        medians=med)
        for name, error in errors.items():
            raise RuntimeError(f"{name}: {error}")
        derived = {}
        for kind, times in (("min", best), ("median", med)):
            derived[kind] = {
                "copy": times["copy"],
                "check": times["copy+check"] - times["copy"],
                "summary": times["call"] - times["copy+check"] - times["search+answer"],
                "search": times["search"],
                "answer": times["search+answer"] - times["search"],
                "whole call": times["call"],
            }
        title = f"where a {t.n:,}-entry call goes, {order}"
        rows = []
        for part in ("copy", "check", "summary", "search", "answer", "whole call"):
            lo, mid = derived["min"][part], derived["median"][part]
            share = lo / derived["min"]["whole call"]
            print(f"{title:<{W}} {part:<15} {lo * 1e3:>9.2f} {mid * 1e3:>9.2f} ms  {share:>6.1%} of the call")
            rows.append({"part": part, "min": lo, "median": mid})
            title = ""
        parts[order] = rows
    print(f"{'':<{W}} (copy: xp.copy(); fp.copy(); check: a call of one query less the copy; search:")
    print(f"{'':<{W}}  a prepared Table on exact hits; answer: on the queries, less the search;")
    print(f"{'':<{W}}  summary: the rest of the call; minimum and median of each call, then differences)")
    printed.append(parts)
    out["scenarios"].append({"name": "where the time goes", "entries": t.n, "queries": len(qs.x),
                             "unit": "s", "rows": [], "parts": parts, "rounds": 1})


# ---------------------------------------------------------------------------
# Answer checks (quick mode; a light sanity check in full mode).

class Checker:
    def __init__(self):
        self.failures = []
        self.notes = []
        self.count = 0

    def expect(self, ok, what):
        self.count += 1
        if not ok:
            self.failures.append(what)
        return ok

    def run(self, what, fn):
        try:
            return fn()
        except Exception as exc:
            self.expect(False, f"{what}: raised {type(exc).__name__}: {exc}")
            return None


def _dtype_ok(ck, name, out, dtype, m):
    return ck.expect(
        isinstance(out, np.ndarray) and out.dtype == dtype and out.shape == (m,),
        f"{name}: expected a {np.dtype(dtype)} array of shape ({m},), got "
        f"{type(out).__name__} {getattr(out, 'dtype', '')} {getattr(out, 'shape', '')}")


def _sample(m, k, rng):
    if m <= k:
        return list(range(m))
    return sorted(rng.choice(m, size=k, replace=False).tolist())


def check_forward_int(ck, q, t, qs, label, rounding):
    m = len(qs.x)
    out = ck.run(f"{label} forward_int", lambda: q.forward_int(qs.x, t.xp, t.fp_i))
    if out is None or not _dtype_ok(ck, f"{label} forward_int", out, np.int64, m):
        return
    xpl, fpl = t.xp.tolist(), t.fp_i.tolist()
    n = len(xpl)
    bad = 0
    first = None
    for v, r in zip(qs.x.tolist(), out.tolist()):
        i = bisect.bisect_right(xpl, v) - 1
        if i >= n - 1:
            ok = r == fpl[-1]
            rounding["exact"] += 1
        else:
            span = xpl[i + 1] - xpl[i]
            qt, rem = divmod((fpl[i + 1] - fpl[i]) * (v - xpl[i]), span)
            lo = fpl[i] + qt
            if rem == 0:
                ok = r == lo
                rounding["exact"] += 1
            else:
                ok = r in (lo, lo + 1)
                up = r == lo + 1
                rounding["up" if up else "down"] += 1
                near = (2 * rem < span and not up) or (2 * rem > span and up) \
                    or 2 * rem == span
                rounding["nearest"] += near
        if not ok:
            bad += 1
            if first is None:
                first = (v, r)
    ck.expect(bad == 0, f"{label} forward_int: {bad}/{m} results are not the "
              f"exact value rounded up or down (first x={first})")
    knots = ck.run(f"{label} forward_int at knots",
                   lambda: q.forward_int(t.xp, t.xp, t.fp_i))
    if knots is not None:
        ck.expect(np.array_equal(knots, t.fp_i),
                  f"{label} forward_int(xp) != fp")


def _forward_float_exact(xpl, fpf, v):
    n = len(xpl)
    i = bisect.bisect_right(xpl, v) - 1
    if i >= n - 1:
        return fpf[-1]
    a, b = fpf[i], fpf[i + 1]
    return a + (b - a) * Fraction(v - xpl[i], xpl[i + 1] - xpl[i])


def check_forward_float(ck, q, t, qs, label, rng, stats):
    m = len(qs.x)
    out = ck.run(f"{label} forward_float",
                 lambda: q.forward_float(qs.x, t.xp, t.fp_f))
    if out is None or not _dtype_ok(ck, f"{label} forward_float", out, np.float64, m):
        return
    ref = np.interp(qs.x, t.xp, t.fp_f)
    scale = float(np.max(np.abs(t.fp_f))) + 1.0
    worst = float(np.max(np.abs(out - ref))) if m else 0.0
    ck.expect(worst <= 1e-9 * scale,
              f"{label} forward_float: differs from numpy.interp by {worst:g} "
              f"(values up to {scale:g})")
    xpl = t.xp.tolist()
    fpf = [Fraction(v) for v in t.fp_f.tolist()]
    xl, ol = qs.x.tolist(), out.tolist()
    n = len(xpl)
    bad = 0
    for j in _sample(m, 1500, rng):
        exact = _forward_float_exact(xpl, fpf, xl[j])
        stats["n"] += 1
        stats["correctly_rounded"] += ol[j] == float(exact)
        # Computed with a 64-bit significand, then rounded to float64:
        # allow two ulps of the segment's larger end.
        i = min(max(bisect.bisect_right(xpl, xl[j]) - 1, 0), n - 2)
        ends = max(abs(fpf[i]), abs(fpf[i + 1]))
        if abs(Fraction(ol[j]) - exact) > 2 * Fraction(math.ulp(float(ends))):
            bad += 1
    ck.expect(bad == 0, f"{label} forward_float: {bad} sampled results are "
              "more than two ulps (of the segment's ends) from the exact value")
    knots = ck.run(f"{label} forward_float at knots",
                   lambda: q.forward_float(t.xp, t.xp, t.fp_f))
    if knots is not None:
        ck.expect(np.array_equal(knots, t.fp_f), f"{label} forward_float(xp) != fp")


def _inverse_exact(xpl, fpl, v):
    """The exact (Fraction) coordinate of value v; fpl are ints or Fractions."""
    n = len(xpl)
    i = bisect.bisect_right(fpl, v) - 1
    if i >= n - 1:
        return Fraction(xpl[-1])
    return xpl[i] + Fraction((v - fpl[i]) * (xpl[i + 1] - xpl[i])) / (fpl[i + 1] - fpl[i])


def check_inverse(ck, q, t, qs, label, rng, kind):
    is_int = kind == "int"
    fn = q.inverse_int if is_int else q.inverse_float
    name = f"{label} inverse_{kind}"
    fp = t.fp_i if is_int else t.fp_f
    f = qs.f_i if is_int else qs.f_f
    m = len(f)
    outs = {}
    for method in ("nearest", "ffill", "bfill"):
        out = ck.run(f"{name} {method}",
                     lambda method=method: fn(f, t.xp, fp, method=method))
        if out is not None and _dtype_ok(ck, f"{name} {method}", out, np.uint64, m):
            outs[method] = out.tolist()
    xpl = t.xp.tolist()
    fpl = fp.tolist() if is_int else [Fraction(v) for v in fp.tolist()]
    fl = f.tolist()
    n = len(xpl)
    idx = range(m) if is_int else _sample(m, 1500, rng)
    bad = {k: 0 for k in outs}
    inconsistent = 0
    whole, not_whole = [], []
    half = Fraction(1, 2)
    for j in idx:
        v = fl[j] if is_int else Fraction(fl[j])
        exact = _inverse_exact(xpl, fpl, v)
        lo, hi = math.floor(exact), math.ceil(exact)
        if is_int:
            tol = 0
        else:
            # The float functions compute with a 64-bit significand: allow
            # a few units in the last place of the coordinate.
            i = min(max(bisect.bisect_right(fpl, v) - 1, 0), n - 2)
            tol = Fraction(xpl[i + 1] + (xpl[i + 1] - xpl[i]), 2 ** 61)
        got = {k: o[j] for k, o in outs.items()}
        if "nearest" in got and abs(got["nearest"] - exact) > half + tol:
            bad["nearest"] += 1
        if "ffill" in got and not (math.floor(exact - tol) <= got["ffill"]
                                   <= math.floor(exact + tol)):
            bad["ffill"] += 1
        if "bfill" in got and not (math.ceil(exact - tol) <= got["bfill"]
                                   <= math.ceil(exact + tol)):
            bad["bfill"] += 1
        if len(got) == 3:
            ff, nn, bf = got["ffill"], got["nearest"], got["bfill"]
            if not (ff <= nn <= bf and bf - ff <= 1):
                inconsistent += 1
            # Whether the coordinate is whole: exact for the int functions;
            # for the float ones, as the module itself sees it.
            is_whole = lo == hi if is_int else ff == bf
            (whole if is_whole else not_whole).append((j, ff if is_whole else lo))
    for method, b in bad.items():
        what = {"nearest": "not within 1/2 of", "ffill": "not the floor of",
                "bfill": "not the ceiling of"}[method]
        extra = "" if is_int else " (beyond a 64-bit-significand tolerance)"
        ck.expect(b == 0, f"{name} {method}: {b} results are {what} the exact "
                  f"coordinate{extra}")
    ck.expect(inconsistent == 0, f"{name}: {inconsistent} queries where not "
              "ffill <= nearest <= bfill <= ffill + 1")
    # Values whose coordinate is whole are found without a method; the
    # others raise KeyError.
    if whole:
        js = [j for j, _ in whole[:2000]]
        got = ck.run(f"{name} method=None on whole coordinates",
                     lambda: fn(f[js], t.xp, fp))
        if got is not None:
            ck.expect(got.tolist() == [x for _, x in whole[:2000]],
                      f"{name} method=None: wrong coordinates for exact hits")
    raised = 0
    for j, _ in not_whole[:10]:
        try:
            fn(f[j:j + 1], t.xp, fp)
        except KeyError:
            raised += 1
        except Exception as exc:
            ck.expect(False, f"{name} method=None on a non-whole coordinate "
                      f"raised {type(exc).__name__} instead of KeyError")
            raised = None
            break
    if raised is not None:
        k = len(not_whole[:10])
        ck.expect(raised == k, f"{name} method=None: {k - raised} of {k} "
                  "non-whole coordinates did not raise KeyError")
    # Round trip from coordinates: inverse(forward(x)) comes back to x, up to
    # the rounding of forward's value (times the coordinates per value unit
    # of the segments around x) and of the coordinate.
    fwd = q.forward_int if is_int else q.forward_float
    js = _sample(len(qs.x), 500, rng)
    xs = qs.x[js]
    g = ck.run(f"{name} round trip (forward)", lambda: fwd(xs, t.xp, fp))
    back = ck.run(f"{name} round trip", lambda: fn(g, t.xp, fp, method="nearest")) \
        if g is not None else None
    if back is not None:
        off = 0
        for xv, yv in zip(xs.tolist(), back.tolist()):
            i = min(bisect.bisect_right(xpl, xv) - 1, n - 2)
            per = max(Fraction(xpl[k + 1] - xpl[k]) / (fpl[k + 1] - fpl[k])
                      for k in range(max(0, i - 1), min(n - 1, i + 2)))
            if is_int:
                verr, tol = half, 0
            else:
                verr = 2 * Fraction(math.ulp(max(abs(fpl[i]), abs(fpl[i + 1]))))
                tol = Fraction(xpl[i + 1] + (xpl[i + 1] - xpl[i]), 2 ** 61)
            if abs(yv - xv) > half + tol + verr * per:
                off += 1
        ck.expect(off == 0, f"{name}: {off} of {len(js)} inverse(forward(x)) "
                  "are farther from x than the roundings allow")
    # Round trips through the knots.
    back = ck.run(f"{name} at knots", lambda: fn(fp, t.xp, fp))
    if back is not None:
        ck.expect(np.array_equal(back, t.xp), f"{name}(fp) != xp")
    there = ck.run(f"{name} round trip at knots",
                   lambda: fn(fwd(t.xp, t.xp, fp), t.xp, fp, method="nearest"))
    if there is not None:
        ck.expect(np.array_equal(there, t.xp), f"{name}(forward(xp)) != xp")
    # Monotone in the value.
    if "nearest" in outs and m > 1:
        order = np.argsort(f, kind="stable")
        res = np.asarray(outs["nearest"], dtype=np.uint64)[order]
        ck.expect(bool((res[1:] >= res[:-1]).all()),
                  f"{name} nearest: not monotone in f")


def check_errors(ck, q, t, label):
    xp = t.xp
    if int(xp[-1]) < 2 ** 64 - 1:
        above = np.array([int(xp[-1]) + 1], dtype=np.uint64)
        for name in ("forward_int", "forward_float"):
            fp = t.fp_i if name == "forward_int" else t.fp_f
            try:
                getattr(q, name)(above, xp, fp)
            except IndexError:
                ck.expect(True, "")
            except Exception as exc:
                ck.expect(False, f"{label} {name} past the table raised "
                          f"{type(exc).__name__}, not IndexError")
            else:
                ck.expect(False, f"{label} {name} past the table did not raise")
    if int(t.fp_i[-1]) < 2 ** 63 - 1:
        try:
            q.inverse_int(np.array([int(t.fp_i[-1]) + 1], dtype=np.int64), xp, t.fp_i)
        except KeyError:
            ck.expect(True, "")
        except Exception as exc:
            ck.expect(False, f"{label} inverse_int past the table raised "
                      f"{type(exc).__name__}, not KeyError")
        else:
            ck.expect(False, f"{label} inverse_int past the table did not raise")


def check_scenario(ck, q, t, qs, label, rng, stats):
    check_forward_int(ck, q, t, qs, label, stats["int_rounding"])
    check_forward_float(ck, q, t, qs, label, rng, stats["float_rounding"])
    check_inverse(ck, q, t, qs, label, rng, "int")
    check_inverse(ck, q, t, qs, label, rng, "float")
    check_errors(ck, q, t, label)


def sanity_full(q, t, qs, label):
    """Cheap plausibility check of the timed calls in full mode."""
    k = min(len(qs.x), 2000)
    x = qs.x[:k]
    msgs = []
    try:
        ref = np.interp(x, t.xp, t.fp_f)
        got = q.forward_float(x, t.xp, t.fp_f)
        scale = float(np.max(np.abs(t.fp_f))) + 1.0
        if not np.allclose(got, ref, rtol=0, atol=1e-9 * scale):
            msgs.append("forward_float disagrees with numpy.interp")
        gi = q.forward_int(x, t.xp, t.fp_i)
        ri = np.interp(x, t.xp, t.fp_i.astype(np.float64))
        if not np.allclose(gi.astype(np.float64), ri, rtol=1e-9,
                           atol=1e-9 * float(np.max(np.abs(t.fp_i)))):
            msgs.append("forward_int disagrees with numpy.interp")
    except Exception as exc:
        msgs.append(f"sanity check raised {type(exc).__name__}: {exc}")
    for m in msgs:
        print(f"  WARNING {label}: {m}")
    return msgs


# ---------------------------------------------------------------------------
# Peak extra memory, in a subprocess per measurement.

def _proc_status():
    out = {}
    with open("/proc/self/status") as fh:
        for line in fh:
            key, _, val = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(val.split()[0]) * KIB
    return out


def mem_child(job):
    """Runs in a fresh interpreter: build the data, then observe one call.

    Two observations of the call: the pages faulted in during it (exact,
    counts every buffer the call touched, whoever malloc'd it: an upper
    bound of its peak), and VmHWM (reset just before) minus VmRSS before.
    Transparent huge pages are switched off for this process so that a
    fault is one 4 KiB page, and malloc_trim(0) hands the setup's freed
    memory back first so the call cannot reuse it unseen."""
    import ctypes
    import resource

    libc = None
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(41, 1, 0, 0, 0)  # PR_SET_THP_DISABLE
    except (OSError, AttributeError):
        pass

    class A:
        stand_in = job.get("stand_in")

    q, _ = load_module(A)
    rng = np.random.default_rng(job["seed"])
    t = make_table(job["n"], rng)
    qs = make_queries(t, job["m"], rng)
    func = job["func"]
    small_t = make_table(4, rng)
    small_q = make_queries(small_t, 3, rng)
    warm = candidates(q, small_t, small_q)[func]
    call = candidates(q, t, qs)[func]
    warm()
    warm()
    page = resource.getpagesize()

    def observe(fn):
        gc.collect()
        if libc is not None:
            try:
                libc.malloc_trim(0)
            except AttributeError:
                pass
        hwm_ok = True
        try:
            with open("/proc/self/clear_refs", "w") as fh:
                fh.write("5")  # reset VmHWM to the current RSS
        except OSError:
            hwm_ok = False
        s0 = _proc_status()
        f0 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        gc.disable()
        res = fn()
        f1 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        s1 = _proc_status()
        gc.enable()
        nbytes = int(getattr(res, "nbytes", 0) or 0)
        return {
            "faulted": (f1 - f0) * page,
            "hwm": (s1["VmHWM"] - s0["VmRSS"]) if hwm_ok else None,
            "result": nbytes,
        }, res

    noop, _ = observe(lambda: None)
    noop2, _ = observe(lambda: None)
    got, res = observe(call)
    del res
    table = t.nbytes_float if func in ("forward_float", "inverse_float",
                                       "numpy.interp") else t.nbytes_int
    if func == "searchsorted":
        table = t.xp.nbytes
    got.update(func=func, n=job["n"], m=job["m"], table=table, page=page,
               noop=max(noop["faulted"], noop2["faulted"]))
    return got


def measure_memory(job, stand_in):
    job = dict(job, stand_in=stand_in)
    cmd = [sys.executable, os.path.abspath(__file__), "--mem-child", json.dumps(job)]
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    if p.returncode != 0:
        tail = (p.stderr or p.stdout).strip().splitlines()[-1:] or ["?"]
        return {"func": job["func"], "error": tail[0]}
    return json.loads(p.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# Reporting.

def _module_stamp(q):
    path = getattr(q, "__file__", None)
    try:
        return path, os.stat(path).st_mtime if path else None
    except OSError:
        return path, None


def _loadavg():
    try:
        with open("/proc/loadavg") as fh:
            return " ".join(fh.read().split()[:3])
    except OSError:
        return "n/a"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.lower().startswith(("model name", "hardware", "cpu model")):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine() or "unknown"


def fmt_ns(sec):
    ns = sec * 1e9
    if ns >= 100:
        return f"{ns:,.0f}"
    return f"{ns:.2f}" if ns < 10 else f"{ns:.1f}"


def fmt_bytes(b):
    if b is None:
        return "n/a"
    if abs(b) >= 1024 * KIB:
        return f"{b / (1024 * KIB):,.2f} MiB"
    return f"{b / KIB:,.1f} KiB"


W = 40  # width of the scenario column
HEADER = (f"{'scenario':<{W}} {'call':<15} {'ns/query':>12} {'/interp':>8} "
          f"{'/search':>8}  {'target':<9} mark")


def print_rows(title, per, best, errors, base, target, quick, results, denom_name=None):
    """per: divisor turning seconds per call into the printed unit."""
    interp = best.get(base) if base else None
    search = best.get("searchsorted")
    rows = []
    for name in list(best) + list(errors):
        if name in errors:
            print(f"{title:<{W}} {name:<15} error: {errors[name]}")
            rows.append({"call": name, "error": errors[name]})
            continue
        v = best[name] / per
        ratio = best[name] / interp if interp else None
        rs = best[name] / search if search and name != "searchsorted" else None
        tgt = target(name) if target else None
        mark = ""
        if tgt is not None and ratio is not None and not quick:
            mark = "PASS" if ratio <= tgt else "FAIL"
        tstr = f"<= {tgt:g}" if tgt is not None and not quick else ""
        print(f"{title:<{W}} {name:<15} {fmt_ns(v):>12} "
              f"{(f'{ratio:.3f}' if ratio is not None and name != base else ''):>8} "
              f"{(f'{rs:.3f}' if rs is not None else ''):>8}  {tstr:<9} {mark}")
        rows.append({"call": name, "ns": v * 1e9, "ratio": ratio,
                     "ratio_searchsorted": rs, "target": tgt,
                     "pass": (mark == "PASS") if mark else None})
        title = ""
    results.append(rows)
    return rows


# ---------------------------------------------------------------------------

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="tiny sizes; check answers instead of judging times")
    ap.add_argument("--plot", metavar="PATH", help="write a PNG of ns/query vs size")
    ap.add_argument("--json", metavar="PATH", help="dump the numbers as JSON")
    ap.add_argument("--repeat", type=int, help="timing repetitions (minimum taken)")
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--no-memory", action="store_true", help="skip the memory part")
    ap.add_argument("--stand-in", nargs="?", const="ok", help=argparse.SUPPRESS)
    ap.add_argument("--mem-child", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.mem_child:
        print(json.dumps(mem_child(json.loads(args.mem_child))))
        return 0

    cfg = dict(QUICK if args.quick else FULL)
    if args.repeat:
        cfg["repeats"] = max(1, args.repeat)
    quick = args.quick
    q, qname = load_module(args)
    rng = np.random.default_rng(args.seed)
    ck = Checker()
    stats = {"int_rounding": {"exact": 0, "down": 0, "up": 0, "nearest": 0},
             "float_rounding": {"n": 0, "correctly_rounded": 0}}
    out = {"meta": {}, "scenarios": [], "memory": [], "checks": {}}

    meta = {
        "module": qname,
        "numpy": np.__version__,
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "mode": "quick" if quick else "full",
        "repeats": cfg["repeats"],
        "load_start": _loadavg(),
    }
    out["meta"] = meta
    print(f"module : {qname}")
    print(f"NumPy  : {np.__version__}   Python: {meta['python']}")
    print(f"CPU    : {meta['cpu']} ({meta['cores']} logical cores)")
    print(f"mode   : {meta['mode']}; times are the minimum of {cfg['repeats']} "
          "interleaved repetitions (x3 for the per-call ones)")
    if not quick:
        print(f"         a scenario that misses a target is timed again after "
              f"{RETRY_PAUSE:g} s, at most {RETRIES} more times")
    print(f"load   : {_loadavg()} (1, 5, 15 min) at the start")
    stamp = _module_stamp(q)
    if quick:
        print("quick mode: times below are not meaningful and are not judged; "
              "answers are checked")
    print()
    print(HEADER)
    print("-" * len(HEADER))
    t_start = time.perf_counter()
    printed = []

    # One query on two samples: the per-call cost.
    for kind in (("extreme", "wide") if quick else ("wide",)):
        t2 = make_table(2, rng, kind)
        q1 = make_queries(t2, 1, rng)
        if quick:
            check_scenario(ck, q, t2, make_queries(t2, cfg["queries"], rng),
                           f"2 samples ({kind})", rng, stats)
            check_scenario(ck, q, t2, q1, f"2 samples ({kind}), 1 query", rng, stats)
    # Cheap to repeat: three times the repetitions.
    best, errors, rounds = time_settled(candidates(q, t2, q1), 3 * cfg["repeats"],
                                        cfg["percall_min_time"],
                                        misses(lambda f: PERCALL_TARGET), quick)
    rows = print_rows("1 query, 2 samples (ns/call)", 1, best, errors,
                      "numpy.interp", lambda n: PERCALL_TARGET if n in FUNCS else None,
                      quick, printed)
    print_rounds(rounds)
    out["scenarios"].append({"name": "one query on two samples", "entries": 2,
                             "queries": 1, "order": "random", "unit": "ns/call",
                             "rows": rows, "rounds": rounds})
    bench = sys.modules[__name__]
    qv = None if args.stand_in else prepared_module()
    tcfg = table_bench.QUICK if quick else table_bench.FULL
    if qv is not None:
        table_bench.per_call(bench, qv, t2, rng, cfg, quick, ck, out, printed)

    # Tables of several sizes, random and sorted queries.
    curve = {}
    for n in cfg["sizes"]:
        t = make_table(n, rng)
        qs = make_queries(t, cfg["queries"], rng)
        if quick:
            tn = make_table(n, rng, "narrow")
            for order, qq in (("random", qs), ("sorted", qs.sorted())):
                check_scenario(ck, q, t, qq, f"{n} entries {order}", rng, stats)
            qn = make_queries(tn, cfg["queries"], rng)
            for order, qq in (("random", qn), ("sorted", qn.sorted())):
                check_scenario(ck, q, tn, qq, f"{n} entries {order} (narrow)", rng,
                               stats)
            del tn, qn
        prepared = qv.Table(t.xp, t.fp_i) if qv is not None else None
        largest = n == max(cfg["sizes"])
        for order in ("random", "sorted"):
            if order == "sorted":
                qs = qs.sorted()
            elif not quick:
                sanity_full(q, t, qs, f"{n} entries")
            reps = cfg["repeats"] if n < 2 ** 22 else max(3, cfg["repeats"] - 2)
            m = len(qs.x)
            tg = RATIO_TARGETS.get((order, n))
            # Table.forward beside the functions, judged on the largest
            # table's random queries (one thread).
            ttg = table_bench.RANDOM_LARGEST if largest and order == "random" else None
            missed = misses(lambda f, tg=tg: tg) if tg is not None else (lambda b: False)
            if ttg is not None:
                fmissed = missed
                missed = lambda b, fm=fmissed, ttg=ttg: fm(b) or b["Table.forward"] / b["numpy.interp"] > ttg  # noqa: E731
            if quick and prepared is not None:
                table_bench.compare(ck, f"{n} entries {order}", prepared.forward(qs.x),
                                    q.forward_int(qs.x, t.xp, t.fp_i))
            best, errors, rounds = time_settled(candidates(q, t, qs, prepared), reps,
                                                cfg["min_time"], missed, quick)
            title = f"{order}, {n:,} entries, {m:,} q"
            rows = print_rows(title, m, best, errors, "numpy.interp",
                              lambda name, tg=tg, ttg=ttg: tg if name in FUNCS else
                              (ttg if name == "Table.forward" else None),
                              quick, printed)
            print_rounds(rounds)
            out["scenarios"].append({"name": f"{order} queries", "entries": n,
                                     "queries": m, "order": order,
                                     "unit": "ns/query", "rows": rows, "rounds": rounds})
            if order == "random":
                for name, sec in best.items():
                    curve.setdefault(name, []).append((n, sec / m * 1e9))
        if qv is not None and n == tcfg["many_entries"]:
            table_bench.many_queries(bench, qv, t, rng, cfg, tcfg, quick, ck, out, printed)
        if qv is not None and largest:
            table_bench.largest_table(bench, qv, t, qs, rng, cfg, tcfg, quick, ck, out, printed)
            table_bench.medium_batches(bench, qv, t, rng, cfg, tcfg, quick, ck, out, printed)
            one_engine(q, qv, t, rng, cfg, quick, ck, out, printed)
            where_time_goes(q, qv, t, rng, cfg, quick, out, printed)
        del t, qs, prepared
        gc.collect()
    if qv is not None:
        table_bench.image(bench, qv, rng, cfg, tcfg, quick, ck, out, printed)

    # Table preparation: one query on a big table, against copying it.
    n = cfg["prep_size"]
    t = make_table(n, rng)
    q1 = make_queries(t, 1, rng)
    if quick:
        check_scenario(ck, q, t, q1, f"{n} entries, 1 query", rng, stats)
    cands = candidates(q, t, q1)
    cands["copy xp+fp(int)"] = _copier(t.xp, t.fp_i)
    cands["copy xp+fp(flt)"] = _copier(t.xp, t.fp_f)
    def prep_missed(best):
        return any(best[f] / best["copy xp+fp(int)" if f.endswith("_int") else "copy xp+fp(flt)"]
                   > PREP_TARGET for f in FUNCS
                   if f in best and "copy xp+fp(int)" in best and "copy xp+fp(flt)" in best)
    best, errors, rounds = time_settled(cands, 3 * cfg["repeats"], cfg["min_time"],
                                        prep_missed, quick)
    title = f"1 query, {n:,} entries (ns/call)"
    rows = []
    for name in list(best) + list(errors):
        if name in errors:
            print(f"{title:<{W}} {name:<15} error: {errors[name]}")
            rows.append({"call": name, "error": errors[name]})
            title = ""
            continue
        base = "copy xp+fp(int)" if name.endswith("_int") else "copy xp+fp(flt)"
        ratio = best[name] / best[base] if name in FUNCS and base in best else None
        mark = ""
        if ratio is not None and not quick:
            mark = "PASS" if ratio <= PREP_TARGET else "FAIL"
        tstr = f"<= {PREP_TARGET:g}" if ratio is not None and not quick else ""
        rstr = f"{ratio:.3f}" if ratio is not None else ""
        print(f"{title:<{W}} {name:<15} {fmt_ns(best[name]):>12} {rstr:>8} "
              f"{'':>8}  {tstr:<9} {mark}")
        rows.append({"call": name, "ns": best[name] * 1e9, "ratio_copy": ratio,
                     "target": PREP_TARGET if ratio is not None else None,
                     "pass": (mark == "PASS") if mark else None})
        title = ""
    print(f"{'':<{W}} (ratios here: the call against xp.copy(); fp.copy())")
    print_rounds(rounds)
    printed.append(rows)
    out["scenarios"].append({"name": "table preparation", "entries": n, "queries": 1,
                             "order": "random", "unit": "ns/call", "rows": rows,
                             "rounds": rounds})
    del t, q1, cands
    gc.collect()

    # Peak extra memory of one call.
    if not args.no_memory:
        print()
        if not os.path.exists("/proc/self/status"):
            print("memory: /proc/self/status is not available; skipped")
        else:
            n, m = cfg["mem_size"], cfg["mem_queries"]
            print(f"peak extra memory of one call, {n:,} entries (fresh process each; "
                  "faulted = pages first touched during the call, an upper bound; "
                  "hwm = VmHWM rise)")
            print(f"{'entries':>10} {'queries':>10} {'call':<15} {'faulted':>12} {'hwm':>12} "
                  f"{'limit':>12}  mark")
            jobs = [(n, mm, f) for mm in ((m, 1) if not quick else (m,))
                    for f in FUNCS + ("numpy.interp",)]
            # The largest table and as many random queries: the engine answers
            # them a chunk at a time, so its scratch memory stays under the
            # ceiling however large the batch.
            jobs += [(*cfg["mem_large"], f) for f in ("forward_int", "inverse_int")]
            for nn, mm, func in jobs:
                r = measure_memory({"func": func, "n": nn, "m": mm, "seed": args.seed},
                                   args.stand_in)
                if "error" in r:
                    print(f"{nn:>10,} {mm:>10,} {func:<15} error: {r['error']}")
                    out["memory"].append(r)
                    continue
                # The measurement counts whole pages.  A buffer of b bytes that
                # starts anywhere in a page (as malloc places them, after its
                # header) spans up to ceil(b / page) + 1 pages: so for each of
                # the result, the copy of xp, the copy of fp and the ceiling.
                pg = r.get("page", 4096)
                spans = lambda b: -(-b // pg) + 1  # noqa: E731
                limit = (spans(r["result"]) + 2 * spans(r["table"] // 2)
                         + spans(MEM_SLACK)) * pg
                mark = ""
                if func in FUNCS and not quick:
                    mark = "PASS" if r["faulted"] <= limit else "FAIL"
                r.update(limit=limit, **({"pass": mark == "PASS"} if mark else {}))
                extra = r["faulted"] - r["result"] - r["table"]
                print(f"{nn:>10,} {mm:>10,} {func:<15} {fmt_bytes(r['faulted']):>12} "
                      f"{fmt_bytes(r['hwm']):>12} "
                      f"{(fmt_bytes(limit) if func in FUNCS else ''):>12}  {mark}"
                      + (f"  (beyond result and copy: {fmt_bytes(extra)})" if func in FUNCS else ""))
                out["memory"].append(r)
            print("limit = result + one copy of the table (xp and fp) + 32 MiB, "
                  "each as the whole pages it can span (the unit measured)")

    elapsed = time.perf_counter() - t_start
    print()
    if _module_stamp(q) != stamp:
        print("WARNING: the module's file changed during the run (reinstalled?); "
              "later numbers may come from another build")
    meta["load_end"] = _loadavg()
    if not quick:
        fails, groups, total = [], {}, 0
        for sc in out["scenarios"]:
            for row in sc["rows"]:
                if row.get("pass") is not None:
                    total += 1
                if row.get("pass") is False:
                    key = f"{sc['name']}, {sc['entries']:,} entries"
                    groups.setdefault(key, []).append(row["call"])
        for r in out["memory"]:
            if r.get("pass") is not None:
                total += 1
            if r.get("pass") is False:
                key = (f"memory, {r['n']:,} entries, {r['m']:,} "
                       f"quer{'y' if r['m'] == 1 else 'ies'}")
                groups.setdefault(key, []).append(r["func"])
        for key, calls in groups.items():
            fails += [f"{key}: {c}" for c in calls]
        print(f"targets: {total - len(fails)} of {total} pass, {len(fails)} fail"
              + (":" if fails else ""))
        for key, calls in groups.items():
            print(f"  FAIL {key}: {', '.join(calls)}")
        out["failing_targets"] = fails

    ir, fr = stats["int_rounding"], stats["float_rounding"]
    if quick:
        inexact = ir["down"] + ir["up"]
        print(f"forward_int rounding seen: {ir['down']} down, {ir['up']} up, "
              f"{ir['nearest']}/{inexact} to nearest, {ir['exact']} exact")
        if fr["n"]:
            print(f"forward_float: {fr['correctly_rounded']}/{fr['n']} sampled results "
                  "correctly rounded")
        print(f"answer checks: {ck.count - len(ck.failures)} passed, "
              f"{len(ck.failures)} failed")
        for f in ck.failures[:40]:
            print(f"  FAILED {f}")
        out["checks"] = {"passed": ck.count - len(ck.failures),
                         "failed": ck.failures, "int_rounding": ir,
                         "float_rounding": fr}
    print(f"elapsed {elapsed:.1f} s")

    if args.plot:
        plot(curve, args.plot, meta)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(out, fh, indent=1, default=float)
        print(f"wrote {args.json}")
    return 1 if ck.failures else 0


def plot(curve, path, meta):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception:
        print("matplotlib is not importable; skipping the plot")
        return
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for name, pts in curve.items():
        pts = sorted(pts)
        style = "--" if name in ("numpy.interp", "searchsorted") else "-"
        ax.plot([p[0] for p in pts], [p[1] for p in pts], style, marker="o", label=name)
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.set_xlabel("table entries")
    ax.set_ylabel("ns per query (random order)")
    ax.set_title(f"quorvane vs NumPy {meta['numpy']}\n{meta['cpu']}", fontsize=9)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"wrote {path}")


if __name__ == "__main__":
    sys.exit(main())
