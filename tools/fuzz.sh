#!/usr/bin/env bash
# Coverage-guided fuzzing of the C++ core with libFuzzer (clang), under
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   tools/fuzz.sh -q              CI: about 60 s per target
#   tools/fuzz.sh --seconds N     a campaign of N seconds per target
#   tools/fuzz.sh --replay        only build and replay the regressions and seeds
#   options: --target NAME (fuzz_batch or fuzz_f80; default both);
#            --fast: without the sanitizers, at -O2, for long campaigns (about
#            ten times the executions per second; the short runs keep them);
#            --jobs N: N processes per target sharing its corpus
#
# Targets (tests/fuzz/):
#   fuzz_batch  every batch route of the table (lazy and complete tables,
#               the driver fed in pieces) against the reference lookups
#   fuzz_f80    the F80 backends against each other (soft and x87 against
#               MPFR): the float schemes, and programs of single operations
# Builds into build/fuzz/, replays tests/fuzz/regressions/<target>/ and the
# seeds tests/fuzz/corpus/<target>/, then fuzzes the targets side by side
# (one process each).  -q starts from a fresh copy of the seeds in
# build/fuzz/work-q/<target>; a campaign keeps adding to
# build/fuzz/work/<target>, so that campaigns build on each other.  The
# repository is never written.  Prints each target's executions and its
# last coverage line; exits non-zero on any crash, sanitizer report or
# mismatch, whose reproducer is left in build/fuzz/artifacts/<target>/
# (minimise it with -minimize_crash=1 and add it to the regressions).
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build/fuzz

seconds=0
quick=0
replay_only=0
targets=(fuzz_batch fuzz_f80)
fast=0
jobs=1
while [ $# -gt 0 ]; do
    case "$1" in
        -q) seconds=60; quick=1 ;;
        --seconds) seconds=${2:?--seconds needs a number}; shift ;;
        --replay) replay_only=1 ;;
        --target) targets=("${2:?--target needs a name}"); shift ;;
        --fast) fast=1 ;;
        --jobs) jobs=${2:?--jobs needs a number}; shift ;;
        -h|--help) sed -n '2,23p' "$0"; exit 0 ;;
        *) echo "fuzz.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
if [ "$seconds" -eq 0 ] && [ "$replay_only" -eq 0 ]; then
    seconds=60
    quick=1
fi

# Debian's clang with its libFuzzer runtime, and MPFR's headers
tools/apt-install.sh clang libclang-rt-14-dev libmpfr-dev
CXX=${CXX_FUZZ:-clang++}
command -v "$CXX" >/dev/null || { echo "fuzz.sh: $CXX not found (apt-get install clang libclang-rt-14-dev)" >&2; exit 2; }

if [ "$fast" -eq 1 ]; then
    OUT=$OUT/fast
    FLAGS=(-std=c++20 -O2 -g -fsanitize=fuzzer)
else
    FLAGS=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
fi
mkdir -p "$OUT"
FLAGS+=("-fsanitize-coverage-ignorelist=tests/fuzz/coverage_ignore.txt"
        -Wall -Wextra -Wno-bitwise-instead-of-logical -I src)
start=$(date +%s)
"$CXX" "${FLAGS[@]}" tests/fuzz/fuzz_batch.cpp -o "$OUT/fuzz_batch" &
batch_build=$!
"$CXX" "${FLAGS[@]}" tests/fuzz/fuzz_f80.cpp tests/fuzz/f80_mpfr.cpp tests/fuzz/f80_soft.cpp tests/fuzz/f80_x87.cpp \
    -lmpfr -lgmp -o "$OUT/fuzz_f80" &
f80_build=$!
built=0
wait "$batch_build" || built=1
wait "$f80_build" || built=1
[ "$built" -eq 0 ] || { echo "fuzz.sh: build failed" >&2; exit 1; }
echo "fuzz.sh: built in $(( $(date +%s) - start )) s"

# Per target: the longest input, and options.  The batch target's inputs
# range from microseconds to a second (tables of millions of entries,
# batches past the first poll): scheduling by execution time keeps the
# slow ones from taking most of the time.  Value profiles guide the float
# target's comparisons of operands towards the edges of roundings.
max_len() { case "$1" in fuzz_batch) echo 2048 ;; *) echo 160 ;; esac; }
extra() {
    case "$1" in
        fuzz_batch) echo -entropic_scale_per_exec_time=1 ;;
        fuzz_f80) echo -use_value_profile=1 ;;
    esac
}

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:symbolize=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

status=0
for t in "${targets[@]}"; do
    # the regressions one by one, then the seeds
    files=()
    if [ -d "tests/fuzz/regressions/$t" ]; then
        while IFS= read -r -d '' f; do files+=("$f"); done \
            < <(find "tests/fuzz/regressions/$t" -type f ! -name '.*' ! -name '*.md' -print0 | sort -z)
    fi
    if [ "${#files[@]}" -gt 0 ] && ! "$OUT/$t" "${files[@]}" >"$OUT/$t.replay.log" 2>&1; then
        tail -n 30 "$OUT/$t.replay.log"
        echo "fuzz.sh: $t: a regression input fails (log: $OUT/$t.replay.log)" >&2
        status=1
    fi
    if ! "$OUT/$t" -runs=0 -max_len="$(max_len "$t")" "tests/fuzz/corpus/$t" >"$OUT/$t.seeds.log" 2>&1; then
        tail -n 30 "$OUT/$t.seeds.log"
        echo "fuzz.sh: $t: a seed input fails (log: $OUT/$t.seeds.log)" >&2
        status=1
    fi
    echo "fuzz.sh: $t: ${#files[@]} regression inputs and $(find "tests/fuzz/corpus/$t" -type f | wc -l) seeds replayed"
done
[ "$status" -eq 0 ] || exit "$status"
[ "$replay_only" -eq 1 ] && exit 0

pids=()
logs=()
names=()
for t in "${targets[@]}"; do
    if [ "$quick" -eq 1 ]; then
        work=$OUT/work-q/$t
        rm -rf "$work"
    else
        work=$OUT/work/$t
    fi
    mkdir -p "$work" "$OUT/artifacts/$t"
    cp -n "tests/fuzz/corpus/$t"/* "$work"/
    for ((j = 1; j <= jobs; j++)); do
        log=$OUT/$t.log
        [ "$jobs" -gt 1 ] && log=$OUT/$t.$j.log
        # shellcheck disable=SC2046
        "$OUT/$t" -max_total_time="$seconds" -print_final_stats=1 -max_len="$(max_len "$t")" $(extra "$t") \
            -timeout=30 -rss_limit_mb=4096 -artifact_prefix="$OUT/artifacts/$t/" "$work" >"$log" 2>&1 &
        pids+=($!)
        logs+=("$log")
        names+=("$t")
    done
done
echo "fuzz.sh: fuzzing ${targets[*]} for $seconds s each, $jobs process(es) each (logs: $OUT/<target>*.log)"

declare -A total
for i in "${!pids[@]}"; do
    t=${names[$i]}
    log=${logs[$i]}
    rc=0
    wait "${pids[$i]}" || rc=$?
    executions=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
    echo "fuzz.sh: $t: ${executions:-?} executions; last status: ${last:-none}"
    total[$t]=$(( ${total[$t]:-0} + ${executions:-0} ))
    if [ "$rc" -ne 0 ]; then
        grep -E 'fuzz_batch:|fuzz_f80:|ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -n 20
        echo "fuzz.sh: $t failed (exit $rc); log: $log; reproducer in $OUT/artifacts/$t/" >&2
        status=1
    fi
done
if [ "$jobs" -gt 1 ]; then
    for t in "${targets[@]}"; do echo "fuzz.sh: $t: ${total[$t]} executions in all"; done
fi
exit "$status"
