"""The figures the README gives users up front, measured on the current build.

  recall   recall@10 of cosine search against an exact numpy scan, random
           64-d Gaussian data, at 499, 500, 2,000, 10,000 and 100,000 points
           (500 queries; the graph is random, so each size is built
           --builds times and the median and range are shown);
  tenants  on 10,000 such points, how many of 10 results a tenant holding
           1%, 10%, 25% or 50% of the points gets (mean over the queries),
           and on how many queries it gets none;
  shards   the exact_shards.py recipe on 10,000 x 64: recall@10 and
           queries/s for a batch of 1,000 (best of 3);
  numpy    100,000 upserts of 64 floats from float32 rows, against the same
           from lists plus the .tolist() that makes them (best of 3).

    PYTHONPATH=build/py3.11 python3 bench/user_figures.py [--builds N]
"""
from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import tavrik

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "examples"))
from compare import ground_truth_cosine, recall  # noqa: E402
from exact_shards import ShardedStore  # noqa: E402

K = 10
DIMS = 64


def build(data, payloads=None):
    store = tavrik.VectorStorage()
    for point_id, row in enumerate(data):
        store.upsert(point_id, row, None if payloads is None else payloads[point_id])
    return store


def ids_of(results):
    return [[point_id for point_id, _ in hits] for hits in results]


def best_seconds(work, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - started)
    return best


def measure_recall(rng, builds):
    queries = rng.standard_normal((500, DIMS)).astype(np.float32)
    for size in (499, 500, 2_000, 10_000, 100_000):
        data = rng.standard_normal((size, DIMS)).astype(np.float32)
        truth = ground_truth_cosine(data, queries)
        values = [recall(ids_of(build(data).batch_search(queries, K, "cosine")), truth)
                  for _ in range(builds)]
        print(f"  recall@{K} at {size:>7,} points: median {statistics.median(values):.3f} "
              f"(range {min(values):.3f}-{max(values):.3f})", flush=True)


def measure_tenants(rng, builds):
    size = 10_000
    data = rng.standard_normal((size, DIMS)).astype(np.float32)
    queries = rng.standard_normal((500, DIMS)).astype(np.float32)
    for share in (0.01, 0.10, 0.25, 0.50):
        members = set(rng.choice(size, int(share * size), replace=False).tolist())
        payloads = [{"tenant_id": "t" if i in members else "other"} for i in range(size)]
        means, empty = [], []
        for _ in range(builds):
            counts = [len(hits) for hits in
                      build(data, payloads).batch_search(queries, K, "cosine", tenant_id="t")]
            means.append(statistics.mean(counts))
            empty.append(sum(count == 0 for count in counts) / len(counts))
        print(f"  tenant with {share:4.0%} of {size:,} points: {statistics.median(means):.1f} of {K} "
              f"results (range {min(means):.1f}-{max(means):.1f}), none on "
              f"{statistics.median(empty):.0%} of queries", flush=True)


def measure_shards(rng):
    data = rng.standard_normal((10_000, DIMS)).astype(np.float32)
    queries = rng.standard_normal((1_000, DIMS)).astype(np.float32)
    sharded = ShardedStore()
    for point_id, row in enumerate(data):
        sharded.upsert(point_id, row, None)
    seconds = best_seconds(lambda: sharded.batch_search(queries, K, "cosine"))
    found = recall(ids_of(sharded.batch_search(queries, K, "cosine")),
                   ground_truth_cosine(data, queries))
    print(f"  shards of <= 499 over 10,000 x {DIMS}: {len(sharded.shards)} shards, recall@{K} "
          f"{found:.3f}, {len(queries) / seconds:,.0f} queries/s (batch of {len(queries):,})",
          flush=True)


def measure_numpy(rng):
    data = rng.standard_normal((100_000, DIMS)).astype(np.float32)
    from_rows = best_seconds(lambda: build(data))
    tolist = best_seconds(data.tolist)
    lists = data.tolist()
    from_lists = best_seconds(lambda: build(lists))
    print(f"  100,000 upserts of {DIMS} floats: {from_rows:.2f} s from float32 rows, "
          f"{from_lists:.2f} s from lists plus {tolist:.2f} s for tolist", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--builds", type=int, default=3)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--only", choices=("recall", "tenants", "shards", "numpy"))
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    sections = {"recall": lambda: measure_recall(rng, args.builds),
                "tenants": lambda: measure_tenants(rng, args.builds),
                "shards": lambda: measure_shards(rng),
                "numpy": lambda: measure_numpy(rng)}
    for name, run in sections.items():
        if args.only in (None, name):
            print(name, flush=True)
            run()


if __name__ == "__main__":
    main()
