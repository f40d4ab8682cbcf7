"""The type stubs shipped in the wheel (site-packages/velmor-stubs) against the runtime and the
surface table: same modules, same declared names, and for every function the same parameter
names, defaults and annotation texts."""

import ast
import enum
import importlib.metadata
import importlib.util
import inspect
import pathlib
import sys

import pytest

import velmor
from surface_table import (BY_NAME, FACADES, MODULES, Const, EnumClass, ErrorClass, FacadeClass,
                           FacadeObject, Fn, InstanceOf, Mod, functions)

SITE = pathlib.Path(importlib.util.find_spec("velmor").origin).parent
STUBS = SITE / "velmor-stubs"


def stub_path(module):
    parts = module.split(".")[1:]
    entry = BY_NAME[module]
    if entry.package:
        return STUBS.joinpath(*parts, "__init__.pyi")
    return STUBS.joinpath(*parts[:-1], parts[-1] + ".pyi")


_trees = {}


def stub_tree(module):
    if module not in _trees:
        _trees[module] = ast.parse(stub_path(module).read_text(), filename=str(stub_path(module)))
    return _trees[module]


def declared(body):
    """Top-level names a stub body declares, with their nodes. `from x import a as a` and
    `import x as x` re-export; other imports only serve the annotations."""
    names = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                names[target.id] = node
        elif isinstance(node, (ast.ImportFrom, ast.Import)):
            for alias in node.names:
                if alias.asname is not None and alias.asname == alias.name.split(".")[-1]:
                    names[alias.asname] = node
    return names


def stub_signature(node):
    """(names, default source texts, annotation texts) of a stub function."""
    args = node.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), (
        f"{node.name}: stub has parameters that are not positional-or-keyword")
    names = [a.arg for a in args.args]
    defaults = tuple(ast.unparse(d) for d in args.defaults)
    annotations = {a.arg: ast.unparse(a.annotation) for a in args.args if a.annotation}
    if node.returns is not None:
        annotations["return"] = ast.unparse(node.returns)
    return names, defaults, annotations


def compare(where, node, runtime, fn, module):
    """Assert that a stub function agrees with the runtime function and its table entry."""
    names, defaults, annotations = stub_signature(node)
    sig = inspect.signature(runtime)
    assert names == list(sig.parameters), f"{where}: stub parameters {names}, runtime {list(sig.parameters)}"
    assert annotations == runtime.__annotations__, (
        f"{where}: stub annotations {annotations}, runtime {runtime.__annotations__}")
    assert defaults == fn.defaults, f"{where}: stub defaults {defaults}, table {fn.defaults}"
    actual = runtime.__defaults__ or ()
    assert len(actual) == len(defaults)
    for text, value in zip(defaults, actual):
        stub_value = eval(text, dict(vars(module)))  # noqa: S307
        same = stub_value is value if isinstance(value, enum.Enum) else stub_value == value
        assert same, f"{where}: stub default {text} is {stub_value!r}, runtime {value!r}"
    assert isinstance(node, ast.AsyncFunctionDef) is fn.coroutine, (
        f"{where}: stub should {'' if fn.coroutine else 'not '}be async")
    # Editors show the stub's docstring: it is the runtime's, word for word.
    runtime_doc = inspect.cleandoc(runtime.__doc__) if runtime.__doc__ else None
    assert ast.get_docstring(node) == runtime_doc, f"{where}: stub docstring differs"


def test_stubs_are_installed_beside_the_extension():
    assert velmor.__spec__.origin.endswith(".so") and pathlib.Path(velmor.__file__).parent == SITE
    assert STUBS.is_dir() and not (SITE / "velmor-stubs" / "__init__.py").exists()
    expected = sorted(stub_path(m.name).relative_to(STUBS).as_posix() for m in MODULES)
    actual = sorted(p.relative_to(STUBS).as_posix() for p in STUBS.rglob("*.pyi"))
    assert actual == expected


@pytest.mark.parametrize("mod, name, fn", functions(),
                         ids=[f"{m}.{n}" for m, n, _ in functions()])
def test_stub_function_agrees_with_the_runtime(mod, name, fn):
    node = declared(stub_tree(mod).body).get(name)
    assert isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)), (
        f"{stub_path(mod)} does not define {name}")
    module = sys.modules[mod]
    compare(f"{mod}.{name}", node, getattr(module, name), fn, module)


@pytest.mark.parametrize("inst", list(FACADES))
def test_stub_facade_methods_agree_with_their_core_functions(inst):
    cls_name, _, core, methods = FACADES[inst]
    classes = declared(stub_tree("velmor.sync").body)
    node = classes[cls_name]
    defs = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
    assert list(defs) == [attr for attr, _ in methods]
    core_entry, core_module = BY_NAME[core], sys.modules[core]
    for attr, fn_name in methods:
        d = defs[attr]
        assert [ast.unparse(x) for x in d.decorator_list] == ["staticmethod"]
        compare(f"velmor.sync.{inst}.{attr}", d, getattr(core_module, fn_name),
                core_entry.names[fn_name], core_module)


@pytest.mark.parametrize("mod", [m.name for m in MODULES])
def test_stub_declares_the_modules_names(mod):
    """Functions, classes, constants and sub-modules of the table are declared, nothing else is
    defined, and __all__ is the same."""
    entry = BY_NAME[mod]
    stub = declared(stub_tree(mod).body)
    wanted = [n for n, kind in entry.names.items()
              if isinstance(kind, (Fn, Const, InstanceOf, ErrorClass, EnumClass, FacadeClass,
                                   FacadeObject))
              or (isinstance(kind, Mod) and kind.name == f"{mod}.{n}")]
    missing = [n for n in wanted if n not in stub]
    assert not missing, f"{stub_path(mod)} lacks {missing}"
    defined = [n for n, node in stub.items()
               if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef))]
    assert [n for n in defined if n not in entry.names] == []
    stub_all = stub.get("__all__")
    if entry.all is None:
        assert stub_all is None
    else:
        assert ast.literal_eval(stub_all.value) == list(entry.all)
    for name, kind in entry.names.items():
        node = stub.get(name)
        if isinstance(kind, Const) and isinstance(kind.value, (int, str, bytes)):
            assert ast.literal_eval(node.value) == kind.value, f"{mod}.{name} in the stub"
        if isinstance(kind, ErrorClass):
            assert [ast.unparse(b) for b in node.bases] == [kind.base]
        if isinstance(kind, EnumClass):
            assert [ast.unparse(b) for b in node.bases] == ["IntEnum"]
            members = tuple((a.targets[0].id, ast.literal_eval(a.value)) for a in node.body)
            assert members == kind.members
        if isinstance(kind, FacadeObject):
            assert ast.unparse(node.annotation) == kind.cls
    for attr, value in entry.extra.items():
        node = stub.get(attr)
        if isinstance(node, ast.AnnAssign):
            assert ast.literal_eval(node.value) == value


def test_version_is_the_projects_everywhere():
    """The version is written once, in pyproject.toml: the runtime, the installed distribution
    and the stub all carry it."""
    node = declared(stub_tree("velmor.version").body)["__version__"]
    assert velmor.__version__ == velmor.version.__version__ == importlib.metadata.version("velmor")
    assert ast.literal_eval(node.value) == velmor.__version__
