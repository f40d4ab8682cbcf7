"""Shared helpers of the post-quantum tests: key pairs made once per session with the binding
double installed while they are made."""

from __future__ import annotations

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
