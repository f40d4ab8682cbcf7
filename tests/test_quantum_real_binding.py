"""The same round trips against a real liboqs binding, where one is installed and enables the
mechanisms; skipped otherwise."""

import importlib.util

import pytest


def _real_binding():
    # Only try when a module `oqs` exists; some builds of the binding try to fetch and compile
    # liboqs at import time and end with SystemExit, so catch everything.
    if importlib.util.find_spec("oqs") is None:
        return None, "the liboqs binding `oqs` is not installed"
    try:
        import oqs
    except BaseException as exc:  # noqa: BLE001
        return None, f"importing `oqs` failed: {type(exc).__name__}: {exc}"
    if getattr(oqs, "__name__", "") != "oqs" or not hasattr(oqs, "get_enabled_kem_mechanisms"):
        return None, "`oqs` is not the liboqs binding"
    return oqs, ""


OQS, REASON = _real_binding()
pytestmark = pytest.mark.skipif(OQS is None, reason=REASON or "no real liboqs binding")


def enabled_kem(name):
    return OQS is not None and name in OQS.get_enabled_kem_mechanisms()


def enabled_sig(name):
    return OQS is not None and name in OQS.get_enabled_sig_mechanisms()


@pytest.mark.parametrize(
    "generation, strength, mechanism",
    [(8, 2, "ML-KEM-1024"), (8, 0, "ML-KEM-512"), (6, 0, "FrodoKEM-640-AES"), (4, 2, "FrodoKEM-1344-AES")],
)
def test_round_trip(generation, strength, mechanism):
    if not enabled_kem(mechanism):
        pytest.skip(f"{mechanism} is not enabled in this liboqs")
    from velmor.quantum import core

    pk, sk = core.generate_keypair(generation, strength)
    capsule, message = core.encrypt("real ✓", pk)
    assert core.decrypt(message, sk, capsule) == "real ✓"


def test_signatures():
    if not enabled_sig("ML-DSA-87"):
        pytest.skip("ML-DSA-87 is not enabled in this liboqs")
    from velmor.quantum import core

    pk, sk = core.generate_signature_keypair()
    sig = core.sign(b"data", sk)
    assert core.verify(b"data", sig, pk) is True
    assert core.verify(b"other", sig, pk) is False
