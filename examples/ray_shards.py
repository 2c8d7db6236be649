"""A collection sharded over processes with Ray: one actor per shard.

Each shard is a Ray actor holding its own `tavrik.VectorStorage`, in its own
process (on one machine or, with a Ray cluster, on many). Points go to the
shard `point_id % shard count`, so a replaced point lands where the old one
was. A search fans the queries out to every shard at once and merges their
answers into the overall top `limit`. Each shard saves its store to shared
storage (here a temporary folder; on a cluster, a file system every node
mounts); when a search finds a shard's actor gone, a new actor loads that
shard's snapshot and answers in its place.

The example starts a local Ray with two CPUs, fills two shards with 20,000
random 64-dimensional points, checks the merged scores against numpy,
compares the throughput with one store of all the points in this process,
saves the shards, kills one actor, checks that the next search recovers it
and answers as before, and shuts Ray down. It gives up after TIME_LIMIT
seconds. Where Ray is not installed it says so and exits with status 0.

Exits with status 1 when any of its checks fails.
"""
import os
import signal
import sys
import tempfile
import time

import numpy as np

try:
    import ray
except ImportError:
    ray = None

import tavrik

SHARDS = 2
TIME_LIMIT = 240  # seconds for the whole example, Ray's start included
CALL_TIMEOUT = 60  # seconds for any one round of calls to the actors
DISTANCES = {"euclidean", "l2"}


class Shard:
    """One shard of the collection; becomes a Ray actor through ray.remote."""

    def __init__(self, snapshot_path=None):
        self.store = tavrik.VectorStorage()
        if snapshot_path is not None:
            self.store.load(snapshot_path)

    def upsert_many(self, ids, vectors, payloads=None):
        for index, point_id in enumerate(ids):
            self.store.upsert(int(point_id), vectors[index], None if payloads is None else payloads[index])
        return len(ids)

    def batch_search(self, queries, limit, metric, tenant_id=None):
        """(ids, scores) arrays of shape (queries, limit), padded with -1 and
        the worst score: two arrays cross between processes far faster than
        lists of tuples."""
        worst = np.inf if metric.lower() in DISTANCES else -np.inf
        ids = np.full((len(queries), limit), -1, dtype=np.int64)
        scores = np.full((len(queries), limit), worst, dtype=np.float32)
        for row, hits in enumerate(self.store.batch_search(queries, limit, metric, tenant_id)):
            if hits:
                ids[row, :len(hits)], scores[row, :len(hits)] = zip(*hits)
        return ids, scores

    def save(self, path):
        self.store.save(path)
        return path


class ShardedCollection:
    """The driver's view of the collection: routing, fan-out and merge, snapshots."""

    def __init__(self, actor_class, shards, snapshot_folder):
        self.actor_class = actor_class
        self.folder = snapshot_folder
        self.actors = [actor_class.remote() for _ in range(shards)]

    def snapshot_path(self, shard):
        return os.path.join(self.folder, f"shard-{shard}.snapshot")

    def upsert_many(self, ids, vectors):
        ids = np.asarray(ids, dtype=np.uint64)
        calls = []
        for shard, actor in enumerate(self.actors):
            mine = ids % len(self.actors) == shard
            calls.append(actor.upsert_many.remote(ids[mine], vectors[mine]))
        return sum(ray.get(calls, timeout=CALL_TIMEOUT))

    def batch_search(self, queries, limit, metric, tenant_id=None):
        queries_ref = ray.put(queries)  # sent to the object store once, read by every shard
        calls = [actor.batch_search.remote(queries_ref, limit, metric, tenant_id)
                 for actor in self.actors]
        per_shard = []
        for shard, call in enumerate(calls):
            try:
                per_shard.append(ray.get(call, timeout=CALL_TIMEOUT))
            except ray.exceptions.RayActorError:
                # The shard's process is gone: a new one takes over from the
                # shard's last snapshot, and answers in its place.
                self.recover(shard)
                call = self.actors[shard].batch_search.remote(queries_ref, limit, metric, tenant_id)
                per_shard.append(ray.get(call, timeout=CALL_TIMEOUT))
        return merge_top(per_shard, limit, metric)

    def save(self):
        calls = [actor.save.remote(self.snapshot_path(shard)) for shard, actor in enumerate(self.actors)]
        return ray.get(calls, timeout=CALL_TIMEOUT)

    def recover(self, shard):
        """A new actor for `shard`, loaded from its snapshot: the points
        upserted since that snapshot are lost with the old actor."""
        self.actors[shard] = self.actor_class.remote(self.snapshot_path(shard))


def merge_top(per_shard, limit, metric):
    """The best `limit` of every row over all shards' (ids, scores), best first."""
    ids = np.concatenate([shard_ids for shard_ids, _ in per_shard], axis=1)
    scores = np.concatenate([shard_scores for _, shard_scores in per_shard], axis=1)
    keys = scores if metric.lower() in DISTANCES else -scores
    order = np.argsort(keys, axis=1, kind="stable")[:, :limit]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(scores, order, axis=1)


def exact_cosine_scores(data, queries, limit):
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    scores = (queries / np.linalg.norm(queries, axis=1, keepdims=True)) @ unit.T
    return -np.sort(-scores, axis=1)[:, :limit]


def queries_per_second(search, queries, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        search(queries)
        best = min(best, time.perf_counter() - started)
    return len(queries) / best


def run(folder):
    rng = np.random.default_rng(17)
    points, dims, limit = 20_000, 64, 10
    data = rng.standard_normal((points, dims)).astype(np.float32)
    queries = rng.standard_normal((2_000, dims)).astype(np.float32)
    failures = []

    actor_class = ray.remote(num_cpus=1)(Shard)
    collection = ShardedCollection(actor_class, SHARDS, folder)
    if collection.upsert_many(np.arange(points), data) != points:
        failures.append("not every point reached a shard")
    one_store = tavrik.VectorStorage()
    for point_id, row in enumerate(data):
        one_store.upsert(point_id, row, None)

    ids, scores = collection.batch_search(queries, limit, "cosine")
    if (ids < 0).any():
        failures.append("a merged answer has fewer than limit hits")
    if (np.diff(scores, axis=1) > 0).any():
        failures.append("merged hits are not ranked best first")
    # Every merged score is the true cosine score of its point (numpy, in
    # float64), and no best hit beats the exact best.
    d64, q64 = data.astype(np.float64), queries.astype(np.float64)
    unit = d64 / np.linalg.norm(d64, axis=1, keepdims=True)
    q_unit = q64 / np.linalg.norm(q64, axis=1, keepdims=True)
    true_scores = np.einsum("qkd,qd->qk", unit[ids], q_unit)
    if not np.allclose(scores, true_scores, atol=1e-5):
        failures.append("a merged score is not its point's cosine score")
    if (scores[:, 0] > exact_cosine_scores(d64, q64, 1)[:, 0] + 1e-5).any():
        failures.append("a best hit beats the exact best")

    sharded_qps = queries_per_second(lambda qs: collection.batch_search(qs, limit, "cosine"), queries)
    single_qps = queries_per_second(lambda qs: one_store.batch_search(qs, limit, "cosine"), queries)
    print(f"{points:,} points, {len(queries):,} queries of top {limit}: {SHARDS} Ray shards "
          f"{sharded_qps:,.0f} queries/s, one store in this process {single_qps:,.0f} queries/s")

    collection.save()
    lost = collection.actors[0]
    ray.kill(lost, no_restart=True)  # shard 0's process dies
    recovered_ids, recovered_scores = collection.batch_search(queries, limit, "cosine")
    if collection.actors[0] is lost:
        failures.append("the search did not notice the lost actor")
    elif not (np.array_equal(recovered_ids, ids) and np.array_equal(recovered_scores, scores)):
        failures.append("the recovered shard answers differently")
    else:
        print("shard 0's actor killed; a new one took over from its snapshot: the same answers")
    return failures


def give_up(signum, frame):
    raise TimeoutError(f"the example took longer than {TIME_LIMIT} s")


def main():
    if ray is None:
        print("skipping ray_shards.py: Ray is not installed for this interpreter (pip install ray)")
        return 0
    signal.signal(signal.SIGALRM, give_up)
    signal.alarm(TIME_LIMIT)
    module_dir = os.path.dirname(os.path.abspath(tavrik.__file__))
    try:
        # The actors' processes must import the same tavrik as this one.
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
                 object_store_memory=200 * 1024 * 1024,
                 runtime_env={"env_vars": {"PYTHONPATH": os.pathsep.join(
                     filter(None, [module_dir, os.environ.get("PYTHONPATH")]))}})
        with tempfile.TemporaryDirectory() as folder:
            failures = run(folder)
    finally:
        signal.alarm(0)
        if ray.is_initialized():
            ray.shutdown()
    for failure in failures[:20]:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
