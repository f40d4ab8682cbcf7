"""Hostile callers of the runtime: functions made to call themselves through a rebound name,
handlers whose class is rebound to something that is no exception class, and exception classes
rebound to factories. Where a pure-Python module would raise, ours raises the same."""
import binascii
import contextlib
import hashlib
import struct
import sys
import threading
import types

import pytest
from cryptography.exceptions import InvalidTag

import velmor.aes as aes_async
import velmor.quantum._oqs as oqs_layer
from velmor._internal import keys
from velmor.aes import core as aes
from velmor.errors import DecryptionError
from velmor.hybrid import core as hybrid
from velmor.password import core as password
from velmor.quantum import core as quantum
from velmor.rsa import core as rsa

CANNOT_CATCH = "catching classes that do not inherit from BaseException is not allowed"


def raising(exc):
    def fail(*args, **kwargs):
        raise exc
    return fail


# ---------------------------------------------------------------------------------------------
# Recursion through rebound names

LEGACY_BLOB = b"HYBR" + bytes(600)


@pytest.mark.parametrize("module, name, target, call", [
    (keys, "_try_base64", "convert_key", lambda: keys.convert_key("x")),
    (hybrid, "_legacy_decrypt", "decrypt_auto", lambda: hybrid.decrypt_auto(LEGACY_BLOB, "pem")),
], ids=["keys", "hybrid"])
def test_function_that_calls_itself_raises_recursion_error(monkeypatch, module, name, target, call):
    monkeypatch.setattr(module, name, getattr(module, target))
    with pytest.raises(RecursionError):
        call()
    # Nothing is left behind: the next call runs normally.
    monkeypatch.undo()
    assert keys.convert_key("x") == hashlib.sha256(b"x").digest()


def test_recursion_on_a_thread_with_a_small_stack(monkeypatch):
    # The host counts 10000 nested calls before it objects; a thread with a small stack runs
    # out long before that, and still gets RecursionError.
    monkeypatch.setattr(keys, "_try_base64", keys.convert_key)
    outcome = []

    def run():
        try:
            keys.convert_key("x")
        except BaseException as e:
            outcome.append(type(e))

    previous = threading.stack_size(1 << 20)
    try:
        worker = threading.Thread(target=run)
        worker.start()
    finally:
        threading.stack_size(previous)
    worker.join()
    assert outcome == [RecursionError]


def test_coroutine_that_awaits_itself_raises_recursion_error(monkeypatch, recwarn):
    monkeypatch.setattr(aes_async, "asyncio", types.SimpleNamespace(
        to_thread=lambda *args: aes_async.encrypt("x", "k")))
    coro = aes_async.encrypt("x", "k")
    with pytest.raises(RecursionError):
        coro.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)
    del coro
    # Every coroutine of the chain finished: none complains that it was never awaited.
    assert not [w for w in recwarn if issubclass(w.category, RuntimeWarning)]


# ---------------------------------------------------------------------------------------------
# Handlers whose exception class is a rebound module name


def host_except(exc, target):
    """What the host's `except target:` does with exc: "caught", or the exception it raises."""
    try:
        try:
            raise exc
        except target:
            return "caught"
    except BaseException as e:
        return e


def nested(depth):
    t = ValueError
    for _ in range(depth):
        t = (t,)
    return t


TARGETS = {
    "int": 5,
    "text": "InvalidTag",
    "non-exception class": int,
    "tuple with a non-class": (KeyError, 5),
    "tuple in a tuple": ((KeyError,),),
    "nested a million deep": nested(1_000_000),
}


def _net_blob():
    return (512).to_bytes(4, "little") + bytes(512 + 12 + 16 + 1)


# (module, rebound name, other names to rebind so the handler is reached, call, pair)
# pair: the handler's clause also names ValueError, as `except (NAME, ValueError):`
HANDLERS = {
    "aes.decrypt_bytes": (aes, "InvalidTag", {}, lambda: aes.decrypt_bytes(bytes(40), "k"), False),
    "hybrid._net_decrypt": (
        hybrid, "InvalidTag",
        {"rsa_core": types.SimpleNamespace(_decrypt_oaep=lambda blob, pem: bytes(32))},
        lambda: hybrid._net_decrypt(_net_blob(), "pem"), False),
    "rsa.sign_bytes": (rsa, "InvalidInputError", {"_load_private": raising(OSError("no key"))},
                       lambda: rsa.sign_bytes(b"data", "pem"), False),
    "rsa.verify_bytes": (
        rsa, "InvalidSignature",
        {"_load_public": lambda pem: types.SimpleNamespace(verify=raising(OSError("bad")))},
        lambda: rsa.verify_bytes(b"data", b"sig", "pem"), False),
    "rsa._encrypt_oaep": (rsa, "InvalidInputError", {"_load_public": raising(OSError("no key"))},
                          lambda: rsa._encrypt_oaep(b"data", "pem"), False),
    "rsa._decrypt_oaep": (rsa, "InvalidInputError", {"_load_private": raising(OSError("no key"))},
                          lambda: rsa._decrypt_oaep(b"data", "pem"), False),
    "keys._try_base64": (keys, "binascii", {}, lambda: keys._try_base64("!!!!"), True),
    "oqs.generate_keypair": (
        oqs_layer, "QuantumOperationError",
        {"_oqs": lambda: types.SimpleNamespace(KeyEncapsulation=raising(OSError("no kem")))},
        lambda: oqs_layer.generate_keypair("ML-KEM-768"), False),
    "quantum.verify": (quantum, "InvalidInputError", {"_sig_strip": raising(OSError("strip"))},
                       lambda: quantum.verify(b"data", b"sig", b"\x01\x00key"), True),
    "password._parse": (password, "json", {}, lambda: password._parse("{"), True),
    "password.verify_password": (password, "VelMorError", {},
                                 lambda: password.verify_password("pw", "{}"), True),
}


def rebind(monkeypatch, module, name, target, others):
    for other, value in others.items():
        monkeypatch.setattr(module, other, value)
    # binascii.Error and json.JSONDecodeError are read from a rebound module
    if name == "binascii":
        target = types.SimpleNamespace(Error=target)
    elif name == "json":
        target = types.SimpleNamespace(loads=raising(KeyError("x")), JSONDecodeError=target)
    monkeypatch.setattr(module, name, target)


@pytest.mark.parametrize("handler", HANDLERS)
@pytest.mark.parametrize("target", TARGETS)
def test_handler_refuses_what_is_no_exception_class(monkeypatch, handler, target):
    module, name, others, call, pair = HANDLERS[handler]
    rebind(monkeypatch, module, name, TARGETS[target], others)
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == CANNOT_CATCH
    # Raised while the caught exception was being handled, as the host chains it.
    assert info.value.__context__ is not None
    assert not isinstance(info.value.__context__, TypeError)


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("pair", [False, True], ids=["single", "pair"])
def test_the_host_refuses_the_same_targets(target, pair):
    clause = (TARGETS[target], ValueError) if pair else TARGETS[target]
    got = host_except(KeyError("x"), clause)
    assert type(got) is TypeError and str(got) == CANNOT_CATCH
    assert isinstance(got.__context__, KeyError)


def test_flat_tuples_of_classes_still_match(monkeypatch):
    from cryptography.exceptions import InvalidTag
    monkeypatch.setattr(aes, "InvalidTag", (KeyError, InvalidTag))
    with pytest.raises(DecryptionError):
        aes.decrypt_bytes(bytes(40), "k")
    # A class that does not match lets the original error through, as the host's clause does.
    monkeypatch.setattr(aes, "InvalidTag", KeyError)
    with pytest.raises(InvalidTag):
        aes.decrypt_bytes(bytes(40), "k")


# ---------------------------------------------------------------------------------------------
# Exception classes rebound to factories


def host_raise(factory):
    try:
        raise factory("message")
    except BaseException as e:
        return e


FACTORIES = {
    "returns an int": lambda message: 5,
    "returns None": lambda message: None,
    "returns a class": lambda message: LookupError,
    "returns a class that gives no exception": lambda message: type(
        "Odd", (Exception,), {"__new__": lambda cls: 5}),
    "returns an instance": lambda message: LookupError(message),
}


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("site", ["raise", "raise from"])
def test_raise_of_a_factory_result_is_the_hosts(monkeypatch, factory, site):
    expected = host_raise(FACTORIES[factory])
    if site == "raise":
        monkeypatch.setattr(aes, "InvalidInputError", FACTORIES[factory])
        call = lambda: aes.encrypt_bytes(b"", "k")
    else:
        monkeypatch.setattr(aes, "EncryptionError", FACTORIES[factory])
        monkeypatch.setattr(aes, "AESGCM", raising(OSError("sealed shut")))
        call = lambda: aes.encrypt_bytes(b"data", "k")
    with pytest.raises(BaseException) as info:
        call()
    got = info.value
    assert type(got) is type(expected)
    if isinstance(expected, TypeError):
        # The host's message, with the class shown in it where the host shows one.
        assert str(got).split(" should")[-1] == str(expected).split(" should")[-1]
    if site == "raise from":
        # Made while the cause was being handled: the cause is its context.
        assert isinstance(got.__context__, OSError)



# ---------------------------------------------------------------------------------------------
# Coroutines re-entered while they end


class ReentersOnRelease:
    """An argument whose release drives the coroutine that holds it, and records the answers."""

    def __init__(self):
        self.coro = None
        self.answers = []

    def __del__(self):
        for name, step in [("send", lambda: self.coro.send(None)),
                           ("throw", lambda: self.coro.throw(KeyError("k"))),
                           ("close", lambda: self.coro.close())]:
            try:
                self.answers.append((name, "returned", step()))
            except BaseException as e:
                self.answers.append((name, type(e).__name__, str(e)))


class NoReferences:
    """An awaitable that keeps nothing of what it was made from and fails at once."""

    def __init__(self, *args):
        pass

    def __await__(self):
        raise OSError("no thread")
        yield


ENDED = [("send", "RuntimeError", "cannot reuse already awaited coroutine"),
         ("throw", "RuntimeError", "cannot reuse already awaited coroutine"),
         ("close", "returned", None)]


@pytest.mark.parametrize("to_thread, failure", [
    (lambda *args: 42, TypeError), (NoReferences, OSError)], ids=["not awaitable", "fails"])
def test_coroutine_released_arguments_find_it_finished(monkeypatch, to_thread, failure):
    monkeypatch.setattr(aes_async, "asyncio", types.SimpleNamespace(to_thread=to_thread))
    argument = ReentersOnRelease()
    answers = argument.answers
    coro = aes_async.encrypt(argument, "k")
    argument.coro = coro
    del argument
    with pytest.raises(failure):
        coro.send(None)
    # A coroutine holds its arguments until it ends, as a frame does; released then, they find
    # it ended, as the host's coroutines are.
    assert answers == ENDED
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_coroutine_is_no_iterator():
    coro = aes_async.encrypt("x", "k")
    with pytest.raises(TypeError):
        next(coro)
    coro.close()
    # what it awaits through is: __await__ gives an iterator
    coro = aes_async.encrypt("x", "k")
    assert iter(coro.__await__()) is not None
    coro.close()


# ---------------------------------------------------------------------------------------------
# The import machinery


def run_python(code):
    import subprocess
    import sys
    import textwrap
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


def test_loader_refuses_what_is_no_module():
    fake = types.SimpleNamespace(__name__="velmor.errors")
    with pytest.raises(TypeError):
        aes_async.__spec__.loader.exec_module(fake)


@pytest.mark.parametrize("code", [
    # built-ins come from the interpreter, not from what sys.modules holds under that name
    """
    import builtins, sys, types
    sys.modules["builtins"] = types.SimpleNamespace(**vars(builtins))
    import velmor
    print(velmor.aes.core.decrypt_str(velmor.aes.core.encrypt_str("x", "k"), "k"))
    """,
    # a finder whose comparison rebinds sys.meta_path while the package looks for its own
    """
    import sys
    class Finder:
        def find_spec(self, *args):
            return None
        def __eq__(self, other):
            sys.meta_path = list(sys.meta_path)
            return False
        __hash__ = object.__hash__
    sys.meta_path.insert(0, Finder())
    import velmor
    print(velmor.aes.core.decrypt_str(velmor.aes.core.encrypt_str("x", "k"), "k"))
    """,
], ids=["builtins rebound", "meta_path rebound"])
def test_package_imports_where_the_host_rebinds_its_registries(code):
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "x\n"


def test_missing_module_with_an_unencodable_name_is_not_found():
    import importlib
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("velmor_missing_\udcff")
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("velmor.\udcff")


def test_from_import_in_a_call_asks_a_module_getattr_once(monkeypatch):
    import velmor.hybrid
    asked = []

    def module_getattr(name):
        asked.append(name)
        raise LookupError(name)

    monkeypatch.setattr(velmor.hybrid, "__getattr__", module_getattr, raising=False)
    with deleted(velmor.hybrid, "core"), pytest.raises(LookupError):
        rsa.decrypt_bytes(b"blob", "pem")
    assert asked == ["core"]


# ---------------------------------------------------------------------------------------------
# Late lookups whose own lookup changes the namespace


def test_lookup_that_rebinds_a_name_is_not_kept(monkeypatch):
    import builtins
    module = aes.__dict__

    class Collider:
        """A built-in met before the name as it is looked up: its comparison rebinds the name in
        the module, once armed."""
        armed = False

        def __hash__(self):
            return hash("GCM_NONCE_SIZE")

        def __eq__(self, other):
            if self.armed:
                self.armed = False
                module["GCM_NONCE_SIZE"] = 16
            return False

    collider = Collider()
    monkeypatch.setitem(builtins.__dict__, collider, None)
    monkeypatch.setattr(builtins, "GCM_NONCE_SIZE", 12, raising=False)
    with deleted(aes, "GCM_NONCE_SIZE"):
        collider.armed = True
        first = aes.encrypt_bytes(b"data", "k")
        assert aes.GCM_NONCE_SIZE == 16
        second = aes.encrypt_bytes(b"data", "k")
    # The first call found the built-in; the second sees the module's new name.
    assert (len(first), len(second)) == (12 + 4 + 16, 16 + 4 + 16)


# Handlers whose exception class is gone from the module


def without_binding(call):
    with pytest.MonkeyPatch.context() as mp:
        mp.setitem(sys.modules, "oqs", None)
        return call()


def _gen7_key(der=b"not der"):
    return struct.pack("<I", len(der)) + der + b"kem"


# (module, deleted class, names to rebind so the handler is reached, call, what it catches)
RAISING_HANDLERS = {
    "rsa._load_public": (rsa, "InvalidInputError", {}, lambda: rsa._load_public("not a key"),
                         ValueError),
    "rsa._load_private": (rsa, "InvalidInputError", {}, lambda: rsa._load_private("not a key"),
                          ValueError),
    "rsa.sign_bytes": (rsa, "SignatureError",
                       {"_load_private": lambda pem: types.SimpleNamespace(sign=raising(OSError()))},
                       lambda: rsa.sign_bytes(b"data", "pem"), OSError),
    "rsa._encrypt_oaep": (
        rsa, "EncryptionError",
        {"_load_public": lambda pem: types.SimpleNamespace(encrypt=raising(OSError()))},
        lambda: rsa._encrypt_oaep(b"data", "pem"), OSError),
    "aes.encrypt_bytes": (aes, "EncryptionError", {"AESGCM": raising(OSError("sealed shut"))},
                          lambda: aes.encrypt_bytes(b"data", "k"), OSError),
    "aes.decrypt_str Base64": (aes, "DecryptionError", {}, lambda: aes.decrypt_str("!", "k"),
                               binascii.Error),
    "aes.decrypt_str UTF-8": (aes, "DecryptionError", {"decrypt_bytes": lambda blob, key: b"\xff"},
                              lambda: aes.decrypt_str("AAAA", "k"), UnicodeDecodeError),
    "hybrid._net_decrypt": (
        hybrid, "DecryptionError",
        {"rsa_core": types.SimpleNamespace(_decrypt_oaep=lambda blob, pem: bytes(32))},
        lambda: hybrid._net_decrypt(_net_blob(), "pem"), InvalidTag),
    "quantum._gcm_open": (quantum, "DecryptionError", {},
                          lambda: quantum._gcm_open(bytes(32), bytes(12), b"x", bytes(16)),
                          InvalidTag),
    "quantum._cbc_decrypt": (quantum, "DecryptionError", {},
                             lambda: quantum._cbc_decrypt(bytes(16), bytes(32), bytes(16)),
                             ValueError),
    "quantum.decrypt": (quantum, "DecryptionError", {"_gen8_decrypt": lambda *args: b"\xff"},
                        lambda: quantum.decrypt(b"message", b"\x08\x02key", b"secret"),
                        UnicodeDecodeError),
    "quantum.sign": (quantum, "InvalidInputError", {}, lambda: quantum.sign(b"data", b"\x07\x00key"),
                     ValueError),
    "quantum._gen7_encrypt": (quantum, "InvalidInputError", {},
                              lambda: quantum._gen7_encrypt(b"data", _gen7_key(), 0), ValueError),
    "quantum._gen7_decrypt key": (
        quantum, "InvalidInputError", {},
        lambda: quantum._gen7_decrypt(bytes(60), _gen7_key(), _gen7_key(), 0), ValueError),
    "quantum._gen7_decrypt block": (
        quantum, "DecryptionError",
        {"load_der_private_key": lambda der, password: types.SimpleNamespace(
            decrypt=raising(ValueError("no block")))},
        lambda: quantum._gen7_decrypt(bytes(60), _gen7_key(), _gen7_key(), 0), ValueError),
    "oqs wrapper": (
        oqs_layer, "QuantumOperationError",
        {"_oqs": lambda: types.SimpleNamespace(KeyEncapsulation=raising(OSError("no kem")))},
        lambda: oqs_layer.encapsulate("ML-KEM-768", b"key"), OSError),
    "oqs._oqs": (oqs_layer, "QuantumOperationError", {}, lambda: without_binding(oqs_layer._oqs),
                 ImportError),
}


@contextlib.contextmanager
def deleted(module, name):
    """`name` gone from the module for a while, then back in its place: other tests check that
    a namespace keeps the order of its module's bindings (monkeypatch would append it)."""
    namespace = vars(module)
    names = list(namespace)
    value = namespace.pop(name)
    try:
        yield
    finally:
        namespace[name] = value
        for later in names[names.index(name) + 1:]:
            namespace[later] = namespace.pop(later)


@pytest.mark.parametrize("handler", RAISING_HANDLERS)
def test_handler_whose_class_is_gone_chains_what_it_caught(monkeypatch, handler):
    module, name, others, call, caught = RAISING_HANDLERS[handler]
    for other, value in others.items():
        monkeypatch.setattr(module, other, value)
    with deleted(module, name), pytest.raises(NameError) as info:
        call()
    # The class is looked up in the handler's body, while the caught exception is handled.
    assert info.value.name == name
    assert isinstance(info.value.__context__, caught), info.value.__context__
    assert info.value.__cause__ is None


class _Unprintable(OSError):
    def __str__(self):
        raise RuntimeError("no text")


UNPRINTABLE = _Unprintable()


@pytest.mark.parametrize("module, name, value, call", [
    (aes, "AESGCM", raising(UNPRINTABLE), lambda: aes.encrypt_bytes(b"data", "k")),
    (oqs_layer, "_oqs", lambda: types.SimpleNamespace(KeyEncapsulation=raising(UNPRINTABLE)),
     lambda: oqs_layer.encapsulate("ML-KEM-768", b"key")),
], ids=["prefixed", "formatted"])
def test_message_made_of_the_caught_exception_is_made_while_it_is_handled(monkeypatch, module,
                                                                          name, value, call):
    monkeypatch.setattr(module, name, value)
    with pytest.raises(RuntimeError, match="^no text$") as info:
        call()
    assert info.value.__context__ is UNPRINTABLE
