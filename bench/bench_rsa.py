"""RSA family against its floor: the same `cryptography` calls written directly in Python.

Every velmor call parses its PEM key text again, so the floor does too. Each figure is the
best of several timeit runs; the ratio is velmor / floor (1.00 means no overhead).

    python bench/bench_rsa.py [--quick]
"""

import os
import struct
import sys

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.serialization import load_pem_private_key, load_pem_public_key

import common
import velmor.rsa.core as rc

ROWS = []

OAEP = padding.OAEP(mgf=padding.MGF1(hashes.SHA256()), algorithm=hashes.SHA256(), label=None)


def floor_encrypt_block(data, public_pem):
    return load_pem_public_key(public_pem.encode("ascii")).encrypt(data, OAEP)


def floor_encrypt_envelope(data, public_pem):
    aes_key = os.urandom(32)
    block = load_pem_public_key(public_pem.encode("ascii")).encrypt(aes_key, OAEP)
    nonce = os.urandom(12)
    sealed = memoryview(AESGCM(aes_key).encrypt(nonce, data, None))
    return b"".join((struct.pack("<I", len(block)), block, nonce, sealed[-16:], sealed[:-16]))


def floor_decrypt_block(blob, private_pem):
    return load_pem_private_key(private_pem.encode("ascii"), password=None).decrypt(blob, OAEP)


def floor_decrypt_envelope(blob, private_pem):
    key = load_pem_private_key(private_pem.encode("ascii"), password=None)
    aes_key = key.decrypt(blob[4:516], OAEP)
    return AESGCM(aes_key).decrypt(blob[516:528], blob[544:] + blob[528:544], None)


def pss():
    return padding.PSS(mgf=padding.MGF1(hashes.SHA256()), salt_length=padding.PSS.DIGEST_LENGTH)


def floor_sign(data, private_pem):
    key = load_pem_private_key(private_pem.encode("ascii"), password=None)
    return key.sign(data, pss(), hashes.SHA256())


def floor_verify(data, signature, public_pem):
    key = load_pem_public_key(public_pem.encode("ascii"))
    try:
        key.verify(signature, data, pss(), hashes.SHA256())
        return True
    except InvalidSignature:
        return False


def compare(label, ours, floor, number, repeat, rounds):
    rows = []
    common.compare(label, ours, floor, rows, number=number, repeat=repeat, rounds=rounds)
    ROWS.extend(rows)
    return rows[0][3]


def main():
    quick = "--quick" in sys.argv
    private_pem, public_pem = rc.new_key_pair()
    small = os.urandom(32)
    large = os.urandom(64 * 1024)
    block = rc.encrypt_bytes(small, public_pem)
    envelope = rc.encrypt_bytes(large, public_pem)
    signature = rc.sign_bytes(small, private_pem)
    assert rc.decrypt_bytes(block, private_pem) == floor_decrypt_block(block, private_pem) == small
    assert floor_decrypt_envelope(envelope, private_pem) == large
    assert floor_decrypt_envelope(floor_encrypt_envelope(large, public_pem), private_pem) == large
    assert rc.verify_bytes(small, signature, public_pem) and floor_verify(small, signature, public_pem)

    fast = (50, 5, 3) if quick else (200, 7, 5)   # number, repeat, rounds
    slow = (1, 3, 2) if quick else (2, 5, 3)      # private-key loads check the key: slow
    ratios = {}
    ratios["encrypt_bytes 32 B (block)"] = compare(
        "encrypt_bytes 32 B (block)",
        lambda: rc.encrypt_bytes(small, public_pem),
        lambda: floor_encrypt_block(small, public_pem), *fast)
    ratios["encrypt_bytes 64 KiB (envelope)"] = compare(
        "encrypt_bytes 64 KiB (envelope)",
        lambda: rc.encrypt_bytes(large, public_pem),
        lambda: floor_encrypt_envelope(large, public_pem), *fast)
    ratios["verify_bytes"] = compare(
        "verify_bytes",
        lambda: rc.verify_bytes(small, signature, public_pem),
        lambda: floor_verify(small, signature, public_pem), *fast)
    ratios["decrypt_bytes 32 B (block)"] = compare(
        "decrypt_bytes 32 B (block)",
        lambda: rc.decrypt_bytes(block, private_pem),
        lambda: floor_decrypt_block(block, private_pem), *slow)
    ratios["decrypt_bytes 64 KiB (envelope)"] = compare(
        "decrypt_bytes 64 KiB (envelope)",
        lambda: rc.decrypt_bytes(envelope, private_pem),
        lambda: floor_decrypt_envelope(envelope, private_pem), *slow)
    ratios["sign_bytes"] = compare(
        "sign_bytes",
        lambda: rc.sign_bytes(small, private_pem),
        lambda: floor_sign(small, private_pem), *slow)
    common.report("RSA (synchronous)", ROWS)
    worst = max(ratios, key=ratios.get)
    print(f"worst ratio: {ratios[worst]:.3f} ({worst}); target <= 1.05")


if __name__ == "__main__":
    main()
