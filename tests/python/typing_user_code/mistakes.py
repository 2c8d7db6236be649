"""User code with mistakes: each line marked "# error" must be reported."""
from pathlib import Path

import numpy as np

import tavrik

store = tavrik.VectorStorage()
vector = np.zeros(4, dtype=np.float32)
store.upsert("1", vector, None)  # error
store.upsert(1.5, vector, None)  # error
store.upsert(1, "1.0 2.0", None)  # error
store.upsert(1, {1.0, 2.0}, None)  # error
store.upsert(1, [1.0, "2"], None)  # error
store.upsert(1, vector, {1: "a"})  # error
store.upsert(1, vector, [("tenant_id", "a")])  # error
store.upsert(1, vector)  # error
store.upsert(1, vector, None, None)  # error
store.search(vector, "3", "cosine")  # error
store.search(vector, 3.0, "cosine")  # error
store.search(vector, 3, None)  # error
store.search(vector, 3, "cosine", tenant_id=7)  # error
store.search(vector, 3, "cosine", tenant="acme")  # error
store.search(3, 3, "cosine")  # error
store.batch_search([["a", "b"]], 3, "dot")  # error
store.batch_search(5, 3, "dot")  # error
store.batch_search([1.0, 2.0], 3, "dot")  # error
text: str = store.search(vector, 3, "cosine")  # error
flat: list[tuple[int, float]] = store.batch_search([vector], 3, "cosine")  # error
store.save(Path("store.snapshot"))  # error
store.load(None)  # error
tavrik.VectorStorage(3)  # error
store.delete(1)  # error
