"""velmor.sync: ready-made objects whose static methods are the core functions themselves."""

import importlib
import sys

import pytest

import oqs_double
import velmor
import velmor.sync as sync
from surface_table import BY_NAME, FACADES

ROWS = [(inst, cls, alias, core, attr, fn)
        for inst, (cls, alias, core, methods) in FACADES.items() for attr, fn in methods]
ROW_IDS = [f"{inst}.{attr}" for inst, _, _, _, attr, _ in ROWS]


@pytest.mark.parametrize("inst, cls, alias, core, attr, fn", ROWS, ids=ROW_IDS)
def test_each_attribute_is_its_core_function(inst, cls, alias, core, attr, fn):
    target = getattr(importlib.import_module(core), fn)
    facade_class = getattr(sync, cls)
    assert getattr(sync, alias) is sys.modules[core]
    assert getattr(getattr(sync, inst), attr) is target
    assert getattr(facade_class, attr) is target
    raw = vars(facade_class)[attr]
    assert type(raw) is staticmethod and raw.__func__ is target


@pytest.mark.parametrize("inst, cls, alias, core, attr, fn", ROWS, ids=ROW_IDS)
def test_rebinding_the_core_afterwards_does_not_reach_the_facade(
        monkeypatch, inst, cls, alias, core, attr, fn):
    module = importlib.import_module(core)
    original = getattr(module, fn)
    monkeypatch.setattr(module, fn, lambda *a: "rebound")
    assert getattr(getattr(sync, inst), attr) is original
    assert getattr(getattr(sync, cls), attr) is original


@pytest.mark.parametrize("inst", list(FACADES))
def test_classes_and_instances(inst):
    cls_name, _, _, methods = FACADES[inst]
    cls = getattr(sync, cls_name)
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__module__ == "velmor.sync" and cls.__qualname__ == cls.__name__ == cls_name
    assert cls.__doc__ is None
    own = [k for k in vars(cls) if not (k.startswith("__") and k.endswith("__"))]
    assert own == [attr for attr, _ in methods]
    obj = getattr(sync, inst)
    assert type(obj) is cls and vars(obj) == {}


def test_module_names_all_and_star_import():
    assert sync.__all__ == ["aes", "rsa", "hybrid", "password", "quantum"]
    assert [k for k in vars(sync) if not k.startswith("__")] == list(BY_NAME["velmor.sync"].names)
    ns = {}
    exec("from velmor.sync import *", ns)
    assert {k: v for k, v in ns.items() if k != "__builtins__"} == {
        name: getattr(sync, name) for name in sync.__all__}
    assert velmor.sync is sync


def test_calls_through_aes_and_password():
    blob = sync.aes.encrypt_bytes(b"\x00data", "key")
    assert sync.aes.decrypt_bytes(blob, "key") == b"\x00data"
    assert sync.aes.decrypt(sync.aes.encrypt("héllo", key="k"), "k") == "héllo"
    with pytest.raises(velmor.InvalidInputError, match="Plaintext cannot be empty"):
        sync.aes.encrypt("", "k")
    record = sync.password.hash("pw", iterations=1000)
    assert sync.password.verify("pw", record) is True
    assert sync.password.verify("other", record) is False
    assert sync.password.needs_rehash(record) is True


def test_calls_through_rsa_and_hybrid(rsa_keys):
    priv, pub = rsa_keys.private_pem, rsa_keys.public_pem
    assert sync.rsa.verify("msg", sync.rsa.sign("msg", priv), pub) is True
    assert sync.rsa.verify_bytes(b"x", sync.rsa.sign_bytes(b"y", priv), pub) is False
    assert sync.rsa.decrypt(sync.rsa.encrypt("short", pub), priv) == "short"
    envelope = sync.hybrid.encrypt_bytes(b"z" * 600, pub)
    # the hybrid decrypt_bytes reads every format: the envelope and a bare RSA-OAEP block
    assert sync.hybrid.decrypt_bytes(envelope, priv) == b"z" * 600
    assert sync.hybrid.decrypt_bytes(sync.rsa.encrypt_bytes(b"block", pub), priv) == b"block"
    assert sync.hybrid.decrypt(sync.hybrid.encrypt("text", pub), priv) == "text"


def test_calls_through_quantum(monkeypatch):
    oqs_double.install(monkeypatch)
    q = sync.quantum
    pk, sk = q.generate_keypair()  # the core's defaults: generation 8, highest strength
    assert pk[:2] == sk[:2] == b"\x08\x02"
    capsule, message = q.encrypt("quantum ✓", pk)
    assert q.decrypt(message, sk, capsule) == "quantum ✓"
    spk, ssk = q.generate_signature_keypair(strength=0)
    assert spk[:2] == b"\x01\x00"
    assert q.verify(b"data", q.sign(b"data", ssk), spk) is True
