"""Instructions per call of the post-quantum core, counted by callgrind (wall-clock is too noisy
to compare two builds; instruction counts are not).

    PYTHONHASHSEED=0 OQS_INSTALL_PATH=... python bench/callgrind_quantum.py [--calls N] [op ...]

Each operation runs under valgrind once with N calls and once with none; the difference divided
by N is its cost per call, in total and inside the velmor extension alone. The keys come from a
file made on the first run, so that two builds are measured on the same key material. Signing
draws fresh randomness inside liboqs at every call, so its total moves by a few percent between
runs; the count inside velmor does not.
"""
import argparse
import os
import pickle
import re
import subprocess
import sys
import tempfile

KEYS = os.path.join(tempfile.gettempdir(), "velmor-callgrind-keys.pickle")
TEXT, DATA = "short text", b"short data"
# operation: (generation or signature scheme, strength)
OPERATIONS = {"encrypt8": (8, 2), "decrypt8": (8, 2), "encrypt6": (6, 0), "decrypt6": (6, 0),
              "sign44": (1, 0), "verify44": (1, 0)}


def keys():
    from velmor.quantum import core

    if not os.path.exists(KEYS):
        made = {}
        for op, (kind, strength) in OPERATIONS.items():
            if op.startswith(("sign", "verify")):
                public, private = core.generate_signature_keypair(kind, strength)
                made[op] = (public, private, core.sign(DATA, private))
            else:
                same = made.get(f"encrypt{kind}")  # decryption uses the key pair of encryption
                public, private = same[:2] if same else core.generate_keypair(kind, strength)
                made[op] = (public, private, core.encrypt(TEXT, public))
        with open(KEYS, "wb") as f:
            pickle.dump(made, f)
    with open(KEYS, "rb") as f:
        return pickle.load(f)


def call(op):
    """The operation as a function of no arguments."""
    from velmor.quantum import core

    public, private, made = keys()[op]
    if op.startswith("encrypt"):
        return lambda: core.encrypt(TEXT, public)
    if op.startswith("decrypt"):
        secret, message = made
        return lambda: core.decrypt(message, private, secret)
    if op.startswith("sign"):
        return lambda: core.sign(DATA, private)
    return lambda: core.verify(DATA, made, public)


def run(op, calls):
    fn = call(op)
    fn()  # imports, interned names and cached lookups are not part of a call
    for _ in range(calls):
        fn()


def instructions(op, calls):
    """(all instructions, instructions inside the velmor extension) of one run."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                        __file__, "--run", op, "--calls", str(calls)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        report = subprocess.run(["callgrind_annotate", "--threshold=100", "--inclusive=no", out],
                                check=True, capture_output=True, text=True).stdout
    count = lambda line: int(line.split()[0].replace(",", ""))  # noqa: E731
    total = next(count(line) for line in report.splitlines() if "PROGRAM TOTALS" in line)
    own = sum(count(line) for line in report.splitlines()
              if re.match(r"\s*[\d,]+ ", line) and "velmor.cpython" in line)
    return total, own


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("ops", nargs="*", default=list(OPERATIONS))
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--run", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run:
        return run(args.run, args.calls)
    keys()
    print(f"{'operation':<10} {'per call':>12} {'in velmor':>10}")
    for op in args.ops:
        total, own = instructions(op, args.calls)
        base_total, base_own = instructions(op, 0)
        print(f"{op:<10} {(total - base_total) // args.calls:>12,} {(own - base_own) // args.calls:>10,}")


if __name__ == "__main__":
    main()
