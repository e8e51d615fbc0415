"""The documentation, the demo and the type stubs.

README.md: every ```python block is run.  Blocks written doctest-style
(``>>>``) are checked with doctest, so the outputs shown in the README are
compared with what the module returns; other blocks are executed and must
not raise.  Each block runs in a fresh namespace that holds only ``np``
and ``quorvane`` (what the README's first block imports), so every example
stands on its own after those two imports, as the README says.  Blocks
that import dask, pandas, polars, pyarrow or xarray are skipped when those
are not installed.  The whole file also passes ``python -m doctest
README.md``.

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
import platform
import re
import runpy
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
    for library in ("pandas", "polars", "pyarrow", "xarray"):
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


def test_readme_passes_doctest_as_a_whole(tmp_path):
    # What `python -m doctest README.md` does: the whole file as one text,
    # one namespace from the first block on, no option flags.  Each block
    # ends with a blank line, or its closing fence would be read as the
    # expected output of its last example.
    pytest.importorskip("dask.array")
    pytest.importorskip("pandas")
    proc = subprocess.run(
        [sys.executable, "-m", "doctest", "-v", str(README)],
        capture_output=True, text=True, timeout=600, cwd=str(tmp_path),
    )
    examples = sum(body.count("\n>>> ") + body.startswith(">>> ")
                   for _, body in _python_blocks())
    assert proc.returncode == 0, proc.stdout[-5000:] + proc.stderr
    assert f"{examples} passed and 0 failed." in proc.stdout, proc.stdout[-2000:]


def test_readme_picture_data():
    # The picture near the top: its script's numbers, checked against Python
    # integers (the script needs matplotlib only to draw them).
    text = _readme()
    assert text.index("](docs/interp_error.png)") < text.index("## Install")
    assert (ROOT / "docs" / "interp_error.png").is_file()
    script = runpy.run_path(str(ROOT / "docs" / "interp_error.py"), run_name="interp_error")
    x, exact, err = script["errors"]()
    edges = [int(e) for e in script["EDGES"]]
    for q, t in zip(x.tolist(), exact.tolist()):
        k = max(i for i, e in enumerate(edges) if e <= q)
        assert t == script["T0"] + k * 10**9 + round(Fraction(10**9 * (q - edges[k]),
                                                               edges[k + 1] - edges[k]))
    assert abs(err).max() == 128 and np.count_nonzero(err) / err.size > 0.99


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


def test_version_names_the_build(tmp_path):
    proc = subprocess.run([sys.executable, "-W", "error", "-m", "quorvane", "--version"],
                          capture_output=True, text=True, timeout=60, cwd=str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    info = quorvane.build_info()
    assert info["f80"] in ("x87", "soft", "mpfr") and info["u128"] in ("native", "portable")
    assert proc.stdout == (f"quorvane {quorvane.__version__} (F80 backend {info['f80']}, {info['u128']} "
                           f"128-bit integers, built for {info['target']})\n")
    assert info["target"] == f"{platform.machine()}-{platform.system()}".lower()


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
    # The constructor's overloads (one per kind of samples) share one
    # parameter list; the runtime's is the same (unit= may not be there yet).
    inits = [node.args for node in table.body
             if isinstance(node, ast.FunctionDef) and node.name == "__init__"]
    assert len(inits) > 1
    for args in inits:
        assert [a.arg for a in args.args] == ["self", "xp", "fp"]
        assert [a.arg for a in args.kwonlyargs] == ["unit"]
    try:
        runtime = list(inspect.signature(quorvane.Table).parameters)
    except (ValueError, TypeError):
        return
    assert runtime in (["xp", "fp"], ["xp", "fp", "unit"])


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
# a name typed with its literals, errors caught by class.
clock = quorvane.Table(samples, times)
chosen: Method = "nearest"
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
chosen: str = "nearest"
table.inverse(fi, chosen)  # E
table.inverse(fi, method="Nearest")  # E
table.forward(xp, outside="Clamp")  # E
table.forward(xp, outside=None)  # E
table.forward(xp, outside="clamp", workers=2.0)  # E
wrong_values: npt.NDArray[np.float64] = table.forward(xp)  # E
wrong_scalar: np.float64 = table.forward(5)  # E
wrong_coords: npt.NDArray[np.int64] = table.inverse(fi)  # E
wrong_coord: np.int64 = table.inverse(3, "nearest")  # E
quorvane.Table(xp, fi, "ns")  # E
quorvane.Table(xp, fi, unit=9)  # E
floats_only: quorvane.Table[np.float64] = table  # E
times = np.array([0, 5], dtype=np.dtype("datetime64[ns]"))
on_times = quorvane.Table(times, ff)
wrong_axis: npt.NDArray[np.uint64] = on_times.inverse(ff, "nearest")  # E
'''

# What each kind of table answers, pinned with assert_type (which also
# catches a result that has fallen back to Any).  Checked by mypy only: it
# annotates with Table[...], which needs no runtime support only under mypy.
TYPED_RESULTS = '''\
import datetime as dt
from typing import Any

import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type

from quorvane import Table

xp = np.array([0, 10, 20], dtype=np.uint64)
fi = np.array([0, 5, 9], dtype=np.int64)
ff = np.array([0.0, 0.5, 2.0], dtype=np.float64)
fd = np.array([0, 5, 9], dtype=np.dtype("datetime64[ns]"))
fm = np.array([0, 5, 9], dtype=np.dtype("timedelta64[ns]"))
x = np.array([[1, 2], [3, 4]], dtype=np.uint16)
masked = np.ma.masked_array(x, mask=np.array([[False, True], [False, False]]))

ints = Table(xp, fi)
assert_type(ints, Table[np.int64, np.uint64])
assert_type(ints.xp, npt.NDArray[np.uint64])
assert_type(ints.fp, npt.NDArray[np.int64])
assert_type(ints.forward(x), npt.NDArray[np.int64])
assert_type(ints.forward([1, 2], outside=-1), npt.NDArray[np.int64])
assert_type(ints.forward(5), np.int64)
assert_type(ints.forward(np.uint8(5), outside="clamp", workers=np.int64(2)), np.int64)
assert_type(ints.forward(masked), np.ma.MaskedArray[Any, np.dtype[np.int64]])
assert_type(ints.inverse(fi, "nearest"), npt.NDArray[np.uint64])
assert_type(ints.inverse(3, method="ffill"), np.uint64)
assert_type(ints.inverse(masked, method=None, workers=-1), np.ma.MaskedArray[Any, np.dtype[np.uint64]])

floats = Table(xp, ff)
assert_type(floats.forward(x, outside=np.nan), npt.NDArray[np.float64])
assert_type(floats.forward(15), np.float64)
assert_type(floats.inverse(0.25, "bfill"), np.uint64)

clock = Table(xp, fd, unit="ns")
assert_type(clock, Table[np.datetime64, np.uint64])
assert_type(clock.forward(x), npt.NDArray[np.datetime64])
assert_type(clock.forward(7), np.datetime64)
assert_type(clock.inverse(fd, "nearest"), npt.NDArray[np.uint64])
assert_type(clock.inverse(dt.datetime(2024, 6, 10, tzinfo=dt.timezone.utc), "ffill"), np.uint64)
assert_type(Table(xp, fm).forward(x), npt.NDArray[np.timedelta64])

# A time axis: inverse answers are times.
levels = Table(fd, ff, unit=None)
assert_type(levels, Table[np.float64, np.datetime64])
assert_type(levels.forward(fd), npt.NDArray[np.float64])
assert_type(levels.forward(np.datetime64(5, "ns")), np.float64)
assert_type(levels.inverse(ff, "nearest"), npt.NDArray[np.datetime64])
assert_type(levels.inverse(0.5, "nearest"), np.datetime64)
assert_type(Table(fm, fi).inverse(3, "ffill"), np.timedelta64)

# Lists make the same tables as arrays.
assert_type(Table([0, 10], [0, 5]), Table[np.int64, np.uint64])
assert_type(Table([0, 10], [0.0, 0.5]), Table[np.float64, np.uint64])
assert_type(Table([0, 10], [0, 0.5]), Table[np.float64, np.uint64])
assert_type(Table(fi[:2], [dt.datetime(2024, 6, 10), dt.datetime(2024, 6, 11)]),
            Table[np.datetime64, np.uint64])
assert_type(Table(xp[:2], [dt.timedelta(0), dt.timedelta(seconds=1)]),
            Table[np.timedelta64, np.uint64])

# Samples of a kind not known statically make a table of unknown kind.
def from_anything(xs: Any, fs: Any) -> None:
    assert_type(Table(xs, fs), Table[Any, Any])

# Annotations: a bare Table fits every table; Table[V] names the value type.
tables: list[Table] = [ints, floats, clock, levels]
by_value: Table[np.float64] = floats
assert_type(by_value.forward(x), npt.NDArray[np.float64])
assert_type(by_value.fp, npt.NDArray[np.float64])

# Columns (pandas, polars, pyarrow, any Arrow producer) come back in a
# container of their own kind: typed loosely.
class Column:
    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return None

assert_type(ints.forward(Column()), Any)
assert_type(clock.inverse(Column(), "nearest"), Any)
print(tables, by_value)
'''


@needs_mypy
def test_mypy_accepts_typical_use(tmp_path, mypy_cache):
    (tmp_path / "typical.py").write_text(TYPICAL_USE, encoding="utf-8")
    (tmp_path / "typed.py").write_text(TYPED_RESULTS, encoding="utf-8")
    proc = _mypy(["typical.py", "typed.py"], tmp_path, mypy_cache)
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
