"""Read what a tavrik snapshot file holds, without loading it into a store.

The file is decoded by the same decoder as ``VectorStorage.load``, so it
reads exactly what ``load`` reads: where a key occurs twice, the later entry
counts, and a file ``load`` rejects fails here with the same ``OSError``
text. Nothing here writes the file or builds a ``VectorStorage``.

- ``info(path)``: counts and figures of the points and the graph.
- ``points(path, ids=None)``: the points, one at a time.
- ``check(path)``: what ``load`` would reject, and what loads but is suspect.

``python -m tavrik_snapshot info|check|dump FILE`` runs them from a shell.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from typing import Any, Literal, TypedDict, Union

from . import _native

__all__ = ["info", "points", "check", "Info", "GraphInfo", "Finding"]

# Points are decoded in batches of this many, so that a large file never has
# all its points as Python objects at once.
_BATCH = 256

_Path = Union[str, "os.PathLike[str]"]


class GraphInfo(TypedDict):
    nodes: int
    entry_point: int | None
    max_level: int
    m: int
    ef_construction: int
    ef_search: int
    links_per_layer: list[int]
    linked_without_point: list[int]
    linked_without_node: list[int]


class Info(TypedDict):
    points: int
    vector_lengths: dict[int, int]
    tenants: dict[str, int]
    payload_keys: dict[str, dict[str, int]]
    graph: GraphInfo
    file_bytes: int
    trailing_bytes: int


class Finding(TypedDict):
    severity: Literal["error", "warning"]
    offset: int
    message: str


def _path(path: _Path) -> str:
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError(f"a snapshot path must be a str or an os.PathLike of str, "
                        f"not {type(text).__name__}")
    return text


def info(path: _Path) -> Info:
    """Figures of the snapshot at ``path``, as ``load`` would restore it.

    ``points``: the point count; ``vector_lengths``: vector length -> points;
    ``tenants``: "tenant_id" text -> points; ``payload_keys``: key -> {kind ->
    points}, kinds named "Keyword", "Text", "Integer", "Float"; ``graph``:
    node count, entry point, top layer (``max_level``), ``m``,
    ``ef_construction``, ``ef_search``, links per layer 0 to 15, and the
    ids that occur in neighbour lists but have no point or no node;
    ``file_bytes`` and ``trailing_bytes`` (bytes after the snapshot, which
    ``load`` ignores). Raises ``OSError`` with ``load``'s text when ``load``
    would fail.
    """
    result = _native.summarize(_path(path))
    if result["info"] is None:
        raise OSError(result["load_error"])
    figures: Info = result["info"]
    return figures


def check(path: _Path) -> list[Finding]:
    """What ``load`` would reject in the snapshot at ``path``, and what loads
    but is suspect, as findings in file order.

    Each finding is ``{"severity", "offset", "message"}``. An ``"error"``
    finding (at most one, and then the only one) carries the decoder's
    message, as ``load`` reports it after its prefix, and the offset of the
    value it could not read. ``"warning"`` findings: a key met twice, a
    point or node holding another id than its key, a graph without an entry
    point or whose entry point has no node, a top layer above 15, a node
    with links above the top layer, links to ids without a point or a node.
    An empty list means ``load`` takes the file as it is. A file that cannot
    be opened or read raises ``OSError`` with ``load``'s text.
    """
    findings: list[Finding] = _native.summarize(_path(path))["findings"]
    return findings


# One point: its id, its vector (a numpy float32 array, or a list of floats
# without numpy) and its payload.
_Point = tuple[int, Any, Union[dict[str, Any], None]]


def points(path: _Path, ids: Iterable[int] | None = None) -> Iterator[_Point]:
    """The points of the snapshot at ``path`` as ``(id, vector, payload)``,
    in file order, one at a time; only those whose id is in ``ids`` when given.

    The vector is a numpy ``float32`` array when numpy can be imported, a
    list of floats otherwise; the payload is ``None`` or a dict with its keys
    sorted, ``Keyword``/``Text`` values as ``str``, ``Integer`` as ``int``,
    ``Float`` as ``float``. The file is read and checked now: ``OSError``
    with ``load``'s text when ``load`` would fail; ids must be ints in
    [0, 2**64).
    """
    wanted = None if ids is None else list(ids)
    cursor = _native.open_points(_path(path), wanted)
    return _stream(cursor)


def _stream(cursor: object) -> Iterator[_Point]:
    try:
        import numpy
    except ImportError:
        while batch := _native.next_points(cursor, _BATCH, False):
            yield from batch
        return
    # The vectors come as bytearrays of 32-bit floats, which numpy wraps
    # without a copy.
    while batch := _native.next_points(cursor, _BATCH, True):
        for point_id, vector, payload in batch:
            yield point_id, numpy.frombuffer(vector, dtype=numpy.float32), payload
