"""``python -m quorvane``: a worked example on a 64-bit axis, with both
interfaces: the low-level functions and the prepared ``Table``.

A digitiser samples at about 1 MHz and counts its samples in a uint64
counter.  A GPS receiver marks every whole second (a PPS edge), and the
digitiser records the counter at each edge.  That gives a table from
sample counter to Unix time in nanoseconds, which is interpolated in both
directions: sample counter -> timestamp, and timestamp -> sample counter.

Unix time in ns is about 1.7e18, where float64 has a spacing of 256 ns, so
``numpy.interp`` (which computes in float64) cannot even represent most
answers.  quorvane computes them exactly.
"""

from __future__ import annotations

import sys

import numpy as np

from . import Error, Table, __version__, build_info, forward_int, inverse_int

#: Unix time of the first PPS edge: 2024-06-10T06:13:20Z, in ns.
T0 = 1_718_000_000 * 1_000_000_000

#: Sample counter at four consecutive PPS edges; the digitiser's clock runs
#: a few tens of ppm fast, so a second holds slightly more than 1e6 samples.
PPS_SAMPLES = np.array([0, 1_000_037, 2_000_071, 3_000_110], dtype=np.uint64)

#: Unix time of those edges, in ns: whole seconds.
PPS_TIMES = T0 + np.array([0, 1, 2, 3], dtype=np.int64) * 1_000_000_000

MARK = "  <-- differs"


def _rows(header: tuple[str, ...], rows: list[tuple[object, ...]]) -> None:
    widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
    for row in [header, *rows]:
        cells = [str(c).rjust(w) for c, w in zip(row, widths)]
        flag = row[-1] if row is not header else ""
        print("  " + "  ".join(cells[:-1]) + (MARK if flag else ""))


def main() -> int:
    xp, fp = PPS_SAMPLES, PPS_TIMES
    print("quorvane demo: sample counter of a ~1 MHz digitiser <-> Unix time in ns")
    print()
    print("PPS table (xp: sample counter, uint64; fp: Unix time in ns, int64):")
    for s, t in zip(xp.tolist(), fp.tolist()):
        print(f"  {s:>9}  {t}")
    print()
    print(f"float64 spacing at {float(fp[0]):.3g}: {np.spacing(float(fp[0])):.0f} ns")
    print()

    # Sample counter -> timestamp.
    samples = np.array([1, 12_345, 500_018, 1_000_036, 1_000_038, 2_750_000],
                       dtype=np.uint64)
    exact = forward_int(samples, xp, fp)
    approx = np.interp(samples, xp, fp)
    print("Timestamp of a sample: forward_int(x, xp, fp) vs numpy.interp")
    rows: list[tuple[object, ...]] = []
    for s, e, a in zip(samples.tolist(), exact.tolist(), approx.tolist()):
        a = int(a)
        rows.append((s, e, a, f"{a - e:+d}", a != e))
    _rows(("sample", "quorvane (ns)", "numpy.interp (ns)", "error", ""), rows)
    print()

    # Timestamp -> sample counter: a trigger fires 3 ns after sample k; the
    # sample at or before the trigger ("ffill") must be k.
    ks = np.array([13_337, 26_674, 40_011, 999_999, 2_000_070, 2_750_000],
                  dtype=np.uint64)
    triggers = forward_int(ks, xp, fp) + 3
    exact_k = inverse_int(triggers, xp, fp, method="ffill")
    approx_k = np.floor(np.interp(triggers, fp, xp)).astype(np.uint64)
    print("Sample at or before a trigger 3 ns after sample k:")
    print("  inverse_int(f, xp, fp, method='ffill') vs floor(numpy.interp)")
    rows = []
    for k, t, e, a in zip(ks.tolist(), triggers.tolist(), exact_k.tolist(),
                          approx_k.tolist()):
        rows.append((k, t, e, a, a != e))
    _rows(("k", "trigger (ns)", "quorvane", "numpy.interp", ""), rows)
    print()

    # A whole run of sample counters: round trip and error statistics.
    every = np.arange(0, 3_000_111, 7, dtype=np.uint64)
    times = forward_int(every, xp, fp)
    back = inverse_int(times, xp, fp, method="nearest")
    # numpy's answers near 1.7e18 are whole floats, so they convert exactly.
    err = np.abs(np.interp(every, xp, fp).astype(np.int64) - times)
    wrong = int(np.count_nonzero(err))
    print(f"Over {every.size} sample counters (every 7th):")
    print(f"  quorvane round trip sample -> time -> sample (method='nearest'): "
          f"{int(np.count_nonzero(back != every))} mismatches")
    print(f"  numpy.interp timestamps that are not the exact answer: "
          f"{wrong} ({100.0 * wrong / every.size:.1f}%), "
          f"off by up to {int(err.max())} ns")
    print()

    # The same table, prepared once, with its times as datetime64[ns]: any
    # shape of query, datetime64 in and out, errors that name the query.
    clock = Table(xp, fp.astype("datetime64[ns]"))
    print(f"Prepared once: {clock!r}")
    grid = np.array([[1, 12_345], [500_018, 2_750_000]], dtype=np.uint32)
    print("  clock.forward(2-D uint32 sample counters):")
    for row in clock.forward(grid).astype(str):
        print("    " + "  ".join(row))
    at = np.array(["2024-06-10T06:13:20.5", "2024-06-10T06:13:22.75"], dtype="datetime64[ms]")
    print(f"  clock.inverse({at.astype(str).tolist()} in ms, method='ffill') ->",
          clock.inverse(at, method="ffill").tolist())
    try:
        clock.forward([2_000_000, 4_000_000])
    except Error as exc:
        print(f"  clock.forward([2_000_000, 4_000_000]) -> {type(exc).__name__}: {exc}")
    same = clock.forward(every).view(np.int64)
    print(f"  Table and forward_int over the {every.size} sample counters: "
          f"{int(np.count_nonzero(same != times))} differences")
    return 0


def version() -> str:
    """The line ``python -m quorvane --version`` prints."""
    b = build_info()
    return (f"quorvane {__version__} (F80 backend {b['f80']}, {b['u128']} 128-bit integers, "
            f"built for {b['target']})")


if __name__ == "__main__":
    if sys.argv[1:] == ["--version"]:
        print(version())
        sys.exit(0)
    sys.exit(main())
