"""Numpy in and out: arrays straight into tavrik, results back as arrays.

A one-dimensional float32 or float64 array (or a row of a 2-D one) can be
passed wherever a vector goes, and a 2-D array as the queries of
`batch_search`: tavrik reads the numbers straight from the array's memory,
which is quicker than converting it with `.tolist()` first and stores the
same floats. Results come back as lists of (id, score) tuples, one list per
query, shorter than `limit` where fewer points qualify; `hits_to_arrays`
turns them into padded `ids` and `scores` arrays.

The example times 100,000 upserts from float32 rows against the same upserts
from lists (plus the `.tolist()` they need), checks that both stores hold
the same floats, and checks the padded arrays against an exact numpy scan.

Exits with status 1 when any of its checks fails.
"""
import os
import sys
import tempfile
import time

import numpy as np

import tavrik
import tavrik_snapshot

MISSING_ID = -1  # ids above 2**63 - 1 need a uint64 array and another marker


def hits_to_arrays(results, limit):
    """(ids, scores): int64 and float32 arrays of shape (queries, limit).

    Row i holds query i's hits best first; places without a hit hold
    MISSING_ID and NaN.
    """
    ids = np.full((len(results), limit), MISSING_ID, dtype=np.int64)
    scores = np.full((len(results), limit), np.nan, dtype=np.float32)
    for row, hits in enumerate(results):
        if hits:
            found_ids, found_scores = zip(*hits)
            ids[row, :len(hits)] = found_ids
            scores[row, :len(hits)] = found_scores
    return ids, scores


def timed(work):
    started = time.perf_counter()
    result = work()
    return time.perf_counter() - started, result


def fill(store, rows):
    for point_id, row in enumerate(rows):
        store.upsert(point_id, row, None)


def main():
    rng = np.random.default_rng(3)
    points, dims, limit = 100_000, 64, 10
    data = rng.standard_normal((points, dims)).astype(np.float32)
    failures = []

    from_arrays, from_lists = tavrik.VectorStorage(), tavrik.VectorStorage()
    array_seconds, _ = timed(lambda: fill(from_arrays, data))
    tolist_seconds, lists = timed(data.tolist)
    list_seconds, _ = timed(lambda: fill(from_lists, lists))
    print(f"{points:,} upserts of {dims} floats: {array_seconds:.2f} s from float32 rows, "
          f"{list_seconds:.2f} s from lists plus {tolist_seconds:.2f} s for tolist")
    with tempfile.TemporaryDirectory() as folder:
        # Same floats from both sources: the vector read back from a one-point
        # snapshot of each (not the files' bytes: each store draws its graph
        # level at random) is the same bits.
        for point_id in (0, points // 2, points - 1):
            stored = []
            for source in (data[point_id], lists[point_id]):
                one = tavrik.VectorStorage()
                one.upsert(point_id, source, None)
                path = os.path.join(folder, f"{len(stored)}.snapshot")
                one.save(path)
                [(_, vector, _)] = tavrik_snapshot.points(path)
                stored.append(np.asarray(vector, dtype=np.float32).tobytes())
            if stored[0] != stored[1] or stored[0] != data[point_id].tobytes():
                failures.append(f"row {point_id}: an array and a list store different floats")

    # Out: a 2-D array of queries in, padded arrays back. 400 points and a
    # tenant of 5 of them: exact scans, so numpy's ranking is the answer.
    small = tavrik.VectorStorage()
    for point_id, row in enumerate(data[:400]):
        small.upsert(point_id, row, {"tenant_id": "five"} if point_id < 5 else None)
    queries = rng.standard_normal((50, dims)).astype(np.float32)
    ids, scores = hits_to_arrays(small.batch_search(queries, limit, "dot"), limit)
    exact = queries.astype(np.float64) @ data[:400].astype(np.float64).T
    expected_ids = np.argsort(-exact, axis=1, kind="stable")[:, :limit]
    if ids.shape != (len(queries), limit) or not np.array_equal(ids, expected_ids):
        failures.append("ids differ from numpy's ranking")
    if not np.allclose(scores, np.take_along_axis(exact, expected_ids, axis=1), rtol=1e-5, atol=1e-4):
        failures.append("scores differ from numpy's")
    ids, scores = hits_to_arrays(small.batch_search(queries, limit, "dot", tenant_id="five"), limit)
    if (ids[:, :5] == MISSING_ID).any() or not (ids[:, 5:] == MISSING_ID).all() \
            or not np.isnan(scores[:, 5:]).all() or np.isnan(scores[:, :5]).any():
        failures.append("a tenant of five points is not padded after five hits")
    print(f"padded results: ids {ids.dtype} {ids.shape}, scores {scores.dtype} {scores.shape}")

    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
