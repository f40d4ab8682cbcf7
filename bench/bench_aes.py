"""AES-GCM: velmor.aes.core against the same cryptography/hashlib/base64 calls in Python."""
import asyncio
import base64
import binascii
import hashlib
import os

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from common import compare, compare_async, report
import velmor
from velmor.aes import core


# The floor: the key-text rule and the blob, written directly in Python.
def floor_key(key):
    if len(key) and len(key) % 4 == 0:
        try:
            raw = base64.b64decode(key, validate=True)
        except (binascii.Error, ValueError):
            raw = None
        if raw is not None:
            return raw[:32] if len(raw) in (32, 64) else hashlib.sha256(raw).digest()
    return hashlib.sha256(key.encode("utf-8")).digest()


def floor_encrypt_bytes(data, key):
    if not data:
        raise ValueError
    k = floor_key(key)
    nonce = os.urandom(12)
    return nonce + AESGCM(k).encrypt(nonce, data, None)


def floor_decrypt_bytes(blob, key):
    k = floor_key(key)
    if len(blob) >= 29:
        nonce, rest = blob[:12], blob[12:]
        try:
            return AESGCM(k).decrypt(nonce, rest, None)
        except InvalidTag:
            pass
    raise ValueError


def floor_encrypt_str(text, key):
    return base64.b64encode(floor_encrypt_bytes(text.encode("utf-8"), key)).decode("ascii")


def floor_decrypt_str(text, key):
    return floor_decrypt_bytes(base64.b64decode(text, validate=True), key).decode("utf-8")


def main():
    keys = {"b64 key": base64.b64encode(os.urandom(32)).decode(), "passphrase": "correct horse battery staple"}
    rows = []
    for size_label, size in [("64 B", 64), ("1 MiB", 1 << 20)]:
        data = os.urandom(size)
        text = "x" * size
        for key_label, key in keys.items():
            blob = core.encrypt_bytes(data, key)
            token = core.encrypt_str(text, key)
            tag = f"{size_label}, {key_label}"
            compare(f"encrypt_bytes {tag}", lambda: core.encrypt_bytes(data, key),
                    lambda: floor_encrypt_bytes(data, key), rows)
            compare(f"decrypt_bytes {tag}", lambda: core.decrypt_bytes(blob, key),
                    lambda: floor_decrypt_bytes(blob, key), rows)
            compare(f"encrypt_str {tag}", lambda: core.encrypt_str(text, key),
                    lambda: floor_encrypt_str(text, key), rows)
            compare(f"decrypt_str {tag}", lambda: core.decrypt_str(token, key),
                    lambda: floor_decrypt_str(token, key), rows)
    report("AES-GCM (synchronous)", rows)

    rows = []
    key = keys["b64 key"]
    token = core.encrypt_str("x" * 64, key)
    compare_async("await encrypt 64 B", lambda: velmor.aes.encrypt("x" * 64, key),
                  lambda: asyncio.to_thread(floor_encrypt_str, "x" * 64, key), rows)
    compare_async("await decrypt 64 B", lambda: velmor.aes.decrypt(token, key),
                  lambda: asyncio.to_thread(floor_decrypt_str, token, key), rows)
    report("AES-GCM (awaited, against asyncio.to_thread of the floor)", rows)


if __name__ == "__main__":
    main()
