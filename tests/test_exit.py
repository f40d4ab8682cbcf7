"""Programs that end while daemon threads are inside the library's calls. CPython 3.13 ends such a
thread with pthread_exit when it wants the GIL back after finalization began, and the thread
unwinds through whatever native frames it is in: the process must still exit normally, on the
error paths of each family as on its success paths."""
import os
import subprocess
import sys
import textwrap

import pytest

import rsa_support

TESTS = os.path.dirname(os.path.abspath(__file__))

PROGRAM = """
import os, sys, threading, time
sys.path.insert(0, {tests!r})
import velmor
from velmor.errors import VelMorError
sys.setswitchinterval({switch_interval})
{setup}
def work():
{work}
def worker():
    while True:
        try:
            work()
        except VelMorError:
            pass
for _ in range(4):
    threading.Thread(target=worker, daemon=True).start()
time.sleep(0.4)
"""

FAMILIES = {
    "aes": ("from velmor.aes import core",
            """
            blob = core.encrypt_str("x" * 1000, "k")
            core.decrypt_str(blob, "k")
            core.decrypt_str(blob, "another key")
            """),
    "rsa": ("from velmor.rsa import core\nPRIVATE, PUBLIC = os.environ['PRIVATE'], os.environ['PUBLIC']",
            """
            core.verify_str("x", core.sign_str("x", PRIVATE), PUBLIC)
            core.decrypt_bytes(core.encrypt_bytes(b"y" * 100, PUBLIC), PRIVATE)
            core.encrypt_str("x", "not a key")
            """),
    "hybrid": ("from velmor.hybrid import core\nPRIVATE, PUBLIC = os.environ['PRIVATE'], os.environ['PUBLIC']",
               """
               blob = core.encrypt_bytes(b"z" * 5000, PUBLIC)
               core.decrypt_auto(blob, PRIVATE)
               core.decrypt_auto(blob[:-1] + bytes([blob[-1] ^ 1]), PRIVATE)
               """),
    "password": ("from velmor.password import core",
                 """
                 record = core.hash_password("pw", 1000)
                 core.verify_password("pw", record)
                 core.needs_rehash(record)
                 core.verify_password("pw", "{not json")
                 """),
    "quantum": ("import oqs_double\nsys.modules['oqs'] = oqs_double\nfrom velmor.quantum import core\n"
                "PK, SK = core.generate_keypair()\nSPK, SSK = core.generate_signature_keypair()",
                """
                capsule, message = core.encrypt("hello", PK)
                core.decrypt(message, SK, capsule)
                core.verify(b"data", core.sign(b"data", SSK), SPK)
                core.decrypt(message[:-1] + bytes([message[-1] ^ 1]), SK, capsule)
                """),
    "coroutines": ("import asyncio",
                   """
                   async def main():
                       blob = await velmor.aes.encrypt("x", "k")
                       await velmor.aes.decrypt(blob, "k")
                       await velmor.password.needs_rehash("{}")
                   asyncio.run(main())
                   """),
}


# With a short switch interval the threads hand the GIL over at many more points, and the host
# ends them there: inside the library's error handlers, among others. Only the AES family runs so:
# the others call cryptography code that runs bytecode or releases the GIL from its Rust frames,
# and a thread ended inside those aborts the process in cryptography, with or without velmor.
@pytest.mark.parametrize("family, switch_interval", [
    *[(family, 0.005) for family in FAMILIES],
    ("aes", 1e-5),
])
def test_program_exits_with_daemon_threads_inside_calls(family, switch_interval, rsa_keys):
    setup, work = FAMILIES[family]
    program = PROGRAM.format(tests=TESTS, setup=setup, switch_interval=switch_interval,
                             work=textwrap.indent(textwrap.dedent(work).strip(), "    "))
    env = dict(os.environ, PRIVATE=rsa_keys.private_pem, PUBLIC=rsa_keys.public_pem)
    for _ in range(3 if switch_interval == 0.005 else 10):
        out = subprocess.run([sys.executable, "-c", program], env=env, capture_output=True,
                             text=True, timeout=120)
        assert out.returncode == 0, out.stderr[-2000:]
