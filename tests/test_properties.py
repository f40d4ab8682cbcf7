"""Readers of untrusted input under arbitrary and mutated input.

Every row of readers.READERS gets the same three properties: valid input gives the right
answer; arbitrary input gives a value of the reader's result type or one of its allowed
exceptions (and exactly what the reference model says, where the row has one); and so do
valid inputs with the untrusted argument mutated.
"""
import base64

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from readers import NOT_GCM, READERS, mutated, outcome
from velmor._internal.keys import convert_key
from velmor.aes import core as aes
from velmor.errors import DecryptionError

# Reproducible in CI: no example database, the same examples on every run.
PROPERTY = settings(max_examples=300, deadline=None, database=None, derandomize=True,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
rows = pytest.mark.parametrize("reader", READERS, ids=lambda r: r.name)


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
    @PROPERTY
    @given(case=reader.valid)
    def prop(case):
        assert reader.call(*case.args) == case.expected

    prop()


@rows
def test_arbitrary_input_gives_a_value_or_an_allowed_error(reader):
    @PROPERTY
    @given(args=reader.arbitrary)
    def prop(args):
        check_hostile(reader, args)

    for args in reader.examples:
        prop = example(args=args)(prop)

    prop()


@rows
def test_mutated_input_gives_a_value_or_an_allowed_error(reader):
    @settings(PROPERTY, max_examples=500)
    @given(case=mutated(reader))
    def prop(case):
        got = check_hostile(reader, case.args)
        if reader.authenticated and got[0] == "value":
            # Authentication: a changed input never opens to anything but the original.
            assert got[1] == case.expected

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
