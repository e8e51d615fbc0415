"""The call frame shared by the four entry points.

Result arrays and their owners, empty batches, the length check, the
exception classes and messages of each direction, all-or-nothing batches,
array views, the table rules of the worked examples, reference counts and
oversized batches.
"""

from __future__ import annotations

import gc
import platform
import sys

import numpy as np
import pytest

CPYTHON = platform.python_implementation() == "CPython"

U64, I64, F64 = np.uint64, np.int64, np.float64
NAN, INF = float("nan"), float("inf")
TOP = 2 ** 64 - 1

FORWARD = ["forward_int", "forward_float"]
INVERSE = ["inverse_int", "inverse_float"]
ALL = FORWARD + INVERSE

#: element types of (query, xp, fp, result)
TYPES = {
    "forward_int": (U64, U64, I64, I64),
    "forward_float": (U64, U64, F64, F64),
    "inverse_int": (I64, U64, I64, U64),
    "inverse_float": (F64, U64, F64, U64),
}
METHODS = [None, "nearest", "ffill", "bfill"]

LENGTH_ERROR = "xp and fp must have same length"
NAN_ERROR = "nan or inf encountered"
FINITE_ERROR = "assertion failed: value.is_finite()"


def raises_exactly(exc_type, message, func, *args, **kwargs):
    """Call func and check that it raises exactly exc_type with args (message,)."""
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    exc = info.value
    assert type(exc) is exc_type, f"{type(exc).__module__}.{type(exc).__qualname__}: {exc!r}"
    assert exc.args == (message,), exc.args
    return exc


def is_panic(exc):
    return (type(exc).__name__ == "PanicException"
            and type(exc).__module__ == "pyo3_runtime")


def raises_panic(message, func, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    exc = info.value
    assert is_panic(exc), f"{type(exc).__module__}.{type(exc).__qualname__}: {exc!r}"
    assert exc.args == (message,), exc.args
    return exc


def arrays(name, query, xp, fp):
    tq, tx, tf, _ = TYPES[name]
    return np.array(query, tq), np.array(xp, tx), np.array(fp, tf)


#: one table and batch per function, all answers exact:
#: (query, xp, fp, expected result)
TABLES = {
    "forward_int": ([10, 15, 25, 30, 20], [10, 20, 30], [100, 200, 400],
                    [100, 150, 300, 400, 200]),
    "forward_float": ([10, 15, 25, 30, 20], [10, 20, 30], [100.0, 200.0, 400.0],
                      [100.0, 150.0, 300.0, 400.0, 200.0]),
    "inverse_int": ([0, 5, 10, 15, 20], [100, 200, 300], [0, 10, 20],
                    [100, 150, 200, 250, 300]),
    "inverse_float": ([0.0, 5.0, 10.0, 15.0, 20.0], [100, 200, 300], [0.0, 10.0, 20.0],
                      [100, 150, 200, 250, 300]),
}


def table(name):
    query, xp, fp, expected = TABLES[name]
    return (*arrays(name, query, xp, fp), expected)


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
# result arrays


def check_result(name, result, n):
    assert type(result) is np.ndarray
    assert result.dtype == TYPES[name][3]
    assert result.dtype.isnative
    assert result.ndim == 1
    assert result.shape == (n,)
    assert result.strides == ((8,) if n else (0,))
    assert result.flags.writeable
    assert result.flags.c_contiguous and result.flags.aligned
    assert not result.flags.owndata
    assert type(result.base).__name__ == "PySliceContainer"


@pytest.mark.parametrize("n", [0, 1, 5])
def test_result_array(rust, name, n):
    q, xp, fp, expected = table(name)
    result = getattr(rust, name)(q[:n], xp, fp)
    check_result(name, result, n)
    assert result.tolist() == expected[:n]


def test_result_is_plain_ndarray_for_subclass_inputs(rust, name):
    class Sub(np.ndarray):
        pass

    q, xp, fp, expected = table(name)
    result = getattr(rust, name)(q.view(Sub), xp.view(Sub), fp.view(Sub))
    check_result(name, result, len(expected))
    assert result.tolist() == expected


def test_results_are_independent_and_writeable(rust, name):
    func = getattr(rust, name)
    q, xp, fp, expected = table(name)
    first = func(q, xp, fp)
    second = func(q, xp, fp)
    assert first.base is not second.base
    first[:] = 0
    assert second.tolist() == expected
    assert first.tolist() == [0] * len(expected)
    assert func(q, xp, fp).tolist() == expected


def test_result_buffer_lives_as_long_as_a_view(rust, name):
    q, xp, fp, expected = table(name)
    view = getattr(rust, name)(q, xp, fp)[1:]
    gc.collect()
    junk = [np.full(len(expected), 7, np.int64) for _ in range(50)]
    assert view.tolist() == expected[1:]
    del junk


@pytest.mark.parametrize("kind", ["unsorted", "empty", "single nan", "nan"])
def test_empty_queries_give_empty_results(rust, name, kind):
    func = getattr(rust, name)
    tq, tx, tf, _ = TYPES[name]
    xp, fp = {
        "unsorted": ([30, 10, 20], [3, 1, 2]),
        "empty": ([], []),
        "single nan": ([5], [NAN] if tf is F64 else [0]),
        "nan": ([10, 10, 5], [NAN, 1.0, NAN] if tf is F64 else [0, 0, 0]),
    }[kind]
    q = np.array([], tq)
    xp, fp = np.array(xp, tx), np.array(fp, tf)
    for extra in ([None, "nearest", "ffill", "bfill"] if name in INVERSE else [None]):
        args = (q, xp, fp) if extra is None else (q, xp, fp, extra)
        result = func(*args)
        check_result(name, result, 0)


@pytest.mark.parametrize("lengths", [(3, 2), (2, 3), (0, 1), (1, 0), (5, 4)])
@pytest.mark.parametrize("n", [0, 1, 3])
def test_length_mismatch(rust, name, lengths, n):
    func = getattr(rust, name)
    tq, tx, tf, _ = TYPES[name]
    q = np.zeros(n, tq)
    xp = np.arange(lengths[0], dtype=tx)
    fp = np.arange(lengths[1]).astype(tf)
    raises_panic(LENGTH_ERROR, func, q, xp, fp)
    if name in INVERSE:
        for method in METHODS:
            raises_panic(LENGTH_ERROR, func, q, xp, fp, method)


# --------------------------------------------------------------------------
# PanicException


def _panic(func, *args):
    try:
        func(*args)
    except BaseException as exc:  # noqa: B036
        if is_panic(exc):
            return exc
        raise
    raise AssertionError("no exception")


def test_panic_exception_class(rust, name):
    func = getattr(rust, name)
    tq, tx, tf, _ = TYPES[name]
    exc = _panic(func, np.array([], tq), np.array([1, 2], tx), np.array([1], tf))
    cls = type(exc)
    assert f"{cls.__module__}.{cls.__qualname__}" == "pyo3_runtime.PanicException"
    assert cls.__name__ == "PanicException"
    assert issubclass(cls, BaseException)
    assert not issubclass(cls, Exception)
    assert cls.__bases__ == (BaseException,)
    assert isinstance(cls.__doc__, str) and cls.__doc__.strip()
    assert cls.__doc__ != BaseException.__doc__
    assert exc.args == (LENGTH_ERROR,)
    assert str(exc) == LENGTH_ERROR


def test_panic_exception_is_one_class(rust):
    classes = set()
    for name in ALL:
        tq, tx, tf, _ = TYPES[name]
        for _ in range(3):
            exc = _panic(getattr(rust, name), np.array([1], tq), np.array([1, 2], tx),
                         np.array([1], tf))
            classes.add(type(exc))
    exc = _panic(rust.inverse_float, np.array([NAN]), np.array([1], U64), np.array([1.0]))
    assert exc.args == (NAN_ERROR,)
    classes.add(type(exc))
    exc = _panic(rust.forward_float, np.array([5], U64), np.array([0, 10], U64),
                 np.array([INF, 1.0]))
    assert exc.args == (FINITE_ERROR,)
    classes.add(type(exc))
    assert len(classes) == 1


def test_panic_passes_through_except_exception(rust, name):
    func = getattr(rust, name)
    tq, tx, tf, _ = TYPES[name]
    args = (np.array([1], tq), np.array([1, 2], tx), np.array([1], tf))
    caught = []

    def call():
        try:
            func(*args)
        except Exception:
            caught.append("Exception")

    with pytest.raises(BaseException) as info:
        call()
    assert caught == []
    assert is_panic(info.value)


# --------------------------------------------------------------------------
# error kinds


# (function, query, xp, fp, method, exception type, message)
ERRORS = [
    # forward: outside the table, or the table is empty
    ("forward_int", [9], [10, 20, 30], [1, 2, 3], None, IndexError, "x out of bounds"),
    ("forward_int", [31], [10, 20, 30], [1, 2, 3], None, IndexError, "x out of bounds"),
    ("forward_int", [0], [10, 20, 30], [1, 2, 3], None, IndexError, "x out of bounds"),
    ("forward_int", [TOP], [10, 20, 30], [1, 2, 3], None, IndexError, "x out of bounds"),
    ("forward_int", [6], [7], [3], None, IndexError, "x out of bounds"),
    ("forward_int", [8], [7], [3], None, IndexError, "x out of bounds"),
    ("forward_int", [0], [], [], None, IndexError, "x out of bounds"),
    ("forward_int", [0], [1, 2 ** 63], [0, 1], None, IndexError, "x out of bounds"),
    ("forward_float", [9], [10, 20, 30], [1.0, 2.0, 3.0], None, IndexError, "x out of bounds"),
    ("forward_float", [31], [10, 20, 30], [1.0, 2.0, 3.0], None, IndexError, "x out of bounds"),
    ("forward_float", [0], [], [], None, IndexError, "x out of bounds"),
    ("forward_float", [8], [7], [NAN], None, IndexError, "x out of bounds"),
    # forward: xp not strictly increasing, whatever the query
    ("forward_int", [10], [10, 10, 20], [1, 2, 3], None, ValueError, "xp must be strictly increasing"),
    ("forward_int", [5], [10, 10, 20], [1, 2, 3], None, ValueError, "xp must be strictly increasing"),
    ("forward_int", [15], [10, 10, 20], [1, 2, 3], None, ValueError, "xp must be strictly increasing"),
    ("forward_int", [99], [10, 10, 20], [1, 2, 3], None, ValueError, "xp must be strictly increasing"),
    ("forward_int", [0], [0, 5, 5], [1, 2, 3], None, ValueError, "xp must be strictly increasing"),
    ("forward_int", [3], [3, 3], [1, 2], None, ValueError, "xp must be strictly increasing"),
    ("forward_int", [1], [2 ** 63, 1], [1, 2], None, ValueError, "xp must be strictly increasing"),
    ("forward_int", [2], [1, 3, 2], [1, 2, 3], None, ValueError, "xp must be strictly increasing"),
    ("forward_float", [10], [10, 10, 20], [1.0, 2.0, 3.0], None, ValueError, "xp must be strictly increasing"),
    ("forward_float", [2 ** 63], [2 ** 63, 1], [1.0, 2.0], None, ValueError, "xp must be strictly increasing"),
    # inverse: outside the table without clamping, or the table is empty
    ("inverse_int", [-1], [100, 200, 300], [0, 10, 20], None, KeyError, "f out of bounds"),
    ("inverse_int", [-1], [100, 200, 300], [0, 10, 20], "ffill", KeyError, "f out of bounds"),
    ("inverse_int", [21], [100, 200, 300], [0, 10, 20], None, KeyError, "f out of bounds"),
    ("inverse_int", [21], [100, 200, 300], [0, 10, 20], "bfill", KeyError, "f out of bounds"),
    ("inverse_int", [-2 ** 63], [100, 200, 300], [0, 10, 20], None, KeyError, "f out of bounds"),
    ("inverse_int", [2 ** 63 - 1], [100, 200, 300], [0, 10, 20], "bfill", KeyError, "f out of bounds"),
    ("inverse_int", [3], [7], [4], "ffill", KeyError, "f out of bounds"),
    ("inverse_int", [5], [7], [4], "bfill", KeyError, "f out of bounds"),
    ("inverse_float", [-1.0], [100, 200, 300], [0.0, 10.0, 20.0], None, KeyError, "f out of bounds"),
    ("inverse_float", [21.0], [100, 200, 300], [0.0, 10.0, 20.0], "bfill", KeyError, "f out of bounds"),
    ("inverse_float", [-INF], [10, 20], [0.0, 1.0], "ffill", KeyError, "f out of bounds"),
    ("inverse_float", [INF], [10, 20], [0.0, 1.0], None, KeyError, "f out of bounds"),
    ("inverse_float", [INF], [10, 20], [0.0, 1.0], "bfill", KeyError, "f out of bounds"),
    # inverse: strictly inside a segment, no whole coordinate, no method
    ("inverse_int", [1], [0, 10], [0, 3], None, KeyError, "f not found"),
    ("inverse_int", [2], [0, 10], [0, 3], None, KeyError, "f not found"),
    ("inverse_int", [0], [0, 1], [-2 ** 63, 2 ** 63 - 1], None, KeyError, "f not found"),
    ("inverse_float", [1.0], [0, 10], [0.0, 3.0], None, KeyError, "f not found"),
    ("inverse_float", [0.5], [2 ** 62, 2 ** 62 + 1], [0.0, 1.0], None, KeyError, "f not found"),
    # inverse: fp not strictly increasing, whatever the query and method
    ("inverse_int", [0], [10, 20], [0, 0], None, ValueError, "fp must be strictly increasing"),
    ("inverse_int", [0], [10, 20], [0, 0], "nearest", ValueError, "fp must be strictly increasing"),
    ("inverse_int", [99], [10, 20], [0, 0], "ffill", ValueError, "fp must be strictly increasing"),
    ("inverse_int", [-99], [10, 20], [0, 0], "bfill", ValueError, "fp must be strictly increasing"),
    ("inverse_int", [0], [10, 20], [0, -1], None, ValueError, "fp must be strictly increasing"),
    ("inverse_int", [1], [10, 20, 30], [1, 3, 2], "nearest", ValueError, "fp must be strictly increasing"),
    ("inverse_float", [0.0], [10, 20], [-0.0, 0.0], None, ValueError, "fp must be strictly increasing"),
    ("inverse_float", [0.0], [10, 20], [0.0, -0.0], "nearest", ValueError, "fp must be strictly increasing"),
    ("inverse_float", [0.0], [10, 20], [0.0, NAN], None, ValueError, "fp must be strictly increasing"),
    ("inverse_float", [1.0], [10, 20], [NAN, 1.0], "bfill", ValueError, "fp must be strictly increasing"),
    ("inverse_float", [1.5], [10, 20, 30], [1.0, NAN, 2.0], "nearest", ValueError, "fp must be strictly increasing"),
    ("inverse_float", [NAN], [10, 20], [1.0, 1.0], "nearest", ValueError, "fp must be strictly increasing"),
    ("inverse_float", [INF], [10, 20], [INF, INF], "ffill", ValueError, "fp must be strictly increasing"),
]
for _m in METHODS:
    ERRORS.append(("inverse_int", [0], [], [], _m, KeyError, "f out of bounds"))
    ERRORS.append(("inverse_float", [0.0], [], [], _m, KeyError, "f out of bounds"))
    ERRORS.append(("inverse_float", [NAN], [], [], _m, KeyError, "f out of bounds"))


def _error_id(case):
    func, query, xp, fp, method, exc, _ = case
    return f"{func}-{query}-{xp}-{fp}-{method}-{exc.__name__}"


@pytest.mark.parametrize("case", ERRORS, ids=[_error_id(c) for c in ERRORS])
def test_error_kinds(rust, case):
    name, query, xp, fp, method, exc_type, message = case
    func = getattr(rust, name)
    args = arrays(name, query, xp, fp)
    if method is not None:
        args = (*args, method)
    exc = raises_exactly(exc_type, message, func, *args)
    if exc_type is KeyError:
        assert str(exc) == repr(message)
    else:
        assert str(exc) == message


# (function, query, xp, fp, method, message)
PANICS = [
    ("inverse_float", [NAN], [10, 20, 30], [0.0, 1.0, 2.0], None, NAN_ERROR),
    ("inverse_float", [NAN], [10, 20, 30], [0.0, 1.0, 2.0], "nearest", NAN_ERROR),
    ("inverse_float", [NAN], [10, 20, 30], [0.0, 1.0, 2.0], "ffill", NAN_ERROR),
    ("inverse_float", [NAN], [10, 20, 30], [0.0, 1.0, 2.0], "bfill", NAN_ERROR),
    ("inverse_float", [-NAN], [10, 20], [-INF, INF], None, NAN_ERROR),
    ("inverse_float", [NAN], [7], [4.0], "nearest", NAN_ERROR),
    ("inverse_float", [NAN], [7], [NAN], None, NAN_ERROR),
    ("inverse_float", [1.0], [7], [NAN], None, NAN_ERROR),
    ("inverse_float", [1.0], [7], [NAN], "nearest", NAN_ERROR),
    ("inverse_float", [INF], [7], [NAN], "ffill", NAN_ERROR),
    ("inverse_float", [-INF], [7], [NAN], "bfill", NAN_ERROR),
    # an infinite sample next to a query strictly inside its segment
    ("inverse_float", [-1.0], [10, 20, 30], [-INF, 0.0, INF], None, FINITE_ERROR),
    ("inverse_float", [1.0], [10, 20, 30], [-INF, 0.0, INF], "nearest", FINITE_ERROR),
    ("forward_float", [5], [0, 10], [INF, 1.0], None, FINITE_ERROR),
    ("forward_float", [5], [0, 10], [1.0, -INF], None, FINITE_ERROR),
    ("forward_float", [1], [0, 2], [NAN, 1.0], None, FINITE_ERROR),
    ("forward_float", [15], [0, 10, 20], [0.0, 1.0, NAN], None, FINITE_ERROR),
]


@pytest.mark.parametrize("case", PANICS, ids=[_error_id((*c[:5], BaseException, c[5]))
                                             for c in PANICS])
def test_internal_failures(rust, case):
    name, query, xp, fp, method, message = case
    func = getattr(rust, name)
    args = arrays(name, query, xp, fp)
    if method is not None:
        args = (*args, method)
    raises_panic(message, func, *args)


# --------------------------------------------------------------------------
# worked examples of the integer table (and the float table where the
# arithmetic is exact)


def test_forward_worked_examples(rust):
    f = rust.forward_int
    assert f(*arrays("forward_int", [10, 15, 25, 30], [10, 20, 30], [100, 200, 400])
             ).tolist() == [100, 150, 300, 400]
    assert f(*arrays("forward_int", [10, 30, 20, 15], [10, 20, 30], [1, 2, 3])
             ).tolist() == [1, 3, 2, 2]
    assert f(*arrays("forward_int", list(range(11)), [0, 10], [5, 5])).tolist() == [5] * 11
    assert f(*arrays("forward_int", [7], [7], [3])).tolist() == [3]
    assert f(*arrays("forward_int", [5, 0, 10], [0, 10], [10, 0])).tolist() == [5, 10, 0]
    assert f(*arrays("forward_int", [0, 1], [0, 1], [-7, 9])).tolist() == [-7, 9]
    # unsigned order: 2**63 - 1 is inside [1, 2**63]; value (2**63 - 2) exactly
    assert f(*arrays("forward_int", [2 ** 63 - 1, 2 ** 63, 1], [1, 2 ** 63], [0, 2 ** 63 - 1])
             ).tolist() == [2 ** 63 - 2, 2 ** 63 - 1, 0]
    assert f(*arrays("forward_int", [0, TOP], [0, TOP], [-2 ** 63, 2 ** 63 - 1])
             ).tolist() == [-2 ** 63, 2 ** 63 - 1]
    assert f(*arrays("forward_int", [TOP], [2 ** 63, TOP], [-2, 2])).tolist() == [2]


def test_forward_float_table_rules(rust):
    f = rust.forward_float
    assert f(*arrays("forward_float", [10, 30, 20, 15], [10, 20, 30], [1.0, 2.0, 3.0])
             ).tolist() == [1.0, 3.0, 2.0, 1.5]
    assert np.isnan(f(*arrays("forward_float", [7], [7], [NAN]))).tolist() == [True]
    # non-finite samples are fine where no query needs them in a segment
    assert f(*arrays("forward_float", [5, 20], [0, 10, 20, 30], [1.0, 2.0, INF, NAN])
             ).tolist() == [1.5, INF]


def test_forward_float_exact_hits_return_stored_bits(rust):
    bits = [
        0x7FF8000000000ABC,  # NaN with a payload
        0x8000000000000000,  # -0.0
        0x7FF0000000000000,  # +inf
        0xFFF0000000000000,  # -inf
        0xFFF0000000000001,  # negative signalling NaN
        0x0000000000000001,  # smallest subnormal
    ]
    fp = np.array(bits, U64).view(F64)
    xp = np.array([1, 2, 3, 4, 5, 6], U64)
    x = np.array([6, 5, 4, 3, 2, 1], U64)
    result = rust.forward_float(x, xp, fp)
    assert result.view(U64).tolist() == bits[::-1]
    assert np.array(bits, U64).view(F64).view(U64).tolist() == bits


def test_result_owner_class_is_shared(rust):
    owners = set()
    for name in ALL:
        q, xp, fp, _ = table(name)
        owners.add(type(getattr(rust, name)(q, xp, fp).base))
        owners.add(type(getattr(rust, name)(q[:0], xp, fp).base))
    assert len(owners) == 1
    assert owners.pop().__name__ == "PySliceContainer"


@pytest.mark.parametrize("method", METHODS)
def test_inverse_clamping(rust, inv, method):
    f = getattr(rust, inv)
    tq = TYPES[inv][0]
    xp = np.array([100, 200, 300], U64)
    fp = np.array([0, 10, 20], tq)

    def call(value):
        return f(np.array([value], tq), xp, fp, method)

    assert call(10).tolist() == [200]
    assert call(0).tolist() == [100]
    assert call(20).tolist() == [300]
    assert call(5).tolist() == [150]
    below = {None: None, "nearest": 100, "ffill": None, "bfill": 100}[method]
    above = {None: None, "nearest": 300, "ffill": 300, "bfill": None}[method]
    for value, expected in ((-1, below), (21, above)):
        if expected is None:
            raises_exactly(KeyError, "f out of bounds", call, value)
        else:
            assert call(value).tolist() == [expected]


@pytest.mark.parametrize("method,one,two", [
    (None, None, None), ("nearest", 3, 7), ("ffill", 3, 6), ("bfill", 4, 7)])
def test_inverse_between_samples(rust, inv, method, one, two):
    f = getattr(rust, inv)
    tq = TYPES[inv][0]
    xp, fp = np.array([0, 10], U64), np.array([0, 3], tq)
    for value, expected in ((1, one), (2, two)):
        query = np.array([value], tq)
        if expected is None:
            raises_exactly(KeyError, "f not found", f, query, xp, fp, method)
        else:
            assert f(query, xp, fp, method).tolist() == [expected]


@pytest.mark.parametrize("method", METHODS)
def test_inverse_worked_examples(rust, inv, method):
    f = getattr(rust, inv)
    tq = TYPES[inv][0]

    def call(query, xp, fp):
        return f(np.array(query, tq), np.array(xp, U64), np.array(fp, tq), method).tolist()

    assert call([1, 0, 2], [30, 10, 20], [0, 1, 2]) == [10, 30, 20]
    assert call([3, 0, 10], [5, 5], [0, 10]) == [5, 5, 5]
    assert call([4], [7], [4]) == [7]
    assert call([-5, -10, 0, 10], [0, 10, 20], [-10, 0, 10]) == [5, 0, 10, 20]
    assert call([2], [10, 0], [0, 4]) == [5]
    assert call([1, 0], [TOP, 0], [0, 1]) == [0, TOP]
    below = {None: None, "nearest": 7, "ffill": None, "bfill": 7}[method]
    above = {None: None, "nearest": 7, "ffill": 7, "bfill": None}[method]
    for value, expected in ((3, below), (5, above)):
        if expected is None:
            raises_exactly(KeyError, "f out of bounds", call, [value], [7], [4])
        else:
            assert call([value], [7], [4]) == [expected]


def test_inverse_int_extreme_values(rust):
    f = rust.inverse_int
    fp = np.array([-2 ** 63, 0, 2 ** 63 - 1], I64)
    xp = np.array([TOP, 2 ** 63, 0], U64)
    query = np.array([2 ** 63 - 1, -2 ** 63, 0], I64)
    assert f(query, xp, fp).tolist() == [0, TOP, 2 ** 63]


@pytest.mark.parametrize("method", METHODS)
def test_inverse_float_table_rules(rust, method):
    f = rust.inverse_float

    def call(query, xp, fp):
        return f(np.array(query, F64), np.array(xp, U64), np.array(fp, F64), method).tolist()

    # infinities as samples are exact hits
    assert call([-INF, INF, 0.0, -0.0], [10, 20, 30], [-INF, 0.0, INF]) == [10, 30, 20, 20]
    # -0.0 and +0.0 are equal
    assert call([-0.0], [10, 20, 30], [-1.0, 0.0, 1.0]) == [20]
    assert call([0.0], [10, 20, 30], [-1.0, -0.0, 1.0]) == [20]
    # one sample, even an infinite one
    assert call([INF], [7], [INF]) == [7]
    # infinite queries beyond finite samples clamp like any other
    below = {None: None, "nearest": 10, "ffill": None, "bfill": 10}[method]
    above = {None: None, "nearest": 20, "ffill": 20, "bfill": None}[method]
    for value, expected in ((-INF, below), (INF, above)):
        if expected is None:
            raises_exactly(KeyError, "f out of bounds", call, [value], [10, 20], [0.0, 1.0])
        else:
            assert call([value], [10, 20], [0.0, 1.0]) == [expected]


# --------------------------------------------------------------------------
# batches


def test_forward_batch_is_all_or_nothing(rust, fwd):
    func = getattr(rust, fwd)
    tq, tx, tf, _ = TYPES[fwd]
    x = np.array([15, 40, 25], tq)
    xp, fp = np.array([10, 20, 30], tx), np.array([100, 200, 400], tf)
    copies = [a.copy() for a in (x, xp, fp)]
    raises_exactly(IndexError, "x out of bounds", func, x, xp, fp)
    for a, c in zip((x, xp, fp), copies):
        assert np.array_equal(a, c) and a.flags.writeable


def test_inverse_batch_is_all_or_nothing(rust, inv):
    func = getattr(rust, inv)
    tq = TYPES[inv][0]
    f = np.array([5, 25, 5], tq)
    xp, fp = np.array([100, 200, 300], U64), np.array([0, 10, 20], tq)
    copies = [a.copy() for a in (f, xp, fp)]
    for method in (None, "bfill"):
        raises_exactly(KeyError, "f out of bounds", func, f, xp, fp, method)
    for a, c in zip((f, xp, fp), copies):
        assert np.array_equal(a, c) and a.flags.writeable


def test_first_failing_query_decides(rust):
    xp, fp = np.array([0, 10], U64), np.array([0, 3], I64)
    inv = rust.inverse_int
    raises_exactly(KeyError, "f not found", inv, np.array([0, 1, 9], I64), xp, fp)
    raises_exactly(KeyError, "f out of bounds", inv, np.array([0, 9, 1], I64), xp, fp)
    fpf = np.array([0.0, 3.0])
    raises_exactly(KeyError, "f out of bounds", rust.inverse_float,
                   np.array([3.0, 9.0, NAN]), xp, fpf)
    raises_panic(NAN_ERROR, rust.inverse_float, np.array([3.0, NAN, 9.0]), xp, fpf)
    nan_table = (np.array([0, 10, 20], U64), np.array([0.0, NAN, 2.0]))
    raises_exactly(IndexError, "x out of bounds", rust.forward_float,
                   np.array([0, 25, 5], U64), *nan_table)
    raises_panic(FINITE_ERROR, rust.forward_float, np.array([0, 5, 25], U64), *nan_table)
    result = rust.forward_float(np.array([10, 0, 20], U64), *nan_table)
    assert np.isnan(result[0]) and result[1:].tolist() == [0.0, 2.0]


def test_inputs_never_modified(rust, name):
    func = getattr(rust, name)
    q, xp, fp, expected = table(name)
    copies = [a.copy() for a in (q, xp, fp)]
    assert func(q, xp, fp).tolist() == expected
    func(q[::-1], xp, fp)
    for args in ((q, xp[::-1], fp), (q, xp, fp[::-1]), (q, xp, fp[:2]), (q[:1], xp, fp[:2]),
                 (q[::-1], xp[::-1], fp[::-1])):
        try:
            func(*args)
        except BaseException:  # noqa: B036
            pass
    for a, c in zip((q, xp, fp), copies):
        assert a.tobytes() == c.tobytes()


# --------------------------------------------------------------------------
# views


class _Sub(np.ndarray):
    pass


def _reversed(a):
    return a[::-1].copy()[::-1]


def _strided(a):
    big = np.zeros(3 * len(a) + 1, a.dtype)
    big[1::3] = a
    return big[1::3]


def _reversed_strided(a):
    big = np.zeros(2 * len(a), a.dtype)
    big[::2] = a[::-1]
    return big[-2::-2]


def _field(a):
    rec = np.zeros(len(a), dtype=[("pad", "u1"), ("v", a.dtype), ("tail", "u2")])
    rec["v"] = a
    return rec["v"]


def _readonly(a):
    b = a.copy()
    b.flags.writeable = False
    return b


def _from_bytes(a):
    return np.frombuffer(a.tobytes(), a.dtype)


def _unaligned(a):
    buf = np.zeros(a.nbytes + 1, np.uint8)
    view = buf[1:].view(a.dtype)
    view[:] = a
    return view


def _subclass(a):
    return a.copy().view(_Sub)


VIEWS = {
    "reversed": _reversed,
    "strided": _strided,
    "reversed strided": _reversed_strided,
    "record field": _field,
    "read-only": _readonly,
    "from bytes": _from_bytes,
    "unaligned": _unaligned,
    "subclass": _subclass,
}


@pytest.mark.parametrize("view", list(VIEWS))
@pytest.mark.parametrize("positions", [(0,), (1,), (2,), (0, 1, 2)],
                         ids=["query", "xp", "fp", "all"])
def test_views_read_in_index_order(rust, name, view, positions):
    func = getattr(rust, name)
    q, xp, fp, expected = table(name)
    args = [q, xp, fp]
    for p in positions:
        args[p] = VIEWS[view](args[p])
        assert args[p].tolist() == [q, xp, fp][p].tolist()
    if view == "reversed":
        assert all(args[p].strides[0] < 0 for p in positions)
    result = func(*args)
    check_result(name, result, len(expected))
    assert result.tolist() == expected
    assert result.tolist() == func(*(np.ascontiguousarray(a) for a in args)).tolist()
    if name in INVERSE:
        assert func(*args, "nearest").tolist() == expected


def test_broadcast_arrays(rust):
    b = np.broadcast_to
    # stride-0 queries
    x = b(np.uint64(15), (4,))
    assert x.strides == (0,)
    assert rust.forward_int(x, np.array([10, 20], U64), np.array([1, 3], I64)).tolist() == [2] * 4
    assert rust.forward_float(x, np.array([10, 20], U64), np.array([1.0, 2.0])).tolist() == [1.5] * 4
    assert rust.inverse_int(b(np.int64(2), (3,)), np.array([10, 20], U64),
                            np.array([1, 3], I64)).tolist() == [15] * 3
    assert rust.inverse_float(b(np.float64(2.0), (3,)), np.array([10, 20], U64),
                              np.array([1.0, 3.0])).tolist() == [15] * 3
    # a constant fp in the forward direction
    xp = np.array([0, 10, 20], U64)
    assert rust.forward_int(np.array([0, 5, 20], U64), xp, b(np.int64(7), (3,))).tolist() == [7] * 3
    assert rust.forward_float(np.array([0, 5, 20], U64), xp, b(np.float64(7.0), (3,))
                              ).tolist() == [7.0] * 3
    # a constant xp in the inverse direction (repeated coordinates are allowed)
    for method in METHODS:
        assert rust.inverse_int(np.array([0, 3, 10], I64), b(np.uint64(5), (2,)),
                                np.array([0, 10], I64), method).tolist() == [5] * 3
        assert rust.inverse_float(np.array([0.0, 3.0, 10.0]), b(np.uint64(5), (2,)),
                                  np.array([0.0, 10.0]), method).tolist() == [5] * 3
    # one-sample tables of stride 0
    assert rust.forward_int(np.array([7], U64), b(np.uint64(7), (1,)),
                            b(np.int64(3), (1,))).tolist() == [3]
    assert rust.inverse_int(np.array([4], I64), b(np.uint64(7), (1,)),
                            b(np.int64(4), (1,))).tolist() == [7]
    # a constant axis that must increase is refused
    raises_exactly(ValueError, "xp must be strictly increasing", rust.forward_int,
                   np.array([5], U64), b(np.uint64(5), (3,)), np.array([1, 2, 3], I64))
    raises_exactly(ValueError, "fp must be strictly increasing", rust.inverse_float,
                   np.array([1.0]), np.array([1, 2], U64), b(np.float64(1.0), (2,)))
    # and lengths of broadcast arrays are checked too
    raises_panic(LENGTH_ERROR, rust.forward_int, x, b(np.uint64(5), (3,)), b(np.int64(1), (2,)))


def test_one_array_for_several_parameters(rust):
    a = np.array([3, 9, 27], U64)
    assert rust.forward_int(a, a, np.array([-1, 0, 1], I64)).tolist() == [-1, 0, 1]
    assert rust.forward_float(a, a, np.array([0.5, 1.5, 2.5])).tolist() == [0.5, 1.5, 2.5]
    assert rust.forward_int(a[::-1], a, np.array([-1, 0, 1], I64)).tolist() == [1, 0, -1]
    v = np.array([-4, 0, 8], I64)
    xp = np.array([30, 10, 20], U64)
    for method in METHODS:
        assert rust.inverse_int(v, xp, v, method).tolist() == [30, 10, 20]
        assert rust.inverse_float(v.astype(F64), xp, v.astype(F64), method).tolist() == [30, 10, 20]
    w = np.array([2.0, 4.0, 6.0])
    assert rust.inverse_float(w, np.array([1, 2, 3], U64), w).tolist() == [1, 2, 3]
    s = np.array([5], U64)
    assert rust.forward_int(s, s, np.array([1], I64)).tolist() == [1]


# --------------------------------------------------------------------------
# reference counts


def _calls(rust, objects):
    """Calls of every outcome; each returns None or raises."""
    o = objects
    nearest, bogus, surrogate = o["nearest"], o["bogus"], o["surrogate"]
    kw_name = o["kw_name"]
    calls = [
        # successes
        lambda: rust.forward_int(o["x"], o["xp"], o["fpi"]),
        lambda: rust.forward_float(o["x"], o["xp"], o["fpf"]),
        lambda: rust.inverse_int(o["fi"], o["xp"], o["fpi"]),
        lambda: rust.inverse_int(o["fi"], o["xp"], o["fpi"], nearest),
        lambda: rust.inverse_float(o["ff"], o["xp"], o["fpf"], method=nearest),
        lambda: rust.forward_int(o["x"], **{kw_name: o["xp"]}, fp=o["fpi"]),
        lambda: rust.forward_int(o["empty_x"], o["xp"], o["fpi"]),
        # binding
        lambda: rust.forward_int(o["x"], o["xp"], o["fpi"], o["x"]),
        lambda: rust.inverse_float(o["ff"], o["xp"], o["fpf"], nearest, o["x"]),
        lambda: rust.forward_float(o["x"], o["xp"], o["fpf"], **{o["bad_kw"]: o["x"]}),
        lambda: rust.inverse_int(o["fi"], o["xp"], o["fpi"], f=o["fi"]),
        lambda: rust.forward_int(o["x"], fp=o["fpi"]),
        lambda: rust.inverse_int(method=nearest),
        # conversion
        lambda: rust.forward_int(o["list"], o["xp"], o["fpi"]),
        lambda: rust.forward_int(o["x"], o["list"], o["fpi"]),
        lambda: rust.forward_float(o["x"], o["xp"], o["fpi"]),
        lambda: rust.inverse_float(o["ff"], o["xp"], o["list"], nearest),
        # method
        lambda: rust.inverse_int(o["fi"], o["xp"], o["fpi"], o["big_int"]),
        lambda: rust.inverse_float(o["ff"], o["xp"], o["fpf"], o["bytes"]),
        lambda: rust.inverse_int(o["fi"], o["xp"], o["fpi"], surrogate),
        lambda: rust.inverse_float(o["ff"], o["xp"], o["fpf"], bogus),
        # internal failures
        lambda: rust.forward_int(o["x"], o["xp"], o["short_fpi"]),
        lambda: rust.inverse_float(o["ff"], o["xp"], o["short_fpf"], nearest),
        lambda: rust.inverse_float(o["nan"], o["xp"], o["fpf"]),
        lambda: rust.forward_float(o["x"], o["xp"], o["inf_fpf"]),
        # per-query errors
        lambda: rust.forward_int(o["far_x"], o["xp"], o["fpi"]),
        lambda: rust.forward_float(o["x"], o["unsorted_xp"], o["fpf"]),
        lambda: rust.inverse_int(o["far_fi"], o["xp"], o["fpi"]),
        lambda: rust.inverse_int(o["odd_fi"], o["odd_xp"], o["odd_fpi"]),
        lambda: rust.inverse_float(o["ff"], o["xp"], o["unsorted_fpf"], nearest),
        # oversized batch
        lambda: rust.inverse_float(o["huge"], o["xp"], o["fpf"]),
    ]
    return calls


def _objects():
    return {
        "x": np.array([15, 20], U64),
        "empty_x": np.array([], U64),
        "far_x": np.array([15, 99], U64),
        "xp": np.array([10, 20], U64),
        "unsorted_xp": np.array([20, 10], U64),
        "fpi": np.array([1, 3], I64),
        "short_fpi": np.array([1], I64),
        "fpf": np.array([1.0, 3.0]),
        "short_fpf": np.array([1.0]),
        "inf_fpf": np.array([1.0, INF]),
        "unsorted_fpf": np.array([3.0, 1.0]),
        "fi": np.array([1, 3], I64),
        "far_fi": np.array([1, 9], I64),
        "odd_fi": np.array([1], I64),
        "odd_xp": np.array([0, 10], U64),
        "odd_fpi": np.array([0, 3], I64),
        "ff": np.array([2.0, 3.0]),
        "nan": np.array([NAN]),
        # every query lies above the table: a call that got the memory ends at once
        "huge": np.broadcast_to(np.float64(9.0), (2 ** 44,)),
        "list": [1, 2],
        "nearest": "".join(["near", "est"]),
        "bogus": "".join(["bog", "us"]),
        "surrogate": "".join(["near", "\udcff", "st"]),
        "big_int": 10 ** 40 + 1,
        "bytes": bytes(bytearray(b"nearest")),
        "kw_name": "".join(["x", "p"]),
        "bad_kw": "".join(["y", "y"]),
    }


@pytest.mark.skipif(not CPYTHON, reason="reference counts are a CPython detail")
def test_reference_counts_unchanged(rust):
    objects = _objects()
    calls = _calls(rust, objects)
    for call in calls:  # warm up: first-use objects are made here
        try:
            call()
        except BaseException:  # noqa: B036
            pass
    gc.collect()
    before = {k: sys.getrefcount(v) for k, v in objects.items()}
    for _ in range(100):
        for call in calls:
            try:
                call()
            except BaseException:  # noqa: B036
                pass
    gc.collect()
    after = {k: sys.getrefcount(v) for k, v in objects.items()}
    assert after == before


@pytest.mark.skipif(not CPYTHON, reason="reference counts are a CPython detail")
def test_result_references(rust, name):
    func = getattr(rust, name)
    q, xp, fp, _ = table(name)
    reference = np.empty(3)
    expected = sys.getrefcount(reference)
    result = func(q, xp, fp)
    assert sys.getrefcount(result) == expected
    owner = result.base
    plain = object()
    sole = sys.getrefcount(plain)
    del result
    gc.collect()
    # the array held the only other reference to its owner
    assert sys.getrefcount(owner) == sole


# --------------------------------------------------------------------------
# oversized batches


def test_oversized_batch_raises_memory_error(rust, name):
    """2**44 results do not fit in memory: the call fails before any query
    is evaluated (the first query would fail too, so that a call that got
    the memory ends at once instead of running for hours)."""
    func = getattr(rust, name)
    tq, tx, tf, _ = TYPES[name]
    huge = np.broadcast_to(tq(1), (2 ** 44,))
    xp, fp = np.array([5], tx), np.array([5], tf)
    with pytest.raises(MemoryError):
        func(huge, xp, fp)
    if name in INVERSE:
        with pytest.raises(MemoryError):
            func(huge, xp, fp, "ffill")
