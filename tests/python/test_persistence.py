"""save and load: the snapshot bytes, the OSError texts, and crash safety."""
import os
import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import tavrik

DECODE = "Postcard binary deserialization pipeline failure (possible corruption): "
END_OF_BUFFER = DECODE + "Hit the end of buffer, expected more data"
ENOENT = "No such file or directory (os error 2)"
EISDIR = "Is a directory (os error 21)"

POINT_7 = bytes.fromhex(
    "07 07 02 00 00 80 3f 00 00 20 c0 01 01 09 74 65 6e 61 6e 74 5f 69 64 00 02 74 31"
)


def saved_bytes(store, tmp_path, name="snapshot.bin"):
    path = tmp_path / name
    store.save(str(path))
    return path.read_bytes()


def filled_store(count, dims=8, seed=0):
    import random

    rng = random.Random(seed)
    store = tavrik.VectorStorage()
    for point_id in range(count):
        payload = {"tenant_id": f"t{point_id % 3}", "n": point_id, "x": point_id / 7}
        store.upsert(point_id, [rng.uniform(-1, 1) for _ in range(dims)], payload)
    return store


def answers(store, dims=8):
    query = [0.25] * dims
    return [store.search(query, 10, metric) for metric in ("cosine", "dot", "l2")]


def raises_os_error(call, message):
    with pytest.raises(OSError) as caught:
        call()
    assert type(caught.value) is OSError
    assert caught.value.args == (message,)
    assert caught.value.errno is None and caught.value.strerror is None


def test_empty_store_is_seven_bytes(store, tmp_path):
    assert saved_bytes(store, tmp_path) == bytes.fromhex("00 10 40 20 00 00 00")


def test_one_point_store_layout(store, tmp_path):
    store.upsert(7, [1.0, -2.5], {"tenant_id": "t1"})
    data = saved_bytes(store, tmp_path)
    assert len(data) == 53
    level = data[33]  # the entry node's drawn level is the graph's top layer
    assert level <= 15
    expected = (b"\x01" + POINT_7 + bytes.fromhex("10 40 20 01 07") + bytes([level])
                + bytes.fromhex("01 07 07") + bytes(16))
    assert data == expected


@pytest.mark.parametrize(
    "value, encoded",
    [
        (-1, "02 01"),
        (1, "02 02"),
        (64, "02 80 01"),
        (True, "02 02"),
        (0.5, "03 00 00 00 00 00 00 e0 3f"),
        ("a" * 64, "00 40" + " 61" * 64),
        ("a" * 65, "01 41" + " 61" * 65),
    ],
)
def test_payload_values_encode_by_variant(store, tmp_path, value, encoded):
    store.upsert(1, [], {"k": value})
    data = saved_bytes(store, tmp_path)
    point = bytes.fromhex("01 01 01 00 01 01 01 6b") + bytes.fromhex(encoded)
    assert data.startswith(point)


@pytest.mark.parametrize("payload, tail", [(None, "00"), ({}, "01 00")])
def test_absent_and_empty_payloads_differ(store, tmp_path, payload, tail):
    store.upsert(300, [], payload)
    data = saved_bytes(store, tmp_path)
    assert data.startswith(bytes.fromhex("01 ac 02 ac 02 00") + bytes.fromhex(tail))


def test_round_trip_keeps_everything(tmp_path):
    original = filled_store(800)
    path = str(tmp_path / "a.bin")
    original.save(path)
    copy = tavrik.VectorStorage()
    copy.load(path)
    assert answers(copy) == answers(original)
    assert copy.search([0.25] * 8, 5, "cosine", "t1") == original.search([0.25] * 8, 5, "cosine", "t1")
    # Saving the copy again gives the same length: same entries, maybe reordered.
    assert len(saved_bytes(copy, tmp_path, "b.bin")) == os.path.getsize(path)


def test_text_variants_survive_a_round_trip(tmp_path):
    original = tavrik.VectorStorage()
    original.upsert(1, [], {"k": "a" * 64, "l": "b" * 65})
    first = saved_bytes(original, tmp_path, "first.bin")
    copy = tavrik.VectorStorage()
    copy.load(str(tmp_path / "first.bin"))
    assert sorted(saved_bytes(copy, tmp_path, "second.bin")) == sorted(first)


def test_load_replaces_and_resets(tmp_path):
    empty_path = str(tmp_path / "empty.bin")
    tavrik.VectorStorage().save(empty_path)
    store = filled_store(50)
    store.load(empty_path)
    assert answers(store) == [[], [], []]
    assert saved_bytes(store, tmp_path) == bytes.fromhex("00 10 40 20 00 00 00")


def test_saving_over_a_longer_file_truncates_it(tmp_path):
    path = tmp_path / "over.bin"
    path.write_bytes(b"x" * 10_000)
    tavrik.VectorStorage().save(str(path))
    assert path.read_bytes() == bytes.fromhex("00 10 40 20 00 00 00")


def test_trailing_bytes_are_ignored(tmp_path):
    original = filled_store(20)
    path = tmp_path / "tail.bin"
    original.save(str(path))
    path.write_bytes(path.read_bytes() + b"\xff\x00garbage")
    copy = tavrik.VectorStorage()
    copy.load(str(path))
    assert answers(copy) == answers(original)


def test_every_truncation_fails_and_keeps_the_store(tmp_path):
    data = saved_bytes(filled_store(3, dims=2), tmp_path)
    store = filled_store(10)
    before = answers(store)
    path = tmp_path / "cut.bin"
    for length in range(len(data)):
        path.write_bytes(data[:length])
        raises_os_error(lambda: store.load(str(path)), END_OF_BUFFER)
    assert answers(store) == before


@pytest.mark.parametrize(
    "data, detail",
    [
        ("01 01 01 00 01 01 01 6b 04", "Serde Deserialization Error"),
        ("00 10 40 20 02", "Found an Option discriminant that wasn't 0 or 1"),
        ("ff ff ff ff ff ff ff ff ff 02", "Found a varint that didn't terminate. Is the usize too big for this platform?"),
        ("01 01 01 00 01 01 01 ff", "Tried to parse invalid utf-8"),
        ("ff ff ff ff 0f", "Hit the end of buffer, expected more data"),
    ],
)
def test_decoder_messages(store, tmp_path, data, detail):
    path = tmp_path / "bad.bin"
    path.write_bytes(bytes.fromhex(data))
    raises_os_error(lambda: store.load(str(path)), DECODE + detail)


def test_file_errors(store, tmp_path):
    missing_dir = tmp_path / "nowhere" / "x.bin"
    raises_os_error(lambda: store.save(str(missing_dir)), "Failed to create snapshot file: " + ENOENT)
    assert not missing_dir.parent.exists()
    raises_os_error(lambda: store.load(str(tmp_path / "missing.bin")), "Failed to open snapshot file: " + ENOENT)
    raises_os_error(lambda: store.load(str(tmp_path)), "Failed to read snapshot file bytes: " + EISDIR)
    raises_os_error(lambda: store.save(str(tmp_path)), "Failed to create snapshot file: " + EISDIR)
    nul = "file name contained an unexpected NUL byte"
    raises_os_error(lambda: store.save(str(tmp_path / "a\0b")), "Failed to create snapshot file: " + nul)
    raises_os_error(lambda: store.load(str(tmp_path / "a\0b")), "Failed to open snapshot file: " + nul)
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    raises_os_error(lambda: store.load(str(empty)), END_OF_BUFFER)
    assert sorted(os.listdir(tmp_path)) == ["empty.bin"]


def test_a_killed_save_leaves_the_previous_snapshot_intact(tmp_path):
    path = tmp_path / "live.bin"
    small = filled_store(30)
    small.save(str(path))
    expected = answers(small)
    child = textwrap.dedent(
        f"""
        import random, tavrik
        store = tavrik.VectorStorage()
        rng = random.Random(1)
        for i in range(20000):
            store.upsert(i, [rng.random() for _ in range(64)], {{"tenant_id": "big"}})
        print("ready", flush=True)
        while True:
            store.save({str(path)!r})
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    for attempt in range(3):
        process = subprocess.Popen([sys.executable, "-c", child], stdout=subprocess.PIPE, env=env)
        try:
            assert process.stdout.readline().strip() == b"ready"
            time.sleep(0.05 + 0.07 * attempt)
        finally:
            process.send_signal(signal.SIGKILL)
            process.wait(timeout=30)
        loaded = tavrik.VectorStorage()
        loaded.load(str(path))  # never a torn file: the old one or a complete new one
        result = answers(loaded)
        assert result == expected or all(len(r) == 10 for r in result)
