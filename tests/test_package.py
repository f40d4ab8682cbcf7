"""The package frame: import, re-exports, exception classes, and the function surface."""
import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import velmor
import velmor.errors as errors

EXCEPTIONS = ["VelMorError", "InvalidInputError", "EncryptionError", "DecryptionError",
              "SignatureError", "QuantumOperationError"]


def test_version_and_reexports():
    assert velmor.__version__ == velmor.version.__version__ == "1.0.10"
    for name in EXCEPTIONS:
        assert getattr(velmor, name) is getattr(errors, name)
    assert velmor.__all__[0] == "__version__"
    assert velmor.__all__[-1] == "QuantumOperationError"
    assert "version" not in velmor.__all__ and "_internal" not in velmor.__all__
    assert hasattr(velmor, "annotations") and hasattr(errors, "annotations")
    assert not hasattr(velmor.version, "annotations")
    assert [n for n in vars(velmor.version) if not n.startswith("__")] == []


def test_star_import_binds_exactly_all():
    ns = {}
    exec("from velmor import *", ns)
    assert sorted(k for k in ns if k != "__builtins__") == sorted(velmor.__all__)


def test_exception_hierarchy():
    assert issubclass(errors.VelMorError, Exception)
    for name in EXCEPTIONS[1:]:
        cls = getattr(errors, name)
        assert cls.__bases__ == (errors.VelMorError,)
        assert cls.__module__ == "velmor.errors" and cls.__qualname__ == name
        assert cls.__doc__ is None
    assert not issubclass(errors.DecryptionError, errors.EncryptionError)
    assert not issubclass(errors.EncryptionError, errors.DecryptionError)
    e = errors.InvalidInputError("Data cannot be empty")
    assert str(e) == "Data cannot be empty" and e.args == ("Data cannot be empty",)
    assert [n for n in vars(errors) if not n.startswith("__")] == ["annotations"] + EXCEPTIONS


def test_submodules_are_registered_and_importable():
    for name in ["velmor.errors", "velmor.version", "velmor._internal", "velmor._internal.keys",
                 "velmor.aes", "velmor.aes.core"]:
        assert sys.modules[name] is importlib.import_module(name)
    from velmor.aes import core
    assert core is velmor.aes.core
    assert velmor._internal.keys.__name__ == "velmor._internal.keys"
    assert [n for n in vars(velmor._internal) if not n.startswith("__")] == ["keys"]


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def test_importing_a_submodule_loads_the_whole_package():
    out = run_python("""
        import sys
        import velmor.errors
        print(sorted(m for m in sys.modules if m.startswith('velmor')))
    """)
    assert out.returncode == 0, out.stderr
    assert "'velmor.aes.core'" in out.stdout and "'velmor.version'" in out.stdout


def test_modules_load_in_the_order_of_the_imports():
    # The import system asks its finders for a module when it starts loading it (sys.modules
    # holds the modules in the order they finished).
    out = run_python("""
        import sys
        started = []
        class Recorder:
            def find_spec(self, name, path=None, target=None):
                if name.startswith('velmor.'):
                    started.append(name)
        sys.meta_path.insert(0, Recorder())
        import velmor
        print(' '.join(started))
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == [
        "velmor.aes", "velmor.aes.core", "velmor.errors", "velmor._internal",
        "velmor._internal.keys", "velmor.hybrid", "velmor.hybrid.core", "velmor.rsa",
        "velmor.rsa.core", "velmor.password", "velmor.password.core", "velmor.quantum",
        "velmor.quantum.core", "velmor.quantum._oqs", "velmor.quantum.types", "velmor.sync",
        "velmor.version"]


BROKEN_AEAD = "cryptography.hazmat.primitives.ciphers.aead"


# The failure of a module's body reaches the importer as it was raised, not wrapped.
@pytest.mark.parametrize("blocker, failure", [
    ("None", f"ModuleNotFoundError: import of {BROKEN_AEAD} halted; None in sys.modules"),
    ("Broken('aead')", "RuntimeError: AESGCM is broken"),
])
def test_failed_import_leaves_nothing_and_can_be_retried(blocker, failure):
    out = run_python(f"""
        import sys, types
        class Broken(types.ModuleType):
            def __getattr__(self, name):
                if name.startswith('__'):
                    raise AttributeError(name)
                raise RuntimeError(name + ' is broken')
        sys.modules['{BROKEN_AEAD}'] = {blocker}
        try:
            import velmor
        except BaseException as e:
            print(f'{{type(e).__name__}}: {{e}}', e.__cause__, e.__context__)
        print('velmor' in sys.modules, 'velmor.aes' in sys.modules, 'velmor.aes.core' in sys.modules)
        del sys.modules['{BROKEN_AEAD}']
        import velmor
        print(velmor.aes.core.decrypt_str(velmor.aes.core.encrypt_str('x', 'k'), 'k'))
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:3] == [f"{failure} None None", "False False False", "x"]


MANY_THREADS_IMPORT = """
import sys, threading
names = sys.argv[1:]
barrier = threading.Barrier(len(names))
failures = []

def load(name):
    barrier.wait()
    try:
        __import__(name)
    except BaseException as e:
        failures.append(f"{type(e).__name__}: {e}")

threads = [threading.Thread(target=load, args=(name,)) for name in names]
for t in threads:
    t.start()
for t in threads:
    t.join()
import velmor
print(velmor.aes.core.decrypt_str(velmor.sync.aes.encrypt("x", "k"), "k"))
print(*failures, sep="\\n")
"""


@pytest.mark.parametrize("names", [
    ["velmor", "velmor.quantum.core"],
    ["velmor.quantum.core", "velmor"],
    ["velmor.aes.core", "velmor.sync", "velmor.quantum.core", "velmor.rsa", "velmor"],
])
def test_the_package_is_a_package_from_the_moment_other_threads_can_see_it(names):
    # Threads that import sub-modules while another builds the package find it registered in
    # sys.modules; from then on it must be a package whose sub-modules the import system finds,
    # and a thread either waits for the modules another is building or builds them itself.
    # The host takes a module's lock before it imports the module's parents, so two imports that
    # wait for each other may still be refused by its deadlock detection (or handed a module
    # still loading), as for any package whose initialisation imports its sub-modules.
    for _ in range(10):
        out = subprocess.run([sys.executable, "-c", MANY_THREADS_IMPORT, *names],
                             capture_output=True, text=True, timeout=120)
        assert out.returncode == 0, out.stderr
        first, *failures = out.stdout.rstrip("\n").split("\n")
        assert first == "x"
        assert not [f for f in failures if "is not a package" in f or "No module named" in f]


RACED_IMPORT = """
import sys, threading
barrier = threading.Barrier(2)

def load(name):
    barrier.wait()
    try:
        __import__(name)
    except ImportError:
        pass  # the host may refuse one of two imports that wait for each other

threads = [threading.Thread(target=load, args=(name,)) for name in ("velmor.aes.core", "velmor")]
for t in threads:
    t.start()
for t in threads:
    t.join()
import velmor
print(velmor.aes.core.decrypt_str(velmor.sync.aes.encrypt("x", "k"), "k"))
"""


def test_an_import_refused_on_one_thread_leaves_the_package_importable():
    # When the package's import fails on one thread while another thread is loading one of its
    # modules, that module must not build the package again around its half-built self.
    for _ in range(8):
        out = subprocess.run([sys.executable, "-c", RACED_IMPORT], capture_output=True, text=True,
                             timeout=120)
        assert out.returncode == 0, out.stderr
        assert out.stdout == "x\n"


def test_submodules_are_found_by_the_import_system_and_reload():
    out = run_python("""
        import asyncio, importlib, importlib.util, sys
        import velmor
        names = [m for m in sys.modules if m.startswith('velmor.')]
        print(all(importlib.util.find_spec(m) is sys.modules[m].__spec__ and
                  sys.modules[m].__spec__.loader is not None for m in names))
        spec = importlib.util.find_spec('velmor.quantum.core')
        print(spec.name, spec.submodule_search_locations, velmor.aes.__spec__.submodule_search_locations)
        before = velmor.aes.encrypt
        aes = importlib.reload(velmor.aes)
        core = importlib.reload(velmor.aes.core)
        print(aes is sys.modules['velmor.aes'] is velmor.aes, aes.encrypt is not before, aes.core is core)
        print(asyncio.run(aes.decrypt(core.encrypt_str('x', 'k'), 'k')))
        del sys.modules['velmor.version']
        import velmor.version
        print(velmor.version.__version__, sys.modules['velmor.version'] is velmor.version)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:5] == [
        "True", "velmor.quantum.core None []", "True True True", "x", "1.0.10 True"]


def test_function_surface():
    f = velmor.aes.core.encrypt_bytes
    assert f.__name__ == f.__qualname__ == "encrypt_bytes"
    assert f.__module__ == "velmor.aes.core"
    assert f.__doc__.startswith("Encrypt data with AES-256-GCM under a key text;")
    assert f.__defaults__ is None
    assert f.__annotations__ == {"data": "bytes", "key": "str", "return": "bytes"}
    assert str(inspect.signature(f)) == "(data: 'bytes', key: 'str') -> 'bytes'"
    assert "encrypt_bytes(data: 'bytes', key: 'str') -> 'bytes'" in pydoc_text(f)


def pydoc_text(obj):
    import pydoc
    return pydoc.render_doc(obj, renderer=pydoc.plaintext)


@pytest.mark.parametrize("call, message", [
    (lambda f: f(b"x"), "encrypt_bytes() missing 1 required positional argument: 'key'"),
    (lambda f: f(), "encrypt_bytes() missing 2 required positional arguments: 'data' and 'key'"),
    (lambda f: f(b"x", "k", 3), "encrypt_bytes() takes 2 positional arguments but 3 were given"),
    (lambda f: f(b"x", kye="k"), "encrypt_bytes() got an unexpected keyword argument 'kye'"),
    (lambda f: f(b"x", data=b"y"), "encrypt_bytes() got multiple values for argument 'data'"),
])
def test_argument_errors_match_the_host(call, message):
    with pytest.raises(TypeError) as info:
        call(velmor.aes.core.encrypt_bytes)
    assert str(info.value) == message


def test_keyword_arguments_bind_by_name():
    core = velmor.aes.core
    blob = core.encrypt_bytes(key="k", data=b"payload")
    assert core.decrypt_bytes(key="k", blob=blob) == b"payload"


def test_late_lookup_and_name_error(monkeypatch):
    core = velmor.aes.core
    calls = []
    real = core.AESGCM

    def spy(key):
        calls.append(key)
        return real(key)

    monkeypatch.setattr(core, "AESGCM", spy)
    core.encrypt_bytes(b"x", "k")
    assert len(calls) == 1
    monkeypatch.delattr(core, "AESGCM")
    with pytest.raises(errors.EncryptionError) as info:
        core.encrypt_bytes(b"x", "k")
    assert isinstance(info.value.__cause__, NameError)
    assert str(info.value) == "AES-GCM encryption failed: name 'AESGCM' is not defined"


# The host's own functions of the same signatures, to compare argument errors with.
def _two(data, key): pass
def _defaulted(password, iterations=210000): pass
def _one(hash_json): pass


BINDING_CALLS = [
    ((), {}), ((1,), {}), ((1, 2, 3), {}), ((1, 2, 3, 4), {}), ((), {"key": 1}),
    ((1,), {"kye": 2}), ((1,), {"data": 2}), ((1, 2, 3), {"kye": 1}), ((1, 2, 3), {"data": 1}),
    ((), {"hash_jsn": 1}), ((), {"iteration": 1}), ((1, 2), {"iterations": 3}),
    ((), {"x": 1, "y": 2}),
]
BOUND_LIKE = [
    (_two, "velmor.aes.core.encrypt_bytes"), (_two, "velmor.aes.encrypt_bytes"),
    (_defaulted, "velmor.password.core.hash_password"), (_defaulted, "velmor.password.hash"),
    (_one, "velmor.password.core.needs_rehash"), (_one, "velmor.password.needs_rehash"),
]


def host_binding_error(host, args, kwargs):
    try:
        host(*args, **kwargs)
    except TypeError as e:
        return str(e)
    return None


@pytest.mark.parametrize("host, name, args, kwargs, message", [
    (host, name, args, kwargs, message)
    for host, name in BOUND_LIKE for args, kwargs in BINDING_CALLS
    if (message := host_binding_error(host, args, kwargs)) is not None
])
def test_argument_binding_errors_are_the_hosts(host, name, args, kwargs, message):
    module, attr = name.rsplit(".", 1)
    ours = getattr(importlib.import_module(module), attr)
    with pytest.raises(TypeError) as info:
        ours(*args, **kwargs)
    assert str(info.value) == message.replace(host.__name__ + "()", attr + "()")
