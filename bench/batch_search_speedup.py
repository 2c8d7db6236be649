"""How much faster batch_search answers 1,000 queries than a Python loop of
search calls, on a 10,000-point store (the graph path).

    PYTHONPATH=build/py3.11 python3 bench/batch_search_speedup.py
"""
import argparse
import os
import random
import statistics
import time

import tavrik


def build_store(points, dims, rng):
    store = tavrik.VectorStorage()
    for point_id in range(points):
        store.upsert(point_id, [rng.gauss(0.0, 1.0) for _ in range(dims)], None)
    return store


def best_of(repeats, work):
    timings = []
    for _ in range(repeats):
        started = time.perf_counter()
        work()
        timings.append(time.perf_counter() - started)
    return min(timings), statistics.median(timings)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--points", type=int, default=10_000)
    parser.add_argument("--queries", type=int, default=1_000)
    parser.add_argument("--dims", type=int, default=128)
    parser.add_argument("--limit", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    rng = random.Random(42)
    store = build_store(args.points, args.dims, rng)
    queries = [[rng.gauss(0.0, 1.0) for _ in range(args.dims)] for _ in range(args.queries)]

    def loop():
        return [store.search(query, args.limit, "cosine") for query in queries]

    def batch():
        return store.batch_search(queries, args.limit, "cosine")

    assert loop() == batch(), "batch_search must answer exactly like search"
    loop_best, loop_median = best_of(args.repeats, loop)
    batch_best, batch_median = best_of(args.repeats, batch)
    print(f"processors available: {len(os.sched_getaffinity(0))}")
    print(f"store: {args.points} points x {args.dims} dims; {args.queries} queries, limit {args.limit}")
    print(f"search loop : best {loop_best * 1e3:8.1f} ms   median {loop_median * 1e3:8.1f} ms")
    print(f"batch_search: best {batch_best * 1e3:8.1f} ms   median {batch_median * 1e3:8.1f} ms")
    print(f"speed-up (best): {loop_best / batch_best:.2f}x")


if __name__ == "__main__":
    main()
