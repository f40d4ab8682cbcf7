"""The type stubs: scripts/make_stubs.py writes them from the installed package, the committed
ones (src/velmor-stubs) are what it writes, and the wheel installs them beside the extension.
mypy's stubtest (make test) checks them against the runtime as a type checker reads them."""

import ast
import difflib
import enum
import importlib
import importlib.metadata
import importlib.util
import inspect
import pathlib
import subprocess
import sys

import pytest

import velmor
from surface_table import BY_NAME, MODULES

ROOT = pathlib.Path(__file__).resolve().parent.parent
COMMITTED = ROOT / "src" / "velmor-stubs"
SITE = pathlib.Path(importlib.util.find_spec("velmor").origin).parent
STUBS = SITE / "velmor-stubs"


def stub_path(module):
    parts = module.split(".")[1:]
    if BY_NAME[module].package:
        return STUBS.joinpath(*parts, "__init__.pyi")
    return STUBS.joinpath(*parts[:-1], parts[-1] + ".pyi")


def stub_tree(module):
    return ast.parse(stub_path(module).read_text(), filename=str(stub_path(module)))


def tree_files(directory):
    return {p.relative_to(directory).as_posix(): p.read_text()
            for p in sorted(directory.rglob("*")) if p.is_file()}


def test_committed_stubs_are_what_the_generator_writes(tmp_path):
    """Run in a process of its own: tests that monkeypatch a module move its names to the end."""
    out = tmp_path / "velmor-stubs"
    subprocess.run([sys.executable, str(ROOT / "scripts" / "make_stubs.py"), str(out)],
                   check=True, capture_output=True, text=True, timeout=120)
    written, committed = tree_files(out), tree_files(COMMITTED)
    assert sorted(written) == sorted(committed), "make stubs writes other files"
    diff = "".join(line for name in written for line in difflib.unified_diff(
        committed[name].splitlines(True), written[name].splitlines(True),
        f"src/velmor-stubs/{name}", f"written/{name}"))
    assert not diff, f"the committed stubs are stale (make stubs writes them):\n{diff}"


def stub_namespace(module, tree):
    """The objects the stub's names stand for: what its imports bind, its classes."""
    package = module.__name__ if hasattr(module, "__path__") else module.__name__.rpartition(".")[0]
    namespace = {}
    for node in tree.body:
        if isinstance(node, ast.ImportFrom):
            source = importlib.import_module("." * node.level + (node.module or ""), package)
            for alias in node.names:
                namespace[alias.asname or alias.name] = getattr(source, alias.name)
        elif isinstance(node, ast.ClassDef):
            namespace[node.name] = getattr(module, node.name)
    return namespace


def stub_functions(module, tree):
    """(qualified name, stub node, runtime function) for the functions and static methods."""
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node.name, node, getattr(module, node.name)
        elif isinstance(node, ast.ClassDef):
            for method in node.body:
                if isinstance(method, ast.FunctionDef):
                    yield (f"{node.name}.{method.name}", method,
                           getattr(getattr(module, node.name), method.name))


@pytest.mark.parametrize("mod", [m.name for m in MODULES if m.name != "velmor.version"])
def test_stub_defaults_and_docstrings_read_back_as_the_runtimes(mod):
    """The two things the generator writes as source rather than copies: a default, which in
    the stub's own scope is the runtime's default (the very enum member), and a docstring,
    escaped so that the stub's reads as the runtime's."""
    module = sys.modules[mod]
    tree = stub_tree(mod)
    namespace = stub_namespace(module, tree)
    for where, node, runtime in stub_functions(module, tree):
        defaults = runtime.__defaults__ or ()
        assert len(node.args.defaults) == len(defaults), where
        for text, value in zip(map(ast.unparse, node.args.defaults), defaults):
            stub_value = eval(text, dict(namespace))  # noqa: S307
            same = stub_value is value if isinstance(value, enum.Enum) else (
                type(stub_value) is type(value) and stub_value == value)
            assert same, f"{mod}.{where}: stub default {text} is {stub_value!r}, runtime {value!r}"
        runtime_doc = inspect.cleandoc(runtime.__doc__) if runtime.__doc__ else None
        assert ast.get_docstring(node) == runtime_doc, f"{mod}.{where}: stub docstring differs"


@pytest.fixture(scope="module")
def make_stubs():
    spec = importlib.util.spec_from_file_location("make_stubs", ROOT / "scripts" / "make_stubs.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# Texts the package's own docstrings and constants do not hold yet.
@pytest.mark.parametrize("doc", [
    "One line.",
    'Ends in a "quote"',
    "A backslash \\ and an escape \\n stay as they are.",
    'Holds """ three quotes.',
    "First line.\n\n    Indented.\nLast line.",
])
def test_docstrings_read_back(make_stubs, doc):
    source = "def f():\n" + "\n".join(make_stubs.docstring(doc, "    ")) + "\n"
    assert ast.get_docstring(ast.parse(source).body[0]) == inspect.cleandoc(doc)


@pytest.mark.parametrize("value", ["pbkdf2", "it's", 'say "hi"', "both ' and \"", "back\\slash",
                                   "ünïcode", b"0\r\x06\t*\x86H", b"'", b"\"'", ""])
def test_literals_read_back(make_stubs, value):
    read = ast.literal_eval(make_stubs.quoted(value))
    assert read == value and type(read) is type(value)


def test_stubs_are_installed_beside_the_extension():
    assert velmor.__spec__.origin.endswith(".so") and pathlib.Path(velmor.__file__).parent == SITE
    assert STUBS.is_dir() and not (SITE / "velmor-stubs" / "__init__.py").exists()
    expected = sorted(stub_path(m.name).relative_to(STUBS).as_posix() for m in MODULES)
    actual = sorted(p.relative_to(STUBS).as_posix() for p in STUBS.rglob("*.pyi"))
    assert actual == expected


def test_version_is_the_projects_everywhere():
    """The version is written once, in pyproject.toml: the runtime, the installed distribution
    and the stub that CMake configures from its template all carry it."""
    node, = [n for n in stub_tree("velmor.version").body
             if isinstance(n, ast.AnnAssign) and n.target.id == "__version__"]
    assert velmor.__version__ == velmor.version.__version__ == importlib.metadata.version("velmor")
    assert ast.literal_eval(node.value) == velmor.__version__
