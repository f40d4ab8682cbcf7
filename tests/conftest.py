"""Shared fixtures. RSA-4096 key pairs take a while to make, so each is made once a session."""

import asyncio
from dataclasses import dataclass

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa


@dataclass(frozen=True)
class KeyPair:
    private_pem: str
    public_pem: str


@pytest.fixture(scope="session")
def rsa_keys():
    """A 4096-bit pair made by the library's own key generation."""
    import velmor.rsa.core

    return KeyPair(*velmor.rsa.core.new_key_pair())


@pytest.fixture(scope="session")
def rsa_keys_other():
    """A second 4096-bit pair, made through the coroutine module."""
    import velmor.rsa

    return KeyPair(*asyncio.run(velmor.rsa.new_key_pair()))


def _pem_pair(key, encryption=None):
    private = key.private_bytes(
        serialization.Encoding.PEM,
        serialization.PrivateFormat.PKCS8,
        encryption or serialization.NoEncryption(),
    ).decode("ascii")
    public = key.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo
    ).decode("ascii")
    return KeyPair(private, public)


@pytest.fixture(scope="session")
def rsa_2048_key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


@pytest.fixture(scope="session")
def rsa_2048_keys(rsa_2048_key):
    """A 2048-bit pair: the library's fixed 446-byte and 512-byte thresholds do not fit it."""
    return _pem_pair(rsa_2048_key)


@pytest.fixture(scope="session")
def rsa_2048_encrypted_private_pem(rsa_2048_key):
    return _pem_pair(
        rsa_2048_key, serialization.BestAvailableEncryption(b"secret")
    ).private_pem


@pytest.fixture(scope="session")
def ec_keys():
    """PEM keys of another algorithm: they load, and the RSA operations then fail."""
    return _pem_pair(ec.generate_private_key(ec.SECP256R1()))


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "leak: repeated-call memory checks, sized to take a few seconds each")
