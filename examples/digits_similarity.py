"""Nearest-neighbour classification of handwritten digits with tavrik.

Uses the 8x8 digit images bundled with scikit-learn (1,797 images, 64 pixel
intensities each). Four of every five images go into a store, the rest are
held out as queries. Because the store holds more than 500 points, every
search walks the graph; the answers are compared with an exact brute-force
scan done in numpy, and the label of the nearest neighbour is used as a
prediction: the graph trades accuracy for speed, and the output shows how
much. A second, smaller store (below 500 points, searched by an exact
scan) must agree with numpy on every query.

Exits with status 1 when any of its checks fails.
"""
import sys

import numpy as np
from sklearn.datasets import load_digits

import tavrik

LIMIT = 5
# The graph links each new point to one neighbour per layer and its walk keeps
# at most 32 candidates, and its shape is random from run to run: its best hit
# is the true nearest neighbour for roughly 20% to 70% of these queries, and
# label accuracy lands between about 85% and 97% (exact search: 97.8%). The
# floors below are sanity bounds far above chance (10%), not quality targets.
GRAPH_MIN_ACCURACY = 0.70  # nearest neighbour has the query's label
GRAPH_MIN_RECALL = 0.05  # graph's best hit is as good as the exact best
SCORE_TOLERANCE = 1e-5


def cosine_matrix(queries, stored):
    q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    s = stored / np.linalg.norm(stored, axis=1, keepdims=True)
    return q @ s.T


def build_store(ids, vectors, labels):
    store = tavrik.VectorStorage()
    for point_id, vector, label in zip(ids, vectors, labels):
        store.upsert(int(point_id), vector.tolist(), {"label": int(label)})
    return store


def main():
    digits = load_digits()
    data = digits.data.astype(np.float32)
    labels = digits.target
    all_ids = np.arange(len(data))
    held_out = all_ids % 5 == 0
    train_ids, query_ids = all_ids[~held_out], all_ids[held_out]
    print(f"{len(data)} digits: {len(train_ids)} stored, {len(query_ids)} held out as queries")

    failures = []

    # Graph path: more than 500 points.
    store = build_store(train_ids, data[train_ids], labels[train_ids])
    queries = data[query_ids]
    results = store.batch_search(queries.tolist(), LIMIT, "cosine")
    exact = cosine_matrix(queries.astype(np.float64), data[train_ids].astype(np.float64))
    exact_best = exact.max(axis=1)
    exact_best_ids = train_ids[exact.argmax(axis=1)]

    correct = exact_correct = recalled = 0
    position = {int(point_id): column for column, point_id in enumerate(train_ids)}
    for row, (query_id, hits) in enumerate(zip(query_ids, results)):
        if not 1 <= len(hits) <= LIMIT:
            failures.append(f"query {query_id}: {len(hits)} hits")
            continue
        scores = [score for _, score in hits]
        if scores != sorted(scores, reverse=True):
            failures.append(f"query {query_id}: hits not ranked best first")
        for point_id, score in hits:
            expected = exact[row, position[point_id]]
            if abs(score - expected) > SCORE_TOLERANCE:
                failures.append(f"query {query_id}: score {score} for {point_id}, numpy {expected}")
        best_id, best_score = hits[0]
        correct += labels[best_id] == labels[query_id]
        exact_correct += labels[exact_best_ids[row]] == labels[query_id]
        recalled += best_score >= exact_best[row] - SCORE_TOLERANCE

    accuracy = correct / len(query_ids)
    exact_accuracy = exact_correct / len(query_ids)
    recall = recalled / len(query_ids)
    print(f"graph search:  nearest neighbour has the same label for {accuracy:.1%} of queries")
    print(f"numpy (exact): nearest neighbour has the same label for {exact_accuracy:.1%} of queries")
    print(f"graph's best hit equals the exact best for {recall:.1%} of queries")
    if accuracy < GRAPH_MIN_ACCURACY:
        failures.append(f"graph accuracy {accuracy:.3f} below {GRAPH_MIN_ACCURACY}")
    if recall < GRAPH_MIN_RECALL:
        failures.append(f"graph recall {recall:.3f} below {GRAPH_MIN_RECALL}")

    # The graph path answers at most 32 hits, whatever the limit.
    if len(store.search(queries[0].tolist(), 100, "cosine")) > 32:
        failures.append("graph search returned more than 32 hits")

    # Exact path: a store of 400 points must match numpy's ranking.
    small_ids = train_ids[:400]
    small = build_store(small_ids, data[small_ids], labels[small_ids])
    small_exact = cosine_matrix(queries.astype(np.float64), data[small_ids].astype(np.float64))
    small_results = small.batch_search(queries.tolist(), 1, "cosine")
    agree = 0
    for row, hits in enumerate(small_results):
        agree += len(hits) == 1 and abs(hits[0][1] - small_exact[row].max()) <= SCORE_TOLERANCE
    print(f"exact scan over {len(small_ids)} points agrees with numpy on {agree}/{len(queries)} queries")
    if agree != len(queries):
        failures.append(f"exact scan disagrees with numpy on {len(queries) - agree} queries")

    # Euclidean distances on the exact path, checked against numpy.
    hits = small.search(queries[0].tolist(), 3, "l2")
    distances = np.linalg.norm(data[small_ids] - queries[0], axis=1)
    if not np.allclose([score for _, score in hits], np.sort(distances)[:3], atol=1e-4):
        failures.append("euclidean distances differ from numpy")
    for point_id, score in hits:
        if abs(score - distances[position[point_id]]) > 1e-4:
            failures.append(f"euclidean distance {score} for {point_id} differs from numpy")

    for failure in failures[:20]:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
