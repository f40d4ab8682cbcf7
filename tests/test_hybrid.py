"""velmor.hybrid.core and velmor.hybrid: the hybrid envelope, the legacy envelope (read only;
written here by a fixture), format recognition in decrypt_auto, and the coroutine module."""

import __future__
import asyncio
import base64
import binascii
import inspect
import os
import struct

import pytest
from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmor.aes.core as aes_core
import velmor.hybrid
import velmor.hybrid.core as hc
import velmor.rsa
import velmor.rsa.core as rc
from rsa_support import OAEP, legacy_envelope
from velmor.errors import DecryptionError, InvalidInputError

TAMPERED = "Hybrid AES-GCM decryption failed (wrong key or tampered data)"
LEGACY = "Invalid hybrid data (legacy Swift format)"
AES_FAILED = (
    "AES decryption failed: data is not valid AES-GCM (legacy AES-CBC+HMAC not yet supported, "
    "or wrong key/tampered data)."
)


def flip(data, index):
    out = bytearray(data)
    out[index] ^= 0x01
    return bytes(out)


def open_envelope(private_key, envelope):
    """An independent reader of the hybrid envelope, on a key object loaded once."""
    (k,) = struct.unpack("<I", envelope[:4])
    block, rest = envelope[4 : 4 + k], envelope[4 + k :]
    nonce, tag, ciphertext = rest[:12], rest[12:28], rest[28:]
    aes_key = private_key.decrypt(block, OAEP)
    return AESGCM(aes_key).decrypt(nonce, ciphertext + tag, None)


@pytest.fixture(scope="session")
def private_key(rsa_keys):
    return serialization.load_pem_private_key(rsa_keys.private_pem.encode(), None)


@pytest.fixture(scope="session")
def envelope(rsa_keys):
    data = b"The quick brown fox jumps over the lazy dog" * 30
    return data, hc.encrypt_bytes(data, rsa_keys.public_pem)


# --- module frame -----------------------------------------------------------------------------


def test_core_binds_its_names_in_order():
    names = [n for n in vars(hc) if not (n.startswith("__") and n.endswith("__"))]
    assert names == [
        "annotations", "base64", "os", "struct", "InvalidTag", "AESGCM", "aes_core",
        "DecryptionError", "InvalidInputError", "rsa_core", "HYBR", "RSA_BLOCK", "NONCE", "TAG",
        "encrypt_bytes", "decrypt_auto", "_net_decrypt", "_legacy_decrypt", "encrypt_str",
        "decrypt_str",
    ]
    assert hc.annotations is __future__.annotations
    assert (hc.HYBR, hc.RSA_BLOCK, hc.NONCE, hc.TAG) == (b"HYBR", 512, 12, 16)
    assert hc.aes_core is aes_core and hc.rsa_core is rc
    assert hc.os is os and hc.struct is struct and hc.AESGCM is AESGCM
    assert not hasattr(hc, "__all__")
    assert str(inspect.signature(hc.decrypt_auto)) == (
        "(blob: 'bytes', private_pem: 'str') -> 'bytes'"
    )


def test_package_binds_both_families():
    assert velmor.hybrid.core is hc and velmor.rsa.core is rc
    assert velmor.__all__[:4] == ["__version__", "aes", "rsa", "hybrid"]
    import sys

    assert sys.modules["velmor.hybrid"] is velmor.hybrid and sys.modules["velmor.rsa"] is velmor.rsa
    # sys.modules holds the modules in the order their loading finished: the hybrid core's
    # import of the RSA core loads velmor.rsa while velmor.hybrid is still loading.
    assert [m for m in sys.modules if m.startswith("velmor.")][:9] == [
        "velmor.errors", "velmor._internal", "velmor._internal.keys", "velmor.aes.core",
        "velmor.aes", "velmor.rsa.core", "velmor.rsa", "velmor.hybrid.core", "velmor.hybrid",
    ]


# --- the hybrid envelope ----------------------------------------------------------------------


def test_envelope_layout_and_round_trip(rsa_keys, envelope, private_key):
    data, blob = envelope
    assert len(blob) == 544 + len(data)
    assert blob[:4] == bytes.fromhex("00020000")
    assert open_envelope(private_key, blob) == data
    assert hc.decrypt_auto(blob, rsa_keys.private_pem) == data
    assert hc.encrypt_bytes(data, rsa_keys.public_pem) != blob


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.binary(min_size=1, max_size=3000))
def test_envelope_of_any_data_opens_with_a_plain_reader(data, rsa_keys, private_key):
    blob = hc.encrypt_bytes(data, rsa_keys.public_pem)
    assert len(blob) == 544 + len(data)
    assert open_envelope(private_key, blob) == data


@pytest.mark.parametrize("data", [b"", None, bytearray()])
def test_encrypt_bytes_refuses_empty_data(data):
    with pytest.raises(InvalidInputError) as info:
        hc.encrypt_bytes(data, "not a key")
    assert info.value.args == ("Data cannot be empty",) and info.value.__cause__ is None


def test_encrypt_bytes_draws_the_key_from_os_before_loading_the_public_key(monkeypatch):
    drawn = []
    real = os.urandom
    monkeypatch.setattr(os, "urandom", lambda n: drawn.append(n) or real(n))
    # The module attribute os is not what the library draws from.
    monkeypatch.setattr(hc, "os", None)
    with pytest.raises(InvalidInputError) as info:
        hc.encrypt_bytes(b"data", "not a key")
    assert str(info.value).startswith("Invalid RSA public key PEM: ")
    assert drawn == [32]


def test_encrypt_bytes_draws_key_and_nonce_from_os(monkeypatch, rsa_2048_keys, rsa_2048_key):
    drawn = []
    real = os.urandom
    monkeypatch.setattr(os, "urandom", lambda n: drawn.append(real(n)) or drawn[-1])
    monkeypatch.setattr(hc, "os", None)
    # A 2048-bit key keeps this fast; the envelope's block size is read from RSA_BLOCK.
    monkeypatch.setattr(hc, "RSA_BLOCK", 256)
    blob = hc.encrypt_bytes(b"data", rsa_2048_keys.public_pem)
    assert [len(d) for d in drawn] == [32, 12]
    key, nonce = drawn
    assert rsa_2048_key.decrypt(blob[4:260], OAEP) == key
    assert blob[260:272] == nonce
    assert open_envelope(rsa_2048_key, blob) == b"data"


def test_encrypt_bytes_refuses_an_envelope_it_could_not_read_back(rsa_2048_keys):
    # The reader takes only 512-byte key blocks: an envelope under a 2048-bit key would be
    # unreadable, so none is written.
    with pytest.raises(InvalidInputError) as info:
        hc.encrypt_bytes(b"data", rsa_2048_keys.public_pem)
    assert str(info.value) == ("The hybrid envelope needs a 4096-bit RSA key "
                               "(RSA-OAEP block of 256 bytes, expected 512)")
    assert info.value.__cause__ is None


def test_envelope_of_exactly_544_bytes_is_empty(rsa_keys):
    key = os.urandom(32)
    block = rc._encrypt_oaep(key, rsa_keys.public_pem)
    nonce = os.urandom(12)
    tag = AESGCM(key).encrypt(nonce, b"", None)
    blob = struct.pack("<I", 512) + block + nonce + tag
    assert len(blob) == 544
    assert hc.decrypt_auto(blob, rsa_keys.private_pem) == b""


@pytest.mark.parametrize("where", ["nonce", "tag", "ciphertext", "truncated"])
def test_altered_envelope_fails_authentication(where, rsa_keys, envelope):
    _, blob = envelope
    altered = {
        "nonce": lambda: flip(blob, 516),
        "tag": lambda: flip(blob, 530),
        "ciphertext": lambda: flip(blob, len(blob) - 1),
        "truncated": lambda: blob[:600],
    }[where]()
    with pytest.raises(DecryptionError) as info:
        hc.decrypt_auto(altered, rsa_keys.private_pem)
    assert info.value.args == (TAMPERED,)
    assert isinstance(info.value.__cause__, InvalidTag)


def test_altered_key_block_or_wrong_key_fails_in_rsa(rsa_keys, rsa_keys_other, envelope):
    _, blob = envelope
    for candidate, key in ((flip(blob, 40), rsa_keys.private_pem), (blob, rsa_keys_other.private_pem)):
        with pytest.raises(DecryptionError) as info:
            hc.decrypt_auto(candidate, key)
        assert str(info.value).startswith("RSA decryption failed: ")
        assert isinstance(info.value.__cause__, ValueError)


def test_unwrapped_key_of_no_aes_length_passes_the_primitive_error(rsa_keys):
    block = rc._encrypt_oaep(b"k" * 20, rsa_keys.public_pem)
    blob = struct.pack("<I", 512) + block + b"\x00" * 40
    with pytest.raises(ValueError) as info:
        hc.decrypt_auto(blob, rsa_keys.private_pem)
    assert not isinstance(info.value, DecryptionError)


def test_bad_private_key_passes_the_loader_error(envelope, rsa_2048_encrypted_private_pem):
    _, blob = envelope
    for key in ("", blob, rsa_2048_encrypted_private_pem):
        with pytest.raises(InvalidInputError) as info:
            hc.decrypt_auto(blob, key)
        assert str(info.value).startswith("Invalid RSA private key PEM: ")


# --- format recognition -----------------------------------------------------------------------

LE512 = (512).to_bytes(4, "little")


@pytest.mark.parametrize(
    "blob, route",
    [
        (b"", "oaep"),
        (b"H", "oaep"),
        (b"HY", "oaep"),
        (b"HYB", "oaep"),
        (b"HYBR", "oaep"),
        (b"HYBR\x00", "oaep"),
        (b"HYBR\x00\x00", "oaep"),
        (b"HYBR\x00\x00\x00", "oaep"),
        (b"HYBR\x00\x00\x00\x00", "legacy"),
        (b"HYBR" + b"\x00" * 600, "legacy"),
        (b"hybr\x00\x00\x00\x00", "oaep"),
        (LE512 + b"\x00" * 539, "oaep"),
        (LE512 + b"\x00" * 540, "net"),
        (LE512 + b"\x00" * 4000, "net"),
        ((513).to_bytes(4, "little") + b"\x00" * 540, "oaep"),
        ((512).to_bytes(4, "big") + b"\x00" * 540, "oaep"),
        (b"\x00" * 512, "oaep"),
    ],
    ids=lambda v: v if isinstance(v, str) else f"{v[:8].hex()}..{len(v)}",
)
def test_decrypt_auto_recognition(blob, route, monkeypatch):
    seen = []
    monkeypatch.setattr(hc, "_legacy_decrypt", lambda b, k: seen.append("legacy") or b"L")
    monkeypatch.setattr(hc, "_net_decrypt", lambda b, k: seen.append("net") or b"N")
    monkeypatch.setattr(rc, "_decrypt_oaep", lambda b, k: seen.append("oaep") or b"O")
    assert hc.decrypt_auto(blob, "key") == {"legacy": b"L", "net": b"N", "oaep": b"O"}[route]
    assert seen == [route]


class _NeverEqual:
    def __eq__(self, other):
        return False

    __hash__ = object.__hash__


def test_the_magic_is_compared_with_the_hosts_equality(monkeypatch):
    # `blob[:4] == HYBR` asks __eq__ even when both sides are the same object.
    head = _NeverEqual()

    class Blob(bytes):
        def __getitem__(self, index):
            return head

    seen = []
    monkeypatch.setattr(hc, "HYBR", head)
    monkeypatch.setattr(hc, "_legacy_decrypt", lambda b, k: seen.append("legacy") or b"L")
    monkeypatch.setattr(rc, "_decrypt_oaep", lambda b, k: seen.append("oaep") or b"O")
    assert hc.decrypt_auto(Blob(b"HYBR\x00\x00\x00\x00"), "key") == b"O"
    assert seen == ["oaep"]


@pytest.mark.parametrize("rsa_block, nonce_size", [(512, 12), (256, 16)])
def test_net_reader_cuts_at_offsets_from_its_constants(rsa_block, nonce_size, monkeypatch):
    # The unwrap is a stand-in, so the cuts are seen without a private key; the length field
    # is not read again.
    key, nonce = os.urandom(32), os.urandom(nonce_size)
    block = os.urandom(rsa_block)
    sealed = AESGCM(key).encrypt(nonce, b"payload", None)
    blob = b"\xff" * 4 + block + nonce + sealed[-16:] + sealed[:-16]
    unwrapped = []
    monkeypatch.setattr(rc, "_decrypt_oaep", lambda b, k: unwrapped.append((b, k)) or key)
    monkeypatch.setattr(hc, "RSA_BLOCK", rsa_block)
    monkeypatch.setattr(hc, "NONCE", nonce_size)
    assert hc._net_decrypt(blob, "priv") == b"payload"
    assert unwrapped == [(block, "priv")]


class _Opened:
    """AESGCM stand-in whose decrypt answers with the nonce and the data it was given."""

    def __init__(self, key):
        pass

    def decrypt(self, nonce, data, associated_data):
        return bytes(nonce), bytes(data)


class _Blob(bytes):
    pass


@pytest.mark.parametrize("rsa_block, nonce_size, tag_size", [
    (512, 12, 16), (8, 4, 16), (8, 4, 5000), (8, 4, 0), (8, -900, 16), (8, 4, -20), (8, 2**70, 16),
])
@pytest.mark.parametrize("kind", [bytes, bytearray, _Blob])
def test_net_reader_joins_ciphertext_and_tag_as_the_hosts_slices(rsa_block, nonce_size, tag_size,
                                                                  kind, monkeypatch):
    # Exact bytes are copied once, straight from the blob; anything else is sliced and joined.
    # Either way the cuts are the host's, bounds past either end included.
    blob = bytes(range(256)) * 4
    monkeypatch.setattr(rc, "_decrypt_oaep", lambda b, k: b"key")
    monkeypatch.setattr(hc, "AESGCM", _Opened)
    monkeypatch.setattr(hc, "RSA_BLOCK", rsa_block)
    monkeypatch.setattr(hc, "NONCE", nonce_size)
    monkeypatch.setattr(hc, "TAG", tag_size)
    nonce_start = 4 + rsa_block
    tag_start = nonce_start + nonce_size
    ct_start = tag_start + tag_size
    expected = (blob[nonce_start:tag_start], blob[ct_start:] + blob[tag_start:ct_start])
    assert hc._net_decrypt(kind(blob), "priv") == expected


class _Unsliceable:
    def __len__(self):
        return 600

    def __getitem__(self, index):
        raise LookupError("sliced")


@pytest.mark.parametrize(
    "delete, rebind, call, expected",
    [
        # a callee is read before its argument is computed
        ("encrypt_bytes", {}, lambda: hc.encrypt_str(b"x", "k"), NameError),
        # the slice is taken before the magic is read
        ("HYBR", {}, lambda: hc.decrypt_auto(_Unsliceable(), "k"), LookupError),
        # the bound is summed left to right: NONCE fails before TAG is read
        ("TAG", {"NONCE": "x"}, lambda: hc.decrypt_auto(b"abc", "k"), TypeError),
    ],
)
def test_names_are_read_in_the_order_of_evaluation(delete, rebind, call, expected, monkeypatch):
    monkeypatch.delattr(hc, delete)
    for name, value in rebind.items():
        monkeypatch.setattr(hc, name, value)
    with pytest.raises(expected):
        call()


@pytest.mark.parametrize(
    "name, call",
    [
        ("InvalidInputError", lambda: hc.encrypt_bytes(b"", "k")),
        ("InvalidInputError", lambda: hc.encrypt_str("", "k")),
        ("DecryptionError", lambda: hc.decrypt_auto(b"HYBR\x00\x00\x00\x00", "k")),
        ("DecryptionError", lambda: hc.decrypt_str("!", "k")),
    ],
)
def test_exception_classes_are_read_when_raised(name, call, monkeypatch):
    class Replaced(Exception):
        pass

    monkeypatch.setattr(hc, name, Replaced)
    with pytest.raises(Replaced):
        call()


def test_recognition_reads_its_constants_when_called(monkeypatch):
    seen = []
    monkeypatch.setattr(hc, "_net_decrypt", lambda b, k: seen.append("net") or b"N")
    monkeypatch.setattr(hc, "_legacy_decrypt", lambda b, k: seen.append("legacy") or b"L")
    monkeypatch.setattr(hc, "RSA_BLOCK", 256)
    monkeypatch.setattr(hc, "HYBR", b"OLD!")
    assert hc.decrypt_auto((256).to_bytes(4, "little") + b"\x00" * 284, "key") == b"N"
    assert hc.decrypt_auto(b"OLD!\x00\x00\x00\x00", "key") == b"L"
    assert seen == ["net", "legacy"]


@pytest.mark.parametrize("prefix", [b"HYBR"[:n] for n in range(1, 5)] + [b"HYBR\x00\x00\x00"])
def test_short_hybr_prefixes_fail_in_the_rsa_reader(prefix, rsa_2048_keys):
    with pytest.raises(DecryptionError) as info:
        hc.decrypt_auto(prefix, rsa_2048_keys.private_pem)
    assert str(info.value).startswith("RSA decryption failed: ")


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    blob=st.one_of(
        st.binary(max_size=700),
        st.binary(max_size=700).map(lambda b: b"HYBR" + b),
        st.binary(min_size=540, max_size=700).map(lambda b: LE512 + b),
    )
)
def test_decrypt_auto_of_arbitrary_blobs_raises_decryption_error(blob, rsa_2048_keys):
    with pytest.raises(DecryptionError):
        hc.decrypt_auto(blob, rsa_2048_keys.private_pem)


# --- the legacy envelope ----------------------------------------------------------------------


@pytest.mark.parametrize("data", [b"x", b"legacy data " * 1000])
def test_legacy_envelope_opens(data, rsa_keys):
    blob = legacy_envelope(rsa_keys.public_pem, data)
    assert blob[4:8] == bytes.fromhex("00000200")
    assert hc.decrypt_auto(blob, rsa_keys.private_pem) == data


def test_legacy_envelope_through_every_reader(rsa_2048_keys):
    # The legacy reader follows its length field: a 256-byte block of a 2048-bit key works.
    blob = legacy_envelope(rsa_2048_keys.public_pem, "légacy".encode())
    assert blob[4:8] == (256).to_bytes(4, "big")
    text = base64.b64encode(blob).decode()
    key = rsa_2048_keys.private_pem
    assert rc.decrypt_bytes(blob, key) == "légacy".encode()
    assert rc.decrypt_str(text, key) == "légacy"
    assert hc.decrypt_str(text, key) == "légacy"
    assert asyncio.run(velmor.hybrid.decrypt_bytes(blob, key)) == "légacy".encode()


@pytest.mark.parametrize("size", [64, 16])
def test_legacy_key_of_other_lengths_follows_the_key_text_rule(size, rsa_2048_keys):
    blob = legacy_envelope(rsa_2048_keys.public_pem, b"data", aes_key=os.urandom(size))
    assert hc.decrypt_auto(blob, rsa_2048_keys.private_pem) == b"data"


def test_legacy_length_field_reaching_the_end(rsa_2048_keys):
    for blob in (b"HYBR" + b"\x00" * 4, b"HYBR\x00\x00\x00\x04abcd", b"HYBR\xff\xff\xff\xffabc"):
        with pytest.raises(DecryptionError) as info:
            hc.decrypt_auto(blob, rsa_2048_keys.private_pem)
        assert info.value.args == (LEGACY,) and info.value.__cause__ is None


def test_legacy_short_aes_part_fails_in_the_aes_core(rsa_2048_keys):
    blob = legacy_envelope(rsa_2048_keys.public_pem, b"data")
    short = blob[: 8 + 256 + 28]
    with pytest.raises(DecryptionError) as info:
        hc.decrypt_auto(short, rsa_2048_keys.private_pem)
    assert info.value.args == (AES_FAILED,) and info.value.__cause__ is None
    with pytest.raises(DecryptionError) as info:
        hc.decrypt_auto(flip(blob, len(blob) - 1), rsa_2048_keys.private_pem)
    assert info.value.args == (AES_FAILED,)


def test_legacy_altered_key_block_fails_in_rsa(rsa_2048_keys):
    blob = legacy_envelope(rsa_2048_keys.public_pem, b"data")
    with pytest.raises(DecryptionError) as info:
        hc.decrypt_auto(flip(blob, 20), rsa_2048_keys.private_pem)
    assert str(info.value).startswith("RSA decryption failed: ")


# --- text forms -------------------------------------------------------------------------------


@pytest.mark.parametrize("text", ["a", "hybrid ✓ ünïcode 🙂" * 50])
def test_text_round_trip(text, rsa_keys, private_key):
    ciphertext = hc.encrypt_str(text, rsa_keys.public_pem)
    blob = base64.b64decode(ciphertext, validate=True)
    assert blob[:4] == LE512
    assert open_envelope(private_key, blob) == text.encode()
    assert hc.decrypt_str(ciphertext, rsa_keys.private_pem) == text


def test_text_forms_refuse_empty_and_bad_input(rsa_2048_keys):
    with pytest.raises(InvalidInputError) as info:
        hc.encrypt_str("", "not a key")
    assert info.value.args == ("Plaintext cannot be empty",)
    with pytest.raises(AttributeError):
        hc.encrypt_str(b"bytes", rsa_2048_keys.public_pem)
    with pytest.raises(DecryptionError) as info:
        hc.decrypt_str("", rsa_2048_keys.private_pem)
    assert str(info.value).startswith("RSA decryption failed: ")
    for bad in ("AAAA\nAAAA", "AA AA", "AAA", "AA-_", "é"):
        with pytest.raises(DecryptionError) as info:
            hc.decrypt_str(bad, "not a key")
        assert info.value.args == ("Ciphertext is not valid Base64",)
        assert isinstance(info.value.__cause__, (binascii.Error, ValueError))


def test_decrypt_str_refuses_non_utf8(rsa_2048_keys):
    blob = legacy_envelope(rsa_2048_keys.public_pem, b"\xc3\x28")
    with pytest.raises(DecryptionError) as info:
        hc.decrypt_str(base64.b64encode(blob).decode(), rsa_2048_keys.private_pem)
    assert info.value.args == ("Decrypted data is not valid UTF-8",)
    assert isinstance(info.value.__cause__, UnicodeDecodeError)


# --- the coroutine module ---------------------------------------------------------------------


def test_coroutine_module_frame():
    names = [n for n in vars(velmor.hybrid) if not (n.startswith("__") and n.endswith("__"))]
    assert names == [
        "annotations", "asyncio", "core", "encrypt", "decrypt", "encrypt_bytes", "decrypt_bytes",
    ]
    assert velmor.hybrid.__all__ == ["encrypt", "decrypt", "encrypt_bytes", "decrypt_bytes", "core"]
    assert str(inspect.signature(velmor.hybrid.decrypt_bytes)) == (
        "(blob: 'bytes', private_pem: 'str') -> 'bytes'"
    )
    for name in velmor.hybrid.__all__[:-1]:
        assert inspect.iscoroutinefunction(getattr(velmor.hybrid, name))


def test_coroutines_round_trip_and_read_every_format(rsa_keys):
    async def main():
        text = await velmor.hybrid.encrypt("async ✓", rsa_keys.public_pem)
        envelope = await velmor.hybrid.encrypt_bytes(b"e", rsa_keys.public_pem)
        block = await velmor.rsa.encrypt_bytes(b"bare block", rsa_keys.public_pem)
        return (
            len(envelope),
            await velmor.hybrid.decrypt(text, rsa_keys.private_pem),
            await velmor.hybrid.decrypt_bytes(block, rsa_keys.private_pem),
        )

    assert asyncio.run(main()) == (545, "async ✓", b"bare block")


def test_coroutine_decrypt_bytes_runs_decrypt_auto(monkeypatch):
    monkeypatch.setattr(hc, "decrypt_auto", lambda blob, key: (blob, key))
    assert asyncio.run(velmor.hybrid.decrypt_bytes(private_pem="k", blob=b"b")) == (b"b", "k")


def test_coroutines_check_arity_at_call_and_values_at_await():
    with pytest.raises(TypeError):
        velmor.hybrid.encrypt("only one")
    coroutine = velmor.hybrid.encrypt("", "not a key")
    with pytest.raises(InvalidInputError):
        asyncio.run(coroutine)


@pytest.mark.parametrize("tag_size", [8, 0])
def test_writer_and_reader_read_the_tag_size_when_called(tag_size, monkeypatch, rsa_keys):
    monkeypatch.setattr(hc, "TAG", tag_size)
    blob = hc.encrypt_bytes(b"payload" * 10, rsa_keys.public_pem)
    assert len(blob) == 544 + 70
    assert hc.decrypt_auto(blob, rsa_keys.private_pem) == b"payload" * 10
