"""User code that type checkers must accept against tavrik's stub."""
import array

import numpy as np
import numpy.typing as npt

import tavrik

store = tavrik.VectorStorage()
rows: npt.NDArray[np.float32] = np.ones((4, 8), dtype=np.float32)
store.upsert(1, [0.5, 1.0, 2.0], {"tenant_id": "acme", "rank": 3, "weight": 0.5})
store.upsert(2, (1, 2, 3), None)
store.upsert(3, rows[0], None)
store.upsert(4, np.arange(8, dtype=np.float64), {})
store.upsert(5, array.array("f", [1.0, 2.0]), None)
store.upsert(6, memoryview(rows[1]), None)
for point_id, row in enumerate(rows):
    store.upsert(point_id + 10, row, None)

hits: list[tuple[int, float]] = store.search(rows[2], 3, "cosine", tenant_id="acme")
best_id: int = hits[0][0]
per_query: list[list[tuple[int, float]]] = store.batch_search(rows, 3, "dot")
store.batch_search([rows[0], [1.0, 2.0], (3, 4)], 3, "l2")
store.batch_search(list(rows), 3, "euclidean", None)
store.batch_search(query_vectors=rows, limit=2, metric="cosine", tenant_id="acme")
ids = np.array([[point_id for point_id, _ in found] for found in per_query], dtype=np.int64)
scores = np.array([[score for _, score in found] for found in per_query], dtype=np.float32)
store.save("store.snapshot")
store.load(path="store.snapshot")
