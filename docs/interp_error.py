"""Draw docs/interp_error.png, the README's picture: how far numpy.interp's
answers are from the exact ones along a nanosecond timestamp axis.

The table is a digitiser's sample counter against Unix time in ns, one entry
per pulse-per-second edge (the clock runs 37 ppm fast), as in the demo
(``python -m quorvane``).  Every sample counter of a 2 ms window is turned
into a timestamp twice: by ``quorvane.Table.forward``, exact, and by
``numpy.interp``, rounded to the nearest ns.  Near 1.7e18 ns float64 holds
only every 256th ns, so numpy.interp is off by up to 128 ns.

    python -m pip install ".[dev]"
    python docs/interp_error.py [OUT.png]

The numbers are computed without matplotlib (``errors()``); the test suite
checks them against Python integers.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

import quorvane

#: 2024-06-10T06:13:20Z in ns, and the sample counter at each second's edge.
T0 = 1_718_000_000 * 10**9
EDGES = np.array([0, 1_000_037, 2_000_071, 3_000_110], dtype=np.uint64)
#: The window drawn: 2,000 consecutive samples, a little after the second edge.
FIRST, COUNT = 1_250_000, 2_000

OUT = Path(__file__).resolve().with_name("interp_error.png")


def errors() -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(sample counters, exact timestamps in ns, numpy.interp's error in ns)."""
    times = T0 + np.arange(EDGES.size, dtype=np.int64) * 10**9
    clock = quorvane.Table(EDGES, times)
    x = np.arange(FIRST, FIRST + COUNT, dtype=np.uint64)
    exact = clock.forward(x)
    # numpy.interp answers in float64; the nearest int64 ns is the best
    # that can be made of it.
    approx = np.rint(np.interp(x, EDGES, times)).astype(np.int64)
    return x, exact, approx - exact


def draw(out: Path = OUT) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x, exact, err = errors()
    wrong = np.count_nonzero(err)
    ms = (exact - exact[0]) / 1e6
    start = str(np.datetime64(int(exact[0]), "ns"))

    fig, ax = plt.subplots(figsize=(9, 4.2), dpi=110)
    ax.axhspan(-128, 128, color="0.93", zorder=0,
               label="half the float64 spacing at 1.7e18 (\u00b1128 ns)")
    ax.scatter(ms, err, s=6, color="tab:red", linewidths=0, zorder=2,
               label=f"numpy.interp: {100 * wrong / err.size:.1f}% of answers wrong, "
                     f"up to {int(np.abs(err).max())} ns")
    ax.plot(ms, np.zeros_like(ms), color="tab:blue", linewidth=2.2, zorder=3,
            label="quorvane.Table.forward: exact, every answer")
    ax.set_xlim(ms[0], ms[-1])
    ax.set_ylim(-150, 280)    # room above the band for the legend
    ax.set_yticks([-128, -64, 0, 64, 128])
    ax.set_xlabel(f"time (ms) after {start[:10]} {start[11:]} UTC: one point per sample, "
                  f"about 1 \u00b5s apart")
    ax.set_ylabel("answer \u2212 exact answer (ns)")
    ax.set_title("Sample counter \u2192 Unix time in ns: numpy.interp against the exact answer")
    ax.legend(loc="upper right", fontsize=8.5, framealpha=1.0)
    ax.grid(axis="y", color="0.85", linewidth=0.6)
    fig.tight_layout()
    fig.savefig(out)
    plt.close(fig)
    print(f"wrote {out}: {wrong} of {err.size} numpy.interp answers wrong")


if __name__ == "__main__":
    draw(Path(sys.argv[1]) if len(sys.argv) > 1 else OUT)
