from . import _oqs as _oqs
from . import core as core
from . import types as types
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
) -> tuple[bytes, bytes]: ...
async def encrypt(message: str, public_key: bytes) -> tuple[bytes, bytes]: ...
async def decrypt(encrypted_message: bytes, private_key: bytes, secret: bytes) -> str: ...
async def generate_signature_keypair(
    algorithm: SignatureAlgorithm | int = SignatureAlgorithm.ML_DSA,
    strength: QuantumStrength | int = QuantumStrength.HIGHEST,
) -> tuple[bytes, bytes]: ...
async def sign(data: bytes, private_key: bytes) -> bytes: ...
async def verify(data: bytes, signature: bytes, public_key: bytes) -> bool: ...
