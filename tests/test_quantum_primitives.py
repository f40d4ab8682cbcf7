"""The symmetric building blocks of the post-quantum core."""

import hashlib
import hmac

import pytest
from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey

from velmor.errors import DecryptionError
from velmor.quantum import core

KEY = bytes(range(32))
NONCE = b"n" * 12
GCM_FAIL = "Quantum AES-GCM decryption failed (wrong key or tampered data)"


def test_gcm_seal_open_and_split_point():
    ct, tag = core._gcm_seal(KEY, NONCE, b"")
    assert ct == b"" and len(tag) == 16
    assert core._gcm_open(KEY, NONCE, ct, tag) == b""
    ct, tag = core._gcm_seal(KEY, NONCE, b"hello world")
    assert len(ct) == 11
    joined = ct + tag
    assert core._gcm_open(KEY, NONCE, joined[:5], joined[5:]) == b"hello world"


@pytest.mark.parametrize("part", ["ct", "tag", "nonce", "key"])
def test_gcm_open_failures(part):
    ct, tag = core._gcm_seal(KEY, NONCE, b"hello world")
    args = {"key": KEY, "nonce": NONCE, "ct": ct, "tag": tag}
    value = bytearray(args[part])
    value[0] ^= 1
    args[part] = bytes(value)
    with pytest.raises(DecryptionError) as info:
        core._gcm_open(args["key"], args["nonce"], args["ct"], args["tag"])
    assert str(info.value) == GCM_FAIL and isinstance(info.value.__cause__, InvalidTag)


def test_gcm_bad_key_size():
    with pytest.raises(DecryptionError, match="Quantum AES-GCM") as info:
        core._gcm_open(KEY[:15], NONCE, b"", b"t" * 16)
    assert isinstance(info.value.__cause__, ValueError)
    with pytest.raises(ValueError):
        core._gcm_seal(KEY[:15], NONCE, b"x")


@pytest.mark.parametrize("size, out", [(0, 16), (15, 16), (16, 32), (17, 32)])
def test_cbc_sizes_and_round_trip(size, out):
    data = bytes(range(size))
    ct = core._cbc_encrypt(data, KEY, b"i" * 16)
    assert len(ct) == out
    assert core._cbc_decrypt(ct, KEY, b"i" * 16) == data


def test_cbc_decrypt_failures():
    with pytest.raises(DecryptionError, match="^Quantum AES-CBC unpadding failed$") as info:
        core._cbc_decrypt(b"", KEY, b"i" * 16)
    assert isinstance(info.value.__cause__, ValueError)
    with pytest.raises(ValueError) as info:
        core._cbc_decrypt(b"x" * 15, KEY, b"i" * 16)
    assert not isinstance(info.value, DecryptionError)


@pytest.mark.parametrize("fn", [core._cbc_encrypt, core._cbc_decrypt])
def test_cbc_key_is_checked_before_the_iv(fn):
    # AES(key) is made before CBC(iv): a bad key wins over an IV that is not bytes
    with pytest.raises(ValueError, match="key size"):
        fn(b"x" * 16, KEY[:5], None)


def test_hmac_and_gen4_key():
    assert core._hmac256(b"", b"") == hmac.new(b"", b"", hashlib.sha256).digest()
    assert core._gen4_key(b"secret") == hmac.new(b"secret", b"\x01", hashlib.sha256).digest()
    assert len(core._gen4_key(b"")) == 32


@pytest.mark.parametrize("ss_len", [16, 24, 32, 40])
def test_xor_mix_repeats_short_secrets(ss_len):
    session = bytes(range(100, 132))
    ss = bytes(range(1, ss_len + 1))
    assert core._xor_mix(session, ss) == bytes(session[i] ^ ss[i % ss_len] for i in range(32))


def test_xor_mix_edges():
    assert len(core._xor_mix(b"s" * 40, b"f" * 16)) == 32
    with pytest.raises(IndexError):
        core._xor_mix(b"s" * 31, b"f" * 16)
    with pytest.raises(ZeroDivisionError):
        core._xor_mix(b"s" * 32, b"")


def test_hkdf_and_x25519_raw():
    a = core._hkdf(b"ikm", b"", b"", 32)
    assert len(a) == 32 and a != core._hkdf(b"ikm", b"salt", b"", 32)
    assert len(core._hkdf(b"ikm", b"s", b"info", 64)) == 64
    priv = X25519PrivateKey.generate()
    pub, raw = core._x25519_raw(priv)
    assert len(pub) == len(raw) == 32
    assert X25519PrivateKey.from_private_bytes(raw).public_key().public_bytes_raw() == pub


def test_primitives_are_looked_up_late(monkeypatch):
    monkeypatch.setattr(core, "_hmac256", lambda key, data: b"\xaa" * 40)
    assert core._gen4_key(b"x") == b"\xaa" * 32
