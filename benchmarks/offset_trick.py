#!/usr/bin/env python3
"""How wrong numpy.interp is on nanosecond timestamps, with and without
subtracting an offset first, against quorvane's exact answers.

    python benchmarks/offset_trick.py

A digitiser counts samples at about 1 MHz; its sample counter is recorded
at every PPS edge (one table entry per second, or per hour for the year).
For 1,000,000 random sample counters, the timestamp (rounded to the nearest
ns) and, for a random time up to 1 us after each, the sample at or before
it (floored) are compared with the exact answers.
"""

from __future__ import annotations

import numpy as np

import quorvane

T0 = 1_718_000_000 * 10**9  # Unix time of the first edge, ns


def measure(seconds: int, step: int, rng) -> list[tuple[str, float, int]]:
    n = seconds // step + 1
    rate = (1_000_037 + rng.integers(-3, 4, n - 1)) * step
    xp = np.concatenate([[0], np.cumsum(rate)]).astype(np.uint64)
    fp = T0 + np.arange(n, dtype=np.int64) * 10**9 * step
    table = quorvane.Table(xp, fp)
    x = rng.integers(0, int(xp[-1]), 1_000_000, dtype=np.uint64)
    exact = table.forward(x)
    x0, f0 = xp[0], fp[0]
    raw = np.interp(x, xp, fp).round().astype(np.int64)
    shifted = np.interp((x - x0).astype(np.float64), (xp - x0).astype(np.float64),
                        (fp - f0).astype(np.float64)).round().astype(np.int64) + f0
    trigger = exact + rng.integers(0, 1000, x.size)
    exact_k = table.inverse(trigger, method="ffill").astype(np.int64)
    shifted_k = np.floor(np.interp((trigger - f0).astype(np.float64), (fp - f0).astype(np.float64),
                                   (xp - x0).astype(np.float64))).astype(np.int64) + int(x0)
    rows = []
    for name, got, want in (("numpy.interp", raw, exact), ("offset + numpy.interp", shifted, exact),
                            ("offset, inverse, floor", shifted_k, exact_k)):
        wrong = np.count_nonzero(got != want)
        rows.append((name, 100.0 * wrong / x.size, int(np.abs(got - want).max())))
    return rows


def main() -> int:
    rng = np.random.default_rng(0)
    print(f"{'span':>8}  {'':<24} {'wrong':>8}  max error")
    for seconds, label, step in ((3600, "1 hour", 1), (86400, "1 day", 1), (30 * 86400, "30 days", 1),
                                 (365 * 86400, "1 year", 3600)):
        for name, wrong, worst in measure(seconds, step, rng):
            print(f"{label:>8}  {name:<24} {wrong:7.2f}%  {worst}")
            label = ""
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
