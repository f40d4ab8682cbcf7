# Written by scripts/make_stubs.py from the installed package (make stubs): do not edit.

from . import _oqs as _oqs
from . import types as types
from . import core as core
from .types import QuantumGeneration as QuantumGeneration
from .types import QuantumStrength as QuantumStrength
from .types import SignatureAlgorithm as SignatureAlgorithm

__all__ = [
    "generate_keypair",
    "encrypt",
    "decrypt",
    "generate_signature_keypair",
    "sign",
    "verify",
    "QuantumGeneration",
    "QuantumStrength",
    "SignatureAlgorithm",
    "core",
]

async def generate_keypair(
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
async def encrypt(message: str, public_key: bytes) -> tuple[bytes, bytes]:
    """Encrypt text under a quantum public key; return (encapsulated secret, encrypted message).

    The key's generation byte chooses the scheme; the text is encrypted as UTF-8. decrypt needs
    both results.

    Raises InvalidInputError for a key that is too short, empty or malformed; KeyError for a
    strength byte other than 0, 1 and 2; QuantumOperationError for an unsupported generation, a
    missing binding or a failure inside it.
    """
async def decrypt(encrypted_message: bytes, private_key: bytes, secret: bytes) -> str:
    """Decrypt an encrypted message with the quantum private key and the encapsulated secret.

    The arguments come in this order: encrypted message, private key, secret (encrypt returns the
    secret first). Returns the text.

    Raises InvalidInputError for a key, secret or message that is too short or malformed;
    DecryptionError for data that does not authenticate (another key, altered data) or is not
    UTF-8; KeyError for a strength byte other than 0, 1 and 2; QuantumOperationError for an
    unsupported generation, a missing binding or a failure inside it.
    """
async def generate_signature_keypair(
    algorithm: SignatureAlgorithm | int = SignatureAlgorithm.ML_DSA,
    strength: QuantumStrength | int = QuantumStrength.HIGHEST,
) -> tuple[bytes, bytes]:
    """Make a post-quantum signature key pair; return (public key, private key).

    Both keys begin with two bytes: the scheme (1 ML-DSA, the default; 2 SLH-DSA) and the strength
    (0, 1 or 2). Needs the liboqs binding `oqs`.

    Raises ValueError for a scheme or strength outside its enum, QuantumOperationError when the
    binding is missing or fails.
    """
async def sign(data: bytes, private_key: bytes) -> bytes:
    """Sign data with a post-quantum private signature key; return the raw signature.

    Raises InvalidInputError for a key without its header, with an unknown scheme id or of the
    wrong length for its mechanism; KeyError for a strength byte other than 0, 1 and 2; TypeError
    for data that is not bytes-like; QuantumOperationError when the binding is missing, has no
    SLH-DSA mechanism or fails to sign.
    """
async def verify(data: bytes, signature: bytes, public_key: bytes) -> bool:
    """Check a post-quantum signature of data under a public signature key; return True or False.

    False for a signature that does not match, and for a key without its header, with an unknown
    scheme id or of the wrong length for its mechanism.

    Raises KeyError for a strength byte other than 0, 1 and 2, TypeError for data or a signature
    that is not bytes-like, QuantumOperationError when the binding is missing or has no SLH-DSA
    mechanism.
    """
