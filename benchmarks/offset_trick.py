import numpy as np, quorvane as q
rng = np.random.default_rng(0)
def run(seconds, label, step=1):
    # PPS table: sample counter of a ~1 MHz digitiser at each second, and Unix time in ns
    n = seconds // step + 1
    rate = (1_000_037 + rng.integers(-3, 4, n - 1)) * step
    xp = np.concatenate([[0], np.cumsum(rate)]).astype(np.uint64)
    t0 = 1_718_000_000 * 10**9
    fp = t0 + np.arange(n, dtype=np.int64) * 10**9 * step
    t = q.Table(xp, fp)
    x = rng.integers(0, int(xp[-1]), 1_000_000, dtype=np.uint64)
    exact = t.forward(x)
    raw = np.interp(x, xp, fp).round().astype(np.int64)
    x0, f0 = xp[0], fp[0]
    off = (np.interp((x - x0).astype(np.float64), (xp - x0).astype(np.float64), (fp - f0).astype(np.float64)).round().astype(np.int64) + f0)
    # inverse: the sample at or before a trigger time
    trig = t.forward(x) + rng.integers(0, 1000, x.size)
    exact_k = t.inverse(trig, "ffill")
    off_k = np.floor(np.interp((trig - f0).astype(np.float64), (fp - f0).astype(np.float64), (xp - x0).astype(np.float64))).astype(np.uint64) + x0
    for name, got, want in [("numpy.interp", raw, exact), ("offset + numpy.interp", off, exact), ("offset, inverse ffill", off_k, exact_k)]:
        err = np.abs(got.astype(object) - want.astype(object)) if False else np.abs(got.astype(np.float64) - want.astype(np.float64))
        wrong = np.count_nonzero(got != want)
        print(f"{label:>8} {name:<24} wrong {wrong/x.size*100:6.2f}%  max error {int(np.max(np.abs(got.astype(np.int64) - want.astype(np.int64))))}")
for s, l, st in [(3600, "1 hour", 1), (86400, "1 day", 1), (30*86400, "30 days", 1), (365*86400, "1 year", 3600)]:
    run(s, l, st)
