"""Several Python threads sharing one tavrik store.

One store is filled with random vectors for three tenants: 300 points (below
500, so searches scan exactly) and then 3,000 points (searched through the
graph). Then several Python threads call `batch_search` on the shared store
at the same time, each with its own queries, metric and tenant, and every
answer is compared with single `search` calls for the same queries. While
nothing is written, a batch answer must equal the single answers exactly:
same ids, same scores, same order.

Exits with status 1 when any answer differs or a thread fails.
"""
import random
import sys
import threading

import tavrik

DIMS = 24
TENANTS = ("north", "south", "east")
METRICS = ("cosine", "dot", "l2")
THREADS = 6
ROUNDS = 4
QUERIES_PER_BATCH = 40
LIMIT = 10


def fill(store, rng, first_id, count):
    for point_id in range(first_id, first_id + count):
        vector = [rng.uniform(-1.0, 1.0) for _ in range(DIMS)]
        store.upsert(point_id, vector, {"tenant_id": TENANTS[point_id % 3], "n": point_id})


def worker(store, seed, start, errors, counts):
    rng = random.Random(seed)
    try:
        start.wait()  # all threads begin together, so their calls interleave
        for round_number in range(ROUNDS):
            queries = [[rng.uniform(-1.0, 1.0) for _ in range(DIMS)] for _ in range(QUERIES_PER_BATCH)]
            metric = METRICS[(seed + round_number) % len(METRICS)]
            tenant = (None,) + TENANTS
            tenant = tenant[(seed + round_number) % len(tenant)]
            batch = store.batch_search(queries, LIMIT, metric, tenant_id=tenant)
            single = [store.search(query, LIMIT, metric, tenant) for query in queries]
            if len(batch) != len(queries):
                errors.append(f"thread {seed}: {len(batch)} answers for {len(queries)} queries")
            for index, (got, expected) in enumerate(zip(batch, single)):
                if got != expected:
                    errors.append(
                        f"thread {seed}, round {round_number}, query {index} "
                        f"({metric}, tenant {tenant}): batch {got[:3]}... != single {expected[:3]}..."
                    )
                if not got and tenant is None:
                    errors.append(f"thread {seed}: empty answer without a tenant")
            counts[seed] = counts.get(seed, 0) + len(queries)
    except Exception as error:  # reported by the main thread
        errors.append(f"thread {seed} raised {error!r}")


def run_threads(store, label, seed_base):
    errors, counts = [], {}
    start = threading.Barrier(THREADS)
    threads = [
        threading.Thread(target=worker, args=(store, seed_base + n, start, errors, counts))
        for n in range(THREADS)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    total = sum(counts.values())
    print(f"{label}: {THREADS} threads compared {total} batch answers with single searches, "
          f"{len(errors)} differences")
    if total != THREADS * ROUNDS * QUERIES_PER_BATCH:
        errors.append(f"{label}: only {total} queries were answered")
    return errors


def main():
    rng = random.Random(2024)
    store = tavrik.VectorStorage()
    errors = []

    fill(store, rng, 0, 300)
    errors += run_threads(store, "300 points (exact scan)", 100)

    fill(store, rng, 300, 2_700)
    errors += run_threads(store, "3,000 points (graph)", 200)

    # A batch of one query and an empty batch take the short paths.
    query = [rng.uniform(-1.0, 1.0) for _ in range(DIMS)]
    if store.batch_search([query], LIMIT, "cosine") != [store.search(query, LIMIT, "cosine")]:
        errors.append("a batch of one query differs from search")
    if store.batch_search([], LIMIT, "cosine") != []:
        errors.append("an empty batch did not give an empty list")

    for error in errors[:20]:
        print("FAILED:", error)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
