"""One store per tenant, instead of one shared store filtered by tenant.

A search with `tenant_id` on a store of 500 points or more walks the graph
over everyone's points and keeps only the tenant's among the at most 32
candidates it collects, so a tenant holding a small share of a large store
gets few results or none. Giving each tenant its own store removes that
effect: a tenant's search only ever sees its own points, and a tenant of
fewer than 500 points is always scanned exactly. (For exact results in a
large tenant too, give it the shards of exact_shards.py.)

Ids are per tenant here: the same id in two tenants names two points.

The example puts 10,000 random 64-dimensional points in one shared store,
tagged with tenants holding 1%, 10%, 25% and 64% of them, and the same
points in one store per tenant; it prints how many of 10 results each
tenant gets from both, and checks the small tenants' own stores against an
exact scan done in numpy.

Exits with status 1 when any of its checks fails.
"""
import sys

import numpy as np

import tavrik

LIMIT = 10
SHARES = {"one-percent": 0.01, "ten-percent": 0.10, "quarter": 0.25, "rest": 0.64}


class TenantStores:
    """A separate VectorStorage for every tenant, created on its first point."""

    def __init__(self):
        self.stores = {}

    def upsert(self, tenant_id, point_id, vector, payload):
        store = self.stores.get(tenant_id)
        if store is None:
            store = tavrik.VectorStorage()
        store.upsert(point_id, vector, payload)  # raises before a new store is kept
        self.stores.setdefault(tenant_id, store)

    def search(self, tenant_id, query_vector, limit, metric):
        store = self.stores.get(tenant_id)
        return store.search(query_vector, limit, metric) if store is not None else []

    def batch_search(self, tenant_id, query_vectors, limit, metric):
        store = self.stores.get(tenant_id)
        if store is None:
            return [[] for _ in query_vectors]
        return store.batch_search(query_vectors, limit, metric)


def main():
    rng = np.random.default_rng(5)
    points, dims = 10_000, 64
    data = rng.standard_normal((points, dims)).astype(np.float32)
    queries = rng.standard_normal((200, dims)).astype(np.float32)
    bounds = np.cumsum([0] + [round(share * points) for share in SHARES.values()])
    owner = np.empty(points, dtype=object)
    for (tenant, _), start, stop in zip(SHARES.items(), bounds, bounds[1:]):
        owner[start:stop] = tenant
    order = rng.permutation(points)  # tenants' points interleaved in the shared store

    shared, separate = tavrik.VectorStorage(), TenantStores()
    for point_id in order.tolist():
        tenant = owner[point_id]
        shared.upsert(point_id, data[point_id], {"tenant_id": tenant})
        separate.upsert(tenant, point_id, data[point_id], None)

    failures = []
    print(f"{'tenant':12s} {'points':>6s}  results of {LIMIT}: shared store, own store")
    for tenant in SHARES:
        members = np.flatnonzero(owner == tenant)
        from_shared = shared.batch_search(queries, LIMIT, "cosine", tenant_id=tenant)
        from_own = separate.batch_search(tenant, queries, LIMIT, "cosine")
        shared_mean = np.mean([len(hits) for hits in from_shared])
        own_mean = np.mean([len(hits) for hits in from_own])
        print(f"{tenant:12s} {len(members):6d}  {shared_mean:4.1f}  {own_mean:4.1f}")
        if any(owner[point_id] != tenant for hits in from_shared for point_id, _ in hits):
            failures.append(f"{tenant}: the shared store returned another tenant's point")
        if any(len(hits) != LIMIT for hits in from_own):
            failures.append(f"{tenant}: its own store gave fewer than {LIMIT} results")
        if len(members) < 500:  # exact scan: the top of numpy's ranking, score for score
            unit = data[members].astype(np.float64)
            unit /= np.linalg.norm(unit, axis=1, keepdims=True)
            q = queries.astype(np.float64)
            exact = np.sort((q / np.linalg.norm(q, axis=1, keepdims=True)) @ unit.T, axis=1)
            for row, hits in enumerate(from_own):
                if not np.allclose([score for _, score in hits], exact[row, ::-1][:LIMIT], atol=1e-5):
                    failures.append(f"{tenant}, query {row}: own store differs from numpy")
    if separate.search("nobody", queries[0], LIMIT, "cosine") != []:
        failures.append("an unknown tenant got results")

    for failure in failures[:20]:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
