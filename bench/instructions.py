"""Instructions per call under callgrind, which counts the same on every run where wall-clock
time does not: each operation runs once with `calls` calls and once with none, and the
difference over `calls` is its cost. A collection before the calls starts them from the same
state of the host's garbage collector whatever the import left behind, and many calls spread
what is left of its schedule.

    PYTHONHASHSEED=0 python bench/instructions.py [python] [--so velmor.so]

`--so` measures another build of the extension (copied beside this script's imports first).
"""
import os
import pathlib
import re
import subprocess
import sys
import tempfile

# (label, calls, setup, call): both runs execute the setup, only one the calls
CASES = [
    ("aes.core.encrypt_str 64 B", 20000, "text = 'x' * 64", "encrypt_str(text, KEY)"),
    ("aes.core.decrypt_str 64 B", 20000, "blob = encrypt_str('x' * 64, KEY)",
     "decrypt_str(blob, KEY)"),
    ("aes.core.encrypt_str 1 MiB", 100, "text = 'x' * (1 << 20)", "encrypt_str(text, KEY)"),
    ("aes.core.decrypt_str 1 MiB", 100, "blob = encrypt_str('x' * (1 << 20), KEY)",
     "decrypt_str(blob, KEY)"),
    ("password.core.needs_rehash default record", 20000,
     "record = RECORD", "needs_rehash(record)"),
]

PROLOGUE = """
import gc
import sys
sys.path.insert(0, {path!r}) if {path!r} else None
from velmor.aes.core import encrypt_str, decrypt_str
from velmor.password.core import needs_rehash
KEY = 'MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWY='  # Base64 of 32 bytes
RECORD = ('{{"algorithm":"pbkdf2","createdUtc":"2025-01-01T00:00:00Z","hash":"' + 'A' * 88 +
          '","parameters":{{"hashAlgorithm":"SHA512","iterations":210000,"outputLength":64,'
          '"saltLength":32}},"salt":"' + 'A' * 44 + '","version":2}}')
{setup}
gc.collect()
for _ in range({calls}):
    {call}
"""


def instructions(python, path, setup, call, calls):
    with tempfile.TemporaryDirectory() as tmp:
        script = pathlib.Path(tmp, "case.py")
        script.write_text(PROLOGUE.format(path=path, setup=setup, call=call, calls=calls))
        out = pathlib.Path(tmp, "callgrind.out")
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", python,
                        str(script)], env=env, check=True, capture_output=True)
        return int(re.search(r"^summary: (\d+)", out.read_text(), re.M).group(1))


def main():
    args = sys.argv[1:]
    path = ""
    if "--so" in args:
        i = args.index("--so")
        so = pathlib.Path(args[i + 1]).resolve()
        del args[i:i + 2]
        path = tempfile.mkdtemp()
        (pathlib.Path(path) / so.name).symlink_to(so)
    python = args[0] if args else sys.executable
    for label, calls, setup, call in CASES:
        base = instructions(python, path, setup, call, 0)
        total = instructions(python, path, setup, call, calls)
        print(f"{label:45} {(total - base) / calls:14,.0f}", flush=True)


if __name__ == "__main__":
    main()
