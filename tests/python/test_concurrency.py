"""Several Python threads share one store and mix upsert, search,
batch_search, save and load.

Each id always stands for the same vector and tenant, so every result can be
checked on its own: the id is one that was upserted, its tenant matches, its
dot or euclidean score is the exact 32-bit score of its vector. A checker
thread additionally compares, under a lock that the writers also take, the
store's answers with an exact search over a model of what the store holds.
Threads are joined with a timeout: a thread still running means a deadlock.
"""
import math
import random
import threading
import time

import numpy
import pytest

import tavrik

DIMS = 4
JOIN_TIMEOUT = 60.0


def vector_of(point_id):
    rng = random.Random(point_id)
    vector = [rng.uniform(-1.0, 1.0) for _ in range(DIMS)]
    vector[point_id % DIMS] += 2.0
    return [float(numpy.float32(x)) for x in vector]


def tenant_of(point_id):
    return f"t{point_id % 3}"


def f32_score(query, vector, metric):
    """The sequential 32-bit score: every step rounded to f32."""
    acc = numpy.float32(-0.0)
    for q, v in zip(query, vector):
        q, v = numpy.float32(q), numpy.float32(v)
        if metric == "dot":
            acc = numpy.float32(acc + numpy.float32(q * v))
        else:
            d = numpy.float32(q - v)
            acc = numpy.float32(acc + numpy.float32(d * d))
    return float(acc if metric == "dot" else numpy.sqrt(acc, dtype=numpy.float32))


def check_result(results, query, limit, metric, tenant, max_id):
    assert len(results) <= limit
    scores = [score for _, score in results]
    assert scores == sorted(scores, reverse=metric != "l2")
    for point_id, score in results:
        assert 0 <= point_id < max_id
        if tenant is not None:
            assert tenant_of(point_id) == tenant
        if metric == "cosine":
            assert abs(score) <= 1.0 + 1e-6
        else:
            assert score == f32_score(query, vector_of(point_id), metric)


class Run:
    def __init__(self, store, max_id, duration):
        self.store = store
        self.max_id = max_id
        self.deadline = time.monotonic() + duration
        self.model_lock = threading.Lock()  # store changes + model changes
        self.model = {}  # id -> vector, what the store holds
        self.saved = {}  # path -> model at save time
        self.errors = []
        self.counts = {}

    def running(self):
        return time.monotonic() < self.deadline and not self.errors

    def count(self, what):
        self.counts[what] = self.counts.get(what, 0) + 1

    def guarded(self, body, seed):
        def target():
            rng = random.Random(seed)
            try:
                while self.running():
                    body(rng)
            except BaseException as error:  # reported by the main thread
                self.errors.append(error)

        return threading.Thread(target=target, daemon=True)

    def upserter(self, rng):
        point_id = rng.randrange(self.max_id)
        with self.model_lock:
            self.store.upsert(point_id, vector_of(point_id), {"tenant_id": tenant_of(point_id)})
            self.model[point_id] = vector_of(point_id)
        self.count("upsert")

    def searcher(self, rng):
        query = [rng.uniform(-2, 2) for _ in range(DIMS)]
        query = [float(numpy.float32(x)) for x in query]
        limit = rng.randrange(0, 40)
        metric = rng.choice(["dot", "cosine", "l2"])
        tenant = rng.choice([None, "t0", "t1", "t2", "nobody"])
        if rng.random() < 0.5:
            results = self.store.search(query, limit, metric, tenant)
            check_result(results, query, limit, metric, tenant, self.max_id)
            self.count("search")
        else:
            queries = [query] + [[rng.uniform(-2, 2) for _ in range(DIMS)] for _ in range(rng.randrange(0, 8))]
            queries = [[float(numpy.float32(x)) for x in q] for q in queries]
            batch = self.store.batch_search(queries, limit, metric, tenant)
            assert len(batch) == len(queries)
            for q, results in zip(queries, batch):
                check_result(results, q, limit, metric, tenant, self.max_id)
            self.count("batch_search")

    def persister(self, tmp_path):
        def body(rng):
            path = str(tmp_path / f"snap{rng.randrange(3)}.bin")
            with self.model_lock:
                if rng.random() < 0.6 or path not in self.saved:
                    self.store.save(path)
                    self.saved[path] = dict(self.model)
                    self.count("save")
                else:
                    self.store.load(path)
                    self.model = dict(self.saved[path])
                    self.count("load")
            time.sleep(0.005)

        return body

    def checker(self, rng):
        """Compares with an exact search over the model (small stores only)."""
        query = [float(numpy.float32(rng.uniform(-2, 2))) for _ in range(DIMS)]
        metric = rng.choice(["dot", "l2"])
        with self.model_lock:
            results = self.store.search(query, 1000, metric)
            model = dict(self.model)
        if len(model) >= 500:
            return
        expected = sorted((f32_score(query, v, metric) for v in model.values()), reverse=metric == "dot")
        assert [score for _, score in results] == expected
        assert sorted(point_id for point_id, _ in results) == sorted(model)
        self.count("checked")


@pytest.mark.parametrize("max_id, duration", [(300, 2.0), (1200, 2.5)], ids=["exact", "crossing"])
def test_mixed_operations_from_threads(tmp_path, max_id, duration):
    store = tavrik.VectorStorage()
    run = Run(store, max_id, duration)
    threads = [
        run.guarded(run.upserter, 1),
        run.guarded(run.upserter, 2),
        run.guarded(run.searcher, 3),
        run.guarded(run.searcher, 4),
        run.guarded(run.searcher, 5),
        run.guarded(run.persister(tmp_path), 6),
        run.guarded(run.checker, 7),
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "deadlock: a thread did not finish"
    if run.errors:
        raise run.errors[0]
    expected_work = ["upsert", "search", "batch_search", "save", "load"]
    if max_id < 500:
        expected_work.append("checked")
    for what in expected_work:
        assert run.counts.get(what, 0) > 0, (what, run.counts)

    # The final state holds exactly the model's points.
    if len(run.model) < 500:
        found = store.search([1.0, 0.5, -0.5, 0.25], 10**6, "dot")
        assert sorted(i for i, _ in found) == sorted(run.model)


def test_batch_search_while_other_threads_upsert():
    """batch_search spreads its queries over worker threads while other
    Python threads keep changing the store between calls."""
    store = tavrik.VectorStorage()
    for i in range(600):
        store.upsert(i, vector_of(i), {"tenant_id": tenant_of(i)})
    stop = threading.Event()
    errors = []

    def writer():
        rng = random.Random(11)
        try:
            while not stop.is_set():
                point_id = rng.randrange(900)
                store.upsert(point_id, vector_of(point_id), {"tenant_id": tenant_of(point_id)})
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=writer, daemon=True) for _ in range(2)]
    for thread in threads:
        thread.start()
    try:
        rng = random.Random(12)
        deadline = time.monotonic() + 1.5
        while time.monotonic() < deadline:
            queries = [[float(numpy.float32(rng.uniform(-2, 2))) for _ in range(DIMS)] for _ in range(64)]
            for q, results in zip(queries, store.batch_search(queries, 10, "l2", "t1")):
                check_result(results, q, 10, "l2", "t1", 900)
    finally:
        stop.set()
        for thread in threads:
            thread.join(JOIN_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "deadlock: a writer did not finish"
    if errors:
        raise errors[0]
    assert not math.isnan(store.search([1.0] * DIMS, 1, "dot")[0][1])
