"""batch_search: conversions, metric message, and agreement with search for every query."""
import random
import sys
import threading

import numpy
import pytest

import tavrik
from child_python import run_python
from lying_sequences import LyingLength
from messages import BATCH_MESSAGE, REFUSED_NAMES


def gaussian(rng, dims):
    return [rng.gauss(0, 1) for _ in range(dims)]


def make_store(count, dims, seed, tenants=("a", "b", "c")):
    rng = random.Random(seed)
    store = tavrik.VectorStorage()
    for i in range(count):
        payload = {"tenant_id": tenants[i % len(tenants)]} if i % 4 else None
        store.upsert(i, gaussian(rng, dims), payload)
    return store


@pytest.fixture(scope="module")
def exact_store():
    return make_store(300, 5, seed=1)


@pytest.fixture(scope="module")
def graph_store():
    return make_store(800, 5, seed=2)


@pytest.fixture(scope="module")
def queries():
    rng = random.Random(3)
    batch = [gaussian(rng, 5) for _ in range(150)]
    # Queries that the stores cannot fully score ride along.
    batch[10] = [0.0] * 5
    batch[20] = [1.0, 2.0]
    batch[30] = []
    return batch


@pytest.mark.parametrize("which", ["exact_store", "graph_store"])
@pytest.mark.parametrize("metric", ["cosine", "DOT", "l2", "dot_product", "Euclidean"])
@pytest.mark.parametrize("tenant", [None, "a", "zzz"])
@pytest.mark.parametrize("limit", [0, 7, 100])
def test_each_list_equals_search(request, queries, which, metric, tenant, limit):
    store = request.getfixturevalue(which)
    expected = [store.search(q, limit, metric, tenant) for q in queries]
    result = store.batch_search(queries, limit, metric, tenant)
    assert type(result) is list and len(result) == len(queries)
    assert result == expected
    assert all(type(r) is list for r in result)


@pytest.mark.parametrize("count", [0, 1, 2, 3])
def test_small_batches(exact_store, queries, count):
    batch = queries[:count]
    assert exact_store.batch_search(batch, 5, "cosine") == [exact_store.search(q, 5, "cosine") for q in batch]


def test_empty_batch_with_valid_metric(store):
    assert store.batch_search([], 5, "cosine") == []
    assert store.batch_search((), 0, "l2", "t") == []


@pytest.mark.parametrize("batch", [[], [[1.0]], [[1.0], [2.0]]])
@pytest.mark.parametrize("metric", REFUSED_NAMES)
def test_unsupported_metric_uses_the_batch_message(store, batch, metric):
    store.upsert(1, [1.0], None)
    with pytest.raises(ValueError) as caught:
        store.batch_search(batch, 1, metric)
    assert type(caught.value) is ValueError
    assert str(caught.value) == BATCH_MESSAGE
    assert getattr(caught.value, "__notes__", None) is None


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "query_vectors, error, message",
    [
        (["abc"], TypeError, "Can't extract `str` to `Vec`"),
        ([[1.0], "abc"], TypeError, "Can't extract `str` to `Vec`"),
        ("abc", TypeError, "Can't extract `str` to `Vec`"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
        ({(1.0,)}, TypeError, "'set' object is not an instance of 'Sequence'"),
        ([[1.0], {1.0}], TypeError, "'set' object is not an instance of 'Sequence'"),
        ([None], TypeError, "'None' is not an instance of 'Sequence'"),
        ([[1.0], 2.0], TypeError, "'float' object is not an instance of 'Sequence'"),
        ([Outer.Inner()], TypeError, "'Outer.Inner' object is not an instance of 'Sequence'"),
        (([1.0] for _ in range(2)), TypeError, "'generator' object is not an instance of 'Sequence'"),
        ([[1.0, "x"]], TypeError, None),
        ([[10**400]], OverflowError, None),
    ],
)
def test_query_vectors_errors_carry_one_note(store, query_vectors, error, message):
    with pytest.raises(error) as caught:
        store.batch_search(query_vectors, 1, "bogus")
    if message is not None:
        assert str(caught.value) == message
    assert caught.value.__notes__ == ["while processing 'query_vectors'"]


@pytest.mark.parametrize(
    "args, error, parameter",
    [
        (([[1.0]], -1, "bogus", 3), OverflowError, "limit"),
        (([[1.0]], 1.0, "cosine"), TypeError, "limit"),
        (([[1.0]], 1, None, 3), TypeError, "metric"),
        (([[1.0]], 1, "bogus", 3), TypeError, "tenant_id"),
        (([], 1, "bogus", 3), TypeError, "tenant_id"),
        (([[1.0]], 1, "cosine", "\udc80"), UnicodeEncodeError, "tenant_id"),
    ],
)
def test_conversion_errors_come_before_the_metric_name(store, args, error, parameter):
    with pytest.raises(error) as caught:
        store.batch_search(*args)
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize(
    "query_vectors",
    [
        numpy.array([[1.0, 0.0], [0.0, 1.0], [3.0, 4.0]], dtype=numpy.float32),
        numpy.array([[1, 0], [0, 1], [3, 4]], dtype=numpy.int64),
        ((1.0, 0.0), range(0, 2), b"\x03\x04"),
        [numpy.array([1.0, 0.0]), (0, 1), [3.0, 4.0]],
    ],
)
def test_query_vectors_accept_nested_sequences(store, query_vectors):
    store.upsert(1, [2.0, 1.0], None)
    assert store.batch_search(query_vectors, 1, "dot") == [[(1, 2.0)], [(1, 1.0)], [(1, 10.0)]]


@pytest.mark.parametrize("length", [2**62, sys.maxsize, 2**63, -1, RuntimeError("no length"), 0])
def test_reported_batch_length_is_only_a_hint(store, length):
    store.upsert(1, [1.0], None)
    batch = LyingLength(length, [[1.0], [2.0], [3.0]])
    try:
        result = store.batch_search(batch, 1, "dot")
    except MemoryError:
        assert length == 2**62
        return
    assert result == [[(1, 1.0)], [(1, 2.0)], [(1, 3.0)]]


def test_concurrent_callers_get_their_own_results(graph_store, exact_store, queries):
    jobs = []
    for store in (graph_store, exact_store):
        for metric in ("cosine", "dot", "l2"):
            for tenant in (None, "b"):
                expected = [store.search(q, 10, metric, tenant) for q in queries]
                jobs.append((store, metric, tenant, expected))
    failures = []
    barrier = threading.Barrier(len(jobs))

    def run(store, metric, tenant, expected):
        barrier.wait()
        for _ in range(3):
            if store.batch_search(queries, 10, metric, tenant) != expected:
                failures.append((metric, tenant))

    threads = [threading.Thread(target=run, args=job) for job in jobs]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_batch_sees_upserts_made_between_calls(store):
    store.upsert(1, [1.0, 0.0], None)
    assert store.batch_search([[1.0, 0.0]], 5, "dot") == [[(1, 1.0)]]
    store.upsert(2, [2.0, 0.0], None)
    assert store.batch_search([[1.0, 0.0]] * 3, 5, "dot") == [[(2, 2.0), (1, 1.0)]] * 3


FORKED_BATCHES = {
    "os.fork": """
        import os
        pid = os.fork()
        if pid == 0:
            os._exit(0 if batch() == expected else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    """,
    "multiprocessing fork pool": """
        import multiprocessing
        def in_child(_):
            return batch() == expected
        with multiprocessing.get_context("fork").Pool(2) as pool:
            assert pool.map(in_child, range(4), chunksize=1) == [True] * 4
    """,
}


# A child forked after the worker pool exists gets a pool of its own; the
# parent's keeps working.
@pytest.mark.parametrize("fork", FORKED_BATCHES.values(), ids=FORKED_BATCHES.keys())
def test_forked_children_run_batches(fork):
    script = """
        import tavrik
        store = tavrik.VectorStorage()
        for i in range(600):
            store.upsert(i, [float(i % 7), float(i % 5), 1.0], None)
        queries = [[float(q), 1.0, 0.5] for q in range(40)]
        def batch():
            return store.batch_search(queries, 5, "dot")
        expected = [store.search(q, 5, "dot") for q in queries]
        assert batch() == expected
    """
    after = """
        assert batch() == expected
        print("ok")
    """
    assert run_python(script + fork + after) == "ok\n"
