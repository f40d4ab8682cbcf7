"""Post-quantum signatures and the coroutine module velmor.quantum."""

import asyncio
import inspect
import sys

import pytest

import oqs_double
import velmor.quantum
from quantum_support import flip, keypair, sig_keypair
from velmor.errors import InvalidInputError, QuantumOperationError
from velmor.quantum import core
from velmor.quantum.types import QuantumStrength, SignatureAlgorithm


@pytest.fixture(autouse=True)
def oqs(monkeypatch):
    return oqs_double.install(monkeypatch)


@pytest.mark.parametrize(
    "args, head, alg",
    [
        ((), b"\x01\x02", "ML-DSA-87"),
        ((SignatureAlgorithm.ML_DSA, 0), b"\x01\x00", "ML-DSA-44"),
        ((1, 2.9), b"\x01\x02", "ML-DSA-87"),
        ((2, 0), b"\x02\x00", "SLH-DSA-SHA2-128f"),
        ((2, QuantumStrength.HIGHEST), b"\x02\x02", "SLH-DSA-SHA2-256f"),
    ],
)
def test_generate_signature_keypair(oqs, args, head, alg):
    pk, sk = core.generate_signature_keypair(*args)
    assert pk[:2] == sk[:2] == head
    assert len(pk) == 2 + oqs.SIG_SIZES[alg][0]
    assert [e[2] for e in oqs.EVENTS if e[0] == "construct"] == [alg]


@pytest.mark.parametrize("args", [(3,), (0,), (1, 3), (2, -1)])
def test_generate_signature_keypair_bad_values(args, monkeypatch):
    monkeypatch.setitem(sys.modules, "oqs", None)
    with pytest.raises(ValueError):
        core.generate_signature_keypair(*args)


@pytest.mark.parametrize("alg, strength", [(1, 0), (1, 1), (1, 2), (2, 0), (2, 1)])
def test_sign_and_verify(alg, strength):
    pk, sk = sig_keypair(alg, strength)
    other_pk, _ = sig_keypair(alg, strength, tag=1)
    for data in (b"", b"data \xff"):
        sig = core.sign(data, sk)
        assert core.verify(data, sig, pk) is True
    assert core.verify(b"data \xfe", sig, pk) is False
    assert core.verify(b"data \xff", sig, other_pk) is False
    assert core.verify(b"data \xff", flip(sig, 10), pk) is False
    assert core.verify(b"data \xff", sig[:-1], pk) is False


def test_underscore_slh_dsa_name(oqs):
    oqs.enable_slh_dsa({"SLH_DSA_PURE_SHA2_128F"})
    pk, sk = core.generate_signature_keypair(2, 0)
    oqs.EVENTS.clear()
    assert core.verify(b"m", core.sign(b"m", sk), pk)
    assert {e[2] for e in oqs.EVENTS if e[0] == "construct"} == {"SLH_DSA_PURE_SHA2_128F"}
    oqs.enable_slh_dsa(set())
    with pytest.raises(QuantumOperationError, match=r"^No SLH-DSA mechanism available; tried \["):
        core.verify(b"m", b"s", pk)


@pytest.mark.parametrize("key", [b"", b"\x01", b"\x01\x02"])
def test_keys_without_header(key):
    with pytest.raises(InvalidInputError, match="^Invalid signature private key: missing header$"):
        core.sign(b"m", key)
    assert core.verify(b"m", b"s", key) is False


@pytest.mark.parametrize("scheme", [0, 3, 7, 255])
def test_unsupported_scheme(scheme):
    with pytest.raises(InvalidInputError) as info:
        core.sign(b"m", bytes([scheme, 2, 1]))
    assert str(info.value) == f"Unsupported signature scheme id {scheme}"
    assert isinstance(info.value.__cause__, ValueError)
    assert core.verify(b"m", b"s", bytes([scheme, 2, 1])) is False


def test_strength_byte_edges():
    pk, sk = sig_keypair(1, 2)
    sig = core.sign(b"m", sk)
    with pytest.raises(KeyError):
        core.verify(b"m", sig, b"\x01\x03" + pk[2:])
    with pytest.raises(KeyError):
        core.sign(b"m", b"\x01\x03" + sk[2:])
    assert core.verify(b"m", sig, b"\x01\x01" + pk[2:]) is False  # checked as ML-DSA-65
    with pytest.raises(InvalidInputError, match="^Invalid signature private key: wrong length$"):
        core.sign(b"m", b"\x01\x00\x01")  # a 1-byte raw key never reaches the binding
    with pytest.raises(TypeError):
        core.verify(b"m", b"s", None)


def test_verify_without_binding(monkeypatch):
    pk, _ = sig_keypair(1, 2)
    monkeypatch.setitem(sys.modules, "oqs", None)
    with pytest.raises(QuantumOperationError, match="requires the native liboqs"):
        core.verify(b"m", bytes(4627), pk)
    # What is refused before the binding is asked: no header, a signature of another length.
    assert core.verify(b"m", b"s", b"\x01\x02") is False
    assert core.verify(b"m", b"s", pk) is False


def test_sig_helpers():
    assert core._sig_kind(1) == "mldsa" and core._sig_kind(SignatureAlgorithm.ML_DSA) == "mldsa"
    assert core._sig_kind(2) == core._sig_kind(9) == "slhdsa"
    assert core._sig_strip(b"\x02\x01abc", "x") == (2, 1, b"abc")
    with pytest.raises(InvalidInputError, match="^Invalid odd key: missing header$"):
        core._sig_strip(b"ab", "odd")


# --- velmor.quantum -------------------------------------------------------------------------


def test_module_surface():
    assert velmor.quantum.__all__ == [
        "generate_keypair", "encrypt", "decrypt", "generate_signature_keypair", "sign", "verify",
        "QuantumGeneration", "QuantumStrength", "SignatureAlgorithm", "core"]
    assert velmor.quantum.core is core and velmor.quantum._oqs is core._oqs
    for name in velmor.quantum.__all__[:6]:
        fn = getattr(velmor.quantum, name)
        assert inspect.iscoroutinefunction(fn)
        assert str(inspect.signature(fn)) == str(inspect.signature(getattr(core, name)))
    assert inspect.signature(velmor.quantum.generate_keypair).parameters["strength"].default is QuantumStrength.HIGHEST


def test_coroutines_round_trip():
    async def main():
        pk, sk = await velmor.quantum.generate_keypair()
        capsule, message = await velmor.quantum.encrypt("async ✓", pk)
        text = await velmor.quantum.decrypt(message, sk, capsule)
        spk, ssk = await velmor.quantum.generate_signature_keypair()
        sig = await velmor.quantum.sign(b"d", ssk)
        ok = await velmor.quantum.verify(public_key=spk, signature=sig, data=b"d")
        short = await velmor.quantum.verify(b"d", sig, b"\x01\x02")
        return pk[:2], sk[:2], text, spk[:2], ok, short

    assert asyncio.run(main()) == (b"\x08\x02", b"\x08\x02", "async ✓", b"\x01\x02", True, False)


def test_coroutine_errors_come_out_of_the_await():
    coro = velmor.quantum.generate_keypair(9)
    with pytest.raises(ValueError):
        asyncio.run(coro)
    with pytest.raises(InvalidInputError, match="^Invalid signature private key: missing header$"):
        asyncio.run(velmor.quantum.sign(b"d", b"\x01\x02"))
