#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets, tests/fuzz/corpus/<target>/.

    python3 tests/fuzz/make_corpus.py

Deterministic: run again after a change of an input format (the decoders
are LLVMFuzzerTestOneInput and what it calls in fuzz_batch.cpp and
fuzz_f80.cpp) and commit the result.  Each seed is a small input that
reaches one kind of case directly, so that the fuzzer starts from all of
them instead of finding each one by chance.
"""
import pathlib
import shutil
import struct

HERE = pathlib.Path(__file__).resolve().parent
FILL_STEP_CLASS = 15  # generator size codes: 0-11 small, 12 summary, 14 streaming, 15 fill steps


def le(v, k=8):
    return (v % (1 << (8 * k))).to_bytes(k, "little")


# ---------------------------------------------------------------- fuzz_batch

I64, F64 = 0, 1
FORWARD, INVERSE = 0, 2
ABSENT, NEAREST, FFILL, BFILL = range(4)
# layout codes (fuzz_batch.cpp layout_of): 0 stride 8, 1 stride 16, 2 stride -8,
# 3 unaligned, 4 stride 24 unaligned, 5 stride -16 unaligned, 6 stride 0
CONTIGUOUS, WIDE, REVERSED, UNALIGNED, WIDE_UNALIGNED, REVERSED_UNALIGNED, ZERO = range(7)


def header(kind, direction, method=ABSENT, generated=False, lazy_pieces=False,
           xl=CONTIGUOUS, fl=CONTIGUOUS, ql=CONTIGUOUS, pieces=(16, 5), long_batch=False, interrupt=False,
           ladder=False):
    h0 = kind | direction | method << 2 | (6 if generated else 0) << 4 | (0x80 if lazy_pieces else 0)
    h2 = ql | (0x38 if long_batch else 0) | (0x40 if interrupt else 0) | (0x80 if ladder else 0)
    return bytes([h0, xl | fl << 3, h2, pieces[0] - 1, pieces[1] - 1])


def raw_pick(ordinal):
    """A picker byte that takes the next 8 bytes as the ordinal."""
    return b"\x80" + le(ordinal)


def special_pick(index):
    return bytes([index & 63])


def table(n, x_start, f_start, steps):
    """A written-out table: n, the two starts, then one (x, f) step pair per
    element after the first; `steps` is a function of the index giving the
    two step encodings."""
    out = bytes([n]) + x_start + f_start
    for i in range(1, n):
        sx, sf = steps(i)
        out += sx + sf
    return out


def small(k):
    """A step of +k ordinals, 1 <= k <= 96 (step codes 0-2)."""
    k -= 1
    return bytes([(k // 32) << 5 | (k % 32)])


EQUAL = b"\xa0"       # a step of 0: equal neighbours
DESCENT = b"\xb1"     # a step of -2


def shifted(v, shift):
    return bytes([0x60 | shift]) + le(v, 2)


def ordinal_f64(v):
    b = struct.unpack("<Q", struct.pack("<d", v))[0]
    return (~b) % (1 << 64) if b >> 63 else b | (1 << 63)


def ordinal_i64(v):
    return (v % (1 << 64)) ^ (1 << 63)


def generated(size_code, r=0, k=0, x0=raw_pick(0), dx=(1, 0), f0=special_pick(0), df=(1, 0), defects=()):
    out = bytes([size_code, r])
    if size_code < 12:
        out += le(r * 17 + 100, 2)
    if size_code == FILL_STEP_CLASS:
        out += bytes([k])
    out += x0 + le(dx[0] - 1, 2) + bytes([dx[1]]) + f0 + le(df[0] - 1, 2) + bytes([df[1]])
    out += bytes([len(defects)])
    for where, kind in defects:
        out += where + bytes([kind])
    return out


# query ops (fuzz_batch.cpp decode_queries)
def q_run(index, groups, skip=1, jitter=0x5A, width=2):
    """16 * groups keys on every skip-th element from `index`, some just above
    it (by the bits of jitter)."""
    return bytes([0x80 | (groups - 1)]) + le(index, width) + bytes([0, skip - 1, jitter])


def q_run3(index, groups, skip=1, jitter=0x5A):
    """The same on a table above 65536 entries, whose indices take 3 bytes."""
    return q_run(index, groups, skip, jitter, width=3)


def q_random(seed, groups, hits=False):
    return bytes([(0xB0 if hits else 0xA0) | (groups - 1)]) + le(seed, 2)


def q_hit(index, width=2):
    return b"\x20" + le(index, width)


def q_raw(ordinal):
    return b"\x00" + le(ordinal)


def q_special(i):
    return bytes([0xE0 | i])


def q_dupes(k):
    return bytes([0x40 | (k - 1)])


def q_drop(k):
    return bytes([0x60 | (k - 1)])


def q_descending(groups, step=3):
    return bytes([0xC0 | (groups - 1)]) + bytes([step]) * (4 * groups)


def q_sorted(count, step, shift):
    """count < 256 keys from the previous one up, by (1 + step << shift) ordinals."""
    return bytes([0x90, count, step, shift])


def increasing(i):
    return small(1 + i % 5), small(1 + (i * 7) % 11)


def batch_seeds():
    s = {}
    tbl = table(40, raw_pick(1000), raw_pick(ordinal_i64(-500)), increasing)
    ftbl = table(40, raw_pick(1000), raw_pick(ordinal_f64(-2.5)), lambda i: (small(3), shifted(1, 44)))
    for kind, name, t in ((I64, "i64", tbl), (F64, "f64", ftbl)):
        for direction, dname in ((FORWARD, "forward"), (INVERSE, "inverse")):
            for method in ((ABSENT,) if direction == FORWARD else (ABSENT, NEAREST, FFILL, BFILL)):
                s[f"{name}-{dname}-m{method}-sorted-run"] = header(kind, direction, method) + t + q_run(0, 3)
            s[f"{name}-{dname}-random"] = header(kind, direction, NEAREST) + t + q_random(7, 4)
            s[f"{name}-{dname}-hits-dupes-drops-tail"] = (
                header(kind, direction, FFILL, ql=REVERSED) + t + q_random(9, 2, hits=True) + q_dupes(5)
                + q_drop(3) + q_hit(39) + q_special(0) + q_sorted(7, 1, 0))
            s[f"{name}-{dname}-strides"] = (
                header(kind, direction, BFILL, lazy_pieces=True, xl=WIDE_UNALIGNED, fl=REVERSED_UNALIGNED,
                       ql=UNALIGNED, pieces=(3, 17)) + t + q_run(2, 2) + q_random(3, 1) + q_run(5, 1))
            s[f"{name}-{dname}-query-stride-0"] = header(kind, direction, NEAREST, ql=ZERO) + t + q_run(4, 2)
            s[f"{name}-{dname}-descending"] = header(kind, direction, BFILL) + t + q_hit(30) + q_descending(5)
    # tables with equal and descending neighbours, empty and one-element tables
    s["i64-forward-equal-neighbours"] = header(I64, FORWARD) + table(
        20, raw_pick(5), raw_pick(0), lambda i: (EQUAL if i == 13 else small(2), small(1))) + q_run(0, 2)
    s["i64-inverse-descent"] = header(I64, INVERSE, NEAREST) + table(
        20, raw_pick(5), raw_pick(0), lambda i: (small(2), DESCENT if i == 17 else small(3))) + q_run(0, 2)
    s["f64-inverse-signed-zeros"] = header(F64, INVERSE, NEAREST) + table(
        6, raw_pick(0), raw_pick(ordinal_f64(-0.0) - 2), lambda i: (small(1), small(1))) + q_run(0, 1)
    s["f64-inverse-nan-sample"] = header(F64, INVERSE, ABSENT) + table(1, raw_pick(3), special_pick(24), None) \
        + q_run(0, 1)
    s["f64-inverse-nan-query"] = header(F64, INVERSE, NEAREST) + ftbl + q_run(0, 1) + bytes([0x10 | 8, 1])
    s["f64-forward-inf-values"] = header(F64, FORWARD) + table(
        4, raw_pick(10), special_pick(21), lambda i: (small(10), small(1))) + q_run(0, 1, jitter=0xFF)
    s["u64-extremes"] = header(I64, FORWARD) + table(
        3, special_pick(0), special_pick(7), lambda i: (shifted(0xFFFF, 47), small(90))) + q_raw(2 ** 64 - 1) \
        + q_raw(2 ** 63) + q_run(0, 1)
    s["empty-table"] = header(I64, INVERSE, NEAREST) + bytes([0]) + b"\x00\x00" + q_run(0, 1)
    # generated tables: small, around the summary's and the streaming threshold, around the fill steps
    s["gen-small-forward"] = header(I64, FORWARD, generated=True) + generated(0, 40) + q_random(1, 8) + q_run(0, 4)
    s["gen-summary-forward"] = header(I64, FORWARD, generated=True, pieces=(16, 100)) + generated(
        12, 200, dx=(3, 0)) + q_random(5, 16) + q_run(100, 4, skip=200)
    s["gen-summary-inverse-f64"] = header(F64, INVERSE, NEAREST, generated=True) + generated(
        13, 100, f0=raw_pick(ordinal_f64(1.0)), df=(1, 30)) + q_random(6, 16, hits=True)
    s["gen-stream-inverse"] = header(I64, INVERSE, FFILL, generated=True, lazy_pieces=True) + generated(
        14, 10, df=(5, 0)) + q_run3(0, 16, skip=40) + q_random(2, 8)
    s["gen-fill-step-descent-late"] = header(I64, FORWARD, generated=True, lazy_pieces=True) + generated(
        FILL_STEP_CLASS, 150, dx=(2, 0), defects=((bytes([4 | 3 << 3]), 1),)) + q_run3(0, 16, skip=255)
    s["gen-fill-step-descent-at-boundary"] = header(I64, INVERSE, NEAREST, generated=True) + generated(
        FILL_STEP_CLASS, 200, defects=((bytes([1]), 2 | 1 << 2),)) + q_run3(2 ** 20 - 100, 8, skip=100)
    s["gen-two-fill-steps-nan"] = header(F64, INVERSE, BFILL, generated=True, lazy_pieces=True) + generated(
        FILL_STEP_CLASS, 120, k=3, f0=raw_pick(ordinal_f64(-1e6)), df=(1, 20),
        defects=((bytes([3 | 2 << 3]), 2 | 2 << 2 | 1 << 4),)) + q_run3(0, 16, skip=255) + q_random(4, 2)
    s["gen-fill-step-sorted-then-random"] = header(F64, FORWARD, generated=True) + generated(
        FILL_STEP_CLASS, 110, dx=(7, 0), f0=special_pick(8), df=(1, 0)) + q_run3(10, 8, skip=3) + q_random(8, 8)
    # the complete table searched through a ladder: unsorted, with hits, and
    # sorted runs far apart
    s["ladder-i64-forward"] = header(I64, FORWARD, ladder=True) + tbl + q_random(13, 4, hits=True) + q_hit(0) \
        + q_hit(39) + q_run(0, 2, skip=7)
    s["ladder-f64-inverse"] = header(F64, INVERSE, NEAREST, ladder=True, ql=UNALIGNED) + ftbl \
        + q_random(14, 3, hits=True) + q_special(0) + q_descending(2)
    s["ladder-gen-summary"] = header(I64, INVERSE, BFILL, generated=True, ladder=True, pieces=(16, 100)) + generated(
        12, 150, df=(9, 0)) + q_random(15, 16) + q_run(3, 4, skip=200)
    # batches past the first poll: repeated sorted and unsorted stretches,
    # a poll that stops the batch, and a table with a summary to build
    s["long-i64-forward"] = header(I64, FORWARD, long_batch=True) + tbl + q_run(0, 2) + q_random(3, 1) \
        + q_sorted(5, 0, 0)
    s["long-f64-inverse-interrupted"] = header(F64, INVERSE, NEAREST, long_batch=True, interrupt=True,
                                               ql=REVERSED) + ftbl + q_random(11, 2) + q_run(1, 1)
    s["long-gen-summary-built"] = header(I64, INVERSE, BFILL, generated=True, long_batch=True) + generated(
        12, 150, df=(9, 0)) + q_random(12, 3) + q_run(7, 1, skip=90)
    return s


# ------------------------------------------------------------------ fuzz_f80

def u64_pick(v):
    return b"\x67" + le(v)  # raw, 8 bytes


def f64_pick(v):
    return b"\xe0" + struct.pack("<d", v)  # raw bits


def f64_bits(bits):
    return b"\xe0" + le(bits)


def f80_forward(env, x0, d, t, f0, f1):
    return bytes([env & 0x7F]) + u64_pick(x0) + u64_pick(d) + u64_pick(t) + f0 + f1


def f80_inverse(env, f0, f, f1, x0, x1):
    return bytes([0x80 | (env & 0x7F)]) + f0 + f + f1 + u64_pick(x0) + u64_pick(x1)


def f80_seeds():
    inf, nan = float("inf"), float("nan")
    # caller environments: 0 the module's own, 1 down, 2 up, 3 toward zero,
    # 4/8 53/24-bit x87 precision, 0x10 DAZ, 0x20 FTZ, 0x40 raised flags
    envs = (0, 0x03 | 0x08 | 0x40, 0x01 | 0x10 | 0x20, 0x02 | 0x04)
    s = {}
    for i, env in enumerate(envs):
        s[f"forward-tenth-env{i}"] = f80_forward(env, 0, 10, 0, f64_pick(0.0), f64_pick(1.0))
        s[f"inverse-third-env{i}"] = f80_inverse(env, f64_pick(0.0), f64_pick(1 / 3), f64_pick(1.0), 0, 3)
    s["forward-truncation-below-constant"] = f80_forward(0, 0, 3073, 0, f64_pick(1 / 3), f64_pick(1 / 3))
    s["forward-full-width"] = f80_forward(0, 0, 2 ** 64 - 1, 2 ** 63, f64_pick(-1.7976931348623157e308),
                                          f64_pick(1.7976931348623157e308))
    s["forward-subnormals"] = f80_forward(0x10, 5, 7, 0, f64_bits(1), f64_bits(0x000FFFFFFFFFFFFF))
    s["forward-negative-zero"] = f80_forward(0, 1, 2, 0, f64_pick(-0.0), f64_pick(-5e-324))
    s["forward-inf"] = f80_forward(0, 1, 9, 3, f64_pick(inf), f64_pick(1.0))
    s["forward-nan"] = f80_forward(0, 1, 9, 3, f64_pick(1.0), f64_pick(nan))
    s["forward-near-overflow"] = f80_forward(2, 2 ** 62, 3, 1, f64_pick(1.7976931348623157e308),
                                             f64_pick(1.7976931348623157e308))
    s["inverse-top-half"] = f80_inverse(0, f64_pick(0.0), f64_pick(0.5), f64_pick(1.0), 2 ** 63, 2 ** 63 + 1)
    s["inverse-saturates"] = f80_inverse(0, f64_pick(0.0), f64_pick(1 - 2 ** -53), f64_pick(1.0), 2 ** 64 - 1,
                                         2 ** 64 - 1)
    s["inverse-decreasing-x"] = f80_inverse(1, f64_pick(-3.0), f64_pick(0.5), f64_pick(7.0), 1000, 10)
    s["inverse-tiny-span"] = f80_inverse(0x20, f64_bits(1), f64_bits(2), f64_bits(3), 0, 2 ** 64 - 1)
    s["inverse-huge-span"] = f80_inverse(0, f64_pick(-1.7976931348623157e308), f64_pick(1e-300),
                                         f64_pick(1.7976931348623157e308), 7, 2 ** 63)
    s["inverse-inf"] = f80_inverse(0, f64_pick(-inf), f64_pick(0.0), f64_pick(1.0), 0, 10)
    s["inverse-nan"] = f80_inverse(0, f64_pick(0.0), f64_pick(0.5), f64_pick(nan), 0, 10)
    s["inverse-ties"] = f80_inverse(0, f64_pick(0.0), f64_pick(0.25), f64_pick(1.0), 0, 10)
    return s


def write(target, seeds):
    out = HERE / "corpus" / target
    if out.exists():
        shutil.rmtree(out)
    out.mkdir(parents=True)
    for name, data in sorted(seeds.items()):
        (out / name).write_bytes(data)
    print(f"{out.relative_to(HERE.parent.parent)}: {len(seeds)} seeds")


if __name__ == "__main__":
    write("fuzz_batch", batch_seeds())
    write("fuzz_f80", f80_seeds())
