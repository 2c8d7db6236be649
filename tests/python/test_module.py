"""The module object, the VectorStorage class and its instances."""
import importlib.util
import inspect
import sys
import weakref

import pytest

import tavrik


def fresh_module(prepare=None):
    """Loads another module object from the same extension file, letting
    `prepare` set attributes before the exec step runs."""
    spec = importlib.util.find_spec("tavrik")
    module = importlib.util.module_from_spec(spec)
    if prepare is not None:
        prepare(module)
    spec.loader.exec_module(module)
    return module


def test_module_exposes_only_the_class():
    assert tavrik.__all__ == ["VectorStorage"]
    public = {name for name in dir(tavrik) if not name.startswith("__")}
    assert public == {"VectorStorage"}
    assert tavrik.__doc__


def test_class_identity_and_introspection():
    cls = tavrik.VectorStorage
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == "VectorStorage"
    assert cls.__text_signature__ == "()"
    assert cls.__doc__.startswith("High-performance vector storage")
    assert "memory partition segment layer. It supports lock-free" in cls.__doc__


@pytest.mark.parametrize(
    "method, signature",
    [
        ("upsert", "(point_id, vector, payload)"),
        ("search", "(query_vector, limit, metric, tenant_id=None)"),
        ("batch_search", "(query_vectors, limit, metric, tenant_id=None)"),
        ("save", "(path)"),
        ("load", "(path)"),
    ],
)
def test_method_signatures(store, method, signature):
    assert str(inspect.signature(getattr(store, method))) == signature
    doc = getattr(tavrik.VectorStorage, method).__doc__
    assert "# Parameters" in doc and "# Errors" in doc
    assert ("# Returns" in doc) == (method in ("search", "batch_search"))


def test_docstring_sections_are_verbatim():
    search_doc = tavrik.VectorStorage.search.__doc__
    assert (
        "* `limit` - The total depth matching threshold boundary (Top-K) to harvest from "
        "active memory slots." in search_doc
    )
    assert search_doc.splitlines()[0] == (
        "Searches the high-dimensional vector space to extract top-K nearest neighbors "
        "matching target query configurations."
    )
    assert tavrik.VectorStorage.load.__doc__.endswith(
        "Throws a standard `IOError` if input buffers contain broken byte signatures or "
        "version mismatches."
    )


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "VectorStorage.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "VectorStorage.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "VectorStorage.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_constructor_takes_nothing(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        tavrik.VectorStorage(*args, **kwargs)
    assert str(caught.value) == message


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (tavrik.VectorStorage,), {})


def test_instances_have_no_dict_and_no_weakrefs(store):
    with pytest.raises(AttributeError):
        store.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(store)


def test_instances_are_independent_and_freed():
    first, second = tavrik.VectorStorage(), tavrik.VectorStorage()
    first.upsert(1, [1.0], None)
    assert first.search([1.0], 5, "dot") == [(1, 1.0)]
    assert second.search([1.0], 5, "dot") == []
    def churn():
        for _ in range(100):
            tavrik.VectorStorage().upsert(1, [1.0], {"k": "v"})

    churn()  # warm the host's caches
    before = sys.getrefcount(tavrik.VectorStorage)
    churn()
    after = sys.getrefcount(tavrik.VectorStorage)
    assert after == before


def test_every_module_object_shares_one_class():
    module = fresh_module()
    assert module.VectorStorage is tavrik.VectorStorage
    assert module.__all__ == ["VectorStorage"]


def test_exec_step_appends_to_an_existing_all():
    module = fresh_module(lambda m: setattr(m, "__all__", ["other"]))
    assert module.__all__ == ["other", "VectorStorage"]


def test_exec_step_accepts_a_list_subclass():
    class Names(list):
        pass

    module = fresh_module(lambda m: setattr(m, "__all__", Names()))
    assert list(module.__all__) == ["VectorStorage"]


def test_exec_step_refuses_an_all_that_is_not_a_list():
    with pytest.raises(TypeError) as caught:
        fresh_module(lambda m: setattr(m, "__all__", ("other",)))
    assert str(caught.value) == "'tuple' object is not an instance of 'list'"
