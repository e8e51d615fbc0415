"""Shared fixtures.

The installed ``quorvane.rust`` is the module under test.  The float
functions are also tested against a second build of the same sources that
uses the MPFR backend for the 64-bit-significand arithmetic; it is built
here, once per checkout and interpreter, into ``build/test-mpfr-<tag>``.

QUORVANE_TEST_MPFR selects what happens to that second build:
``auto`` (default) builds it when MPFR and CMake are available and skips the
MPFR cases otherwise; ``1`` makes a failed build an error; ``0`` skips it.
"""

from __future__ import annotations

import glob
import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorvane.rust

ROOT = Path(__file__).resolve().parent.parent
MPFR_BUILD = ROOT / "build" / f"test-mpfr-{sys.implementation.cache_tag}"

_mpfr_module = None
_mpfr_error: str | None = None


def _cmake() -> str | None:
    return shutil.which("cmake")


def cmake_build(build_dir: Path, defines: dict[str, str], target: str | None = None) -> None:
    """Configure (once) and build the project's CMake tree in build_dir."""
    cmake = _cmake()
    if cmake is None:
        raise RuntimeError("cmake is not on PATH")
    if not (ROOT / "CMakeLists.txt").exists():
        raise RuntimeError("the sources are not beside the tests")
    # Configured once; a configuration that failed (a missing library, say)
    # leaves a cache but no build files, and is tried again.
    if not any((build_dir / name).exists() for name in ("build.ninja", "Makefile")):
        args = [cmake, "-S", str(ROOT), "-B", str(build_dir),
                "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}"]
        args += [f"-D{key}={value}" for key, value in defines.items()]
        if shutil.which("ninja"):
            args += ["-G", "Ninja"]
        subprocess.run(args, check=True, capture_output=True, text=True)
    build = [cmake, "--build", str(build_dir)]
    if target is not None:
        build += ["--target", target]
    subprocess.run(build, check=True, capture_output=True, text=True)


def _build_mpfr_variant():
    """Build the MPFR variant of the module and load it."""
    cmake_build(MPFR_BUILD, {"QUORVANE_F80": "mpfr", "QUORVANE_BUILD_TESTS": "ON"})
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    found = [p for p in glob.glob(str(MPFR_BUILD / "rust*"))
             if any(p.endswith(s) for s in suffixes)]
    if not found:
        raise RuntimeError(f"no extension module in {MPFR_BUILD}")
    found_at = importlib.util.spec_from_file_location("_quorvane_mpfr.rust", found[0])
    assert found_at is not None and found_at.loader is not None
    module = importlib.util.module_from_spec(found_at)
    found_at.loader.exec_module(module)
    return module


def mpfr_unavailable() -> str | None:
    """Why the MPFR variant cannot be had (None when it can)."""
    mpfr_module()
    return None if _mpfr_module is not None else (_mpfr_error or "MPFR build unavailable")


def mpfr_module():
    """The MPFR build of the module, or None (with the reason kept)."""
    global _mpfr_module, _mpfr_error
    mode = os.environ.get("QUORVANE_TEST_MPFR", "auto")
    if mode == "0":
        _mpfr_error = "QUORVANE_TEST_MPFR=0"
        return None
    if _mpfr_module is None and _mpfr_error is None:
        try:
            _mpfr_module = _build_mpfr_variant()
        except (OSError, RuntimeError, subprocess.CalledProcessError) as exc:
            detail = getattr(exc, "stderr", "") or ""
            _mpfr_error = f"MPFR build unavailable: {exc}\n{detail[-2000:]}"
            if mode == "1":
                raise
    return _mpfr_module


@pytest.fixture(scope="session")
def rust():
    """The installed extension module."""
    return quorvane.rust


@pytest.fixture(scope="session", params=["installed", "mpfr"])
def backend(request):
    """The extension module, once per F80 backend: the installed build and
    the MPFR build."""
    if request.param == "installed":
        return quorvane.rust
    module = mpfr_module()
    if module is None:
        pytest.skip(_mpfr_error or "MPFR build unavailable")
    return module
