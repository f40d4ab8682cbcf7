"""AES-256-GCM under a key text: velmor.aes.core and its coroutine module velmor.aes."""
import asyncio
import base64
import collections.abc
import inspect
import types

import pytest
from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

import velmor
from velmor.aes import core
from velmor.errors import DecryptionError, EncryptionError, InvalidInputError

NOT_GCM = ("AES decryption failed: data is not valid AES-GCM (legacy AES-CBC+HMAC not yet "
           "supported, or wrong key/tampered data).")
RAW_KEY = bytes(range(32))
B64_KEY = base64.b64encode(RAW_KEY).decode()


@pytest.mark.parametrize("key", ["", "passphrase", B64_KEY, base64.b64encode(RAW_KEY * 2).decode()])
@pytest.mark.parametrize("text", ["a", " ", "héllo wörld ✓", "x" * 10_000])
def test_text_round_trip(text, key):
    ct = core.encrypt_str(text, key)
    assert core.decrypt_str(ct, key) == text


def test_blob_layout_matches_aesgcm():
    blob = core.encrypt_bytes(b"data", B64_KEY)
    assert len(blob) == 12 + 4 + 16
    assert AESGCM(RAW_KEY).decrypt(blob[:12], blob[12:], None) == b"data"
    assert core.encrypt_bytes(b"data", B64_KEY) != blob  # fresh nonce
    assert len(core.encrypt_bytes(b"x", "k")) == 29
    assert len(core.encrypt_str("x", "k")) == 40


def test_64_byte_key_text_opens_with_its_first_half():
    blob = core.encrypt_bytes(b"data", base64.b64encode(RAW_KEY + b"\xff" * 32).decode())
    assert core.decrypt_bytes(blob, B64_KEY) == b"data"


@pytest.mark.parametrize("blob", [b"", b"x" * 28])
def test_short_blob(blob):
    with pytest.raises(DecryptionError) as info:
        core.decrypt_bytes(blob, "k")
    assert str(info.value) == NOT_GCM and info.value.__cause__ is None


def test_wrong_key_and_tampering_drop_the_tag_error():
    blob = bytearray(core.encrypt_bytes(b"secret data", "k"))
    for bad, key in [(bytes(blob), "other"), (bytes(blob[:-1]) + bytes([blob[-1] ^ 1]), "k"),
                     (bytes([blob[0] ^ 1]) + bytes(blob[1:]), "k")]:
        with pytest.raises(DecryptionError) as info:
            core.decrypt_bytes(bad, key)
        assert str(info.value) == NOT_GCM
        assert info.value.__cause__ is None and info.value.__context__ is None


def test_other_errors_of_decrypt_pass_unchanged(monkeypatch):
    class Broken:
        def __init__(self, key):
            pass

        def decrypt(self, *args):
            raise ValueError("boom")

    monkeypatch.setattr(core, "AESGCM", Broken)
    with pytest.raises(ValueError, match="boom"):
        core.decrypt_bytes(b"x" * 40, "k")


def test_encryption_failure_is_wrapped(monkeypatch):
    class Broken:
        def __init__(self, key):
            raise OverflowError("too big")

    monkeypatch.setattr(core, "AESGCM", Broken)
    with pytest.raises(EncryptionError) as info:
        core.encrypt_bytes(b"x", "k")
    assert str(info.value) == "AES-GCM encryption failed: too big"
    assert isinstance(info.value.__cause__, OverflowError)


@pytest.mark.parametrize("call, message", [
    (lambda: core.encrypt_bytes(b"", "k"), "Data cannot be empty"),
    (lambda: core.encrypt_bytes(None, "k"), "Data cannot be empty"),
    (lambda: core.encrypt_str("", "k"), "Plaintext cannot be empty"),
])
def test_empty_input(call, message):
    with pytest.raises(InvalidInputError) as info:
        call()
    assert str(info.value) == message and info.value.__cause__ is None


@pytest.mark.parametrize("text", ["YQ= =", "YQ==\n", "a-b_", "ÿÿÿÿ"])
def test_not_base64(text):
    with pytest.raises(DecryptionError) as info:
        core.decrypt_str(text, "k")
    assert str(info.value) == "Ciphertext is not valid Base64"
    assert info.value.__cause__ is not None


def test_bytes_argument_to_decrypt_str_is_not_base64_text():
    with pytest.raises(DecryptionError, match="Ciphertext is not valid Base64"):
        core.decrypt_str(None, "k")


def test_empty_text_reaches_the_blob_check():
    with pytest.raises(DecryptionError) as info:
        core.decrypt_str("", "k")
    assert str(info.value) == NOT_GCM


def test_not_utf8():
    ct = base64.b64encode(core.encrypt_bytes(b"\xff\xfe", "k")).decode()
    assert core.decrypt_bytes(base64.b64decode(ct), "k") == b"\xff\xfe"
    with pytest.raises(DecryptionError) as info:
        core.decrypt_str(ct, "k")
    assert str(info.value) == "Decrypted data is not valid UTF-8"
    assert isinstance(info.value.__cause__, UnicodeDecodeError)


def test_lone_surrogate_passes_unchanged():
    with pytest.raises(UnicodeEncodeError):
        core.encrypt_str("\ud800", "k")


def test_interrupts_are_not_wrapped(monkeypatch):
    def interrupt(key):
        raise KeyboardInterrupt

    monkeypatch.setattr(core, "AESGCM", interrupt)
    with pytest.raises(KeyboardInterrupt):
        core.encrypt_bytes(b"x", "k")


# --- the coroutine module -------------------------------------------------------------------

def test_coroutine_module_surface():
    assert velmor.aes.__all__ == ["encrypt", "decrypt", "encrypt_bytes", "decrypt_bytes", "core"]
    assert velmor.aes.core is core
    names = [n for n in vars(velmor.aes) if not n.startswith("__")]
    assert names == ["annotations", "asyncio", "core", "encrypt", "decrypt", "encrypt_bytes",
                     "decrypt_bytes"]
    for name in ["encrypt", "decrypt", "encrypt_bytes", "decrypt_bytes"]:
        f = getattr(velmor.aes, name)
        assert inspect.iscoroutinefunction(f)
        assert f.__module__ == "velmor.aes"
    assert str(inspect.signature(velmor.aes.decrypt)) == "(ciphertext_b64: 'str', key: 'str') -> 'str'"


def test_awaited_round_trip():
    async def main():
        ct = await velmor.aes.encrypt("hello", "k")
        blob = await velmor.aes.encrypt_bytes(b"bytes", "k")
        return await velmor.aes.decrypt(ct, "k"), await velmor.aes.decrypt_bytes(blob, "k")

    assert asyncio.run(main()) == ("hello", b"bytes")


def test_coroutine_object_protocol():
    coro = velmor.aes.encrypt("", "k")
    assert isinstance(coro, collections.abc.Coroutine)
    assert coro.__name__ == "encrypt"
    with pytest.raises(InvalidInputError, match="Plaintext cannot be empty"):
        asyncio.run(coro)
    with pytest.raises(RuntimeError):
        coro.send(None)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'key'"):
        velmor.aes.encrypt("x")


def test_errors_come_out_of_the_await_unchanged():
    blob = core.encrypt_bytes(b"x", "k")

    async def main():
        await velmor.aes.decrypt_bytes(blob, "wrong")

    with pytest.raises(DecryptionError) as info:
        asyncio.run(main())
    assert str(info.value) == NOT_GCM and info.value.__cause__ is None


def test_keywords_are_passed_on_in_parameter_order(monkeypatch):
    seen = []
    monkeypatch.setattr(core, "encrypt_str", lambda *args: seen.append(args) or "ok")
    assert asyncio.run(velmor.aes.encrypt(key="K", plaintext="P")) == "ok"
    assert seen == [("P", "K")]


def test_lookups_happen_at_first_resumption(monkeypatch):
    coro = velmor.aes.encrypt_bytes(b"x", "k")

    class FakeCore:
        @staticmethod
        def encrypt_bytes(data, key):
            return b"from the replacement core"

    monkeypatch.setattr(velmor.aes, "core", FakeCore)
    assert asyncio.run(coro) == b"from the replacement core"


def test_unawaited_coroutine_runs_nothing(monkeypatch):
    ran = []
    monkeypatch.setattr(core, "encrypt_bytes", lambda *a: ran.append(a))
    coro = velmor.aes.encrypt_bytes(b"x", "k")
    coro.close()
    del coro
    assert ran == []


def test_many_tasks_run_on_worker_threads(monkeypatch):
    import threading

    async def main():
        tasks = [asyncio.create_task(velmor.aes.encrypt(str(i), "k")) for i in range(20)]
        cts = await asyncio.gather(*tasks)
        return [await velmor.aes.decrypt(ct, "k") for ct in cts]

    assert asyncio.run(main()) == [str(i) for i in range(20)]
    threads = []
    monkeypatch.setattr(core, "encrypt_str", lambda p, k: threads.append(threading.get_ident()) or p)
    assert asyncio.run(velmor.aes.encrypt("p", "k")) == "p"
    assert threads and threads[0] != threading.get_ident()


def test_cancellation_leaves_through_the_await():
    import threading
    gate = threading.Event()

    async def main():
        task = asyncio.create_task(velmor.aes.encrypt("p", "k"))
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        gate.set()

    class SlowCore:
        @staticmethod
        def encrypt_str(p, k):
            gate.wait(5)
            return "late"

    old = velmor.aes.core
    velmor.aes.core = SlowCore
    try:
        asyncio.run(main())
    finally:
        velmor.aes.core = old


# --- the coroutine objects against the host's own --------------------------------------------

async def encrypt(plaintext, key):
    """What velmor.aes.encrypt would be as an `async def`: the reference for the protocol."""
    return await asyncio.to_thread(core.encrypt_str, plaintext, key)


def outcome(action):
    import warnings
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("returned", action())
        except BaseException as e:  # noqa: BLE001 - the outcome is what is compared
            result = ("raised", type(e).__name__, str(e))
        import gc
        gc.collect()
    return result, [(w.category.__name__, str(w.message)) for w in caught]


def on_suspended(action):
    """Runs `action(coro, future)` on a coroutine suspended in its await of the worker thread."""
    import threading
    gate = threading.Event()
    old = core.encrypt_str
    core.encrypt_str = lambda p, k: gate.wait(5) and "late"

    def run(f):
        async def drive():
            box = [f("p", "k")]
            future = box[0].send(None)
            try:
                return action(box.pop(), future)  # the action holds the only reference
            finally:
                gate.set()
        try:
            return asyncio.run(drive())
        finally:
            gate.clear()
    try:
        return run
    finally:
        core.encrypt_str = old


def closed_then(act):
    def run(f):
        coro = f("p", "k")
        coro.close()
        return act(coro)
    return run


def thrown_then_state(coro, future):
    try:
        coro.throw(KeyError("into the await"))
    except KeyError as e:
        raised = str(e)
    try:
        coro.send(None)
    except RuntimeError as e:
        return raised, str(e), future.cancelled(), coro.cr_suspended
    return "resumed"


def closed_then_state(coro, future):
    before = (coro.cr_suspended, coro.cr_running, coro.cr_await is not None)
    return before, coro.close(), coro.cr_suspended, coro.cr_await, future.cancelled()


def generator_exit(coro, future):
    try:
        coro.throw(GeneratorExit)
    except GeneratorExit:
        return "GeneratorExit", coro.cr_await, future.cancelled()


def dropped(f):
    f("p", "k")


def dropped_suspended(coro, future):
    inner = coro.cr_await
    del coro
    return inner.cr_frame is None


def await_iterator(f):
    coro = f("p", "k")
    it = coro.__await__()
    shape = (iter(it) is it, type(it).__name__, [callable(getattr(it, m)) for m in ("send", "throw", "close")])
    it.close()
    return shape, coro.cr_suspended, outcome(lambda: coro.send(None))[0]


def yield_from_await(f):
    @types.coroutine
    def delegate(coro):
        return (yield from coro.__await__())

    async def main():
        return core.decrypt_str(await delegate(f("p", "k")), "k")

    return asyncio.run(main())


def next_through_await(f):
    # next() on the iterator starts the coroutine, as send(None) does
    async def main():
        it = f("p", "k").__await__()
        future = next(it)
        await asyncio.wrap_future(future) if not asyncio.isfuture(future) else await future
        try:
            next(it)
        except StopIteration as stop:
            return core.decrypt_str(stop.value, "k")

    return asyncio.run(main())


PROTOCOL = {
    "throw into a finished coroutine": closed_then(lambda c: c.throw(ValueError("x"))),
    "close of a finished coroutine": closed_then(lambda c: c.close()),
    "send to a finished coroutine": closed_then(lambda c: c.send(None)),
    "throw before the start ends it": lambda f: (lambda c: (outcome(lambda: c.throw(KeyError("k")))[0],
                                                            outcome(lambda: c.send(None))[0]))(f("p", "k")),
    "throw without arguments": lambda f: f("p", "k").throw(),
    "throw with four arguments": lambda f: f("p", "k").throw(ValueError, None, None, None),
    "throw with a bad traceback": lambda f: f("p", "k").throw(ValueError, None, 5),
    "throw of an instance with a value": lambda f: f("p", "k").throw(ValueError("a"), 1),
    "throw of a non-exception": lambda f: f("p", "k").throw(5),
    "throw of type and value (deprecated)": lambda f: f("p", "k").throw(ValueError, ("a",)),
    "send of a value to a new coroutine": lambda f: f("p", "k").send(5),
    "a dropped coroutine that never ran": dropped,
    "throw into the awaited future": on_suspended(thrown_then_state),
    "close while suspended": on_suspended(closed_then_state),
    "GeneratorExit while suspended": on_suspended(generator_exit),
    "a dropped suspended coroutine closes its await": on_suspended(dropped_suspended),
    "send of a value while suspended": on_suspended(lambda c, fut: c.send(5)),
    "__await__ returns an iterator": await_iterator,
    "yield from __await__()": yield_from_await,
    "next() through __await__()": next_through_await,
}


@pytest.mark.parametrize("scenario", PROTOCOL)
def test_coroutine_protocol_is_the_hosts(scenario):
    act = PROTOCOL[scenario]
    expected = outcome(lambda: act(encrypt))
    got = outcome(lambda: act(velmor.aes.encrypt))
    assert got == expected


def test_coroutine_kinds_and_tasks():
    f = velmor.aes.encrypt
    assert inspect.iscoroutinefunction(f) and asyncio.iscoroutinefunction(f)
    coro = f("p", "k")
    assert isinstance(coro, collections.abc.Coroutine) and asyncio.iscoroutine(coro)
    assert inspect.isawaitable(coro) and (coro.__name__, coro.__qualname__) == ("encrypt", "encrypt")
    coro.close()

    async def main():
        task = asyncio.create_task(f("p", "k"))
        done = await asyncio.wait_for(task, 30)
        return core.decrypt_str(done, "k"), task.done()

    assert asyncio.run(main()) == ("p", True)


def test_encrypt_str_finds_its_names_before_any_work(monkeypatch):
    ran = []
    monkeypatch.setattr(core, "encrypt_bytes", lambda *a: ran.append(a) or b"blob")
    monkeypatch.delattr(core, "base64")
    with pytest.raises(NameError, match="'base64'"):
        core.encrypt_str("\ud800", "k")  # not the encoding error: the name comes first
    assert ran == []


def test_a_missing_tag_class_is_found_missing_while_handling_the_tag_error(monkeypatch):
    blob = core.encrypt_bytes(b"x", "k")
    monkeypatch.delattr(core, "InvalidTag")
    with pytest.raises(NameError) as info:
        core.decrypt_bytes(blob, "other")
    assert isinstance(info.value.__context__, InvalidTag)


@pytest.mark.parametrize("changes, error, text", [
    ({"asyncio": None, "core": None}, NameError, "name 'asyncio' is not defined"),
    ({"asyncio": types.SimpleNamespace(), "core": None}, AttributeError, "to_thread"),
    ({"core": None}, NameError, "name 'core' is not defined"),
    ({"core": types.SimpleNamespace()}, AttributeError, "encrypt_str"),
])
def test_first_resumption_looks_up_asyncio_then_core(monkeypatch, changes, error, text):
    coro = velmor.aes.encrypt("p", "k")  # made before the names change
    for name, value in changes.items():
        if value is None:
            monkeypatch.delattr(velmor.aes, name)
        else:
            monkeypatch.setattr(velmor.aes, name, value)
    with pytest.raises(error, match=text):
        asyncio.run(coro)


def test_asyncio_may_come_from_the_builtins(monkeypatch):
    import builtins
    monkeypatch.delattr(velmor.aes, "asyncio")
    monkeypatch.setattr(builtins, "asyncio", asyncio, raising=False)
    assert core.decrypt_str(asyncio.run(velmor.aes.encrypt("p", "k")), "k") == "p"
