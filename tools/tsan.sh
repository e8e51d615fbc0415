#!/usr/bin/env bash
# Build both extension modules and the C++ core checks with ThreadSanitizer
# (clang++) and run the thread stress workload, the injected faults and the
# table's tests against that build.
#
#   tools/tsan.sh [-q] [PYTEST ARGS ...]
#
# Builds build/tsan (cmake and ninja, -DQUORVANE_SANITIZE=-fsanitize=thread,
# clang++, with core_test), then runs:
#   1. build/tsan/core_test;
#   2. tools/threads.py: Python threads querying shared Tables (small and
#      partitioned, every kind of batch, workers 1, 2 and -1, failing
#      queries) while other threads call the four functions, then the same
#      under injected faults, then each fault alone; every answer checked;
#   3. tests/test_table.py and tests/test_reliability.py but their
#      signal timing tests (PYTEST ARGS replace the selection).
# -q (CI): core_test and the short stress (tools/threads.py --quick), no
# tests unless PYTEST ARGS are given; about a minute and a half on two
# shared cores.
#
# The tests import build/tsan/site first on PYTHONPATH: a copy of the
# package whose two modules are the TSan build.  The runtime is preloaded
# into the interpreter (CPython itself is not instrumented: only the
# module's own accesses, and the interceptors', are watched, and the GIL's
# mutex gives TSan the order of everything that runs under it).
# PYTHONMALLOC=malloc lets the runtime see every allocation, so that a
# block freed and handed out again is not taken for shared memory.
# halt_on_error=0 lets a run go on after a report; any report, from the
# interpreter or core_test, fails the run.  Reports go to build/tsan/reports.
# Suppressions: tools/tsan.supp.
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$(pwd)
PY=$(python3 -c 'import sys; print(sys.executable)')  # not a shim: LD_PRELOAD would load into it
CXX=${CXX_TSAN:-clang++}

quick=0
pytest_args=()
for arg in "$@"; do
    case "$arg" in
        -q) quick=1 ;;
        -h|--help) sed -n '2,30p' "$0"; exit 0 ;;
        *) pytest_args+=("$arg") ;;
    esac
done

# Debian's clang with its sanitizer runtimes
tools/apt-install.sh clang libclang-rt-14-dev
command -v "$CXX" >/dev/null || { echo "tsan.sh: $CXX not found (apt-get install clang libclang-rt-14-dev)" >&2; exit 2; }

# The runtime to preload: clang's own when it can be preloaded, else the
# libtsan.so that clang++ -print-file-name finds (GCC's, which implements
# the same entry points).  Clang 14's libclang_rt.tsan-x86_64.so cannot:
# the libstdc++ it depends on is initialised first and calls the runtime's
# __cxa_atexit interceptor before the runtime is, which jumps to address 0.
RUNTIME=""
for candidate in "$("$CXX" -print-file-name=libclang_rt.tsan-x86_64.so)" "$("$CXX" -print-file-name=libtsan.so)"; do
    if [ -e "$candidate" ] && (env LD_PRELOAD="$candidate" /bin/true; exit $?) >/dev/null 2>&1; then
        RUNTIME=$candidate
        break
    fi
done
[ -n "$RUNTIME" ] || { echo "tsan.sh: no ThreadSanitizer runtime that can be preloaded" >&2; exit 2; }

BUILD=build/tsan
mkdir -p "$BUILD"
start=$(date +%s)
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S . -B "$BUILD" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CXX" \
    -DPython_EXECUTABLE="$PY" -DQUORVANE_SANITIZE="-fsanitize=thread" -DQUORVANE_BUILD_TESTS=ON \
    >"$BUILD.configure.log" 2>&1 || { cat "$BUILD.configure.log" >&2; exit 1; }
cmake --build "$BUILD" >"$BUILD.build.log" 2>&1 || { cat "$BUILD.build.log" >&2; exit 1; }
echo "tsan.sh: built in $(( $(date +%s) - start )) s; runtime $RUNTIME"

# the package, with both modules of the TSan build
SITE="$ROOT/$BUILD/site"
rm -rf "$SITE"
mkdir -p "$SITE/quorvane"
cp python/quorvane/*.py python/quorvane/*.pyi python/quorvane/py.typed "$SITE/quorvane/"
for module in "$BUILD"/rust*.so "$BUILD"/_table*.so; do
    ln -s "$ROOT/$module" "$SITE/quorvane/$(basename "$module")"
done

REPORTS="$ROOT/$BUILD/reports"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
export TSAN_OPTIONS="halt_on_error=0:allocator_may_return_null=1:second_deadlock_stack=1:suppressions=$ROOT/tools/tsan.supp:log_path=$REPORTS/tsan"
status=0

start=$(date +%s)
if ! "$BUILD/core_test" >"$REPORTS/core_test.out"; then
    tail -n 20 "$REPORTS/core_test.out"
    status=1
fi
echo "tsan.sh: core_test: $(tail -n 1 "$REPORTS/core_test.out"): $(( $(date +%s) - start )) s"

tsan_python() {
    PYTHONPATH="$SITE" PYTHONMALLOC=malloc LD_PRELOAD="$RUNTIME" "$PY" "$@"
}

# the interpreter runs with the runtime, and imports the TSan build
loaded=$(tsan_python -c 'import ctypes, quorvane._table as t, quorvane.rust as r
ctypes.CDLL(None).__tsan_init  # AttributeError without the runtime
print(t.__file__, r.__file__)')
for file in $loaded; do
    case "$file" in
        "$SITE"/*) ;;
        *) echo "tsan.sh: the interpreter would load $file, not the TSan build" >&2; exit 1 ;;
    esac
done

start=$(date +%s)
threads_args=()
[ "$quick" -eq 1 ] && threads_args=(--quick)
if ! tsan_python tools/threads.py "${threads_args[@]}"; then
    status=1
fi
echo "tsan.sh: threads.py: $(( $(date +%s) - start )) s"

# The runtime defers a signal until the thread it interrupts next passes
# through it (a libc call it intercepts), which a long call may not do for
# seconds: the tests of how soon a call answers a signal are left out.
if [ "${#pytest_args[@]}" -eq 0 ] && [ "$quick" -eq 0 ]; then
    pytest_args=(tests/test_table.py tests/test_reliability.py -k "not Interrupts and not handler")
fi
if [ "${#pytest_args[@]}" -gt 0 ]; then
    start=$(date +%s)
    # the MPFR variant of the tests is built by conftest without TSan
    if ! QUORVANE_TEST_MPFR=0 tsan_python -m pytest -q "${pytest_args[@]}"; then
        status=1
    fi
    echo "tsan.sh: tests: $(( $(date +%s) - start )) s"
fi

found=$(grep -l -E "WARNING: ThreadSanitizer|ERROR: ThreadSanitizer|SUMMARY: ThreadSanitizer" "$REPORTS"/tsan* 2>/dev/null || true)
if [ -n "$found" ]; then
    for report in $found; do
        echo "=== $report"
        head -n 120 "$report"
    done
    echo "tsan.sh: ThreadSanitizer reports found" >&2
    status=1
fi
[ "$status" -eq 0 ] && echo "tsan.sh: no ThreadSanitizer report"
exit "$status"
