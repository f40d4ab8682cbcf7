"""The key-text rule of velmor._internal.keys."""
import base64
import hashlib
import os

import pytest

from velmor._internal import keys


def sha(data):
    return hashlib.sha256(data).digest()


RAW32 = bytes(range(32))
RAW64 = bytes(range(64))



@pytest.mark.parametrize("text, expected", [
    ("", sha(b"")),
    (base64.b64encode(RAW32).decode(), RAW32),
    (base64.b64encode(RAW64).decode(), RAW64[:32]),
    ("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff",
     sha(base64.b64decode("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"))),
    ("abcdefgh", sha(base64.b64decode("abcdefgh"))),
    ("abcdefg", sha(b"abcdefg")),
    ("abcdefghi", sha(b"abcdefghi")),
    (base64.b64encode(RAW32).decode() + "\n", sha(base64.b64encode(RAW32) + b"\n")),
    (" abc", sha(b" abc")),
    ("ÄÖÜß", sha("ÄÖÜß".encode())),
    ("ab-_", sha(b"ab-_")),
    ("correct horse battery staple", sha(b"correct horse battery staple")),
])
def test_convert_key_table(text, expected):
    assert keys.convert_key(text) == expected


def test_hex_key_is_not_its_spelled_bytes():
    hex_text = RAW32.hex()
    assert keys.convert_key(hex_text) != RAW32
    assert len(base64.b64decode(hex_text)) == 48


def test_64_byte_keys_share_their_first_half():
    a = RAW32 + os.urandom(32)
    b = RAW32 + os.urandom(32)
    as_text = lambda raw: base64.b64encode(raw).decode()
    assert keys.convert_key(as_text(a)) == keys.convert_key(as_text(b)) == keys.convert_key(as_text(RAW32))


@pytest.mark.parametrize("text, expected", [
    ("", None), ("abc", None), ("ab c", None), ("YQ==", b"a"), ("YQ=a", None), ("ÄÖÜß", None),
])
def test_try_base64(text, expected):
    assert keys._try_base64(text) == expected


def test_host_errors_pass():
    with pytest.raises(TypeError):
        keys.convert_key(None)
    with pytest.raises(UnicodeEncodeError):
        keys.convert_key("\ud800")


def test_rebinding_the_size_changes_the_rule(monkeypatch):
    monkeypatch.setattr(keys, "AES_KEY_SIZE", 16)
    raw16 = bytes(range(16))
    assert keys.convert_key(base64.b64encode(raw16).decode()) == raw16
    assert keys.convert_key(base64.b64encode(RAW32).decode()) == RAW32[:16]


def test_missing_names_fail_where_the_host_would(monkeypatch):
    import binascii
    monkeypatch.delattr(keys, "binascii")
    with pytest.raises(NameError) as info:
        keys.convert_key("YQ=a")  # four characters the strict decoder refuses
    assert isinstance(info.value.__context__, binascii.Error)
    monkeypatch.delattr(keys, "hashlib")
    with pytest.raises(NameError, match="'hashlib'"):
        keys.convert_key("\ud800")  # the hash is found before the text is encoded


def test_module_attributes_are_read_at_each_call(monkeypatch):
    # The runtime keeps module attribute reads between calls; a rebinding must still be seen.
    import base64 as host_base64
    raw = bytes(range(32))
    text = host_base64.b64encode(raw).decode()
    assert keys.convert_key(text) == raw
    monkeypatch.setattr(host_base64, "b64decode", lambda s, validate: bytes(64))
    assert keys.convert_key(text) == bytes(32)
    monkeypatch.undo()
    assert keys.convert_key(text) == raw
