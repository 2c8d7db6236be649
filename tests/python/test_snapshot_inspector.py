"""tavrik_snapshot: info, points and check against files saved by the store,
corrupted ones, hand-made graphs, and the command line."""
import builtins
import json
import os
import struct
import subprocess
import sys

import pytest

import tavrik
import tavrik_snapshot
from messages import DECODE

END = "Hit the end of buffer, expected more data"
VARINT = "Found a varint that didn't terminate. Is the usize too big for this platform?"
OPTION = "Found an Option discriminant that wasn't 0 or 1"
UTF8 = "Tried to parse invalid utf-8"
SERDE = "Serde Deserialization Error"
NAN_BITS = 0x7FC00123

# Every payload kind, and the edges of ids, vectors and values.
POINTS = {
    0: ([], None),
    1: ([1.0, -2.5], {}),
    2: ([0.1, -0.0, float("inf")], {"tenant_id": "a" * 64, "text": "b" * 65}),
    3: ([struct.unpack("<f", struct.pack("<I", NAN_BITS))[0]], {"tenant_id": "t", "n": -(2**63)}),
    2**64 - 1: ([3.0] * 5, {"big": 2**63 - 1, "flag": True, "x": -0.0, "nan": float("nan"),
                            "inf": float("-inf"), "é": "ü€"}),
}
KINDS = {"tenant_id": {"Keyword": 2}, "text": {"Text": 1}, "n": {"Integer": 1},
         "big": {"Integer": 1}, "flag": {"Integer": 1}, "x": {"Float": 1}, "nan": {"Float": 1},
         "inf": {"Float": 1}, "é": {"Keyword": 1}}


# ---- hand-made snapshots, written with the documented byte format ----

def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def point_entry(key, vector, point_id=None):
    floats = b"".join(struct.pack("<f", x) for x in vector)
    stored_id = key if point_id is None else point_id
    return varint(key) + varint(stored_id) + varint(len(vector)) + floats + b"\x00"


def node_entry(key, layers, node_id=None):
    lists = b"".join(varint(len(layers.get(k, []))) + b"".join(map(varint, layers.get(k, [])))
                     for k in range(16))
    return varint(key) + varint(key if node_id is None else node_id) + lists


def snapshot(points, nodes, entry_point=None, max_level=0):
    """The bytes, the offset of the graph's record and of each node entry."""
    data = varint(len(points)) + b"".join(points)
    graph = len(data)
    data += varint(16) + varint(64) + varint(32)
    data += b"\x00" if entry_point is None else b"\x01" + varint(entry_point)
    data += varint(max_level) + varint(len(nodes))
    offsets = []
    for node in nodes:
        offsets.append(len(data))
        data += node
    return data, graph, offsets


def warning(offset, message):
    return {"severity": "warning", "offset": offset, "message": message}


# ---- helpers ----

def saved(store, tmp_path, name="s.bin"):
    path = tmp_path / name
    store.save(str(path))
    return path


def store_of(points):
    store = tavrik.VectorStorage()
    for point_id, (vector, payload) in points.items():
        store.upsert(point_id, vector, payload)
    return store


def bits(vector):
    return [struct.unpack("<I", struct.pack("<f", x))[0] for x in vector]


def same_value(a, b):
    if isinstance(a, float):
        return type(b) is float and struct.pack("<d", a) == struct.pack("<d", b)
    return type(a) is type(b) and a == b


def expected_payload(payload):
    if payload is None:
        return None
    return {k: int(v) if isinstance(v, bool) else v for k, v in sorted(payload.items())}


@pytest.fixture(params=["numpy", "no numpy"])
def numpy_or_not(request, monkeypatch):
    if request.param == "no numpy":
        real_import = builtins.__import__

        def refuse_numpy(name, *args, **kwargs):
            if name == "numpy":
                raise ImportError("no numpy here")
            return real_import(name, *args, **kwargs)

        monkeypatch.setattr(builtins, "__import__", refuse_numpy)
    return request.param


def test_points_round_trip_every_payload_kind(tmp_path, numpy_or_not):
    path = saved(store_of(POINTS), tmp_path)
    before = path.read_bytes()
    read = {point_id: (vector, payload) for point_id, vector, payload in tavrik_snapshot.points(path)}
    assert sorted(read) == sorted(POINTS)
    for point_id, (vector, payload) in POINTS.items():
        got_vector, got_payload = read[point_id]
        if numpy_or_not == "numpy":
            assert str(got_vector.dtype) == "float32"
        else:
            assert type(got_vector) is list
        assert bits(list(got_vector)) == bits(vector)
        expected = expected_payload(payload)
        assert (got_payload is None) == (expected is None)
        if expected is not None:
            assert list(got_payload) == list(expected)
            assert all(same_value(expected[k], got_payload[k]) for k in expected)
    only = [point_id for point_id, _, _ in tavrik_snapshot.points(str(path), ids=[3, 2**64 - 1, 99])]
    assert sorted(only) == [3, 2**64 - 1]
    assert path.read_bytes() == before  # never written


def test_info_of_a_saved_store(tmp_path):
    store = store_of(POINTS)
    for point_id in range(10, 610):  # enough for a graph with upper layers
        store.upsert(point_id, [float(point_id % 7), 1.0], {"tenant_id": f"t{point_id % 3}"})
    path = saved(store, tmp_path)
    path.write_bytes(path.read_bytes() + b"\xff\x02junk")
    figures = tavrik_snapshot.info(path)
    assert figures["points"] == 605
    assert figures["vector_lengths"] == {0: 1, 1: 1, 2: 601, 3: 1, 5: 1}
    assert figures["tenants"] == {"a" * 64: 1, "t": 1, "t0": 200, "t1": 200, "t2": 200}
    assert figures["payload_keys"] == dict(KINDS, tenant_id={"Keyword": 602})
    assert figures["file_bytes"] == path.stat().st_size and figures["trailing_bytes"] == 6
    graph = figures["graph"]
    assert (graph["nodes"], graph["m"], graph["ef_construction"], graph["ef_search"]) == (605, 16, 64, 32)
    assert graph["entry_point"] in {0, 1, 2, 3, 2**64 - 1} | set(range(10, 610))
    assert 0 < graph["max_level"] <= 15 and len(graph["links_per_layer"]) == 16
    links = graph["links_per_layer"]
    assert links[0] > 0 and links[graph["max_level"] + 1:] == [0] * (15 - graph["max_level"])
    assert graph["linked_without_point"] == graph["linked_without_node"] == []
    assert tavrik_snapshot.check(path) == []
    copy = tavrik.VectorStorage()
    copy.load(str(path))
    resaved = saved(copy, tmp_path, "copy.bin")
    assert tavrik_snapshot.info(resaved) == dict(figures, file_bytes=figures["file_bytes"] - 6,
                                                 trailing_bytes=0)


def test_info_of_an_empty_store(tmp_path):
    figures = tavrik_snapshot.info(saved(tavrik.VectorStorage(), tmp_path))
    assert figures == {
        "points": 0, "vector_lengths": {}, "tenants": {}, "payload_keys": {},
        "graph": {"nodes": 0, "entry_point": None, "max_level": 0, "m": 16, "ef_construction": 64,
                  "ef_search": 32, "links_per_layer": [0] * 16, "linked_without_point": [],
                  "linked_without_node": []},
        "file_bytes": 7, "trailing_bytes": 0,
    }


def one_point_store(tmp_path):
    store = tavrik.VectorStorage()
    store.upsert(7, [1.0, -2.5], {"tenant_id": "t1"})
    return saved(store, tmp_path).read_bytes()  # the 53-byte layout


# (offset into the 53-byte store, replacement, message, offset the value starts at)
CORRUPTIONS = [
    (24, "04", SERDE, 24),
    (24, "80 80 80 80 10", VARINT, 24),
    (31, "02", OPTION, 31),
    (12, "02", OPTION, 12),
    (1, "ff ff ff ff ff ff ff ff ff 02", VARINT, 1),
    (15, "c0", UTF8, 14),
    (26, "ed a0 80", UTF8, 25),
    (0, "ff ff ff ff 0f", END, 55),  # the sixth float of a second point
]


@pytest.mark.parametrize("at, replacement, message, offset", CORRUPTIONS)
def test_every_decoder_message_with_its_offset(tmp_path, at, replacement, message, offset):
    data = bytearray(one_point_store(tmp_path))
    data[at:at + 1] = bytes.fromhex(replacement)
    path = tmp_path / "bad.bin"
    path.write_bytes(bytes(data))
    with pytest.raises(OSError) as load_error:
        tavrik.VectorStorage().load(str(path))
    assert load_error.value.args == (DECODE + message,)
    assert tavrik_snapshot.check(path) == [{"severity": "error", "offset": offset, "message": message}]
    for call in (tavrik_snapshot.info, tavrik_snapshot.points):
        with pytest.raises(OSError) as caught:
            call(path)
        assert type(caught.value) is OSError and caught.value.args == load_error.value.args


def test_every_truncation_is_an_error_at_or_before_the_cut(tmp_path):
    data = one_point_store(tmp_path)
    path = tmp_path / "cut.bin"
    for length in range(len(data)):
        path.write_bytes(data[:length])
        [finding] = tavrik_snapshot.check(path)
        assert finding["severity"] == "error" and finding["message"] == END
        assert finding["offset"] <= length


@pytest.mark.parametrize("call", [tavrik_snapshot.info, tavrik_snapshot.check, tavrik_snapshot.points])
def test_file_errors_are_loads(tmp_path, call):
    for path in (tmp_path / "missing.bin", tmp_path):
        with pytest.raises(OSError) as load_error:
            tavrik.VectorStorage().load(str(path))
        with pytest.raises(OSError) as caught:
            call(path)
        assert type(caught.value) is OSError and caught.value.args == load_error.value.args
    with pytest.raises(TypeError):
        call(b"bytes.bin")


@pytest.mark.parametrize("ids, error", [([-1], OverflowError), ([2**64], OverflowError), (["1"], TypeError)])
def test_ids_must_be_point_ids(tmp_path, ids, error):
    path = saved(store_of(POINTS), tmp_path)
    with pytest.raises(error) as caught:
        tavrik_snapshot.points(path, ids)
    assert caught.value.__notes__ == ["while processing 'ids'"]


def hand_made(case):
    """A hand-made snapshot and the findings check must report."""
    if case == "missing links":
        points = [point_entry(1, [1.0]), point_entry(2, [0.5]), point_entry(4, [0.25])]
        nodes = [node_entry(1, {0: [2, 3], 1: [4]}), node_entry(2, {0: [1, 5]}), node_entry(5, {})]
        data, graph, at = snapshot(points, nodes, entry_point=9, max_level=1)
        expected = [
            warning(graph, "the entry point 9 has no node"),
            warning(at[0], "node 1 links on layer 0 to 3, which has no point and no node"),
            warning(at[0], "node 1 links on layer 1 to 4, which has no node"),
            warning(at[1], "node 2 links on layer 0 to 5, which has no point"),
        ]
        return data, expected, {"linked_without_point": [3, 5], "linked_without_node": [3, 4]}
    if case == "layers":
        points = [point_entry(1, [1.0]), point_entry(2, [0.5])]
        nodes = [node_entry(1, {0: [2], 3: [2]}), node_entry(2, {0: [1]}, node_id=8)]
        data, graph, at = snapshot(points, nodes, entry_point=1, max_level=2)
        expected = [
            warning(at[0], "node 1 has links on layer 3, above the top layer 2"),
            warning(at[1], "node under key 2 holds the id 8"),
        ]
        return data, expected, {"linked_without_point": [], "linked_without_node": []}
    if case == "top layer":
        data, graph, _ = snapshot([point_entry(1, [1.0])], [node_entry(1, {})], entry_point=1, max_level=16)
        return data, [warning(graph, "the top layer 16 is above the highest layer 15")], {}
    if case == "no entry point":
        data, graph, _ = snapshot([point_entry(1, [1.0])], [node_entry(1, {})])
        message = "the graph has 1 nodes but no entry point, so every search scans all points"
        return data, [warning(graph, message)], {}
    assert case == "duplicates"
    first, second = point_entry(1, [1.0, 2.0]), point_entry(1, [3.0], point_id=6)
    data, graph, at = snapshot([first, second], [node_entry(1, {0: [1]}), node_entry(1, {})], entry_point=1)
    expected = [
        warning(1 + len(first), "point under key 1 holds the id 6"),
        warning(1 + len(first), "point key 1 occurs again; load keeps this later entry"),
        warning(at[1], "node key 1 occurs again; load keeps this later entry"),
    ]
    return data, expected, {"vector_lengths": {1: 1}, "points": 1, "nodes": 1, "links_per_layer": [0] * 16}


@pytest.mark.parametrize("case", ["missing links", "layers", "top layer", "no entry point", "duplicates"])
def test_hand_made_graphs_load_but_are_suspect(tmp_path, case):
    data, expected, figures = hand_made(case)
    path = tmp_path / "hand.bin"
    path.write_bytes(data)
    tavrik.VectorStorage().load(str(path))  # load takes every one of them
    assert tavrik_snapshot.check(path) == expected
    info = tavrik_snapshot.info(path)
    flat = dict(info, **info["graph"])
    assert {key: flat[key] for key in figures} == figures
    if case == "duplicates":
        assert [(i, list(v)) for i, v, _ in tavrik_snapshot.points(path)] == [(1, [3.0])]


def run_cli(*arguments):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-m", "tavrik_snapshot", *map(str, arguments)],
                          capture_output=True, text=True, env=env)


@pytest.mark.parametrize("damage, status", [(None, 0), ("suspect", 0), ("cut", 1), ("missing", 1)])
def test_cli_check_fails_exactly_when_load_would(tmp_path, damage, status):
    path = saved(store_of(POINTS), tmp_path)
    if damage == "suspect":
        path.write_bytes(hand_made("missing links")[0])
    elif damage == "cut":
        path.write_bytes(path.read_bytes()[:-1])
    elif damage == "missing":
        path.unlink()
    try:
        tavrik.VectorStorage().load(str(path))
        load_fails = False
    except OSError:
        load_fails = True
    assert load_fails == (status == 1)
    plain, as_json = run_cli("check", path), run_cli("check", path, "--json")
    assert (plain.returncode, as_json.returncode) == (status, status)
    if damage != "missing":
        assert json.loads(as_json.stdout) == tavrik_snapshot.check(path)
    else:
        assert "Failed to open snapshot file: No such file or directory (os error 2)" in plain.stderr


def test_cli_info_and_dump(tmp_path):
    path = saved(store_of(POINTS), tmp_path)
    info = run_cli("info", path, "--json")
    assert info.returncode == 0
    expected = json.loads(json.dumps(tavrik_snapshot.info(path)))
    assert json.loads(info.stdout) == expected
    text = run_cli("info", path)
    assert text.returncode == 0 and "points: 5" in text.stdout
    dump = run_cli("dump", path, "--ids", 1, 2**64 - 1, "--json")
    assert dump.returncode == 0
    lines = [json.loads(line) for line in dump.stdout.splitlines()]
    assert sorted(line["id"] for line in lines) == [1, 2**64 - 1]
    for line in lines:
        vector, payload = POINTS[line["id"]]
        assert bits(line["vector"]) == bits(vector)
        assert json.dumps(line["payload"]) == json.dumps(expected_payload(payload))
    everything = run_cli("dump", path)
    assert len(everything.stdout.splitlines()) == len(POINTS)
    path.write_bytes(path.read_bytes()[:-3])
    broken = run_cli("dump", path)
    assert broken.returncode == 1 and broken.stdout == "" and DECODE + END in broken.stderr

