#!/usr/bin/env bash
# Build and install quorvane into a PyPy virtual environment and run the
# test suite with it.
#
#   tools/pypy.sh [PYTEST ARGS ...]
#
# PYPY names the interpreter (default pypy3: Debian's pypy3, with pypy3-dev
# and pypy3-venv, installed with apt-get when missing); PYPY_VENV the
# environment (default /tmp/pypy-venv, made if missing).  Safe to run
# again: the environment and the build directory (build/<PyPy wheel tag>,
# beside CPython's) are reused.
#
# Test extras that do not work on PyPy are left out, and the tests that
# need them are skipped or left out:
#   gmpy2  no PyPy wheel, and from source (with libgmp, libmpfr and libmpc
#          headers) 2.3 does not import on PyPy 7.3.11 (cpyext lacks
#          PyContextVar_Reset) and 2.1/2.2 do not compile: only a wheel is
#          tried, so a fresh environment spends no minute compiling it.
#          Without it the float model is unavailable and
#          tests/test_exact_float.py skips; the integer model still runs.
#   dask   installs, but its sizeof() calls sys.getsizeof, which always
#          raises TypeError on PyPy; without it tests/test_dask.py skips.
#   mypy   a CPython-only extra; the typing tests skip without it.
# The MPFR variant build of the tests is off (QUORVANE_TEST_MPFR=0): only
# the gmpy2-based tests use it.
set -euo pipefail

cd "$(dirname "$0")/.."
PYPY=${PYPY:-pypy3}
VENV=${PYPY_VENV:-/tmp/pypy-venv}

# Debian's PyPy with its C headers and venv support
[ "$PYPY" != pypy3 ] || tools/apt-install.sh pypy3 pypy3-dev pypy3-venv
command -v "$PYPY" >/dev/null || { echo "pypy.sh: $PYPY not found (apt-get install pypy3 pypy3-dev pypy3-venv)" >&2; exit 2; }
if [ ! -x "$VENV/bin/python" ]; then
    "$PYPY" -m venv "$VENV"
fi
PY="$VENV/bin/python"
"$PY" -c 'import platform, sys; assert platform.python_implementation() == "PyPy", sys.version'

start=$(date +%s)
"$PY" -m pip install -q --upgrade pip
# build requirements (the build runs without isolation) and the test extras
"$PY" -m pip install -q "numpy>=2.0" "scikit-build-core>=0.10" "cmake>=3.18" ninja \
    "pytest>=7" "hypothesis>=6.50"

# extras that may not work on PyPy: tried once per environment, the verdict
# kept in a marker file
works() { "$PY" -c "$1" >/dev/null 2>&1; }
if [ ! -e "$VENV/.quorvane-no-gmpy2" ] && ! works "import gmpy2; gmpy2.mpfr(1) / 3"; then
    "$PY" -m pip install -q --only-binary gmpy2 gmpy2 >/dev/null 2>&1 || true
    if ! works "import gmpy2; gmpy2.mpfr(1) / 3"; then
        "$PY" -m pip uninstall -q -y gmpy2 >/dev/null 2>&1 || true
        touch "$VENV/.quorvane-no-gmpy2"
    fi
fi
if [ ! -e "$VENV/.quorvane-no-dask" ] && ! works "import dask.array"; then
    "$PY" -m pip install -q "dask[array]>=2022.1" || true
    if ! works "import dask.array, dask.sizeof; dask.sizeof.sizeof(None)"; then
        "$PY" -m pip uninstall -q -y dask >/dev/null 2>&1 || true
        touch "$VENV/.quorvane-no-dask"
    fi
fi
if [ -e "$VENV/.quorvane-no-gmpy2" ]; then
    echo "pypy.sh: gmpy2 does not work on this PyPy: the float exactness tests skip"
fi
if [ -e "$VENV/.quorvane-no-dask" ]; then
    echo "pypy.sh: dask does not work on PyPy (its sizeof calls sys.getsizeof): tests/test_dask.py skips"
fi
echo "pypy.sh: environment ready in $(( $(date +%s) - start )) s"

start=$(date +%s)
"$PY" -m pip install -q --no-build-isolation --no-deps --force-reinstall .
"$PY" -c 'import quorvane.rust as r; print("pypy.sh: testing", r.__file__)'
echo "pypy.sh: built and installed in $(( $(date +%s) - start )) s"

start=$(date +%s)
status=0
QUORVANE_TEST_MPFR=0 "$PY" -m pytest "$@" || status=$?
echo "pypy.sh: tests: $(( $(date +%s) - start )) s"
exit "$status"
