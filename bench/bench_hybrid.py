"""Hybrid envelope: velmor.hybrid.core against the same cryptography/struct/base64 calls in Python.

Every call loads its PEM key text again (the RSA-OAEP step of velmor does), so the floor does
too. Decryption loads and checks the private key on every call and is dominated by it.
"""
import asyncio
import base64
import os
import struct

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.serialization import load_pem_private_key, load_pem_public_key

from common import QUICK, compare, compare_async, report
import velmor
from velmor.errors import DecryptionError, EncryptionError, InvalidInputError
from velmor.hybrid import core
from velmor.rsa import core as rsa_core

HYBR = b"HYBR"
RSA_BLOCK, NONCE, TAG = 512, 12, 16
MAX_OAEP_PLAINTEXT = 446
OAEP = padding.OAEP(mgf=padding.MGF1(hashes.SHA256()), algorithm=hashes.SHA256(), label=None)


# The RSA-OAEP block as the RSA core makes and reads it: size test, PEM load, one primitive call.
def floor_encrypt_oaep(data, public_pem):
    if len(data) > MAX_OAEP_PLAINTEXT:
        raise InvalidInputError("too large")
    try:
        try:
            key = load_pem_public_key(public_pem.encode("ascii"))
        except Exception as e:
            raise InvalidInputError(f"Invalid RSA public key PEM: {e}") from e
        return key.encrypt(data, OAEP)
    except InvalidInputError:
        raise
    except Exception as e:
        raise EncryptionError(f"RSA encryption failed: {e}") from e


def floor_decrypt_oaep(blob, private_pem):
    try:
        try:
            key = load_pem_private_key(private_pem.encode("ascii"), password=None)
        except Exception as e:
            raise InvalidInputError(f"Invalid RSA private key PEM: {e}") from e
        return key.decrypt(blob, OAEP)
    except InvalidInputError:
        raise
    except Exception as e:
        raise DecryptionError(f"RSA decryption failed: {e}") from e


def floor_encrypt_bytes(data, public_pem):
    if not data:
        raise InvalidInputError("Data cannot be empty")
    aes_key = os.urandom(32)
    encrypted_key = floor_encrypt_oaep(aes_key, public_pem)
    nonce = os.urandom(NONCE)
    sealed = memoryview(AESGCM(aes_key).encrypt(nonce, data, None))
    # The envelope in one copy of the payload, straight from the sealed output.
    ciphertext, tag = sealed[:-TAG], sealed[-TAG:]
    return b"".join((struct.pack("<I", len(encrypted_key)), encrypted_key, nonce, tag, ciphertext))


def floor_net_decrypt(blob, private_pem):
    nonce_start = 4 + RSA_BLOCK
    tag_start = nonce_start + NONCE
    ct_start = tag_start + TAG
    encrypted_key = blob[4:nonce_start]
    nonce = blob[nonce_start:tag_start]
    tag = blob[tag_start:ct_start]
    ciphertext = blob[ct_start:]
    aes_key = floor_decrypt_oaep(encrypted_key, private_pem)
    try:
        return AESGCM(aes_key).decrypt(nonce, ciphertext + tag, None)
    except InvalidTag as e:
        raise DecryptionError("Hybrid AES-GCM decryption failed") from e


def floor_decrypt_auto(blob, private_pem):
    if len(blob) >= 8 and blob[:4] == HYBR:
        raise NotImplementedError  # the legacy envelope is not benchmarked
    if len(blob) >= 4 + RSA_BLOCK + NONCE + TAG and int.from_bytes(blob[:4], "little") == RSA_BLOCK:
        return floor_net_decrypt(blob, private_pem)
    return floor_decrypt_oaep(blob, private_pem)


def floor_encrypt_str(plaintext, public_pem):
    if plaintext == "":
        raise InvalidInputError("Plaintext cannot be empty")
    return base64.b64encode(floor_encrypt_bytes(plaintext.encode("utf-8"), public_pem)).decode("ascii")


def floor_decrypt_str(ciphertext_b64, private_pem):
    try:
        blob = base64.b64decode(ciphertext_b64, validate=True)
    except Exception as e:
        raise DecryptionError("Ciphertext is not valid Base64") from e
    data = floor_decrypt_auto(blob, private_pem)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise DecryptionError("Decrypted data is not valid UTF-8") from e


def main():
    private_pem, public_pem = rsa_core.new_key_pair()
    rows = []
    for size_label, size in [("64 B", 64), ("1 MiB", 1 << 20)]:
        data = os.urandom(size)
        text = "x" * size
        blob = core.encrypt_bytes(data, public_pem)
        token = core.encrypt_str(text, public_pem)
        assert floor_decrypt_auto(blob, private_pem) == data == core.decrypt_auto(
            floor_encrypt_bytes(data, public_pem), private_pem)
        assert floor_decrypt_str(token, private_pem) == text
        compare(f"encrypt_bytes {size_label}", lambda: core.encrypt_bytes(data, public_pem),
                lambda: floor_encrypt_bytes(data, public_pem), rows)
        compare(f"encrypt_str {size_label}", lambda: core.encrypt_str(text, public_pem),
                lambda: floor_encrypt_str(text, public_pem), rows)
        # Private-key loads check the key (tens of ms): fewer calls.
        slow = dict(number=2 if QUICK else 5, repeat=2 if QUICK else 3)
        compare(f"decrypt_auto {size_label}", lambda: core.decrypt_auto(blob, private_pem),
                lambda: floor_decrypt_auto(blob, private_pem), rows, **slow)
        compare(f"decrypt_str {size_label}", lambda: core.decrypt_str(token, private_pem),
                lambda: floor_decrypt_str(token, private_pem), rows, **slow)
    report("Hybrid envelope (synchronous)", rows)

    rows = []
    compare_async("await hybrid.encrypt 64 B", lambda: velmor.hybrid.encrypt("x" * 64, public_pem),
                  lambda: asyncio.to_thread(floor_encrypt_str, "x" * 64, public_pem), rows)
    compare_async("await hybrid.encrypt_bytes 64 B",
                  lambda: velmor.hybrid.encrypt_bytes(b"x" * 64, public_pem),
                  lambda: asyncio.to_thread(floor_encrypt_bytes, b"x" * 64, public_pem), rows)
    report("Hybrid envelope (awaited, against asyncio.to_thread of the floor)", rows)


if __name__ == "__main__":
    main()
