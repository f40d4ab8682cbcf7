"""Quantum key pairs, the encryption dispatch and every generation, over the binding double."""

import struct
import sys

import pytest

import oqs_double
from quantum_support import flip, keypair
from velmor.errors import DecryptionError, InvalidInputError, QuantumOperationError
from velmor.quantum import core
from velmor.quantum.types import QuantumGeneration, QuantumStrength

GCM_FAIL = "Quantum AES-GCM decryption failed (wrong key or tampered data)"
TEXTS = ["", "a", "héllo wörld ✓ 🔐", "x" * 1000]
# (generation byte, strengths to exercise)
KINDS = [(2, (0, 1, 2)), (4, (2,)), (5, (0,)), (6, (0, 1, 2)), (7, (0, 1, 2)), (8, (0, 1, 2))]
CASES = [(g, s) for g, strengths in KINDS for s in strengths]


@pytest.fixture(autouse=True)
def oqs(monkeypatch):
    return oqs_double.install(monkeypatch)


# --- key generation -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, head, alg",
    [
        ((), b"\x08\x02", "ML-KEM-1024"),
        ((QuantumGeneration.GEN1, 0), b"\x02\x00", "Classic-McEliece-6688128"),
        ((2, 0), b"\x02\x00", "Classic-McEliece-6688128"),
        ((5, 1), b"\x05\x01", "Classic-McEliece-6960119"),
        ((3, 1), b"\x06\x01", "FrodoKEM-976-AES"),
        ((6, 0), b"\x06\x00", "FrodoKEM-640-AES"),
        ((4, 0), b"\x04\x02", "FrodoKEM-1344-AES"),
        (("8", 0.9), b"\x08\x00", "ML-KEM-512"),
        ((8.9, True), b"\x08\x01", "ML-KEM-768"),
    ],
)
def test_generate_keypair_headers_and_sizes(oqs, args, head, alg):
    pk, sk = core.generate_keypair(*args)
    assert pk[:2] == sk[:2] == head
    pk_len, sk_len = oqs.KEM_SIZES[alg][:2]
    extra = 32 if head[0] == 8 else 0
    assert (len(pk), len(sk)) == (2 + extra + pk_len, 2 + extra + sk_len)
    assert [e[2] for e in oqs.EVENTS if e[0] == "construct"] == [alg]


def test_generate_keypair_true_is_gen1():
    pk, _ = core.generate_keypair(True, 0)
    assert pk[:2] == b"\x02\x00"


@pytest.mark.parametrize("args", [(0,), (9,), (4, 7), (8, 3), (8, -1)])
def test_generate_keypair_bad_values(oqs, args):
    with pytest.raises(ValueError):
        core.generate_keypair(*args)
    assert not oqs.EVENTS  # nothing generated


def test_generate_keypair_bad_conversion():
    with pytest.raises(TypeError):
        core.generate_keypair(None)
    with pytest.raises(ValueError):
        core.generate_keypair("eight")


class Generations:
    """Stands in for QuantumGeneration: records the members looked up and the comparisons made
    with the member it returns, which equals only the member name in `matches`."""

    def __init__(self, matches=None):
        self.log = []
        log = self.log

        class Member:
            name = "GEN9"

            def __eq__(self, other):
                log.append(("==", other))
                return other == matches

        self.member = Member()

    def __call__(self, value):
        self.log.append(("call", value))
        return self.member

    def __getattr__(self, name):
        self.log.append(("attr", name))
        return name


# what generate_keypair tests, in order: pairs by membership, single members by equality
KEYGEN_TESTS = [("attr", "GEN1"), ("attr", "GEN2"), ("==", "GEN1"), ("==", "GEN2"),
                ("attr", "GEN5"), ("==", "GEN5"), ("attr", "GEN3"), ("attr", "GEN6"), ("==", "GEN3"),
                ("==", "GEN6"), ("attr", "GEN4"), ("==", "GEN4"), ("attr", "GEN7"), ("==", "GEN7"),
                ("attr", "GEN8"), ("==", "GEN8")]


@pytest.mark.parametrize("matches, head", [("GEN2", b"\x02\x00"), ("GEN5", b"\x05\x00"),
                                           ("GEN6", b"\x06\x00"), ("GEN4", b"\x04\x02")])
def test_generate_keypair_tests_the_member_in_order(monkeypatch, matches, head):
    generations = Generations(matches)
    monkeypatch.setattr(core, "QuantumGeneration", generations)
    pk, sk = core.generate_keypair(8, 0)
    assert pk[:2] == sk[:2] == head
    stop = KEYGEN_TESTS.index(("==", matches)) + 1
    assert generations.log == [("call", 8)] + KEYGEN_TESTS[:stop]


@pytest.mark.parametrize("matches, step", [("GEN7", "_gen7_generate"), ("GEN8", "_gen8_generate")])
def test_generate_keypair_hands_its_own_step_the_strength_member(monkeypatch, matches, step):
    monkeypatch.setattr(core, "QuantumGeneration", Generations(matches))
    monkeypatch.setattr(core, step, lambda strength: ("made", strength))
    made, strength = core.generate_keypair(1, 1)
    assert made == "made" and strength is QuantumStrength.MEDIUM


def test_generate_keypair_unhandled_member(monkeypatch):
    generations = Generations()
    monkeypatch.setattr(core, "QuantumGeneration", generations)
    with pytest.raises(QuantumOperationError) as info:
        core.generate_keypair(3, 2)
    assert str(info.value) == "Generation GEN9 key generation is not yet implemented in Python"
    assert generations.log == [("call", 3)] + KEYGEN_TESTS


def test_generate_keypair_without_binding(monkeypatch):
    monkeypatch.setitem(sys.modules, "oqs", None)
    with pytest.raises(QuantumOperationError, match="requires the native liboqs"):
        core.generate_keypair()


class Marked(bytes):
    """A bytes subclass with its own `+`, which joining must honour as the host's `+` does."""

    def __add__(self, other):
        return Marked(bytes(self) + bytes(other))

    def __radd__(self, other):
        return Marked(bytes(other) + bytes(self))


def test_key_parts_are_joined_with_the_host_plus(monkeypatch):
    monkeypatch.setattr(core, "_x25519_raw", lambda priv: (Marked(b"P" * 32), Marked(b"S" * 32)))
    pk, sk = core.generate_keypair(8, 0)
    assert type(pk) is Marked and type(sk) is Marked
    assert pk[:34] == b"\x08\x00" + b"P" * 32 and sk[:34] == b"\x08\x00" + b"S" * 32


def test_gen7_key_layout():
    pk, sk = keypair(7, 2)
    assert pk[:6] == b"\x07\x02\x0e\x02\x00\x00"
    (priv_len,) = struct.unpack("<I", sk[2:6])
    assert len(pk) == 6 + 526 + 21520 and len(sk) == 6 + priv_len + 43088
    from cryptography.hazmat.primitives.serialization import load_der_private_key

    priv = load_der_private_key(sk[6:6 + priv_len], password=None)
    assert priv.key_size == 4096 and priv.public_key().public_numbers().e == 65537


def test_gen8_key_layout(oqs):
    pk, sk = keypair(8, 2)
    from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey

    assert X25519PrivateKey.from_private_bytes(sk[2:34]).public_key().public_bytes_raw() == pk[2:34]
    assert len(pk) - 34 == oqs.KEM_SIZES["ML-KEM-1024"][0]


# --- round trips and formats ----------------------------------------------------------------


@pytest.mark.parametrize("gen, strength", CASES)
def test_round_trip(gen, strength):
    pk, sk = keypair(gen, strength)
    for text in TEXTS:
        capsule, message = core.encrypt(text, pk)
        assert type(capsule) is bytes and type(message) is bytes
        assert core.decrypt(message, sk, capsule) == text
    again = core.encrypt(TEXTS[2], pk)
    assert again[0] != capsule and again[1] != message


def gcm_size(prefix):
    return lambda n: prefix + n + 16


def cbc_size(prefix):
    return lambda n: prefix + (n // 16 + 1) * 16 + 32


MESSAGE_SIZE = {2: cbc_size(16), 4: gcm_size(12), 5: cbc_size(48), 6: gcm_size(28), 7: gcm_size(44),
                8: gcm_size(44)}


@pytest.mark.parametrize("gen, strength", CASES)
def test_sizes(oqs, gen, strength):
    pk, sk = keypair(gen, strength)
    alg = {2: core._oqs.cmce_alg, 5: core._oqs.cmce_alg, 4: core._oqs.frodo_alg,
           6: core._oqs.frodo_alg, 7: core._oqs.frodo_alg, 8: core._oqs.mlkem_alg}[gen](strength)
    ct_len = oqs.KEM_SIZES[alg][2]
    for n in (0, 15, 16, 17):
        capsule, message = core.encrypt("z" * n, pk)
        assert len(message) == MESSAGE_SIZE[gen](n)
        if gen in (2, 4, 5, 6):
            assert len(capsule) == ct_len
        elif gen == 7:
            assert capsule[:4] == b"\x00\x02\x00\x00" and len(capsule) == 4 + 512 + ct_len
        else:
            assert capsule[:4] == struct.pack("<I", ct_len) and len(capsule) == 36 + ct_len
    if gen == 8 and strength == 2:
        assert capsule[:4] == bytes.fromhex("20060000")


def test_gen4_ignores_the_strength_byte(oqs):
    pk, sk = keypair(4, 2)
    pk0, sk0 = b"\x04\x00" + pk[2:], b"\x04\x00" + sk[2:]
    oqs.EVENTS.clear()
    capsule, message = core.encrypt("frodo", pk0)
    assert core.decrypt(message, sk0, capsule) == "frodo"
    assert {e[2] for e in oqs.EVENTS if e[0] == "construct"} == {"FrodoKEM-1344-AES"}


@pytest.mark.parametrize("first, second", [(1, 2), (3, 6)])
def test_gen1_gen2_and_gen3_gen6_are_the_same_kind(first, second):
    pk, sk = core.generate_keypair(first, 0)
    assert pk[:2] == keypair(second, 0)[0][:2]
    capsule, message = core.encrypt("same", pk)
    assert core.decrypt(message, sk, capsule) == "same"


def test_gen2_mac_key_is_the_shared_secret():
    pk, sk = keypair(2, 0)
    capsule, message = core.encrypt("mac", pk)
    ss = core._oqs.decapsulate("Classic-McEliece-6688128", sk[2:], capsule)
    assert core._hmac256(ss, message[:-32]) == message[-32:]


# --- tampering and wrong keys -----------------------------------------------------------------

# generation -> (offsets of the fields to flip in the message, error on a changed message)
FIELDS = {
    2: ([0, 16, -33, -1], "Gen2 HMAC verification failed"),
    5: ([0, 32, 48, -33, -1], "Gen5 HMAC verification failed"),
    4: ([0, 12, -17, -1], GCM_FAIL),
    6: ([0, 16, 28, -17, -1], GCM_FAIL),
    7: ([0, 32, 44, -17, -1], GCM_FAIL),
    8: ([0, 32, 44, -17, -1], GCM_FAIL),
}


@pytest.mark.parametrize("gen", sorted(FIELDS))
def test_tampered_message(gen):
    pk, sk = keypair(gen, 0 if gen != 4 else 2)
    capsule, message = core.encrypt("tamper me, please", pk)
    offsets, text = FIELDS[gen]
    for offset in offsets:
        for mask in (0x01, 0x80):
            with pytest.raises(DecryptionError) as info:
                core.decrypt(flip(message, offset, mask), sk, capsule)
            assert str(info.value) == text


@pytest.mark.parametrize("gen", sorted(FIELDS))
def test_tampered_capsule_and_wrong_key(gen):
    strength = 0 if gen != 4 else 2
    pk, sk = keypair(gen, strength)
    _, other_sk = keypair(gen, strength, tag=1)
    capsule, message = core.encrypt("capsule", pk)
    mac_text = FIELDS[gen][1]
    # the KEM ciphertext part of the capsule: gen 7 after the RSA block, gen 8 after the length
    offset = {7: 4 + 512 + 40, 8: 4 + 40}.get(gen, 40)
    with pytest.raises(DecryptionError) as info:
        core.decrypt(message, sk, flip(capsule, offset))
    assert str(info.value) == mac_text
    with pytest.raises(DecryptionError) as info:
        core.decrypt(message, other_sk, capsule)
    assert str(info.value) == (mac_text if gen != 7 else "Gen7 RSA decryption failed")


@pytest.mark.parametrize("gen", [2, 5])
def test_mac_is_checked_before_decrypting(gen, monkeypatch):
    pk, sk = keypair(gen, 0)
    capsule, message = core.encrypt("abc", pk)
    calls = []
    monkeypatch.setattr(core, "_cbc_decrypt", lambda *a: calls.append(a) or b"never")
    for bad in (flip(message, -1), message + b"x", message[:-32 - 16] + message[-32:]):
        with pytest.raises(DecryptionError, match=f"^Gen{gen} HMAC verification failed$"):
            core.decrypt(bad, sk, capsule)
    assert calls == []
    compared = []
    monkeypatch.setattr(core.hmac, "compare_digest", lambda a, b: compared.append((a, b)) or True)
    assert core.decrypt(message, sk, capsule) == "never"
    assert compared[0][0] == message[-32:]  # the received MAC first


def test_gen7_rsa_block_errors():
    pk, sk = keypair(7, 0)
    capsule, message = core.encrypt("rsa", pk)
    with pytest.raises(DecryptionError, match="^Gen7 RSA decryption failed$") as info:
        core.decrypt(message, sk, flip(capsule, 10))
    assert info.value.__cause__ is not None
    # a length field pointing past the end: short RSA block, empty FrodoKEM part
    with pytest.raises(DecryptionError, match="^Gen7 RSA decryption failed$"):
        core.decrypt(message, sk, struct.pack("<I", 10_000) + capsule[4:40])


def test_gen8_extra_trailing_capsule_bytes_are_ignored():
    pk, sk = keypair(8, 1)
    capsule, message = core.encrypt("trailing", pk)
    assert core.decrypt(message, sk, capsule + b"\x00garbage") == "trailing"


@pytest.mark.parametrize("gen", [6, 7])
def test_short_frodo_secrets_still_agree(gen, oqs):
    for strength, ss_len in ((0, 16), (1, 24)):
        assert oqs.KEM_SIZES[core._oqs.frodo_alg(strength)][3] == ss_len
        pk, sk = keypair(gen, strength)
        capsule, message = core.encrypt("short secret", pk)
        assert core.decrypt(message, sk, capsule) == "short secret"


def test_gen7_uses_xor_mix(monkeypatch):
    pk, sk = keypair(7, 0)
    seen = []
    real = core._xor_mix
    monkeypatch.setattr(core, "_xor_mix", lambda a, b: seen.append(len(b)) or real(a, b))
    capsule, message = core.encrypt("mix", pk)
    assert core.decrypt(message, sk, capsule) == "mix"
    assert seen == [16, 16]  # FrodoKEM-640's 16-byte secret, repeated to 32 bytes


# --- the dispatch -----------------------------------------------------------------------------


@pytest.mark.parametrize("key", [b"", b"\x08", b"\x08\x02", b"\x08\x02\x00", b"\x08\x02" + bytes(100)])
def test_encrypt_refuses_empty_keys(key):
    with pytest.raises(InvalidInputError, match=r"^Invalid or empty quantum public key$"):
        core.encrypt("x", key)


@pytest.mark.parametrize("gen, hexdigits", [(0, "00"), (1, "01"), (3, "03"), (10, "0a"), (255, "ff")])
def test_unknown_generation(gen, hexdigits):
    key = bytes([gen, 0, 1])
    with pytest.raises(QuantumOperationError) as info:
        core.encrypt("x", key)
    assert str(info.value) == f"Quantum generation 0x{hexdigits} is not supported for encryption"
    with pytest.raises(QuantumOperationError) as info:
        core.decrypt(b"m", key, b"s")
    assert str(info.value) == f"Quantum generation 0x{hexdigits} is not supported for decryption"


@pytest.mark.parametrize("gen", [2, 5, 6, 7, 8])
@pytest.mark.parametrize("strength", [3, 255])
def test_bad_strength_byte_is_a_key_error(gen, strength, oqs):
    pk, sk = keypair(gen, 0)
    bad_pk, bad_sk = bytes([gen, strength]) + pk[2:], bytes([gen, strength]) + sk[2:]
    capsule, message = core.encrypt("s", pk)
    oqs.EVENTS.clear()
    with pytest.raises(KeyError):
        core.encrypt("s", bad_pk)
    with pytest.raises(KeyError):
        core.decrypt(message, bad_sk, capsule)
    assert not [e for e in oqs.EVENTS if e[0] == "construct"]


class GenerationByte:
    """A key's first item that records what it is compared with; it equals only `matches`."""

    def __init__(self, matches=None):
        self.seen, self.matches = [], matches

    def __eq__(self, other):
        self.seen.append(other)
        return other == self.matches

    def __format__(self, spec):
        return f"<{spec}>"


def test_dispatch_compares_the_generation_byte_in_order():
    gen = GenerationByte()
    with pytest.raises(QuantumOperationError, match=r"^Quantum generation 0x<02x> is not supported for encryption$"):
        core.encrypt("x", [gen, 1, 1])
    assert gen.seen == [4, 6, 2, 5, 7, 8]
    gen.seen.clear()
    with pytest.raises(QuantumOperationError, match=r"^Quantum generation 0x<02x> is not supported for decryption$"):
        core.decrypt(b"m", [gen, 1, 1], b"s")
    assert gen.seen == [4, 6, 2, 5, 7, 8]


@pytest.mark.parametrize("byte, compared", [(4, [4]), (2, [4, 6, 2]), (8, [4, 6, 2, 5, 7, 8])])
def test_dispatch_stops_at_the_first_match(monkeypatch, byte, compared):
    calls = []
    monkeypatch.setattr(core, f"_gen{byte}_encrypt", lambda *a: calls.append(a) or (b"c", b"m"))
    monkeypatch.setattr(core, f"_gen{byte}_decrypt", lambda *a: calls.append(a) or b"ok")
    gen = GenerationByte(byte)
    assert core.encrypt("x", [gen, 1, 7]) == (b"c", b"m")
    assert core.decrypt(b"m", [gen, 1, 7], b"s") == "ok"
    assert gen.seen == compared * 2
    strength = () if byte == 4 else (1,)
    assert calls == [(b"x", [7], *strength), (b"m", [7], b"s", *strength)]


def test_decrypt_checks_in_order():
    _, sk = keypair(8, 0)
    with pytest.raises(InvalidInputError, match="^Invalid quantum private key$"):
        core.decrypt(b"", b"\x08\x02", b"")
    for secret in (b"", None):
        with pytest.raises(InvalidInputError, match="^Encapsulated secret required for quantum decryption$"):
            core.decrypt(b"anything", sk, secret)


def test_encrypt_unencodable_text():
    pk, _ = keypair(8, 0)
    with pytest.raises(UnicodeEncodeError):
        core.encrypt("\ud800", pk)


def test_decrypt_invalid_utf8(monkeypatch):
    monkeypatch.setattr(core, "_gen8_decrypt", lambda *a: b"\xff")
    with pytest.raises(DecryptionError, match="^Decrypted quantum data is not valid UTF-8$") as info:
        core.decrypt(b"m", b"\x08\x02\x01", b"s")
    assert isinstance(info.value.__cause__, UnicodeDecodeError)


def test_dispatch_arguments(monkeypatch):
    seen = []
    for g in (2, 4, 5, 6, 7, 8):
        monkeypatch.setattr(core, f"_gen{g}_encrypt", lambda *a, g=g: seen.append((g, a)) or (b"c", b"m"))
        monkeypatch.setattr(core, f"_gen{g}_decrypt", lambda *a, g=g: seen.append((g, a)) or b"ok")
    for g in (2, 4, 5, 6, 7, 8):
        key = bytes([g, 1, 9, 9])
        assert core.encrypt("", key) == (b"c", b"m")
        assert core.decrypt(b"msg", key, b"sec") == "ok"
    assert seen[2:4] == [(4, (b"", b"\x09\x09")), (4, (b"msg", b"\x09\x09", b"sec"))]
    assert seen[0] == (2, (b"", b"\x09\x09", 1)) and seen[1] == (2, (b"msg", b"\x09\x09", b"sec", 1))


# --- bad input reaching each generation ----------------------------------------------------------

# generation -> (minimum message length, its message)
MINIMUM = {2: (48, "Invalid Gen2 encrypted message"), 4: (28, "Invalid Gen4 encrypted message"),
           5: (80, "Invalid Gen5 encrypted message"), 6: (44, "Invalid Gen6 encrypted message"),
           7: (60, "Invalid Gen7 encrypted message"), 8: (60, "Invalid Gen8 encrypted message")}


@pytest.mark.parametrize("gen", sorted(MINIMUM))
def test_message_one_byte_short_fails_before_the_binding(gen, monkeypatch):
    pk, sk = keypair(gen, 2 if gen == 4 else 0)
    capsule, _ = core.encrypt("x", pk)
    size, text = MINIMUM[gen]
    monkeypatch.setitem(sys.modules, "oqs", None)  # no binding is needed to refuse
    with pytest.raises(InvalidInputError, match=f"^{text}$"):
        core.decrypt(b"\x01" * (size - 1), sk, capsule)


@pytest.mark.parametrize("gen", [2, 5])
def test_cbc_message_at_the_minimum_fails_the_mac(gen):
    pk, sk = keypair(gen, 0)
    capsule, _ = core.encrypt("x", pk)
    with pytest.raises(DecryptionError, match=f"^Gen{gen} HMAC verification failed$"):
        core.decrypt(b"\x01" * MINIMUM[gen][0], sk, capsule)


@pytest.mark.parametrize("gen", [4, 6])
def test_gcm_message_at_the_minimum_reaches_the_binding(gen):
    pk, sk = keypair(gen, 2 if gen == 4 else 0)
    capsule, _ = core.encrypt("x", pk)
    with pytest.raises(DecryptionError, match="Quantum AES-GCM"):
        core.decrypt(b"\x01" * MINIMUM[gen][0], sk, capsule)


@pytest.mark.parametrize("gen", [2, 4, 5, 6])
def test_truncated_capsule(gen):
    pk, sk = keypair(gen, 2 if gen == 4 else 0)
    capsule, message = core.encrypt("x", pk)
    # The double refuses a short ciphertext; a real binding may pad it and derive a wrong secret.
    with pytest.raises((QuantumOperationError, DecryptionError)) as info:
        core.decrypt(message, sk, capsule[:-1])
    if isinstance(info.value, QuantumOperationError):
        assert str(info.value).startswith("KEM decapsulation failed (")


def test_gen8_bad_input():
    pk, sk = keypair(8, 0)
    capsule, message = core.encrypt("x", pk)
    with pytest.raises(InvalidInputError, match="^Invalid Gen8 public key$"):
        core.encrypt("x", b"\x08\x00" + b"\x01" * 31)
    # an empty ML-KEM part never reaches the binding, which would pad it with zero bytes
    with pytest.raises(InvalidInputError, match="^Invalid Gen8 public key$"):
        core.encrypt("x", b"\x08\x00" + b"\x01" * 32)
    with pytest.raises(InvalidInputError, match="^Invalid Gen8 private key$"):
        core.decrypt(b"m", b"\x08\x00" + b"\x01" * 31, b"s")
    with pytest.raises(InvalidInputError, match="^Invalid Gen8 encapsulated secret$"):
        core.decrypt(b"m", sk, b"s" * 35)
    with pytest.raises(InvalidInputError, match="^Invalid Gen8 encrypted message$"):
        core.decrypt(message[:59], sk, b"\xff" * 36)
    for field in (0, len(capsule) - 36 + 1, 2**32 - 1):
        with pytest.raises(InvalidInputError, match="^Invalid Gen8 encapsulated secret$"):
            core.decrypt(message, sk, struct.pack("<I", field) + capsule[4:])
    with pytest.raises(InvalidInputError, match="^Invalid Gen8 encapsulated secret$"):
        core.decrypt(message, sk, b"\x00" * 36)
    # a field equal to len - 36 is accepted: here it cuts the ciphertext at the wrong place
    shifted = struct.pack("<I", len(capsule) - 36 - 1) + capsule[4:-1]
    with pytest.raises((QuantumOperationError, DecryptionError)):
        core.decrypt(message, sk, shifted)


@pytest.mark.parametrize(
    "call, text",
    [(lambda wide: core._gen8_decrypt(b"m" * 60, b"k" * 32, wide, 0), "Invalid Gen8 encapsulated secret"),
     (lambda wide: core._gen7_encrypt(b"x", wide, 0), r"Invalid Gen7 public key \(truncated\)")],
)
def test_length_fields_read_as_int_from_bytes(call, text):
    from array import array

    # Four items of eight bytes each: the field is int.from_bytes of all 32 bytes, far past the end.
    wide = memoryview(array("Q", [1] * 40))
    with pytest.raises(InvalidInputError, match=f"^{text}$"):
        call(wide)


def test_gen8_all_zero_private_raw_part():
    _, sk = keypair(8, 0)
    capsule, message = core.encrypt("x", keypair(8, 0)[0])
    zero = sk[:2] + bytes(len(sk) - 2)
    with pytest.raises((QuantumOperationError, DecryptionError, ValueError)):
        core.decrypt(message, zero, capsule)


def test_gen7_public_key_errors():
    pk, _ = keypair(7, 0)
    raw = pk[2:]
    (rsa_len,) = struct.unpack("<I", raw[:4])
    with pytest.raises(InvalidInputError, match=r"^Invalid Gen7 public key$"):
        core.encrypt("x", b"\x07\x00\x01\x02\x03")
    for bad in (struct.pack("<I", len(raw)) + raw[4:], struct.pack("<I", len(raw) - 4) + raw[4:]):
        with pytest.raises(InvalidInputError, match=r"^Invalid Gen7 public key \(truncated\)$"):
            core.encrypt("x", b"\x07\x00" + bad)
    with pytest.raises(InvalidInputError, match=r"^Invalid Gen7 RSA public key: ") as info:
        core.encrypt("x", b"\x07\x00" + struct.pack("<I", 0) + raw[4:])
    with pytest.raises(InvalidInputError, match=r"^Invalid Gen7 RSA public key: ") as info:
        core.encrypt("x", b"\x07\x00" + raw[:4] + b"\x30" + bytes(rsa_len - 1) + raw[4 + rsa_len:])
    assert info.value.__cause__ is not None


def test_gen7_decrypt_check_order(monkeypatch):
    pk, sk = keypair(7, 0)
    capsule, message = core.encrypt("x", pk)
    with pytest.raises(InvalidInputError, match="^Invalid Gen7 private key$"):
        core.decrypt(b"m" * 10, b"\x07\x00\x01\x02\x03", b"abc")
    with pytest.raises(InvalidInputError, match="^Invalid Gen7 encapsulated secret$"):
        core.decrypt(message, sk, b"abc")
    monkeypatch.setattr(core, "load_der_private_key", lambda *a, **k: pytest.fail("loaded"))
    with pytest.raises(InvalidInputError, match="^Invalid Gen7 encrypted message$"):
        core.decrypt(message[:59], sk, capsule)
    monkeypatch.undo()
    oqs_double.install(monkeypatch)
    with pytest.raises(InvalidInputError, match="^Invalid Gen7 RSA private key: "):
        core.decrypt(message, sk[:2] + bytes(len(sk) - 2), capsule)
    # the RSA work comes before the binding
    monkeypatch.setitem(sys.modules, "oqs", None)
    with pytest.raises(DecryptionError, match="^Gen7 RSA decryption failed$"):
        core.decrypt(message, sk, flip(capsule, 5))


@pytest.mark.parametrize("gen", [2, 4, 5, 6])
def test_all_zero_raw_keys_reach_the_binding(gen):
    pk, sk = keypair(gen, 2 if gen == 4 else 0)
    with pytest.raises(InvalidInputError):
        core.encrypt("x", pk[:2] + bytes(len(pk) - 2))
    capsule, message = core.encrypt("x", pk)
    with pytest.raises((QuantumOperationError, DecryptionError)):
        core.decrypt(message, sk[:2] + bytes(len(sk) - 2), capsule)


def test_late_lookup_of_generation_functions(monkeypatch):
    monkeypatch.setattr(core, "_gen6_encrypt", lambda data, raw, strength: (b"swapped", data))
    assert core.encrypt("hi", b"\x06\x00\x01") == (b"swapped", b"hi")


# --- untrusted input never crashes the readers ------------------------------------------------

from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(gen=st.sampled_from([2, 4, 5, 6, 7, 8]), message=st.binary(max_size=120),
       secret=st.binary(min_size=1, max_size=80), header=st.binary(min_size=2, max_size=2))
def test_decrypt_answers_with_specified_errors(oqs, gen, message, secret, header):
    _, sk = keypair(gen, 2 if gen == 4 else 0)
    # KeyError: a strength byte outside the tables; ValueError: X25519 refusing a low-order point
    allowed = (InvalidInputError, DecryptionError, QuantumOperationError, KeyError)
    for key in (sk, bytes([gen]) + header[1:] + sk[2:], header + sk[2:40]):
        try:
            core.decrypt(message, key, secret)
        except allowed:
            pass
        except ValueError:
            assert key[0] == 8


# --- randomness and module frames -------------------------------------------------------------

# generation -> sizes drawn from os.urandom, in order, and how many of them open the message
DRAWS = {2: ([16], 1), 4: ([12], 1), 5: ([32, 16], 2), 6: ([16, 12], 2), 7: ([32, 32, 12], 2),
         8: ([32, 12], 2)}


@pytest.mark.parametrize("gen", sorted(DRAWS))
def test_random_values_come_from_the_host_urandom_in_order(gen, monkeypatch):
    import os

    pk, sk = keypair(gen, 2 if gen == 4 else 0)
    drawn = []

    def urandom(n):
        drawn.append(bytes([0xA0 + len(drawn)]) * n)
        return drawn[-1]

    monkeypatch.setattr(os, "urandom", urandom)
    monkeypatch.setattr(core, "os", None)  # the module attribute is not the source
    capsule, message = core.encrypt("random", pk)
    sizes, leading = DRAWS[gen]
    assert [len(d) for d in drawn] == sizes
    assert message.startswith(b"".join(drawn[-leading:]))
    assert core.decrypt(message, sk, capsule) == "random"


MODULE_NAMES = {
    "velmor.quantum.types": ["annotations", "IntEnum", "QuantumGeneration", "QuantumStrength",
                             "SignatureAlgorithm"],
    "velmor.quantum._oqs": ["annotations", "QuantumOperationError", "_FRODO", "_CMCE", "_MLKEM", "_MLDSA",
                            "_SLHDSA", "_oqs", "frodo_alg", "cmce_alg", "mlkem_alg", "sig_algorithm",
                            "generate_keypair", "encapsulate", "decapsulate", "sig_generate_keypair",
                            "sig_sign", "sig_verify"],
    "velmor.quantum.core": [
        "annotations", "hashlib", "hmac", "os", "struct", "hashes", "sym_padding", "_ser", "_rsa_asym",
        "X25519PrivateKey", "X25519PublicKey", "Cipher", "algorithms", "modes", "AESGCM", "HKDF",
        "load_der_private_key", "load_der_public_key", "DecryptionError", "InvalidInputError",
        "QuantumOperationError", "_pkcs1_to_spki", "_OAEP", "_oqs", "QuantumGeneration", "QuantumStrength",
        "SignatureAlgorithm", "_GEN8_INFO", "_GEN6_INFO", "_GEN5_INFO", "_GEN7_INFO", "_hkdf", "_gcm_seal",
        "_gcm_open", "_cbc_encrypt", "_cbc_decrypt", "_hmac256", "generate_keypair", "encrypt", "decrypt",
        "_gen4_key", "_gen4_encrypt", "_gen4_decrypt", "_gen6_encrypt", "_gen6_decrypt", "_gen2_encrypt",
        "_gen2_decrypt", "_gen5_encrypt", "_gen5_decrypt", "_xor_mix", "_gen7_generate", "_gen7_encrypt",
        "_gen7_decrypt", "_x25519_raw", "_gen8_generate", "_gen8_encrypt", "_gen8_decrypt", "_sig_kind",
        "_sig_strip", "generate_signature_keypair", "sign", "verify"],
    "velmor.quantum": ["annotations", "asyncio", "_oqs", "types", "core", "QuantumGeneration",
                       "QuantumStrength", "SignatureAlgorithm", "generate_keypair", "encrypt", "decrypt",
                       "generate_signature_keypair", "sign", "verify", "__all__"],
}


@pytest.mark.parametrize("module", sorted(MODULE_NAMES))
def test_module_frames_bind_names_in_order(module):
    import importlib

    names = [n for n in vars(importlib.import_module(module)) if not n.startswith("__") or n == "__all__"]
    assert names == MODULE_NAMES[module]
    if module == "velmor.quantum.core":
        assert [getattr(core, f"_GEN{g}_INFO") for g in (8, 6, 5, 7)] == [
            b"Gen8-Hybrid-X25519-MLKEM", b"Gen6-Frodo-GCM", b"Gen5-CMCE-HMAC", b"Gen7-Hybrid-RSA-Frodo"]
