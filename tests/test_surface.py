"""The package's surface against the table in surface_table.py: every module's names in binding
order, its __all__, its `annotations`, what each name is, and every function's signature."""

import __future__
import ast
import enum
import importlib
import inspect
import json
import pydoc
import re
import subprocess
import sys
import types
import typing

import pytest

import velmor  # noqa: F401  (loads every module)
from surface_table import (BY_NAME, FACADES, MODULES, Const, EnumClass, ErrorClass, FacadeClass,
                           FacadeObject, Feature, Fn, InstanceOf, Mod, Ref, functions)

MODULE_IDS = [m.name for m in MODULES]
FUNCTION_IDS = [f"{mod}.{name}" for mod, name, _ in functions()]


def is_dunder(name):
    return name.startswith("__") and name.endswith("__")


@pytest.fixture(scope="session")
def fresh_order():
    """Each module's namespace keys as a fresh import leaves them: other tests rebind and
    delete attributes (monkeypatch), which moves names to the end of a namespace."""
    code = ("import json, sys, velmor; print(json.dumps({n: list(vars(m)) for n, m in "
            "sys.modules.items() if n == 'velmor' or n.startswith('velmor.')}))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120, check=True)
    return json.loads(out.stdout)


def order_report(expected, actual):
    """A readable account of how two name lists differ."""
    lines = []
    missing = [n for n in expected if n not in actual]
    extra = [n for n in actual if n not in expected]
    if missing:
        lines.append(f"missing: {missing}")
    if extra:
        lines.append(f"not in the table: {extra}")
    common_e = [n for n in expected if n in actual]
    common_a = [n for n in actual if n in expected]
    for i, (e, a) in enumerate(zip(common_e, common_a)):
        if e != a:
            lines.append(f"out of order from position {i}: table has {common_e[i:i + 4]}..., "
                         f"module has {common_a[i:i + 4]}...")
            break
    lines.append(f"table:  {expected}")
    lines.append(f"module: {actual}")
    return "\n".join(lines)


def resolve(value):
    """A table value with its Refs replaced by the objects they name."""
    if isinstance(value, Ref):
        return getattr(importlib.import_module(value.module), value.attr)
    if isinstance(value, dict):
        return {k: resolve(v) for k, v in value.items()}
    if isinstance(value, list):
        return [resolve(v) for v in value]
    return value


def same_constant(actual, expected):
    if isinstance(expected, dict):
        return (type(actual) is dict and list(actual) == list(expected)
                and all(same_constant(actual[k], v) for k, v in expected.items()))
    if isinstance(expected, list):
        return (type(actual) is list and len(actual) == len(expected)
                and all(same_constant(a, e) for a, e in zip(actual, expected)))
    if isinstance(expected, type):
        return actual is expected
    return type(actual) is type(expected) and actual == expected


def expected_annotations(signature_text):
    """The annotation texts written in a signature text, as __annotations__ holds them."""
    # Enum defaults show as <Class.MEMBER: n>, which is not source text.
    source = re.sub(r"<[^<>]*>", "...", signature_text)
    tree = ast.parse(f"def f{source}: pass").body[0]
    found = {a.arg: a.annotation.value for a in tree.args.args if a.annotation is not None}
    if tree.returns is not None:
        found["return"] = tree.returns.value
    return found


def test_the_table_covers_every_module_of_the_package(fresh_order):
    loaded = sorted(fresh_order)
    assert loaded == sorted(BY_NAME), order_report(sorted(BY_NAME), loaded)


@pytest.mark.parametrize("name", MODULE_IDS)
def test_names_in_binding_order(name, fresh_order):
    entry = BY_NAME[name]
    actual = [k for k in fresh_order[name] if not is_dunder(k)]
    assert actual == list(entry.names), f"{name}: names differ\n" + order_report(
        list(entry.names), actual)


@pytest.mark.parametrize("name", MODULE_IDS)
def test_all_annotations_and_package(name, fresh_order):
    entry, module = BY_NAME[name], sys.modules[name]
    actual_all = getattr(module, "__all__", None)
    if entry.all is None:
        assert actual_all is None, f"{name} should have no __all__, has {actual_all!r}"
    else:
        assert type(actual_all) is list and actual_all == list(entry.all), (
            f"{name}.__all__ is {actual_all!r}, the table has {list(entry.all)!r}")
        assert fresh_order[name][-1] == "__all__", (
            f"{name} binds __all__ last: {fresh_order[name][-3:]}")
        ns = {}
        exec(f"from {name} import *", ns)
        assert sorted(k for k in ns if k != "__builtins__") == sorted(entry.all)
    binds = vars(module).get("annotations") is __future__.annotations
    assert binds is entry.annotations, (
        f"{name} {'should' if entry.annotations else 'should not'} bind `annotations`")
    assert hasattr(module, "__path__") is entry.package, (
        f"{name} {'is' if entry.package else 'is not'} a package")
    for attr, value in entry.extra.items():
        assert getattr(module, attr) == value, f"{name}.{attr} is {getattr(module, attr)!r}"


def check_name(module, name, kind):
    """A list of the ways module.name differs from its table entry (empty when it agrees)."""
    value = vars(module)[name]
    where = f"{module.__name__}.{name}"
    if isinstance(kind, Feature):
        return [] if value is __future__.annotations else [f"{where} is not the __future__ feature"]
    if isinstance(kind, Mod):
        if isinstance(value, types.ModuleType) and value is sys.modules.get(kind.name):
            return []
        return [f"{where} should be the module {kind.name}, is {value!r}"]
    if isinstance(kind, Ref):
        target = resolve(kind)
        return [] if value is target else [f"{where} should be {kind.module}.{kind.attr}, "
                                           f"is {value!r}"]
    if isinstance(kind, Const):
        expected = resolve(kind.value)
        return [] if same_constant(value, expected) else [
            f"{where} should be {expected!r}, is {value!r}"]
    if isinstance(kind, InstanceOf):
        cls = resolve(kind.cls)
        return [] if isinstance(value, cls) else [f"{where} should be a {cls.__name__}"]
    if isinstance(kind, Fn):
        problems = []
        if getattr(value, "__module__", None) != module.__name__:
            problems.append(f"{where}.__module__ is {getattr(value, '__module__', None)!r}")
        if getattr(value, "__name__", None) != name or getattr(value, "__qualname__", None) != name:
            problems.append(f"{where} is named {getattr(value, '__qualname__', None)!r}")
        return problems
    if not isinstance(value, type):
        if isinstance(kind, FacadeObject):
            cls = vars(module)[kind.cls]
            return [] if type(value) is cls and vars(value) == {} else [
                f"{where} should be a plain instance of {kind.cls}"]
        return [f"{where} should be a class, is {value!r}"]
    problems = []
    if value.__module__ != module.__name__ or value.__qualname__ != name:
        problems.append(f"{where} reports itself as {value.__module__}.{value.__qualname__}")
    own = [k for k in vars(value) if not is_dunder(k)]
    if isinstance(kind, ErrorClass):
        base = Exception if kind.base == "Exception" else vars(module)[kind.base]
        if value.__bases__ != (base,):
            problems.append(f"{where} derives from {value.__bases__}, not {kind.base}")
        if value.__doc__ is not None or own:
            problems.append(f"{where} has a docstring or attributes of its own: {own}")
    elif isinstance(kind, EnumClass):
        if value.__bases__ != (enum.IntEnum,) or type(value) is not enum.EnumType:
            problems.append(f"{where} is not a plain IntEnum")
        members = tuple((m.name, m.value) for m in value)
        if members != kind.members or tuple(value.__members__) != tuple(n for n, _ in kind.members):
            problems.append(f"{where} members are {members}, table {kind.members}")
    elif isinstance(kind, FacadeClass):
        if value.__bases__ != (object,) or type(value) is not type or value.__doc__ is not None:
            problems.append(f"{where} is not a plain class without docstring")
        if own != [attr for attr, _ in kind.methods]:
            problems.append(f"{where} attributes are {own}, table "
                            f"{[attr for attr, _ in kind.methods]}")
        if not all(type(vars(value)[a]) is staticmethod for a in own):
            problems.append(f"{where} attributes are not all static methods")
    return problems


@pytest.mark.parametrize("name", MODULE_IDS)
def test_what_each_name_is(name):
    module = sys.modules[name]
    problems = [p for n, kind in BY_NAME[name].names.items() if n in vars(module)
                for p in check_name(module, n, kind)]
    assert not problems, "\n".join(problems)


def expected_defaults(module, fn):
    """The defaults a function should hold: its table source texts, evaluated in its module."""
    # a copy: eval would add __builtins__ to the module's own namespace
    return tuple(eval(text, dict(vars(module))) for text in fn.defaults)  # noqa: S307


@pytest.mark.parametrize("mod, name, fn", functions(), ids=FUNCTION_IDS)
def test_function_signature(mod, name, fn):
    module = sys.modules[mod]
    f = getattr(module, name)
    where = f"{mod}.{name}"
    sig = inspect.signature(f)
    assert str(sig) == fn.signature, f"{where}{sig} differs from {where}{fn.signature}"
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values()), (
        f"{where}: every parameter is positional-or-keyword")
    assert f.__annotations__ == expected_annotations(fn.signature), (
        f"{where}.__annotations__ is {f.__annotations__!r}")
    assert all(type(v) is str for v in f.__annotations__.values())
    # the texts name what the module binds, so tools can resolve them
    assert f.__globals__ is vars(module)
    typing.get_type_hints(f)
    defaults = expected_defaults(module, fn)
    actual = f.__defaults__
    if not defaults:
        assert actual is None, f"{where}.__defaults__ is {actual!r}, should be None"
    else:
        assert actual is not None and len(actual) == len(defaults), f"{where}: {actual!r}"
        for got, want, text in zip(actual, defaults, fn.defaults):
            ok = got is want if isinstance(want, enum.Enum) else (
                type(got) is type(want) and got == want)
            assert ok, f"{where}: default {got!r} is not {text} ({want!r})"
    assert inspect.iscoroutinefunction(f) is fn.coroutine, (
        f"{where} {'should' if fn.coroutine else 'should not'} be a coroutine function")


@pytest.mark.parametrize("mod, name, fn", functions(), ids=FUNCTION_IDS)
def test_help_shows_the_signature(mod, name, fn):
    text = pydoc.render_doc(getattr(sys.modules[mod], name), renderer=pydoc.plaintext)
    # pydoc puts one parameter on a line when the signature is long
    text = re.sub(r"\(\n\s+", "(", text)
    text = re.sub(r",?\n\)", ")", re.sub(r",\n\s+", ", ", text))
    title = ("async " if fn.coroutine else "") + name + fn.signature
    assert title in text, f"help({mod}.{name}) lacks {title!r}:\n{text}"


CORE_MODULES = ["velmor.aes.core", "velmor.rsa.core", "velmor.hybrid.core", "velmor.password.core",
                "velmor.quantum.core"]
PUBLIC_CORE = [(mod, name) for mod, name, _ in functions() if mod in CORE_MODULES
               and not name.startswith("_")]


@pytest.mark.parametrize("mod, name", PUBLIC_CORE, ids=[f"{m}.{n}" for m, n in PUBLIC_CORE])
def test_public_core_functions_have_docstrings(mod, name):
    f = getattr(sys.modules[mod], name)
    doc = f.__doc__
    assert isinstance(doc, str) and doc == inspect.cleandoc(doc), f"{mod}.{name}: {doc!r}"
    summary, blank, *rest = doc.split("\n")
    assert summary.endswith(".") and blank == "" and rest, f"{mod}.{name}: {doc!r}"
    assert "Raise" in doc or "raise" in doc, f"{mod}.{name} does not name its errors"
    assert summary in pydoc.render_doc(f, renderer=pydoc.plaintext)


@pytest.mark.parametrize("family", list(FACADES))
def test_coroutine_and_facade_functions_show_the_core_docstring(family):
    """The coroutine function and the facade method of a name show the docstring of the core
    function they run."""
    _, _, core_name, methods = FACADES[family]
    core = sys.modules[core_name]
    package = sys.modules[f"velmor.{family}"]
    facade = getattr(sys.modules["velmor.sync"], family)
    for attr, core_function in methods:
        doc = getattr(core, core_function).__doc__
        assert doc
        assert getattr(package, attr).__doc__ == doc, f"velmor.{family}.{attr}"
        assert getattr(facade, attr).__doc__ == doc, f"velmor.sync.{family}.{attr}"
