#!/usr/bin/env bash
# Build both extension modules (quorvane.rust and quorvane._table) with
# AddressSanitizer and UndefinedBehaviorSanitizer and run the workload, and
# then the test suite, against that build.
#
#   tools/sanitize.sh [--no-tests] [--no-mpfr] [PYTEST ARGS ...]
#
# Builds (with cmake and ninja, beside the other build trees):
#   build/asan        the hardware backend
#   build/asan-mpfr   the MPFR backend (skipped with --no-mpfr or without MPFR)
# and runs tools/workload.py against each (given the build's rust*.so, it
# loads the _table module beside it).  Then the test suite runs with
# build/asan/site first on PYTHONPATH: a copy of the package whose two
# modules are the sanitized build, so that every import of quorvane,
# child processes' included, loads them.  Arguments after the options go to
# pytest (default: the whole suite).
#
# The sanitizer runtime is preloaded into the interpreter.  Leak detection
# is off (the interpreter keeps memory at exit by design; tools/valgrind.sh
# checks leaks); allocator_may_return_null lets oversized batches fail with
# MemoryError as in a normal build.  Any report, in this process or in a
# child, fails the run: every report is written under build/asan/reports.
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$(pwd)
PY=$(python3 -c 'import sys; print(sys.executable)')
SAN="${QUORVANE_SANITIZE:--fsanitize=address,undefined}"

tests=1
mpfr=1
pytest_args=()
for arg in "$@"; do
    case "$arg" in
        --no-tests) tests=0 ;;
        --no-mpfr) mpfr=0 ;;
        -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
        *) pytest_args+=("$arg") ;;
    esac
done

LIBASAN=$(gcc -print-file-name=libasan.so)
[ -e "$LIBASAN" ] || { echo "sanitize.sh: libasan.so not found (gcc -print-file-name)" >&2; exit 2; }
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)

build() {  # build DIR EXTRA-CMAKE-ARGS...
    local dir=$1
    shift
    cmake -S . -B "$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$PY" -DQUORVANE_SANITIZE="$SAN" "$@" >"$dir.configure.log" 2>&1 \
        || { cat "$dir.configure.log" >&2; return 1; }
    cmake --build "$dir" >"$dir.build.log" 2>&1 || { cat "$dir.build.log" >&2; return 1; }
    ls "$dir"/rust*.so | head -n1
}

mkdir -p build
start=$(date +%s)
modules=("$(build build/asan)")
if [ "$mpfr" -eq 1 ]; then
    if mpfr_module=$(build build/asan-mpfr -DQUORVANE_F80=mpfr); then
        modules+=("$mpfr_module")
    else
        echo "sanitize.sh: no MPFR build (is libmpfr-dev installed?); checking the hardware backend only" >&2
    fi
fi
echo "sanitize.sh: built in $(( $(date +%s) - start )) s: ${modules[*]}"

# the package, with the sanitized modules in place of the installed ones
SITE="$ROOT/build/asan/site"
rm -rf "$SITE"
mkdir -p "$SITE/quorvane"
cp python/quorvane/*.py python/quorvane/*.pyi python/quorvane/py.typed "$SITE/quorvane/"
for module in build/asan/rust*.so build/asan/_table*.so; do
    ln -s "$ROOT/$module" "$SITE/quorvane/$(basename "$module")"
done

REPORTS="$ROOT/build/asan/reports"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
export LD_PRELOAD="$LIBASAN"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=0:quarantine_size_mb=32:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan"
export PYTHONMALLOC=malloc

status=0
for module in "${modules[@]}"; do
    start=$(date +%s)
    if ! "$PY" tools/workload.py --module "$module" --repeat 2; then
        status=1
    fi
    echo "sanitize.sh: workload on $module: $(( $(date +%s) - start )) s"
done

if [ "$tests" -eq 1 ]; then
    loaded=$(PYTHONPATH="$SITE" "$PY" -c 'import quorvane.rust as r, quorvane._table as t; print(r.__file__, t.__file__)')
    for file in $loaded; do
        case "$file" in
            "$SITE"/*) ;;
            *) echo "sanitize.sh: the tests would load $file, not the sanitized build" >&2; exit 1 ;;
        esac
    done
    [ "${#pytest_args[@]}" -eq 0 ] && pytest_args=(tests)
    start=$(date +%s)
    # the MPFR variant of the tests is built by conftest without sanitizers:
    # the workload above has covered the MPFR backend
    if ! PYTHONPATH="$SITE" QUORVANE_TEST_MPFR=0 "$PY" -m pytest -q "${pytest_args[@]}"; then
        status=1
    fi
    echo "sanitize.sh: tests: $(( $(date +%s) - start )) s"
fi

unset LD_PRELOAD
# a report file may hold only the allocator's warnings about the oversized
# batches that the tests make on purpose; those are not reports
found=$(grep -l -E "ERROR: |runtime error:|SUMMARY: " "$REPORTS"/* 2>/dev/null || true)
if [ -n "$found" ]; then
    for report in $found; do
        echo "=== $report"
        grep -v "failed to allocate 0x" "$report" | head -n 80
    done
    echo "sanitize.sh: sanitizer reports found" >&2
    status=1
fi
[ "$status" -eq 0 ] && echo "sanitize.sh: no sanitizer report"
exit "$status"
