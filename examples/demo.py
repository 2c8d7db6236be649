"""A short tour of tavrik: create a store, upsert, search, save and load.

Exits with status 1 when one of its checks fails: the loaded copy must
answer as the saved store did, and an unknown metric must be refused.
"""
import os
import random
import sys
import tempfile
import time

import tavrik


def main():
    rng = random.Random(7)
    dims = 64
    failures = []
    store = tavrik.VectorStorage()

    print("Upserting 2,000 points of dimension", dims, "...")
    started = time.perf_counter()
    for point_id in range(2_000):
        vector = [rng.gauss(0.0, 1.0) for _ in range(dims)]
        tenant = "acme" if point_id % 2 == 0 else "globex"
        store.upsert(point_id, vector, {"tenant_id": tenant, "rank": point_id})
    print(f"  done in {time.perf_counter() - started:.2f} s")

    query = [rng.gauss(0.0, 1.0) for _ in range(dims)]
    for metric in ("cosine", "dot", "l2"):
        print(f"Top 3 by {metric}:", store.search(query, 3, metric))
    print("Top 3 for tenant 'acme':", store.search(query, 3, "cosine", tenant_id="acme"))

    queries = [[rng.gauss(0.0, 1.0) for _ in range(dims)] for _ in range(200)]
    started = time.perf_counter()
    results = store.batch_search(queries, 5, "cosine")
    print(f"batch_search answered {len(results)} queries in "
          f"{time.perf_counter() - started:.3f} s")

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "store.snapshot")
        store.save(path)
        print(f"Saved a snapshot of {os.path.getsize(path):,} bytes")
        copy = tavrik.VectorStorage()
        copy.load(path)
        same = copy.search(query, 3, "cosine") == store.search(query, 3, "cosine")
        print("Loaded copy answers the same:", same)
        if not same:
            failures.append("the loaded copy answers differently")

    try:
        store.search(query, 3, "manhattan")
        failures.append("an unknown metric was accepted")
    except ValueError as error:
        print("Unsupported metric:", error)

    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
