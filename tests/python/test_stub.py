"""The type stub src/tavrik.pyi agrees with the compiled module, and the
tavrik_snapshot package type-checks against its native module's stub."""
import ast
import importlib.util
import inspect
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tavrik

STUB = Path(__file__).resolve().parents[2] / "src" / "tavrik.pyi"


def parse_stub():
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def public(names):
    return {name for name in names if not name.startswith("_")}


def stub_class(tree, name):
    classes = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == name]
    assert len(classes) == 1, f"stub defines class {name} {len(classes)} times"
    return classes[0]


def stub_methods(class_node):
    return {node.name: node for node in class_node.body if isinstance(node, ast.FunctionDef)}


def stub_parameters(function):
    """(name, default source or None) for every parameter after self."""
    args = function.args
    assert not args.vararg and not args.kwarg and not args.kwonlyargs and not args.posonlyargs
    names = [arg.arg for arg in args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + [
        ast.unparse(default) for default in args.defaults
    ]
    assert names[0] == "self"
    return list(zip(names, defaults))[1:]


def runtime_parameters(method):
    parameters = list(inspect.signature(method).parameters.values())
    assert parameters[0].name == "self"
    result = []
    for parameter in parameters[1:]:
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, parameter
        default = None if parameter.default is inspect.Parameter.empty else repr(parameter.default)
        result.append((parameter.name, default))
    return result


def test_stub_declares_the_module_public_names():
    tree = parse_stub()
    declared = set()
    stub_all = None
    for node in tree.body:
        if isinstance(node, ast.ClassDef | ast.FunctionDef):
            declared.add(node.name)
        elif isinstance(node, ast.Assign | ast.AnnAssign):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            for target in targets:
                if isinstance(target, ast.Name):
                    declared.add(target.id)
                    if target.id == "__all__":
                        stub_all = ast.literal_eval(node.value)
    assert public(declared) == public(dir(tavrik))
    assert stub_all == tavrik.__all__


def test_stub_declares_exactly_the_public_methods():
    methods = stub_methods(stub_class(parse_stub(), "VectorStorage"))
    assert public(methods) == public(dir(tavrik.VectorStorage))


@pytest.mark.parametrize("name", sorted(public(dir(tavrik.VectorStorage))))
def test_stub_parameters_match_runtime(name):
    methods = stub_methods(stub_class(parse_stub(), "VectorStorage"))
    runtime = runtime_parameters(getattr(tavrik.VectorStorage, name))
    assert stub_parameters(methods[name]) == runtime


def test_stub_constructor_takes_no_arguments():
    methods = stub_methods(stub_class(parse_stub(), "VectorStorage"))
    new = methods["__new__"].args
    assert [arg.arg for arg in new.args] == ["cls"]
    assert not new.vararg and not new.kwarg and not new.kwonlyargs
    assert str(inspect.signature(tavrik.VectorStorage)) == "()"


def test_every_parameter_and_result_is_annotated():
    methods = stub_methods(stub_class(parse_stub(), "VectorStorage"))
    for name in public(methods):
        function = methods[name]
        assert function.returns is not None, name
        for arg in function.args.args[1:]:
            assert arg.annotation is not None, (name, arg.arg)


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stubtest_accepts_the_stub(tmp_path):
    # stubtest imports the module, so the directory holding the built module
    # goes on its path; the stub is found through MYPYPATH.
    shutil.copy(STUB, tmp_path / "tavrik.pyi")
    module_dir = str(Path(tavrik.__file__).resolve().parent)
    env = dict(os.environ)
    env["MYPYPATH"] = str(tmp_path)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    completed = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tavrik", "--mypy-config-file", os.devnull],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
@pytest.mark.parametrize("command", [
    ["mypy.stubtest", "tavrik_snapshot", "--mypy-config-file", os.devnull],
    ["mypy", "--strict", "-p", "tavrik_snapshot", "--cache-dir", "cache"],
])
def test_the_snapshot_package_type_checks(tmp_path, command):
    import tavrik_snapshot

    package_dir = str(Path(tavrik_snapshot.__file__).resolve().parents[1])
    env = dict(os.environ, MYPYPATH=package_dir)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_dir, env.get("PYTHONPATH")]))
    completed = subprocess.run([sys.executable, "-m", *command], cwd=tmp_path, env=env,
                               capture_output=True, text=True)
    assert completed.returncode == 0, completed.stdout + completed.stderr
