"""Instructions per call under callgrind, which counts the same on every run where wall-clock
time does not: each operation runs once with `calls` calls and once with none, and the
difference over `calls` is its cost.

What the host's allocator and garbage collector spend on a call depends on the state the import
left their pools in, which moves with any change to what the package allocates while it loads;
so each operation is measured after a collection and over several paddings of the heap, and the
table gives the mean and the spread, and apart the instructions spent in the extension itself.

    PYTHONHASHSEED=0 python bench/instructions.py [python] [--so velmor.so]

`--so` measures another build of the extension in the same environment.
"""
import os
import pathlib
import re
import subprocess
import sys
import tempfile

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa

PADDINGS = 4

# (label, calls, setup, call): both runs execute the setup, only one the calls
CASES = [
    ("aes.core.encrypt_str 64 B", 5000, "text = 'x' * 64", "encrypt_str(text, KEY)"),
    ("aes.core.decrypt_str 64 B", 5000, "blob = encrypt_str('x' * 64, KEY)",
     "decrypt_str(blob, KEY)"),
    ("aes.core.encrypt_str 1 MiB", 25, "text = 'x' * (1 << 20)", "encrypt_str(text, KEY)"),
    ("aes.core.decrypt_str 1 MiB", 25, "blob = encrypt_str('x' * (1 << 20), KEY)",
     "decrypt_str(blob, KEY)"),
    ("password.core.needs_rehash default record", 5000,
     "record = RECORD", "needs_rehash(record)"),
    # Every call loads the RSA-4096 private key again, which costs far more than the rest.
    ("hybrid.core.decrypt_auto 1 MiB", 3, "blob = hybrid_encrypt(b'x' * (1 << 20), PUBLIC_PEM)",
     "decrypt_auto(blob, PRIVATE_PEM)"),
]

PROLOGUE = """
import gc
import sys
sys.path.insert(0, {path!r}) if {path!r} else None
from velmor.aes.core import encrypt_str, decrypt_str
from velmor.password.core import needs_rehash
from velmor.hybrid.core import encrypt_bytes as hybrid_encrypt, decrypt_auto
KEY = 'MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWY='  # Base64 of 32 bytes
PUBLIC_PEM, PRIVATE_PEM = {public_pem!r}, {private_pem!r}
RECORD = ('{{"algorithm":"pbkdf2","createdUtc":"2025-01-01T00:00:00Z","hash":"' + 'A' * 88 +
          '","parameters":{{"hashAlgorithm":"SHA512","iterations":210000,"outputLength":64,'
          '"saltLength":32}},"salt":"' + 'A' * 44 + '","version":2}}')
padding = [bytes(i) for i in range({padding})]
{setup}
gc.collect()
for _ in range({calls}):
    {call}
"""


def rsa_key_pair():
    """An RSA-4096 pair as PEM text (private, public), made once, outside valgrind."""
    key = rsa.generate_private_key(public_exponent=65537, key_size=4096)
    private = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption()).decode("ascii")
    public = key.public_key().public_bytes(serialization.Encoding.PEM,
                                           serialization.PublicFormat.SubjectPublicKeyInfo)
    return private, public.decode("ascii")


def instructions(python, path, setup, call, calls, padding, keys):
    """(all instructions, those of the extension) of one run"""
    with tempfile.TemporaryDirectory() as tmp:
        script = pathlib.Path(tmp, "case.py")
        script.write_text(PROLOGUE.format(path=path, setup=setup, call=call, calls=calls,
                                          padding=padding, private_pem=keys[0],
                                          public_pem=keys[1]))
        out = pathlib.Path(tmp, "callgrind.out")
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", python,
                        str(script)], env=env, check=True, capture_output=True)
        total = int(re.search(r"^summary: (\d+)", out.read_text(), re.M).group(1))
        listing = subprocess.run(["callgrind_annotate", "--threshold=100", str(out)],
                                 capture_output=True, text=True, check=True).stdout
        own = sum(int(m.group(1).replace(",", "")) for m in
                  re.finditer(r"^\s*([\d,]+) .*\[\S*velmor\S*\.so\]$", listing, re.M))
        return total, own


def main():
    args = sys.argv[1:]
    path = ""
    if "--so" in args:
        i = args.index("--so")
        so = pathlib.Path(args[i + 1]).resolve()
        del args[i:i + 2]
        path = tempfile.mkdtemp()
        (pathlib.Path(path) / "velmor.cpython-313-x86_64-linux-gnu.so").symlink_to(so)
    python = args[0] if args else sys.executable
    keys = rsa_key_pair()
    print(f"{'':45} {'per call':>14} {'spread':>17} {'in velmor':>10}")
    for label, calls, setup, call in CASES:
        totals, owns = [], []
        for k in range(PADDINGS):
            base = instructions(python, path, setup, call, 0, 37 * k, keys)
            run = instructions(python, path, setup, call, calls, 37 * k, keys)
            totals.append((run[0] - base[0]) / calls)
            owns.append((run[1] - base[1]) / calls)
        spread = f"{min(totals):,.0f}..{max(totals):,.0f}"
        print(f"{label:45} {sum(totals) / len(totals):14,.0f} {spread:>17} "
              f"{sum(owns) / len(owns):10,.0f}", flush=True)


if __name__ == "__main__":
    main()
