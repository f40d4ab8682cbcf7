"""Shared helpers of the RSA and hybrid tests: key pairs made once per session, and writers of
the envelopes that no function of the library writes (the legacy envelope) or that an attacker
holding the public key can forge.

RSA-4096 pairs take about a second to make and every load of a private key text is validated
again (about 250 ms at 4096 bits, 40 ms at 2048), so tests that decrypt many times use the
2048-bit pair wherever the format allows it: only the hybrid envelope needs a 512-byte block.
"""

from __future__ import annotations

import hashlib
import os
import struct
from dataclasses import dataclass
from functools import cache

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

OAEP = padding.OAEP(mgf=padding.MGF1(hashes.SHA256()), algorithm=hashes.SHA256(), label=None)
PSS = padding.PSS(mgf=padding.MGF1(hashes.SHA256()), salt_length=padding.PSS.DIGEST_LENGTH)


@dataclass(frozen=True)
class KeyPair:
    private_pem: str
    public_pem: str


def pem_pair(key, encryption=None) -> KeyPair:
    private = key.private_bytes(
        serialization.Encoding.PEM,
        serialization.PrivateFormat.PKCS8,
        encryption or serialization.NoEncryption(),
    ).decode("ascii")
    public = key.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo
    ).decode("ascii")
    return KeyPair(private, public)


@cache
def rsa_4096(tag: int = 0) -> KeyPair:
    """A 4096-bit pair made by the library's own key generation; a new ``tag``, a new pair."""
    import velmor.rsa.core

    return KeyPair(*velmor.rsa.core.new_key_pair())


@cache
def rsa_2048_key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


@cache
def rsa_2048() -> KeyPair:
    return pem_pair(rsa_2048_key())


@cache
def ec_pair() -> KeyPair:
    """PEM keys of another algorithm: they load, and the RSA operations then fail."""
    return pem_pair(ec.generate_private_key(ec.SECP256R1()))


_loaded: dict[str, object] = {}


def private_key_of(pem: str):
    """The key object of a private key text, loaded once (the loader validates at every load)."""
    if pem not in _loaded:
        _loaded[pem] = serialization.load_pem_private_key(pem.encode("ascii"), None)
    return _loaded[pem]


def aes_key_from(raw: bytes) -> bytes:
    """The AES-256 key that the key text (Base64) of the unwrapped bytes stands for."""
    if len(raw) == 32:
        return raw
    if len(raw) == 64:
        return raw[:32]
    return hashlib.sha256(raw).digest()


def legacy_envelope(public_pem, data, aes_key=None, nonce=None):
    """Writes the legacy envelope: "HYBR", big-endian block length, RSA-OAEP block of the AES
    key, then an AES-GCM blob (nonce, ciphertext, tag) under that key."""
    aes_key = os.urandom(32) if aes_key is None else aes_key
    public = serialization.load_pem_public_key(public_pem.encode())
    block = public.encrypt(aes_key, OAEP)
    nonce = os.urandom(12) if nonce is None else nonce
    key = aes_key_from(aes_key)
    return b"HYBR" + struct.pack(">I", len(block)) + block + nonce + AESGCM(key).encrypt(
        nonce, data, None
    )


def forged_envelope(public_pem, aes_key, rest, length_field=None):
    """A hybrid envelope whose key block wraps any bytes the forger likes, followed by `rest`
    (nonce, tag, ciphertext)."""
    public = serialization.load_pem_public_key(public_pem.encode())
    block = public.encrypt(aes_key, OAEP)
    field = len(block) if length_field is None else length_field
    return struct.pack("<I", field) + block + rest


def oaep_block(public_pem, data):
    return serialization.load_pem_public_key(public_pem.encode()).encrypt(data, OAEP)


def pss_sign(private_pem, data):
    """An RSA-PSS signature made outside the library, on a key object loaded once."""
    return private_key_of(private_pem).sign(data, PSS, hashes.SHA256())


@cache
def encrypted_2048_pem() -> str:
    """The 2048-bit private key text encrypted under a password, which the library never gives."""
    return pem_pair(rsa_2048_key(), serialization.BestAvailableEncryption(b"secret")).private_pem
