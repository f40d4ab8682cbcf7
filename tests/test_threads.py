"""Many threads, and many coroutines under one event loop, calling the library at once.

Two tables drive these tests: WORKLOADS (a round of calls of one family with every result
checked, run by every thread and by the coroutine test's awaitable form) and the readers of
readers.READERS (each thread replays hostile inputs and must get the outcome the main thread
expected). A new family adds a row to WORKLOADS; a new reader is picked up from READERS.

Every RSA private-key operation loads and validates its key text again and holds the GIL while
it does (about 40 ms at 2048 bits, 250 ms at 4096), so the rows that make them run few rounds
and use the 2048-bit pair wherever the format allows; the post-quantum rows run against the
binding double, installed for the whole module.
"""
import asyncio
import base64
import hashlib
import os
import threading
from dataclasses import dataclass
from typing import Callable

import pytest

import rsa_support
import velmor.aes
import velmor.hybrid
import velmor.password
import velmor.quantum
import velmor.rsa
import velmor.sync
from quantum_support import keypair, sig_keypair
from readers import READERS, hostile_samples, outcome
from velmor._internal.keys import convert_key
from velmor.aes import core as aes
from velmor.errors import (DecryptionError, EncryptionError, InvalidInputError,
                           QuantumOperationError, SignatureError)
from velmor.hybrid import core as hybrid
from velmor.password import core as password
from velmor.quantum import core as quantum
from velmor.rsa import core as rsa

pytestmark = pytest.mark.usefixtures("oqs_binding")

THREADS = 32
ROUNDS = 20


def keys_round(i):
    raw = os.urandom(32)
    assert convert_key(base64.b64encode(raw).decode()) == raw
    assert convert_key(base64.b64encode(raw + os.urandom(32)).decode()) == raw
    assert convert_key(f"key {i}") == hashlib.sha256(f"key {i}".encode()).digest()


def aes_round(i):
    key = f"thread key {i}"
    data = os.urandom(1 + i % 300) + i.to_bytes(4, "little")
    blob = aes.encrypt_bytes(data, key)
    assert aes.decrypt_bytes(blob, key) == data
    text = f"message {i} ✓ " * (1 + i % 7)
    assert aes.decrypt_str(aes.encrypt_str(text, key), key) == text
    with pytest.raises(DecryptionError):
        aes.decrypt_bytes(blob, key + "!")
    with pytest.raises(DecryptionError, match="not valid Base64"):
        aes.decrypt_str("not base64!", key)
    with pytest.raises(InvalidInputError):
        aes.encrypt_bytes(b"", key)


def password_round(i):
    pw = f"password {i}"
    record = password.hash_password(pw, 1 + i % 3)
    assert password.verify_password(pw, record) is True
    assert password.verify_password(pw + "x", record) is False
    assert password.verify_password(pw, record[:-2]) is False
    assert password.needs_rehash(record) is True
    with pytest.raises(TypeError):
        password.verify_password(pw, None)


async def aes_await(i):
    key = f"task key {i}"
    data = i.to_bytes(8, "little") + os.urandom(i % 64)
    blob = await velmor.aes.encrypt_bytes(data, key)
    assert await velmor.aes.decrypt_bytes(blob, key) == data
    text = f"task {i} ✓"
    assert await velmor.aes.decrypt(await velmor.aes.encrypt(text, key), key) == text
    with pytest.raises(DecryptionError):
        await velmor.aes.decrypt_bytes(blob, key + "!")


async def password_await(i):
    pw = f"task password {i}"
    record = await velmor.password.hash(pw, 1 + i % 3)
    assert await velmor.password.verify(pw, record) is True
    assert await velmor.password.verify(pw + "x", record) is False
    assert await velmor.password.needs_rehash(record) is True


# Key pairs of the post-quantum rounds: every generation byte, and the signature kinds.
QUANTUM_KINDS = ((8, 0), (8, 1), (8, 2), (6, 0), (6, 2), (4, 2), (2, 1), (5, 0))
SIGNATURE_KINDS = ((1, 0), (1, 1), (1, 2), (2, 0), (2, 1), (2, 2))
NET_MAGIC = (512).to_bytes(4, "little")


def rsa_round(i):
    small, big = rsa_support.rsa_2048(), rsa_support.rsa_4096()
    data = os.urandom(1 + i % 180) + i.to_bytes(4, "little")
    blob = rsa.encrypt_bytes(data, small.public_pem)
    assert len(blob) == 256 and rsa.decrypt_bytes(blob, small.private_pem) == data
    signature = rsa.sign_bytes(data, small.private_pem)
    assert rsa.verify_bytes(data, signature, small.public_pem) is True
    assert rsa.verify_bytes(data + b"!", signature, small.public_pem) is False
    assert rsa.verify_bytes(data, signature, big.public_pem) is False
    text = f"signed {i} ✓"
    text_signature = base64.b64encode(rsa_support.pss_sign(big.private_pem, text.encode()))
    assert rsa.verify_str(text, text_signature.decode(), big.public_pem) is True
    assert rsa.verify_str(text + "!", text_signature.decode(), big.public_pem) is False
    long = os.urandom(447 + i % 100)
    envelope = rsa.encrypt_bytes(long, big.public_pem)
    assert len(envelope) == 544 + len(long) and envelope[:4] == NET_MAGIC
    assert len(rsa.encrypt_bytes(long[:446], big.public_pem)) == 512
    with pytest.raises(InvalidInputError, match="private key PEM"):
        rsa.decrypt_bytes(blob, "not a key")
    with pytest.raises(InvalidInputError, match="private key PEM"):
        rsa.sign_bytes(data, "not a key")
    with pytest.raises(SignatureError, match="RSA signing failed"):
        rsa.sign_bytes(data, rsa_support.ec_pair().private_pem)
    with pytest.raises(InvalidInputError, match="Data cannot be empty"):
        rsa.encrypt_bytes(b"", big.public_pem)
    with pytest.raises(EncryptionError, match="RSA encryption failed"):
        rsa.encrypt_bytes(bytes(200), small.public_pem)
    assert rsa.verify_str("x", "not base64!", "not a key") is False


def hybrid_round(i):
    small, big = rsa_support.rsa_2048(), rsa_support.rsa_4096()
    data = os.urandom(1 + i % 500) + i.to_bytes(4, "little")
    envelope = hybrid.encrypt_bytes(data, big.public_pem)
    assert len(envelope) == 544 + len(data) and envelope[:4] == NET_MAGIC
    if i % 4 == 0:  # a quarter of the rounds open the envelope itself, under RSA-4096
        assert hybrid.decrypt_auto(envelope, big.private_pem) == data
    else:
        legacy = rsa_support.legacy_envelope(small.public_pem, data)
        assert hybrid.decrypt_auto(legacy, small.private_pem) == data
    text = f"hybrid {i} ✓"
    assert base64.b64decode(hybrid.encrypt_str(text, big.public_pem))[:4] == NET_MAGIC
    with pytest.raises(InvalidInputError, match="private key PEM"):
        hybrid.decrypt_auto(envelope, "not a key")
    with pytest.raises(DecryptionError, match="legacy Swift format"):
        hybrid.decrypt_auto(b"HYBR\xff\xff\xff\xff" + bytes(i % 8), small.private_pem)
    with pytest.raises(DecryptionError, match="not valid Base64"):
        hybrid.decrypt_str("!" * (1 + i % 5), small.private_pem)
    with pytest.raises(InvalidInputError, match="Data cannot be empty"):
        hybrid.encrypt_bytes(b"", big.public_pem)


def quantum_round(i):
    public, private = keypair(*QUANTUM_KINDS[i % len(QUANTUM_KINDS)])
    message = f"quantum {i} ✓" * (1 + i % 3)
    secret, encrypted = quantum.encrypt(message, public)
    assert quantum.decrypt(encrypted, private, secret) == message
    with pytest.raises(DecryptionError):
        quantum.decrypt(encrypted[:-1] + bytes([encrypted[-1] ^ 1]), private, secret)
    with pytest.raises(InvalidInputError, match="Encapsulated secret required"):
        quantum.decrypt(encrypted, private, b"")
    public8, private8 = keypair(8, 2)
    secret8, encrypted8 = quantum.encrypt(message, public8)
    assert quantum.decrypt(encrypted8, private8, secret8) == message
    with pytest.raises(InvalidInputError, match="Invalid Gen8 encrypted message"):
        quantum.decrypt(encrypted8[:59], private8, secret8)
    with pytest.raises(InvalidInputError, match="Invalid or empty quantum public key"):
        quantum.encrypt("x", b"\x08\x02")
    with pytest.raises(QuantumOperationError, match="0x0a is not supported"):
        quantum.decrypt(encrypted8, b"\x0a\x00abc", secret8)
    if i % 40 == 0:  # generation 7 loads an RSA-4096 private key
        public7, private7 = keypair(7, 0)
        secret7, encrypted7 = quantum.encrypt(message, public7)
        assert quantum.decrypt(encrypted7, private7, secret7) == message
    sig_public, sig_private = sig_keypair(*SIGNATURE_KINDS[i % len(SIGNATURE_KINDS)])
    data = message.encode()
    signature = quantum.sign(data, sig_private)
    assert quantum.verify(data, signature, sig_public) is True
    assert quantum.verify(data + b"!", signature, sig_public) is False
    assert quantum.verify(data, signature, sig_public[:2]) is False
    with pytest.raises(InvalidInputError, match="Unsupported signature scheme id 7"):
        quantum.sign(data, b"\x07" + sig_private[1:])


def sync_round(i):
    facade = velmor.sync
    small, big = rsa_support.rsa_2048(), rsa_support.rsa_4096()
    key, text = f"sync key {i}", f"sync {i} ✓"
    assert facade.aes.decrypt(facade.aes.encrypt(text, key), key) == text
    assert facade.aes.decrypt_bytes(facade.aes.encrypt_bytes(b"data", key), key) == b"data"
    record = facade.password.hash(f"pw {i}", 1)
    assert facade.password.verify(f"pw {i}", record) is True
    assert facade.password.needs_rehash(record) is True
    data = i.to_bytes(4, "little") * (1 + i % 30)
    block = facade.rsa.encrypt_bytes(data, small.public_pem)
    if i % 4 == 0:
        assert facade.rsa.decrypt_bytes(block, small.private_pem) == data
    elif i % 4 == 2:
        legacy = rsa_support.legacy_envelope(small.public_pem, data)
        assert facade.hybrid.decrypt_bytes(legacy, small.private_pem) == data
    envelope = facade.hybrid.encrypt_bytes(data, big.public_pem)
    assert len(envelope) == 544 + len(data)
    signature = rsa_support.pss_sign(small.private_pem, data)
    assert facade.rsa.verify_bytes(data, signature, small.public_pem) is True
    assert facade.rsa.verify("x", "!!", "not a key") is False
    with pytest.raises(InvalidInputError):
        facade.hybrid.decrypt_bytes(envelope, "not a key")
    public, private = keypair(6, 0)
    secret, encrypted = facade.quantum.encrypt(text, public)
    assert facade.quantum.decrypt(encrypted, private, secret) == text
    sig_public, sig_private = sig_keypair(1, i % 3)
    assert facade.quantum.verify(data, facade.quantum.sign(data, sig_private), sig_public)


async def rsa_await(i):
    small = rsa_support.rsa_2048()
    data = i.to_bytes(8, "little")
    blob = await velmor.rsa.encrypt_bytes(data, small.public_pem)
    assert await velmor.rsa.decrypt_bytes(blob, small.private_pem) == data
    signature = await velmor.rsa.sign_bytes(data, small.private_pem)
    assert await velmor.rsa.verify_bytes(data, signature, small.public_pem) is True
    assert await velmor.rsa.verify("x", "!!", small.public_pem) is False
    with pytest.raises(InvalidInputError):
        await velmor.rsa.decrypt(base64.b64encode(blob).decode(), "not a key")


async def hybrid_await(i):
    small, big = rsa_support.rsa_2048(), rsa_support.rsa_4096()
    data = os.urandom(500) + i.to_bytes(4, "little")
    envelope = await velmor.hybrid.encrypt_bytes(data, big.public_pem)
    assert len(envelope) == 544 + len(data)
    legacy = rsa_support.legacy_envelope(small.public_pem, data)
    assert await velmor.hybrid.decrypt_bytes(legacy, small.private_pem) == data
    with pytest.raises(DecryptionError, match="not valid Base64"):
        await velmor.hybrid.decrypt("!", small.private_pem)


async def quantum_await(i):
    public, private = keypair(*QUANTUM_KINDS[i % len(QUANTUM_KINDS)])
    secret, encrypted = await velmor.quantum.encrypt(f"task {i}", public)
    assert await velmor.quantum.decrypt(encrypted, private, secret) == f"task {i}"
    sig_public, sig_private = sig_keypair(1, i % 3)
    signature = await velmor.quantum.sign(b"task", sig_private)
    assert await velmor.quantum.verify(b"task", signature, sig_public) is True


@dataclass(frozen=True)
class Workload:
    name: str
    round: Callable[[int], None]           # one checked round of synchronous calls
    awaitable: Callable | None = None      # the same through the coroutine module
    rounds: int = ROUNDS                   # rounds each thread runs
    tasks: int = 150                       # coroutines of it under one event loop


WORKLOADS = [
    Workload("keys", keys_round),
    Workload("aes", aes_round, aes_await),
    Workload("password", password_round, password_await),
    # Two private-key operations a round (2048-bit): 32 threads x 2 rounds.
    Workload("rsa", rsa_round, rsa_await, rounds=2, tasks=6),
    Workload("hybrid", hybrid_round, hybrid_await, rounds=2, tasks=6),
    Workload("quantum", quantum_round, quantum_await, rounds=5, tasks=100),
    Workload("sync", sync_round, rounds=2),
]
# Slow readers (an RSA private key load a call): a few inputs, replayed by a few threads.
SLOW_SAMPLES = 4
SLOW_THREADS = 8


@pytest.fixture(scope="module", autouse=True)
def keys(oqs_binding):
    # Made before the threads start: the caches are not meant to be filled concurrently.
    small, big = rsa_support.rsa_2048(), rsa_support.rsa_4096()
    for pair in (small, big):
        rsa_support.private_key_of(pair.private_pem)
    rsa_support.ec_pair()
    for kind in QUANTUM_KINDS + ((7, 0),):
        keypair(*kind)
    for kind in SIGNATURE_KINDS:
        sig_keypair(*kind)


@pytest.fixture(scope="module")
def hostile(keys):
    return [(reader, hostile_samples(reader, SLOW_SAMPLES if reader.slow else 20))
            for reader in READERS]


def run_threads(target):
    barrier = threading.Barrier(THREADS)
    failures = []

    def body(t):
        try:
            barrier.wait()
            target(t)
        except BaseException as e:  # noqa: BLE001 - reported below with its thread
            failures.append((t, e))

    threads = [threading.Thread(target=body, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not failures, failures[:3]


def test_threads_run_every_workload_at_once():
    def target(t):
        for r in range(ROUNDS):
            for w in WORKLOADS:
                if r < w.rounds:
                    w.round(t * w.rounds + r)

    run_threads(target)


def test_threads_replay_hostile_input_with_the_same_outcome(hostile):
    def target(t):
        for round_ in range(3):
            for reader, cases in hostile:
                if reader.slow:
                    if round_ == 0 and t < SLOW_THREADS:
                        args, expected = cases[t % len(cases)]
                        assert outcome(reader.call, *args) == expected, (reader.name, args)
                    continue
                for args, expected in cases[t % 2::2]:
                    assert outcome(reader.call, *args) == expected, (reader.name, args)

    run_threads(target)


def test_hundreds_of_coroutines_under_one_loop(hostile):
    async def main():
        jobs = [w.awaitable(i) for w in WORKLOADS if w.awaitable for i in range(w.tasks)]
        for reader, cases in hostile:
            if reader.coroutine is None:
                continue
            for args, expected in cases:
                jobs.append(awaited_outcome(reader, args, expected))
        results = await asyncio.gather(*jobs, return_exceptions=True)
        failed = [r for r in results if r is not None]
        assert not failed, failed[:3]
        return len(jobs)

    async def awaited_outcome(reader, args, expected):
        try:
            got = ("value", await reader.coroutine(*args))
        except Exception as e:  # noqa: BLE001
            got = ("raise", type(e), str(e))
        assert got == expected, (reader.name, args)

    assert asyncio.run(main()) >= 300
