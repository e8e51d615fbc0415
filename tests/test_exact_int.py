"""Exactness of forward_int and inverse_int.

The extension is compared, outcome for outcome (result array or the first
exception of the batch), with the reference model in ``model.py`` and, where
it is natural, with a closed form evaluated on ``fractions.Fraction``.
"""

from __future__ import annotations

import bisect
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import model
from model import I64_MAX, I64_MIN, U64_MAX, Raised, capture

METHOD_NAMES = [None, "nearest", "ffill", "bfill"]
TOP = 1 << 63

OOB_X = Raised("IndexError", "x out of bounds")
XP_UNSORTED = Raised("ValueError", "xp must be strictly increasing")
OOB_F = Raised("KeyError", "f out of bounds")
NOT_FOUND = Raised("KeyError", "f not found")
FP_UNSORTED = Raised("ValueError", "fp must be strictly increasing")
LENGTH = Raised("Panic", "xp and fp must have same length")

SETTINGS = settings(
    max_examples=150,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)


def u64(values) -> np.ndarray:
    return np.array([int(v) for v in values], dtype=np.uint64)


def i64(values) -> np.ndarray:
    return np.array([int(v) for v in values], dtype=np.int64)


def run_forward(rust, x, xp, fp):
    """forward_int's outcome: a list of Python ints or a Raised."""
    out = capture(rust.forward_int, u64(x), u64(xp), i64(fp))
    if isinstance(out, Raised):
        return out
    assert isinstance(out, np.ndarray)
    assert out.dtype == np.int64 and out.ndim == 1 and len(out) == len(x)
    return [int(v) for v in out.tolist()]


def run_inverse(rust, f, xp, fp, method=None):
    """inverse_int's outcome: a list of Python ints or a Raised."""
    out = capture(rust.inverse_int, i64(f), u64(xp), i64(fp), method)
    if isinstance(out, Raised):
        return out
    assert isinstance(out, np.ndarray)
    assert out.dtype == np.uint64 and out.ndim == 1 and len(out) == len(f)
    return [int(v) for v in out.tolist()]


# ---------------------------------------------------------------------------
# Closed-form oracle on fractions, for tables that are valid for the direction


def _apply_method(value: Fraction, method):
    if method is None:
        return value.numerator if value.denominator == 1 else None
    if method == "nearest":
        return round(value)  # halfway cases go to the even integer
    if method == "ffill":
        return value.numerator // value.denominator
    return -((-value.numerator) // value.denominator)


def oracle_forward(x, xp, fp):
    """Nearest integer (ties to even) to the linear interpolant; xp sorted."""
    out = []
    for q in x:
        i = bisect.bisect_left(xp, q)
        if i == len(xp) or (xp[i] != q and i == 0):
            return OOB_X
        if xp[i] == q:
            out.append(fp[i])
            continue
        x0, x1, f0, f1 = xp[i - 1], xp[i], fp[i - 1], fp[i]
        out.append(round(f0 + Fraction(f1 - f0) * (q - x0) / (x1 - x0)))
    return out


def oracle_inverse(f, xp, fp, method):
    """The coordinate x0 + (x1 - x0)(f - f0)/(f1 - f0) with the method's
    rounding, and clamping at the ends; fp sorted."""
    out = []
    for q in f:
        i = bisect.bisect_left(fp, q)
        if i < len(fp) and fp[i] == q:
            out.append(xp[i])
        elif i == 0:
            if method not in ("nearest", "bfill"):
                return OOB_F
            out.append(xp[0])
        elif i == len(fp):
            if method not in ("nearest", "ffill"):
                return OOB_F
            out.append(xp[-1])
        else:
            x0, x1, f0, f1 = xp[i - 1], xp[i], fp[i - 1], fp[i]
            r = _apply_method(x0 + Fraction(x1 - x0) * (q - f0) / (f1 - f0), method)
            if r is None:
                return NOT_FOUND
            out.append(r)
    return out


# ---------------------------------------------------------------------------
# Segment arithmetic, one segment per table


FORWARD_SEGMENTS = [
    # x0, x1, f0, f1, [(x, value), ...]
    (0, 10, 0, 5, [(1, 0), (3, 2), (9, 4), (2, 1), (5, 2), (7, 4)]),
    (0, 2, -1, 0, [(1, 0)]),
    (0, 2, -2, -1, [(1, -2)]),
    (0, 2, -3, -2, [(1, -2)]),
    (0, 2, -5, 0, [(1, -2)]),
    (0, 3, 0, -2, [(1, -1), (2, -1)]),
    (0, 10, 7, 7, [(x, 7) for x in range(11)]),
    (0, 2, I64_MIN, I64_MIN + 1, [(1, I64_MIN)]),
    (0, 2, I64_MAX - 1, I64_MAX, [(1, I64_MAX - 1)]),
    (0, 2, I64_MIN, I64_MAX, [(1, 0)]),
    (0, 2, I64_MAX, I64_MIN, [(1, 0)]),
    (0, U64_MAX, I64_MIN, I64_MAX,
     [(1, I64_MIN + 1), (TOP, 0), (U64_MAX - 1, I64_MAX - 1), (TOP - 1, -1)]),
    (0, U64_MAX, I64_MAX, I64_MIN,
     [(1, I64_MAX - 1), (TOP - 1, 0), (U64_MAX - 1, I64_MIN + 1), (TOP, -1)]),
    (0, U64_MAX, 0, 1, [(TOP, 1), (TOP - 1, 0)]),
    (0, U64_MAX, I64_MIN, I64_MIN, [(1, I64_MIN), (TOP, I64_MIN)]),
    (1, TOP, 0, 10, [(TOP - 1, 10), (2, 0)]),
    (U64_MAX - 2, U64_MAX, I64_MIN, I64_MAX, [(U64_MAX - 1, 0)]),
    # I64_MAX - 0.5 and I64_MAX - 1.5 both go to the even I64_MAX - 1
    (U64_MAX - 4, U64_MAX, I64_MAX, I64_MAX - 2, [(U64_MAX - 3, I64_MAX - 1),
                                                  (U64_MAX - 2, I64_MAX - 1),
                                                  (U64_MAX - 1, I64_MAX - 1)]),
]


@pytest.mark.parametrize("x0, x1, f0, f1, expected", FORWARD_SEGMENTS)
def test_forward_segment(rust, x0, x1, f0, f1, expected):
    xs = [x for x, _ in expected] + [x0, x1]
    want = [v for _, v in expected] + [f0, f1]
    assert model.forward_int(xs, [x0, x1], [f0, f1]) == want
    assert oracle_forward(xs, [x0, x1], [f0, f1]) == want
    assert run_forward(rust, xs, [x0, x1], [f0, f1]) == want


INVERSE_SEGMENTS = [
    # x0, x1, f0, f1, f, (absent, nearest, ffill, bfill); None: not found
    (0, 10, 0, 4, 1, (None, 2, 2, 3)),
    (0, 10, 0, 4, 3, (None, 8, 7, 8)),
    (0, 10, 0, 4, 2, (5, 5, 5, 5)),
    (10, 0, 0, 4, 1, (None, 8, 7, 8)),
    (10, 0, 0, 4, 3, (None, 2, 2, 3)),
    (5, 5, 0, 10, 3, (5, 5, 5, 5)),
    (U64_MAX, U64_MAX, I64_MIN, I64_MAX, 0, (U64_MAX,) * 4),
    (0, 0, I64_MIN, I64_MAX, 12345, (0,) * 4),
    (0, 1, I64_MIN, I64_MAX, 0, (None, 1, 0, 1)),
    (0, 1, I64_MIN, I64_MAX, -1, (None, 0, 0, 1)),
    (0, U64_MAX, I64_MIN, I64_MAX, 0, (TOP,) * 4),
    (0, U64_MAX, I64_MIN, I64_MAX, -1, (TOP - 1,) * 4),
    (U64_MAX, 0, 0, 2, 1, (None, TOP, TOP - 1, TOP)),
    (0, 10, 0, 3, 1, (None, 3, 3, 4)),
    (0, 10, 0, 3, 2, (None, 7, 6, 7)),
    (100, 200, 0, 10, 5, (150,) * 4),
    # exact halves: nearest goes to the even neighbour
    (0, 5, 0, 2, 1, (None, 2, 2, 3)),
    (0, 7, 0, 2, 1, (None, 4, 3, 4)),
    (U64_MAX, U64_MAX - 1, 0, 2, 1, (None, U64_MAX - 1, U64_MAX - 1, U64_MAX)),
    (U64_MAX - 1, U64_MAX - 2, 0, 2, 1, (None, U64_MAX - 1, U64_MAX - 2, U64_MAX - 1)),
    # near-halves that only the full-width product resolves
    (0, U64_MAX - 1, I64_MIN, I64_MAX, 0, (None, TOP - 1, TOP - 1, TOP)),
    (0, U64_MAX - 1, I64_MIN, I64_MAX, -1, (None, TOP - 1, TOP - 2, TOP - 1)),
    (0, U64_MAX, I64_MIN, I64_MAX, I64_MAX - 1, (U64_MAX - 1,) * 4),
    (0, U64_MAX, I64_MIN, I64_MAX, I64_MIN + 1, (1,) * 4),
]


@pytest.mark.parametrize("x0, x1, f0, f1, f, expected", INVERSE_SEGMENTS)
def test_inverse_segment(rust, x0, x1, f0, f1, f, expected):
    for method, want in zip(METHOD_NAMES, expected):
        want = NOT_FOUND if want is None else [want, x0, x1]
        queries = [f, f0, f1]
        assert model.inverse_int(queries, [x0, x1], [f0, f1], method) == want, method
        assert oracle_inverse(queries, [x0, x1], [f0, f1], method) == want, method
        assert run_inverse(rust, queries, [x0, x1], [f0, f1], method) == want, method


# ---------------------------------------------------------------------------
# Whole tables: lookups, clamping, ordering and the first failing query


FORWARD_TABLES = [
    # xp, fp, x, outcome
    ([10, 20, 30], [1, 2, 3], [10, 30, 20, 15, 25], [1, 3, 2, 2, 2]),
    ([10, 20, 30], [1, 2, 3], [9], OOB_X),
    ([10, 20, 30], [1, 2, 3], [31], OOB_X),
    ([10, 20, 30], [100, 200, 400], [10, 15, 25, 30], [100, 150, 300, 400]),
    ([10, 20, 30], [100, 200, 400], [15, 40, 25], OOB_X),
    ([10, 20, 30], [100, 200, 400], [15, 25, 9, 40], OOB_X),
    ([7], [3], [7, 7], [3, 3]),
    ([7], [3], [6], OOB_X),
    ([7], [3], [8], OOB_X),
    ([], [], [0], OOB_X),
    ([], [], [U64_MAX], OOB_X),
    ([], [], [], []),
    ([0, 5, 5], [1, 2, 3], [0], XP_UNSORTED),
    ([0, 5, 5], [1, 2, 3], [100], XP_UNSORTED),
    ([0, 5, 5], [1, 2, 3], [], []),
    ([10, 10, 20], [1, 2, 3], [10], XP_UNSORTED),
    ([3, 3], [1, 1], [3], XP_UNSORTED),
    ([TOP, 1], [1, 2], [1], XP_UNSORTED),
    ([0, 1, 2, 1], [1, 2, 3, 4], [1], XP_UNSORTED),
    ([0, U64_MAX], [0, 0], [U64_MAX, 0, TOP], [0, 0, 0]),
    ([0, 1], [5, -5], [0, 1], [5, -5]),
    ([1, TOP], [0, 10], [TOP - 1, 1, TOP], [10, 0, 10]),
    ([1, TOP], [0, 10], [0], OOB_X),
    ([1, TOP], [0, 10], [TOP + 1], OOB_X),
    ([0, 10], [10, 0], [5, 4, 6, 1], [5, 6, 4, 9]),
    ([0, 10], [5, 5], list(range(11)), [5] * 11),
    ([0, 2, 4, 6], [-5, 0, 7, -8], [1, 3, 5], [-2, 4, 0]),
    ([0, 1, 2], [1, 2], [], LENGTH),
    ([0, 1, 2], [1, 2], [1], LENGTH),
    ([0, 1], [1, 2, 3], [5], LENGTH),
    ([2, 1], [1], [], LENGTH),
]


@pytest.mark.parametrize("xp, fp, x, expected", FORWARD_TABLES)
def test_forward_table(rust, xp, fp, x, expected):
    assert model.forward_int(x, xp, fp) == expected
    assert run_forward(rust, x, xp, fp) == expected


def _per_method(absent, nearest, ffill, bfill):
    return dict(zip(METHOD_NAMES, (absent, nearest, ffill, bfill)))


INVERSE_TABLES = [
    # xp, fp, f, {method: outcome}
    ([100, 200, 300], [0, 10, 20], [10], _per_method(*[[200]] * 4)),
    ([100, 200, 300], [0, 10, 20], [-1], _per_method(OOB_F, [100], OOB_F, [100])),
    ([100, 200, 300], [0, 10, 20], [21], _per_method(OOB_F, [300], [300], OOB_F)),
    ([100, 200, 300], [0, 10, 20], [5, 15, 0, 20], _per_method(*[[150, 250, 100, 300]] * 4)),
    ([100, 200, 300], [0, 10, 20], [I64_MIN, I64_MAX],
     _per_method(OOB_F, [100, 300], OOB_F, OOB_F)),
    ([0, 10], [0, 3], [1], _per_method(NOT_FOUND, [3], [3], [4])),
    ([0, 10], [0, 3], [2], _per_method(NOT_FOUND, [7], [6], [7])),
    ([0, 100, 200], [-10, 0, 10], [-5, 5], _per_method(*[[50, 150]] * 4)),
    ([30, 10, 20], [0, 1, 2], [1], _per_method(*[[10]] * 4)),
    ([5, 5], [0, 10], [3, 7], _per_method(*[[5, 5]] * 4)),
    ([7], [4], [4], _per_method(*[[7]] * 4)),
    ([7], [4], [3], _per_method(OOB_F, [7], OOB_F, [7])),
    ([7], [4], [5], _per_method(OOB_F, [7], [7], OOB_F)),
    ([], [], [0], _per_method(*[OOB_F] * 4)),
    ([], [], [], _per_method(*[[]] * 4)),
    ([0, 1], [0, 0], [0], _per_method(*[FP_UNSORTED] * 4)),
    ([0, 1], [0, 0], [], _per_method(*[[]] * 4)),
    ([0, 1], [0, -1], [-1], _per_method(*[FP_UNSORTED] * 4)),
    ([0, 1, 2], [0, 5, 5], [100], _per_method(*[FP_UNSORTED] * 4)),
    ([0, 1, 2], [0, 5], [], _per_method(*[LENGTH] * 4)),
    ([0, 1, 2], [0, 5], [1], _per_method(*[LENGTH] * 4)),
    # the first failing query decides, in index order
    ([0, 10], [0, 3], [0, 1, 4], _per_method(NOT_FOUND, [0, 3, 10], [0, 3, 10], OOB_F)),
    ([0, 10], [0, 3], [3, 4, 1], _per_method(OOB_F, [10, 10, 3], [10, 10, 3], OOB_F)),
    ([0, 10], [0, 3], [3, -1, 1], _per_method(OOB_F, [10, 0, 3], OOB_F, [10, 0, 4])),
    ([0, 10], [0, 3], [3, 2, -1], _per_method(NOT_FOUND, [10, 7, 0], OOB_F, [10, 7, 0])),
]


@pytest.mark.parametrize("xp, fp, f, expected", INVERSE_TABLES)
def test_inverse_table(rust, xp, fp, f, expected):
    for method in METHOD_NAMES:
        assert model.inverse_int(f, xp, fp, method) == expected[method], method
        assert run_inverse(rust, f, xp, fp, method) == expected[method], method


@pytest.mark.parametrize("method", ["Nearest", " nearest", "nearest ", "fill", ""])
def test_method_spelling(rust, method):
    want = Raised("ValueError", model.MSG_METHOD)
    assert model.inverse_int([], [0, 1, 2], [0, 1], method) == want
    assert run_inverse(rust, [], [0, 1, 2], [0, 1], method) == want
    assert run_inverse(rust, [1], [0, 1], [0, 2], method) == want


# ---------------------------------------------------------------------------
# Random tables against the model and the fraction oracle

RNG_SEED = 20240611


def _rand_u64(rng, n, regime):
    if regime == "full":
        return [int(v) for v in rng.integers(0, U64_MAX, n, dtype=np.uint64, endpoint=True)]
    if regime == "small":
        return [int(v) for v in rng.integers(0, 64, n)]
    if regime == "low":
        return [int(v) for v in rng.integers(0, 1 << 20, n)]
    if regime == "mid":
        return [TOP + int(v) for v in rng.integers(-(1 << 16), 1 << 16, n)]
    if regime == "high":
        return [U64_MAX - int(v) for v in rng.integers(0, 1 << 16, n)]
    if regime == "edges":
        pool = [0, 1, 2, TOP - 2, TOP - 1, TOP, TOP + 1, U64_MAX - 2, U64_MAX - 1, U64_MAX]
        return [pool[int(k)] for k in rng.integers(0, len(pool), n)]
    if regime == "mixed":
        parts = [_rand_u64(rng, n, r) for r in ("full", "low", "mid", "high", "edges")]
        return [parts[int(rng.integers(0, 5))][k] for k in range(n)]
    raise AssertionError(regime)


def _rand_i64(rng, n, regime):
    if regime == "full":
        return [int(v) for v in rng.integers(I64_MIN, I64_MAX, n, dtype=np.int64, endpoint=True)]
    if regime == "small":
        return [int(v) for v in rng.integers(-8, 9, n)]
    if regime == "low":
        return [I64_MIN + int(v) for v in rng.integers(0, 1 << 16, n)]
    if regime == "high":
        return [I64_MAX - int(v) for v in rng.integers(0, 1 << 16, n)]
    if regime == "zero":
        return [int(v) for v in rng.integers(-(1 << 20), 1 << 20, n)]
    if regime == "edges":
        pool = [I64_MIN, I64_MIN + 1, I64_MIN + 2, -2, -1, 0, 1, 2, I64_MAX - 2, I64_MAX - 1, I64_MAX]
        return [pool[int(k)] for k in rng.integers(0, len(pool), n)]
    if regime == "mixed":
        parts = [_rand_i64(rng, n, r) for r in ("full", "low", "high", "zero", "edges")]
        return [parts[int(rng.integers(0, 5))][k] for k in range(n)]
    raise AssertionError(regime)


U64_REGIMES = ["full", "small", "low", "mid", "high", "edges", "mixed"]
I64_REGIMES = ["full", "small", "low", "high", "zero", "edges", "mixed"]


def _inside_queries(rng, axis, count, lo_fn):
    """Queries on a sorted axis: the samples, their neighbours and points
    drawn uniformly inside random segments, all within [axis[0], axis[-1]]."""
    qs = list(axis)
    for v in axis:
        qs += [v - 1, v + 1]
    n = len(axis)
    for _ in range(count):
        if n >= 2:
            k = int(rng.integers(1, n))
            lo, hi = axis[k - 1], axis[k]
            qs.append(lo + lo_fn(hi - lo))
    return [q for q in qs if axis[0] <= q <= axis[-1]]


def _uniform_below(rng):
    def pick(width):
        # a uniform integer in [0, width], any width up to 2**64
        return int.from_bytes(rng.bytes(16), "little") % (width + 1)
    return pick


def _forward_cases():
    rng = np.random.default_rng(RNG_SEED)
    cases = []
    for xr in U64_REGIMES:
        for fr in I64_REGIMES:
            n = int(rng.integers(2, 12))
            xp = sorted(set(_rand_u64(rng, n, xr)))
            fp = _rand_i64(rng, len(xp), fr)
            x = _inside_queries(rng, xp, 40, _uniform_below(rng))
            rng.shuffle(x)
            cases.append((f"{xr}-{fr}", xp, fp, x))
    return cases


FORWARD_CASES = _forward_cases()


@pytest.mark.parametrize("name, xp, fp, x", FORWARD_CASES, ids=[c[0] for c in FORWARD_CASES])
def test_forward_random_tables(rust, name, xp, fp, x):
    want = model.forward_int(x, xp, fp)
    assert not isinstance(want, Raised)
    assert oracle_forward(x, xp, fp) == want
    assert run_forward(rust, x, xp, fp) == want


def test_forward_ties_go_to_even(rust):
    """Midpoints of segments of even width whose values differ by an odd
    amount are exact halves."""
    rng = np.random.default_rng(RNG_SEED + 1)
    for regime in ("low", "mid", "high", "full"):
        xp = sorted({v & ~1 for v in _rand_u64(rng, 40, regime)})
        fp = _rand_i64(rng, len(xp), "mixed")
        for k in range(1, len(fp)):
            if (fp[k] - fp[k - 1]) % 2 == 0:
                fp[k] = fp[k] - 1 if fp[k] > I64_MIN else fp[k] + 1
        x = [(xp[k - 1] + xp[k]) // 2 for k in range(1, len(xp))]
        want = [(fp[k - 1] + fp[k]) / Fraction(2) for k in range(1, len(fp))]
        assert all(w.denominator == 2 for w in want)
        want = [round(w) for w in want]
        assert all(w % 2 == 0 for w in want)
        assert model.forward_int(x, xp, fp) == want
        assert run_forward(rust, x, xp, fp) == want


def _inverse_cases():
    rng = np.random.default_rng(RNG_SEED + 2)
    cases = []
    xp_shapes = ["random", "increasing", "decreasing", "equal", "duplicates"]
    for fr in I64_REGIMES:
        for xr in U64_REGIMES:
            shape = xp_shapes[int(rng.integers(0, len(xp_shapes)))]
            fp = sorted(set(_rand_i64(rng, int(rng.integers(2, 12)), fr)))
            n = len(fp)
            xp = _rand_u64(rng, n, xr)
            if shape == "increasing":
                xp.sort()
            elif shape == "decreasing":
                xp.sort(reverse=True)
            elif shape == "equal":
                xp = [xp[0]] * n
            elif shape == "duplicates":
                xp = [xp[int(k)] for k in rng.integers(0, 2, n)]
            f = _inside_queries(rng, fp, 30, _uniform_below(rng))
            rng.shuffle(f)
            cases.append((f"{fr}-{xr}-{shape}", xp, fp, f))
    return cases


INVERSE_CASES = _inverse_cases()


@pytest.mark.parametrize("name, xp, fp, f", INVERSE_CASES, ids=[c[0] for c in INVERSE_CASES])
def test_inverse_random_tables(rust, name, xp, fp, f):
    for method in METHOD_NAMES[1:]:
        want = model.inverse_int(f, xp, fp, method)
        assert not isinstance(want, Raised)
        assert oracle_inverse(f, xp, fp, method) == want, method
        assert run_inverse(rust, f, xp, fp, method) == want, method
    # Without a method most interior queries have no whole coordinate, and
    # the first of them ends the batch: compare query by query.
    for q in f[:20]:
        want = model.inverse_int([q], xp, fp)
        assert oracle_inverse([q], xp, fp, None) == want
        assert run_inverse(rust, [q], xp, fp) == want, q


def test_inverse_whole_coordinates_without_method(rust):
    """Tables whose coordinates move by a whole multiple of the value step
    answer every interior value without a method."""
    rng = np.random.default_rng(RNG_SEED + 3)
    for trial in range(12):
        n = int(rng.integers(2, 10))
        steps = [int(s) for s in rng.integers(1, 1 << 10, n - 1)]
        f0 = int(rng.integers(I64_MIN, I64_MAX - sum(steps)))
        fp = [f0]
        for s in steps:
            fp.append(fp[-1] + s)
        slope = [int(c) for c in rng.integers(-50, 51, n - 1)]
        span = sum(abs(c) * s for c, s in zip(slope, steps))
        x = int(rng.integers(span, U64_MAX - span, dtype=np.uint64)) if trial % 3 else (
            span if trial % 2 else U64_MAX - span)
        xp = [x]
        for c, s in zip(slope, steps):
            xp.append(xp[-1] + c * s)
        assert all(0 <= v <= U64_MAX for v in xp)
        f = [fp[0] + int(d) for d in rng.integers(0, fp[-1] - fp[0] + 1, 200)]
        want = oracle_inverse(f, xp, fp, None)
        assert not isinstance(want, Raised)
        assert model.inverse_int(f, xp, fp) == want
        for method in METHOD_NAMES:
            assert run_inverse(rust, f, xp, fp, method) == want, method


def test_inverse_ties_go_to_even(rust):
    """Values half-way between two samples whose coordinates differ by an odd
    amount give a coordinate of one half."""
    rng = np.random.default_rng(RNG_SEED + 4)
    for regime in ("low", "mid", "high", "full", "edges"):
        fp = sorted({v & ~1 for v in _rand_i64(rng, 30, "mixed")})
        xp = _rand_u64(rng, len(fp), regime)
        for k in range(1, len(xp)):
            if (xp[k] - xp[k - 1]) % 2 == 0:
                xp[k] = xp[k] - 1 if xp[k] else 1
        f = [(fp[k - 1] + fp[k]) // 2 for k in range(1, len(fp))]
        halves = [Fraction(xp[k - 1] + xp[k], 2) for k in range(1, len(xp))]
        expected = {
            None: NOT_FOUND,
            "nearest": [round(h) for h in halves],
            "ffill": [int(h - Fraction(1, 2)) for h in halves],
            "bfill": [int(h + Fraction(1, 2)) for h in halves],
        }
        assert all(v % 2 == 0 for v in expected["nearest"])
        for method in METHOD_NAMES:
            assert model.inverse_int(f, xp, fp, method) == expected[method], method
            assert run_inverse(rust, f, xp, fp, method) == expected[method], method


# ---------------------------------------------------------------------------
# Batches with failing queries


def test_forward_first_failure_in_batch(rust):
    rng = np.random.default_rng(RNG_SEED + 5)
    for _ in range(40):
        xp = sorted(set(_rand_u64(rng, int(rng.integers(1, 8)), "mixed")))
        fp = _rand_i64(rng, len(xp), "mixed")
        good = _inside_queries(rng, xp, 10, _uniform_below(rng))
        bad = [v for v in (xp[0] - 1, xp[-1] + 1, 0, U64_MAX) if 0 <= v <= U64_MAX
               and not xp[0] <= v <= xp[-1]]
        if not bad:
            continue
        pos = int(rng.integers(0, len(good) + 1))
        x = good[:pos] + [bad[int(rng.integers(0, len(bad)))]] + good[pos:]
        assert model.forward_int(x, xp, fp) == OOB_X
        assert run_forward(rust, x, xp, fp) == OOB_X
        # the same batch on a table whose coordinates repeat
        if len(xp) >= 2:
            xp2 = xp[:-1] + [xp[-2]]
            assert run_forward(rust, x, xp2, fp) == XP_UNSORTED


def test_inverse_first_failure_in_batch(rust):
    """Interior queries without a whole coordinate and out-of-range queries
    mixed into a batch: the earliest failing query decides the exception."""
    rng = np.random.default_rng(RNG_SEED + 6)
    for _ in range(30):
        fp = sorted(set(_rand_i64(rng, int(rng.integers(2, 8)), "mixed")))
        xp = _rand_u64(rng, len(fp), "mixed")
        f = _inside_queries(rng, fp, 6, _uniform_below(rng))
        f += [v for v in (fp[0] - 1, fp[-1] + 1) if I64_MIN <= v <= I64_MAX]
        rng.shuffle(f)
        for method in METHOD_NAMES:
            want = oracle_inverse(f, xp, fp, method)
            assert model.inverse_int(f, xp, fp, method) == want
            assert run_inverse(rust, f, xp, fp, method) == want


# ---------------------------------------------------------------------------
# Property tests over small tables of extreme-leaning numbers

_u64s = st.one_of(
    st.integers(0, U64_MAX),
    st.sampled_from([0, 1, 2, TOP - 1, TOP, TOP + 1, U64_MAX - 1, U64_MAX]),
    st.integers(0, 40),
)
_i64s = st.one_of(
    st.integers(I64_MIN, I64_MAX),
    st.sampled_from([I64_MIN, I64_MIN + 1, -1, 0, 1, I64_MAX - 1, I64_MAX]),
    st.integers(-20, 20),
)


@st.composite
def _forward_inputs(draw):
    n = draw(st.integers(0, 7))
    xp = draw(st.lists(_u64s, min_size=n, max_size=n))
    if draw(st.booleans()):
        xp = sorted(set(xp))
    fp = draw(st.lists(_i64s, min_size=len(xp), max_size=len(xp)))
    near = [v + d for v in xp for d in (-1, 0, 1) if 0 <= v + d <= U64_MAX]
    pick = st.sampled_from(near) if near else _u64s
    x = draw(st.lists(st.one_of(pick, _u64s), max_size=12))
    return x, xp, fp


@st.composite
def _inverse_inputs(draw):
    n = draw(st.integers(0, 7))
    fp = draw(st.lists(_i64s, min_size=n, max_size=n))
    if draw(st.integers(0, 4)):
        fp = sorted(set(fp))
    xp = draw(st.lists(_u64s, min_size=len(fp), max_size=len(fp)))
    near = [v + d for v in fp for d in (-1, 0, 1) if I64_MIN <= v + d <= I64_MAX]
    pick = st.sampled_from(near) if near else _i64s
    f = draw(st.lists(st.one_of(pick, _i64s), max_size=12))
    method = draw(st.sampled_from(METHOD_NAMES))
    return f, xp, fp, method


@SETTINGS
@given(_forward_inputs())
def test_forward_property(rust, args):
    x, xp, fp = args
    want = model.forward_int(x, xp, fp)
    assert run_forward(rust, x, xp, fp) == want
    if xp == sorted(set(xp)) and xp:
        assert oracle_forward(x, xp, fp) == want


@SETTINGS
@given(_inverse_inputs())
def test_inverse_property(rust, args):
    f, xp, fp, method = args
    want = model.inverse_int(f, xp, fp, method)
    assert run_inverse(rust, f, xp, fp, method) == want
    if fp == sorted(set(fp)) and fp:
        assert oracle_inverse(f, xp, fp, method) == want


@SETTINGS
@given(
    x0=_u64s, width=st.integers(2, U64_MAX), f0=_i64s, f1=_i64s,
    data=st.data(),
)
def test_forward_segment_property(rust, x0, width, f0, f1, data):
    x1 = min(x0 + width, U64_MAX)
    if x1 - x0 < 2:
        x0 = x1 - 2
    x = data.draw(st.lists(st.integers(x0 + 1, x1 - 1), min_size=1, max_size=10))
    want = oracle_forward(x, [x0, x1], [f0, f1])
    assert model.forward_int(x, [x0, x1], [f0, f1]) == want
    assert run_forward(rust, x, [x0, x1], [f0, f1]) == want


@SETTINGS
@given(x0=_u64s, x1=_u64s, f0=_i64s, width=st.integers(2, U64_MAX),
       method=st.sampled_from(METHOD_NAMES), data=st.data())
def test_inverse_segment_property(rust, x0, x1, f0, width, method, data):
    f1 = min(f0 + width, I64_MAX)
    if f1 - f0 < 2:
        f0 = f1 - 2
    f = data.draw(st.lists(st.integers(f0 + 1, f1 - 1), min_size=1, max_size=10))
    want = oracle_inverse(f, [x0, x1], [f0, f1], method)
    assert model.inverse_int(f, [x0, x1], [f0, f1], method) == want
    assert run_inverse(rust, f, [x0, x1], [f0, f1], method) == want


# ---------------------------------------------------------------------------
# Large batches: the extension against the oracle alone


def test_forward_large_batch(rust):
    rng = np.random.default_rng(RNG_SEED + 7)
    xp = sorted(set(_rand_u64(rng, 64, "mixed")))
    fp = _rand_i64(rng, len(xp), "mixed")
    x = _inside_queries(rng, xp, 3000, _uniform_below(rng))
    assert run_forward(rust, x, xp, fp) == oracle_forward(x, xp, fp)


def test_inverse_large_batch(rust):
    rng = np.random.default_rng(RNG_SEED + 8)
    fp = sorted(set(_rand_i64(rng, 64, "mixed")))
    xp = _rand_u64(rng, len(fp), "mixed")
    f = _inside_queries(rng, fp, 2000, _uniform_below(rng))
    f += [I64_MIN, I64_MAX]
    for method in METHOD_NAMES:
        assert run_inverse(rust, f, xp, fp, method) == oracle_inverse(f, xp, fp, method)


# ---------------------------------------------------------------------------
# The model on its own


def test_model_divide_rounded():
    for n in range(0, 60):
        for d in range(1, 12):
            exact = Fraction(n, d)
            assert model.divide_rounded(n, d, model.NEAREST) == round(exact)
            assert model.divide_rounded(n, d, model.FFILL) == n // d
            assert model.divide_rounded(n, d, model.BFILL) == -(-n // d)
            assert model.divide_rounded(n, d, model.ABSENT) == (n // d if n % d == 0 else None)
    # the largest numerator a segment can produce
    d = U64_MAX
    assert model.divide_rounded(U64_MAX * d, d, model.ABSENT) == U64_MAX
    assert model.divide_rounded(U64_MAX * d - 1, d, model.BFILL) == U64_MAX
    assert model.divide_rounded(U64_MAX * d - 1, d, model.FFILL) == U64_MAX - 1


def test_model_locate():
    axis = [-5, 0, 7, 9]
    assert model.locate(axis, -5) == (True, 0)
    assert model.locate(axis, 9) == (True, 3)
    assert model.locate(axis, -6) == (False, 0)
    assert model.locate(axis, 10) == (False, 4)
    assert model.locate(axis, 8) == (False, 3)
    assert model.locate([4], 4) == (True, 0)
    assert model.locate([4], 3) == (False, 0)
    assert model.locate([4], 5) == (False, 1)
    for n in range(1, 20):
        axis = list(range(0, 2 * n, 2))
        for k in range(-1, 2 * n + 1):
            i = bisect.bisect_left(axis, k)
            exact = i < n and axis[i] == k
            assert model.locate(axis, k) == (exact, i)
