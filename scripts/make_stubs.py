#!/usr/bin/env python3
"""Writes the type stubs of velmor (the stub package velmor-stubs) from the installed package.

    .venv/bin/python scripts/make_stubs.py [DIRECTORY]     (make stubs; default src/velmor-stubs)

Every module of the package gets a stub with its names in the order the module binds them: the
functions with their parameters, the annotation texts they store, their defaults and docstrings
(coroutine functions as `async def`), the classes it defines, its constants, its sub-modules and
the names its `__all__` re-exports from elsewhere, and the imports the annotations need. Modules
and other objects it merely imports are left out. velmor.version becomes the template that CMake
fills in with the project's version. tests/test_stubs.py fails when the committed stubs differ
from what this writes.
"""

import __future__
import ast
import builtins
import enum
import importlib
import inspect
import pathlib
import sys
from collections import defaultdict

PACKAGE = "velmor"
WIDTH = 100  # longer signature and __all__ lines are broken, one item a line
HEADER = "# Written by scripts/make_stubs.py from the installed package (make stubs): do not edit."

# Values that CMake's configure_file fills in: the stub of the module becomes a `.pyi.in`
# template, so that the version stays written once, in pyproject.toml.
CONFIGURED = {"velmor.version": {"__version__": "@VELMOR_VERSION@"}}

MODULE_DUNDERS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__path__",
                  "__file__", "__cached__", "__builtins__", "__all__"}
CLASS_DUNDERS = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__",
                 "__firstlineno__", "__static_attributes__"}
LITERALS = (bool, int, float, str, bytes, type(None))


class StubError(Exception):
    """The package has something this generator does not know how to write."""


def package_modules():
    try:
        importlib.import_module(PACKAGE)
    except ImportError as error:
        raise StubError(f"{PACKAGE} is not installed for {sys.executable}: {error}") from error
    return {name: module for name, module in sorted(sys.modules.items())
            if name == PACKAGE or name.startswith(PACKAGE + ".")}


def is_package(module):
    return hasattr(module, "__path__")


def stub_path(module):
    """The stub's path in the stub package: velmor.aes is aes/__init__.pyi, velmor.sync sync.pyi."""
    parts = module.__name__.split(".")[1:]
    suffix = ".pyi.in" if module.__name__ in CONFIGURED else ".pyi"
    if is_package(module):
        return "/".join([*parts, "__init__" + suffix])
    return "/".join(parts) + suffix


def defined_in(value):
    """The module that defines a class or function, None for other objects."""
    if isinstance(value, type) or (callable(value) and not isinstance(value, staticmethod)):
        module = getattr(value, "__module__", None)
        return module if isinstance(module, str) else None
    return None


def quoted(value):
    """A str or bytes literal in double quotes, as the stubs write them."""
    text = repr(value)
    prefix = "b" if isinstance(value, bytes) else ""
    body = text[len(prefix) + 1:-1]
    # repr quotes with ' unless the text holds a ' (and no "): then it holds no quote at all.
    if text[len(prefix)] == "'" and '"' not in body:
        return f'{prefix}"{body}"'
    return text


def literal(value):
    return quoted(value) if isinstance(value, (str, bytes)) else repr(value)


def docstring(doc, indent):
    text = inspect.cleandoc(doc).replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    if text.endswith('"'):
        text = text[:-1] + '\\"'
    lines = text.split("\n")
    if len(lines) == 1:
        return [f'{indent}"""{text}"""']
    return ([f'{indent}"""{lines[0]}']
            + [f"{indent}{line}" if line else "" for line in lines[1:]]
            + [f'{indent}"""'])


def relative(from_package, target):
    """`from` clause text of a relative import of `target` in a stub whose package is
    `from_package`."""
    base, parts = from_package.split("."), target.split(".")
    common = 0
    while common < min(len(base), len(parts)) and base[common] == parts[common]:
        common += 1
    return "." * (len(base) - common + 1) + ".".join(parts[common:])


class ModuleStub:
    """The stub of one module, written from its namespace."""

    def __init__(self, module, owners):
        self.module = module
        self.name = module.__name__
        self.owners = owners
        self.package = self.name if is_package(module) else self.name.rpartition(".")[0]
        self.all = getattr(module, "__all__", None)
        self.bound = {}                 # name -> object, for the names the stub itself binds
        self.imports = defaultdict(set)  # `from` text -> {(name, alias)} the annotations need
        self.reexports = []             # import lines that bind names of the module
        self.items = []                 # (kind, lines): "const", "def", "class" or "class1"
        self.configured = CONFIGURED.get(self.name, {})

    # --- names and the imports they need -------------------------------------------------------

    def from_text(self, module_name):
        if module_name == PACKAGE or module_name.startswith(PACKAGE + "."):
            return relative(self.package, module_name)
        return module_name

    def need(self, text, namespace):
        """Import whatever the names in an annotation or type text refer to in `namespace`."""
        for node in ast.walk(ast.parse(text, mode="eval")):
            if isinstance(node, ast.Name):
                self.need_name(node.id, namespace)

    def need_name(self, name, namespace):
        if name in self.bound:
            if name in namespace and namespace[name] is not self.bound[name]:
                raise StubError(f"{self.name}: {name!r} names two objects")
            return
        if name not in namespace:
            if hasattr(builtins, name):
                return
            raise StubError(f"{self.name}: an annotation names {name!r}, which its module lacks")
        value = namespace[name]
        if isinstance(value, type(sys)):
            parent, _, last = value.__name__.rpartition(".")
            if not parent:
                raise StubError(f"{self.name}: the stub would need `import {value.__name__}`")
            self.imports[self.from_text(parent)].add((last, name))
        elif defined_in(value):
            owner = defined_in(value)
            if getattr(sys.modules.get(owner), value.__qualname__, None) is not value:
                raise StubError(f"{self.name}: {name!r} is not importable from {owner}")
            self.imports[self.from_text(owner)].add((value.__qualname__, name))
        else:
            raise StubError(f"{self.name}: an annotation names the value {name!r}")
        self.bound[name] = value

    def class_ref(self, cls, namespace):
        """Source text that names `cls` by the names of `namespace`, its imports noted."""
        if cls.__module__ == "builtins":
            return cls.__name__
        names = [n for n, v in namespace.items() if v is cls]
        if names:
            name = cls.__name__ if cls.__name__ in names else names[0]
            self.need_name(name, namespace)
            return name
        # Through a module the namespace binds: the one that defines the class first.
        modules = sorted((value.__name__ != cls.__module__, name)
                         for name, value in namespace.items() if isinstance(value, type(sys))
                         and getattr(value, cls.__name__, None) is cls)
        if modules:
            name = modules[0][1]
            self.need_name(name, namespace)
            return f"{name}.{cls.__name__}"
        self.need_name(cls.__qualname__, {cls.__qualname__: cls})
        return cls.__qualname__

    def type_text(self, value, namespace):
        if type(value) in LITERALS:
            return "None" if value is None else type(value).__name__
        if isinstance(value, type):
            return f"type[{self.class_ref(value, namespace)}]"
        if isinstance(value, dict):
            return (f"dict[{self.common_type(list(value), namespace)}, "
                    f"{self.common_type(list(value.values()), namespace)}]")
        if isinstance(value, (list, set, frozenset)):
            return f"{type(value).__name__}[{self.common_type(list(value), namespace)}]"
        if isinstance(value, tuple):
            return f"tuple[{self.common_type(list(value), namespace)}, ...]"
        return self.class_ref(type(value), namespace)

    def common_type(self, values, namespace):
        if not values:
            raise StubError(f"{self.name}: cannot type an empty container")
        if all(isinstance(v, type) for v in values):
            base = next(c for c in values[0].__mro__ if all(issubclass(v, c) for v in values))
            return f"type[{self.class_ref(base, namespace)}]"
        texts = list(dict.fromkeys(self.type_text(v, namespace) for v in values))
        return " | ".join(texts)

    def source(self, value, namespace):
        """Source text of a default or an enum member's value."""
        if isinstance(value, enum.Enum):  # before the literals: an IntEnum member is an int
            return f"{self.class_ref(type(value), namespace)}.{value.name}"
        if type(value) in LITERALS:
            return literal(value)
        raise StubError(f"{self.name}: cannot write {value!r} as source")

    # --- what the stub declares ---------------------------------------------------------------

    def function(self, fn, name, indent="", decorators=()):
        namespace = vars(sys.modules[fn.__module__])
        annotations = fn.__annotations__
        for text in annotations.values():
            if not isinstance(text, str):
                raise StubError(f"{self.name}.{name}: annotations must be stored as text")
            self.need(text, namespace)
        params = []
        for param in inspect.signature(fn).parameters.values():
            # The package's functions take every parameter positionally or by keyword.
            if param.kind is not inspect.Parameter.POSITIONAL_OR_KEYWORD:
                raise StubError(f"{self.name}.{name}: parameter {param.name} is {param.kind}")
            text = param.name
            if param.name in annotations:
                text += f": {annotations[param.name]}"
            if param.default is not param.empty:
                equals = " = " if param.name in annotations else "="
                text += equals + self.source(param.default, namespace)
            params.append(text)
        result = f" -> {annotations['return']}" if "return" in annotations else ""
        keyword = "async def" if inspect.iscoroutinefunction(fn) else "def"
        head = f"{indent}{keyword} {name}("
        lines = [f"{indent}{d}" for d in decorators]
        if len(f"{head}{', '.join(params)}){result}:") <= WIDTH:
            lines.append(f"{head}{', '.join(params)}){result}:")
        else:
            lines += [head] + [f"{indent}    {p}," for p in params] + [f"{indent}){result}:"]
        if fn.__doc__:
            lines += docstring(fn.__doc__, indent + "    ")
        else:
            lines[-1] += " ..."
        return lines

    def klass(self, cls):
        namespace = vars(self.module)
        bases = [self.class_ref(b, namespace) for b in cls.__bases__ if b is not object]
        head = f"class {cls.__name__}" + (f"({', '.join(bases)})" if bases else "") + ":"
        body = docstring(cls.__doc__, "    ") if cls.__doc__ else []
        if issubclass(cls, enum.Enum):
            body += [f"    {n} = {self.source(m.value, namespace)}"
                     for n, m in cls.__members__.items()]
        else:
            for attr, value in vars(cls).items():
                if attr in CLASS_DUNDERS:
                    continue
                if not isinstance(value, staticmethod):
                    raise StubError(f"{self.name}.{cls.__name__}.{attr}: only static methods "
                                    "are written")
                body += self.function(value.__func__, attr, "    ", ["@staticmethod"])
        if not body:
            return "class1", [head + " ..."]
        return "class", [head] + body

    def constant(self, name, value):
        if defined_in(type(value)) == self.name:
            return [f"{name}: {type(value).__name__}"]  # the one instance of a class of its own
        self.imports["typing"].add(("Final", "Final"))
        if name in self.configured:
            return [f"{name}: Final = {quoted(self.configured[name])}"]
        if type(value) in LITERALS:
            return [f"{name}: Final = {literal(value)}"]
        return [f"{name}: Final[{self.type_text(value, vars(self.module))}]"]

    # --- the module, name by name --------------------------------------------------------------

    def write(self):
        # First what the stub binds, so that annotations find the names bound later on.
        own = []
        for name, value in vars(self.module).items():
            if name in MODULE_DUNDERS or isinstance(value, __future__._Feature):
                continue
            if isinstance(value, type(sys)):
                # Sub-modules are re-exported; modules it merely imports stay out.
                if is_package(self.module) and value.__name__ == f"{self.name}.{name}":
                    self.bound[name] = value
                    self.reexports.append(f"from . import {name} as {name}")
                continue
            origin = defined_in(value) or self.owners.get((self.name, name), self.name)
            if origin == self.name:
                self.bound[name] = value
                own.append((name, value))
            elif self.all is not None and name in self.all:
                self.bound[name] = value
                self.reexports.append(f"from {self.from_text(origin)} import {name} as {name}")
        for name, value in own:
            if isinstance(value, type):
                self.items.append(self.klass(value))
            elif callable(value):
                self.items.append(("def", self.function(value, name)))
            else:
                self.items.append(("const", self.constant(name, value)))
        return self.render()

    def import_lines(self):
        sections = {"stdlib": [], "third": [], "local": []}
        for origin in sorted(self.imports):
            names = ", ".join(n if n == alias else f"{n} as {alias}"
                              for n, alias in sorted(self.imports[origin]))
            top = origin.partition(".")[0]
            section = ("local" if origin.startswith(".")
                       else "stdlib" if top in sys.stdlib_module_names else "third")
            sections[section].append(f"from {origin} import {names}")
        sections["local"] += self.reexports
        return [lines for lines in sections.values() if lines]

    def render(self):
        if self.module.__doc__:
            raise StubError(f"{self.name}: module docstrings are not written yet")
        blocks = self.import_lines()
        if self.all is not None:
            items = ", ".join(quoted(n) for n in self.all)
            one_line = f"__all__ = [{items}]"
            blocks.append([one_line] if len(one_line) <= WIDTH else
                          ["__all__ = ["] + [f"    {quoted(n)}," for n in self.all] + ["]"])
        body, kind_before = [], None
        for kind, lines in self.items:
            if kind_before is not None and (kind != kind_before or kind == "class"):
                body.append("")
            body += lines
            kind_before = kind
        if body:
            blocks.append(body)
        out = [HEADER]
        for block in blocks:
            out += [""] + block
        return "\n".join(out) + "\n"


def may_be_imported(module, attr, value):
    """Whether `value` may be another module's object that `module` binds: classes and functions
    say where they come from, and a literal is the module's own unless its __all__ lists it."""
    if (attr in MODULE_DUNDERS or isinstance(value, (type(sys), __future__._Feature))
            or defined_in(value)):
        return False
    return type(value) not in LITERALS or attr in getattr(module, "__all__", ())


def owners(modules):
    """(module, name) -> the other module whose object a module binds under that name: of the
    modules it depends on (those whose module objects, classes or functions it binds, and theirs)
    the one that binds the same object under the same name and depends on no other that does."""
    depends = {name: set() for name in modules}
    for name, module in modules.items():
        for value in vars(module).values():
            other = value.__name__ if isinstance(value, type(sys)) else defined_in(value)
            if other in modules and other != name:
                depends[name].add(other)
    below = {}
    for name in modules:
        seen, todo = set(), [name]
        while todo:
            for other in depends[todo.pop()] - seen:
                seen.add(other)
                todo.append(other)
        below[name] = seen - {name}

    found = {}
    for name, module in modules.items():
        for attr, value in vars(module).items():
            if not may_be_imported(module, attr, value):
                continue
            holders = [o for o in below[name] if vars(modules[o]).get(attr, object()) is value]
            roots = [o for o in holders if not any(h in below[o] for h in holders)]
            if len(roots) > 1:
                raise StubError(f"{name}.{attr}: shared by {roots}, none of which owns it")
            if roots:
                found[(name, attr)] = roots[0]
    return found


def stubs():
    """{path in the stub package: text} for every module of the package."""
    modules = package_modules()
    shared = owners(modules)
    return {stub_path(module): ModuleStub(module, shared).write() for module in modules.values()}


def write(directory):
    directory = pathlib.Path(directory)
    files = stubs()
    for old in [*directory.rglob("*.pyi"), *directory.rglob("*.pyi.in")]:
        if old.relative_to(directory).as_posix() not in files:
            old.unlink()
    for relative_path, text in files.items():
        path = directory / relative_path
        path.parent.mkdir(parents=True, exist_ok=True)
        if not path.exists() or path.read_text() != text:
            path.write_text(text)
    for folder in sorted(directory.rglob("*"), reverse=True):
        if folder.is_dir() and not any(folder.iterdir()):
            folder.rmdir()
    return files


def main(argv):
    default = pathlib.Path(__file__).resolve().parent.parent / "src" / f"{PACKAGE}-stubs"
    directory = pathlib.Path(argv[1]) if len(argv) > 1 else default
    try:
        files = write(directory)
    except StubError as error:
        sys.exit(f"make_stubs: {error}")
    print(f"make_stubs: {len(files)} stubs in {directory}")


if __name__ == "__main__":
    main(sys.argv)
