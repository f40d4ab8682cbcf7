"""The binding layer velmor.quantum._oqs: tables, lazy import, and the block protocol of the six
wrappers (one __exit__ with the right arguments, which errors are wrapped and which pass)."""

import sys
import types

import pytest

import oqs_double
from velmor.errors import QuantumOperationError
from velmor.quantum import _oqs
from velmor.quantum.types import QuantumStrength

HINT = "Post-quantum support requires the native liboqs binding. Install it with:  pip install 'velmor[quantum]'"


@pytest.fixture
def oqs(monkeypatch):
    return oqs_double.install(monkeypatch)


@pytest.fixture
def no_binding(monkeypatch):
    # None in sys.modules makes `import oqs` fail with ModuleNotFoundError whatever is installed.
    monkeypatch.setitem(sys.modules, "oqs", None)


# --- tables -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "fn, names",
    [
        (_oqs.frodo_alg, ["FrodoKEM-640-AES", "FrodoKEM-976-AES", "FrodoKEM-1344-AES"]),
        (_oqs.cmce_alg, ["Classic-McEliece-6688128", "Classic-McEliece-6960119", "Classic-McEliece-8192128"]),
        (_oqs.mlkem_alg, ["ML-KEM-512", "ML-KEM-768", "ML-KEM-1024"]),
    ],
)
def test_kem_tables(fn, names, no_binding):
    assert [fn(i) for i in range(3)] == names
    assert fn(QuantumStrength.MEDIUM) == names[1]
    assert fn(2.9) == names[2] and fn("1") == names[1] and fn(True) == names[1]
    for bad in (3, -1):
        with pytest.raises(KeyError):
            fn(bad)
    with pytest.raises(ValueError):
        fn("strong")
    with pytest.raises(TypeError):
        fn(None)


@pytest.mark.parametrize(
    "table, call",
    [("_FRODO", lambda: _oqs.frodo_alg(None)), ("_CMCE", lambda: _oqs.cmce_alg(None)),
     ("_MLKEM", lambda: _oqs.mlkem_alg(None)), ("_MLDSA", lambda: _oqs.sig_algorithm("mldsa", None)),
     ("_SLHDSA", lambda: _oqs.sig_algorithm("slhdsa", None))],
)
def test_table_is_looked_up_before_the_strength_is_converted(oqs, monkeypatch, table, call):
    monkeypatch.delattr(_oqs, table)
    with pytest.raises(NameError, match=table):
        call()


def test_table_contents_and_shape():
    assert _oqs._MLDSA == {0: "ML-DSA-44", 1: "ML-DSA-65", 2: "ML-DSA-87"}
    assert _oqs._SLHDSA == {
        0: ["SLH-DSA-SHA2-128f", "SLH_DSA_PURE_SHA2_128F"],
        1: ["SLH-DSA-SHA2-192f", "SLH_DSA_PURE_SHA2_192F"],
        2: ["SLH-DSA-SHA2-256f", "SLH_DSA_PURE_SHA2_256F"],
    }
    assert not hasattr(_oqs, "__all__")
    assert _oqs.sig_verify.__annotations__ == {
        "alg": "str", "public_key": "bytes", "message": "bytes", "signature": "bytes", "return": "bool"}
    assert _oqs._oqs.__annotations__ == {}


def test_mldsa_needs_no_binding(no_binding):
    assert _oqs.sig_algorithm("mldsa", 2) == "ML-DSA-87"
    assert _oqs.sig_algorithm("mldsa", QuantumStrength.STANDARD) == "ML-DSA-44"
    # any other kind goes down the SLH-DSA path, which needs the binding
    for kind in ("MLDSA", "ml-dsa", "slhdsa"):
        with pytest.raises(QuantumOperationError, match="requires the native liboqs"):
            _oqs.sig_algorithm(kind, 0)
    with pytest.raises(QuantumOperationError, match="requires the native liboqs"):
        _oqs.sig_algorithm("slhdsa", 7)


@pytest.mark.parametrize(
    "enabled, expected",
    [
        ({"SLH-DSA-SHA2-192f", "SLH_DSA_PURE_SHA2_192F"}, "SLH-DSA-SHA2-192f"),
        ({"SLH_DSA_PURE_SHA2_192F"}, "SLH_DSA_PURE_SHA2_192F"),
    ],
)
def test_slh_dsa_probing(oqs, enabled, expected):
    oqs.enable_slh_dsa(enabled)
    assert _oqs.sig_algorithm("slhdsa", 1) == expected


def test_slh_dsa_none_enabled(oqs):
    oqs.enable_slh_dsa(set())
    with pytest.raises(QuantumOperationError) as info:
        _oqs.sig_algorithm("slhdsa", 0)
    assert str(info.value) == "No SLH-DSA mechanism available; tried ['SLH-DSA-SHA2-128f', 'SLH_DSA_PURE_SHA2_128F']"
    assert info.value.__cause__ is None
    with pytest.raises(KeyError):
        _oqs.sig_algorithm("slhdsa", 7)


def test_slh_dsa_probes_the_binding_at_every_call(monkeypatch):
    calls = []
    fake = types.ModuleType("oqs")
    fake.get_enabled_sig_mechanisms = lambda: calls.append(1) or ["SLH-DSA-SHA2-256f"]
    monkeypatch.setitem(sys.modules, "oqs", fake)
    assert _oqs.sig_algorithm("slhdsa", 2) == "SLH-DSA-SHA2-256f"
    assert _oqs.sig_algorithm("slhdsa", 2) == "SLH-DSA-SHA2-256f"
    assert len(calls) == 2


# --- lazy import ----------------------------------------------------------------------------


def test_lazy_import_returns_the_binding_each_time(oqs, monkeypatch):
    assert _oqs._oqs() is oqs
    other = types.ModuleType("oqs")
    monkeypatch.setitem(sys.modules, "oqs", other)
    assert _oqs._oqs() is other  # nothing cached


def test_lazy_import_goes_through_the_import_hook(oqs, monkeypatch):
    import builtins

    real, seen = builtins.__import__, []

    def hook(name, *args):
        if name == "oqs":
            seen.append(args)
            raise ImportError("blocked by a hook")
        return real(name, *args)

    monkeypatch.setattr(builtins, "__import__", hook)
    with pytest.raises(QuantumOperationError, match="requires the native liboqs") as info:
        _oqs.encapsulate("ML-KEM-768", b"k")
    assert str(info.value.__cause__) == "blocked by a hook"
    ((globals_, locals_, fromlist, level),) = seen
    assert globals_ is vars(_oqs) and (locals_, fromlist, level) == (None, None, 0)


CALLS = [
    ("generate_keypair", ("ML-KEM-768",)),
    ("encapsulate", ("ML-KEM-768", b"k")),
    ("decapsulate", ("ML-KEM-768", b"k", b"c")),
    ("sig_generate_keypair", ("ML-DSA-44",)),
    ("sig_sign", ("ML-DSA-44", b"k", b"m")),
    ("sig_verify", ("ML-DSA-44", b"k", b"m", b"s")),
]


@pytest.mark.parametrize("name, args", CALLS)
def test_missing_binding_raises_install_hint(no_binding, name, args):
    with pytest.raises(QuantumOperationError) as info:
        getattr(_oqs, name)(*args)
    assert str(info.value) == HINT
    assert isinstance(info.value.__cause__, ImportError)


def test_other_import_errors_pass(monkeypatch):
    monkeypatch.delitem(sys.modules, "oqs", raising=False)
    monkeypatch.setattr(sys, "meta_path", [Finder(RuntimeError)] + sys.meta_path)
    with pytest.raises(RuntimeError):
        _oqs.generate_keypair("ML-KEM-768")


class Finder:
    """A meta path finder whose loader raises while `oqs` is being imported."""

    def __init__(self, exc):
        self.exc = exc

    def find_spec(self, name, path=None, target=None):
        if name != "oqs":
            return None
        import importlib.util

        return importlib.util.spec_from_loader(name, self)

    def create_module(self, spec):
        return None

    def exec_module(self, module):
        raise self.exc("import failed")


# --- the block protocol with the double -------------------------------------------------------


def exits(oqs):
    return [e for e in oqs.EVENTS if e[0] == "exit"]


def test_round_trips_and_one_exit_each(oqs):
    pk, sk = _oqs.generate_keypair("ML-KEM-1024")
    ct, ss = _oqs.encapsulate("ML-KEM-1024", pk)
    assert _oqs.decapsulate("ML-KEM-1024", sk, ct) == ss
    spk, ssk = _oqs.sig_generate_keypair("ML-DSA-65")
    sig = _oqs.sig_sign("ML-DSA-65", ssk, b"message")
    assert _oqs.sig_verify("ML-DSA-65", spk, b"message", sig) is True
    assert _oqs.sig_verify("ML-DSA-65", spk, b"other", sig) is False
    assert all(type(v) is bytes for v in (pk, sk, ct, ss, spk, ssk, sig))
    counts = oqs.exit_counts()
    assert len(counts) == 7 and set(counts.values()) == {1}
    assert all(e[4] is None for e in exits(oqs))  # normal ends: (None, None, None)


def test_wrapped_failures_name_the_mechanism(oqs):
    with pytest.raises(QuantumOperationError) as info:
        _oqs.generate_keypair("Kyber-1")
    assert str(info.value) == "KEM key generation failed (Kyber-1): Kyber-1 is not supported by OQS"
    assert isinstance(info.value.__cause__, oqs.MechanismNotSupportedError)
    assert not exits(oqs)  # the constructor failed: no block, no __exit__
    assert _oqs.sig_verify("Kyber-1", b"k", b"m", b"s") is False


@pytest.mark.parametrize(
    "call, prefix",
    [
        (lambda: _oqs.encapsulate("ML-KEM-768", b"short"), "KEM encapsulation failed (ML-KEM-768): "),
        (lambda: _oqs.decapsulate("FrodoKEM-640-AES", b"\x00" * 19888, b"c"), "KEM decapsulation failed (FrodoKEM-640-AES): "),
        (lambda: _oqs.sig_sign("ML-DSA-44", b"\x00" * 2560, b"m"), "Signing failed (ML-DSA-44): "),
    ],
)
def test_failure_inside_block_exits_once_with_the_exception(oqs, call, prefix):
    with pytest.raises(QuantumOperationError) as info:
        call()
    assert str(info.value).startswith(prefix)
    assert str(info.value) == prefix + str(info.value.__cause__)
    assert isinstance(info.value.__cause__, ValueError)
    (exit_event,) = exits(oqs)
    assert exit_event[4] is ValueError
    assert set(oqs.exit_counts().values()) == {1}


def test_verify_false_for_failures_inside_the_block(oqs):
    spk, ssk = _oqs.sig_generate_keypair("ML-DSA-44")
    oqs.EVENTS.clear()
    assert _oqs.sig_verify("ML-DSA-44", spk[:-1], b"m", b"s") is False  # wrong-size key raises inside
    assert _oqs.sig_verify("ML-DSA-44", spk, b"m", b"bad") is False
    assert [e[4] for e in exits(oqs)] == [ValueError, None]


# --- the block protocol with hand-made bindings ------------------------------------------------


class Recorder:
    """A binding object whose methods are given per test; records the block."""

    log: list

    def __init__(self, *args, **methods):
        self.args = args
        for name, fn in methods.items():
            setattr(self, name, fn)

    def __enter__(self):
        Recorder.log.append(("enter", self.args))
        return self

    def __exit__(self, *exc):
        Recorder.log.append(("exit", exc))
        return Recorder.suppress


def fake_binding(monkeypatch, suppress=False, **methods):
    Recorder.log = []
    Recorder.suppress = suppress
    fake = types.ModuleType("oqs")
    fake.KeyEncapsulation = lambda *a: Recorder(*a, **methods)
    fake.Signature = lambda *a: Recorder(*a, **methods)
    monkeypatch.setitem(sys.modules, "oqs", fake)
    return fake


def test_arguments_positional_and_bytearray_results(monkeypatch):
    fake_binding(
        monkeypatch,
        generate_keypair=lambda: bytearray(b"pub"),
        export_secret_key=lambda: memoryview(b"sec"),
        encap_secret=lambda pk: [bytearray(b"ct" + pk), b"ss"],
        decap_secret=lambda ct: bytearray(ct[::-1]),
        sign=lambda m: bytearray(m * 2),
        verify=lambda m, s, pk: 1 if (m, s, pk) == (b"m", b"s", b"pk") else 0,
    )
    assert _oqs.generate_keypair("A") == (b"pub", b"sec")
    assert _oqs.encapsulate("A", b"pk") == (b"ctpk", b"ss")
    result = _oqs.decapsulate("A", b"sk", b"abc")
    assert result == b"cba" and type(result) is bytes
    assert _oqs.sig_sign("S", b"sk", b"m") == b"mm"
    assert _oqs.sig_verify("S", b"pk", b"m", b"s") is True
    assert _oqs.sig_verify("S", b"pk", b"m", b"x") is False
    enters = [e[1] for e in Recorder.log if e[0] == "enter"]
    assert enters == [("A",), ("A",), ("A", b"sk"), ("S", b"sk"), ("S",), ("S",)]
    assert [e[1] for e in Recorder.log if e[0] == "exit"] == [(None, None, None)] * 6


@pytest.mark.parametrize("verdict, expected", [(1, True), ("yes", True), (0, False), (None, False)])
def test_verify_truth_value(monkeypatch, verdict, expected):
    fake_binding(monkeypatch, verify=lambda m, s, pk: verdict)
    assert _oqs.sig_verify("S", b"pk", b"m", b"s") is expected


def test_exit_gets_type_value_and_traceback(monkeypatch):
    err = RuntimeError("")
    fake_binding(monkeypatch, decap_secret=lambda ct: (_ for _ in ()).throw(err))
    with pytest.raises(QuantumOperationError) as info:
        _oqs.decapsulate("A", b"sk", b"c")
    assert str(info.value) == "KEM decapsulation failed (A): "  # empty text keeps the blank
    assert info.value.__cause__ is err
    ((_, (etype, evalue, tb)),) = [e for e in Recorder.log if e[0] == "exit"]
    assert etype is RuntimeError and evalue is err and tb is not None


def test_quantum_error_inside_block(monkeypatch):
    inner = QuantumOperationError("inner")

    def boom(*a):
        raise inner

    fake_binding(monkeypatch, generate_keypair=boom, encap_secret=boom)
    with pytest.raises(QuantumOperationError) as info:
        _oqs.generate_keypair("A")
    assert info.value is inner
    with pytest.raises(QuantumOperationError) as info:
        _oqs.encapsulate("A", b"pk")
    assert info.value is not inner and str(info.value) == "KEM encapsulation failed (A): inner"
    assert info.value.__cause__ is inner


@pytest.mark.parametrize("items", [(b"a", b"b", b"c"), (b"a",), 5])
def test_encap_result_must_unpack_into_two(monkeypatch, items):
    fake_binding(monkeypatch, encap_secret=lambda pk: items)
    with pytest.raises(QuantumOperationError, match=r"^KEM encapsulation failed \(A\): .*unpack") as info:
        _oqs.encapsulate("A", b"pk")
    assert isinstance(info.value.__cause__, (ValueError, TypeError))
    assert sum(1 for e in Recorder.log if e[0] == "exit") == 1


@pytest.mark.parametrize("name, args", CALLS)
def test_keyboard_interrupt_passes(monkeypatch, name, args):
    def interrupt(*a):
        raise KeyboardInterrupt

    fake_binding(monkeypatch, generate_keypair=interrupt, encap_secret=interrupt, decap_secret=interrupt,
                 sign=interrupt, verify=interrupt)
    with pytest.raises(KeyboardInterrupt):
        getattr(_oqs, name)(*args)
    assert sum(1 for e in Recorder.log if e[0] == "exit") == 1


def test_exit_that_suppresses(monkeypatch):
    def boom(*a):
        raise ValueError("x")

    fake_binding(monkeypatch, suppress=True, generate_keypair=boom, decap_secret=boom, verify=boom, sign=boom,
                 encap_secret=boom)
    with pytest.raises(QuantumOperationError, match=r"^KEM key generation failed \(A\): ") as info:
        _oqs.generate_keypair("A")
    assert isinstance(info.value.__cause__, UnboundLocalError)
    with pytest.raises(QuantumOperationError) as info:
        _oqs.encapsulate("A", b"pk")
    assert isinstance(info.value.__cause__, UnboundLocalError)
    assert _oqs.decapsulate("A", b"sk", b"c") is None
    assert _oqs.sig_sign("A", b"sk", b"m") is None
    assert _oqs.sig_verify("A", b"pk", b"m", b"s") is None


def test_failing_exit_is_wrapped(monkeypatch):
    class BadExit(Recorder):
        def __exit__(self, *exc):
            raise OSError("release failed")

    fake = fake_binding(monkeypatch, decap_secret=lambda ct: b"ss", verify=lambda *a: True)
    fake.KeyEncapsulation = lambda *a: BadExit(*a, decap_secret=lambda ct: b"ss")
    fake.Signature = lambda *a: BadExit(*a, verify=lambda *a: True)
    with pytest.raises(QuantumOperationError, match=r"^KEM decapsulation failed \(A\): release failed$"):
        _oqs.decapsulate("A", b"sk", b"c")
    assert _oqs.sig_verify("A", b"pk", b"m", b"s") is False


def test_object_without_context_protocol_is_wrapped(monkeypatch):
    fake = types.ModuleType("oqs")
    fake.KeyEncapsulation = lambda *a: object()
    monkeypatch.setitem(sys.modules, "oqs", fake)
    with pytest.raises(QuantumOperationError, match="context manager protocol") as info:
        _oqs.decapsulate("A", b"sk", b"c")
    assert isinstance(info.value.__cause__, TypeError)


def test_binding_that_exits_at_import_leaves_the_process_running(tmp_path):
    import subprocess
    import textwrap

    (tmp_path / "oqs").mkdir()
    (tmp_path / "oqs" / "__init__.py").write_text('raise SystemExit("Could not load liboqs shared library")\n')
    program = textwrap.dedent("""
        import velmor, velmor.sync
        for attempt in range(2):
            try:
                velmor.sync.quantum.generate_keypair()
            except Exception as e:
                print(type(e).__name__, type(e.__cause__).__name__, e.__cause__)
        print("still running")
    """)
    env = {**__import__("os").environ, "PYTHONPATH": str(tmp_path)}
    done = subprocess.run([sys.executable, "-c", program], env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "QuantumOperationError SystemExit Could not load liboqs shared library"] * 2 + ["still running"]


NO_NATIVE_LIBRARY = (
    "The native liboqs library was not found: the liboqs binding is installed but cannot load it. "
    "Point OQS_INSTALL_PATH at a liboqs 0.16 install, or build one in a checkout of velmor with:  "
    "make liboqs LIBOQS_SOURCE=path/to/liboqs-0.16.0.tar.gz  and point OQS_INSTALL_PATH at its "
    "build/liboqs. This process does not try again: start a new one.")

# A binding that counts its executions in sys.oqs_runs and fails its import as the real one does
# without liboqs: the search fails, then the attempt to build one.
STAND_IN = """
import sys
sys.oqs_runs = getattr(sys, "oqs_runs", 0) + 1
try:
    raise RuntimeError("No oqs shared libraries found")
except RuntimeError:
    raise {failure}
"""

# Every call that imports the binding, then a reload of the layer, then a binding placed in
# sys.modules and taken away again. Each failed call prints the binding's executions so far and
# what it raised; at the end, whether the callers' locals are gone.
AFTER_A_FAILED_IMPORT = """
import gc, importlib, sys, types, weakref
import velmor.sync
from velmor.errors import QuantumOperationError
from velmor.quantum import _oqs

class Secret:
    pass

locals_of_callers = []

def attempt(call):
    secret = Secret()
    locals_of_callers.append(weakref.ref(secret))
    try:
        call()
    except QuantumOperationError as e:
        c = e.__cause__
        print(sys.oqs_runs, e.__context__ is c, type(c).__name__, c, repr(c.__context__), e, sep="|")

attempt(velmor.sync.quantum.generate_keypair)
for name, args in CALLS:
    attempt(lambda: getattr(_oqs, name)(*args))
attempt(lambda: _oqs.sig_algorithm("slhdsa", 0))
importlib.reload(_oqs)
attempt(_oqs._oqs)
double = types.ModuleType("oqs")
sys.modules["oqs"] = double
print(_oqs._oqs() is double)
del sys.modules["oqs"]
attempt(_oqs._oqs)
gc.collect()
print(all(ref() is None for ref in locals_of_callers))
"""


@pytest.mark.parametrize("failure, cause, remembered, message", [
    ("SystemExit(1)", "SystemExit|1", True, NO_NATIVE_LIBRARY),
    ("FileNotFoundError(2, 'No such file or directory', 'git')",
     "FileNotFoundError|[Errno 2] No such file or directory: 'git'", True, NO_NATIVE_LIBRARY),
    ("ModuleNotFoundError(\"No module named 'oqs'\", name='oqs')",
     "ModuleNotFoundError|No module named 'oqs'", False, HINT),
])
def test_a_binding_without_its_native_library_is_imported_once(tmp_path, failure, cause, remembered,
                                                                message):
    # The binding's import fetches and builds liboqs before it fails: after SystemExit or OSError
    # the process remembers the failure, until a binding stands in sys.modules. An ImportError
    # (no binding) is not remembered. In a subprocess, since the memory lasts as the process does.
    import subprocess

    (tmp_path / "oqs").mkdir()
    (tmp_path / "oqs" / "__init__.py").write_text(STAND_IN.format(failure=failure))
    program = f"CALLS = {CALLS!r}\n" + AFTER_A_FAILED_IMPORT
    env = {**__import__("os").environ, "PYTHONPATH": str(tmp_path)}
    done = subprocess.run([sys.executable, "-c", program], env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    attempts = len(CALLS) + 4
    runs = [1] * attempts if remembered else list(range(1, attempts + 1))
    failed = [f"{n}|True|{cause}|RuntimeError('No oqs shared libraries found')|{message}" for n in runs]
    # the double placed in sys.modules is used; the callers' locals are gone
    assert done.stdout.splitlines() == failed[:-1] + ["True"] + failed[-1:] + ["True"]


# --- only bytes reach the binding -------------------------------------------------------------

BYTES_ARGUMENTS = [  # (wrapper, arguments, index of each bytes argument)
    ("encapsulate", ("A", b"pk"), (1,)),
    ("decapsulate", ("A", b"sk", b"ct"), (1, 2)),
    ("sig_sign", ("S", b"sk", b"m"), (1, 2)),
    ("sig_verify", ("S", b"pk", b"m", b"sig"), (1, 2, 3)),
]
NOT_BYTES = [6, 2**40, -1, True, None, "text", [1, 2], {0: 6, 1: 0, slice(2, None): 1}, 1.5, object()]


@pytest.mark.parametrize("name, args, slots", BYTES_ARGUMENTS)
@pytest.mark.parametrize("hostile", NOT_BYTES, ids=lambda v: type(v).__name__)
def test_anything_but_bytes_is_refused_before_the_binding(monkeypatch, name, args, slots, hostile):
    fake_binding(monkeypatch, encap_secret=lambda pk: (b"c", b"s"), decap_secret=lambda c: b"s",
                 sign=lambda m: b"sig", verify=lambda *a: True)
    for slot in slots:
        bad = list(args)
        bad[slot] = hostile
        with pytest.raises(TypeError, match="a bytes-like object is required"):
            getattr(_oqs, name)(*bad)
    assert Recorder.log == []  # no binding object was made


@pytest.mark.parametrize("name, args, slots", BYTES_ARGUMENTS)
def test_bytes_like_arguments_reach_the_binding_as_bytes(monkeypatch, name, args, slots):
    seen = []

    def record(*values):
        seen.extend(values)
        return (b"c", b"s") if len(values) == 1 and name == "encapsulate" else b"s"

    fake = fake_binding(monkeypatch, encap_secret=record, decap_secret=record, sign=record, verify=record)
    made = fake.KeyEncapsulation
    fake.KeyEncapsulation = fake.Signature = lambda *a: seen.extend(a[1:]) or made(*a)
    # the last: a view with a stride, which is copied into one run of bytes
    for convert in (bytearray, memoryview, lambda b: memoryview(bytes(v for c in b for v in (c, 0)))[::2]):
        seen.clear()
        bad = list(args)
        for slot in slots:
            bad[slot] = convert(args[slot])
        getattr(_oqs, name)(*bad)
        assert all(type(v) is bytes for v in seen) and sorted(seen) == sorted(args[i] for i in slots)
