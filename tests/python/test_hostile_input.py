"""Hostile and extreme input: every bad call raises its error and leaves the
store exactly as it was; extreme but valid values are stored and searched
without bringing the process down."""
import math
import os

import pytest

import tavrik
from child_python import run_python
from messages import DECODE
from small_store import visible_state

U64_MAX = 2**64 - 1
NUL_DETAIL = "file name contained an unexpected NUL byte"


class Boom(Exception):
    pass


def notes(error):
    return getattr(error, "__notes__", [])


def expect_refused(store, call, error_type, note, message=None):
    before = visible_state(store)
    with pytest.raises(error_type) as caught:
        call(store)
    assert notes(caught.value) == ([f"while processing '{note}'"] if note else [])
    if message is not None:
        assert str(caught.value) == message
    assert visible_state(store) == before
    return caught.value


# ------------------------------------------------------------ hostile values


class RaisingIndex:
    def __index__(self):
        raise Boom("index")


class RaisingFloat:
    def __float__(self):
        raise Boom("float")


class RaisingIndexElement:
    """No __float__: the float conversion falls back to __index__."""

    def __index__(self):
        raise Boom("index element")


class ExplodingSequence:
    """A sequence iterated through __getitem__ that fails at its third item."""

    def __len__(self):
        return 5

    def __getitem__(self, i):
        if i == 2:
            raise Boom("midway")
        return float(i)


class ExplodingIterator:
    """A sequence whose own iterator fails at its third item."""

    def __len__(self):
        return 5

    def __getitem__(self, i):
        return float(i)

    def __iter__(self):
        yield 1.0
        yield 2.0
        raise Boom("iterator midway")


class RaisingIter:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        raise Boom("no iterator")


@pytest.mark.parametrize(
    "call, error_type, note",
    [
        (lambda s: s.upsert(-1, [1.0], None), OverflowError, "point_id"),
        (lambda s: s.upsert(-(2**64), [1.0], None), OverflowError, "point_id"),
        (lambda s: s.upsert(2**64, [1.0], None), OverflowError, "point_id"),
        (lambda s: s.upsert(10**400, [1.0], None), OverflowError, "point_id"),
        (lambda s: s.upsert(RaisingIndex(), [1.0], None), Boom, "point_id"),
        (lambda s: s.upsert(1, ExplodingSequence(), None), Boom, "vector"),
        (lambda s: s.upsert(1, ExplodingIterator(), None), Boom, "vector"),
        (lambda s: s.upsert(1, RaisingIter(), None), Boom, "vector"),
        (lambda s: s.upsert(1, [1.0, RaisingFloat()], None), Boom, "vector"),
        (lambda s: s.upsert(1, [1.0, RaisingIndexElement()], None), Boom, "vector"),
        (lambda s: s.upsert(1, [1.0, 10**400], None), OverflowError, "vector"),
        (lambda s: s.search(ExplodingSequence(), 3, "dot"), Boom, "query_vector"),
        (lambda s: s.search([1.0, RaisingFloat()], 3, "dot"), Boom, "query_vector"),
        (lambda s: s.search([1.0], RaisingIndex(), "dot"), Boom, "limit"),
        (lambda s: s.search([1.0], 2**64, "dot"), OverflowError, "limit"),
        (lambda s: s.search([1.0], -(2**70), "dot"), OverflowError, "limit"),
        (lambda s: s.batch_search([[1.0], ExplodingIterator()], 3, "dot"), Boom, "query_vectors"),
        (lambda s: s.batch_search(ExplodingSequence(), 3, "dot"), TypeError, "query_vectors"),
        (lambda s: s.batch_search([[1.0]], 3, "dot", "\udcff"), UnicodeEncodeError, "tenant_id"),
        (lambda s: s.search([1.0], 3, "cos\ud800ine"), UnicodeEncodeError, "metric"),
        (lambda s: s.search([1.0], 3, "dot", "a\udfff"), UnicodeEncodeError, "tenant_id"),
        (lambda s: s.save("snap\ud800.bin"), UnicodeEncodeError, "path"),
        (lambda s: s.load("snap\ud800.bin"), UnicodeEncodeError, "path"),
    ],
)
def test_failing_conversions_leave_the_store_unchanged(filled, call, error_type, note):
    expect_refused(filled, call, error_type, note)


class LyingDict(dict):
    """Every way of reading the dict from Python lies; the raw storage does not."""

    def __iter__(self):
        raise Boom("__iter__")

    def items(self):
        raise Boom("items")

    def keys(self):
        raise Boom("keys")

    def values(self):
        raise Boom("values")

    def __getitem__(self, key):
        raise Boom("__getitem__")

    def __len__(self):
        return 10**6

    def get(self, key, default=None):
        raise Boom("get")


class Name(str):
    def __str__(self):
        raise Boom("__str__")

    def encode(self, *args):
        raise Boom("encode")

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


def test_dict_subclass_overrides_are_not_consulted(store):
    payload = LyingDict(tenant_id="t", n=5)
    store.upsert(1, [1.0], payload)
    assert store.search([1.0], 5, "dot", "t") == [(1, 1.0)]


def test_str_subclasses_are_used_by_their_text(store, tmp_path):
    store.upsert(1, [1.0], {Name("tenant_id"): Name("t")})
    assert store.search([1.0], 5, Name("DOT"), Name("t")) == [(1, 1.0)]
    assert store.batch_search([[1.0]], 5, Name("l2"), Name("t")) == [[(1, 0.0)]]
    path = Name(str(tmp_path / "s.bin"))
    store.save(path)
    other = tavrik.VectorStorage()
    other.load(path)
    assert other.search([1.0], 5, "dot", "t") == [(1, 1.0)]


@pytest.mark.parametrize("tenant", ["nobody", "", "\x00", "a\x00", "A", " a", "\U0001f600", "a" * 100000])
def test_tenants_that_match_nothing(filled, tenant):
    assert filled.search([1.0, 1.0], 10, "dot", tenant) == []
    assert filled.batch_search([[1.0, 1.0]] * 3, 10, "dot", tenant) == [[], [], []]


# ------------------------------------------------------ extreme valid values


@pytest.mark.parametrize("point_id", [0, 1, 2**32, 2**63 - 1, 2**63, U64_MAX - 1, U64_MAX, True])
def test_extreme_ids_round_trip(store, tmp_path, point_id):
    store.upsert(point_id, [1.0, 0.0], {"tenant_id": "x"})
    expected = [(int(point_id), 1.0)]
    assert store.search([1.0, 0.0], 3, "dot") == expected
    assert type(store.search([1.0, 0.0], 3, "dot")[0][0]) is int
    path = str(tmp_path / "ids.bin")
    store.save(path)
    other = tavrik.VectorStorage()
    other.load(path)
    assert other.search([1.0, 0.0], 3, "dot", "x") == expected


def test_extreme_ids_on_the_graph_path(store):
    ids = [U64_MAX - i for i in range(300)] + [i * (2**55) for i in range(300)]
    for n, point_id in enumerate(ids):
        store.upsert(point_id, [math.cos(n), math.sin(n), 1.0], None)
    results = store.search([1.0, 0.0, 1.0], 20, "cosine")
    assert len(results) == 20
    assert {point_id for point_id, _ in results} <= set(ids)


@pytest.mark.parametrize("payload", [{"k": -(2**63)}, {"k": 2**63 - 1}, {"k": True}, {"k": -0.0}, {"k": math.nan}])
def test_payload_extremes_are_stored(store, tmp_path, payload):
    store.upsert(5, [1.0], payload)
    path = str(tmp_path / "p.bin")
    store.save(path)
    store.load(path)
    assert store.search([1.0], 3, "dot") == [(5, 1.0)]


def test_empty_and_huge_vectors(store):
    big = [0.001] * 100_000
    store.upsert(1, [], None)
    store.upsert(2, big, None)
    store.upsert(3, [1.0], None)
    # Each query scores only the points of its own length.
    assert store.search([], 10, "dot") == [(1, -0.0)]
    assert store.search([], 10, "cosine") == []  # zero magnitude: skipped
    assert [i for i, _ in store.search(big, 10, "dot")] == [2]
    assert store.search(big, 10, "l2") == [(2, 0.0)]
    assert store.search([0.0] * 100_000, 10, "cosine") == []
    assert [[i for i, _ in r] for r in store.batch_search([big, [], [2.0]], 5, "dot")] == [[2], [1], [3]]


NAN = float("nan")
INF = float("inf")


@pytest.mark.parametrize("metric", ["dot", "cosine", "l2"])
def test_nan_and_infinite_components(store, metric):
    store.upsert(1, [NAN, 1.0], None)
    store.upsert(2, [INF, 1.0], None)
    store.upsert(3, [1.0, 1.0], None)
    store.upsert(4, [-INF, INF], None)
    for query in ([1.0, 0.0], [NAN, NAN], [INF, -INF], [1e39, 0.0]):
        results = store.search(query, 10, metric)
        assert sorted(i for i, _ in results) == [1, 2, 3, 4]
        scores = [score for _, score in results]
        assert math.isnan(dict(results)[1])
        # NaN scores come last; the others are ranked.
        finite_part = [s for s in scores if not math.isnan(s)]
        assert scores[: len(finite_part)] == finite_part
        assert finite_part == sorted(finite_part, reverse=metric != "l2")
        batch = store.batch_search([query, query], 10, metric)
        assert [sorted(map(repr, r)) for r in batch] == [sorted(map(repr, results))] * 2


def test_nan_query_on_the_graph_path(store):
    for i in range(600):
        store.upsert(i, [math.cos(i), math.sin(i)], None)
    store.upsert(600, [NAN, 1.0], None)
    for metric in ("dot", "cosine", "l2"):
        for query in ([NAN, 0.0], [INF, INF], [1.0, 0.0]):
            results = store.search(query, 50, metric)
            assert len(results) <= 32
            assert all(0 <= i <= 600 for i, _ in results)


def test_huge_limit(filled):
    assert len(filled.search([1.0, 1.0], U64_MAX, "dot")) == 2
    assert len(filled.batch_search([[1.0, 1.0]] * 2, U64_MAX, "dot")[1]) == 2


# The first cast error naming 'Sequence' looks collections.abc.Sequence up,
# once per process, so each case runs in a fresh interpreter. Whatever the
# lookup finds or does, the error names 'Sequence', and nothing hangs.
SEQUENCE_LOOKUPS = {
    "not a class": (
        """
        import collections.abc
        real = collections.abc.Sequence
        for stand_in in (42, None, len, real):
            collections.abc.Sequence = stand_in
            try:
                store.upsert(1, {1.0}, None)
            except TypeError as error:
                print(error)
        """,
        "'set' object is not an instance of 'Sequence'\n" * 4,
    ),
    "re-entered by the lookup": (
        """
        class Hook(types.ModuleType):
            @property
            def Sequence(self):
                try:
                    store.upsert(2, None, None)
                except TypeError as error:
                    print("inner:", error)
                return real.Sequence
        sys.modules["collections.abc"] = Hook("collections.abc")
        try:
            store.upsert(1, {1.0}, None)
        except TypeError as error:
            print("outer:", error)
        """,
        "inner: 'None' is not an instance of 'Sequence'\n"
        "outer: 'set' object is not an instance of 'Sequence'\n",
    ),
    "forked while another thread looks up": (
        """
        import os, threading, time
        inside = threading.Event()
        class Hook(types.ModuleType):
            @property
            def Sequence(self):
                inside.set()
                time.sleep(0.5)
                return real.Sequence
        sys.modules["collections.abc"] = Hook("collections.abc")
        def first():
            with contextlib.suppress(TypeError):
                store.upsert(1, {1.0}, None)
        thread = threading.Thread(target=first)
        thread.start()
        inside.wait()
        pid = os.fork()
        if pid == 0:
            try:
                store.upsert(1, {1.0}, None)
            except TypeError as error:
                print("child:", error, flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        thread.join()
        """,
        "child: 'set' object is not an instance of 'Sequence'\n",
    ),
}


@pytest.mark.parametrize("script, printed", SEQUENCE_LOOKUPS.values(), ids=SEQUENCE_LOOKUPS.keys())
def test_first_sequence_cast_error(script, printed):
    prelude = """
        import collections.abc, contextlib, sys, types
        import tavrik
        store = tavrik.VectorStorage()
        real = collections.abc
    """
    assert run_python(prelude + script) == printed


# ------------------------------------------------------------------- files


def snapshot_bytes(store, tmp_path):
    path = tmp_path / "good.bin"
    store.save(str(path))
    return path.read_bytes()


@pytest.mark.parametrize(
    "make_path, method, message",
    [
        (lambda d: str(d / "a\x00b"), "save", "Failed to create snapshot file: " + NUL_DETAIL),
        (lambda d: str(d / "a\x00b"), "load", "Failed to open snapshot file: " + NUL_DETAIL),
        (lambda d: "\x00", "load", "Failed to open snapshot file: " + NUL_DETAIL),
        (lambda d: str(d), "save", "Failed to create snapshot file: Is a directory (os error 21)"),
        (lambda d: str(d), "load", "Failed to read snapshot file bytes: Is a directory (os error 21)"),
        (lambda d: str(d / "no" / "x"), "save", "Failed to create snapshot file: No such file or directory (os error 2)"),
        (lambda d: str(d / "missing"), "load", "Failed to open snapshot file: No such file or directory (os error 2)"),
        (lambda d: "", "load", "Failed to open snapshot file: No such file or directory (os error 2)"),
    ],
)
def test_unusable_paths(filled, tmp_path, make_path, method, message):
    path = make_path(tmp_path)
    before = sorted(os.listdir(tmp_path))
    error = expect_refused(filled, lambda s: getattr(s, method)(path), OSError, None, message)
    assert type(error) is OSError and error.errno is None
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads and writes files whatever their mode")
@pytest.mark.parametrize("method, prefix", [("save", "Failed to create snapshot file: "), ("load", "Failed to open snapshot file: ")])
def test_unreadable_file(filled, tmp_path, method, prefix):
    path = tmp_path / "locked.bin"
    path.write_bytes(snapshot_bytes(filled, tmp_path))
    path.chmod(0)
    expect_refused(filled, lambda s: getattr(s, method)(str(path)), OSError, None,
                   prefix + "Permission denied (os error 13)")


@pytest.mark.parametrize(
    "content, detail",
    [
        (b"", "Hit the end of buffer, expected more data"),
        (bytes.fromhex("ff ff ff ff 0f"), "Hit the end of buffer, expected more data"),
        (bytes.fromhex("ff ff ff ff ff ff ff ff ff 01"), "Hit the end of buffer, expected more data"),
        (bytes.fromhex("01 00 00 ff ff ff ff 0f"), "Hit the end of buffer, expected more data"),  # vector length
        (bytes.fromhex("00 10 40 20 00 00 ff ff ff ff 0f"), "Hit the end of buffer, expected more data"),  # node count
        (bytes.fromhex("ff ff ff ff ff ff ff ff ff 7f"), "Found a varint that didn't terminate. Is the usize too big for this platform?"),
        (b"#!/bin/sh\necho this is not a snapshot\n", None),
        (bytes(range(256)) * 4, None),
        (b"\xff" * 4096, "Found a varint that didn't terminate. Is the usize too big for this platform?"),
    ],
)
def test_files_that_are_not_snapshots(filled, tmp_path, content, detail):
    path = tmp_path / "bad.bin"
    path.write_bytes(content)
    error = expect_refused(filled, lambda s: s.load(str(path)), OSError, None)
    assert str(error).startswith(DECODE)
    if detail is not None:
        assert str(error) == DECODE + detail


def test_failed_loads_keep_a_graph_store_usable(tmp_path):
    store = tavrik.VectorStorage()
    for i in range(600):
        store.upsert(i, [math.cos(i), math.sin(i), 0.5], {"tenant_id": "a" if i % 2 else "b"})
    good = snapshot_bytes(store, tmp_path)
    query = [1.0, 0.0, 0.5]
    before = store.search(query, 10, "l2")
    bad = tmp_path / "cut.bin"
    for cut in (1, len(good) // 2, len(good) - 1):
        bad.write_bytes(good[:cut])
        with pytest.raises(OSError):
            store.load(str(bad))
        assert store.search(query, 10, "l2") == before
    # Still fully usable: it takes new points and round-trips through a file.
    # (The graph may rank point 0, at the same spot as the query, first.)
    store.upsert(1000, query, None)
    after = tmp_path / "after.bin"
    store.save(str(after))
    copy = tavrik.VectorStorage()
    copy.load(str(after))
    assert copy.search(query, 10, "l2") == store.search(query, 10, "l2")
