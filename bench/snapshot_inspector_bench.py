"""tavrik_snapshot against VectorStorage.load on one saved store (default
100,000 points x 128 dimensions, each with a tenant and an integer): load,
info, check, and reading every point (numpy arrays). Each figure is the best
of --repeats runs, load and the inspector taking turns; the target is info
taking no longer than load.

    PYTHONPATH=build/py3.11 python3 bench/snapshot_inspector_bench.py
"""
import argparse
import os
import random
import tempfile
import time

import tavrik
import tavrik_snapshot


def save_store(path, points, dims):
    rng = random.Random(42)
    store = tavrik.VectorStorage()
    for point_id in range(points):
        vector = [rng.gauss(0.0, 1.0) for _ in range(dims)]
        store.upsert(point_id, vector, {"tenant_id": f"t{point_id % 5}", "n": point_id})
    store.save(path)


def timed(work):
    """Seconds `work` takes; what it returns is dropped after the clock stops."""
    def run(path):
        started = time.perf_counter()
        result = work(path)
        elapsed = time.perf_counter() - started
        del result
        return elapsed
    return run


@timed
def load(path):
    store = tavrik.VectorStorage()
    store.load(path)
    return store


@timed
def read_points(path):
    for _ in tavrik_snapshot.points(path):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--dims", type=int, default=128)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "store.bin")
        save_store(path, args.points, args.dims)
        works = {"load": load, "info": timed(tavrik_snapshot.info),
                 "check": timed(tavrik_snapshot.check), "points": read_points}
        best = {name: float("inf") for name in works}
        for _ in range(args.repeats):
            for name, work in works.items():
                best[name] = min(best[name], work(path))
        size = os.path.getsize(path) / 1e6
    print(f"{args.points} x {args.dims}, {size:.1f} MB, best of {args.repeats}:")
    for name, seconds in best.items():
        print(f"  {name:<7} {seconds * 1000:8.1f} ms")
    print(f"  info / load = {best['info'] / best['load']:.2f}")


if __name__ == "__main__":
    main()
