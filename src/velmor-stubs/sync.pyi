# Written by scripts/make_stubs.py from the installed package (make stubs): do not edit.

from .quantum.types import QuantumGeneration, QuantumStrength, SignatureAlgorithm

__all__ = ["aes", "rsa", "hybrid", "password", "quantum"]

class _AES:
    @staticmethod
    def encrypt(plaintext: str, key: str) -> str:
        """Encrypt text with AES-256-GCM under a key text; return Base64 text.

        The text is encrypted as UTF-8 by encrypt_bytes; the result is the standard Base64, with
        padding, of the AES-GCM blob.

        Raises InvalidInputError for the empty text, and the errors of encrypt_bytes.
        """
    @staticmethod
    def decrypt(ciphertext_b64: str, key: str) -> str:
        """Decrypt Base64 text made by encrypt_str under the same key text; return the text.

        The Base64 is decoded strictly: a line break or any character outside the alphabet is refused.

        Raises DecryptionError for text that is not valid Base64, a blob that does not open (too
        short, another key, altered) or data that is not UTF-8.
        """
    @staticmethod
    def encrypt_bytes(data: bytes, key: str) -> bytes:
        """Encrypt data with AES-256-GCM under a key text; return the AES-GCM blob.

        The blob is the 12-byte random nonce, then the ciphertext and the 16-byte tag. The key text
        gives the 32-byte key: the Base64 of 32 bytes is that key (of 64 bytes, their first 32); any
        other text gives the SHA-256 of its bytes (decoded, if it is Base64), hashed once.

        Raises InvalidInputError for empty data, EncryptionError if the cipher fails.
        """
    @staticmethod
    def decrypt_bytes(blob: bytes, key: str) -> bytes:
        """Decrypt an AES-GCM blob under the key text it was made with; return the data.

        The blob is the 12-byte nonce, then the ciphertext and the 16-byte tag: 29 bytes or more.

        Raises DecryptionError for a blob that is too short, made under another key or altered.
        """

class _RSA:
    @staticmethod
    def new_key_pair() -> tuple[str, str]:
        """Make a new RSA-4096 key pair; return (private key PEM, public key PEM).

        The private key is unencrypted PKCS#8 and the public key SubjectPublicKeyInfo, both as ASCII
        PEM text; the public exponent is 65537.

        Raises nothing of its own: a failure of the key generation passes unchanged.
        """
    @staticmethod
    def encrypt(plaintext: str, public_pem: str) -> str:
        """Encrypt text for the holder of an RSA private key; return Base64 text.

        The text is encrypted as UTF-8 by encrypt_bytes (one RSA-OAEP block up to 446 bytes, a hybrid
        envelope beyond); the result is its standard Base64.

        Raises InvalidInputError for the empty text, and the errors of encrypt_bytes.
        """
    @staticmethod
    def decrypt(ciphertext_b64: str, private_pem: str) -> str:
        """Decrypt Base64 text made by encrypt_str under the matching private key PEM; return the text.

        Raises DecryptionError for text that is not valid Base64 or data that is not UTF-8, and the
        errors of decrypt_bytes.
        """
    @staticmethod
    def encrypt_bytes(data: bytes, public_pem: str) -> bytes:
        """Encrypt data for the holder of an RSA private key; return the ciphertext.

        Data of 1 to 446 bytes becomes one RSA-OAEP block (SHA-256, MGF1-SHA-256, no label), as long
        as the modulus; longer data becomes a hybrid envelope, which needs a 4096-bit key. The public
        key is PEM text.

        Raises InvalidInputError for empty data, a public key that does not load, or a hybrid envelope
        under a key of another size; EncryptionError if the encryption fails.
        """
    @staticmethod
    def decrypt_bytes(blob: bytes, private_pem: str) -> bytes:
        """Decrypt what encrypt_bytes made, under the matching private key PEM; return the data.

        Reads one RSA-OAEP block, the hybrid envelope and the legacy hybrid envelope ("HYBR").

        Raises InvalidInputError for a private key that does not load, DecryptionError for data that
        does not decrypt under it (another key, altered or truncated data).
        """
    @staticmethod
    def sign(plaintext: str, private_pem: str) -> str:
        """Sign text with RSA-PSS under a private key PEM; return the signature as Base64 text.

        The text is signed as UTF-8 by sign_bytes; the empty text is signed as well.

        Raises the errors of sign_bytes.
        """
    @staticmethod
    def verify(plaintext: str, signature_b64: str, public_pem: str) -> bool:
        """Check a Base64 RSA-PSS signature of text under a public key PEM; return True or False.

        False for signature text that is not valid Base64 or does not match.

        Raises InvalidInputError for a public key that does not load.
        """
    @staticmethod
    def sign_bytes(data: bytes, private_pem: str) -> bytes:
        """Sign data with RSA-PSS under a private key PEM; return the raw signature.

        PSS with SHA-256, MGF1-SHA-256 and a random 32-byte salt; the signature is as long as the
        modulus (512 bytes for RSA-4096). Empty data is signed as well.

        Raises InvalidInputError for a private key that does not load, SignatureError if signing
        fails.
        """
    @staticmethod
    def verify_bytes(data: bytes, signature: bytes, public_pem: str) -> bool:
        """Check an RSA-PSS signature of data under a public key PEM; return True or False.

        False for a signature that does not match the data and the key.

        Raises InvalidInputError for a public key that does not load.
        """

class _Hybrid:
    @staticmethod
    def encrypt(plaintext: str, public_pem: str) -> str:
        """Encrypt text in a hybrid envelope for an RSA-4096 public key PEM; return Base64 text.

        The text is encrypted as UTF-8 by encrypt_bytes; the result is the standard Base64 of the
        envelope.

        Raises InvalidInputError for the empty text, and the errors of encrypt_bytes.
        """
    @staticmethod
    def decrypt(ciphertext_b64: str, private_pem: str) -> str:
        """Decrypt Base64 text of any RSA or hybrid ciphertext under a private key PEM.

        The Base64 is decoded strictly, the data read by decrypt_auto and returned as text.

        Raises DecryptionError for text that is not valid Base64 or data that is not UTF-8, and the
        errors of decrypt_auto.
        """
    @staticmethod
    def encrypt_bytes(data: bytes, public_pem: str) -> bytes:
        """Encrypt data of any length in a hybrid envelope for an RSA-4096 public key PEM.

        A fresh 32-byte key seals the data with AES-256-GCM and travels in an RSA-OAEP block. The
        envelope: the block's length (4 bytes, little-endian), the 512-byte block, the 12-byte nonce,
        the 16-byte tag, then the ciphertext.

        Raises InvalidInputError for empty data or a public key that does not load or is not 4096
        bits; EncryptionError if the RSA encryption fails.
        """
    @staticmethod
    def decrypt_bytes(blob: bytes, private_pem: str) -> bytes:
        """Decrypt any RSA or hybrid ciphertext under the matching private key PEM; return the data.

        Tells the formats apart: the legacy hybrid envelope ("HYBR"), the hybrid envelope (length
        field 512), else one bare RSA-OAEP block.

        Raises InvalidInputError for a private key that does not load, DecryptionError for data that
        does not decrypt (another key, altered or truncated data).
        """

class _Password:
    @staticmethod
    def hash(password: str, iterations: int = 210000) -> str:
        """Hash a password with PBKDF2-HMAC-SHA-512 into a new password record (JSON text).

        The record is compact JSON with sorted keys: "algorithm", "createdUtc", "hash" (the 64-byte
        key, Base64), "parameters" ("hashAlgorithm", "iterations", "outputLength", "saltLength"),
        "salt" (32 random bytes, Base64) and "version". iterations defaults to 210000.

        Raises InvalidInputError for an empty password or a count outside 1 to
        MAX_ITERATIONS (2100000).
        """
    @staticmethod
    def verify(password: str, hash_json: str) -> bool:
        """Check a password against a password record; return True or False.

        Derives the key again with the record's salt and parameters (SHA-512, or SHA-256 where the
        record names it) and compares in constant time.

        False for an empty or wrong password, and for a record that cannot be read or asks for more
        than MAX_ITERATIONS iterations or MAX_OUTPUT_LENGTH bytes. Raises TypeError for a record that
        is neither text nor bytes.
        """
    @staticmethod
    def needs_rehash(hash_json: str) -> bool:
        """Tell whether a password record should be replaced with a new one; return True or False.

        True for a record made with fewer iterations than UPGRADE_THRESHOLD (210000), for one whose
        parameters verify_password refuses (a count or length it cannot read or that is out of
        bounds, a missing "outputLength", a hash it does not know), and for one that cannot be read.

        Raises TypeError for a record that is neither text nor bytes.
        """

class _Quantum:
    @staticmethod
    def generate_keypair(
        generation: QuantumGeneration | int = QuantumGeneration.GEN8,
        strength: QuantumStrength | int = QuantumStrength.HIGHEST,
    ) -> tuple[bytes, bytes]:
        """Make a post-quantum key pair; return (public key, private key).

        Both keys begin with two bytes: the generation and the strength (0, 1 or 2). Generation 8 (the
        default) is X25519 with ML-KEM; 7 is RSA-4096 with FrodoKEM; 6 (and 3) and 4 are FrodoKEM; 5
        and 2 (and 1) are Classic McEliece. Needs the liboqs binding `oqs`.

        Raises ValueError for a generation or strength outside its enum, QuantumOperationError when
        the binding is missing or fails.
        """
    @staticmethod
    def encrypt(message: str, public_key: bytes) -> tuple[bytes, bytes]:
        """Encrypt text under a quantum public key; return (encapsulated secret, encrypted message).

        The key's generation byte chooses the scheme; the text is encrypted as UTF-8. decrypt needs
        both results.

        Raises InvalidInputError for a key that is too short, empty or malformed; KeyError for a
        strength byte other than 0, 1 and 2; QuantumOperationError for an unsupported generation, a
        missing binding or a failure inside it.
        """
    @staticmethod
    def decrypt(encrypted_message: bytes, private_key: bytes, secret: bytes) -> str:
        """Decrypt an encrypted message with the quantum private key and the encapsulated secret.

        The arguments come in this order: encrypted message, private key, secret (encrypt returns the
        secret first). Returns the text.

        Raises InvalidInputError for a key, secret or message that is too short or malformed;
        DecryptionError for data that does not authenticate (another key, altered data) or is not
        UTF-8; KeyError for a strength byte other than 0, 1 and 2; QuantumOperationError for an
        unsupported generation, a missing binding or a failure inside it.
        """
    @staticmethod
    def generate_signature_keypair(
        algorithm: SignatureAlgorithm | int = SignatureAlgorithm.ML_DSA,
        strength: QuantumStrength | int = QuantumStrength.HIGHEST,
    ) -> tuple[bytes, bytes]:
        """Make a post-quantum signature key pair; return (public key, private key).

        Both keys begin with two bytes: the scheme (1 ML-DSA, the default; 2 SLH-DSA) and the strength
        (0, 1 or 2). Needs the liboqs binding `oqs`.

        Raises ValueError for a scheme or strength outside its enum, QuantumOperationError when the
        binding is missing or fails.
        """
    @staticmethod
    def sign(data: bytes, private_key: bytes) -> bytes:
        """Sign data with a post-quantum private signature key; return the raw signature.

        Raises InvalidInputError for a key without its header, with an unknown scheme id or of the
        wrong length for its mechanism; KeyError for a strength byte other than 0, 1 and 2; TypeError
        for data that is not bytes-like; QuantumOperationError when the binding is missing, has no
        SLH-DSA mechanism or fails to sign.
        """
    @staticmethod
    def verify(data: bytes, signature: bytes, public_key: bytes) -> bool:
        """Check a post-quantum signature of data under a public signature key; return True or False.

        False for a signature that does not match, and for a key without its header, with an unknown
        scheme id or of the wrong length for its mechanism.

        Raises KeyError for a strength byte other than 0, 1 and 2, TypeError for data or a signature
        that is not bytes-like, QuantumOperationError when the binding is missing or has no SLH-DSA
        mechanism.
        """

aes: _AES
rsa: _RSA
hybrid: _Hybrid
password: _Password
quantum: _Quantum
