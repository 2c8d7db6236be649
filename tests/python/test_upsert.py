"""upsert: conversion of the id, the vector and the payload, and what gets stored."""
import array
import collections
import enum
import math
import sys
import types

import numpy
import pytest

import tavrik
from lying_sequences import LyingLength
from small_store import F32_MAX, visible_state


def only(store, query, metric="dot"):
    """Result of a search that must find exactly one point."""
    found = store.search(query, 10, metric)
    assert len(found) == 1
    return found[0]


# ---------------------------------------------------------------- point_id


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Colour(enum.IntEnum):
    RED = 9


@pytest.mark.parametrize(
    "point_id, stored",
    [
        (0, 0),
        (True, 1),
        (False, 0),
        (2**64 - 1, 2**64 - 1),
        (2**63, 2**63),
        (Index(12), 12),
        (Colour.RED, 9),
        (numpy.uint64(2**64 - 1), 2**64 - 1),
        (numpy.int8(7), 7),
    ],
)
def test_point_id_conversions(store, point_id, stored):
    store.upsert(point_id, [1.0], None)
    found = store.search([1.0], 5, "dot")
    assert found == [(stored, 1.0)]
    assert type(found[0][0]) is int


@pytest.mark.parametrize(
    "point_id, error",
    [
        (-1, OverflowError),
        (2**64, OverflowError),
        (-(2**64), OverflowError),
        (Index(-1), OverflowError),
        (Index(2**64), OverflowError),
        (numpy.int64(-1), OverflowError),
        (1.0, TypeError),
        ("1", TypeError),
        (None, TypeError),
        (numpy.float64(1.0), TypeError),
    ],
)
def test_point_id_errors_carry_one_note(filled, point_id, error):
    before = visible_state(filled)
    with pytest.raises(error) as caught:
        filled.upsert(point_id, [1.0, 0.0], {"tenant_id": "t"})
    assert caught.value.__notes__ == ["while processing 'point_id'"]
    assert visible_state(filled) == before


def test_point_id_error_wins_over_later_errors(store):
    with pytest.raises(OverflowError) as caught:
        store.upsert(-1, "abc", [1])
    assert caught.value.__notes__ == ["while processing 'point_id'"]


# ---------------------------------------------------------------- vector


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class SneakyFloat(float):
    def __float__(self):
        return 99.0


class SneakyInt(int):
    def __float__(self):
        return 99.0


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "vector, stored",
    [
        ([1, 2, 3], [1.0, 2.0, 3.0]),
        ((1, 2, 3), [1.0, 2.0, 3.0]),
        (range(1, 4), [1.0, 2.0, 3.0]),
        (b"\x01\x02\x03", [1.0, 2.0, 3.0]),
        (bytearray(b"\x04\x05"), [4.0, 5.0]),
        (array.array("f", [0.5, -2.0]), [0.5, -2.0]),
        (collections.deque([1.5, 2.5]), [1.5, 2.5]),
        (numpy.array([1.5, -2.0], dtype=numpy.float32), [1.5, -2.0]),
        (numpy.array([1.5, -2.0], dtype=numpy.float64), [1.5, -2.0]),
        (numpy.array([7, -3], dtype=numpy.int64), [7.0, -3.0]),
        ([numpy.float32(0.25), numpy.int16(4), numpy.float64(2.0)], [0.25, 4.0, 2.0]),
        ([True, False], [1.0, 0.0]),
        ([Floaty(2.5), Index(4)], [2.5, 4.0]),
        # A float subclass is read as the float it is; other numbers go through __float__.
        ([SneakyFloat(2.0), SneakyInt(3)], [2.0, 99.0]),
        # -1.0 is the host's error marker; without a pending error it is a value.
        ([Floaty(-1.0), -1, -1.0], [-1.0, -1.0, -1.0]),
        # Rounded to the nearest 32-bit float.
        ([0.1], [numpy.float32(0.1)]),
        ([2**30 + 1], [2.0**30]),
        ((0.1, 2**30 + 1, -1), [numpy.float32(0.1), 2.0**30, -1.0]),
    ],
)
def test_vector_conversions(store, vector, stored):
    store.upsert(5, vector, None)
    # Each component is read back as a dot product with a unit query.
    for i, component in enumerate(stored):
        unit = [0.0] * len(stored)
        unit[i] = 1.0
        assert store.search(unit, 1, "dot") == [(5, float(component))]


@pytest.mark.parametrize(
    "vector, length",
    [
        (LyingLength(2**62), 3),
        (LyingLength(sys.maxsize), 3),  # must be stored: no MemoryError allowed
        (LyingLength(2**63), 3),  # __len__ itself overflows
        (LyingLength(2**70), 3),
        (LyingLength(-5), 3),  # __len__ is invalid
        (LyingLength(RuntimeError("no length")), 3),
        (LyingLength(0), 3),
        (LyingLength(1, items=(1.0, 2.0, 3.0, 4.0, 5.0)), 5),
    ],
)
def test_reported_length_is_only_a_hint(store, vector, length):
    try:
        store.upsert(6, vector, None)
    except MemoryError:
        # Allowed for a reported length that cannot be reserved; nothing stored.
        assert vector.length == 2**62
        assert store.search([0.0] * length, 10, "l2") == []
        return
    assert only(store, [0.0] * length, "l2")[0] == 6


@pytest.mark.parametrize(
    "vector, error, message",
    [
        ("abc", TypeError, "Can't extract `str` to `Vec`"),
        ("", TypeError, "Can't extract `str` to `Vec`"),
        (type("Name", (str,), {})("x"), TypeError, "Can't extract `str` to `Vec`"),
        ({1.0, 2.0}, TypeError, "'set' object is not an instance of 'Sequence'"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
        (1.0, TypeError, "'float' object is not an instance of 'Sequence'"),
        ({0: 1.0}, TypeError, "'dict' object is not an instance of 'Sequence'"),
        ((x for x in [1.0]), TypeError, "'generator' object is not an instance of 'Sequence'"),
        (Outer.Inner(), TypeError, "'Outer.Inner' object is not an instance of 'Sequence'"),
        ([1.0, "x"], TypeError, None),
        ([None], TypeError, None),
        ([1j], TypeError, None),
        ([[1.0]], TypeError, None),
        ([10**400], OverflowError, None),
        # The first bad item decides, whatever follows it.
        ([1.0, 10**400, "x"], OverflowError, None),
        ((1.0, "x", 10**400), TypeError, None),
        ([Floaty("oops")], TypeError, None),
        (LyingLength(3, items=(1.0, ZeroDivisionError)), TypeError, None),
    ],
)
def test_vector_errors_carry_one_note(filled, vector, error, message):
    before = visible_state(filled)
    with pytest.raises(error) as caught:
        filled.upsert(1, vector, None)
    if message is not None:
        assert str(caught.value) == message
    assert caught.value.__notes__ == ["while processing 'vector'"]
    assert visible_state(filled) == before


def test_iteration_errors_are_raised_unchanged(filled):
    class Broken:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i == 1:
                raise KeyError("boom")
            return 1.0

    before = visible_state(filled)
    with pytest.raises(KeyError) as caught:
        filled.upsert(1, Broken(), None)
    assert caught.value.args == ("boom",)
    assert caught.value.__notes__ == ["while processing 'vector'"]
    assert visible_state(filled) == before


@pytest.mark.parametrize(
    "component, metric, query, score",
    [
        (1e39, "l2", [0.0], math.inf),
        (-1e39, "l2", [0.0], math.inf),
        (1e39, "dot", [1.0], math.inf),
        (-1e39, "dot", [1.0], -math.inf),
        (2**200, "dot", [1.0], math.inf),
        (3.4028235e38, "dot", [1.0], F32_MAX),
        (1e-50, "dot", [1.0], 0.0),
    ],
)
def test_out_of_range_components_round_to_32_bits(store, component, metric, query, score):
    store.upsert(1, [component], None)
    assert store.search(query, 1, metric) == [(1, score)]


def test_empty_vector_is_stored(store):
    store.upsert(1, [], None)
    # Two empty vectors are at distance negative zero.
    [(point_id, score)] = store.search([], 1, "l2")
    assert point_id == 1 and score == 0.0 and math.copysign(1.0, score) == -1.0


# ---------------------------------------------------------------- payload


@pytest.mark.parametrize(
    "payload, error, message",
    [
        ([("tenant_id", "t")], TypeError, "'list' object is not an instance of 'dict'"),
        ("t", TypeError, "'str' object is not an instance of 'dict'"),
        (0, TypeError, "'int' object is not an instance of 'dict'"),
        (types.MappingProxyType({"tenant_id": "t"}), TypeError,
         "'mappingproxy' object is not an instance of 'dict'"),
    ],
)
def test_payload_that_is_not_a_dict_carries_one_note(filled, payload, error, message):
    before = visible_state(filled)
    with pytest.raises(error) as caught:
        filled.upsert(9, [1.0, 1.0], payload)
    assert str(caught.value) == message
    assert caught.value.__notes__ == ["while processing 'payload'"]
    assert visible_state(filled) == before


@pytest.mark.parametrize(
    "payload, error, message",
    [
        ({1: "t"}, TypeError, "'int' object is not an instance of 'str'"),
        ({"tenant_id": "t", None: 1}, TypeError, "'None' is not an instance of 'str'"),
        ({(1,): "x"}, TypeError, "'tuple' object is not an instance of 'str'"),
        ({b"tenant_id": "t"}, TypeError, "'bytes' object is not an instance of 'str'"),
        ({"\ud800": "t"}, UnicodeEncodeError, None),
        ({"tenant_id": "\udfff"}, UnicodeEncodeError, None),
        ({"tenant_id": "t", "big": 2**63}, OverflowError, None),
        ({"tenant_id": "t", "small": -(2**63) - 1}, OverflowError, None),
        ({"k": 10**400}, OverflowError, None),
        ({"k": "x\udc80y"}, UnicodeEncodeError, None),
        ({"ok": 1, 7: 2}, TypeError, "'int' object is not an instance of 'str'"),
    ],
)
def test_failures_inside_the_payload_have_no_note(filled, payload, error, message):
    before = visible_state(filled)
    # Both a new id and an existing one must stay untouched.
    for point_id in (9, 1):
        with pytest.raises(error) as caught:
            filled.upsert(point_id, [1.0, 1.0], payload)
        if message is not None:
            assert str(caught.value) == message
        assert getattr(caught.value, "__notes__", None) is None
        assert visible_state(filled) == before


@pytest.mark.parametrize(
    "payload",
    [
        {"n": 2**63 - 1, "m": -(2**63), "k": -1, "b": True, "f": -1.0},
        {"none": None, "list": [1], "bytes": b"x", "set": {1}, "nested": {"a": 1}},
        {"floaty": Floaty(1.0), "index": Index(3), "inf": math.inf, "nan": math.nan},
        collections.OrderedDict(a=1),
        {},
        None,
    ],
)
def test_accepted_payloads(store, payload):
    store.upsert(1, [1.0], payload)
    assert store.search([1.0], 1, "dot") == [(1, 1.0)]


class Tag(str):
    pass


class MyDict(dict):
    def __iter__(self):
        raise AssertionError("the payload walk must not call __iter__")

    def items(self):
        raise AssertionError("the payload walk must not call items()")

    def __getitem__(self, key):
        raise AssertionError("the payload walk must not call __getitem__")


@pytest.mark.parametrize(
    "payload, tenant, matches",
    [
        ({"tenant_id": "t"}, "t", True),
        ({"tenant_id": "t"}, "T", False),
        ({"tenant_id": "t"}, " t", False),
        ({"tenant_id": ""}, "", True),
        ({"tenant_id": "x" * 64}, "x" * 64, True),
        ({"tenant_id": "x" * 70}, "x" * 70, True),
        ({"tenant_id": "\u00e9" * 33}, "\u00e9" * 33, True),
        ({"tenant_id": "e\u0301"}, "\u00e9", False),
        ({"tenant_id": Tag("t")}, "t", True),
        ({"tenant_id": 5}, "5", False),
        ({"tenant_id": True}, "1", False),
        ({"tenant_id": 5.0}, "5.0", False),
        ({"tenant_id": b"t"}, "t", False),
        ({"tenant_id": None}, "None", False),
        ({"tenant_id": ["t"]}, "t", False),
        ({Tag("tenant_id"): "t"}, "t", True),
        ({"Tenant_id": "t"}, "t", False),
        (MyDict(tenant_id="t"), "t", True),
        ({}, "", False),
        (None, "", False),
    ],
)
def test_payload_values_and_the_tenant_test(store, payload, tenant, matches):
    store.upsert(1, [1.0], payload)
    expected = [(1, 1.0)] if matches else []
    assert store.search([1.0], 5, "dot", tenant) == expected


# ---------------------------------------------------------------- replacement


@pytest.mark.parametrize(
    "new_payload, still_t",
    [
        (None, False),
        ({}, False),
        ({"other": "t"}, False),
        ({"tenant_id": "u"}, False),
        ({"tenant_id": 5}, False),
        ({"tenant_id": "t"}, True),
    ],
)
def test_replacing_a_point_replaces_the_whole_payload(store, new_payload, still_t):
    store.upsert(7, [1.0, 0.0], {"tenant_id": "t", "other": "t"})
    store.upsert(8, [0.0, 1.0], {"tenant_id": "t"})
    store.upsert(7, [1.0, 0.0], new_payload)
    found = store.search([1.0, 1.0], 10, "dot", "t")
    assert sorted(point_id for point_id, _ in found) == ([7, 8] if still_t else [8])
    # The point itself is still there, once.
    assert sorted(store.search([1.0, 0.0], 10, "dot")) == [(7, 1.0), (8, 0.0)]


def test_replacing_a_point_can_change_its_length(store):
    store.upsert(7, [1.0, 2.0, 3.0], None)
    store.upsert(7, [1.0, 2.0, 3.0, 4.0, 5.0], None)
    assert store.search([1.0, 1.0, 1.0], 10, "dot") == []
    assert store.search([0.0] * 5, 10, "l2") == [(7, numpy.float32(math.sqrt(55.0)).item())]
    store.upsert(7, [], None)
    assert store.search([0.0] * 5, 10, "l2") == []
    assert len(store.search([], 10, "l2")) == 1


def test_distinct_ids_with_equal_vectors_are_distinct_points(store):
    for point_id in (1, 2, 2**64 - 1):
        store.upsert(point_id, [1.0], None)
    assert sorted(store.search([1.0], 10, "dot")) == [(1, 1.0), (2, 1.0), (2**64 - 1, 1.0)]


def test_upsert_returns_none(store):
    assert store.upsert(1, [1.0], None) is None
