# Written by scripts/make_stubs.py from the installed package (make stubs): do not edit.

from . import core as core

__all__ = ["hash", "verify", "needs_rehash", "core"]

async def hash(password: str, iterations: int = 210000) -> str:
    """Hash a password with PBKDF2-HMAC-SHA-512 into a new password record (JSON text).

    The record is compact JSON with sorted keys: "algorithm", "createdUtc", "hash" (the 64-byte
    key, Base64), "parameters" ("hashAlgorithm", "iterations", "outputLength", "saltLength"),
    "salt" (32 random bytes, Base64) and "version". iterations defaults to 210000.

    Raises InvalidInputError for an empty password or a count outside 1 to
    MAX_ITERATIONS (2100000).
    """
async def verify(password: str, hash_json: str) -> bool:
    """Check a password against a password record; return True or False.

    Derives the key again with the record's salt and parameters (SHA-512, or SHA-256 where the
    record names it) and compares in constant time.

    False for an empty or wrong password, and for a record that cannot be read or asks for more
    than MAX_ITERATIONS iterations or MAX_OUTPUT_LENGTH bytes. Raises TypeError for a record that
    is neither text nor bytes.
    """
async def needs_rehash(hash_json: str) -> bool:
    """Tell whether a password record should be replaced with a new one; return True or False.

    True for a record made with fewer iterations than UPGRADE_THRESHOLD (210000), for one whose
    parameters verify_password refuses (a count or length it cannot read or that is out of
    bounds, a missing "outputLength", a hash it does not know), and for one that cannot be read.

    Raises TypeError for a record that is neither text nor bytes.
    """
