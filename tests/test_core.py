"""Runs the C++ checks of the core: the batch searches against the reference
search on random tables and queries (NaN queries and tables of 0, 1 and 2
entries included), the extended-precision primitives at the edges of their
ranges that no call of the module can reach, the 128-bit integers, and the
soft backend under every floating-point environment.  Once with the backend
and 128-bit integers the installed module was built with, once with MPFR."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import pytest

from conftest import MPFR_BUILD, ROOT, cmake_build, mpfr_unavailable

import quorvane

# The installed module's configuration, as CMake takes it.
_BUILT = quorvane.build_info()
INSTALLED_DEFINES = {
    "QUORVANE_F80": {"x87": "hardware"}.get(_BUILT["f80"], _BUILT["f80"]),
    "QUORVANE_PORTABLE_U128": "ON" if _BUILT["u128"] == "portable" else "OFF",
}
NATIVE_BUILD = ROOT / "build" / (f"test-native-{INSTALLED_DEFINES['QUORVANE_F80']}-{_BUILT['u128']}-"
                                 f"{sys.implementation.cache_tag}")


@pytest.mark.parametrize("variant", ["native", "mpfr"])
def test_core_checks(variant):
    if variant == "mpfr":
        reason = mpfr_unavailable()
        if reason is not None:
            pytest.skip(reason)
        build = MPFR_BUILD
        cmake_build(build, {"QUORVANE_F80": "mpfr", "QUORVANE_BUILD_TESTS": "ON"}, "core_test")
    else:
        build = NATIVE_BUILD
        try:
            cmake_build(build, {**INSTALLED_DEFINES, "QUORVANE_BUILD_TESTS": "ON"}, "core_test")
        except (OSError, RuntimeError, subprocess.CalledProcessError) as exc:
            if os.environ.get("CI"):
                raise
            pytest.skip(f"cannot build the C++ checks: {exc}")
    run = subprocess.run([str(build / "core_test")], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
    assert run.stdout.strip().endswith("0 failed")


# A configuration that cannot build stops CMake at once, saying why.
BAD_CONFIGURATIONS = [
    ({"QUORVANE_F80": "quad"}, None, "QUORVANE_F80 must be auto, hardware, soft or mpfr, not 'quad'"),
    ({"QUORVANE_F80": "hardware"}, "aarch64-linux-gnu-g++", "QUORVANE_F80=hardware needs the x87 80-bit long double"),
]


@pytest.mark.parametrize(("defines", "compiler", "message"), BAD_CONFIGURATIONS)
def test_bad_configuration_stops_cmake(tmp_path, defines, compiler, message):
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not on PATH")
    args = [cmake, "-S", str(ROOT), "-B", str(tmp_path), f"-DPython_EXECUTABLE={sys.executable}"]
    args += [f"-D{k}={v}" for k, v in defines.items()]
    if compiler is not None:
        if shutil.which(compiler) is None:
            pytest.skip(f"{compiler} is not installed")
        args += [f"-DCMAKE_CXX_COMPILER={compiler}", "-DCMAKE_SYSTEM_NAME=Linux", "-DCMAKE_SYSTEM_PROCESSOR=aarch64"]
    run = subprocess.run(args, capture_output=True, text=True, timeout=120)
    assert run.returncode != 0
    assert message in " ".join(run.stderr.split())
