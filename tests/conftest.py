"""Shared fixtures. RSA-4096 key pairs take a while to make, so each is made once a session
(rsa_support caches them, so the table-driven tests get the same pairs)."""

import asyncio

import pytest
from cryptography.hazmat.primitives import serialization

import oqs_double
import rsa_support
from rsa_support import KeyPair


@pytest.fixture(scope="session")
def rsa_keys():
    """A 4096-bit pair made by the library's own key generation."""
    return rsa_support.rsa_4096()


@pytest.fixture(scope="session")
def rsa_keys_other():
    """A second 4096-bit pair, made through the coroutine module."""
    import velmor.rsa

    return KeyPair(*asyncio.run(velmor.rsa.new_key_pair()))


@pytest.fixture(scope="session")
def rsa_2048_key():
    return rsa_support.rsa_2048_key()


@pytest.fixture(scope="session")
def rsa_2048_keys(rsa_2048_key):
    """A 2048-bit pair: the library's fixed 446-byte and 512-byte thresholds do not fit it."""
    return rsa_support.rsa_2048()


@pytest.fixture(scope="session")
def rsa_2048_encrypted_private_pem(rsa_2048_key):
    return rsa_support.pem_pair(
        rsa_2048_key, serialization.BestAvailableEncryption(b"secret")
    ).private_pem


@pytest.fixture(scope="session")
def ec_keys():
    """PEM keys of another algorithm: they load, and the RSA operations then fail."""
    return rsa_support.ec_pair()


@pytest.fixture(scope="module")
def oqs_binding():
    """The binding double as sys.modules['oqs'] for a whole module of tests."""
    with pytest.MonkeyPatch.context() as mp:
        yield oqs_double.install(mp)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "leak: repeated-call memory checks, sized to take a few seconds each")
