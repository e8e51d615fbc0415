"""The documentation, the demo and the type stubs.

README.md: every ```python block is run.  Blocks written doctest-style
(``>>>``) are checked with doctest, so the outputs shown in the README are
compared with what the module returns; other blocks are executed and must
not raise.  Each block runs in a fresh namespace that holds only ``np``
and ``quorvane`` (what the README's first block imports), so every example
stands on its own after those two imports, as the README says.  Blocks
that import dask or pandas are skipped when they are not installed.

The demo (``python -m quorvane``) is run in a subprocess.

The stubs are checked with ``mypy --strict`` on samples of typical use, in
a subprocess; those tests are skipped where mypy is not installed (it is a
CPython-only test extra).
"""

from __future__ import annotations

import ast
import doctest
import importlib.util
import inspect
import io
import os
import re
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import quorvane
import quorvane.rust

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
SOURCE_PACKAGE = ROOT / "python" / "quorvane"
STUB = SOURCE_PACKAGE / "rust.pyi"

FUNCTIONS = ["forward_int", "forward_float", "inverse_int", "inverse_float"]
METHODS = ['"nearest"', '"ffill"', '"bfill"']

_FENCE = re.compile(r"^```([\w+-]*)[ \t]*\n(.*?)^```[ \t]*$", re.M | re.S)


def _blocks(text: str) -> list[tuple[int, str, str]]:
    """(line number, language, body) of every fenced block of ``text``."""
    out = []
    for m in _FENCE.finditer(text):
        line = text.count("\n", 0, m.start(2)) + 1
        out.append((line, m.group(1).lower(), m.group(2)))
    return out


def _readme() -> str:
    return README.read_text(encoding="utf-8")


def _python_blocks() -> list[tuple[int, str]]:
    return [(line, body) for line, lang, body in _blocks(_readme())
            if lang in ("python", "py", "pycon")]


def _section(text: str, title: str) -> str:
    m = re.search(rf"^## {re.escape(title)}[ \t]*\n(.*?)(?=^## |\Z)", text, re.M | re.S)
    assert m is not None, f"README has no section {title!r}"
    return m.group(1)


# --------------------------------------------------------------------------
# README


def test_readme_has_python_examples():
    blocks = _python_blocks()
    assert len(blocks) >= 10
    code = "\n".join(body for _, body in blocks)
    for name in FUNCTIONS:
        assert f"quorvane.{name}(" in code, name
    for method in METHODS:
        assert f"method={method}" in code, method
    # method=None is shown as the default: calls without a method.
    lines = code.splitlines()
    for name in ("inverse_int", "inverse_float"):
        assert any(f"quorvane.{name}(" in line and "method" not in line
                   for line in lines), name
    for exc in ("IndexError: x out of bounds", "KeyError: 'f not found'",
                "KeyError: 'f out of bounds'", "ValueError: method must be",
                "pyo3_runtime.PanicException"):
        assert exc in code, exc


def test_readme_quick_start_commands():
    section = _section(_readme(), "Quick start")
    blocks = _blocks(section)
    assert blocks, "the Quick start section has no code block"
    _, _, body = blocks[0]
    assert body.splitlines() == [
        "python -m pip install . && python -m quorvane",
        'python -m pip install ".[test]" && python -m pytest',
    ]


def test_readme_documents_every_error_message():
    text = _readme()
    for message in [
        "x out of bounds",
        "xp must be strictly increasing",
        "f out of bounds",
        "f not found",
        "fp must be strictly increasing",
        "method must be either None, 'nearest', 'ffill' or 'bfill'",
        "xp and fp must have same length",
        "nan or inf encountered",
        "assertion failed: value.is_finite()",
        "pyo3_runtime.PanicException",
    ]:
        assert message in text, message


@pytest.mark.parametrize(
    "line, body",
    [pytest.param(line, body, id=f"README.md:{line}") for line, body in _python_blocks()],
)
def test_readme_example(line: int, body: str):
    if re.search(r"^(>>> )?\s*(import|from)\s+dask\b", body, re.M):
        pytest.importorskip("dask.array")
    for library in ("pandas", "pyarrow", "polars"):
        if re.search(rf"^(>>> )?\s*(import|from)\s+{library}\b", body, re.M):
            pytest.importorskip(library)
    globs = {"__name__": "README", "np": np, "quorvane": quorvane}
    name = f"README.md:{line}"
    if ">>>" in body:
        parser = doctest.DocTestParser()
        test = parser.get_doctest(body, globs, name, str(README), line - 1)
        assert test.examples, name
        out = io.StringIO()
        runner = doctest.DocTestRunner(
            verbose=False,
            optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE,
        )
        runner.run(test, out=out.write, clear_globs=False)
        result = runner.summarize(verbose=False)
        assert result.failed == 0, f"{name}:\n{out.getvalue()}"
    else:
        exec(compile(body, name, "exec"), globs)


# --------------------------------------------------------------------------
# The demo


def test_demo_runs(tmp_path):
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-m", "quorvane"],
        capture_output=True, text=True, timeout=300,
        cwd=str(tmp_path),
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    out = proc.stdout
    for word in ("forward_int", "inverse_int", "numpy.interp", "<-- differs",
                 "0 mismatches"):
        assert word in out, word
    # The first PPS edge is at 1718000000 s, the next one 1000037 samples
    # later: sample 1 is 1e9 / 1000037 ns after it, rounded to nearest.
    t0 = 1_718_000_000 * 10**9
    assert str(t0 + round(Fraction(10**9, 1_000_037))) in out
    assert str(t0 + round(Fraction(12_345 * 10**9, 1_000_037))) in out


# --------------------------------------------------------------------------
# Stubs


def _stub_functions() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stub_lists_the_module():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    stub_all = None
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(
                isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets):
            stub_all = ast.literal_eval(node.value)
    assert stub_all == list(quorvane.rust.__all__) == FUNCTIONS
    functions = _stub_functions()
    assert sorted(functions) == sorted(FUNCTIONS)
    for name, node in functions.items():
        assert ast.get_docstring(node), name
        assert getattr(quorvane, name) is getattr(quorvane.rust, name)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_matches_runtime_signature(name: str):
    try:
        sig = inspect.signature(getattr(quorvane.rust, name))
    except (ValueError, TypeError):
        pytest.skip("this interpreter gives builtins no signature")
    node = _stub_functions()[name]
    assert [a.arg for a in node.args.args] == list(sig.parameters)
    assert not node.args.posonlyargs and not node.args.kwonlyargs
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               for p in sig.parameters.values())
    with_default = node.args.args[len(node.args.args) - len(node.args.defaults):]
    stub_defaults = {a.arg: ast.literal_eval(d)
                     for a, d in zip(with_default, node.args.defaults)}
    runtime_defaults = {p: v.default for p, v in sig.parameters.items()
                        if v.default is not inspect.Parameter.empty}
    assert stub_defaults == runtime_defaults


def test_installed_package_ships_typing():
    here = Path(quorvane.__file__).parent
    assert (here / "py.typed").is_file()
    assert (here / "rust.pyi").is_file()
    assert (here / "_table.pyi").is_file()


def test_table_stub_matches_runtime_signatures():
    tree = ast.parse((SOURCE_PACKAGE / "_table.pyi").read_text(encoding="utf-8"))
    table = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Table")
    for name in ("forward", "inverse"):
        try:
            sig = inspect.signature(getattr(quorvane.Table, name))
        except (ValueError, TypeError):
            pytest.skip("this interpreter gives builtins no signature")
        for node in table.body:
            if isinstance(node, ast.FunctionDef) and node.name == name:
                params = [a.arg for a in node.args.args] + [a.arg for a in node.args.kwonlyargs]
                assert params == list(sig.parameters), name
        assert "Returns" in getattr(quorvane.Table, name).__doc__, name
    assert ast.get_docstring(table) and quorvane.Table.__doc__


_mypy_missing = importlib.util.find_spec("mypy") is None
needs_mypy = pytest.mark.skipif(
    _mypy_missing, reason="mypy is not installed (a CPython-only test extra)")


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def _mypy(args: list[str], cwd: Path, cache: Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    if STUB.is_file():
        # Check the stubs of this checkout, whether or not (and however) the
        # package is installed.
        env["MYPYPATH"] = str(SOURCE_PACKAGE.parent)
    env.pop("MYPY_CONFIG_FILE_DIR", None)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-color-output",
         "--show-error-codes", "--config-file", os.devnull,
         "--cache-dir", str(cache), *args],
        capture_output=True, text=True, cwd=str(cwd), env=env, timeout=600,
    )


TYPICAL_USE = '''\
from typing import Literal, Optional

import numpy as np
import numpy.typing as npt

import quorvane
import quorvane.rust
from quorvane import forward_int, inverse_float

Method = Optional[Literal["nearest", "ffill", "bfill"]]

T0 = 1_718_000_000 * 10**9
samples: npt.NDArray[np.uint64] = np.array([0, 1_000_037, 2_000_071], dtype=np.uint64)
times: npt.NDArray[np.int64] = T0 + np.array([0, 10**9, 2 * 10**9], dtype=np.int64)
levels: npt.NDArray[np.float64] = np.array([0.0, 0.5, 2.0], dtype=np.float64)


def timestamps(x: npt.NDArray[np.uint64]) -> npt.NDArray[np.int64]:
    return forward_int(x, samples, times)


def sample_at(t: npt.NDArray[np.int64], method: Method = None) -> npt.NDArray[np.uint64]:
    return quorvane.inverse_int(t, samples, times, method=method)


x = np.arange(0, 2_000_071, 1_000, dtype=np.uint64)
t: npt.NDArray[np.int64] = timestamps(x)
back: npt.NDArray[np.uint64] = sample_at(t, "nearest")
floor: npt.NDArray[np.uint64] = sample_at(t, method="ffill")
ceil = quorvane.rust.inverse_int(t, samples, times, "bfill")
exact = quorvane.inverse_int(times, samples, times)
level: npt.NDArray[np.float64] = quorvane.forward_float(x=x, xp=samples, fp=levels)
where: npt.NDArray[np.uint64] = inverse_float(np.array([0.5, 0.0], dtype=np.float64),
                                              samples, levels, method=None)
print(back.tolist(), floor.tolist(), ceil.tolist(), exact.tolist(),
      level.tolist(), where.tolist())

# The prepared table: array-likes of any shape, scalars, a method held in
# a plain str, errors caught by class.
clock = quorvane.Table(samples, times)
chosen: str = "nearest"
grid: npt.NDArray[np.int64] = clock.forward(np.array([[0, 1_000], [2_000, 3_000]], dtype=np.uint16))
one = clock.forward(1_000, outside="clamp", workers=2)
back_again: npt.NDArray[np.uint64] = clock.inverse(grid, chosen, workers=-1)
try:
    clock.inverse([T0 - 1], method=chosen if chosen == "ffill" else None)
except quorvane.OutOfBoundsError as exc:
    print(exc.args[0][:5])
print(len(clock), clock.xp.dtype, grid.shape, int(one), back_again.tolist())
'''

# Each line marked "# E" must be reported by mypy, and no other line.  The
# arrays are bound to names first: an array built inside the call would be
# inferred against the expected type and fall back to NDArray[Any].
MISUSE = '''\
from typing import Any

import numpy as np
import numpy.typing as npt

import quorvane

xp = np.array([0, 10], dtype=np.uint64)
fi = np.array([0, 5], dtype=np.int64)
ff = np.array([0.0, 5.0], dtype=np.float64)
xf = np.array([1.0], dtype=np.float64)
xi = np.array([1], dtype=np.int64)

quorvane.inverse_int(fi, xp, fi, method="Nearest")  # E
quorvane.inverse_float(ff, xp, ff, "nearest ")  # E
quorvane.forward_int(xf, xp, fi)  # E
quorvane.forward_int(xi, xp, fi)  # E
quorvane.forward_float(xp, xp, fi)  # E
quorvane.inverse_int(ff, xp, fi)  # E
wrong: npt.NDArray[np.float64] = quorvane.forward_int(xp, xp, fi)  # E
also_wrong: npt.NDArray[np.int64] = quorvane.inverse_int(fi, xp, fi)  # E
quorvane.forward_int(xp, xp)  # E
quorvane.inverse_float(ff, xp, ff, mode="nearest")  # E
quorvane.forward_int([1, 2], xp, fi)  # E
ok: Any = quorvane.inverse_float(ff, xp, ff, method=None)
table = quorvane.Table(xp, fi)
table.forward(xp, "clamp")  # E
table.inverse(fi, method=5)  # E
table.forward(xp, workers="all")  # E
not_a_table: int = quorvane.Table(xp, fi)  # E
'''


@needs_mypy
def test_mypy_accepts_typical_use(tmp_path, mypy_cache):
    (tmp_path / "typical.py").write_text(TYPICAL_USE, encoding="utf-8")
    proc = _mypy(["typical.py"], tmp_path, mypy_cache)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@needs_mypy
def test_mypy_rejects_misuse(tmp_path, mypy_cache):
    (tmp_path / "misuse.py").write_text(MISUSE, encoding="utf-8")
    proc = _mypy(["misuse.py"], tmp_path, mypy_cache)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    expected = {i for i, line in enumerate(MISUSE.splitlines(), 1)
                if line.endswith("# E")}
    reported = {int(m.group(1)) for m in
                re.finditer(r"^misuse\.py:(\d+): error:", proc.stdout, re.M)}
    assert reported == expected, proc.stdout


@needs_mypy
def test_mypy_checks_the_package(tmp_path, mypy_cache):
    if not STUB.is_file():
        pytest.skip("the package sources are not beside the tests")
    proc = _mypy(["-p", "quorvane"], tmp_path, mypy_cache)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_typical_use_runs(capsys):
    # The sample that mypy accepts is real code: it runs against the module.
    exec(compile(TYPICAL_USE, "typical.py", "exec"), {"__name__": "typical"})
    out = capsys.readouterr().out
    assert out.startswith("[0, 1000, ")
    assert "f[0] " in out and out.rstrip().endswith("[[0, 1000], [2000, 3000]]")
