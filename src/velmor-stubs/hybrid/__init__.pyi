# Written by scripts/make_stubs.py from the installed package (make stubs): do not edit.

from . import core as core

__all__ = ["encrypt", "decrypt", "encrypt_bytes", "decrypt_bytes", "core"]

async def encrypt(plaintext: str, public_pem: str) -> str:
    """Encrypt text in a hybrid envelope for an RSA-4096 public key PEM; return Base64 text.

    The text is encrypted as UTF-8 by encrypt_bytes; the result is the standard Base64 of the
    envelope.

    Raises InvalidInputError for the empty text, and the errors of encrypt_bytes.
    """
async def decrypt(ciphertext_b64: str, private_pem: str) -> str:
    """Decrypt Base64 text of any RSA or hybrid ciphertext under a private key PEM.

    The Base64 is decoded strictly, the data read by decrypt_auto and returned as text.

    Raises DecryptionError for text that is not valid Base64 or data that is not UTF-8, and the
    errors of decrypt_auto.
    """
async def encrypt_bytes(data: bytes, public_pem: str) -> bytes:
    """Encrypt data of any length in a hybrid envelope for an RSA-4096 public key PEM.

    A fresh 32-byte key seals the data with AES-256-GCM and travels in an RSA-OAEP block. The
    envelope: the block's length (4 bytes, little-endian), the 512-byte block, the 12-byte nonce,
    the 16-byte tag, then the ciphertext.

    Raises InvalidInputError for empty data or a public key that does not load or is not 4096
    bits; EncryptionError if the RSA encryption fails.
    """
async def decrypt_bytes(blob: bytes, private_pem: str) -> bytes:
    """Decrypt any RSA or hybrid ciphertext under the matching private key PEM; return the data.

    Tells the formats apart: the legacy hybrid envelope ("HYBR"), the hybrid envelope (length
    field 512), else one bare RSA-OAEP block.

    Raises InvalidInputError for a private key that does not load, DecryptionError for data that
    does not decrypt (another key, altered or truncated data).
    """
