from typing import Final

from cryptography.hazmat.primitives import hashes

ALGORITHM: Final = "pbkdf2"
VERSION: Final = 2
DEFAULT_ITERATIONS: Final = 210000
SALT_LENGTH: Final = 32
OUTPUT_LENGTH: Final = 64
HASH_ALGORITHM: Final = "SHA512"
UPGRADE_THRESHOLD: Final = 210000
# Records asking for more are refused by the verifier before any derivation.
MAX_ITERATIONS: Final = 2100000
MAX_OUTPUT_LENGTH: Final = 128
_HASHES: Final[dict[str, type[hashes.HashAlgorithm]]]

def _derive(password: str, salt: bytes, iterations: int, length: int, hash_algorithm: str) -> bytes: ...
def hash_password(password: str, iterations: int = 210000) -> str: ...
def _parse(hash_json: str) -> dict | None: ...
def verify_password(password: str, hash_json: str) -> bool: ...
def needs_rehash(hash_json: str) -> bool: ...
