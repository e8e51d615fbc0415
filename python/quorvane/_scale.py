"""Queries answered in kind: a dask array gives a lazy dask array, an xarray
DataArray gives a DataArray.

``Table.forward`` and ``Table.inverse`` call ``answer`` for a query whose
type has ``__dask_graph__`` (dask collections, and xarray's DataArray,
which has it whether or not dask backs it).  Nothing here imports dask or
xarray: whoever passed one of their objects has imported them already, and
an object of any other kind is declined (``NotImplemented``), so that the
table reads it as it reads any other query.
"""

from __future__ import annotations

import re
import sys
import weakref
from itertools import accumulate
from types import ModuleType
from typing import Any, Dict, Optional, Sequence, Tuple

from ._table import Error

__all__ = ["answer"]


def answer(table: Any, direction: str, query: Any, options: Dict[str, Any]) -> Any:
    """The answer to ``getattr(table, direction)(query, **options)`` in the
    query's own kind, or ``NotImplemented`` for a query of no such kind."""
    xarray = sys.modules.get("xarray")
    if xarray is not None and isinstance(query, xarray.DataArray):
        return _data_array(xarray, table, direction, query, options)
    dask_array = sys.modules.get("dask.array")
    if dask_array is not None and isinstance(query, dask_array.Array):
        return _dask_array(table, direction, query, options)
    return NotImplemented


def _data_array(xarray: ModuleType, table: Any, direction: str, query: Any, options: Dict[str, Any]) -> Any:
    # The data as it is (NumPy, or dask: the answer is then lazy too); the
    # answer keeps the dims, coords and name.  attrs describe the query's
    # quantity, not the answer's, and are dropped, as xarray's own
    # arithmetic drops them.
    result = getattr(table, direction)(query.data, **options)
    return xarray.DataArray(result, coords=query.coords, dims=query.dims, name=query.name)


def _dask_array(table: Any, direction: str, query: Any, options: Dict[str, Any]) -> Any:
    import dask

    method = getattr(table, direction)
    # The options, the dtype of the queries and the kind of container are
    # checked now, by a call on no queries, which also gives the answer's
    # dtype and container (a masked array's, say) for the graph's meta.
    meta = method(_empty_like(query), **options)
    # Where each block starts in the whole array, per axis: a block's error
    # names its query by its index in the whole array.  (Chunks of unknown
    # length, after a boolean selection say, leave the start unknown: the
    # error names the block then.)
    starts: Optional[Tuple[Tuple[int, ...], ...]] = None
    if not any(c != c for chunks in query.chunks for c in chunks):  # NaN: unknown
        starts = tuple(tuple(accumulate(chunks[:-1], initial=0)) for chunks in query.chunks)
    shipped = _shipped(dask, table)
    return query.map_blocks(_block, shipped, direction, options, starts, dtype=meta.dtype, meta=meta, token=direction)


# table -> {client id: future of the table scattered to that client's
# workers}; an entry goes when its table does, which releases the futures.
_scattered: "weakref.WeakKeyDictionary[Any, Dict[str, Any]]" = weakref.WeakKeyDictionary()


def _shipped(dask: ModuleType, table: Any) -> Any:
    """The table as the graph holds it: one key that every block depends on.

    Under a dask.distributed client (the default scheduler when the graph
    is built), a future of the table broadcast to the workers once per
    table and client: graphs then carry only its key, and the cluster
    keeps it from one compute to the next (a worker without a copy, one
    that joined later or whose copy the memory manager dropped, fetches it
    from another).  Such a graph runs on that client only.  Otherwise
    the table itself, as a key of the graph (named by its content hash,
    which is computed once): every scheduler gets it with the graph.
    """
    client = _default_client(dask)
    if client is None:
        return dask.delayed(table, pure=True)
    per_client = _scattered.setdefault(table, {})
    future = per_client.get(client.id)
    if future is None or future.status != "finished":
        future = client.scatter(table, broadcast=True, hash=True)
        per_client[client.id] = future
    return future


def _default_client(dask: ModuleType) -> Any:
    """The dask.distributed client that computes graphs by default, if one
    does (distributed is imported only by whoever made a client)."""
    distributed = sys.modules.get("distributed")
    if distributed is None or dask.config.get("scheduler", None) not in ("dask.distributed", "distributed"):
        return None
    try:
        client = distributed.default_client()
    except ValueError:
        return None
    return client if client.status == "running" else None


def _empty_like(query: Any) -> Any:
    meta = getattr(query, "_meta", None)
    if meta is not None and getattr(meta, "size", None) == 0 and meta.ndim == query.ndim and query.ndim > 0:
        return meta
    import numpy

    return numpy.empty((0,) * query.ndim, dtype=query.dtype) if query.ndim > 0 else numpy.empty(0, query.dtype)


def _block(block: Any, table: Any, direction: str, options: Dict[str, Any],
           starts: Optional[Sequence[Sequence[int]]], block_id: Optional[Tuple[int, ...]] = None) -> Any:
    """One block's answers; an error names its query's index in the whole
    array."""
    try:
        return getattr(table, direction)(block, **options)
    except Error as exc:
        if block_id is not None:
            offsets = None if starts is None else [starts[k][b] for k, b in enumerate(block_id)]
            if offsets is None or any(offsets):
                _rebase(exc, offsets, block_id)
        raise


# "x[3]" or "f[1, 2]" at the start of a message: the query's index.
_INDEX = re.compile(r"^([a-z]+)\[(\d+(?:, \d+)*)\]")


def _rebase(exc: BaseException, offsets: Optional[Sequence[int]], block_id: Tuple[int, ...]) -> None:
    """Moves the index that starts exc's message by offsets (the block's
    start in the whole array, per axis), or says which block it is in when
    the block's start is unknown."""
    if len(exc.args) != 1 or not isinstance(exc.args[0], str):
        return
    message = exc.args[0]
    found = _INDEX.match(message)
    if found is None:
        return
    local = [int(i) for i in found.group(2).split(", ")]
    if offsets is None:
        block = ", ".join(map(str, block_id)) + ("," if len(block_id) == 1 else "")
        exc.args = (f"{found.group(0)} of block ({block}){message[found.end():]}",)
        return
    if len(local) != len(offsets):
        return
    where = ", ".join(str(i + o) for i, o in zip(local, offsets))
    exc.args = (f"{found.group(1)}[{where}]{message[found.end():]}",)
