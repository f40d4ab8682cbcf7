"""Password records: velmor against the same steps written directly in Python (the floor).

Run with the installed package: python bench/bench_password.py
Prints the best time per call of each and the velmor/floor ratio (min of several runs).
"""

import base64
import hmac
import json
import os
from datetime import datetime, timezone

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

import common
from velmor.password import core

ROWS = []

PASSWORD = "correct horse battery staple"


def floor_hash(password, iterations):
    if not password:
        raise ValueError("Password cannot be empty")
    salt = os.urandom(32)
    kdf = PBKDF2HMAC(algorithm=hashes.SHA512(), length=64, salt=salt, iterations=iterations)
    key = kdf.derive(password.encode("utf-8"))
    record = {
        "algorithm": "pbkdf2",
        "version": 2,
        "salt": base64.b64encode(salt).decode("ascii"),
        "hash": base64.b64encode(key).decode("ascii"),
        "parameters": {"hashAlgorithm": "SHA512", "iterations": iterations,
                       "outputLength": 64, "saltLength": 32},
        "createdUtc": datetime.now(timezone.utc).replace(microsecond=0).isoformat()
        .replace("+00:00", "Z"),
    }
    return json.dumps(record, sort_keys=True, separators=(",", ":"))


def floor_verify(password, hash_json):
    if not password:
        return False
    data = json.loads(hash_json)
    salt = base64.b64decode(data["salt"], validate=True)
    stored = base64.b64decode(data["hash"], validate=True)
    params = data["parameters"]
    algorithm = {"SHA512": hashes.SHA512, "SHA256": hashes.SHA256}[
        str(params.get("hashAlgorithm", "SHA512")).upper()]
    kdf = PBKDF2HMAC(algorithm=algorithm(), length=int(params["outputLength"]), salt=salt,
                     iterations=int(params["iterations"]))
    return hmac.compare_digest(kdf.derive(password.encode("utf-8")), stored)


def compare(label, ours, floor, number, repeat):
    common.compare(label, ours, floor, ROWS, number=number, repeat=1, rounds=repeat)


def main():
    plan = ((1000, 20, 2), (210000, 1, 2)) if common.QUICK else ((1000, 200, 15), (210000, 3, 9))
    for iterations, number, repeat in plan:
        record = core.hash_password(PASSWORD, iterations)
        assert floor_verify(PASSWORD, record) and core.verify_password(PASSWORD, floor_hash(
            PASSWORD, iterations))
        compare(f"hash @ {iterations}", lambda: core.hash_password(PASSWORD, iterations),
                lambda: floor_hash(PASSWORD, iterations), number, repeat)
        compare(f"verify @ {iterations}", lambda: core.verify_password(PASSWORD, record),
                lambda: floor_verify(PASSWORD, record), number, repeat)
    common.report("Password records (synchronous)", ROWS)


if __name__ == "__main__":
    main()
