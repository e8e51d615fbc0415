"""Argument binding and conversion of the four entry points.

Covers the stored signatures, the TypeError messages of binding, the array
and ``method`` conversions with their messages, and the order in which the
checks of one call are made.
"""

from __future__ import annotations

import ctypes
import inspect
import itertools
import platform
import sys
import types

import numpy as np
import pytest

CPYTHON = platform.python_implementation() == "CPython"

U64, I64, F64 = np.uint64, np.int64, np.float64

FORWARD = ["forward_int", "forward_float"]
INVERSE = ["inverse_int", "inverse_float"]
ALL = FORWARD + INVERSE

#: parameter names and the element types of the three array parameters
SIGNATURES = {
    "forward_int": (("x", "xp", "fp"), (U64, U64, I64)),
    "forward_float": (("x", "xp", "fp"), (U64, U64, F64)),
    "inverse_int": (("f", "xp", "fp", "method"), (I64, U64, I64)),
    "inverse_float": (("f", "xp", "fp", "method"), (F64, U64, F64)),
}
RESULT_DTYPE = {"forward_int": I64, "forward_float": F64,
                "inverse_int": U64, "inverse_float": U64}
#: the answer of ``good_arrays(name)``
GOOD_RESULT = {"forward_int": [2], "forward_float": [2.0],
               "inverse_int": [15], "inverse_float": [15]}

METHOD_ERROR = "method must be either None, 'nearest', 'ffill' or 'bfill'"
LENGTH_ERROR = "xp and fp must have same length"


def good_arrays(name):
    """A query, xp and fp that bind and evaluate: one interpolated answer."""
    _, (tq, tx, tf) = SIGNATURES[name]
    query = [15] if name.startswith("forward") else [2]
    return np.array(query, tq), np.array([10, 20], tx), np.array([1, 3], tf)


def params(name):
    return SIGNATURES[name][0]


def query_name(name):
    return params(name)[0]


def raises_exactly(exc_type, message, func, *args, **kwargs):
    """Call func and check that it raises exactly exc_type with args (message,)."""
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    exc = info.value
    assert type(exc) is exc_type, f"{type(exc).__module__}.{type(exc).__qualname__}: {exc!r}"
    assert exc.args == (message,), exc.args
    return exc


def raises_panic(message, func, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    exc = info.value
    assert type(exc).__name__ == "PanicException", repr(exc)
    assert type(exc).__module__ == "pyo3_runtime"
    assert exc.args == (message,), exc.args
    return exc


def check_good(name, result):
    assert type(result) is np.ndarray
    assert result.dtype == RESULT_DTYPE[name]
    assert result.tolist() == GOOD_RESULT[name]


@pytest.fixture(params=ALL)
def name(request):
    return request.param


@pytest.fixture(params=INVERSE)
def inv(request):
    return request.param


@pytest.fixture(params=FORWARD)
def fwd(request):
    return request.param


# --------------------------------------------------------------------------
# module and function objects


def test_module_all_lists_functions_in_registration_order(rust):
    assert rust.__all__ == ["forward_int", "forward_float", "inverse_int", "inverse_float"]
    assert type(rust.__all__) is list
    for fname in rust.__all__:
        assert callable(getattr(rust, fname))


def test_module_doc_is_empty(rust):
    if CPYTHON:
        assert rust.__doc__ == ""
    else:
        assert rust.__doc__ in ("", None)


def test_function_objects(rust, name):
    func = getattr(rust, name)
    assert func.__name__ == name
    assert func.__module__ == rust.__name__
    assert type(func).__name__ == "builtin_function_or_method"
    if CPYTHON:
        assert isinstance(func, types.BuiltinFunctionType)
        assert func.__qualname__ == name
        assert func.__self__ is rust


@pytest.mark.skipif(not CPYTHON, reason="loads the extension's init symbol through ctypes.PyDLL")
def test_init_returns_the_same_module(rust):
    lib = ctypes.PyDLL(rust.__file__)
    init = lib.PyInit_rust
    init.restype = ctypes.py_object
    init.argtypes = []
    assert init() is rust
    assert init() is rust


TEXT_SIGNATURES = {
    "forward_int": "(x, xp, fp)",
    "forward_float": "(x, xp, fp)",
    "inverse_int": "(f, xp, fp, method=None)",
    "inverse_float": "(f, xp, fp, method=None)",
}


def test_signature(rust, name):
    func = getattr(rust, name)
    try:
        sig = inspect.signature(func)
    except ValueError:
        if CPYTHON:
            raise
        pytest.skip("this interpreter gives no signatures of extension functions")
    assert str(sig) == TEXT_SIGNATURES[name]
    assert tuple(sig.parameters) == params(name)
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        if p.name == "method":
            assert p.default is None
        else:
            assert p.default is inspect.Parameter.empty


def test_text_signature_and_doc(rust, name):
    func = getattr(rust, name)
    if not CPYTHON and not hasattr(func, "__text_signature__"):
        pytest.skip("this interpreter does not expose __text_signature__")
    assert func.__text_signature__ == TEXT_SIGNATURES[name]
    # the stored doc string is the signature alone: no text is left after it
    assert func.__doc__ in (None, "")


# --------------------------------------------------------------------------
# binding


@pytest.mark.parametrize("extra", [1, 2, 5])
def test_too_many_positional(rust, name, extra):
    func = getattr(rust, name)
    n = len(params(name)) + extra
    args = (*good_arrays(name), *([None] * (n - 3)))
    if name.startswith("forward"):
        msg = f"{name}() takes 3 positional arguments but {n} were given"
    else:
        msg = f"{name}() takes from 3 to 4 positional arguments but {n} were given"
    raises_exactly(TypeError, msg, func, *args)


def test_too_many_positional_comes_first(rust, name):
    func = getattr(rust, name)
    n = len(params(name)) + 1
    if name.startswith("forward"):
        msg = f"{name}() takes 3 positional arguments but {n} were given"
    else:
        msg = f"{name}() takes from 3 to 4 positional arguments but {n} were given"
    # keyword problems, missing nothing, and unconvertible values: the count wins
    bad = [[1]] * n
    raises_exactly(TypeError, msg, func, *bad)
    raises_exactly(TypeError, msg, func, *bad, y=1)
    raises_exactly(TypeError, msg, func, *bad, xp=1)


UNEXPECTED = {
    "forward_int": ["y", "X", "x ", "method", "f", "é", "xp_", "_fp"],
    "inverse_int": ["y", "F", "f ", "x", "mode", "Method", "é", "methods"],
}
UNEXPECTED["forward_float"] = UNEXPECTED["forward_int"]
UNEXPECTED["inverse_float"] = UNEXPECTED["inverse_int"]


@pytest.mark.parametrize("index", range(8))
def test_unexpected_keyword(rust, name, index):
    func = getattr(rust, name)
    keyword = UNEXPECTED[name][index]
    msg = f"{name}() got an unexpected keyword argument '{keyword}'"
    raises_exactly(TypeError, msg, func, *good_arrays(name), **{keyword: 1})
    # also with nothing else bound
    raises_exactly(TypeError, msg, func, **{keyword: 1})


def test_keyword_names_compared_by_value(rust, name):
    """Keyword names built at run time (not interned) still bind."""
    func = getattr(rust, name)
    q, xp, fp = good_arrays(name)
    names = ["".join(list(p)) for p in params(name)[:3]]
    check_good(name, func(**{names[0]: q, names[1]: xp, names[2]: fp}))


def test_keyword_name_str_subclass_binds(rust, name):
    class Name(str):
        pass

    func = getattr(rust, name)
    q, xp, fp = good_arrays(name)
    kwargs = {Name(p): a for p, a in zip(params(name), (q, xp, fp))}
    check_good(name, func(**kwargs))


@pytest.mark.parametrize("position", [0, 1, 2, 3])
def test_multiple_values_position_and_keyword(rust, name, position):
    func = getattr(rust, name)
    pnames = params(name)
    if position >= len(pnames):
        pytest.skip("forward functions have three parameters")
    args = list(good_arrays(name)) + [None]
    positional = args[: position + 1]
    msg = f"{name}() got multiple values for argument '{pnames[position]}'"
    raises_exactly(TypeError, msg, func, *positional, **{pnames[position]: args[position]})


def test_keywords_checked_in_callers_order(rust, name):
    func = getattr(rust, name)
    q, xp, fp = good_arrays(name)
    first = query_name(name)
    raises_exactly(TypeError, f"{name}() got an unexpected keyword argument 'y'",
                   func, q, y=1, **{first: q})
    raises_exactly(TypeError, f"{name}() got multiple values for argument '{first}'",
                   func, q, **{first: q}, y=1)
    # keyword errors come before missing arguments
    raises_exactly(TypeError, f"{name}() got an unexpected keyword argument 'zz'",
                   func, zz=1)
    raises_exactly(TypeError, f"{name}() got multiple values for argument '{first}'",
                   func, q, **{first: q})


def _vectorcall(func, args, nargs, kwnames):
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                     ctypes.c_size_t, ctypes.py_object]
    vector = (ctypes.py_object * len(args))(*args)
    return call(func, vector, nargs, kwnames)


@pytest.mark.skipif(not CPYTHON or not hasattr(ctypes, "pythonapi")
                    or not hasattr(ctypes.pythonapi, "PyObject_Vectorcall"),
                    reason="needs PyObject_Vectorcall through ctypes.pythonapi")
def test_same_keyword_twice(rust, name):
    """A call whose keyword names repeat one (a Python call expression cannot
    produce it; the C calling convention can)."""
    func = getattr(rust, name)
    q, xp, fp = good_arrays(name)
    # sanity: the same route binds a normal call
    check_good(name, _vectorcall(func, [q, xp, fp], 1, ("xp", "fp")))
    raises_exactly(TypeError, f"{name}() got multiple values for argument 'xp'",
                   _vectorcall, func, [q, xp, xp], 1, ("xp", "xp"))
    raises_exactly(TypeError, f"{name}() got multiple values for argument 'fp'",
                   _vectorcall, func, [q, fp, xp, fp], 1, ("fp", "xp", "fp"))
    if name in INVERSE:
        raises_exactly(TypeError, f"{name}() got multiple values for argument 'method'",
                       _vectorcall, func, [q, xp, fp, None, "nearest"], 3,
                       ("method", "method"))


# (names bound, by keyword) -> the tail of the message, with {q} for the query
MISSING = [
    ((), "3 required positional arguments: '{q}', 'xp', and 'fp'"),
    (("q",), "2 required positional arguments: 'xp' and 'fp'"),
    (("xp",), "2 required positional arguments: '{q}' and 'fp'"),
    (("fp",), "2 required positional arguments: '{q}' and 'xp'"),
    (("q", "xp"), "1 required positional argument: 'fp'"),
    (("q", "fp"), "1 required positional argument: 'xp'"),
    (("xp", "fp"), "1 required positional argument: '{q}'"),
]


@pytest.mark.parametrize("bound,tail", MISSING)
@pytest.mark.parametrize("with_method", [False, True])
def test_missing_arguments(rust, name, bound, tail, with_method):
    if with_method and name in FORWARD:
        pytest.skip("forward functions have no method")
    func = getattr(rust, name)
    q, xp, fp = good_arrays(name)
    qn = query_name(name)
    values = {"q": (qn, q), "xp": ("xp", xp), "fp": ("fp", fp)}
    kwargs = dict(values[b] for b in bound)
    if with_method:
        kwargs["method"] = "nearest"
    msg = f"{name}() missing " + tail.format(q=qn)
    raises_exactly(TypeError, msg, func, **kwargs)


def test_missing_arguments_by_position(rust, name):
    func = getattr(rust, name)
    q, xp, fp = good_arrays(name)
    qn = query_name(name)
    raises_exactly(TypeError, f"{name}() missing 3 required positional arguments: "
                   f"'{qn}', 'xp', and 'fp'", func)
    raises_exactly(TypeError, f"{name}() missing 2 required positional arguments: "
                   "'xp' and 'fp'", func, q)
    raises_exactly(TypeError, f"{name}() missing 1 required positional argument: 'fp'",
                   func, q, xp)
    # binding comes before conversion: unconvertible values still report missing
    raises_exactly(TypeError, f"{name}() missing 1 required positional argument: 'fp'",
                   func, [1], "xp")


def test_all_keywords_in_any_order(rust, name):
    func = getattr(rust, name)
    values = dict(zip(params(name), good_arrays(name)))
    for order in itertools.permutations(values):
        check_good(name, func(**{p: values[p] for p in order}))
    if name in INVERSE:
        values["method"] = None
        for order in itertools.permutations(values):
            check_good(name, func(**{p: values[p] for p in order}))


def test_mixed_positional_and_keyword(rust, name):
    func = getattr(rust, name)
    q, xp, fp = good_arrays(name)
    qn = query_name(name)
    check_good(name, func(q, xp, fp))
    check_good(name, func(q, xp, fp=fp))
    check_good(name, func(q, fp=fp, xp=xp))
    check_good(name, func(fp=fp, **{qn: q}, xp=xp))


def test_method_by_position_and_keyword(rust, inv):
    func = getattr(rust, inv)
    q, xp, fp = good_arrays(inv)
    check_good(inv, func(q, xp, fp, None))
    check_good(inv, func(q, xp, fp, method=None))
    check_good(inv, func(q, xp, fp, "nearest"))
    check_good(inv, func(method="bfill", fp=fp, xp=xp, f=q))


# --------------------------------------------------------------------------
# array conversion


class _Outer:
    class Grid(np.ndarray):
        pass


class _ArrayLike:
    """Has __array__, but nothing is converted."""

    def __init__(self, data):
        self.data = data

    def __array__(self, dtype=None, copy=None):
        return self.data


def _swapped(t):
    return np.array([1, 2], np.dtype(t).newbyteorder())


# (id, factory(element type) -> object, expected type name or None for the
# object's own __qualname__)
NOT_ARRAYS = [
    ("list", lambda t: [1, 2], "list"),
    ("tuple", lambda t: (1, 2), "tuple"),
    ("int", lambda t: 1, "int"),
    ("float", lambda t: 1.0, "float"),
    ("none", lambda t: None, "NoneType"),
    ("str", lambda t: "12", "str"),
    ("bytes", lambda t: b"\0" * 16, "bytes"),
    ("memoryview", lambda t: memoryview(np.array([1, 2], t)), "memoryview"),
    ("scalar", lambda t: t(1), None),
    ("array-like", lambda t: _ArrayLike(np.array([1, 2], t)), "_ArrayLike"),
    ("0-d", lambda t: np.array(1, t), "ndarray"),
    ("2-d", lambda t: np.ones((1, 2), t), "ndarray"),
    ("2-d column", lambda t: np.ones((2, 1), t), "ndarray"),
    ("3-d", lambda t: np.ones((1, 1, 2), t), "ndarray"),
    ("2-d subclass", lambda t: np.ones((2, 2), t).view(_Outer.Grid), "_Outer.Grid"),
    ("byte-swapped", _swapped, "ndarray"),
    ("byte-swapped empty", lambda t: np.array([], np.dtype(t).newbyteorder()), "ndarray"),
]

OTHER_DTYPES = ["u8", "i8", "f8", "u1", "u2", "u4", "i1", "i2", "i4", "f2", "f4", "g",
                "c8", "c16", "?", "M8[s]", "m8[s]", "V8", "S8", "U2", "O"]


def _bad_objects():
    cases = [pytest.param(f, n, id=i) for i, f, n in NOT_ARRAYS]
    for code in OTHER_DTYPES:
        cases.append(pytest.param(
            lambda t, code=code: None if np.dtype(code) == np.dtype(t)
            else np.zeros(2, np.dtype(code)),
            "ndarray", id=f"dtype {code}"))
    return cases


@pytest.mark.parametrize("factory,type_name", _bad_objects())
@pytest.mark.parametrize("position", [0, 1, 2])
def test_array_conversion_error(rust, name, position, factory, type_name):
    func = getattr(rust, name)
    pname = params(name)[position]
    args = list(good_arrays(name))
    bad = factory(SIGNATURES[name][1][position])
    if bad is None:
        pytest.skip("this dtype is the required one")
    args[position] = bad
    if type_name is None:
        type_name = type(bad).__qualname__
    msg = f"argument '{pname}': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    exc = raises_exactly(TypeError, msg, func, *args)
    assert exc.__cause__ is None
    # the same by keyword
    raises_exactly(TypeError, msg, func, **dict(zip(params(name), args)))


WRONG_ELEMENT = {
    # the element type that the tests have mixed up most easily
    "forward_int": (I64, I64, U64),
    "forward_float": (F64, I64, I64),
    "inverse_int": (U64, I64, U64),
    "inverse_float": (I64, F64, U64),
}


@pytest.mark.parametrize("position", [0, 1, 2])
def test_element_type_of_another_parameter(rust, name, position):
    """Signed for unsigned, unsigned for signed, integer for float, ..."""
    func = getattr(rust, name)
    args = list(good_arrays(name))
    args[position] = args[position].astype(WRONG_ELEMENT[name][position])
    pname = params(name)[position]
    raises_exactly(TypeError, f"argument '{pname}': 'ndarray' object cannot be "
                   "converted to 'PyArray<T, D>'", func, *args)


NATIVE = "<" if sys.byteorder == "little" else ">"

EQUIVALENT_SPELLINGS = {
    U64: ["Q", "L", "u8", "=u8", NATIVE + "u8", np.uintp, np.ulonglong],
    I64: ["q", "l", "i8", "=i8", NATIVE + "i8", np.intp, np.longlong],
    F64: ["d", "f8", "=f8", NATIVE + "f8", float, np.double],
}


@pytest.mark.parametrize("position", [0, 1, 2])
def test_equivalent_dtypes_accepted(rust, name, position):
    func = getattr(rust, name)
    required = SIGNATURES[name][1][position]
    for spelling in EQUIVALENT_SPELLINGS[required]:
        dtype = np.dtype(spelling)
        if dtype.itemsize != 8:
            continue
        args = list(good_arrays(name))
        args[position] = args[position].astype(dtype)
        check_good(name, func(*args))


def test_element_type_checked_on_every_call(rust, name):
    """An equivalent element type, once accepted, lets no other one through:
    the same spelling with the bytes swapped is refused right after."""
    func = getattr(rust, name)
    good = good_arrays(name)
    pname = params(name)[0]
    for spelling in EQUIVALENT_SPELLINGS[SIGNATURES[name][1][0]]:
        dtype = np.dtype(spelling)
        if dtype.itemsize != 8:
            continue
        check_good(name, func(good[0].astype(dtype), *good[1:]))
        swapped = good[0].astype(dtype.newbyteorder())
        raises_exactly(TypeError, f"argument '{pname}': 'ndarray' object cannot be "
                       "converted to 'PyArray<T, D>'", func, swapped, *good[1:])


def test_conversion_order(rust, name):
    func = getattr(rust, name)
    q, xp, fp = good_arrays(name)
    pn = params(name)

    def msg(p, t="list"):
        return f"argument '{p}': '{t}' object cannot be converted to 'PyArray<T, D>'"

    raises_exactly(TypeError, msg(pn[0]), func, [1], [2], [3])
    raises_exactly(TypeError, msg(pn[0], "int"), func, 1, [2], (3,))
    raises_exactly(TypeError, msg("xp"), func, q, [2], (3,))
    raises_exactly(TypeError, msg("fp", "tuple"), func, q, xp, (3,))
    # parameter order, not the caller's keyword order
    raises_exactly(TypeError, msg(pn[0], "int"), func, fp=(3,), xp=[2], **{pn[0]: 1})
    raises_exactly(TypeError, msg("xp", "tuple"), func, fp=[3], xp=(2,), **{pn[0]: q})
    # a valid array of the wrong element type counts the same as a list
    raises_exactly(TypeError, msg("xp", "ndarray"), func, q, fp, xp.astype(F64))


def test_conversion_before_length_mismatch(rust, name):
    func = getattr(rust, name)
    q, xp, fp = good_arrays(name)
    long_xp = np.array([1, 2, 3], U64)
    raises_exactly(TypeError, f"argument '{query_name(name)}': 'list' object cannot be "
                   "converted to 'PyArray<T, D>'", func, [1], long_xp, fp)
    raises_exactly(TypeError, "argument 'fp': 'ndarray' object cannot be converted to "
                   "'PyArray<T, D>'", func, q[:0], long_xp, fp.reshape(1, 2))


# --------------------------------------------------------------------------
# method


class _Bytes(bytes):
    pass


BAD_METHOD_TYPES = [
    (1, "int"),
    (0, "int"),
    (10 ** 30, "int"),
    (True, "bool"),
    (1.5, "float"),
    (b"nearest", "bytes"),
    (b"ffill", "bytes"),
    (bytearray(b"bfill"), "bytearray"),
    (_Bytes(b"nearest"), "_Bytes"),
    (["nearest"], "list"),
    (("nearest",), "tuple"),
    (Ellipsis, "ellipsis"),
    (np.bytes_(b"nearest"), None),
    (np.array("nearest"), "ndarray"),
]


@pytest.mark.parametrize("method,type_name", BAD_METHOD_TYPES,
                         ids=[repr(m) for m, _ in BAD_METHOD_TYPES])
def test_method_type_error(rust, inv, method, type_name):
    func = getattr(rust, inv)
    if type_name is None:
        type_name = type(method).__qualname__
    msg = f"argument 'method': '{type_name}' object cannot be converted to 'PyString'"
    raises_exactly(TypeError, msg, func, *good_arrays(inv), method)
    raises_exactly(TypeError, msg, func, *good_arrays(inv), method=method)
    q, xp, fp = good_arrays(inv)
    raises_exactly(TypeError, msg, func, q[:0], xp, fp, method)


class _PlainStr(str):
    pass


class _EqualsAnything(str):
    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False

    __hash__ = str.__hash__


class _Disguised(str):
    def __str__(self):
        return "bogus"

    def encode(self, *args, **kwargs):
        return b"bogus"


def test_method_str_subclasses_use_their_text(rust, inv):
    func = getattr(rust, inv)
    _, (tq, tx, tf) = SIGNATURES[inv]
    xp, fp = np.array([0, 10], tx), np.array([0, 3], tf)
    f = np.array([1], tq)  # coordinate 10/3
    expected = {"nearest": 3, "ffill": 3, "bfill": 4}
    for text, answer in expected.items():
        for cls in (_PlainStr, _EqualsAnything, _Disguised, np.str_):
            assert func(f, xp, fp, cls(text)).tolist() == [answer], (cls, text)
    for cls in (_PlainStr, _EqualsAnything, _Disguised, np.str_):
        raises_exactly(ValueError, METHOD_ERROR, func, f, xp, fp, cls("bogus"))


def test_method_built_at_run_time(rust, inv):
    func = getattr(rust, inv)
    _, (tq, tx, tf) = SIGNATURES[inv]
    xp, fp = np.array([0, 10], tx), np.array([0, 3], tf)
    f = np.array([1], tq)
    assert func(f, xp, fp, "".join(["near", "est"])).tolist() == [3]
    assert func(f, xp, fp, "f" + "fill"[:]).tolist() == [3]
    assert func(f, xp, fp, "".join(["b", "f", "i", "l", "l"])).tolist() == [4]
    raises_exactly(KeyError, "f not found", func, f, xp, fp, None)
    raises_exactly(KeyError, "f not found", func, f, xp, fp)


SURROGATES = ["\ud800", "near\udcffst", "nearest\udfff", "ffil\ud83d"]


@pytest.mark.parametrize("method", SURROGATES, ids=[ascii(s) for s in SURROGATES])
def test_method_without_utf8_form(rust, inv, method):
    func = getattr(rust, inv)
    with pytest.raises(UnicodeEncodeError) as info:
        func(*good_arrays(inv), method)
    exc = info.value
    assert type(exc) is UnicodeEncodeError
    assert exc.encoding == "utf-8"
    if CPYTHON:
        with pytest.raises(UnicodeEncodeError) as reference:
            method.encode("utf-8")
        assert exc.args == reference.value.args


INVALID_METHODS = [
    "", "Nearest", "NEAREST", " nearest", "nearest ", "near", "nearst", "nearesT",
    "nearest\0", "neares\0", "ne\0rest", "Ffill", "ffil", "ffilll", "ffil\0", "ffilL",
    "fill", "Bfill", "bfil", "bfilL", "bfill ", "pad", "backfill", "None", "none",
    "linear", "ffiłl", "ﬀill", "nearest\n", "\0",
]


@pytest.mark.parametrize("method", INVALID_METHODS, ids=[ascii(m) for m in INVALID_METHODS])
def test_method_value_error(rust, inv, method):
    func = getattr(rust, inv)
    raises_exactly(ValueError, METHOD_ERROR, func, *good_arrays(inv), method)
    raises_exactly(ValueError, METHOD_ERROR, func, *good_arrays(inv), method=method)


# --------------------------------------------------------------------------
# order of the checks of one call


def test_order_binding_before_everything(rust, inv):
    func = getattr(rust, inv)
    q, xp, fp = good_arrays(inv)
    raises_exactly(TypeError, f"{inv}() takes from 3 to 4 positional arguments but 5 "
                   "were given", func, [1], [2], [3], 1, "x")
    raises_exactly(TypeError, f"{inv}() got an unexpected keyword argument 'mode'",
                   func, [1], [2], [3], mode="nearest")
    raises_exactly(TypeError, f"{inv}() missing 1 required positional argument: 'fp'",
                   func, [1], [2], method=1)


def test_order_arrays_before_method(rust, inv):
    func = getattr(rust, inv)
    q, xp, fp = good_arrays(inv)
    qn = query_name(inv)
    for method in (1, b"nearest", "\ud800", "bogus"):
        raises_exactly(TypeError, f"argument '{qn}': 'list' object cannot be converted "
                       "to 'PyArray<T, D>'", func, [1], xp, fp, method)
        raises_exactly(TypeError, "argument 'fp': 'ndarray' object cannot be converted "
                       "to 'PyArray<T, D>'", func, q, xp, fp.astype(U64), method)


def test_order_method_before_length_mismatch(rust, inv):
    func = getattr(rust, inv)
    q, xp, fp = good_arrays(inv)
    long_xp = np.array([1, 2, 3], U64)
    for f in (q, q[:0]):
        raises_exactly(TypeError, "argument 'method': 'int' object cannot be converted "
                       "to 'PyString'", func, f, long_xp, fp, 1)
        raises_exactly(TypeError, "argument 'method': 'bytes' object cannot be converted "
                       "to 'PyString'", func, f, long_xp, fp, method=b"ffill")
        with pytest.raises(UnicodeEncodeError):
            func(f, long_xp, fp, "\udc80")
        raises_exactly(ValueError, METHOD_ERROR, func, f, long_xp, fp, "Nearest")
        raises_exactly(ValueError, METHOD_ERROR, func, f, long_xp, fp, method="")
        raises_panic(LENGTH_ERROR, func, f, long_xp, fp, "nearest")
        raises_panic(LENGTH_ERROR, func, f, long_xp, fp)


def test_order_method_value_with_empty_query(rust, inv):
    func = getattr(rust, inv)
    q, xp, fp = good_arrays(inv)
    unsorted = fp[::-1].copy()
    raises_exactly(ValueError, METHOD_ERROR, func, q[:0], xp, fp, "bogus")
    raises_exactly(ValueError, METHOD_ERROR, func, q[:0], xp[:0], fp[:0], "bogus")
    raises_exactly(ValueError, METHOD_ERROR, func, q[:0], xp, unsorted, "bogus")
    for method in (None, "nearest", "ffill", "bfill"):
        result = func(q[:0], xp, unsorted, method)
        assert result.dtype == U64 and result.shape == (0,)


def test_order_method_before_query_errors(rust, inv):
    func = getattr(rust, inv)
    q, xp, fp = good_arrays(inv)
    below = np.array([-100], q.dtype)
    raises_exactly(ValueError, METHOD_ERROR, func, below, xp, fp, "near")
    raises_exactly(ValueError, METHOD_ERROR, func, q, xp, fp[::-1].copy(), "near")
    raises_exactly(ValueError, METHOD_ERROR, func, q, xp[:0], fp[:0], "near")
    raises_exactly(TypeError, "argument 'method': 'int' object cannot be converted to "
                   "'PyString'", func, below, xp, fp, 2)
    if inv == "inverse_float":
        raises_exactly(ValueError, METHOD_ERROR, func, np.array([np.nan]), xp, fp, "near")


def test_order_length_mismatch_before_query_errors(rust, name):
    func = getattr(rust, name)
    q, xp, fp = good_arrays(name)
    far = np.array([10 ** 6], q.dtype)
    for bad_xp, bad_fp in ((np.array([20, 10, 30], U64), fp),   # unsorted xp, longer
                           (xp, fp[:1]),
                           (xp[:0], fp[:1]),
                           (xp[:1], fp[:0])):
        raises_panic(LENGTH_ERROR, func, far, bad_xp, bad_fp)
        raises_panic(LENGTH_ERROR, func, q, bad_xp, bad_fp)
        raises_panic(LENGTH_ERROR, func, q[:0], bad_xp, bad_fp)
    if name == "inverse_float":
        raises_panic(LENGTH_ERROR, func, np.array([np.nan]), xp, fp[:1])
        raises_panic(LENGTH_ERROR, func, q, xp, np.array([3.0, 1.0, 2.0]), "nearest")
