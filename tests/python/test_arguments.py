"""Argument binding and conversion errors shared by every method."""
import pytest


SEARCH_ARGS = ([1.0], 1, "cosine")


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("save", ("a", "b"), {}, "VectorStorage.save() takes 1 positional arguments but 2 were given"),
        ("upsert", (1, [1.0], None, 4), {},
         "VectorStorage.upsert() takes 3 positional arguments but 4 were given"),
        ("search", ([1.0], 1, "cosine", None, 5), {},
         "VectorStorage.search() takes from 3 to 4 positional arguments but 5 were given"),
        ("batch_search", ([], 1, "cosine", None, 5, 6), {},
         "VectorStorage.batch_search() takes from 3 to 4 positional arguments but 6 were given"),
        ("search", SEARCH_ARGS, {"limit": 2},
         "VectorStorage.search() got multiple values for argument 'limit'"),
        ("search", SEARCH_ARGS, {"bogus": 1, "limit": 2},
         "VectorStorage.search() got an unexpected keyword argument 'bogus'"),
        ("search", SEARCH_ARGS, {"limit": 2, "bogus": 1},
         "VectorStorage.search() got multiple values for argument 'limit'"),
        ("load", (), {}, "VectorStorage.load() missing 1 required positional argument: 'path'"),
        ("upsert", (1, [1.0]), {},
         "VectorStorage.upsert() missing 1 required positional argument: 'payload'"),
        ("upsert", (1,), {},
         "VectorStorage.upsert() missing 2 required positional arguments: 'vector' and 'payload'"),
        ("search", (), {"tenant_id": None},
         "VectorStorage.search() missing 3 required positional arguments: "
         "'query_vector', 'limit', and 'metric'"),
        ("batch_search", (), {"limit": 1},
         "VectorStorage.batch_search() missing 2 required positional arguments: "
         "'query_vectors' and 'metric'"),
    ],
)
def test_binding_messages(store, method, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        getattr(store, method)(*args, **kwargs)
    assert str(caught.value) == message
    assert getattr(caught.value, "__notes__", None) is None


def test_too_many_positional_is_reported_before_keywords(store):
    with pytest.raises(TypeError, match="takes 1 positional"):
        store.save("a", "b", bogus=1)


def test_every_parameter_binds_by_keyword(store):
    store.upsert(point_id=3, vector=[1.0, 0.0], payload=None)
    assert store.search(query_vector=[1.0, 0.0], limit=1, metric="dot", tenant_id=None) == [(3, 1.0)]
    assert store.batch_search(query_vectors=[[1.0, 0.0]], limit=1, metric="dot") == [[(3, 1.0)]]


@pytest.mark.parametrize(
    "method, args, parameter, error, message",
    [
        ("search", ([1.0], 1, None), "metric", TypeError, "'None' is not an instance of 'str'"),
        ("search", ([1.0], 1, b"cosine"), "metric", TypeError,
         "'bytes' object is not an instance of 'str'"),
        ("search", ([1.0], 1, "cosine", 3), "tenant_id", TypeError,
         "'int' object is not an instance of 'str'"),
        ("search", ([1.0], 1, "cosine", "\ud800"), "tenant_id", UnicodeEncodeError, None),
        ("save", (None,), "path", TypeError, "'None' is not an instance of 'str'"),
        ("load", (42,), "path", TypeError, "'int' object is not an instance of 'str'"),
    ],
)
def test_text_conversion_errors_carry_one_note(store, method, args, parameter, error, message):
    with pytest.raises(error) as caught:
        getattr(store, method)(*args)
    if message is not None:
        assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]


def test_path_objects_are_not_text(store, tmp_path):
    target = tmp_path / "snapshot.bin"
    with pytest.raises(TypeError) as caught:
        store.save(target)
    assert str(caught.value) == "'PosixPath' object is not an instance of 'str'"
    assert not target.exists()


def test_str_subclasses_are_text(store):
    class Name(str):
        pass

    store.upsert(1, [1.0], {"tenant_id": "t"})
    assert store.search([1.0], 1, Name("DOT"), Name("t")) == [(1, 1.0)]
