"""Repeated calls keep memory and reference counts flat, on success and error paths alike.

Each row of OPERATIONS is one public operation on one path. Its test warms it up with N calls,
then measures a second batch of N calls:

- objects tracked by the garbage collector may grow by at most OBJECTS_SLACK;
- memory traced by tracemalloc by at most TRACED_SLACK bytes, i.e. under 2 bytes a call, while
  every leaked Python object costs 16 bytes or more: one leaked object in every eighth call
  already fails;
- the resident size (/proc/self/statm) by at most RSS_SLACK, for leaks outside Python's
  allocator (about 100 bytes a call at N = 10000; page-granular, so no finer); not under
  AddressSanitizer, whose quarantine of freed memory grows it anyway;
- sys.gettotalrefcount(), where the interpreter has it (debug builds), by at most
  REFS_SLACK; a reference leaked on every call grows it by N;
- the reference count of every argument and of every object the modules hold, exactly: one
  reference leaked on any call shows.

Caches that fill once (a free list, a codec lookup) can grow a batch once. A leak grows every
batch, so a batch over the limit is measured again, up to BATCHES times, and only a growth
in every batch fails.
"""
import asyncio
import base64
import gc
import os
import sys
import tracemalloc

import pytest

import velmor.aes
import velmor.password
from readers import READERS, hostile_samples
from velmor._internal import keys
from velmor.aes import core as aes
from velmor.password import core as password

N = 10_000
N_AWAIT = 2_000
OBJECTS_SLACK = 50
TRACED_SLACK = 16 * 1024
RSS_SLACK = 1024 * 1024
REFS_SLACK = 200
BATCHES = 3

pytestmark = pytest.mark.leak

KEY = "a key text"
DATA = b"some data to seal" * 4
BLOB = aes.encrypt_bytes(DATA, KEY)
TEXT = "some text ✓"
TEXT_B64 = aes.encrypt_str(TEXT, KEY)
NOT_UTF8_B64 = base64.b64encode(aes.encrypt_bytes(b"\xff\xfe", KEY)).decode()
RECORD = password.hash_password("pw", 1)
RECORD_SHA256 = RECORD.replace("SHA512", "sha256")
B64_32 = base64.b64encode(bytes(range(32))).decode()
B64_64 = base64.b64encode(bytes(range(64))).decode()


def expect(fn, *args, raises):
    def call():
        try:
            fn(*args)
        except raises:
            return
        raise AssertionError(f"{fn.__name__} did not raise {raises}")
    call.args = args
    return call


def value(fn, *args, equals=None):
    def call():
        got = fn(*args)
        if equals is not None and got != equals:
            raise AssertionError((fn.__name__, got))
    call.args = args
    return call


def awaited(fn, *args, raises=()):
    """N_AWAIT awaits of fn(*args) under one event loop, gathered a hundred at a time."""
    async def batch():
        for _ in range(N_AWAIT // 100):
            results = await asyncio.gather(*(fn(*args) for _ in range(100)),
                                           return_exceptions=bool(raises))
            for r in results:
                if isinstance(r, BaseException) and not isinstance(r, raises):
                    raise r
    loop = asyncio.new_event_loop()
    def call():
        loop.run_until_complete(batch())
    call.args = args
    call.calls = 1
    call.loop = loop
    return call


def replay(reader):
    cases = hostile_samples(reader, 20)
    state = {"i": 0}
    def call():
        args, _ = cases[state["i"] % len(cases)]
        state["i"] += 1
        try:
            reader.call(*args)
        except reader.raises:
            pass
    call.args = tuple(a for args, _ in cases for a in args)
    return call


OPERATIONS = [
    ("convert_key passphrase", value(keys.convert_key, KEY)),
    ("convert_key base64 32", value(keys.convert_key, B64_32)),
    ("convert_key base64 64", value(keys.convert_key, B64_64)),
    ("convert_key base64 other", value(keys.convert_key, "abcdefgh")),
    ("convert_key surrogate", expect(keys.convert_key, "\ud800abc", raises=UnicodeEncodeError)),
    ("convert_key None", expect(keys.convert_key, None, raises=TypeError)),
    ("encrypt_bytes", value(aes.encrypt_bytes, DATA, KEY)),
    ("encrypt_bytes empty", expect(aes.encrypt_bytes, b"", KEY, raises=velmor.InvalidInputError)),
    ("encrypt_bytes not bytes", expect(aes.encrypt_bytes, 12345, KEY, raises=velmor.EncryptionError)),
    ("decrypt_bytes", value(aes.decrypt_bytes, BLOB, KEY, equals=DATA)),
    ("decrypt_bytes wrong key", expect(aes.decrypt_bytes, BLOB, "other", raises=velmor.DecryptionError)),
    ("decrypt_bytes short", expect(aes.decrypt_bytes, BLOB[:28], KEY, raises=velmor.DecryptionError)),
    ("decrypt_bytes not bytes", expect(aes.decrypt_bytes, list(BLOB), KEY, raises=TypeError)),
    ("encrypt_str", value(aes.encrypt_str, TEXT, KEY)),
    ("encrypt_str empty", expect(aes.encrypt_str, "", KEY, raises=velmor.InvalidInputError)),
    ("decrypt_str", value(aes.decrypt_str, TEXT_B64, KEY, equals=TEXT)),
    ("decrypt_str bad base64", expect(aes.decrypt_str, TEXT_B64 + "\n", KEY, raises=velmor.DecryptionError)),
    ("decrypt_str bad utf-8", expect(aes.decrypt_str, NOT_UTF8_B64, KEY, raises=velmor.DecryptionError)),
    ("hash_password", value(password.hash_password, "pw", 1)),
    ("hash_password empty", expect(password.hash_password, "", raises=velmor.InvalidInputError)),
    ("hash_password bad count", expect(password.hash_password, "pw", 0, raises=ValueError)),
    ("verify_password true", value(password.verify_password, "pw", RECORD, equals=True)),
    ("verify_password sha256", value(password.verify_password, "pw", RECORD_SHA256, equals=False)),
    ("verify_password wrong", value(password.verify_password, "px", RECORD, equals=False)),
    ("verify_password not json", value(password.verify_password, "pw", RECORD[:-1], equals=False)),
    ("verify_password None", expect(password.verify_password, "pw", None, raises=TypeError)),
    ("needs_rehash", value(password.needs_rehash, RECORD, equals=True)),
    ("needs_rehash None", expect(password.needs_rehash, None, raises=TypeError)),
    ("await aes.encrypt", awaited(velmor.aes.encrypt, TEXT, KEY)),
    ("await aes.decrypt", awaited(velmor.aes.decrypt, TEXT_B64, KEY)),
    ("await aes.decrypt_bytes wrong key", awaited(velmor.aes.decrypt_bytes, BLOB, "other",
                                                  raises=velmor.DecryptionError)),
    ("await password.verify", awaited(velmor.password.verify, "pw", RECORD)),
    ("await password.hash empty", awaited(velmor.password.hash, "", raises=velmor.InvalidInputError)),
] + [(f"hostile {r.name}", replay(r)) for r in READERS]


def held_objects():
    """Objects the modules hold (classes, functions, modules, constants) that are not immortal."""
    mods = [keys, aes, password, velmor.aes, velmor.password, velmor.errors]
    seen = {}
    for m in mods:
        for v in vars(m).values():
            if sys.getrefcount(v) < 1 << 30:
                seen[id(v)] = v
    return list(seen.values())


def _sanitized():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


# AddressSanitizer keeps freed memory in quarantine, so the resident size grows under it
# whatever the code does; there the Python-level measures stand alone.
SANITIZED = _sanitized()


def rss():
    if SANITIZED:
        return 0
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def totalrefs():
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0


def measure(op, calls):
    watched = list(op.args) + held_objects()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    before = (len(gc.get_objects()), tracemalloc.get_traced_memory()[0], rss(), totalrefs())
    for _ in range(calls):
        op()
    gc.collect()
    after = (len(gc.get_objects()), tracemalloc.get_traced_memory()[0], rss(), totalrefs())
    growth = dict(zip(("objects", "traced", "rss", "refs"), (b - a for a, b in zip(before, after))))
    refs_after = [sys.getrefcount(o) for o in watched]
    growth["held refs"] = [(type(o).__name__, b - a) for o, a, b in zip(watched, refs, refs_after)
                           if b != a]
    return growth


def within(g):
    return (g["objects"] <= OBJECTS_SLACK and g["traced"] <= TRACED_SLACK and g["rss"] <= RSS_SLACK
            and g["refs"] <= REFS_SLACK and not g["held refs"])


@pytest.fixture(scope="module", autouse=True)
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.parametrize("op", [op for _, op in OPERATIONS], ids=[name for name, _ in OPERATIONS])
def test_repeated_calls_stay_flat(op):
    calls = getattr(op, "calls", N)
    for _ in range(calls):  # warm-up: caches and free lists fill here
        op()
    batches = []
    for _ in range(BATCHES):
        batches.append(measure(op, calls))
        if within(batches[-1]):
            break
    else:
        pytest.fail(f"grows in every batch: {batches}")
    if hasattr(op, "loop"):
        op.loop.close()


def test_the_measure_sees_a_leak():
    # The measure itself must fail a real leak of one small object a call.
    kept = []
    leaky = value(lambda: kept.append(b"x" * 8))
    for _ in range(100):
        leaky()
    assert not within(measure(leaky, N))
    held = bytearray(b"held")
    grip = []
    leaky_ref = value(lambda x: grip.append(x) if len(grip) < 1 else None, held)
    assert measure(leaky_ref, 10)["held refs"]
