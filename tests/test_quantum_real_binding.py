"""Every generation at every strength and both signature schemes on the real liboqs binding, and
the same table on the binding double, so that the double is shown to have the sizes and the
behaviour of liboqs wherever both are asked the same thing.

The real binding is used when `oqs` imports and loads its native library. Where it does not, its
half of the table is skipped with the reason, unless OQS_INSTALL_PATH names a liboqs to test
(as `make test LIBOQS_SOURCE=...` does): then a binding that fails to load is a failure.
"""

import asyncio
import re
import struct
from concurrent.futures import ThreadPoolExecutor

import pytest

import oqs_double
import velmor.quantum
from quantum_support import binding_for, flip
from velmor.errors import DecryptionError, InvalidInputError, QuantumOperationError
from velmor.quantum import core

# The sizes liboqs 0.16 gives each mechanism, measured on it: public key, secret key, ciphertext,
# shared secret; public key, secret key, signature.
KEM_SIZES = {
    "FrodoKEM-640-AES": (9616, 19888, 9752, 16),
    "FrodoKEM-976-AES": (15632, 31296, 15792, 24),
    "FrodoKEM-1344-AES": (21520, 43088, 21696, 32),
    "Classic-McEliece-6688128": (1044992, 13932, 208, 32),
    "Classic-McEliece-6960119": (1047319, 13948, 194, 32),
    "Classic-McEliece-8192128": (1357824, 14120, 208, 32),
    "ML-KEM-512": (800, 1632, 768, 32),
    "ML-KEM-768": (1184, 2400, 1088, 32),
    "ML-KEM-1024": (1568, 3168, 1568, 32),
}
SIG_SIZES = {
    "ML-DSA-44": (1312, 2560, 2420),
    "ML-DSA-65": (1952, 4032, 3309),
    "ML-DSA-87": (2592, 4896, 4627),
    "SLH_DSA_PURE_SHA2_128F": (32, 64, 17088),
    "SLH_DSA_PURE_SHA2_192F": (48, 96, 35664),
    "SLH_DSA_PURE_SHA2_256F": (64, 128, 49856),
}
SLH_NAMES = {"SLH-DSA-SHA2-128f": "SLH_DSA_PURE_SHA2_128F", "SLH-DSA-SHA2-192f": "SLH_DSA_PURE_SHA2_192F",
             "SLH-DSA-SHA2-256f": "SLH_DSA_PURE_SHA2_256F"}

KINDS = [(8, 0), (8, 1), (8, 2), (7, 0), (7, 1), (7, 2), (6, 0), (6, 1), (6, 2), (4, 2),
         (5, 0), (5, 1), (5, 2), (2, 0), (2, 1), (2, 2)]
SIG_KINDS = [(1, 0), (1, 1), (1, 2), (2, 0), (2, 1), (2, 2)]
kinds = pytest.mark.parametrize("gen, strength", KINDS, ids=[f"gen{g}-{s}" for g, s in KINDS])
sig_kinds = pytest.mark.parametrize("scheme, strength", SIG_KINDS,
                                    ids=[f"{'mldsa' if a == 1 else 'slhdsa'}-{s}" for a, s in SIG_KINDS])

TEXT = "Grüße, 世界 ✓ 🔐"
MEBIBYTE = "é" * (1 << 19)  # 1 MiB of UTF-8
GCM_FAIL = "Quantum AES-GCM decryption failed (wrong key or tampered data)"
# The shortest message each generation reads: what it adds to the AES-GCM ciphertext, or to the
# AES-CBC ciphertext, which is the data padded to the next multiple of 16 bytes.
MINIMUM = {2: 48, 4: 28, 5: 80, 6: 44, 7: 60, 8: 60}


@pytest.fixture(scope="module", params=["double", "liboqs"])
def binding(request):
    """sys.modules['oqs'] for the module's tests: the double, then the real binding."""
    with pytest.MonkeyPatch.context() as mp:
        yield binding_for(request.param, mp)


_pairs = {}


def pair(binding, gen, strength, tag=0):
    """A key pair per binding and kind, made once a session (a different tag: another pair)."""
    key = (binding.__name__, gen, strength, tag)
    if key not in _pairs:
        _pairs[key] = core.generate_keypair(gen, strength)
    return _pairs[key]


def sig_pair(binding, scheme, strength, tag=0):
    key = (binding.__name__, "sig", scheme, strength, tag)
    if key not in _pairs:
        _pairs[key] = core.generate_signature_keypair(scheme, strength)
    return _pairs[key]


def mechanism(gen, strength):
    if gen == 8:
        return core._oqs.mlkem_alg(strength)
    if gen in (2, 5):
        return core._oqs.cmce_alg(strength)
    return core._oqs.frodo_alg(2 if gen == 4 else strength)


def kem_offset(key):
    """Where the KEM part of a quantum key starts: after the X25519 key, after the RSA key."""
    if key[0] == 8:
        return 34
    if key[0] == 7:
        return 6 + struct.unpack("<I", key[2:6])[0]
    return 2


def other_private_key(binding, gen, strength):
    """A private key of the same mechanism that is not the pair's own. Classic McEliece keys of
    generations 2 and 5 are the same kind of key, so each borrows the other's; generation 4 the
    FrodoKEM-1344 key of generation 6; generation 7 keeps its RSA key and takes generation 6's
    FrodoKEM key, so that the RSA part opens and the FrodoKEM part is wrong."""
    header = bytes([gen, strength])
    if gen in (2, 5):
        return header + pair(binding, 7 - gen, strength)[1][2:]
    if gen == 4:
        return header + pair(binding, 6, 2)[1][2:]
    if gen == 7:
        own = pair(binding, 7, strength)[1]
        return own[:kem_offset(own)] + pair(binding, 6, strength)[1][2:]
    return pair(binding, gen, strength, tag=1)[1]


def failure(gen):
    return f"Gen{gen} HMAC verification failed" if gen in (2, 5) else GCM_FAIL


def message_size(gen, n):
    return MINIMUM[gen] + ((n // 16 + 1) * 16 if gen in (2, 5) else n)


def outcome(function, *args):
    try:
        return function(*args)
    except Exception as e:  # noqa: BLE001 - the point is to see every kind
        return type(e), str(e)


def test_the_double_has_the_sizes_of_liboqs():
    assert oqs_double.KEM_SIZES == KEM_SIZES
    assert {SLH_NAMES.get(name, name): sizes for name, sizes in oqs_double.SIG_SIZES.items()} == SIG_SIZES


# --- encryption ------------------------------------------------------------------------------


@kinds
def test_round_trip_with_a_fresh_capsule_and_message_each_call(binding, gen, strength):
    pk, sk = pair(binding, gen, strength)
    for text in (TEXT, MEBIBYTE):
        first, second = core.encrypt(text, pk), core.encrypt(text, pk)
        assert first[0] != second[0] and first[1] != second[1]
        for capsule, message in (first, second):
            assert core.decrypt(message, sk, capsule) == text


@kinds
def test_keys_capsules_and_messages_have_the_documented_sizes(binding, gen, strength):
    pk_len, sk_len, ct_len, _ = KEM_SIZES[mechanism(gen, strength)]
    pk, sk = pair(binding, gen, strength)
    assert pk[:2] == sk[:2] == bytes([gen, strength])
    assert (len(pk) - kem_offset(pk), len(sk) - kem_offset(sk)) == (pk_len, sk_len)
    assert kem_offset(pk) == {8: 34, 7: 6 + 526}.get(gen, 2)
    for n in (0, 15, 16, len(TEXT.encode())):
        capsule, message = core.encrypt("z" * n, pk)
        assert len(message) == message_size(gen, n)
        if gen == 8:
            assert capsule[:4] == struct.pack("<I", ct_len) and len(capsule) == 4 + ct_len + 32
        elif gen == 7:
            assert capsule[:4] == struct.pack("<I", 512) and len(capsule) == 4 + 512 + ct_len
        else:
            assert len(capsule) == ct_len


@kinds
def test_tampered_message_and_wrong_private_key(binding, gen, strength):
    pk, sk = pair(binding, gen, strength)
    capsule, message = core.encrypt(TEXT, pk)
    for offset in (0, len(message) // 2, len(message) - 1):
        with pytest.raises(DecryptionError, match=f"^{re.escape(failure(gen))}$"):
            core.decrypt(flip(message, offset), sk, capsule)
    with pytest.raises(DecryptionError, match=f"^{re.escape(failure(gen))}$"):
        core.decrypt(message, other_private_key(binding, gen, strength), capsule)


def _field(data, offset, value):
    return data[:offset] + struct.pack("<I", value) + data[offset + 4:]


def hostile_cases(gen, strength, pk, sk, capsule, message):
    """(what, function, arguments, expected): expected is the plaintext, or the exception type
    and a pattern its message must match."""
    invalid = InvalidInputError
    decap_fails = (QuantumOperationError, rf"^KEM decapsulation failed \({re.escape(mechanism(gen, strength))}\): ")
    fails = (DecryptionError, f"^{re.escape(failure(gen))}$")
    # The binding pads a short KEM ciphertext with zero bytes: cutting off a zero byte changes nothing.
    short_capsule = TEXT if capsule[-1] == 0 else fails
    cut = kem_offset(pk)
    kem_at = {8: 4, 7: 4 + 512}.get(gen, 0)  # where the KEM ciphertext starts in the capsule
    cases = [
        ("public key one byte short", core.encrypt, (TEXT, pk[:-1]), (invalid, f"^Invalid Gen{gen} public key$")),
        ("public key one byte long", core.encrypt, (TEXT, pk + b"\x01"), (invalid, f"^Invalid Gen{gen} public key$")),
        ("public key of half the length", core.encrypt, (TEXT, pk[:cut + (len(pk) - cut) // 2]),
         (invalid, f"^Invalid Gen{gen} public key$")),
        ("private key one byte short", core.decrypt, (message, sk[:-1], capsule),
         (invalid, f"^Invalid Gen{gen} private key$")),
        ("private key one byte long", core.decrypt, (message, sk + b"\x01", capsule),
         (invalid, f"^Invalid Gen{gen} private key$")),
        ("capsule with a bit flipped", core.decrypt, (message, sk, flip(capsule, kem_at + 3)), fails),
        ("message with a bit flipped", core.decrypt, (flip(message, len(message) - 20), sk, capsule), fails),
        ("message one byte short", core.decrypt, (message[:-1], sk, capsule), fails),
        ("message one byte long", core.decrypt, (message + b"\x00", sk, capsule), fails),
        ("message below the minimum", core.decrypt, (message[:MINIMUM[gen] - 1], sk, capsule),
         (invalid, f"^Invalid Gen{gen} encrypted message$")),
        ("empty capsule", core.decrypt, (message, sk, b""),
         (invalid, "^Encapsulated secret required for quantum decryption$")),
    ]
    if gen == 8:
        secret = (invalid, "^Invalid Gen8 encapsulated secret$")
        cases += [
            ("public key without its ML-KEM part", core.encrypt, (TEXT, pk[:34]), (invalid, "^Invalid Gen8 public key$")),
            ("capsule one byte short", core.decrypt, (message, sk, capsule[:-1]), secret),
            ("capsule one byte long", core.decrypt, (message, sk, capsule + b"\x00"), TEXT),
            ("capsule length field 0", core.decrypt, (message, sk, _field(capsule, 0, 0)), secret),
            ("capsule length field at the maximum", core.decrypt, (message, sk, _field(capsule, 0, 2**32 - 1)), secret),
            ("capsule length field one past the end", core.decrypt,
             (message, sk, _field(capsule, 0, len(capsule) - 36 + 1)), secret),
        ]
    elif gen == 7:
        rsa_fails = (DecryptionError, "^Gen7 RSA decryption failed$")
        truncated = (invalid, r"^Invalid Gen7 public key \(truncated\)$")
        raw_left = len(pk) - 6
        cases += [
            ("public key without its FrodoKEM part", core.encrypt, (TEXT, pk[:cut]), truncated),
            ("capsule one byte short", core.decrypt, (message, sk, capsule[:-1]), short_capsule),
            ("capsule one byte long", core.decrypt, (message, sk, capsule + b"\x00"), decap_fails),
            ("capsule length field 0", core.decrypt, (message, sk, _field(capsule, 0, 0)), rsa_fails),
            ("capsule length field at the maximum", core.decrypt, (message, sk, _field(capsule, 0, 2**32 - 1)),
             rsa_fails),
            ("capsule length field one past the end", core.decrypt,
             (message, sk, _field(capsule, 0, len(capsule) - 4 + 1)), rsa_fails),
            ("public key length field 0", core.encrypt, (TEXT, _field(pk, 2, 0)),
             (invalid, "^Invalid Gen7 RSA public key: ")),
            ("public key length field at the maximum", core.encrypt, (TEXT, _field(pk, 2, 2**32 - 1)), truncated),
            ("public key length field one past the end", core.encrypt, (TEXT, _field(pk, 2, raw_left + 1)),
             truncated),
            ("private key length field 0", core.decrypt, (message, _field(sk, 2, 0), capsule),
             (invalid, "^Invalid Gen7 RSA private key: ")),
            ("private key length field at the maximum", core.decrypt, (message, _field(sk, 2, 2**32 - 1), capsule),
             (invalid, "^Invalid Gen7 RSA private key: ")),
        ]
    else:
        cases += [
            ("public key without its KEM part", core.encrypt, (TEXT, pk[:2] + b"\x01"),
             (invalid, f"^Invalid Gen{gen} public key$")),
            ("private key without its KEM part", core.decrypt, (message, sk[:2] + b"\x01", capsule),
             (invalid, f"^Invalid Gen{gen} private key$")),
            ("capsule one byte short", core.decrypt, (message, sk, capsule[:-1]), short_capsule),
            ("capsule one byte long", core.decrypt, (message, sk, capsule + b"\x00"), decap_fails),
        ]
    return cases


@kinds
def test_hostile_keys_capsules_and_messages_give_the_specified_errors(binding, gen, strength):
    pk, sk = pair(binding, gen, strength)
    capsule, message = core.encrypt(TEXT, pk)
    for what, function, args, expected in hostile_cases(gen, strength, pk, sk, capsule, message):
        got = outcome(function, *args)
        if isinstance(expected, str):
            assert got == expected, what
        else:
            assert got[0] is expected[0] and re.search(expected[1], got[1]), (what, got)


# --- signatures ------------------------------------------------------------------------------


@sig_kinds
def test_signatures(binding, scheme, strength):
    pk, sk = sig_pair(binding, scheme, strength)
    other_pk, _ = sig_pair(binding, scheme, strength, tag=1)
    name = core._oqs.sig_algorithm(core._sig_kind(scheme), strength)
    enabled = binding.get_enabled_sig_mechanisms()
    if scheme == 2:  # the first name of the row that this binding offers
        assert name == next(c for c in core._oqs._SLHDSA[strength] if c in enabled)
    assert name in enabled
    pk_len, sk_len, sig_len = SIG_SIZES[SLH_NAMES.get(name, name)]
    assert pk[:2] == sk[:2] == bytes([scheme, strength])
    assert (len(pk), len(sk)) == (2 + pk_len, 2 + sk_len)
    data = TEXT.encode()
    signature = core.sign(data, sk)
    assert len(signature) == sig_len
    assert core.verify(data, signature, pk) is True
    assert core.verify(data + b"!", signature, pk) is False
    assert core.verify(data, flip(signature, 0), pk) is False
    assert core.verify(data, flip(signature, sig_len - 1), pk) is False
    assert core.verify(data, signature[:-1], pk) is False
    assert core.verify(data, signature, other_pk) is False
    for bad in (pk[:-1], pk + b"\x00", pk[:3]):
        assert core.verify(data, signature, bad) is False
    for bad in (sk[:-1], sk + b"\x00", sk[:3]):
        with pytest.raises(InvalidInputError, match="^Invalid signature private key: wrong length$"):
            core.sign(data, bad)


@sig_kinds
def test_a_signature_of_the_wrong_length_never_reaches_the_binding(binding, scheme, strength, monkeypatch):
    # liboqs hashes the first n bytes (16, 24 or 32) of an SLH-DSA signature before it looks at
    # its length: a shorter one is read past its end.
    pk, sk = sig_pair(binding, scheme, strength)
    data = TEXT.encode()
    signature = core.sign(data, sk)
    checked = []
    real_verify = binding.Signature.verify
    monkeypatch.setattr(binding.Signature, "verify",
                        lambda self, *args: checked.append(len(args[1])) or real_verify(self, *args))
    n = len(signature)
    for size in (0, 1, 15, 16, 17, 23, 31, 32, n // 2, n - 1, n + 1, 2 * n):
        assert core.verify(data, signature[:size] + bytes(max(0, size - n)), pk) is False, size
    assert checked == []
    assert core.verify(data, bytearray(signature), pk) is True
    assert checked == [n]
    # A key of the wrong length answers first; a signature that is not bytes-like stays a TypeError.
    assert core.verify(data, None, pk[:-1]) is False
    for hostile in (None, 5, "text"):
        with pytest.raises(TypeError):
            core.verify(data, hostile, pk)


# --- many at once ----------------------------------------------------------------------------

ROUND_KINDS = [(8, 2), (7, 0), (6, 1), (4, 2), (5, 0), (2, 2)]


def one_round(binding, i):
    gen, strength = ROUND_KINDS[i % len(ROUND_KINDS)]
    pk, sk = pair(binding, gen, strength)
    text = f"round {i} ✓" * (1 + i % 5)
    capsule, message = core.encrypt(text, pk)
    assert core.decrypt(message, sk, capsule) == text
    spk, ssk = sig_pair(binding, 1 + i % 2, i % 3)
    data = text.encode()
    assert core.verify(data, core.sign(data, ssk), spk) is True
    return i


@pytest.fixture(scope="module")
def all_pairs(binding):
    # Made before the threads start: the cache is not meant to be filled concurrently.
    for kind in ROUND_KINDS:
        pair(binding, *kind)
    for kind in SIG_KINDS:
        sig_pair(binding, *kind)


def test_many_threads_at_once(binding, all_pairs):
    with ThreadPoolExecutor(max_workers=8) as pool:
        assert sorted(pool.map(lambda i: one_round(binding, i), range(48))) == list(range(48))


def test_many_awaited_calls_at_once(binding, all_pairs):
    async def one(i):
        gen, strength = ROUND_KINDS[i % len(ROUND_KINDS)]
        pk, sk = pair(binding, gen, strength)
        text = f"task {i} ✓"
        capsule, message = await velmor.quantum.encrypt(text, pk)
        spk, ssk = sig_pair(binding, 1 + i % 2, i % 3)
        signature = await velmor.quantum.sign(text.encode(), ssk)
        return (await velmor.quantum.decrypt(message, sk, capsule),
                await velmor.quantum.verify(text.encode(), signature, spk))

    async def main():
        return await asyncio.gather(*(one(i) for i in range(48)))

    assert asyncio.run(main()) == [(f"task {i} ✓", True) for i in range(48)]
