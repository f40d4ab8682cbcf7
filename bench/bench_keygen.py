"""RSA key pairs: velmor.rsa.core.new_key_pair against the same cryptography calls in Python.

Each call makes a new RSA-4096 key, about a second and of varying length (the prime search is
random), so a few repetitions give only a rough figure: it says that key generation dominates,
not how small the overhead is. Reported apart from the other operations.
"""
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa

from common import QUICK, compare, report
from velmor.rsa import core


def floor_new_key_pair():
    key = rsa.generate_private_key(public_exponent=65537, key_size=4096)
    private_pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                    serialization.NoEncryption()).decode("ascii")
    public_pem = key.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo).decode("ascii")
    return private_pem, public_pem


def main():
    rows = []
    compare("new_key_pair (RSA-4096)", core.new_key_pair, floor_new_key_pair, rows,
            number=1, repeat=2 if QUICK else 4, rounds=1 if QUICK else 2)
    report("RSA key generation (dominated by the prime search; rough)", rows)


if __name__ == "__main__":
    main()
