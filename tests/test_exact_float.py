"""Exactness of forward_float and inverse_float.

Results are compared bit for bit (float64 results viewed as uint64) with the
reference model in ``model.py``, which computes every step with MPFR at 64
bits of precision and narrows with the same truncation.  Each test runs on
both F80 backends through the ``backend`` fixture.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import math
import platform
import struct
import sys
from fractions import Fraction
from functools import lru_cache

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

gmpy2 = pytest.importorskip("gmpy2")

import model  # noqa: E402
from model import U64_MAX, Raised, bits_f64, capture, f64_bits

METHOD_NAMES = [None, "nearest", "ffill", "bfill"]
P62, P63 = 1 << 62, 1 << 63
INF, NAN = math.inf, math.nan
MAX = sys.float_info.max
TINY = 5e-324
MIN_NORMAL = sys.float_info.min

OOB_X = Raised("IndexError", "x out of bounds")
XP_UNSORTED = Raised("ValueError", "xp must be strictly increasing")
OOB_F = Raised("KeyError", "f out of bounds")
NOT_FOUND = Raised("KeyError", "f not found")
FP_UNSORTED = Raised("ValueError", "fp must be strictly increasing")
NOT_FINITE = Raised("Panic", "assertion failed: value.is_finite()")
NAN_PANIC = Raised("Panic", "nan or inf encountered")

SETTINGS = settings(
    max_examples=80,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)


def u64(values) -> np.ndarray:
    return np.array([int(v) for v in values], dtype=np.uint64)


def f64(values) -> np.ndarray:
    if isinstance(values, np.ndarray):
        assert values.dtype == np.float64
        return values
    return np.array([float(v) for v in values], dtype=np.float64)


def from_bits(*bits: int) -> list[float]:
    return [bits_f64(b) for b in bits]


def run_forward(backend, x, xp, fp):
    """forward_float's outcome: result bit patterns, or a Raised."""
    out = capture(backend.forward_float, u64(x), u64(xp), f64(fp))
    if isinstance(out, Raised):
        return out
    assert isinstance(out, np.ndarray)
    assert out.dtype == np.float64 and out.ndim == 1 and len(out) == len(x)
    return [int(b) for b in out.view(np.uint64).tolist()]


def run_inverse(backend, f, xp, fp, method=None):
    """inverse_float's outcome: a list of coordinates, or a Raised."""
    out = capture(backend.inverse_float, f64(f), u64(xp), f64(fp), method)
    if isinstance(out, Raised):
        return out
    assert isinstance(out, np.ndarray)
    assert out.dtype == np.uint64 and out.ndim == 1 and len(out) == len(f)
    return [int(v) for v in out.tolist()]


# Model results, shared by the two backends' runs of a test.
_MODEL_CACHE: dict = {}


def _cached_model(key, compute):
    if key not in _MODEL_CACHE:
        _MODEL_CACHE[key] = compute()
    return _MODEL_CACHE[key]


def bits_of(values) -> list[int]:
    return [f64_bits(float(v)) for v in values]


# ---------------------------------------------------------------------------
# Worked segments


FORWARD_SEGMENTS = [
    # (x0, f0), (x1, f1), x, expected value
    ((0, 0.0), (10, 1.0), 1, bits_f64(0x3FB9999999999999)),
    ((0, 0.0), (10, -1.0), 1, bits_f64(0xBFB9999999999999)),
    ((0, 1.0), (10, 0.0), 9, bits_f64(0x3FB9999999999999)),
    ((0, 0.3333333333333333), (3073, 0.3333333333333333), 1, 0.33333333333333326),
    ((0, -1.0), (2, 1.0), 1, 0.0),
    ((0, 1.0), (2, -1.0), 1, 0.0),
    ((0, 1e308), (2, 1.5e308), 1, 1.25e308),
    ((0, MAX), (2, MAX), 1, MAX),
    ((0, -MAX), (2, -MAX), 1, -MAX),
    ((0, MAX), (4, -MAX), 1, MAX / 2),
    ((0, MIN_NORMAL), (2, 0.0), 1, 1.1125369292536007e-308),
    ((0, -MIN_NORMAL), (2, 0.0), 1, -1.1125369292536007e-308),
    ((0, 0.0), (3, TINY), 1, 0.0),
    ((0, 0.0), (3, TINY), 2, 0.0),
    ((0, TINY), (2, TINY), 1, TINY),
    ((0, TINY), (2, 0.0), 1, 0.0),
    ((0, -TINY), (2, 0.0), 1, 0.0),
    ((0, -TINY), (2, -TINY), 1, -TINY),
    ((0, -0.0), (2, -0.0), 1, 0.0),
    ((0, 0.0), (10, 10.0), 5, 5.0),
    ((0, 1.5), (2, 1.5), 1, 1.5),
    ((0, bits_f64(0x000FFFFFFFFFFFFF)), (2, bits_f64(0x000FFFFFFFFFFFFF)), 1,
     bits_f64(0x000FFFFFFFFFFFFF)),
    ((0, 1e-300), (2, 1e-300), 1, 1e-300),
    ((0, 1.0), (3, 2.0), 1, bits_f64(0x3FF5555555555555)),
    ((0, -1.0), (3, -2.0), 1, bits_f64(0xBFF5555555555555)),
    ((P63 - 1, 0.0), (P63 + 1, 1.0), P63, 0.5),
    ((0, 0.0), (U64_MAX, 1.0), P63, bits_f64(0x3FE0000000000000)),
    ((0, 0.0), (U64_MAX, 1.0), P63 - 1, bits_f64(0x3FDFFFFFFFFFFFFF)),
    ((1, 0.0), (U64_MAX, 2.0), P63, 1.0),
]


@pytest.mark.parametrize("left, right, x, value", FORWARD_SEGMENTS)
def test_forward_segment(backend, left, right, x, value):
    (x0, f0), (x1, f1) = left, right
    xs, xp, fp = [x, x0, x1], [x0, x1], [f0, f1]
    want = bits_of([value, f0, f1])
    assert model.forward_float_bits(xs, xp, fp) == want
    assert run_forward(backend, xs, xp, fp) == want


_INV_R = [
    # (x0, f0), (x1, f1), f, (absent, nearest, ffill, bfill); None: not found
    ((0, 0.0), (3, 1.0), 0.3333333333333333, (None, 1, 0, 1)),
    ((2, 0.0), (3, 1.0), 0.5, (None, 2, 2, 3)),
    ((3, 0.0), (4, 1.0), 0.5, (None, 4, 3, 4)),
    ((4, 0.0), (5, 1.0), 0.5, (None, 4, 4, 5)),
    ((5, 0.0), (6, 1.0), 0.5, (None, 6, 5, 6)),
    ((10, 0.0), (6, 1.0), 0.25, (9, 9, 9, 9)),
    ((0, 0.0), (10, 1.0), 0.5, (5, 5, 5, 5)),
    ((P63, 0.0), (P63 + 1, 1.0), 0.5, (P63,) * 4),
    ((P63 + 1, 0.0), (P63 + 2, 1.0), 0.5, (P63 + 2,) * 4),
    ((P62, 0.0), (P62 + 1, 1.0), 0.5, (None, P62, P62, P62 + 1)),
    ((P62 + 1, 0.0), (P62 + 2, 1.0), 0.5, (None, P62 + 2, P62 + 1, P62 + 2)),
    # 2**62 + 0.25 needs 65 bits: the sum ties to the even 2**62
    ((P62, 0.0), (P62 + 1, 1.0), 0.25, (P62,) * 4),
    ((5, 0.0), (5, 1e10), 0.3333333333333333, (None, 5, 5, 6)),
    ((7, -1.0), (7, 1.0), 0.0, (7,) * 4),
    ((U64_MAX, 6.100058474907605), (U64_MAX, 6.158815794729875), 6.130337623710349,
     (U64_MAX,) * 4),
    ((U64_MAX, -8.921385952366872), (U64_MAX, -4.283972398237168), -7.143545908380576,
     (U64_MAX - 1,) * 4),
    ((U64_MAX, -9.828067521003396), (U64_MAX, 2.324848982766504), -5.750760167050173,
     (U64_MAX - 2,) * 4),
    # the roundings carry the coordinate to 2**64, which saturates
    ((U64_MAX, -108.0), (U64_MAX, 943.0), float.fromhex("-0x1.b5e52c1a43431p-34"),
     (U64_MAX,) * 4),
    ((U64_MAX, float.fromhex("-0x1.59d15958bf824p-1")),
     (U64_MAX - 1, float.fromhex("0x1.c2fe649c4eca0p-2")),
     float.fromhex("-0x1.6acd4dbf1f3ebp-39"), (U64_MAX,) * 4),
    ((0, 0.0), (U64_MAX, 1.0), 0.5, (None, P63, P63 - 1, P63)),
    ((U64_MAX, 0.0), (0, 1.0), 0.5, (None, P63, P63 - 1, P63)),
    ((0, -MAX), (10, MAX), 0.0, (5, 5, 5, 5)),
    ((0, TINY), (10, 3 * TINY), 2 * TINY, (5, 5, 5, 5)),
    ((0, -TINY), (3, TINY), 0.0, (None, 2, 1, 2)),
]


@pytest.mark.parametrize("left, right, f, expected", _INV_R)
def test_inverse_segment(backend, left, right, f, expected):
    (x0, f0), (x1, f1) = left, right
    queries, xp, fp = [f, f0, f1], [x0, x1], [f0, f1]
    for method, want in zip(METHOD_NAMES, expected):
        want = NOT_FOUND if want is None else [want, x0, x1]
        assert model.inverse_float(queries, xp, fp, method) == want, method
        assert run_inverse(backend, queries, xp, fp, method) == want, method


# ---------------------------------------------------------------------------
# Non-finite values and the order of failures

NAN_PAYLOAD = bits_f64(0x7FF8000000000123)
NEG_NAN = bits_f64(0xFFF8000000000000)
SIGNALLING_NAN = bits_f64(0x7FF0000000000001)

FORWARD_TABLES = [
    # xp, fp, x, outcome (a list of values, compared by bits, or a Raised)
    ([0, 10, 20], [NAN_PAYLOAD, -INF, -0.0], [0, 10, 20, 0], [NAN_PAYLOAD, -INF, -0.0, NAN_PAYLOAD]),
    ([0, 10], [NEG_NAN, INF], [10, 0], [INF, NEG_NAN]),
    ([0, 10], [SIGNALLING_NAN, 1.0], [0], [SIGNALLING_NAN]),
    ([0, 10, 20], [NAN, -INF, -0.0], [5], NOT_FINITE),
    ([0, 10, 20], [1.0, -INF, -0.0], [15], NOT_FINITE),
    ([0, 10, 20], [1.0, 2.0, NAN], [5, 10, 0], [1.5, 2.0, 1.0]),
    ([0, 10, 20], [1.0, 2.0, NAN], [5, 25, 15], OOB_X),
    ([0, 10, 20], [1.0, 2.0, NAN], [5, 15, 25], NOT_FINITE),
    ([0, 10, 20], [1.0, 2.0, NAN], [20, 0], [NAN, 1.0]),
    ([0, 2], [0.0, INF], [1], NOT_FINITE),
    ([0, 2], [-INF, 0.0], [1], NOT_FINITE),
    ([0, 2], [NAN, 1.0], [1], NOT_FINITE),
    ([0, 2], [NAN, 1.0], [0], [NAN]),
    ([0, 1], [NAN, INF], [0, 1], [NAN, INF]),
    ([0, 0], [NAN, 1.0], [0], XP_UNSORTED),
    ([5, 3], [1.0, 2.0], [], []),
    ([], [], [1], OOB_X),
    ([7], [NAN], [7], [NAN]),
    ([7], [NAN], [8], OOB_X),
    ([0, 1, 2], [0.0, 1.0], [], Raised("Panic", model.MSG_LENGTH)),
]


@pytest.mark.parametrize("xp, fp, x, expected", FORWARD_TABLES)
def test_forward_table(backend, xp, fp, x, expected):
    if not isinstance(expected, Raised):
        expected = bits_of(expected)
    assert model.forward_float_bits(x, xp, fp) == expected
    assert run_forward(backend, x, xp, fp) == expected


def _per_method(absent, nearest, ffill, bfill):
    return dict(zip(METHOD_NAMES, (absent, nearest, ffill, bfill)))


def _all(outcome):
    return _per_method(outcome, outcome, outcome, outcome)


INVERSE_TABLES = [
    # xp, fp, f, {method: outcome}
    ([1, 2, 3], [-INF, 0.0, INF], [-INF, INF, 0.0, -0.0], _all([1, 3, 2, 2])),
    ([1, 2, 3], [-INF, 0.0, INF], [-1.0], _all(NOT_FINITE)),
    ([1, 2, 3], [-INF, 0.0, INF], [1.0], _all(NOT_FINITE)),
    ([1, 2, 3], [-INF, 0.0, INF], [-INF, 0.0, 1.0], _all(NOT_FINITE)),
    ([1, 2, 3], [-1.0, 0.0, 1.0], [NAN], _all(NAN_PANIC)),
    ([1, 2, 3], [-1.0, 0.0, 1.0], [NAN_PAYLOAD], _all(NAN_PANIC)),
    ([1, 2, 3], [-1.0, 0.0, 1.0], [0.0, NAN], _all(NAN_PANIC)),
    ([7], [1.0], [NAN], _all(NAN_PANIC)),
    ([7], [NAN], [1.0], _all(NAN_PANIC)),
    ([7], [NAN], [NAN], _all(NAN_PANIC)),
    ([7], [NAN], [], _all([])),
    ([7], [INF], [INF, 1.0], _per_method(OOB_F, [7, 7], OOB_F, [7, 7])),
    ([], [], [NAN], _all(OOB_F)),
    ([], [], [INF], _all(OOB_F)),
    ([0, 1], [1.0, NAN], [1.0], _all(FP_UNSORTED)),
    ([0, 1], [NAN, 1.0], [NAN], _all(FP_UNSORTED)),
    ([0, 1, 2], [1.0, NAN, 2.0], [5.0], _all(FP_UNSORTED)),
    ([0, 1], [-0.0, 0.0], [0.0], _all(FP_UNSORTED)),
    ([0, 1], [INF, INF], [INF], _all(FP_UNSORTED)),
    ([0, 1], [1.0, NAN], [], _all([])),
    ([5, 6], [0.0, 1.0], [-0.0, 1.0], _all([5, 6])),
    ([5, 6], [-0.0, 1.0], [0.0], _all([5])),
    ([100, 200], [0.0, 1.0], [INF], _per_method(OOB_F, [200], [200], OOB_F)),
    ([100, 200], [0.0, 1.0], [-INF], _per_method(OOB_F, [100], OOB_F, [100])),
    ([100, 200], [0.0, 1.0], [MAX, -MAX], _per_method(OOB_F, [200, 100], OOB_F, OOB_F)),
    ([0, 10], [0.0, 3.0], [0.0, 1.0, NAN], _per_method(NOT_FOUND, NAN_PANIC, NAN_PANIC, NAN_PANIC)),
    ([0, 10], [0.0, 3.0], [NAN, 5.0], _all(NAN_PANIC)),
    ([0, 10], [0.0, 3.0], [5.0, NAN], _per_method(OOB_F, NAN_PANIC, NAN_PANIC, OOB_F)),
    ([0, 10], [0.0, 3.0], [-1.0, 1.5, 2.0], _per_method(OOB_F, [0, 5, 7], OOB_F, [0, 5, 7])),
    ([0, 10], [0.0, 3.0], [1.5, 2.0, -1.0], _per_method(NOT_FOUND, [5, 7, 0], OOB_F, [5, 7, 0])),
    ([0, 1, 2], [0.0, 1.0], [], _all(Raised("Panic", model.MSG_LENGTH))),
]


@pytest.mark.parametrize("xp, fp, f, expected", INVERSE_TABLES)
def test_inverse_table(backend, xp, fp, f, expected):
    for method in METHOD_NAMES:
        assert model.inverse_float(f, xp, fp, method) == expected[method], method
        assert run_inverse(backend, f, xp, fp, method) == expected[method], method


# ---------------------------------------------------------------------------
# Random tables

RNG_SEED = 97531


def _finite_bits(rng, n, exp_lo=0, exp_hi=2046, signed=True):
    """Random finite float64s with the biased exponent uniform in
    [exp_lo, exp_hi] and a uniform fraction."""
    frac = rng.integers(0, 1 << 52, n, dtype=np.uint64)
    exp = rng.integers(exp_lo, exp_hi, n, dtype=np.uint64, endpoint=True)
    sign = rng.integers(0, 2, n, dtype=np.uint64) if signed else np.zeros(n, np.uint64)
    bits = (sign << np.uint64(63)) | (exp << np.uint64(52)) | frac
    return bits.view(np.float64)


def _values(rng, n, regime):
    if regime == "unit":
        return rng.uniform(-1.0, 1.0, n)
    if regime == "positive":
        return rng.uniform(0.0, 1.0, n)
    if regime == "integers":
        return rng.integers(-1000, 1000, n).astype(np.float64)
    if regime == "bits":
        return _finite_bits(rng, n)
    if regime == "subnormal":
        return _finite_bits(rng, n, 0, 1)
    if regime == "huge":
        return _finite_bits(rng, n, 2030, 2046)
    if regime == "tiny":
        return _finite_bits(rng, n, 0, 40)
    if regime == "scaled":
        scale = 2.0 ** float(rng.integers(-1000, 1000))
        return rng.uniform(-1.0, 1.0, n) * scale
    if regime == "plateau":
        return np.full(n, _finite_bits(rng, 1)[0])
    if regime == "ulps":
        base = f64_bits(rng.uniform(-4.0, 4.0))
        return np.array([bits_f64(base + int(k)) for k in rng.integers(0, 64, n)])
    raise AssertionError(regime)


def _coords(rng, n, regime):
    def around(centre, spread):
        return [min(max(centre + int(d), 0), U64_MAX)
                for d in rng.integers(-spread, spread, n, endpoint=True)]
    if regime == "full":
        return [int(v) for v in rng.integers(0, U64_MAX, n, dtype=np.uint64, endpoint=True)]
    if regime == "small":
        return [int(v) for v in rng.integers(0, 100, n)]
    if regime == "p62":
        return around(P62, 1 << 12)
    if regime == "p63":
        return around(P63, 1 << 12)
    if regime == "p64":
        return around(U64_MAX, 1 << 12)
    if regime == "edges":
        pool = [0, 1, P62 - 1, P62, P62 + 1, P63 - 1, P63, P63 + 1, U64_MAX - 1, U64_MAX]
        return [pool[int(k)] for k in rng.integers(0, len(pool), n)]
    if regime == "wide":
        return [int(v) >> int(s) for v, s in zip(
            rng.integers(0, U64_MAX, n, dtype=np.uint64, endpoint=True), rng.integers(0, 64, n))]
    raise AssertionError(regime)


VALUE_REGIMES = ["unit", "positive", "integers", "bits", "subnormal", "huge", "tiny",
                 "scaled", "plateau", "ulps"]
COORD_REGIMES = ["full", "small", "p62", "p63", "p64", "edges", "wide"]


def _inside(rng, lo, hi, count):
    """Integers in [lo, hi]: the ends, their neighbours, uniform picks."""
    out = [lo, hi, lo + 1, hi - 1]
    for _ in range(count):
        out.append(lo + int.from_bytes(rng.bytes(9), "little") % (hi - lo + 1))
    return [v for v in out if lo <= v <= hi]


def _forward_cases():
    rng = np.random.default_rng(RNG_SEED)
    cases = []
    for vr in VALUE_REGIMES:
        for cr in COORD_REGIMES:
            xp = sorted(set(_coords(rng, int(rng.integers(2, 9)), cr)))
            if len(xp) < 2:
                xp = [0, U64_MAX]
            fp = _values(rng, len(xp), vr)
            x = []
            for k in range(1, len(xp)):
                x += _inside(rng, xp[k - 1], xp[k], 5)
            x = sorted(set(x))
            rng.shuffle(x)
            cases.append((f"{vr}-{cr}", xp, fp, x))
    return cases


FORWARD_CASES = _forward_cases()


@pytest.mark.parametrize("name, xp, fp, x", FORWARD_CASES, ids=[c[0] for c in FORWARD_CASES])
def test_forward_random_tables(backend, name, xp, fp, x):
    want = _cached_model(("forward", name), lambda: model.forward_float_bits(x, xp, fp))
    assert not isinstance(want, Raised)
    assert run_forward(backend, x, xp, fp) == want


def _between(rng, lo: float, hi: float, count: int) -> list[float]:
    """Floats strictly between lo < hi: neighbours of the ends, the
    midpoint, and picks uniform in the bit patterns (so in the binades)."""
    out = [float(math.nextafter(lo, INF)), float(math.nextafter(hi, -INF)), lo / 2 + hi / 2]
    for _ in range(count):
        a, b = lo, hi
        if a < 0.0 < b:
            if rng.integers(0, 2):
                a = 0.0
            else:
                b = -0.0
        if a >= 0.0:
            ba, bb = f64_bits(abs(a)), f64_bits(b)
            out.append(bits_f64(int(rng.integers(ba, bb, endpoint=True))))
        else:
            ba, bb = f64_bits(abs(b)), f64_bits(-a)
            out.append(-bits_f64(int(rng.integers(ba, bb, endpoint=True))))
    return [v for v in out if lo < v < hi]


def _shape(rng, xp, shape):
    if shape == "increasing":
        return sorted(xp)
    if shape == "decreasing":
        return sorted(xp, reverse=True)
    if shape == "equal":
        return [xp[0]] * len(xp)
    if shape == "duplicates":
        return [xp[int(k)] for k in rng.integers(0, 2, len(xp))]
    return xp


XP_SHAPES = ["random", "increasing", "decreasing", "equal", "duplicates"]


def _inverse_cases():
    rng = np.random.default_rng(RNG_SEED + 1)
    cases = []
    for vr in VALUE_REGIMES:
        if vr == "plateau":
            continue
        for cr in COORD_REGIMES:
            fp = np.unique(_values(rng, int(rng.integers(3, 9)), vr))
            if len(fp) < 2:
                fp = np.array([-1.0, 1.0])
            shape = XP_SHAPES[int(rng.integers(0, len(XP_SHAPES)))]
            xp = _shape(rng, _coords(rng, len(fp), cr), shape)
            f = list(fp)
            for k in range(1, len(fp)):
                f += _between(rng, float(fp[k - 1]), float(fp[k]), 4)
            rng.shuffle(f)
            cases.append((f"{vr}-{cr}-{shape}", xp, fp, f))
    return cases


INVERSE_CASES = _inverse_cases()


@pytest.mark.parametrize("name, xp, fp, f", INVERSE_CASES, ids=[c[0] for c in INVERSE_CASES])
def test_inverse_random_tables(backend, name, xp, fp, f):
    for method in METHOD_NAMES[1:]:
        want = _cached_model(("inverse", name, method),
                             lambda: model.inverse_float(f, xp, fp, method))
        assert not isinstance(want, Raised)
        assert run_inverse(backend, f, xp, fp, method) == want, method
    # Without a method most interior values have no whole coordinate and
    # end the batch: compare value by value.
    single = _cached_model(("inverse-single", name),
                           lambda: [model.inverse_float([q], xp, fp) for q in f[:12]])
    for q, want in zip(f, single):
        assert run_inverse(backend, [q], xp, fp) == want, q


def _top_cases():
    """Coordinates from 2**63 up: every coordinate is whole, so the method
    plays no part inside a segment; the roundings can still carry a
    coordinate of 2**64 - 1 over the top, where it saturates."""
    rng = np.random.default_rng(RNG_SEED + 2)
    cases = []
    for vr in ("unit", "bits", "ulps", "scaled", "subnormal", "huge"):
        for cr in ("p64", "edges-top", "equal-top"):
            fp = np.unique(_values(rng, 8, vr))
            if cr == "p64":
                xp = _coords(rng, len(fp), "p64")
            elif cr == "edges-top":
                pool = [P63, P63 + 1, P63 + 2, U64_MAX - 2, U64_MAX - 1, U64_MAX]
                xp = [pool[int(k)] for k in rng.integers(0, len(pool), len(fp))]
            else:
                xp = [U64_MAX] * len(fp)
            f = []
            for k in range(1, len(fp)):
                f += _between(rng, float(fp[k - 1]), float(fp[k]), 6)
            cases.append((f"{vr}-{cr}", xp, fp, f))
    return cases


TOP_CASES = _top_cases()


def _top_model(name, xp, fp, f):
    return _cached_model(("top", name), lambda: model.inverse_float(f, xp, fp))


@pytest.mark.parametrize("name, xp, fp, f", TOP_CASES, ids=[c[0] for c in TOP_CASES])
def test_inverse_top_coordinates(backend, name, xp, fp, f):
    want = _top_model(name, xp, fp, f)
    assert not isinstance(want, Raised)
    for method in METHOD_NAMES:
        assert run_inverse(backend, f, xp, fp, method) == want, (name, method)


def test_inverse_top_coordinates_saturate():
    """The cases above do reach 2**64 - 1 by saturation and values below it
    from equal coordinates of 2**64 - 1."""
    seen = set()
    for name, xp, fp, f in TOP_CASES:
        if name.endswith("equal-top"):
            seen.update(_top_model(name, xp, fp, f))
    assert U64_MAX in seen and U64_MAX - 1 in seen


def test_forward_plateau_truncates_toward_zero(backend):
    """On a segment of one repeated value the result is that value or the
    binary64 number next to it toward zero, never farther out."""
    rng = np.random.default_rng(RNG_SEED + 3)
    values = np.concatenate([_values(rng, 30, "bits"), _values(rng, 10, "unit")])
    moved = 0
    for c in values:
        c = float(c)
        xp = [0, int(rng.integers(3, 1 << 40)), U64_MAX]
        fp = [c, c, c]
        x = _inside(rng, xp[0], xp[1], 6) + _inside(rng, xp[1], xp[2], 6)
        want = model.forward_float_bits(x, xp, fp)
        for b in want:
            v = bits_f64(b)
            assert v == c or (abs(v) < abs(c) and math.nextafter(c, 0.0) == v)
            moved += v != c
        assert run_forward(backend, x, xp, fp) == want
    assert moved > 0


def test_forward_large_batch(backend):
    """One table, many queries: random finite bit patterns as values."""
    rng = np.random.default_rng(RNG_SEED + 4)
    xp = sorted(set(_coords(rng, 40, "full") + _coords(rng, 10, "edges")))
    fp = _values(rng, len(xp), "bits")
    x = []
    for k in range(1, len(xp)):
        x += _inside(rng, xp[k - 1], xp[k], 60)
    want = _cached_model("forward-large", lambda: model.forward_float_bits(x, xp, fp))
    assert run_forward(backend, x, xp, fp) == want


def test_inverse_large_batch(backend):
    rng = np.random.default_rng(RNG_SEED + 5)
    fp = np.unique(np.concatenate([_values(rng, 30, "bits"), _values(rng, 10, "unit")]))
    xp = _coords(rng, len(fp), "wide")
    inner = []
    for k in range(1, len(fp)):
        inner += _between(rng, float(fp[k - 1]), float(fp[k]), 40)
    outside = {"nearest": [-INF, INF, -MAX, MAX], "ffill": [INF, MAX], "bfill": [-INF, -MAX]}
    for method in METHOD_NAMES[1:]:
        f = outside[method] + inner
        want = _cached_model(("inverse-large", method),
                             lambda: model.inverse_float(f, xp, fp, method))
        assert not isinstance(want, Raised)
        assert run_inverse(backend, f, xp, fp, method) == want, method


# ---------------------------------------------------------------------------
# Property tests: small tables with non-finite values mixed in

_finite = st.floats(allow_nan=False, allow_infinity=False)
_specials = st.sampled_from([0.0, -0.0, TINY, -TINY, MIN_NORMAL, MAX, -MAX, 1.0, -1.0, 0.5])
_any_f64 = st.one_of(_finite, _specials, st.sampled_from([INF, -INF, NAN]))
_coord = st.one_of(
    st.integers(0, U64_MAX),
    st.sampled_from([0, 1, P62, P62 + 1, P63 - 1, P63, P63 + 1, U64_MAX - 1, U64_MAX]),
    st.integers(0, 50),
)


@st.composite
def _forward_inputs(draw):
    n = draw(st.integers(0, 6))
    xp = draw(st.lists(_coord, min_size=n, max_size=n))
    if draw(st.integers(0, 5)):
        xp = sorted(set(xp))
    value = draw(st.sampled_from([_finite, st.one_of(_finite, _specials), _any_f64]))
    fp = draw(st.lists(value, min_size=len(xp), max_size=len(xp)))
    inner = [st.integers(a, b) for a, b in zip(xp, xp[1:]) if a < b]
    pick = st.one_of(*inner, _coord) if inner else _coord
    x = draw(st.lists(pick, max_size=10))
    return x, xp, fp


@st.composite
def _inverse_inputs(draw):
    n = draw(st.integers(0, 6))
    value = draw(st.sampled_from([_finite, st.one_of(_finite, _specials), _any_f64]))
    fp = draw(st.lists(value, min_size=n, max_size=n))
    if draw(st.integers(0, 5)):
        fp = sorted({v for v in fp if not math.isnan(v)})
    xp = draw(st.lists(_coord, min_size=len(fp), max_size=len(fp)))
    inner = [st.floats(a, b, exclude_min=True, exclude_max=True)
             for a, b in zip(fp, fp[1:])
             if math.isfinite(a) and math.isfinite(b) and math.nextafter(a, INF) < b]
    pick = st.one_of(*inner, _any_f64) if inner else _any_f64
    f = draw(st.lists(st.one_of(pick, st.sampled_from(fp) if fp else pick), max_size=10))
    method = draw(st.sampled_from(METHOD_NAMES))
    return f, xp, fp, method


@SETTINGS
@given(_forward_inputs())
def test_forward_property(backend, args):
    x, xp, fp = args
    assert run_forward(backend, x, xp, fp) == model.forward_float_bits(x, xp, fp)


@SETTINGS
@given(_inverse_inputs())
def test_inverse_property(backend, args):
    f, xp, fp, method = args
    assert run_inverse(backend, f, xp, fp, method) == model.inverse_float(f, xp, fp, method)


# ---------------------------------------------------------------------------
# The caller's floating-point environment

FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO = 0x000, 0x400, 0x800, 0xC00
ROUNDING_MODES = {
    "tonearest": FE_TONEAREST,
    "downward": FE_DOWNWARD,
    "upward": FE_UPWARD,
    "towardzero": FE_TOWARDZERO,
}
FENV_T_SIZE = 32  # glibc x86-64 fenv_t: x87 environment (28 bytes) + MXCSR


def _libm():
    if platform.machine().lower() not in ("x86_64", "amd64") or not sys.platform.startswith("linux"):
        pytest.skip("the fenv constants and fenv_t layout used here are those of x86-64 Linux")
    if platform.libc_ver()[0] != "glibc":
        pytest.skip("needs glibc's libm")
    name = ctypes.util.find_library("m") or "libm.so.6"
    libm = ctypes.CDLL(name)
    libm.fegetround.restype = ctypes.c_int
    libm.fesetround.argtypes = [ctypes.c_int]
    libm.fesetround.restype = ctypes.c_int
    libm.fegetenv.argtypes = [ctypes.c_void_p]
    libm.fesetenv.argtypes = [ctypes.c_void_p]
    return libm


@lru_cache(maxsize=None)
def _environment_cases():
    """Calls whose results depend on every rounding step, and calls that
    fail in each way, with the outcome the model gives for each."""
    rng = np.random.default_rng(RNG_SEED + 6)
    calls = []
    xp = sorted(set(_coords(rng, 12, "full") + [0, P62 + 1, P63 + 3, U64_MAX]))
    fp = np.concatenate([_values(rng, len(xp) // 2, "unit"),
                         _values(rng, len(xp) - len(xp) // 2, "bits")])
    x = []
    for k in range(1, len(xp)):
        x += _inside(rng, xp[k - 1], xp[k], 20)
    x += [1, 2]
    calls.append(("forward", x, xp, fp, None))
    calls.append(("forward", [1, 2], [0, 3], [0.3333333333333333, 0.6666666666666666], None))
    calls.append(("forward", [1], [0, 3073], [0.3333333333333333] * 2, None))
    fpi = np.unique(np.concatenate([_values(rng, 10, "unit"), _values(rng, 10, "bits")]))
    xpi = _coords(rng, len(fpi), "wide")
    f = []
    for k in range(1, len(fpi)):
        f += _between(rng, float(fpi[k - 1]), float(fpi[k]), 10)
    for method in METHOD_NAMES[1:]:
        calls.append(("inverse", f, xpi, fpi, method))
        calls.append(("inverse", [0.3333333333333333, 0.5], [0, 3], [0.0, 1.0], method))
        calls.append(("inverse", [-7.143545908380576], [U64_MAX, U64_MAX],
                      [-8.921385952366872, -4.283972398237168], method))
    # failures
    calls.append(("forward", [5, 15], [0, 10, 20], [1.0, 2.0, NAN], None))
    calls.append(("forward", [5, 25], [0, 10, 20], [1.0, 2.0, 3.0], None))
    calls.append(("forward", [5], [0, 0], [1.0, 2.0], None))
    calls.append(("inverse", [0.0, 0.5], [0, 10], [-INF, 0.0], "nearest"))
    calls.append(("inverse", [NAN], [0, 10], [0.0, 1.0], "ffill"))
    calls.append(("inverse", [0.3333333333333333], [0, 3], [0.0, 1.0], None))
    calls.append(("inverse", [2.0], [0, 3], [0.0, 1.0], "bfill"))
    prepared = []
    for kind, q, a, b, method in calls:
        if kind == "forward":
            want = model.forward_float_bits(q, a, b)
            args = (u64(q), u64(a), f64(b))
        else:
            want = model.inverse_float(q, a, b, method)
            args = (f64(q), u64(a), f64(b), method)
        prepared.append((kind, args, want))
    assert any(isinstance(w, Raised) and w.type == "Panic" for _, _, w in prepared)
    return prepared


def _call_prepared(backend, kind, args):
    """Call the extension with prepared arrays; no float work of our own
    happens here, since it may run under a non-default rounding mode."""
    fn = backend.forward_float if kind == "forward" else backend.inverse_float
    out = capture(fn, *args)
    if isinstance(out, np.ndarray):
        out = out.copy()
    return out


def _as_outcome(kind, out):
    if isinstance(out, Raised):
        return out
    if kind == "forward":
        return [int(b) for b in out.view(np.uint64).tolist()]
    return [int(v) for v in out.tolist()]


@pytest.mark.parametrize("mode", list(ROUNDING_MODES))
def test_rounding_mode_of_caller(backend, mode):
    libm = _libm()
    cases = _environment_cases()
    code = ROUNDING_MODES[mode]
    saved = libm.fegetround()
    results, modes_after = [], []
    assert libm.fesetround(code) == 0
    try:
        for kind, args, _ in cases:
            results.append(_call_prepared(backend, kind, args))
            modes_after.append(libm.fegetround())
    finally:
        libm.fesetround(saved)
    assert modes_after == [code] * len(cases)
    for (kind, _, want), out in zip(cases, results):
        assert _as_outcome(kind, out) == want


def _control_word(libm) -> int:
    env = ctypes.create_string_buffer(64)
    assert libm.fegetenv(env) == 0
    return struct.unpack_from("<H", env.raw, 0)[0]


@pytest.mark.parametrize("precision", [("53 bits", 0x200), ("24 bits", 0x000)],
                         ids=lambda p: p[0])
def test_x87_precision_control_of_caller(backend, precision):
    libm = _libm()
    cases = _environment_cases()
    _, pc_bits = precision
    saved = ctypes.create_string_buffer(64)
    assert libm.fegetenv(saved) == 0
    cw = struct.unpack_from("<H", saved.raw, 0)[0]
    changed = ctypes.create_string_buffer(saved.raw, 64)
    struct.pack_into("<H", changed, 0, (cw & ~0x300) | pc_bits)
    results, words_after = [], []
    assert libm.fesetenv(changed) == 0
    try:
        expected_word = _control_word(libm)
        for kind, args, _ in cases:
            results.append(_call_prepared(backend, kind, args))
            words_after.append(_control_word(libm))
    finally:
        libm.fesetenv(saved)
    assert expected_word & 0x300 == pc_bits
    assert words_after == [expected_word] * len(cases)
    for (kind, _, want), out in zip(cases, results):
        assert _as_outcome(kind, out) == want


def _under_mxcsr(libm, bits, fn):
    """fn()'s outcome with MXCSR bits (DAZ 0x40, FTZ 0x8000) set on top of
    the caller's; nothing else runs while they are set."""
    saved = ctypes.create_string_buffer(64)
    assert libm.fegetenv(saved) == 0
    changed = ctypes.create_string_buffer(saved.raw, 64)
    mxcsr = struct.unpack_from("<I", saved.raw, FENV_T_SIZE - 4)[0]
    struct.pack_into("<I", changed, FENV_T_SIZE - 4, mxcsr | bits)
    assert libm.fesetenv(changed) == 0
    try:
        return capture(fn)
    finally:
        libm.fesetenv(saved)


@pytest.mark.parametrize("bits", [0x40, 0x8040], ids=["DAZ", "DAZ and FTZ"])
def test_table_subnormals_under_caller_daz(bits):
    """A caller's DAZ makes subnormals compare (and print) as zero on the
    hardware: a Table built under it still finds its subnormal samples
    increasing, and messages name and show the samples a query fell
    between, and a descent's first real pair."""
    import quorvane

    libm = _libm()
    xp, fp = u64([0, 10, 20, 30]), f64([TINY, 2 * TINY, 5 * TINY, 1.0])
    f = f64([2 * TINY, 5 * TINY])
    table = _under_mxcsr(libm, bits, lambda: quorvane.Table(xp, fp))
    assert table.inverse(f).tolist() == [10, 20]
    between = f64([3 * TINY])
    assert _under_mxcsr(libm, bits, lambda: table.inverse(between)) == capture(table.inverse, between) == Raised(
        "NotFoundError", "f[0] = 1.5e-323 falls between fp[1] = 1e-323 and fp[2] = 2.5e-323, at a coordinate that "
        "is not whole; method='nearest', 'ffill' or 'bfill' picks one")
    descending = quorvane.Table(u64([0, 10, 20, 30, 40]), f64([TINY, 2 * TINY, 3 * TINY, 1.0, 1.0]))
    raised = _under_mxcsr(libm, bits, lambda: descending.inverse(f))
    assert raised == Raised("NotIncreasingError", "fp must be strictly increasing for inverse queries, "
                                                  "but fp[4] = 1.0 follows fp[3] = 1.0")


# ---------------------------------------------------------------------------
# The model on its own

_RTZ = gmpy2.context(precision=53, round=gmpy2.RoundToZero, emin=-1073, emax=1024,
                     subnormalize=True)


def _truncated(v) -> int:
    """The narrowing by MPFR's own rounding toward zero, with the ends that
    the extension defines: +0.0 below the smallest subnormal, infinity from
    2**1024 up."""
    x = Fraction(*v.as_integer_ratio())
    if x == 0 or abs(x) < Fraction(1, 1 << 1074):
        return 0
    if abs(x) >= 1 << 1024:
        return f64_bits(INF if x > 0 else -INF)
    with gmpy2.context(_RTZ):
        return f64_bits(float(gmpy2.mpfr(v)))


def test_model_narrowing_matches_mpfr_toward_zero():
    rng = np.random.default_rng(RNG_SEED + 7)
    with gmpy2.context(model._CTX):
        samples = [gmpy2.mpfr(0)]
        for e in list(range(-1080, -1015)) + list(range(1018, 1030)) + [-1, 0, 1, 64, 500]:
            for _ in range(6):
                m = int(rng.integers(1 << 62, 1 << 63)) * 2 + int(rng.integers(0, 2))
                for sign in (1, -1):
                    samples.append(gmpy2.mpfr(sign * m) * gmpy2.mpfr(2) ** (e - 64))
        samples.append(gmpy2.mpfr(2) ** 1024)
        samples.append(-gmpy2.mpfr(2) ** 1024)
        samples.append(gmpy2.mpfr(2) ** -1074)
        samples.append(gmpy2.mpfr(2) ** -1075)
        samples.append(-gmpy2.mpfr(2) ** -1075)
        samples.append(gmpy2.mpfr(2) ** -1023)
        samples.append(gmpy2.mpfr(2) - gmpy2.mpfr(2) ** -63)
    for v in samples:
        assert v.precision == 64
        assert model.f80_to_f64_bits(v) == _truncated(v), v
    with gmpy2.context(model._CTX):
        two = gmpy2.mpfr(2)
        assert model.f80_to_f64_bits(two - two ** -63) == f64_bits(1.9999999999999998)
        assert model.f80_to_f64_bits(two ** 1024) == f64_bits(INF)
        assert model.f80_to_f64_bits(-(two ** 1024)) == f64_bits(-INF)
        assert model.f80_to_f64_bits(two ** -1023) == 0x0008000000000000
        assert model.f80_to_f64_bits(two ** -1074) == f64_bits(TINY)
        assert model.f80_to_f64_bits(-(two ** -1075)) == 0
        tenth = gmpy2.mpfr(1) / gmpy2.mpfr(10)
        assert model.f80_parts(tenth) == (0, -3, 0xCCCCCCCCCCCCCCCD)
        assert model.f80_to_f64_bits(tenth) == 0x3FB9999999999999
        for v in _finite_bits(rng, 200):
            expected = 0 if v == 0 else f64_bits(float(v))
            assert model.f80_to_f64_bits(gmpy2.mpfr(float(v))) == expected


def test_model_saturating_cases_reach_two_to_64(monkeypatch):
    """The saturating worked cases do carry the coordinate to 2**64."""
    seen = []
    convert = model.f80_to_u64
    monkeypatch.setattr(model, "f80_to_u64", lambda v: seen.append(v) or convert(v))
    model.inverse_float([float.fromhex("-0x1.b5e52c1a43431p-34")], [U64_MAX, U64_MAX],
                        [-108.0, 943.0])
    model.inverse_float([float.fromhex("-0x1.6acd4dbf1f3ebp-39")], [U64_MAX, U64_MAX - 1],
                        [float.fromhex("-0x1.59d15958bf824p-1"),
                         float.fromhex("0x1.c2fe649c4eca0p-2")])
    assert len(seen) == 2 and all(v == 1 << 64 for v in seen)


def test_model_integer_conversion():
    with gmpy2.context(model._CTX):
        def mp(v):
            return gmpy2.mpfr(v)
        cases = [(mp(-0.5), 0), (mp(0.999), 0), (mp(3.75), 3), (mp(U64_MAX), U64_MAX),
                 (mp(2) ** 64, U64_MAX), (mp(2) ** 70, U64_MAX), (mp(0), 0), (mp(-5), 0),
                 (mp(P63) + mp(0.5), P63), (mp(1), 1)]
        for v, want in cases:
            assert model.f80_to_u64(v) == want, v
        for v, want in [(0.5, 0), (1.5, 2), (2.5, 2), (3.5, 4), (-0.5, 0), (-1.5, -2)]:
            assert int(model.f80_round(mp(v))) == want
        for v in (mp(7), mp(P63), mp(0)):
            assert model.f80_floor(v) == v and model.f80_ceil(v) == v
