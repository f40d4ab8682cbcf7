# Written by scripts/make_stubs.py from the installed package (make stubs): do not edit.

from . import core as core

__all__ = [
    "new_key_pair",
    "encrypt",
    "decrypt",
    "encrypt_bytes",
    "decrypt_bytes",
    "sign",
    "verify",
    "sign_bytes",
    "verify_bytes",
    "core",
]

async def new_key_pair() -> tuple[str, str]:
    """Make a new RSA-4096 key pair; return (private key PEM, public key PEM).

    The private key is unencrypted PKCS#8 and the public key SubjectPublicKeyInfo, both as ASCII
    PEM text; the public exponent is 65537.

    Raises nothing of its own: a failure of the key generation passes unchanged.
    """
async def encrypt(plaintext: str, public_pem: str) -> str:
    """Encrypt text for the holder of an RSA private key; return Base64 text.

    The text is encrypted as UTF-8 by encrypt_bytes (one RSA-OAEP block up to 446 bytes, a hybrid
    envelope beyond); the result is its standard Base64.

    Raises InvalidInputError for the empty text, and the errors of encrypt_bytes.
    """
async def decrypt(ciphertext_b64: str, private_pem: str) -> str:
    """Decrypt Base64 text made by encrypt_str under the matching private key PEM; return the text.

    Raises DecryptionError for text that is not valid Base64 or data that is not UTF-8, and the
    errors of decrypt_bytes.
    """
async def encrypt_bytes(data: bytes, public_pem: str) -> bytes:
    """Encrypt data for the holder of an RSA private key; return the ciphertext.

    Data of 1 to 446 bytes becomes one RSA-OAEP block (SHA-256, MGF1-SHA-256, no label), as long
    as the modulus; longer data becomes a hybrid envelope, which needs a 4096-bit key. The public
    key is PEM text.

    Raises InvalidInputError for empty data, a public key that does not load, or a hybrid envelope
    under a key of another size; EncryptionError if the encryption fails.
    """
async def decrypt_bytes(blob: bytes, private_pem: str) -> bytes:
    """Decrypt what encrypt_bytes made, under the matching private key PEM; return the data.

    Reads one RSA-OAEP block, the hybrid envelope and the legacy hybrid envelope ("HYBR").

    Raises InvalidInputError for a private key that does not load, DecryptionError for data that
    does not decrypt under it (another key, altered or truncated data).
    """
async def sign(plaintext: str, private_pem: str) -> str:
    """Sign text with RSA-PSS under a private key PEM; return the signature as Base64 text.

    The text is signed as UTF-8 by sign_bytes; the empty text is signed as well.

    Raises the errors of sign_bytes.
    """
async def verify(plaintext: str, signature_b64: str, public_pem: str) -> bool:
    """Check a Base64 RSA-PSS signature of text under a public key PEM; return True or False.

    False for signature text that is not valid Base64 or does not match.

    Raises InvalidInputError for a public key that does not load.
    """
async def sign_bytes(data: bytes, private_pem: str) -> bytes:
    """Sign data with RSA-PSS under a private key PEM; return the raw signature.

    PSS with SHA-256, MGF1-SHA-256 and a random 32-byte salt; the signature is as long as the
    modulus (512 bytes for RSA-4096). Empty data is signed as well.

    Raises InvalidInputError for a private key that does not load, SignatureError if signing
    fails.
    """
async def verify_bytes(data: bytes, signature: bytes, public_pem: str) -> bool:
    """Check an RSA-PSS signature of data under a public key PEM; return True or False.

    False for a signature that does not match the data and the key.

    Raises InvalidInputError for a public key that does not load.
    """
