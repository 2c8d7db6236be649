"""A small store with points of several lengths and tenants, and what
searches can see of one: the two things every "a refused call leaves the
store unchanged" test compares before and after."""
import tavrik

F32_MAX = 3.4028234663852886e38


def small_store():
    store = tavrik.VectorStorage()
    store.upsert(1, [1.0, 2.0], {"tenant_id": "a", "n": 1})
    store.upsert(2, [3.0, -1.0], {"tenant_id": "b"})
    store.upsert(3, [0.5, 0.5, 0.5], None)
    store.upsert(4, [], {})
    return store


def visible_state(store):
    """Every point with its norm, per vector length (a zero query under
    euclidean distance), and the members of each tenant."""
    seen = []
    for length in range(6):
        seen.append(sorted(store.search([0.0] * length, 1000, "l2"), key=repr))
    for tenant in ("a", "b", ""):
        seen.append(sorted(store.search([1.0, 1.0], 1000, "dot", tenant), key=repr))
    return repr(seen)  # repr: NaN scores compare equal to themselves
