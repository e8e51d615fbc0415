// The docstrings of quorvane._table: the module, Table and its methods and
// attributes, and the exception classes (help() shows them; the first lines
// of the callables' are their text signatures).
#pragma once

namespace quorvane::table::doc {

constexpr const char* module = "Native part of quorvane: the prepared table and its exceptions.";
constexpr const char* table =
    "Table(xp, fp, *, unit=None)\n--\n\n"
    "A piecewise-linear table between uint64 coordinates xp and int64 or float64\n"
    "values fp, copied and checked once, then queried any number of times, from\n"
    "any number of threads, in either direction.\n\n"
    "xp: coordinates, 1-D: any integer dtype or Python ints from 0 to 2**64 - 1,\n"
    "    or times (datetime64/timedelta64, datetime/date/timedelta, pandas\n"
    "    Timestamps; not before the epoch, no NaT).\n"
    "fp: values, 1-D, as many as xp: integers (Python ints too) that fit int64\n"
    "    make an integer table; float16/32/64 a float table; times an integer\n"
    "    table whose values keep their unit.\n"
    "    Either may be a NumPy array, a list, an Arrow column (pyarrow, polars,\n"
    "    any __arrow_c_array__/__arrow_c_stream__ producer) or a pandas column;\n"
    "    a null or masked sample is refused.\n"
    "unit: a time unit ('ns', 'us', 'ms', 's', ...) that the time axes are\n"
    "    converted to, exactly, when the table is built; the answers of those\n"
    "    axes come in it.  By default each time axis keeps its samples' unit.\n\n"
    "forward() needs xp strictly increasing, inverse() fp strictly increasing;\n"
    "a table whose fp is not increasing still answers forward queries (the\n"
    "error comes from the first query in the direction that needs it).\n"
    "Answers are those of quorvane.forward_int / forward_float / inverse_int /\n"
    "inverse_float on the same arrays, bit for bit.\n\n"
    "Raises InvalidTypeError (a TypeError) for arguments of the wrong kind,\n"
    "InvalidValueError (a ValueError) for elements that do not convert exactly,\n"
    "nulls, arrays that are not 1-D and lengths that differ.";
constexpr const char* forward =
    "forward($self, x, *, outside='raise', workers=1)\n--\n\n"
    "The value at every coordinate of x.\n\n"
    "x: a scalar or an array-like of any shape and any memory layout: integers\n"
    "   (any dtype, or Python ints) from 0 to 2**64 - 1, or times when xp is\n"
    "   one (datetime64/timedelta64, datetime/date/timedelta, pandas\n"
    "   Timestamps; aware times as UTC instants; converted to xp's unit only\n"
    "   when exact).  An Arrow column (pyarrow, polars, ...) or a pandas\n"
    "   column is read in place.  Masked or null queries are not evaluated:\n"
    "   their answers are masked or null.\n"
    "outside: for a coordinate below xp[0] or above xp[-1]: 'raise' (the\n"
    "   default: OutOfBoundsError), 'clamp' (fp[0] below, fp[-1] above, as\n"
    "   numpy.interp does), or a fill value of fp's type (e.g. numpy.nan).\n"
    "workers: threads to split a large batch across; -1 uses every CPU.\n\n"
    "Returns an array of fp's dtype and x's shape (C order), or a scalar for a\n"
    "scalar x; for a pandas Series or Index, a polars Series, or a pyarrow\n"
    "Array or ChunkedArray, the same kind of column (index and name kept,\n"
    "nulls where x has them); for a dask array, a lazy dask array of the same\n"
    "chunks (an error in a block names its query's index in the whole array);\n"
    "for an xarray DataArray, a DataArray of the same dims, coords and name.\n"
    "The first query in index order that has no answer raises:\n"
    "OutOfBoundsError (IndexError), NotIncreasingError (xp not strictly\n"
    "increasing), NonFiniteError (a NaN or infinite sample next to x), or\n"
    "InvalidValueError (x does not convert exactly).  Messages name the\n"
    "query's index and value.";
constexpr const char* inverse =
    "inverse($self, f, method=None, *, workers=1)\n--\n\n"
    "The coordinate at which the table takes every value of f.\n\n"
    "f: a scalar or an array-like of any shape: values of fp's kind (floats,\n"
    "   or integers that float64 holds exactly, for a float table; integers\n"
    "   for an integer table; times when fp is one).  Arrow and pandas\n"
    "   columns, masks and nulls as for forward().\n"
    "method: None (only exact whole coordinates; values outside the table\n"
    "   raise), 'nearest' (round half to even; clamps on both sides), 'ffill'\n"
    "   (floor; clamps above), 'bfill' (ceiling; clamps below).\n"
    "workers: threads to split a large batch across; -1 uses every CPU.\n\n"
    "Returns an array of xp's dtype and f's shape, or a scalar for a scalar f\n"
    "(or the caller's kind of column, dask array or DataArray, as for\n"
    "forward()).\n"
    "The first query in index order that has no answer raises: OutOfBoundsError\n"
    "(IndexError and KeyError), NotFoundError (KeyError: the coordinate is not\n"
    "whole and method is None), NotIncreasingError, NonFiniteError (a NaN query,\n"
    "or an infinite sample next to it) or InvalidValueError.";
constexpr const char* xp = "The coordinates, as a read-only array (uint64, or xp's datetime64/timedelta64 dtype).";
constexpr const char* fp = "The values, as a read-only array (int64, float64, or fp's datetime64/timedelta64 dtype).";
constexpr const char* reduce =
    "Pickles as the storage of xp and fp with their dtypes (with protocol 5, two\n"
    "out-of-band buffers): the table is checked again where it is loaded.";
constexpr const char* copy = "A Table is immutable: its copy is itself.";
constexpr const char* tokenize =
    "The table's identity for dask: its dtypes, length and a 128-bit hash of\n"
    "each axis's content, computed by the first call and kept (a table never\n"
    "changes).  Equal tables give equal tokens.";
constexpr const char* error = "Base class of the errors that quorvane.Table raises.";
constexpr const char* out_of_bounds =
    "A query outside the table, or any query on an empty table (forward without outside=,\n"
    "or inverse on a side that method does not extend).  Both an IndexError (as the\n"
    "forward functions raise) and a KeyError (as the inverse functions raise).";
constexpr const char* not_found = "An inverse query whose coordinate is not whole, with method=None.  A KeyError.";
constexpr const char* not_increasing = "The axis a query searches is not strictly increasing.  A ValueError.";
constexpr const char* non_finite =
    "A NaN query value, or a NaN or infinite sample next to the segment a query falls in.  A ValueError.";
constexpr const char* invalid_value =
    "An argument of the right kind whose value is not accepted: an element that does not\n"
    "convert exactly to the table's axis (negative, too large, NaN in an integer axis, NaT,\n"
    "a time not whole in the table's unit), an array of the wrong shape, lengths that\n"
    "differ, an unknown option.  A ValueError.";
constexpr const char* invalid_type =
    "An argument of the wrong kind: a dtype the axis does not accept (floats for an integer\n"
    "axis, datetime64 for an axis without a unit, ...), or a call that does not bind.  A TypeError.";

}  // namespace quorvane::table::doc
