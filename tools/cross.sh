#!/usr/bin/env bash
# The C++ core checks on other targets, built with Debian's cross compilers
# and run under qemu-user (or natively, for i686).
#
#   tools/cross.sh TARGET [-q]      TARGET: aarch64, armhf, s390x or i686
#   tools/cross.sh all [-q]         every target, two at a time
#
# Per target, statically linked into build/cross/TARGET/:
#   core_test-soft     the core checks on the soft F80 backend (and on
#   core_test-mpfr     MPFR; on i686 also on x87: core_test-x87)
#   fuzz_batch         the seed corpus and regressions of each libFuzzer
#   fuzz_f80           target, replayed through a plain main (no libFuzzer):
#                      every batch route against the reference lookups
#                      (soft), and the backends against each other
# The targets cover what x86-64 does not: aarch64 (no x87: soft is the
# default), armhf (32 bits: no __int128, long double is double), s390x
# (big-endian), i686 (32 bits with x87, no __int128).  -q runs an eighth of
# the core checks' random cases, and the MPFR core checks only on armhf and
# s390x (32-bit limbs, big-endian), to keep CI short; the replays run whole.
# Exits non-zero on any failure.
# Installs what it needs with apt-get when run as root: the cross compilers,
# qemu-user and MPFR for each target's architecture (Debian multiarch).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
args=()
for a in "$@"; do
    case "$a" in
        -q) quick=1 ;;
        -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
        *) args+=("$a") ;;
    esac
done
[ "${#args[@]}" -eq 1 ] || { echo "usage: tools/cross.sh aarch64|armhf|s390x|i686|all [-q]" >&2; exit 2; }
target=${args[0]}

# target -> GNU triplet, Debian architecture, how to run a program
triplet_of() {
    case "$1" in
        aarch64) echo aarch64-linux-gnu ;;
        armhf) echo arm-linux-gnueabihf ;;
        s390x) echo s390x-linux-gnu ;;
        i686) echo i686-linux-gnu ;;
        *) return 1 ;;
    esac
}
arch_of() {
    case "$1" in aarch64) echo arm64 ;; armhf) echo armhf ;; s390x) echo s390x ;; i686) echo i386 ;; esac
}
runner_of() {
    case "$1" in
        aarch64) echo qemu-aarch64 ;;
        armhf) echo qemu-arm ;;
        s390x) echo qemu-s390x ;;
        i686) echo "" ;;  # this machine runs 32-bit x86 code itself
    esac
}

install_for() {
    local pkgs=(qemu-user) t
    for t in "$@"; do pkgs+=("g++-$(triplet_of "$t")" "libmpfr-dev:$(arch_of "$t")"); done
    tools/apt-install.sh "${pkgs[@]}" >/dev/null
}

if [ "$target" = all ]; then
    all=(aarch64 armhf s390x i686)
    install_for "${all[@]}"
    mkdir -p build/cross
    pids=()
    status=0
    # two at a time: this machine has two cores, and each run is one process
    for pair in "aarch64 armhf" "s390x i686"; do
        pids=()
        for t in $pair; do
            "$0" "$t" $([ "$quick" -eq 1 ] && echo -q) >"build/cross/$t.log" 2>&1 &
            pids+=($!)
        done
        for i in "${!pids[@]}"; do
            if ! wait "${pids[$i]}"; then status=1; fi
        done
        for t in $pair; do cat "build/cross/$t.log"; done
    done
    [ "$status" -eq 0 ] && echo "cross.sh: every target passed" || echo "cross.sh: a target failed" >&2
    exit "$status"
fi

triplet=$(triplet_of "$target") || { echo "cross.sh: unknown target '$target'" >&2; exit 2; }
install_for "$target"
CXX=${triplet}-g++
command -v "$CXX" >/dev/null || { echo "cross.sh: $CXX not found (apt-get install g++-$triplet)" >&2; exit 2; }
runner=$(runner_of "$target")
if [ -n "$runner" ]; then
    command -v "$runner" >/dev/null || { echo "cross.sh: $runner not found (apt-get install qemu-user)" >&2; exit 2; }
    run=("$runner" -L "/usr/$triplet")
else
    run=()
fi

OUT=build/cross/$target
mkdir -p "$OUT"
FLAGS=(-std=c++20 -O2 -Wall -Wextra -Isrc -Itests/fuzz -static -pthread)
LIBS=(-lmpfr -lgmp)

start=$(date +%s)
step() { printf 'cross.sh: %s: %s\n' "$target" "$*"; }
fail() { step "FAILED: $*"; exit 1; }

backends=(soft)
[ "$target" = i686 ] && backends+=(x87)
if [ "$quick" -eq 0 ] || [ "$target" = armhf ] || [ "$target" = s390x ]; then backends+=(mpfr); fi

# Builds (in parallel), then runs one at a time.
pids=()
for b in "${backends[@]}"; do
    define=QUORVANE_F80_$(echo "$b" | tr a-z A-Z)
    extra=()
    [ "$b" = mpfr ] && extra=("${LIBS[@]}")
    "$CXX" "${FLAGS[@]}" "-D$define=1" tests/cpp/core_test.cpp -o "$OUT/core_test-$b" "${extra[@]}" \
        >"$OUT/core_test-$b.build.log" 2>&1 &
    pids+=($!)
done
batch_backend=QUORVANE_F80_SOFT
"$CXX" "${FLAGS[@]}" "-D$batch_backend=1" tests/fuzz/fuzz_batch.cpp tests/fuzz/replay.cpp -o "$OUT/fuzz_batch" \
    >"$OUT/fuzz_batch.build.log" 2>&1 &
pids+=($!)
"$CXX" "${FLAGS[@]}" tests/fuzz/fuzz_f80.cpp tests/fuzz/f80_mpfr.cpp tests/fuzz/f80_soft.cpp tests/fuzz/f80_x87.cpp \
    tests/fuzz/replay.cpp -o "$OUT/fuzz_f80" "${LIBS[@]}" >"$OUT/fuzz_f80.build.log" 2>&1 &
pids+=($!)
built=0
for p in "${pids[@]}"; do wait "$p" || built=1; done
if [ "$built" -ne 0 ]; then
    cat "$OUT"/*.build.log | grep -E 'error|Error' | head -n 30
    fail "build (logs: $OUT/*.build.log)"
fi
step "built ${backends[*]} core checks and both replays with $CXX in $(( $(date +%s) - start )) s"

for b in "${backends[@]}"; do
    if ! "${run[@]}" "$OUT/core_test-$b" $([ "$quick" -eq 1 ] && echo --quick) >"$OUT/core_test-$b.log" 2>&1; then
        tail -n 20 "$OUT/core_test-$b.log"
        fail "core_test on $b"
    fi
    step "core_test ($b): $(tail -n 1 "$OUT/core_test-$b.log")"
done
for t in fuzz_batch fuzz_f80; do
    inputs=("tests/fuzz/corpus/$t")
    [ -d "tests/fuzz/regressions/$t" ] && inputs+=("tests/fuzz/regressions/$t")
    if ! "${run[@]}" "$OUT/$t" "${inputs[@]}" >"$OUT/$t.log" 2>&1; then
        tail -n 20 "$OUT/$t.log"
        fail "$t replay"
    fi
    step "$t: $(tail -n 1 "$OUT/$t.log")"
done
step "passed in $(( $(date +%s) - start )) s"
