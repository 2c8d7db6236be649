"""Exact results at any size: shards of at most 499 points.

A tavrik store of fewer than 500 points answers every search with an exact
scan; from 500 points on it walks its graph, which finds only some of the
true nearest neighbours. `ShardedStore` keeps a collection of any size as
stores of at most 499 points each, so every shard is scanned exactly; a
search asks every shard (one `batch_search` per shard for many queries) and
merges their answers into the overall top `limit`. The merged answer is
the exact answer: every true neighbour is in the top `limit` of its own
shard.

The example fills 10,000 random 64-dimensional points, checks every answer
against an exact scan done in numpy, and prints the recall against what the
plain store's graph gives for the same queries.

Exits with status 1 when any of its checks fails.
"""
import heapq
import sys
import time

import numpy as np

import tavrik

SHARD_CAPACITY = 499  # one point fewer than the size at which the graph takes over
# Metrics whose scores are distances: the smallest is best.
DISTANCES = {"euclidean", "l2"}


class ShardedStore:
    """Points spread over stores of at most SHARD_CAPACITY points each.

    A new id goes to the last shard while it has room, then to a new one; an
    id already present is replaced in the shard that holds it, so no shard
    ever grows past SHARD_CAPACITY and no id lives in two shards.
    """

    def __init__(self):
        self.shards = []
        self.shard_of = {}  # point id -> index of the shard holding it

    def __len__(self):
        return len(self.shard_of)

    def upsert(self, point_id, vector, payload):
        shard = self.shard_of.get(point_id)
        if shard is None:
            if not self.shards or len(self.shards[-1][1]) >= SHARD_CAPACITY:
                self.shards.append((tavrik.VectorStorage(), set()))
            shard = len(self.shards) - 1
        store, members = self.shards[shard]
        store.upsert(point_id, vector, payload)  # raises before anything is recorded
        members.add(point_id)
        self.shard_of[point_id] = shard

    def search(self, query_vector, limit, metric, tenant_id=None):
        return self.batch_search([query_vector], limit, metric, tenant_id)[0]

    def batch_search(self, query_vectors, limit, metric, tenant_id=None):
        per_shard = [store.batch_search(query_vectors, limit, metric, tenant_id)
                     for store, _ in self.shards]
        if not per_shard:
            return [[] for _ in query_vectors]
        pick = heapq.nsmallest if metric.lower() in DISTANCES else heapq.nlargest
        return [pick(limit, (hit for hits in answers for hit in hits), key=lambda hit: hit[1])
                for answers in zip(*per_shard)]


def exact_top(data, queries, limit):
    """Ids and cosine scores of the true top `limit`, computed in float64."""
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    scores = (queries / np.linalg.norm(queries, axis=1, keepdims=True)) @ unit.T
    order = np.argsort(-scores, axis=1, kind="stable")[:, :limit]
    return order, np.take_along_axis(scores, order, axis=1)


def recall(answers, truth_ids):
    found = sum(len({point_id for point_id, _ in hits} & set(row.tolist()))
                for hits, row in zip(answers, truth_ids))
    return found / truth_ids.size


def main():
    rng = np.random.default_rng(11)
    points, dims, limit = 10_000, 64, 10
    data = rng.standard_normal((points, dims)).astype(np.float32)
    queries = rng.standard_normal((500, dims)).astype(np.float32)

    sharded, plain = ShardedStore(), tavrik.VectorStorage()
    for point_id, row in enumerate(data):
        sharded.upsert(point_id, row, None)
        plain.upsert(point_id, row, None)
    failures = []
    sizes = [len(members) for _, members in sharded.shards]
    print(f"{len(sharded)} points in {len(sizes)} shards of at most {max(sizes)} points")
    if max(sizes) > SHARD_CAPACITY or len(sharded) != points:
        failures.append(f"shard sizes {sizes}")

    started = time.perf_counter()
    answers = sharded.batch_search(queries, limit, "cosine")
    elapsed = time.perf_counter() - started
    truth_ids, truth_scores = exact_top(data.astype(np.float64), queries.astype(np.float64), limit)
    for row, hits in enumerate(answers):
        scores = np.array([score for _, score in hits])
        if len(hits) != limit or not np.allclose(scores, truth_scores[row], atol=1e-5):
            failures.append(f"query {row}: scores {scores[:3]}... against numpy {truth_scores[row][:3]}...")
    sharded_recall = recall(answers, truth_ids)
    graph_recall = recall(plain.batch_search(queries, limit, "cosine"), truth_ids)
    print(f"sharded: recall@{limit} {sharded_recall:.3f}, {len(queries) / elapsed:,.0f} queries/s")
    print(f"one store (graph): recall@{limit} {graph_recall:.3f}")
    if sharded_recall < 0.999:  # float32 against float64 may swap a near tie
        failures.append(f"sharded recall {sharded_recall:.3f}")

    # Every metric, a tenant, and a replaced point, checked against numpy.
    for point_id in range(0, points, 3):
        sharded.upsert(point_id, data[point_id], {"tenant_id": "thirds"})
    query = queries[0]
    thirds = np.arange(0, points, 3)
    expected = {
        "dot": np.sort(data[thirds].astype(np.float64) @ query)[::-1][:limit],
        "l2": np.sort(np.linalg.norm(data[thirds].astype(np.float64) - query, axis=1))[:limit],
    }
    for metric, scores in expected.items():
        hits = sharded.search(query, limit, metric, tenant_id="thirds")
        if any(point_id % 3 for point_id, _ in hits) or \
                not np.allclose([score for _, score in hits], scores, rtol=1e-5, atol=1e-4):
            failures.append(f"{metric} with a tenant differs from numpy")
    sharded.upsert(5, -query, None)
    if sharded.search(query, 1, "l2", None)[0][0] == 5 or len(sharded) != points:
        failures.append("replacing a point did not replace it")
    if sharded.search(-query, 1, "cosine")[0][0] != 5:
        failures.append("the replaced point is not found")

    for failure in failures[:20]:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
