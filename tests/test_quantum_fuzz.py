"""Every post-quantum function given keys, capsules, messages and signatures of every wrong length,
and objects that are not bytes at all, on the real liboqs, on the binding double and with no
binding: each call ends in a value of its kind or in one of the errors specified for it, and
nothing that is not bytes, nor a key part of the wrong length, reaches the binding."""

import asyncio

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import oqs_double
import quantum_support
import velmor.quantum
import velmor.sync
from quantum_support import binding_for
from velmor.errors import DecryptionError, InvalidInputError, QuantumOperationError
from velmor.quantum import _oqs, core

KINDS = [(8, 0), (8, 1), (8, 2), (7, 0), (7, 1), (7, 2), (6, 0), (6, 1), (6, 2), (4, 2),
         (5, 0), (5, 1), (5, 2), (2, 0), (2, 1), (2, 2)]
SIG_KINDS = [(1, 0), (1, 1), (1, 2), (2, 0), (2, 1), (2, 2)]
TEXT = "fuzz ✓"
FUZZ = settings(max_examples=12, deadline=None, database=None, derandomize=True,
                suppress_health_check=list(HealthCheck))


@pytest.fixture(scope="module", params=["liboqs", "double", "none"])
def mode(request):
    with pytest.MonkeyPatch.context() as mp:
        binding_for(request.param, mp)
        yield request.param


_made = {}


def material(mode, gen, strength):
    """(public key, private key, capsule, message of TEXT) of one kind: made by the binding under
    test, or by the double when there is none (the calls then fail at the binding)."""
    maker = "liboqs" if mode == "liboqs" else "double"
    key = (maker, gen, strength)
    if key not in _made:
        if maker == "double":
            pk, sk = quantum_support.keypair(gen, strength)
            with pytest.MonkeyPatch.context() as mp:
                oqs_double.install(mp)
                capsule, message = core.encrypt(TEXT, pk)
        else:
            pk, sk = core.generate_keypair(gen, strength)
            capsule, message = core.encrypt(TEXT, pk)
        _made[key] = pk, sk, capsule, message
    return _made[key]


def sig_material(mode, scheme, strength):
    maker = "liboqs" if mode == "liboqs" else "double"
    key = (maker, "sig", scheme, strength)
    if key not in _made:
        if maker == "double":
            pk, sk = quantum_support.sig_keypair(scheme, strength)
            with pytest.MonkeyPatch.context() as mp:
                oqs_double.install(mp)
                signature = core.sign(b"data", sk)
        else:
            pk, sk = core.generate_signature_keypair(scheme, strength)
            signature = core.sign(b"data", sk)
        _made[key] = pk, sk, signature
    return _made[key]


def resized(data: bytes, n: int) -> bytes:
    """`data` cut to n bytes, or lengthened to n with bytes that are not all zero."""
    return data[:n] if n <= len(data) else data + bytes((0xA5 + i) & 0xFF for i in range(n - len(data)))


def boundary_lengths(data: bytes, *marks: int) -> list[int]:
    """Wrong lengths worth trying for `data`: around empty, around each mark (where one part of it
    ends and the next begins), around its own length, half and twice it."""
    n = len(data)
    lengths = {0, 1, 2, 3, n // 2, n - 2, n - 1, n + 1, n + 2, n + 64, 2 * n}
    for m in marks:
        lengths |= {m - 1, m, m + 1}
    return sorted(x for x in lengths if x >= 0 and x != n)


def kem_offset(key: bytes) -> int:
    if key[0] == 8:
        return 34
    if key[0] == 7:
        return 6 + int.from_bytes(key[2:6], "little")
    return 2


def outcome(function, *args):
    try:
        return ("value", function(*args))
    except Exception as e:  # noqa: BLE001 - the point is to see every kind
        return ("raise", type(e), str(e))


def raised(got, *kinds):
    return got[0] == "raise" and issubclass(got[1], kinds)


# --- keys of every wrong length -----------------------------------------------------------------


def check_public_key(pk, n):
    # Never handed to the binding: refused before it, with or without one.
    got = outcome(core.encrypt, TEXT, resized(pk, n))
    assert raised(got, InvalidInputError), (n, got)


def check_private_key(sk, capsule, message, n):
    got = outcome(core.decrypt, message, resized(sk, n), capsule)
    assert raised(got, InvalidInputError), (n, got)


@pytest.mark.parametrize("gen, strength", KINDS, ids=[f"gen{g}-{s}" for g, s in KINDS])
def test_keys_of_every_wrong_length_are_refused_before_the_binding(mode, gen, strength):
    pk, sk, capsule, message = material(mode, gen, strength)
    for n in boundary_lengths(pk, kem_offset(pk)):
        check_public_key(pk, n)
    sk_lengths = boundary_lengths(sk, kem_offset(sk))
    if gen == 7:
        # Past its RSA key, a generation-7 private key costs an RSA-4096 decryption a call: the
        # lengths next to where the FrodoKEM key starts and ends suffice.
        sk_lengths = [n for n in sk_lengths if n <= kem_offset(sk) + 1 or abs(n - len(sk)) == 1]
    for n in sk_lengths:
        check_private_key(sk, capsule, message, n)
    if gen == 7:
        return

    @FUZZ
    @given(pk_len=st.integers(0, len(pk) + 100).filter(lambda n: n != len(pk)),
           sk_len=st.integers(0, len(sk) + 100).filter(lambda n: n != len(sk)))
    def fuzz(pk_len, sk_len):
        check_public_key(pk, pk_len)
        check_private_key(sk, capsule, message, sk_len)

    fuzz()


# --- capsules and messages of every wrong length ---------------------------------------------


def check_decrypt(mode, args):
    got = outcome(core.decrypt, *args)
    if got[0] == "value":
        # Only a capsule the binding pads back to the original, or trailing bytes after a
        # generation-8 capsule, may still open; and then to the original text.
        assert got[1] == TEXT, args
        return
    assert raised(got, InvalidInputError, DecryptionError, QuantumOperationError), got
    if mode != "none" and got[1] is QuantumOperationError:
        assert got[2].startswith("KEM decapsulation failed ("), got  # a ciphertext too long


# Generation 7 loads an RSA-4096 private key at every decryption: strength 0 stands for all three.
CAPSULE_KINDS = [k for k in KINDS if k[0] != 7 or k[1] == 0]


@pytest.mark.parametrize("gen, strength", CAPSULE_KINDS, ids=[f"gen{g}-{s}" for g, s in CAPSULE_KINDS])
def test_capsules_and_messages_of_every_wrong_length(mode, gen, strength):
    pk, sk, capsule, message = material(mode, gen, strength)
    if gen == 7:
        # Around the length field, the end of the RSA block and the shortest message it reads.
        capsule_lengths = [0, 3, 4, 515, 516, 517, len(capsule) - 1, len(capsule) + 1]
        message_lengths = [59, 60, len(message) - 1, len(message) + 1]
    else:
        kem_at = 4 if gen == 8 else 0
        capsule_lengths = boundary_lengths(capsule, 4, 36, kem_at, len(capsule) - 32)
        message_lengths = boundary_lengths(message, 28, 44, 48, 60, 80)
    for n in capsule_lengths:
        check_decrypt(mode, (message, sk, resized(capsule, n)))
    for n in message_lengths:
        check_decrypt(mode, (resized(message, n), sk, capsule))
    if gen == 7:
        return

    @FUZZ
    @given(capsule_len=st.integers(0, len(capsule) + 100), message_len=st.integers(0, len(message) + 100))
    def fuzz(capsule_len, message_len):
        check_decrypt(mode, (message, sk, resized(capsule, capsule_len)))
        check_decrypt(mode, (resized(message, message_len), sk, capsule))

    fuzz()


# --- signature keys and signatures of every wrong length ---------------------------------------


@pytest.mark.parametrize("scheme, strength", SIG_KINDS, ids=[f"{a}-{s}" for a, s in SIG_KINDS])
def test_signature_keys_and_signatures_of_every_wrong_length(mode, scheme, strength):
    pk, sk, signature = sig_material(mode, scheme, strength)

    def no_name(n):
        # Without a binding the SLH-DSA name cannot be chosen: past the header check, the calls
        # end in the install hint.
        return mode == "none" and scheme == 2 and n > 2

    def check(pk_len, sk_len, sig_len):
        got = outcome(core.verify, b"data", signature, resized(pk, pk_len))
        assert raised(got, QuantumOperationError) if no_name(pk_len) else got == ("value", False), got
        got = outcome(core.sign, b"data", resized(sk, sk_len))
        assert raised(got, QuantumOperationError if no_name(sk_len) else InvalidInputError), got
        # A signature of the wrong length is refused as a key is, before the binding is asked.
        got = outcome(core.verify, b"data", resized(signature, sig_len), pk)
        assert raised(got, QuantumOperationError) if no_name(len(pk)) else got == ("value", False), got

    lengths = [boundary_lengths(x, 2) for x in (pk, sk, signature)]
    for i in range(max(map(len, lengths))):
        check(*(ls[i % len(ls)] for ls in lengths))

    @FUZZ
    @given(pk_len=st.integers(0, len(pk) + 100).filter(lambda n: n != len(pk)),
           sk_len=st.integers(0, len(sk) + 100).filter(lambda n: n != len(sk)),
           sig_len=st.integers(0, len(signature) + 100).filter(lambda n: n != len(signature)))
    def fuzz(pk_len, sk_len, sig_len):
        check(pk_len, sk_len, sig_len)

    fuzz()


# --- objects that are not bytes ----------------------------------------------------------------


class LyingLength(bytes):
    """Bytes that claim to be as long as a whole ML-KEM-1024 key part."""

    def __len__(self):
        return 34 + 1568


class NoLength:
    def __len__(self):
        raise RuntimeError("no length")


HOSTILE = [5, 2**70, -1, True, None, 1.5, "text", [8, 2, 1], {0: 6, 1: 0, slice(2, None): 1},
           {0: 8, 1: 2, slice(2, None): 7}, bytearray(b"\x08\x02" + bytes(40)), LyingLength(b"\x08\x02\x01"),
           NoLength(), object()]
# What a function may raise for an argument of the wrong kind: the host's own errors for the
# operation that refused it, or one of the library's.
HOST_ERRORS = (TypeError, ValueError, KeyError, IndexError, AttributeError, OverflowError, RuntimeError,
               InvalidInputError, DecryptionError, QuantumOperationError)


def calls(mode):
    """(name, function, valid arguments) of every post-quantum function with a bytes argument."""
    pk, sk, capsule, message = material(mode, 8, 2)
    spk, ssk, signature = sig_material(mode, 1, 2)
    return [
        ("encrypt", core.encrypt, (TEXT, pk)),
        ("decrypt", core.decrypt, (message, sk, capsule)),
        ("sign", core.sign, (b"data", ssk)),
        ("verify", core.verify, (b"data", signature, spk)),
        ("generate_keypair", core.generate_keypair, (8, 0)),
        ("generate_signature_keypair", core.generate_signature_keypair, (1, 0)),
    ]


def kind_of(got):
    return ("value", type(got[1])) if got[0] == "value" else got[:2]


def test_objects_of_any_kind_give_the_host_errors(mode):
    # Through all three faces: the core function, its coroutine and the facade's method.
    for name, function, args in calls(mode):
        for i in range(len(args)):
            for hostile in HOSTILE:
                bad = args[:i] + (hostile,) + args[i + 1:]
                got = outcome(function, *bad)
                assert got[0] == "value" or issubclass(got[1], HOST_ERRORS), (name, i, hostile, got)
                awaited = outcome(lambda: asyncio.run(getattr(velmor.quantum, name)(*bad)))
                facade = outcome(getattr(velmor.sync.quantum, name), *bad)
                assert kind_of(awaited) == kind_of(got) == kind_of(facade), (name, i, hostile)


@pytest.mark.parametrize("call", [
    lambda: velmor.sync.quantum.sign(b"data", {0: 1, 1: 1, slice(2, None): 1}),
    lambda: velmor.sync.quantum.decrypt(b"x" * 80, {0: 6, 1: 0, slice(2, None): 1}, b"c"),
    lambda: velmor.sync.quantum.encrypt("x", {0: 8, 1: 0, slice(2, None): 5}),
    lambda: velmor.sync.quantum.verify(b"data", b"sig", {0: 1, 1: 1, slice(2, None): 1}),
], ids=["sign", "decrypt", "encrypt", "verify"])
def test_a_non_bytes_key_part_is_a_type_error(mode, call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("gen", [2, 4, 5, 6, 8])
def test_a_non_bytes_capsule_is_a_type_error(mode, gen):
    # Generation 8 measures its capsule first (the host's TypeError of len()); the others hand it
    # to the binding layer, which refuses it after finding the binding (the install hint if none).
    _, sk, _, message = material(mode, gen, 2)
    expected = QuantumOperationError if mode == "none" and gen != 8 else TypeError
    for hostile in (1, 2**20, 9752, 1.5, "c" * 9752):
        with pytest.raises(expected):
            core.decrypt(message, sk, hostile)


@pytest.mark.parametrize("name, args", [
    ("encapsulate", ("ML-KEM-768", b"k")), ("decapsulate", ("ML-KEM-768", b"k", b"c")),
    ("sig_sign", ("ML-DSA-44", b"k", b"m")), ("sig_verify", ("ML-DSA-44", b"k", b"m", b"s"))])
def test_the_binding_layer_refuses_what_is_not_bytes(mode, name, args):
    for i in range(1, len(args)):
        for hostile in (1, 4096, -1, None, "text", [1, 2]):
            bad = args[:i] + (hostile,) + args[i + 1:]
            with pytest.raises(QuantumOperationError if mode == "none" else TypeError):
                getattr(_oqs, name)(*bad)


@pytest.mark.parametrize("name, alg, sizes", [
    ("encapsulate", "FrodoKEM-640-AES", (9616,)), ("decapsulate", "ML-KEM-512", (1632, 768)),
    ("sig_sign", "ML-DSA-44", (2560, 4)), ("sig_verify", "ML-DSA-44", (1312, 4, 2420))])
def test_the_binding_layer_with_parts_of_every_length(mode, name, alg, sizes):
    # The layer checks no lengths: the binding pads a short part or refuses a long one, and either
    # way the call ends in a value or the layer's own error (sig_verify: False).
    for i, size in enumerate(sizes):
        for length in (0, 1, size - 1, size + 1, 2 * size):
            parts = [b"\x01" * (length if j == i else s) for j, s in enumerate(sizes)]
            got = outcome(getattr(_oqs, name), alg, *parts)
            if mode == "none" or got[0] == "raise":
                assert raised(got, QuantumOperationError), got
            else:
                assert isinstance(got[1], (tuple, bytes, bool)), got


# --- the reproductions of the truncated-key attack ---------------------------------------------


def test_a_truncated_public_key_is_never_padded(mode):
    # The binding would pad these with zero bytes into keys whose secret key anyone can make.
    for key, text in [(b"\x06\x00\x01", "Invalid Gen6 public key"), (b"\x04\x02\x01", "Invalid Gen4 public key"),
                      (b"\x08\x00" + b"\x01" * 32, "Invalid Gen8 public key"),
                      (b"\x02\x00\x01", "Invalid Gen2 public key"), (b"\x05\x00\x01", "Invalid Gen5 public key")]:
        with pytest.raises(InvalidInputError, match=f"^{text}$"):
            velmor.sync.quantum.encrypt("attack at dawn", key)
