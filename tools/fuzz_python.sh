#!/usr/bin/env bash
# Coverage-guided fuzzing of the Python boundary (quorvane.Table and the four
# functions) with atheris, against the installed package.
#
#   tools/fuzz_python.sh -q              CI: about 60 s
#   tools/fuzz_python.sh --seconds N     a campaign of N seconds
#   tools/fuzz_python.sh --replay        only replay the regressions and the seeds
#   option: --asan   against the extension built with AddressSanitizer and
#                    UBSan (build/fuzz/asan-python), where a read out of bounds
#                    is reported; the preloaded runtime takes the coverage
#                    hooks from atheris, so use it to replay: --replay --asan
#                    also replays a campaign's corpus.  There a mismatch shows
#                    as "CHECK failed ... __cxa_throw" (atheris rethrows the
#                    exception): replay that input without --asan to read it
#
# Installs atheris (and gmpy2, which the model of the float functions uses)
# with pip if missing, and the package from this checkout if it is not
# installed.  Replays tests/fuzz/regressions/fuzz_python/ and the seeds
# tests/fuzz/corpus/fuzz_python/, then fuzzes tests/fuzz/fuzz_python.py.  -q
# starts from a fresh copy of the seeds in build/fuzz/work-q/fuzz_python; a
# campaign keeps adding to build/fuzz/work/fuzz_python.  The repository is
# never written.  Prints the number of executions and the last coverage
# line; exits non-zero on any mismatch or crash, whose reproducer is left in
# build/fuzz/artifacts/fuzz_python/ (minimise it with -minimize_crash=1 and
# add it to the regressions).
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build/fuzz
PY=${PYTHON:-python3}
T=fuzz_python

seconds=0
quick=0
replay_only=0
asan=0
while [ $# -gt 0 ]; do
    case "$1" in
        -q) seconds=60; quick=1 ;;
        --seconds) seconds=${2:?--seconds needs a number}; shift ;;
        --replay) replay_only=1 ;;
        --asan) asan=1 ;;
        -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
        *) echo "fuzz_python.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
if [ "$seconds" -eq 0 ] && [ "$replay_only" -eq 0 ]; then
    seconds=60
    quick=1
fi

for module in atheris gmpy2; do
    "$PY" -c "import $module" 2>/dev/null || "$PY" -m pip install -q "$module"
done
"$PY" -c "import quorvane._table" 2>/dev/null || "$PY" -m pip install -q .

corpora=("tests/fuzz/corpus/$T")
if [ "$asan" -eq 1 ]; then
    # both modules built with the sanitizers, in a copy of the package put
    # first on the path, as tools/sanitize.sh does for the test suite
    D=$OUT/asan-python
    gen=()
    command -v ninja >/dev/null && gen=(-G Ninja)
    mkdir -p "$D"
    cmake -S . -B "$D" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$("$PY" -c 'import sys; print(sys.executable)')" \
        -DQUORVANE_SANITIZE="-fsanitize=address,undefined" >"$D.configure.log" 2>&1 || { cat "$D.configure.log" >&2; exit 2; }
    cmake --build "$D" >"$D.build.log" 2>&1 || { tail -n 30 "$D.build.log" >&2; exit 2; }
    rm -rf "$D/site" && mkdir -p "$D/site/quorvane"
    cp python/quorvane/*.py python/quorvane/*.pyi python/quorvane/py.typed "$D/site/quorvane/"
    for module in "$D"/rust*.so "$D"/_table*.so; do ln -s "$module" "$D/site/quorvane/"; done
    export PYTHONPATH=$D/site LD_PRELOAD=$(gcc -print-file-name=libasan.so) PYTHONMALLOC=malloc
    export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    [ -d "$OUT/work/$T" ] && corpora+=("$OUT/work/$T")
fi

mkdir -p "$OUT/artifacts/$T"
# One input of 4 KiB decodes into about ten calls; coverage is that of the
# harness's own decisions and the model's, so the value profile of their
# comparisons helps the fuzzer reach more kinds of arguments and outcomes.
FLAGS=(-max_len=4096 -timeout=60 -rss_limit_mb=4096 -use_value_profile=1 -artifact_prefix="$OUT/artifacts/$T/")

status=0
regressions=()
if [ -d "tests/fuzz/regressions/$T" ]; then
    while IFS= read -r -d '' f; do regressions+=("$f"); done \
        < <(find "tests/fuzz/regressions/$T" -type f ! -name '.*' ! -name '*.md' -print0 | sort -z)
fi
# each regression on its own, so that one failing does not hide the others
for f in "${regressions[@]}"; do
    if ! "$PY" tests/fuzz/fuzz_python.py "${FLAGS[@]}" "$f" >"$OUT/$T.replay.log" 2>&1; then
        grep -v '^INFO' "$OUT/$T.replay.log" | tail -n 15
        echo "fuzz_python.sh: regression input $f fails (log: $OUT/$T.replay.log)" >&2
        status=1
    fi
done
if ! "$PY" tests/fuzz/fuzz_python.py "${FLAGS[@]}" -runs=0 "${corpora[@]}" >"$OUT/$T.seeds.log" 2>&1; then
    grep -v '^INFO' "$OUT/$T.seeds.log" | tail -n 30
    echo "fuzz_python.sh: a seed input fails (log: $OUT/$T.seeds.log)" >&2
    status=1
fi
echo "fuzz_python.sh: ${#regressions[@]} regression inputs and $(find "${corpora[@]}" -type f | wc -l) corpus inputs replayed"
[ "$status" -eq 0 ] || exit "$status"
[ "$replay_only" -eq 1 ] && exit 0

if [ "$quick" -eq 1 ]; then
    work=$OUT/work-q/$T
    rm -rf "$work"
else
    work=$OUT/work/$T
fi
mkdir -p "$work"
cp -n "tests/fuzz/corpus/$T"/* "$work"/
echo "fuzz_python.sh: fuzzing for $seconds s (log: $OUT/$T.log)"
rc=0
"$PY" tests/fuzz/fuzz_python.py "${FLAGS[@]}" -max_total_time="$seconds" -print_final_stats=1 "$work" \
    >"$OUT/$T.log" 2>&1 || rc=$?
executions=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$OUT/$T.log" | grep -o '[0-9]*$' || true)
last=$(grep -E '^#[0-9]+' "$OUT/$T.log" | tail -n 1 || true)
echo "fuzz_python.sh: $T: ${executions:-?} executions; last status: ${last:-none}"
if [ "$rc" -ne 0 ]; then
    grep -E 'Mismatch|Error|Fatal|deadly signal|Test unit written' "$OUT/$T.log" | grep -v '^INFO' | head -n 20
    echo "fuzz_python.sh: $T failed (exit $rc); log: $OUT/$T.log; reproducer in $OUT/artifacts/$T/" >&2
    exit 1
fi
