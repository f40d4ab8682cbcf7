"""Readers of untrusted input under arbitrary and mutated input.

Every row of readers.READERS gets the same three properties: valid input gives the right
answer; arbitrary input gives a value of the reader's result type or one of its allowed
exceptions (and exactly what the reference model says, where the row has one); and so do
valid inputs with an untrusted argument mutated.
"""
import base64

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import rsa_support
from readers import NET_MAGIC, NOT_GCM, READERS, mutated, outcome, route_of
from velmor._internal.keys import convert_key
from velmor.aes import core as aes
from velmor.errors import DecryptionError
from velmor.hybrid import core as hybrid
from velmor.rsa import core as rsa

# Reproducible in CI: no example database, the same examples on every run.
PROPERTY = settings(max_examples=300, deadline=None, database=None, derandomize=True,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much,
                                           HealthCheck.data_too_large])
rows = pytest.mark.parametrize("reader", READERS, ids=lambda r: r.name)
# The post-quantum rows run against the binding double.
pytestmark = pytest.mark.usefixtures("oqs_binding")


def budget(reader, default):
    return settings(PROPERTY, max_examples=reader.budget or default)


def check_hostile(reader, args):
    got = outcome(reader.call, *args)
    if got[0] == "value":
        assert isinstance(got[1], reader.result_type), got
    else:
        assert issubclass(got[1], reader.raises), f"{reader.name}{args!r} raised {got}"
    if reader.model is not None:
        assert got == outcome(reader.model, *args), args
    return got


@rows
def test_valid_input_gives_the_answer(reader):
    @budget(reader, 300)
    @given(case=reader.valid)
    def prop(case):
        assert reader.call(*case.args) == case.expected

    prop()


@rows
def test_arbitrary_input_gives_a_value_or_an_allowed_error(reader):
    @budget(reader, 300)
    @given(args=reader.arbitrary)
    def prop(args):
        check_hostile(reader, args)

    for args in reader.examples:
        prop = example(args=args)(prop)

    prop()


@rows
def test_mutated_input_gives_a_value_or_an_allowed_error(reader):
    @budget(reader, 500)
    @given(case=mutated(reader))
    def prop(case):
        got = check_hostile(reader, case.args)
        if reader.authenticated and got[0] == "value":
            # Authentication: a changed input never opens to anything but the original.
            assert got[1] == case.expected
        if reader.unforgeable and case.expected is True:
            # A valid triple with its message, signature or key changed never verifies.
            assert got != ("value", True), case.args

    prop()


@PROPERTY
@given(key=st.text() | st.binary(max_size=100).map(lambda b: base64.b64encode(b).decode()))
def test_convert_key_never_refuses_a_key_text(key):
    # Any text the UTF-8 encoding takes (no lone surrogates) is a key of 32 bytes.
    out = convert_key(key)
    assert type(out) is bytes and len(out) == 32


def test_every_bit_flip_and_cut_of_a_blob_is_refused():
    # Exhaustive over one short blob: each of its bits, each proper prefix and suffix.
    blob = aes.encrypt_bytes(b"attack at dawn", "k")
    changed = [blob[:i] + bytes([blob[i] ^ (1 << b)]) + blob[i + 1:]
               for i in range(len(blob)) for b in range(8)]
    changed += [blob[:i] for i in range(len(blob))] + [blob[i:] for i in range(1, len(blob))]
    for bad in changed:
        with pytest.raises(DecryptionError) as info:
            aes.decrypt_bytes(bad, "k")
        assert str(info.value) == NOT_GCM and info.value.__cause__ is None


# Blobs around the recognition boundaries: the two magics, lengths 0 to 600.
_HEADS = st.sampled_from([b"", b"HYBR", NET_MAGIC, b"HYB", b"\x00\x02\x00", b"\x00\x02\x00\x01",
                          b"HYBR\x00\x00\x02\x00"])


@PROPERTY
@given(head=_HEADS, tail=st.binary(max_size=600) | st.integers(0, 600).map(bytes))
def test_decrypt_auto_hands_each_blob_to_the_reader_its_header_names(head, tail):
    # The recognition alone, against the reference route: each reader is replaced by one that
    # reports its name and the blob and key it was given.
    blob = head + tail
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(hybrid, "_legacy_decrypt", lambda b, k: ("legacy", b, k))
        mp.setattr(hybrid, "_net_decrypt", lambda b, k: ("net", b, k))
        mp.setattr(rsa, "_decrypt_oaep", lambda b, k: ("oaep", b, k))
        assert hybrid.decrypt_auto(blob, "key") == (route_of(blob), blob, "key")
        assert rsa.decrypt_bytes(blob, "key") == (route_of(blob), blob, "key")


def test_forged_envelope_with_an_aes_128_key_opens():
    # Whoever holds the public key can seal under any AES key length the primitive takes; the
    # reader hands the unwrapped key over unchanged, so this opens (and a 20-byte key fails in
    # the primitive, unchanged).
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM
    pair = rsa_support.rsa_4096()
    key, nonce = bytes(range(16)), bytes(12)
    sealed = AESGCM(key).encrypt(nonce, b"forged", None)
    blob = rsa_support.forged_envelope(pair.public_pem, key, nonce + sealed[-16:] + sealed[:-16])
    assert hybrid.decrypt_auto(blob, pair.private_pem) == b"forged"
    blob = rsa_support.forged_envelope(pair.public_pem, bytes(20), bytes(28))
    with pytest.raises(ValueError):
        hybrid.decrypt_auto(blob, pair.private_pem)
