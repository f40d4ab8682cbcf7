"""Shared helpers of the post-quantum tests: key pairs made once per session with the binding
double installed while they are made, and the real liboqs binding where one loads."""

from __future__ import annotations

import importlib.util
import os
import sys

import pytest

import oqs_double
from velmor.quantum import core

_pairs: dict[tuple, tuple[bytes, bytes]] = {}


def keypair(generation, strength, tag: int = 0) -> tuple[bytes, bytes]:
    """A cached key pair; a different ``tag`` gives an independent pair of the same kind."""
    key = (int(generation), int(strength), tag)
    if key not in _pairs:
        events = list(oqs_double.EVENTS)
        with pytest.MonkeyPatch.context() as mp:
            oqs_double.install(mp)
            _pairs[key] = core.generate_keypair(generation, strength)
        # Keep the events a test recorded before it asked for keys.
        oqs_double.EVENTS[:] = events
    return _pairs[key]


def sig_keypair(algorithm, strength, tag: int = 0) -> tuple[bytes, bytes]:
    key = ("sig", int(algorithm), int(strength), tag)
    if key not in _pairs:
        events = list(oqs_double.EVENTS)
        with pytest.MonkeyPatch.context() as mp:
            oqs_double.install(mp)
            _pairs[key] = core.generate_signature_keypair(algorithm, strength)
        oqs_double.EVENTS[:] = events
    return _pairs[key]


def flip(data: bytes, index: int, mask: int = 0x01) -> bytes:
    """``data`` with the bits of ``mask`` flipped in the byte at ``index``."""
    buf = bytearray(data)
    buf[index] ^= mask
    return bytes(buf)


def _real_binding():
    if importlib.util.find_spec("oqs") is None:
        return None, "the liboqs binding `oqs` is not installed"
    try:
        import oqs
    except BaseException as exc:  # noqa: BLE001 - without liboqs the binding ends with SystemExit
        return None, f"importing `oqs` failed: {type(exc).__name__}: {exc}"
    if not hasattr(oqs, "get_enabled_kem_mechanisms"):
        return None, "`oqs` is not the liboqs binding"
    return oqs, ""


# The real binding, or None and the reason it is not usable.
REAL, REASON = _real_binding()


def binding_for(mode: str, mp: pytest.MonkeyPatch):
    """Make `import oqs` give the binding of `mode` ("liboqs", "double" or "none", for no binding
    at all) while `mp` is active; returns it. The real binding's tests skip where it does not
    load, unless OQS_INSTALL_PATH names a liboqs to test: then that is a failure."""
    if mode == "none":
        mp.setitem(sys.modules, "oqs", None)
        return None
    if mode == "double":
        return oqs_double.install(mp)
    if REAL is None:
        if os.environ.get("OQS_INSTALL_PATH"):
            pytest.fail(f"OQS_INSTALL_PATH is set, but the real binding is unusable: {REASON}")
        pytest.skip(REASON)
    mp.setitem(sys.modules, "oqs", REAL)
    return REAL
