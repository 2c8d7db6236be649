"""In-memory vector store with exact and graph-based nearest-neighbour search."""

from collections.abc import Sequence
from typing import Any, Protocol, TypeAlias, final

from typing_extensions import Buffer

__all__ = ["VectorStorage"]

# A payload maps text keys to values. Values of type str (a "tenant_id" str
# selects the point's tenant), int (signed 64-bit; bool counts as 0 or 1) and
# float are stored; values of any other type are skipped without an error.
# The value type is Any rather than ``str | int | float | object`` because dict
# is invariant: a ``dict[str, str]`` would otherwise be refused by checkers.
_Payload: TypeAlias = dict[str, Any]

# Array objects in numpy's sense. Checkers see a numpy array's buffer
# protocol only when they check for Python 3.12 or later; this makes arrays
# acceptable for 3.11 too.
class _SupportsArray(Protocol):
    def __array__(self) -> Any: ...

# One vector: any sequence of numbers (list, tuple, bytes...), or an object
# with the buffer protocol that is also indexable, such as a one-dimensional
# numpy array, an array.array or a memoryview (float32 and float64 ones are
# read straight from memory). Checkers cannot tell an array's dimensions: a
# 2-D array passed as one vector passes the check and raises TypeError.
_Vector: TypeAlias = Sequence[float] | Buffer | _SupportsArray

# Many vectors: a sequence of vectors, or a 2-D buffer such as a numpy
# matrix with one query per row.
_Vectors: TypeAlias = Sequence[_Vector] | Buffer | _SupportsArray

# One search hit: the point id and its score under the requested metric.
_Hit: TypeAlias = tuple[int, float]

@final
class VectorStorage:
    """High-performance vector storage and search engine.

    Holds points (unsigned 64-bit id, float vector, optional payload) in
    memory. Stores of fewer than 500 points are searched exactly; larger ones
    through the graph, which returns at most 32 hits per query.
    """

    def __new__(cls) -> VectorStorage: ...
    def upsert(self, point_id: int, vector: _Vector, payload: _Payload | None) -> None:
        """Insert a point, or replace the point with the same id.

        Raises TypeError or OverflowError for arguments that cannot be converted.
        """

    def search(
        self,
        query_vector: _Vector,
        limit: int,
        metric: str,
        tenant_id: str | None = None,
    ) -> list[_Hit]:
        """Return up to `limit` (id, score) pairs, best first.

        `metric` is "cosine", "dot_product" ("dot") or "euclidean" ("l2"), in
        any letter case; other names raise ValueError. With `tenant_id`, only
        points whose payload carries that "tenant_id" are considered.
        """

    def batch_search(
        self,
        query_vectors: _Vectors,
        limit: int,
        metric: str,
        tenant_id: str | None = None,
    ) -> list[list[_Hit]]:
        """Run `search` for every query on worker threads; results in query order."""

    def save(self, path: str) -> None:
        """Write the whole store to the file at `path`; raises OSError on failure."""

    def load(self, path: str) -> None:
        """Replace the whole store with the snapshot at `path`; raises OSError on failure."""
