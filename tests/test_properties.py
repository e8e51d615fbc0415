"""Random calls with every kind of argument.

Each call draws, for every parameter, an argument of some kind: a valid
array in one of many layouts (views with any stride, broadcast, read-only,
unaligned, subclasses, equivalent dtype spellings, an array shared with
another parameter), or something that must be rejected (lists, scalars, 0-D
and 2-D arrays, other element types, byte-swapped arrays, ...); it binds
them by position and by keyword in random arrangements, with missing,
unknown and repeated names; and for the inverse functions it draws a
`method` of any kind (None, the three names, str subclasses, wrong strings,
strings without a UTF-8 form, non-strings).

What must hold for every call:

* the outcome is the one that the rules of the call frame give: the first
  binding error, else the first array that cannot be converted (in
  parameter order), else the first `method` error, else exactly what the
  same call gives on contiguous copies of the arrays and a plain `method`
  (a result with the same bits, or the same exception with the same
  message);
* no argument changes: contents, the memory around views, shape, strides,
  flags and data pointer are the same afterwards.

The exactness of the answers themselves is tested against independent
oracles in test_exact_int.py and test_exact_float.py.
"""

from __future__ import annotations

import math
import sys
from typing import Any, Callable, NamedTuple

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

U64, I64, F64 = np.dtype(np.uint64), np.dtype(np.int64), np.dtype(np.float64)
U64_MAX, I64_MIN, I64_MAX = 2 ** 64 - 1, -(2 ** 63), 2 ** 63 - 1

#: parameter names and element types of (query, xp, fp), and the result type
SIGNATURES = {
    "forward_int": (("x", "xp", "fp"), (U64, U64, I64), I64),
    "forward_float": (("x", "xp", "fp"), (U64, U64, F64), F64),
    "inverse_int": (("f", "xp", "fp", "method"), (I64, U64, I64), U64),
    "inverse_float": (("f", "xp", "fp", "method"), (F64, U64, F64), U64),
}
NAMES = list(SIGNATURES)
METHOD_NAMES = ("nearest", "ffill", "bfill")
METHOD_ERROR = "method must be either None, 'nearest', 'ffill' or 'bfill'"
ARRAY_TARGET = "PyArray<T, D>"

NATIVE = "<" if sys.byteorder == "little" else ">"
#: other spellings of each element type that must be accepted
EQUIVALENT = {
    U64: ["L", "Q", "=u8", NATIVE + "u8"],
    I64: ["l", "q", "=i8", NATIVE + "i8"],
    F64: ["d", "=f8", NATIVE + "f8"],
}
#: element types that must be rejected (the required one is filtered out)
OTHER_DTYPES = ["u8", "i8", "f8", "u4", "i4", "f4", "u1", "?", "f2", "g", "c8",
                "m8[ns]", "M8[ns]", "V8", "S8", "O"]

SETTINGS = settings(max_examples=80, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow,
                                           HealthCheck.data_too_large])


class Tagged(np.ndarray):
    """A subclass of NumPy's array type with state of its own."""

    def __array_finalize__(self, obj):
        self.tag = getattr(obj, "tag", "tagged")


class Method(str):
    """A str subclass whose Python-level behaviour differs from its text."""

    def __eq__(self, other):
        return False

    def __ne__(self, other):
        return True

    def __str__(self):
        return "bogus"

    __hash__ = str.__hash__


class Holder:
    """Not an array, though it can make one."""

    def __init__(self, data):
        self.data = data

    def __array__(self, dtype=None, copy=None):
        return self.data


# --------------------------------------------------------------------------
# element values: small numbers, numbers near the ends of each type, and
# (for floats) the special values


def u64_values():
    return st.one_of(
        st.integers(0, 40),
        st.integers(0, U64_MAX),
        st.integers(U64_MAX - 40, U64_MAX),
        st.integers(2 ** 63 - 20, 2 ** 63 + 20),
    )


def i64_values():
    return st.one_of(
        st.integers(-40, 40),
        st.integers(I64_MIN, I64_MAX),
        st.integers(I64_MIN, I64_MIN + 40),
        st.integers(I64_MAX - 40, I64_MAX),
    )


def f64_values():
    return st.one_of(
        st.integers(-40, 40).map(float),
        st.floats(allow_nan=False, allow_infinity=False),
        st.sampled_from([0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
                         1.7976931348623157e308, -1.7976931348623157e308,
                         float("inf"), float("-inf"), float("nan")]),
    )


VALUES = {U64: u64_values, I64: i64_values, F64: f64_values}


@st.composite
def tables(draw, name):
    """(queries, xp, fp) as lists: mostly a valid table (the axis that the
    direction searches increasing), sometimes not, sometimes of mismatched
    lengths; queries mostly near the samples."""
    _, (tq, tx, tf), _ = SIGNATURES[name]
    forward = name.startswith("forward")
    n = draw(st.one_of(st.integers(0, 6), st.integers(2, 6)))
    xp = draw(st.lists(VALUES[tx](), min_size=n, max_size=n))
    fp = draw(st.lists(VALUES[tf](), min_size=n, max_size=n))
    if draw(st.integers(0, 9)) > 0:  # usually: the searched axis increases
        if forward:
            xp = sorted(set(xp))
            fp = fp[:len(xp)]
        else:
            fp = sorted({v for v in fp if v == v}, key=float if tf == F64 else None)
            fp = [v for k, v in enumerate(fp) if k == 0 or v != fp[k - 1]]  # -0.0 == 0.0
            xp = xp[:len(fp)]
    if draw(st.integers(0, 14)) == 0:
        fp = fp + draw(st.lists(VALUES[tf](), min_size=1, max_size=2))
    searched = xp if forward else fp
    near = VALUES[tq]()  # anything, rarely
    if searched:
        inside = [v for v in searched if v == v]
        lo, hi = (min(inside), max(inside)) if inside else (0, 0)
        hits = st.sampled_from(searched)
        if tq == F64:
            between = st.floats(min_value=lo, max_value=hi) if math.isfinite(lo) and \
                math.isfinite(hi) else hits
        else:
            between = st.integers(lo, hi)
            top = U64_MAX if tq == U64 else I64_MAX
            bottom = 0 if tq == U64 else I64_MIN
            hits = st.one_of(hits, st.tuples(hits, st.integers(-3, 3))
                             .map(lambda p: min(max(p[0] + p[1], bottom), top)))
        near = st.one_of(hits, between, between)
    queries = draw(st.lists(near, max_size=12))
    if draw(st.integers(0, 7)) == 0:
        queries.insert(draw(st.integers(0, len(queries))), draw(VALUES[tq]()))
    return queries, xp, fp


# --------------------------------------------------------------------------
# arguments of every kind.  A built argument records what the call may
# read: the object passed, the memory it lives in, and what a valid one
# holds.


class Arg(NamedTuple):
    value: Any           # what is passed
    root: Any            # the memory behind it (an array or bytearray), or None
    valid: bool          # whether the parameter accepts it
    kind: str


def _to_array(values, dtype):
    return np.array(values, dtype=dtype)


def _strided(values, dtype, step):
    n = len(values)
    big = np.full(max(1, n * abs(step)), 0x5A, dtype=dtype) if dtype != F64 else \
        np.full(max(1, n * abs(step)), 1.25, dtype=dtype)
    view = big[::step][:n] if step > 0 else big[::step][:n]
    view[...] = _to_array(values, dtype)
    return view, big


def _unaligned(values, dtype):
    n = len(values)
    buf = bytearray(8 * n + 9)
    view = np.ndarray((n,), dtype=dtype, buffer=buf, offset=1)
    view[...] = _to_array(values, dtype)
    return view, buf


def _column(values, dtype):
    grid = np.zeros((len(values), 3), dtype=dtype)
    grid[:, 1] = _to_array(values, dtype)
    return grid[:, 1], grid


def valid_arg(kind, values, dtype):
    """An accepted argument holding `values` (a broadcast one holds
    values[0] repeated)."""
    if kind == "contiguous":
        a = _to_array(values, dtype)
        return Arg(a, a, True, kind)
    if kind == "read-only":
        a = _to_array(values, dtype)
        a.flags.writeable = False
        return Arg(a, a, True, kind)
    if kind == "from-bytes":
        a = np.frombuffer(_to_array(values, dtype).tobytes(), dtype=dtype)
        return Arg(a, a.base, True, kind)
    if kind == "reversed":
        a = _to_array(values[::-1], dtype)
        return Arg(a[::-1], a, True, kind)
    if kind.startswith("step"):
        view, big = _strided(values, dtype, int(kind[4:]))
        return Arg(view, big, True, kind)
    if kind == "column":
        view, grid = _column(values, dtype)
        return Arg(view, grid, True, kind)
    if kind == "unaligned":
        view, buf = _unaligned(values, dtype)
        return Arg(view, buf, True, kind)
    if kind == "broadcast":
        one = _to_array(values[:1] or [0], dtype)
        a = np.broadcast_to(one, (len(values),))
        return Arg(a, one, True, kind)
    if kind == "subclass":
        a = _to_array(values, dtype).view(Tagged)
        return Arg(a, a, True, kind)
    if kind == "masked":
        a = np.ma.MaskedArray(_to_array(values, dtype), mask=[k % 2 == 0 for k in range(len(values))])
        return Arg(a, a.data, True, kind)
    if kind.startswith("dtype "):
        a = np.array(_to_array(values, dtype), dtype=np.dtype(kind[6:]))
        return Arg(a, a, True, kind)
    raise AssertionError(kind)


VALID_KINDS = ["contiguous", "contiguous", "contiguous", "read-only", "from-bytes", "reversed",
               "step2", "step3", "step-1", "step-2", "column", "unaligned", "broadcast",
               "subclass", "masked"]


def invalid_arg(kind, dtype):
    """A rejected argument (its contents do not matter)."""
    if kind == "list":
        return Arg([1, 2], None, False, kind)
    if kind == "tuple":
        return Arg((1,), None, False, kind)
    if kind == "int":
        return Arg(3, None, False, kind)
    if kind == "None":
        return Arg(None, None, False, kind)
    if kind == "scalar":
        return Arg(dtype.type(1), None, False, kind)
    if kind == "0-d":
        a = np.array(1, dtype=dtype)
        return Arg(a, a, False, kind)
    if kind == "2-d":
        a = np.ones((2, 2), dtype=dtype)
        return Arg(a, a, False, kind)
    if kind == "2-d row":
        a = np.ones((1, 3), dtype=dtype)
        return Arg(a, a, False, kind)
    if kind == "2-d subclass":
        a = np.ones((3, 1), dtype=dtype).view(Tagged)
        return Arg(a, a, False, kind)
    if kind == "byte-swapped":
        a = np.arange(3).astype(dtype.newbyteorder())
        return Arg(a, a, False, kind)
    if kind == "byte-swapped view":
        a = np.arange(6).astype(dtype.newbyteorder())[::-2]
        return Arg(a, a.base, False, kind)
    if kind == "memoryview":
        a = np.arange(3).astype(dtype)
        return Arg(memoryview(a), a, False, kind)
    if kind == "array-like":
        a = np.arange(3).astype(dtype)
        return Arg(Holder(a), a, False, kind)
    if kind.startswith("dtype "):
        a = np.zeros(3, dtype=np.dtype(kind[6:]))
        return Arg(a, a, False, kind)
    raise AssertionError(kind)


INVALID_KINDS = ["list", "tuple", "int", "None", "scalar", "0-d", "2-d", "2-d row", "2-d subclass",
                 "byte-swapped", "byte-swapped view", "memoryview", "array-like"]


@st.composite
def array_args(draw, values, dtype):
    """A valid argument (usually) or an invalid one."""
    if draw(st.integers(0, 11)) == 0:
        others = [d for d in OTHER_DTYPES if np.dtype(d) != dtype]
        kind = draw(st.sampled_from(INVALID_KINDS + ["dtype " + d for d in others]))
        return invalid_arg(kind, dtype)
    kinds = VALID_KINDS + ["dtype " + d for d in EQUIVALENT[dtype]]
    return valid_arg(draw(st.sampled_from(kinds)), values, dtype)


# --------------------------------------------------------------------------
# `method` of every kind: (object passed, plain text it stands for or None,
# expected exception type or None)


def _surrogate(text):
    return text[:2] + "\udcff" + text[2:]


@st.composite
def methods(draw):
    name = draw(st.sampled_from(METHOD_NAMES))
    kind = draw(st.sampled_from(["none", "name", "name", "subclass", "np.str_", "wrong", "random",
                                 "surrogate", "surrogate subclass", "bytes", "int", "float",
                                 "list", "object", "np.bytes_"]))
    if kind == "none":
        return None, None, None
    if kind == "name":
        return "".join(list(name)), name, None
    if kind == "subclass":
        return Method(name), name, None
    if kind == "np.str_":
        return np.str_(name), name, None
    if kind == "wrong":
        wrong = draw(st.sampled_from([name.upper(), name.capitalize(), " " + name, name + " ",
                                      name[:-1], name + "\0", name + name[-1], "", "None",
                                      "ﬀill", name.replace("e", "\u0435")]))
        if wrong in METHOD_NAMES:  # "ffill" has no "e" to replace
            return wrong, wrong, None
        return wrong, wrong, ValueError
    if kind == "random":
        text = draw(st.text(max_size=8))
        if text in METHOD_NAMES:
            return text, text, None
        if any(0xD800 <= ord(c) <= 0xDFFF for c in text):
            return text, None, UnicodeEncodeError
        return text, text, ValueError
    if kind == "surrogate":
        return _surrogate(name), None, UnicodeEncodeError
    if kind == "surrogate subclass":
        return Method(_surrogate(name)), None, UnicodeEncodeError
    value = {"bytes": name.encode(), "int": 1, "float": 2.5, "list": [name],
             "object": object(), "np.bytes_": np.bytes_(name.encode())}[kind]
    return value, None, TypeError


# --------------------------------------------------------------------------
# how the arguments are bound: a number of positional ones, then keywords
# in some order (possibly naming a parameter twice, or an unknown name)


class Binding(NamedTuple):
    npos: int                 # arguments passed by position
    keywords: tuple           # keyword names, in the caller's order


@st.composite
def bindings(draw, name):
    params = SIGNATURES[name][0]
    count = len(params)
    if draw(st.integers(0, 4)) > 0:  # usually a valid arrangement
        npos = draw(st.integers(0, count))
        rest = list(params[npos:])
        if count == 4 and "method" in rest and draw(st.booleans()):
            rest.remove("method")
        keywords = draw(st.permutations(rest))
        return Binding(npos, tuple(keywords))
    npos = draw(st.integers(0, count + 2))
    unknown = ["y", "mode", "X", "xp ", "x" if name.startswith("inverse") else "f"]
    keywords = draw(st.lists(st.sampled_from(list(params) + unknown), max_size=5, unique=True))
    return Binding(npos, tuple(keywords))


def binding_error(name, binding):
    """The TypeError message that binding gives, or None."""
    params, _, _ = SIGNATURES[name]
    full = f"{name}()"
    count, required = len(params), 3
    if binding.npos > count:
        if count == required:
            return f"{full} takes {count} positional arguments but {binding.npos} were given"
        return f"{full} takes from {required} to {count} positional arguments but {binding.npos} were given"
    bound = set(range(binding.npos))
    for keyword in binding.keywords:
        if keyword not in params:
            return f"{full} got an unexpected keyword argument '{keyword}'"
        p = params.index(keyword)
        if p in bound:
            return f"{full} got multiple values for argument '{keyword}'"
        bound.add(p)
    missing = [f"'{params[p]}'" for p in range(required) if p not in bound]
    if not missing:
        return None
    if len(missing) == 1:
        names = missing[0]
    elif len(missing) == 2:
        names = " and ".join(missing)
    else:
        names = ", ".join(missing[:-1]) + ", and " + missing[-1]
    word = "argument" if len(missing) == 1 else "arguments"
    return f"{full} missing {len(missing)} required positional {word}: {names}"


def bind(binding, values):
    """(args, kwargs) for the call: `values` holds one value per parameter
    (the positional extras past them are filler)."""
    names = list(values)
    args = [values[names[k]] if k < len(names) else np.zeros(1) for k in range(binding.npos)]
    kwargs = {k: values.get(k, np.zeros(1)) for k in binding.keywords}
    return args, kwargs


# --------------------------------------------------------------------------
# outcomes and snapshots


class Outcome(NamedTuple):
    kind: str        # "result" or the exception's qualified class name
    detail: Any      # (dtype, bytes) of a result, or the exception's args


def outcome(call: Callable[[], Any]) -> Outcome:
    try:
        result = call()
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        cls = type(exc)
        return Outcome(f"{cls.__module__}.{cls.__qualname__}", exc.args)
    assert type(result) is np.ndarray, type(result)
    assert result.ndim == 1 and result.flags.writeable and result.flags.c_contiguous
    return Outcome("result", (result.dtype.str, result.shape, result.tobytes()))


def snapshot(obj):
    """What must not change about an argument."""
    if isinstance(obj, np.ndarray):
        flags = obj.flags
        return ("array", type(obj), obj.dtype.str, obj.shape, obj.strides,
                obj.__array_interface__["data"], flags.writeable, flags.c_contiguous,
                flags.f_contiguous, flags.aligned, flags.owndata, np.ndarray.tobytes(obj),
                getattr(obj, "tag", None),
                None if not isinstance(obj, np.ma.MaskedArray) else obj.mask.tobytes())
    if isinstance(obj, (bytearray, memoryview)):
        return ("buffer", bytes(obj))
    if isinstance(obj, Holder):
        return ("holder", snapshot(obj.data))
    if isinstance(obj, (list, tuple)):
        return ("sequence", type(obj), [snapshot(v) for v in obj])
    if isinstance(obj, str):
        return ("str", type(obj), str.__add__(obj, ""))
    return ("other", type(obj), repr(obj) if not isinstance(obj, float) else obj.hex())


def conversion_error(pname, value):
    return f"argument '{pname}': '{type(value).__qualname__}' object cannot be converted to '{ARRAY_TARGET}'"


# --------------------------------------------------------------------------
# the property


@st.composite
def calls(draw, name):
    params, types, _ = SIGNATURES[name]
    queries, xp, fp = draw(tables(name))
    contents = {params[0]: queries, "xp": xp, "fp": fp}
    args = {p: draw(array_args(contents[p], t)) for p, t in zip(params[:3], types)}
    # one array passed for two parameters of the same element type
    share = draw(st.integers(0, 9))
    if share == 0 and name.startswith("forward") and args["xp"].valid:
        args[params[0]] = args["xp"]
    elif share == 0 and name.startswith("inverse") and args["fp"].valid:
        args[params[0]] = args["fp"]
    method = draw(methods()) if len(params) == 4 else (None, None, None)
    return args, method, draw(bindings(name))


@pytest.mark.parametrize("name", NAMES)
@SETTINGS
@given(data=st.data())
def test_random_calls(rust, name, data):
    params, types, result_type = SIGNATURES[name]
    func = getattr(rust, name)
    args, (method, method_text, method_error), binding = data.draw(calls(name))

    values = {p: args[p].value for p in params[:3]}
    if len(params) == 4:
        values["method"] = method
    call_args, call_kwargs = bind(binding, values)
    method_bound = len(params) == 4 and (binding.npos >= 4 or "method" in binding.keywords)
    if not method_bound:  # an unbound method is absent
        method, method_text, method_error = None, None, None

    before = [snapshot(a.value) for a in args.values()] + [snapshot(a.root) for a in args.values()]
    before_method = snapshot(method)
    got = outcome(lambda: func(*call_args, **call_kwargs))

    # the expected outcome, in the order in which the call checks
    message = binding_error(name, binding)
    if message is not None:
        assert got == Outcome("builtins.TypeError", (message,))
    elif not all(args[p].valid for p in params[:3]):
        first = next(p for p in params[:3] if not args[p].valid)
        assert got == Outcome("builtins.TypeError", (conversion_error(first, args[first].value),)), \
            args[first].kind
    elif method_error is TypeError:
        text = f"argument 'method': '{type(method).__qualname__}' object cannot be converted to 'PyString'"
        assert got == Outcome("builtins.TypeError", (text,))
    elif method_error is UnicodeEncodeError:
        assert got.kind == "builtins.UnicodeEncodeError"
        assert got.detail[0] == "utf-8" and got.detail[4] == "surrogates not allowed"
    elif method_error is ValueError:
        assert got == Outcome("builtins.ValueError", (METHOD_ERROR,))
    else:
        plain = [np.array(args[p].value, dtype=t) for p, t in zip(params[:3], types)]
        extra = [method_text] if len(params) == 4 else []
        want = outcome(lambda: func(*plain, *extra))
        assert got == want, [a.kind for a in args.values()]
        if got.kind == "result":
            assert got.detail[0] == result_type.str

    after = [snapshot(a.value) for a in args.values()] + [snapshot(a.root) for a in args.values()]
    assert after == before
    assert snapshot(method) == before_method


@pytest.mark.parametrize("name", NAMES)
@SETTINGS
@given(data=st.data())
def test_layouts_agree(rust, name, data):
    """Valid arguments only, every layout for every parameter: the answer
    never depends on how the elements are laid out in memory."""
    params, types, _ = SIGNATURES[name]
    func = getattr(rust, name)
    queries, xp, fp = data.draw(tables(name))
    contents = [queries, xp, fp]
    args = []
    for values, t in zip(contents, types):
        kind = data.draw(st.sampled_from(VALID_KINDS + ["dtype " + d for d in EQUIVALENT[t]]))
        args.append(valid_arg(kind, values, t))
    method = [data.draw(st.sampled_from([None, *METHOD_NAMES]))] if len(params) == 4 else []
    before = [snapshot(a.value) for a in args] + [snapshot(a.root) for a in args]
    got = outcome(lambda: func(*(a.value for a in args), *method))
    plain = [np.array(a.value, dtype=t) for a, t in zip(args, types)]
    assert got == outcome(lambda: func(*plain, *method)), [a.kind for a in args]
    assert [snapshot(a.value) for a in args] + [snapshot(a.root) for a in args] == before
