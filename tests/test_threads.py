"""Many threads, and many coroutines under one event loop, calling the library at once.

Two tables drive these tests: WORKLOADS (a round of calls of one family with every result
checked, run by every thread and by the coroutine test's awaitable form) and the readers of
readers.READERS (each thread replays hostile inputs and must get the outcome the main thread
expected). A new family adds a row to WORKLOADS; a new reader is picked up from READERS.
"""
import asyncio
import base64
import hashlib
import os
import threading

import pytest

import velmor.aes
import velmor.password
from readers import READERS, hostile_samples, outcome
from velmor._internal.keys import convert_key
from velmor.aes import core as aes
from velmor.errors import DecryptionError, InvalidInputError
from velmor.password import core as password

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


# name, one checked round of synchronous calls, the same through the coroutine module
WORKLOADS = [
    ("keys", keys_round, None),
    ("aes", aes_round, aes_await),
    ("password", password_round, password_await),
]


@pytest.fixture(scope="module")
def hostile():
    return [(reader, hostile_samples(reader, 20)) for reader in READERS]


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
            for _, round_, _ in WORKLOADS:
                round_(t * ROUNDS + r)

    run_threads(target)


def test_threads_replay_hostile_input_with_the_same_outcome(hostile):
    def target(t):
        for _ in range(3):
            for reader, cases in hostile:
                for args, expected in cases[t % 2::2]:
                    assert outcome(reader.call, *args) == expected, (reader.name, args)

    run_threads(target)


def test_hundreds_of_coroutines_under_one_loop(hostile):
    async def main():
        jobs = [fn(i) for i in range(150) for _, _, fn in WORKLOADS if fn]
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
