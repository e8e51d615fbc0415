#!/usr/bin/env python3
"""Speed of the float functions on each F80 backend, in one process.

    python benchmarks/backends.py            # builds what it can, then times
    python benchmarks/backends.py --quick    # tiny sizes: builds and checks only

Builds ``quorvane.rust`` once per backend (hardware x87, soft, MPFR; and the
soft backend with the portable 128-bit integers) into ``build/bench-<name>``,
loads every build side by side, and times ``forward_float`` and
``inverse_float`` (method "nearest") on a 65,536-entry table with 1,000,000
random queries, and one query on two samples (per call), the builds taking
turns on the same arrays.  Reports the minimum and the median over the
repetitions, in ns per query (per call), with ratios to the hardware
backend, and checks the targets: soft at most 1.3x hardware, MPFR at least
8x soft.  Then it runs ``f80_ops`` (benchmarks/f80_ops.cpp) of each backend:
ns per F80 operation.  Every build must give the same bits on the timed
data; the run fails otherwise.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import os
import shutil
import statistics
import subprocess
import sys
import timeit
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
# name: CMake definitions.  Built in this order; hardware is the baseline.
VARIANTS = {
    "hardware": {"QUORVANE_F80": "hardware"},
    "soft": {"QUORVANE_F80": "soft"},
    "soft+portable": {"QUORVANE_F80": "soft", "QUORVANE_PORTABLE_U128": "ON"},
    "mpfr": {"QUORVANE_F80": "mpfr"},
}
SOFT_TARGET = 1.3  # soft / hardware, at most
MPFR_TARGET = 8.0  # mpfr / soft, at least
W = 16


def build(name: str, defines: dict[str, str]) -> Path | None:
    """Configure and build one variant (module and f80_ops); None when the
    variant cannot be built here (no x87, no MPFR)."""
    out = ROOT / "build" / f"bench-{name.replace('+', '-')}"
    args = ["cmake", "-S", str(ROOT), "-B", str(out), "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython_EXECUTABLE={sys.executable}", "-DQUORVANE_BUILD_BENCHMARKS=ON"]
    args += [f"-D{k}={v}" for k, v in defines.items()]
    if shutil.which("ninja"):
        args += ["-G", "Ninja"]
    if not any((out / f).exists() for f in ("build.ninja", "Makefile")):
        run = subprocess.run(args, capture_output=True, text=True)
        if run.returncode != 0:
            last = (run.stderr.strip().splitlines() or ["?"])[-1]
            print(f"{name}: not built ({last})")
            return None
    run = subprocess.run(["cmake", "--build", str(out), "--target", "rust", "f80_ops"],
                         capture_output=True, text=True)
    if run.returncode != 0:
        print(run.stdout[-3000:], run.stderr[-3000:], sep="\n")
        raise SystemExit(f"{name}: build failed")
    return out


def load(name: str, out: Path):
    found = [p for p in out.glob("rust*") if any(str(p).endswith(s) for s in importlib.machinery.EXTENSION_SUFFIXES)]
    located = importlib.util.spec_from_file_location(f"_bench_{name.replace('+', '_')}.rust", found[0])
    module = importlib.util.module_from_spec(located)
    located.loader.exec_module(module)
    return module


def timings(cands: dict, repeats: int, number_of) -> dict[str, list[float]]:
    """Seconds per call of each candidate, one list entry per repetition;
    the candidates take turns, in an order that rotates."""
    timers = {k: timeit.Timer(fn) for k, fn in cands.items()}
    numbers = {k: number_of(t) for k, t in timers.items()}
    times: dict[str, list[float]] = {k: [] for k in cands}
    names = list(cands)
    for r in range(repeats):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            times[name].append(timers[name].timeit(numbers[name]) / numbers[name])
    return times


def calibrated(min_time: float):
    def number_of(timer):
        n = 1
        while True:
            t = timer.timeit(n)
            if t >= min_time / 4 or n >= 10 ** 7:
                return max(1, round(n * min_time / max(t, 1e-9)))
            n *= 10
    return number_of


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="tiny sizes; builds and checks, judges no time")
    ap.add_argument("--repeat", type=int, default=11)
    args = ap.parse_args()
    n, m = (4096, 10_000) if args.quick else (65_536, 1_000_000)
    repeats = 2 if args.quick else args.repeat

    modules = {}
    ops = {}
    for name, defines in VARIANTS.items():
        out = build(name, defines)
        if out is not None:
            modules[name] = load(name, out)
            ops[name] = out / "f80_ops"

    rng = np.random.default_rng(20261210)
    xp = np.unique(rng.integers(0, 2 ** 63, size=n + n // 8, dtype=np.uint64))[:n]
    fp = np.cumsum(rng.uniform(0.25, 1.75, size=len(xp))) * 1e3
    fp -= fp[len(fp) // 2]
    x = rng.integers(int(xp[0]), int(xp[-1]), size=m, dtype=np.uint64, endpoint=True)
    f = rng.uniform(float(fp[0]), float(fp[-1]), size=m)
    xp2, fp2 = xp[:2].copy(), fp[:2].copy()
    x1 = np.array([xp[0] + 1], dtype=np.uint64)
    f1 = np.array([(fp[0] + fp[1]) / 2])

    failures = []
    # The same bits from every build.
    base = next(iter(modules))
    for name, mod in modules.items():
        for label, got, want in (
            ("forward_float", mod.forward_float(x, xp, fp), modules[base].forward_float(x, xp, fp)),
            ("inverse_float", mod.inverse_float(f, xp, fp, method="nearest"),
             modules[base].inverse_float(f, xp, fp, method="nearest")),
        ):
            if got.tobytes() != want.tobytes():
                failures.append(f"{name} {label}: answers differ from {base}")

    print(f"F80 backends: {', '.join(modules)}  ({n:,} entries, {m:,} random queries; "
          f"NumPy {np.__version__}, Python {sys.version.split()[0]}, {os.uname().machine})")
    header = f"{'call':<22}{'backend':<{W}}{'min ns':>10}{'median ns':>11}{'/hardware':>11}{'target':>10}  mark"
    print(header)
    print("-" * len(header))
    batch = {}
    for name, mod in modules.items():
        batch[f"forward_float/{name}"] = lambda mod=mod: mod.forward_float(x, xp, fp)
        batch[f"inverse_float/{name}"] = lambda mod=mod: mod.inverse_float(f, xp, fp, method="nearest")
    batch["numpy.interp/-"] = lambda: np.interp(x, xp, fp)
    percall = {}
    for name, mod in modules.items():
        percall[f"forward_float/{name}"] = lambda mod=mod: mod.forward_float(x1, xp2, fp2)
        percall[f"inverse_float/{name}"] = lambda mod=mod: mod.inverse_float(f1, xp2, fp2, method="nearest")
    percall["numpy.interp/-"] = lambda: np.interp(x1, xp2, fp2)

    for title, cands, per in (("per query", batch, m), ("per call", percall, 1)):
        times = timings(cands, repeats, calibrated(0.002 if args.quick else 0.05))
        stats = {k: (min(v) * 1e9 / per, statistics.median(v) * 1e9 / per) for k, v in times.items()}
        for func in ("forward_float", "inverse_float", "numpy.interp"):
            hw = stats.get(f"{func}/hardware")
            for key, (lo, med) in stats.items():
                fn, name = key.split("/")
                if fn != func:
                    continue
                ratio = f"{lo / hw[0]:.3f}" if hw and name != "-" else ""
                target = mark = ""
                if not args.quick and hw and name in ("soft", "soft+portable") and title == "per query":
                    target = f"<= {SOFT_TARGET:g}"
                    ok = lo / hw[0] <= SOFT_TARGET
                    mark = "PASS" if ok else "FAIL"
                    if not ok and name == "soft":
                        failures.append(f"{key}: {lo / hw[0]:.3f} x hardware")
                if not args.quick and name == "mpfr" and f"{func}/soft" in stats and title == "per query":
                    soft = stats[f"{func}/soft"][0]
                    target = f">= {MPFR_TARGET:g}"
                    ok = lo / soft >= MPFR_TARGET
                    mark = f"{'PASS' if ok else 'FAIL'} ({lo / soft:.1f}x soft)"
                    if not ok:
                        failures.append(f"{key}: only {lo / soft:.1f} x soft")
                label = f"{func} ({title})" if name in ("hardware", "-") else ""
                print(f"{label:<22}{name:<{W}}{lo:>10.2f}{med:>11.2f}{ratio:>11}{target:>10}  {mark}")

    print()
    print("ns per F80 operation (min / median over 15 rounds of 8 x 16,384 independent operations)")
    table = {}
    for name, exe in ops.items():
        run = subprocess.run([str(exe)], capture_output=True, text=True, check=True)
        for line in run.stdout.split("\n"):
            if line.strip():
                op, lo, med = line.split()
                table.setdefault(op, {})[name] = (float(lo), float(med))
    names = list(ops)
    print(f"{'operation':<14}" + "".join(f"{n:>{W + 4}}" for n in names))
    for op, row in table.items():
        cells = "".join(f"{row[n][0]:>{W - 3}.2f} / {row[n][1]:<5.2f}" if n in row else f"{'':>{W + 4}}"
                        for n in names)
        print(f"{op:<14}{cells}")

    if failures:
        print("\nFAILED:\n  " + "\n  ".join(failures))
        return 1
    print("\nall builds agree bit for bit" + ("" if args.quick else "; targets met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
