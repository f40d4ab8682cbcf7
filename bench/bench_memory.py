"""Peak memory of the AES family on a 64 MiB payload, velmor against the floor.

Each measurement runs in a fresh subprocess: it loads its input, resets the kernel's peak-RSS
mark to the current RSS (/proc/self/clear_refs), reads ru_maxrss as the baseline, makes the one
call and reads ru_maxrss again. The figure is the growth of the peak during the call. The child
is started by a small launcher process, because a new process inherits the peak of the process
image that started it (the benchmark process itself is large).
"""
import os
import pathlib
import subprocess
import sys
import tempfile

from common import QUICK

HERE = pathlib.Path(__file__).resolve().parent
SIZE = (8 if QUICK else 64) << 20
KEY = "A" * 43 + "="  # the Base64 text of a 32-byte key

CHILD = r"""
import gc, resource, sys
sys.path.insert(0, {here!r})
side, op, path = sys.argv[1:4]
key = {key!r}
if side == "velmor":
    from velmor.aes.core import encrypt_bytes, decrypt_bytes, encrypt_str, decrypt_str
else:
    from bench_aes import floor_encrypt_bytes as encrypt_bytes, floor_decrypt_bytes as decrypt_bytes
    from bench_aes import floor_encrypt_str as encrypt_str, floor_decrypt_str as decrypt_str
fn = {{"encrypt_bytes": encrypt_bytes, "decrypt_bytes": decrypt_bytes,
       "encrypt_str": encrypt_str, "decrypt_str": decrypt_str}}[op]
with open(path, "rb") as f:
    arg = f.read()
if op in ("encrypt_str", "decrypt_str"):
    arg = arg.decode("ascii")
gc.collect()
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    reset = 1
except OSError:
    reset = 0
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
result = fn(arg, key)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, after, reset, len(result))
"""

# Starts the measuring child from a process of its own, whose peak is small.
LAUNCHER = r"""
import subprocess, sys
sys.exit(subprocess.run(sys.argv[1:]).returncode)
"""


def measure(side, op, path):
    code = CHILD.format(here=str(HERE), key=KEY)
    out = subprocess.run([sys.executable, "-c", LAUNCHER, sys.executable, "-c", code, side, op, path],
                         check=True, capture_output=True, text=True).stdout.split()
    before, after, reset, _ = map(int, out)
    return (after - before) / 1024, before / 1024, bool(reset)  # MiB (ru_maxrss is in KiB)


def main():
    from velmor.aes import core

    data = os.urandom(SIZE)
    text = "x" * SIZE
    inputs = {
        "encrypt_bytes": data,
        "decrypt_bytes": core.encrypt_bytes(data, KEY),
        "encrypt_str": text.encode("ascii"),
        "decrypt_str": core.encrypt_str(text, KEY).encode("ascii"),
    }
    del data, text
    runs = 1 if QUICK else 3
    print(f"\nPeak memory during one call, {SIZE >> 20} MiB payload (MiB above the baseline; "
          f"min of {runs} fresh processes)")
    print(f"{'operation':24} {'velmor':>9} {'floor':>9} {'ratio':>7}   baseline")
    with tempfile.TemporaryDirectory() as tmp:
        for op, value in inputs.items():
            path = os.path.join(tmp, op)
            with open(path, "wb") as f:
                f.write(value)
            figures = {}
            for side in ("velmor", "floor"):
                results = [measure(side, op, path) for _ in range(runs)]
                figures[side] = min(r[0] for r in results)
                baseline = min(r[1] for r in results)
                if not all(r[2] for r in results):
                    print("  (peak mark could not be reset: figures include the input load)")
            v, f = figures["velmor"], figures["floor"]
            print(f"{op:24} {v:9.1f} {f:9.1f} {v / f:7.3f}   {baseline:.0f} MiB")
            os.unlink(path)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
