"""search: argument conversion, metric names, and results on the exact and graph paths."""
import math
import random

import numpy
import pytest
from hypothesis import given, settings, strategies as st

import tavrik
from messages import REFUSED_NAMES, SEARCH_MESSAGE
from small_store import F32_MAX

f32 = numpy.float32


# ------------------------------------------------------ reference arithmetic


def _sum(terms):
    acc = f32(-0.0)
    for term in terms:
        acc = f32(acc + term)
    return acc


def ref_dot(q, p):
    return _sum(f32(f32(a) * f32(b)) for a, b in zip(q, p))


def ref_euclidean(q, p):
    diffs = (f32(f32(a) - f32(b)) for a, b in zip(q, p))
    return f32(numpy.sqrt(_sum(f32(d * d) for d in diffs)))


def ref_cosine(q, p):
    """Cosine similarity, or None when it is undefined."""
    if len(q) != len(p):
        return None
    dot, na, nb = ref_dot(q, p), ref_dot(q, q), ref_dot(p, p)
    if na == 0 or nb == 0:
        return None
    return f32(dot / f32(f32(numpy.sqrt(na)) * f32(numpy.sqrt(nb))))


def ref_exact(points, query, metric):
    """Exact-path scores by id: points that cannot be scored are left out."""
    scores = {}
    for point_id, vector in points.items():
        if metric == "cosine":
            score = ref_cosine(query, vector)
            if score is None:
                continue
        elif len(vector) != len(query):
            continue
        elif metric == "dot":
            score = ref_dot(query, vector)
        else:
            score = ref_euclidean(query, vector)
        scores[point_id] = float(score)
    return scores


def ranked(scores, metric):
    return sorted(scores, reverse=metric != "l2")


def assert_ranked(result, metric):
    values = [score for _, score in result]
    assert values == ranked(values, metric)


def fill(store, points, payloads=None):
    for point_id, vector in points.items():
        store.upsert(point_id, vector, (payloads or {}).get(point_id))


def gaussian_points(count, dims, seed):
    rng = random.Random(seed)
    return {i: [float(f32(rng.gauss(0, 1))) for _ in range(dims)] for i in range(count)}


# ------------------------------------------------------ argument conversion


@pytest.mark.parametrize(
    "metric, kind",
    [
        ("cosine", "cosine"), ("COSINE", "cosine"), ("CoSiNe", "cosine"),
        ("dot_product", "dot"), ("DOT_PRODUCT", "dot"), ("dot", "dot"), ("Dot", "dot"),
        ("euclidean", "l2"), ("Euclidean", "l2"), ("l2", "l2"), ("L2", "l2"),
    ],
)
def test_metric_names_in_any_case(store, metric, kind):
    # Scores tell the three kinds apart: cosine 0.6, dot 3, euclidean sqrt(20).
    store.upsert(1, [3.0, 4.0], None)
    expected = {"cosine": 0.6000000238418579, "dot": 3.0, "l2": 4.4721360206604}[kind]
    assert store.search([1.0, 0.0], 1, metric) == [(1, expected)]


@pytest.mark.parametrize("metric", REFUSED_NAMES)
def test_unsupported_metric_raises_without_note(store, metric):
    store.upsert(1, [1.0], None)
    with pytest.raises(ValueError) as caught:
        store.search([1.0], 1, metric)
    assert type(caught.value) is ValueError
    assert str(caught.value) == SEARCH_MESSAGE
    assert getattr(caught.value, "__notes__", None) is None


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "args, error, parameter",
    [
        # The first wrong argument in parameter order is reported; the metric
        # name is looked up only after every conversion succeeded.
        (("abc", -1, None, 3), TypeError, "query_vector"),
        ((None, 1, "cosine"), TypeError, "query_vector"),
        (({1.0}, 1, "cosine"), TypeError, "query_vector"),
        (([1.0, "x"], -1, "bogus"), TypeError, "query_vector"),
        (([1.0], -1, None, 3), OverflowError, "limit"),
        (([1.0], 2**64, "cosine"), OverflowError, "limit"),
        (([1.0], 2.0, "bogus"), TypeError, "limit"),
        (([1.0], "1", "cosine"), TypeError, "limit"),
        (([1.0], None, "cosine"), TypeError, "limit"),
        (([1.0], 1, None, 3), TypeError, "metric"),
        (([1.0], 1, "bogus", 3), TypeError, "tenant_id"),
        (([1.0], 1, "bogus", b"t"), TypeError, "tenant_id"),
        (([1.0], 1, "bogus", "\ud800"), UnicodeEncodeError, "tenant_id"),
        (([1.0], 1, "\ud800", "t"), UnicodeEncodeError, "metric"),
    ],
)
def test_conversion_errors_follow_parameter_order(store, args, error, parameter):
    store.upsert(1, [1.0], None)
    with pytest.raises(error) as caught:
        store.search(*args)
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]


def test_query_vector_messages(store):
    with pytest.raises(TypeError) as caught:
        store.search("abc", 1, "cosine")
    assert str(caught.value) == "Can't extract `str` to `Vec`"
    assert caught.value.__notes__ == ["while processing 'query_vector'"]
    with pytest.raises(TypeError) as caught:
        store.search(None, 1, "cosine")
    assert str(caught.value) == "'None' is not an instance of 'Sequence'"


@pytest.mark.parametrize("limit, count", [(True, 1), (False, 0), (Index(2), 2), (numpy.int64(3), 3),
                                          (2**64 - 1, 5), (2**63, 5)])
def test_limit_conversions(store, limit, count):
    fill(store, {i: [float(i)] for i in range(5)})
    assert len(store.search([1.0], limit, "l2")) == count


@pytest.mark.parametrize(
    "query",
    [(1, 0), range(1, -1, -1), numpy.array([1.0, 0.0]), numpy.array([1, 0], dtype=numpy.int32),
     b"\x01\x00"],
)
def test_query_vector_accepts_any_number_sequence(store, query):
    store.upsert(1, [2.0, 5.0], None)
    assert store.search(query, 1, "dot") == [(1, 2.0)]


def test_tenant_none_equals_no_tenant(store):
    fill(store, gaussian_points(40, 3, seed=1),
         {i: {"tenant_id": "t"} for i in range(0, 40, 3)})
    for metric in ("cosine", "dot", "l2"):
        plain = store.search([0.5, -1.0, 2.0], 50, metric)
        assert len(plain) == 40
        assert store.search([0.5, -1.0, 2.0], 50, metric, None) == plain
        assert store.search([0.5, -1.0, 2.0], 50, metric, tenant_id=None) == plain


# ------------------------------------------------------ exact path


def test_scores_are_32_bit_values_widened(store):
    store.upsert(1, [0.1], None)
    [(point_id, score)] = store.search([1.0], 1, "dot")
    assert type(point_id) is int and type(score) is float
    assert score == 0.10000000149011612


@pytest.mark.parametrize(
    "metric, expected",
    [
        ("l2", [("A", 0.0), ("C", 1.0), ("B", 1.4142135381698608)]),
        ("dot", [("C", 2.0), ("A", 1.0), ("B", 0.0)]),
    ],
)
def test_abc_example(store, metric, expected):
    fill(store, {1: [1.0, 0.0], 2: [0.0, 1.0], 3: [2.0, 0.0]})
    names = {1: "A", 2: "B", 3: "C"}
    result = store.search([1.0, 0.0], 10, metric)
    assert [(names[i], s) for i, s in result] == expected


def test_abc_example_cosine_ties_in_any_order(store):
    fill(store, {1: [1.0, 0.0], 2: [0.0, 1.0], 3: [2.0, 0.0]})
    result = store.search([1.0, 0.0], 10, "cosine")
    assert sorted(result[:2]) == [(1, 1.0), (3, 1.0)]
    assert result[2] == (2, 0.0)


@pytest.mark.parametrize(
    "metric, expected",
    [
        # Lengths 3 and 0 never match the query; the zero vector fails cosine.
        ("cosine", {1: 0.6000000238418579}),
        ("dot", {1: 3.0, 2: 0.0}),
        ("l2", {1: 4.4721360206604, 2: 1.0}),
    ],
)
def test_exact_path_skips_what_it_cannot_score(store, metric, expected):
    fill(store, {1: [3.0, 4.0], 2: [0.0, 0.0], 3: [1.0, 0.0, 0.0], 4: []})
    assert dict(store.search([1.0, 0.0], 10, metric)) == expected


@pytest.mark.parametrize("metric, expected", [("cosine", []), ("dot", [(1, 0.0)]), ("l2", [(1, 5.0)])])
def test_zero_query(store, metric, expected):
    store.upsert(1, [3.0, 4.0], None)
    assert store.search([0.0, 0.0], 10, metric) == expected


def test_empty_store_and_unknown_tenant(store):
    for metric in ("cosine", "dot", "l2"):
        assert store.search([1.0], 10, metric) == []
    store.upsert(1, [1.0], {"tenant_id": "t"})
    assert store.search([1.0], 10, "dot", "u") == []


def test_limit_zero_and_large_limit_on_exact_path(store):
    points = gaussian_points(20, 3, seed=2)
    fill(store, points)
    for metric in ("cosine", "dot", "l2"):
        assert store.search([1.0, 2.0, 3.0], 0, metric) == []
        assert len(store.search([1.0, 2.0, 3.0], 1000, metric)) == 20


def test_499_points_are_searched_exactly(store):
    points = gaussian_points(499, 4, seed=3)
    fill(store, points)
    query = [0.3, -1.2, 0.8, 2.0]
    for metric in ("cosine", "dot", "l2"):
        reference = ref_exact(points, query, metric)
        result = store.search(query, 100, metric)
        assert len(result) == 100
        assert len({i for i, _ in result}) == 100
        assert all(score == reference[i] for i, score in result)
        assert [s for _, s in result] == ranked(reference.values(), metric)[:100]
        assert len(store.search(query, 1000, metric)) == 499
    # One more point moves the same query onto the graph.
    store.upsert(499, [1.0, 1.0, 1.0, 1.0], None)
    for metric in ("cosine", "dot", "l2"):
        assert 1 <= len(store.search(query, 100, metric)) <= 32


def test_replacing_a_point_does_not_count_twice(store):
    points = gaussian_points(499, 4, seed=4)
    fill(store, points)
    store.upsert(7, [1.0, 2.0, 3.0, 4.0], None)
    assert len(store.search([1.0, 0.0, 0.0, 0.0], 1000, "l2")) == 499


vectors = st.lists(
    st.floats(min_value=-1e6, max_value=1e6, width=32, allow_nan=False), min_size=0, max_size=4
)


@settings(max_examples=60, deadline=None)
@given(
    stored=st.lists(vectors, min_size=0, max_size=25),
    query=vectors,
    limit=st.integers(min_value=0, max_value=30),
    metric=st.sampled_from(["cosine", "dot", "l2"]),
)
def test_exact_path_matches_sequential_reference(stored, query, limit, metric):
    store = tavrik.VectorStorage()
    points = dict(enumerate(stored))
    fill(store, points)
    reference = ref_exact(points, query, metric)
    result = store.search(query, limit, metric)
    assert len(result) == min(limit, len(reference))
    assert len({i for i, _ in result}) == len(result)
    for point_id, score in result:
        assert numpy.float64(score).tobytes() == numpy.float64(reference[point_id]).tobytes()
    assert [s for _, s in result] == ranked(reference.values(), metric)[:limit]


# ------------------------------------------------------ graph path


@pytest.fixture(scope="module")
def graph_store():
    points = gaussian_points(700, 6, seed=5)
    store = tavrik.VectorStorage()
    fill(store, points)
    return store, points


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
def test_graph_path_results(graph_store, metric):
    store, points = graph_store
    rng = random.Random(6)
    for _ in range(20):
        query = [rng.gauss(0, 1) for _ in range(6)]
        q32 = [float(f32(x)) for x in query]
        result = store.search(query, 100, metric)
        assert 1 <= len(result) <= 32
        assert len({i for i, _ in result}) == len(result)
        assert all(type(i) is int and type(s) is float for i, s in result)
        assert_ranked(result, metric)
        for point_id, score in result:
            if metric == "cosine":
                # 1 - (1 - similarity), each step in 32 bits.
                expected = f32(1) - f32(f32(1) - ref_cosine(q32, points[point_id]))
            else:
                expected = ref_exact({0: points[point_id]}, q32, metric)[0]
            assert score == float(expected)
        assert store.search(query, 0, metric) == []


def test_graph_path_keeps_the_closest_candidates_by_cosine(graph_store):
    """The walk's candidates are cut at limit in cosine order, then re-ranked."""
    store, points = graph_store
    rng = random.Random(7)
    for _ in range(20):
        query = [rng.gauss(0, 1) for _ in range(6)]
        by_cosine = store.search(query, 32, "cosine")
        for limit in (1, 5, 10):
            if limit < len(by_cosine) and by_cosine[limit - 1][1] == by_cosine[limit][1]:
                continue
            wanted = {i for i, _ in by_cosine[:limit]}
            for metric in ("dot", "l2"):
                found = store.search(query, limit, metric)
                assert {i for i, _ in found} == wanted


def test_tenant_with_three_points_on_graph_path(store):
    points = gaussian_points(1000, 4, seed=8)
    owners = {17: {"tenant_id": "rare"}, 500: {"tenant_id": "rare"}, 999: {"tenant_id": "rare"}}
    payloads = {i: {"tenant_id": "common"} for i in range(1000)}
    payloads.update(owners)
    fill(store, points, payloads)
    rng = random.Random(9)
    for metric in ("cosine", "dot", "l2"):
        for _ in range(10):
            query = [rng.gauss(0, 1) for _ in range(4)]
            found = store.search(query, 10, metric, "rare")
            assert len(found) <= 3
            assert {i for i, _ in found} <= set(owners)
            common = store.search(query, 10, metric, "common")
            assert not {i for i, _ in common} & set(owners)
        assert store.search(points[17], 10, metric, "nobody") == []


def test_zero_vector_reached_by_the_walk_scores_lowest_under_cosine(store):
    # Nearly every point is a zero vector, so the walk can only collect them.
    points = {i: [0.0, 0.0] for i in range(600)}
    points.update({600: [1.0, 0.0], 601: [1.0, 1.0]})
    fill(store, points)
    result = store.search([1.0, 0.0], 32, "cosine")
    zeros = [(i, s) for i, s in result if i < 600]
    assert zeros, result
    assert all(s == -F32_MAX for _, s in zeros)
    assert result[-len(zeros):] == zeros
    for point_id, score in result:
        if point_id == 600:
            assert score == 1.0
    # The same points on the exact path are left out.
    small = tavrik.VectorStorage()
    fill(small, {i: points[i] for i in list(range(10)) + [600]})
    assert small.search([1.0, 0.0], 32, "cosine") == [(600, 1.0)]


@pytest.mark.parametrize("metric, fixed", [("l2", F32_MAX), ("dot", 0.0)])
def test_mismatched_length_reached_by_the_walk_gets_a_fixed_score(store, metric, fixed):
    points = {i: [1.0, float(i % 7), 2.0] for i in range(560)}
    points.update({1000 + i: [1.0, float(i)] for i in range(5)})
    fill(store, points)
    result = store.search([1.0, 0.0], 32, metric)
    mismatched = [(i, s) for i, s in result if i < 1000]
    assert mismatched, result
    for _, score in mismatched:
        assert score == fixed
        assert math.copysign(1.0, score) == 1.0
    assert_ranked(result, metric)
    for point_id, score in result:
        if point_id >= 1000:
            assert score == ref_exact({0: points[point_id]}, [1.0, 0.0], metric)[0]


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
def test_query_of_another_length_on_graph_path(store, metric):
    fill(store, {i: [1.0, float(i % 5), 0.5] for i in range(520)})
    result = store.search([1.0, 2.0], 100, metric)
    assert 1 <= len(result) <= 32
    fixed = {"cosine": -F32_MAX, "dot": 0.0, "l2": F32_MAX}[metric]
    assert all(score == fixed for _, score in result)


def test_identical_points_on_graph_path(store):
    fill(store, {i: [2.0, 0.0] for i in range(510)})
    for metric, score in (("cosine", 1.0), ("dot", 2.0), ("l2", 1.0)):
        result = store.search([1.0, 0.0], 50, metric)
        assert 1 <= len(result) <= 32
        assert all(s == score for _, s in result)
        assert store.search([1.0, 0.0], 0, metric) == []


def test_graph_path_with_arbitrary_64_bit_ids(store):
    rng = random.Random(10)
    ids = {rng.getrandbits(64) for _ in range(600)} | {0, 2**64 - 1}
    points = {i: [float(f32(rng.gauss(0, 1))) for _ in range(4)] for i in ids}
    fill(store, points, {i: {"tenant_id": "x"} for i in ids})
    for metric in ("cosine", "dot", "l2"):
        for tenant in (None, "x"):
            result = store.search([1.0, 0.0, 0.0, 0.0], 50, metric, tenant)
            assert 1 <= len(result) <= 32
            assert {i for i, _ in result} <= ids
            assert_ranked(result, metric)
    store.upsert(2**64 - 1, [1.0, 0.0, 0.0, 0.0], None)
    assert store.search([1.0, 0.0, 0.0, 0.0], 1, "cosine")[0] == (2**64 - 1, 1.0)


def test_graph_path_after_replacing_points(store):
    rng = random.Random(11)
    points = {i: [float(f32(rng.gauss(0, 1))) for _ in range(3)] for i in range(600)}
    fill(store, points)
    for i in range(0, 600, 3):
        points[i] = [float(f32(rng.gauss(0, 1))) for _ in range(3)]
        store.upsert(i, points[i], None)
    for _ in range(20):
        query = [float(f32(rng.gauss(0, 1))) for _ in range(3)]
        for metric in ("dot", "l2"):
            result = store.search(query, 32, metric)
            assert len({i for i, _ in result}) == len(result)
            reference = ref_exact(points, query, metric)
            assert all(score == reference[i] for i, score in result)


def test_nan_scores_do_not_break_the_exact_ranking(store):
    points = {i: [float(i), 1.0] for i in range(30)}
    points.update({100: [math.nan, 1.0], 101: [1.0, math.nan]})
    fill(store, points)
    for metric in ("cosine", "dot", "l2"):
        result = store.search([1.0, 2.0], 100, metric)
        assert sorted(i for i, _ in result) == sorted(points)
        assert sorted(i for i, s in result if math.isnan(s)) == [100, 101]
