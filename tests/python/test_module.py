"""The module object, the VectorStorage class and its instances."""
import ctypes
import importlib
import importlib.util
import inspect
import shutil
import subprocess
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


def module_from_entry_point(entry_point):
    """Builds a module object the way a host does from one of the two
    exported entry points, without the import system's caches."""
    library = ctypes.PyDLL(tavrik.__file__)
    api = ctypes.pythonapi
    spec = importlib.util.spec_from_file_location("tavrik", tavrik.__file__)
    function = getattr(library, entry_point)
    function.restype = ctypes.c_void_p
    if entry_point == "PyModExport_tavrik":
        create = api.PyModule_FromSlotsAndSpec
        create.argtypes = [ctypes.c_void_p, ctypes.py_object]
        create.restype = ctypes.py_object
        module = create(function(), spec)
        api.PyModule_Exec.argtypes = [ctypes.py_object]
        assert api.PyModule_Exec(module) == 0
    else:
        definition = function()
        create = api.PyModule_FromDefAndSpec2
        create.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
        create.restype = ctypes.py_object
        module = create(definition, spec, 1013)  # the host's PYTHON_API_VERSION
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        assert api.PyModule_ExecDef(module, definition) == 0
    return module


@pytest.mark.parametrize("entry_point", [
    "PyInit_tavrik",
    pytest.param("PyModExport_tavrik", marks=pytest.mark.skipif(
        sys.version_info < (3, 15), reason="hosts before 3.15 have no slot-based export hook")),
])
def test_both_entry_points_give_the_same_module(entry_point):
    module = module_from_entry_point(entry_point)
    assert module.__name__ == "tavrik"
    assert module.__doc__ == tavrik.__doc__
    assert module.__all__ == ["VectorStorage"]
    assert module.VectorStorage is tavrik.VectorStorage


@pytest.mark.parametrize("module_name", ["tavrik", "tavrik_snapshot._native"])
def test_shared_object_exports_only_the_entry_points(module_name):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm (binutils)")
    module = importlib.import_module(module_name)
    listing = subprocess.run([nm, "-D", "--defined-only", module.__file__],
                             capture_output=True, text=True, check=True).stdout
    exported = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    short_name = module_name.rpartition(".")[2]
    assert exported == {f"PyInit_{short_name}", f"PyModExport_{short_name}"}
