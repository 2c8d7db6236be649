"""save and load: the snapshot bytes, the OSError texts, and crash safety."""
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import textwrap
import time
import warnings

import pytest

import tavrik
from messages import DECODE

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


# ------------------------------------------- targets that are open files


def open_file_targets(directory):
    def deleted():
        fd = os.open(directory / "gone.bin", os.O_RDWR | os.O_CREAT, 0o600)
        os.unlink(directory / "gone.bin")
        return fd

    return {
        "memfd": lambda: os.memfd_create("tavrik-test"),
        "unnamed file": lambda: os.open(directory, os.O_TMPFILE | os.O_RDWR, 0o600),
        "deleted file": deleted,
        "named file": lambda: os.open(directory / "named.bin", os.O_RDWR | os.O_CREAT, 0o600),
        "pipe": os.pipe,
    }


# A link in /proc names an open file by a description ("pipe:[7]", "/memfd:x
# (deleted)"), not by a path: saving through it must write that open file,
# as opening the path does, and create nothing else.
@pytest.mark.parametrize("via", ["/proc/self/fd/{}", "/dev/stdout"])
@pytest.mark.parametrize("kind", open_file_targets(None).keys())
def test_saving_through_a_link_to_an_open_file_writes_that_file(tmp_path, kind, via):
    store = filled_store(20)
    expected = saved_bytes(store, tmp_path, "reference.bin")
    (tmp_path / "reference.bin").unlink()
    opened = open_file_targets(tmp_path)[kind]()
    read_end, fd = opened if kind == "pipe" else (opened, opened)
    try:
        if via == "/dev/stdout":
            saved_stdout = os.dup(1)
            os.dup2(fd, 1)
            try:
                store.save(via)
            finally:
                os.dup2(saved_stdout, 1)
                os.close(saved_stdout)
        else:
            store.save(via.format(fd))
        written = os.read(read_end, 1 << 20) if kind == "pipe" else os.pread(fd, 1 << 20, 0)
    finally:
        os.close(fd)
        if read_end != fd:
            os.close(read_end)
    assert written == expected
    assert os.listdir(tmp_path) == (["named.bin"] if kind == "named file" else [])


# ------------------------------------------ files that cannot be replaced

NOBODY = 65534
SAVER = 4242  # an unprivileged user of no particular name
NO_SPACE = "Failed to write serialized bytes to disk: No space left on device (os error 28)"


@pytest.fixture
def shared_dir():
    """A directory that other users can enter, and a way to mount in it;
    mounts are taken down afterwards."""
    if os.geteuid() != 0:
        pytest.skip("needs root: mounts, other owners, other users")
    base = tempfile.mkdtemp(prefix="tavrik-shared-")
    os.chmod(base, 0o755)
    mounted = []

    def mount(*args):
        target = args[-1]
        if subprocess.run(["mount", *args], capture_output=True).returncode != 0:
            pytest.skip("mounting is not permitted here")
        mounted.append(target)

    yield base, mount
    for target in reversed(mounted):
        subprocess.run(["umount", "-l", target], check=False)
    shutil.rmtree(base)


def fill_up(directory, leave=32 * 1024):
    """Fills the file system of `directory` but for about `leave` bytes."""
    filler = os.path.join(directory, "filler")
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        while os.write(fd, bytes(64 * 1024)):
            pass
    except OSError:
        pass
    finally:
        os.close(fd)
    os.truncate(filler, max(os.path.getsize(filler) - leave, 0))


def bind_mounted(base, mount, source_dir):
    target = os.path.join(base, "snap.bin")
    open(target, "wb").close()
    mount("--bind", os.path.join(source_dir, "snap.bin"), target)
    return target


def case_bind_mount(base, mount, old):
    os.mkdir(os.path.join(base, "source"))
    with open(os.path.join(base, "source", "snap.bin"), "wb") as source:
        source.write(old)
    return bind_mounted(base, mount, os.path.join(base, "source")), 0, None


def case_bind_mount_full_disk(base, mount, old):
    disk = os.path.join(base, "disk")
    os.mkdir(disk)
    mount("-t", "tmpfs", "-o", "size=1m", "tmpfs", disk)
    with open(os.path.join(disk, "snap.bin"), "wb") as source:
        source.write(old)
    fill_up(disk)
    return bind_mounted(base, mount, disk), 0, NO_SPACE


def case_sticky_directory(base, mount, old):
    sticky = os.path.join(base, "sticky")
    os.mkdir(sticky)
    os.chmod(sticky, 0o1777)
    target = os.path.join(sticky, "snap.bin")
    with open(target, "wb") as file:
        file.write(old)
    os.chown(target, NOBODY, NOBODY)
    os.chmod(target, 0o666)
    return target, SAVER, None


def case_read_only_directory_full_disk(base, mount, old):
    disk = os.path.join(base, "disk")
    os.mkdir(disk)
    mount("-t", "tmpfs", "-o", "size=1m,mode=0755", "tmpfs", disk)
    target = os.path.join(disk, "snap.bin")
    with open(target, "wb") as file:
        file.write(old)
    os.chmod(target, 0o666)
    fill_up(disk)
    return target, SAVER, NO_SPACE


def case_other_owner(base, mount, old):
    target = os.path.join(base, "snap.bin")
    with open(target, "wb") as file:
        file.write(old)
    os.chown(target, NOBODY, NOBODY)
    os.chmod(target, 0o640)
    return target, 0, None


def save_as(store, path, uid):
    """store.save(path) in a child running as `uid`: the error text, or None."""
    if uid == 0:
        try:
            store.save(path)
        except OSError as error:
            return str(error)
        return None
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
        pid = os.fork()
    if pid == 0:
        try:
            os.setgid(uid)
            os.setuid(uid)
            store.save(path)
            os.write(write_end, b"saved")
        except OSError as error:
            os.write(write_end, str(error).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    _, status = os.waitpid(pid, 0)
    with os.fdopen(read_end, "rb") as result:
        text = result.read().decode()
    assert os.waitstatus_to_exitcode(status) == 0
    return None if text == "saved" else text


# Where a file cannot be replaced through its directory (a bind-mounted file,
# another user's file in a sticky directory, a directory the saver may not
# write), the save writes the file in place, after reserving the space: a
# full disk fails the save and leaves the previous snapshot whole. A file
# keeps its owner, group and mode either way.
@pytest.mark.parametrize(
    "setup",
    [case_bind_mount, case_bind_mount_full_disk, case_sticky_directory,
     case_read_only_directory_full_disk, case_other_owner],
    ids=lambda setup: setup.__name__[len("case_"):],
)
def test_saves_where_the_file_cannot_be_replaced(shared_dir, tmp_path, setup):
    base, mount = shared_dir
    old = saved_bytes(tavrik.VectorStorage(), tmp_path, "old.bin")
    store = filled_store(2000)
    new = saved_bytes(store, tmp_path, "new.bin")
    path, uid, error = setup(base, mount, old)
    before = os.stat(path)
    entries = sorted(os.listdir(os.path.dirname(path)))
    assert save_as(store, path, uid) == error
    with open(path, "rb") as file:
        assert file.read() == (old if error else new)
    after = os.stat(path)
    assert (after.st_uid, after.st_gid, after.st_mode) == (before.st_uid, before.st_gid, before.st_mode)
    assert sorted(os.listdir(os.path.dirname(path))) == entries
