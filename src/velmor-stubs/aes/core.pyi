# Written by scripts/make_stubs.py from the installed package (make stubs): do not edit.

from typing import Final

GCM_NONCE_SIZE: Final = 12
GCM_TAG_SIZE: Final = 16

def encrypt_bytes(data: bytes, key: str) -> bytes:
    """Encrypt data with AES-256-GCM under a key text; return the AES-GCM blob.

    The blob is the 12-byte random nonce, then the ciphertext and the 16-byte tag. The key text
    gives the 32-byte key: the Base64 of 32 bytes is that key (of 64 bytes, their first 32); any
    other text gives the SHA-256 of its bytes (decoded, if it is Base64), hashed once.

    Raises InvalidInputError for empty data, EncryptionError if the cipher fails.
    """
def decrypt_bytes(blob: bytes, key: str) -> bytes:
    """Decrypt an AES-GCM blob under the key text it was made with; return the data.

    The blob is the 12-byte nonce, then the ciphertext and the 16-byte tag: 29 bytes or more.

    Raises DecryptionError for a blob that is too short, made under another key or altered.
    """
def encrypt_str(plaintext: str, key: str) -> str:
    """Encrypt text with AES-256-GCM under a key text; return Base64 text.

    The text is encrypted as UTF-8 by encrypt_bytes; the result is the standard Base64, with
    padding, of the AES-GCM blob.

    Raises InvalidInputError for the empty text, and the errors of encrypt_bytes.
    """
def decrypt_str(ciphertext_b64: str, key: str) -> str:
    """Decrypt Base64 text made by encrypt_str under the same key text; return the text.

    The Base64 is decoded strictly: a line break or any character outside the alphabet is refused.

    Raises DecryptionError for text that is not valid Base64, a blob that does not open (too
    short, another key, altered) or data that is not UTF-8.
    """
