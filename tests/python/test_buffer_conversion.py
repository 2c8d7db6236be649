"""Float vectors read from array buffers: the same floats, scores and errors as element-wise input."""
import array
import pickle
import struct

import numpy
import pytest

import tavrik

f32 = numpy.float32


def _varint(data, at):
    value, shift = 0, 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, at


def stored_bits(vector, tmp_path):
    """The f32 bit patterns stored for `vector`, read from a one-point snapshot."""
    store = tavrik.VectorStorage()
    store.upsert(1, vector, None)
    path = tmp_path / "one.bin"
    store.save(str(path))
    data = path.read_bytes()
    at = 3  # point count, key, id: one byte each
    length, at = _varint(data, at)
    return list(struct.unpack_from(f"<{length}I", data, at))


def bits_f32(values):
    return numpy.asarray(values, dtype=numpy.float32).view(numpy.uint32)


def special_floats32():
    patterns = [0x7FC00000, 0xFFC00001, 0x7F800001, 0xFFA5A5A5, 0x7F800000, 0xFF800000,
                0x80000000, 0x00000000, 0x00000001, 0x807FFFFF, 0x7F7FFFFF, 0x3F800000]
    return numpy.array(patterns, dtype=numpy.uint32).view(numpy.float32)


def random_vectors(dtype, count=20, seed=7):
    rng = numpy.random.default_rng(seed)
    out = []
    for i in range(count):
        length = int(rng.integers(0, 40))
        values = rng.standard_normal(length).astype(dtype) * dtype(10.0 ** int(rng.integers(-30, 30)))
        out.append(values)
    return out


@pytest.mark.parametrize("dtype", [numpy.float32, numpy.float64])
def test_arrays_store_the_floats_of_their_elements(dtype, tmp_path):
    with numpy.errstate(invalid="ignore"):
        widened = special_floats32().astype(dtype)
    for values in random_vectors(dtype) + [widened]:
        assert stored_bits(values, tmp_path) == stored_bits(list(values), tmp_path)
        assert stored_bits(values, tmp_path) == stored_bits(values.tolist(), tmp_path)


def test_float32_nan_payloads_match_the_element_path(tmp_path):
    values = special_floats32()
    expected = stored_bits(list(values), tmp_path)
    for source in (values, array.array("f", values.tobytes()), memoryview(values)):
        assert stored_bits(source, tmp_path) == expected
    # A signalling NaN comes back quiet, as through a Python float.
    assert expected[2] == 0x7FC00001


def test_float64_nan_payloads_and_overflow(tmp_path):
    doubles = numpy.array([1e39, -1e39, 3.4028235677973366e38, 3.4028235677973362e38,
                           float("nan"), -0.0, 1e-50, -1e-46],
                          dtype=numpy.float64)
    doubles[4] = numpy.array([0x7FF4000000000123], dtype=numpy.uint64).view(numpy.float64)[0]
    expected = stored_bits(list(doubles), tmp_path)
    for source in (doubles, array.array("d", doubles.tobytes()), memoryview(doubles)):
        assert stored_bits(source, tmp_path) == expected
    assert expected[0] == 0x7F800000 and expected[1] == 0xFF800000


@pytest.mark.parametrize("dtype", [numpy.float32, numpy.float64])
def test_strided_and_reversed_views(dtype, tmp_path):
    base = numpy.arange(60, dtype=dtype) * dtype(1.1)
    for view in (base[::3], base[::-1], base[50:5:-7], base[::-1][::2],
                 base.reshape(6, 10)[:, 3], base.reshape(6, 10).T[2], base[:0]):
        assert stored_bits(view, tmp_path) == stored_bits(view.tolist(), tmp_path)
        assert stored_bits(memoryview(numpy.ascontiguousarray(view)), tmp_path) == \
            stored_bits(view.tolist(), tmp_path)


def test_other_formats_keep_the_element_path(tmp_path):
    for values in (numpy.array([1, -2, 3], dtype=numpy.int64), numpy.array([True, False]),
                   numpy.array([1.5, 2.5], dtype=numpy.float16), array.array("i", [4, 5]),
                   numpy.array([1.0, 2.0], dtype=">f4"), numpy.array([1.0, 2.0], dtype=">f8"),
                   bytearray(b"\x01\x02"), b"\x07\x08"):
        assert stored_bits(values, tmp_path) == stored_bits([float(v) for v in values], tmp_path)


def test_subclasses_are_iterated():
    class Shouting(numpy.ndarray):
        def __iter__(self):
            return iter([9.0] * len(self))

    values = numpy.array([1.0, 2.0], dtype=numpy.float32).view(Shouting)
    store = tavrik.VectorStorage()
    store.upsert(1, values, None)
    assert store.search([1.0, 1.0], 1, "dot") == [(1, 18.0)]

    class Numbers(array.array):
        def __iter__(self):
            return iter([3.0, 3.0])

    store.upsert(2, Numbers("f", [1.0, 1.0]), None)
    assert store.search([1.0, 1.0], 2, "dot") == [(1, 18.0), (2, 6.0)]


def test_refusals_come_first():
    store = tavrik.VectorStorage()
    with pytest.raises(TypeError, match="not an instance of 'Sequence'"):
        store.upsert(1, pickle.PickleBuffer(array.array("f", [1.0])), None)
    with pytest.raises(TypeError, match="not an instance of 'Sequence'"):
        store.search(numpy.float32(1.0), 1, "cosine")


def test_shapes_other_than_one_dimension_fail_as_before():
    store = tavrik.VectorStorage()
    with pytest.raises(TypeError):
        store.upsert(1, numpy.array(1.0, dtype=numpy.float32), None)
    matrix = numpy.ones((2, 3), dtype=numpy.float32)
    with pytest.raises(TypeError) as from_array:
        store.upsert(1, matrix, None)
    with pytest.raises(TypeError) as from_rows:
        store.upsert(1, list(matrix), None)
    assert str(from_array.value) == str(from_rows.value)
    with pytest.raises(NotImplementedError):
        store.upsert(1, memoryview(matrix), None)
    released = memoryview(array.array("f", [1.0]))
    released.release()
    with pytest.raises(ValueError):
        store.upsert(1, released, None)
    assert store.search([1.0], 5, "dot") == []


@pytest.mark.parametrize(
    "rows",
    [
        numpy.empty((2**60, 0), numpy.float32),
        numpy.broadcast_to(numpy.float32(1), (2**60, 1)),
        numpy.broadcast_to(numpy.float64(1), (2**59, 1)),
    ],
)
def test_row_counts_too_large_to_hold_raise_memory_error(rows):
    store = tavrik.VectorStorage()
    store.upsert(1, [1.0], None)
    with pytest.raises(MemoryError):
        store.batch_search(rows, 1, "cosine")
    assert store.search([1.0], 5, "dot") == [(1, 1.0)]


def random_store(count=50, dims=16, seed=3):
    rng = numpy.random.default_rng(seed)
    store = tavrik.VectorStorage()
    for i in range(count):
        store.upsert(i, rng.standard_normal(dims).astype(numpy.float32).tolist(), None)
    return store, rng


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
@pytest.mark.parametrize("dtype", [numpy.float32, numpy.float64])
def test_search_scores_match_list_queries(metric, dtype):
    store, rng = random_store()
    for _ in range(10):
        query = (rng.standard_normal(16) * 3).astype(dtype)
        expected = store.search(query.tolist(), 10, metric)
        assert store.search(query, 10, metric) == expected
        assert store.search(query[::-1].copy()[::-1], 10, metric) == expected


@pytest.mark.parametrize("dtype", [numpy.float32, numpy.float64])
def test_batch_of_rows_matches_row_lists(dtype):
    store, rng = random_store()
    queries = rng.standard_normal((12, 16)).astype(dtype)
    expected = store.batch_search(queries.tolist(), 5, "cosine")
    assert store.batch_search(queries, 5, "cosine") == expected
    assert store.batch_search(list(queries), 5, "cosine") == expected
    assert store.batch_search(numpy.asfortranarray(queries), 5, "cosine") == expected
    assert store.batch_search(queries[::-1][::-1], 5, "cosine") == expected
    assert store.batch_search(numpy.empty((0, 16), dtype), 5, "cosine") == []
    assert store.batch_search(numpy.empty((2, 0), dtype), 5, "dot") == [[], []]


def test_integer_arrays_still_work():
    store = tavrik.VectorStorage()
    store.upsert(1, numpy.array([1, 2, 3]), None)
    assert store.search(numpy.array([1, 0, 0], dtype=numpy.int32), 1, "dot") == [(1, 1.0)]
    assert store.batch_search(numpy.array([[0, 1, 0]]), 1, "dot") == [[(1, 2.0)]]
