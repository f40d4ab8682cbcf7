"""Password records: hashing, verification, rehash advice, and the coroutine module."""

import asyncio
import base64
import datetime as host_datetime
import json
import os
import re
import sys
import types
from concurrent.futures import ThreadPoolExecutor

import pytest
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC
from hypothesis import given, settings
from hypothesis import strategies as st

import velmor
import velmor.password
from velmor.errors import InvalidInputError, VelMorError
from velmor.password import core

DEFAULT = 210000
DROP = object()  # marks a member to remove


def pbkdf2(password, salt, iterations, length=64, algorithm=hashes.SHA512):
    kdf = PBKDF2HMAC(algorithm=algorithm(), length=length, salt=salt, iterations=iterations)
    return kdf.derive(password.encode("utf-8"))


def b64(data):
    return base64.b64encode(data).decode("ascii")


def edited(text, **changes):
    """The record `text` with members replaced; `parameters__x` names a member of parameters."""
    obj = json.loads(text)
    for key, value in changes.items():
        target = obj
        if key.startswith("parameters__"):
            target, key = obj["parameters"], key[len("parameters__"):]
        if value is DROP:
            del target[key]
        else:
            target[key] = value
    return json.dumps(obj)


def forged(password="pw", iterations=3, length=64, algorithm=hashes.SHA512, **changes):
    """A record written by hand, the way another producer of the format could."""
    salt = os.urandom(32)
    key = pbkdf2(password, salt, iterations, length, algorithm)
    text = json.dumps({"algorithm": "pbkdf2", "version": 2, "salt": b64(salt), "hash": b64(key),
                       "parameters": {"hashAlgorithm": algorithm.name.upper(),
                                      "iterations": iterations, "outputLength": length,
                                      "saltLength": 32}})
    return edited(text, **changes)


@pytest.fixture(scope="module")
def default_record():
    return core.hash_password("s3cret")


@pytest.fixture(scope="module")
def low_record():
    """A record of the right password "pw" at a low count: every False below is the defect's."""
    text = core.hash_password("pw", 3)
    assert core.verify_password("pw", text) is True
    return text


@pytest.fixture
def no_derivation(monkeypatch):
    def refuse(*args):
        raise AssertionError(f"derivation ran with {args!r}")
    monkeypatch.setattr(core, "_derive", refuse)


# --- the record ------------------------------------------------------------------------------

def test_default_record(default_record):
    text = default_record
    assert len(text) == 316
    assert text.isascii() and " " not in text and "\n" not in text
    assert text.startswith('{"algorithm":"pbkdf2",') and text.endswith(',"version":2}')
    obj = json.loads(text)
    assert text == json.dumps(obj, sort_keys=True, separators=(",", ":"))
    assert obj["parameters"] == {"hashAlgorithm": "SHA512", "iterations": DEFAULT,
                                 "outputLength": 64, "saltLength": 32}
    assert len(obj["salt"]) == 44 and obj["salt"].endswith("=")
    assert len(obj["hash"]) == 88 and obj["hash"].endswith("==")
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", obj["createdUtc"])
    stamp = host_datetime.datetime.strptime(obj["createdUtc"], "%Y-%m-%dT%H:%M:%SZ")
    now = host_datetime.datetime.now(host_datetime.timezone.utc).replace(tzinfo=None)
    assert abs((now - stamp).total_seconds()) < 60
    assert core.verify_password("s3cret", text) is True
    assert core.verify_password("s3cret!", text) is False
    assert core.needs_rehash(text) is False


@pytest.mark.parametrize("iterations", [1, 1000, 12345])
def test_record_holds_the_pbkdf2_key(iterations):
    text = core.hash_password("pässwörd", iterations)
    obj = json.loads(text)
    assert len(text) == 310 + len(str(iterations))
    assert obj["parameters"]["iterations"] == iterations
    salt = base64.b64decode(obj["salt"], validate=True)
    assert len(salt) == 32
    assert base64.b64decode(obj["hash"], validate=True) == pbkdf2("pässwörd", salt, iterations)
    assert core.verify_password("pässwörd", text) is True
    assert core.needs_rehash(text) is True


def test_records_of_one_password_differ():
    a, b = core.hash_password("pw", 2), core.hash_password("pw", 2)
    oa, ob = json.loads(a), json.loads(b)
    assert oa["salt"] != ob["salt"] and oa["hash"] != ob["hash"]
    assert core.verify_password("pw", a) and core.verify_password("pw", b)


def test_clock_read_after_derivation_and_cut_to_the_second(monkeypatch):
    events = []
    real_derive = core._derive

    class Clock:
        @staticmethod
        def now(tz):
            events.append(("clock", tz))
            return host_datetime.datetime(2030, 1, 2, 3, 4, 59, 999999, tzinfo=tz)

    def derive(*args):
        events.append(("derive", args[2:]))
        return real_derive(*args)

    monkeypatch.setattr(core, "datetime", Clock)
    monkeypatch.setattr(core, "_derive", derive)
    obj = json.loads(core.hash_password("pw", 2))
    assert obj["createdUtc"] == "2030-01-02T03:04:59Z"
    assert events == [("derive", (2, 64, "SHA512")), ("clock", host_datetime.timezone.utc)]


def test_names_are_read_when_used(monkeypatch):
    monkeypatch.setattr(core, "OUTPUT_LENGTH", 32)
    monkeypatch.setattr(core, "SALT_LENGTH", 16)
    monkeypatch.setattr(core, "DEFAULT_ITERATIONS", 5)
    obj = json.loads(core.hash_password("pw", 2))
    assert len(base64.b64decode(obj["hash"])) == 32 and len(base64.b64decode(obj["salt"])) == 16
    assert obj["parameters"]["outputLength"] == 32 and obj["parameters"]["saltLength"] == 16
    # The default was fixed when the module loaded.
    assert core.hash_password.__defaults__ == (DEFAULT,)
    assert velmor.password.hash.__defaults__ == (DEFAULT,)


def test_module_frame():
    names = [k for k in vars(core) if not k.startswith("__")]
    assert names == [
        "annotations", "base64", "hmac", "json", "os", "datetime", "timezone", "hashes",
        "PBKDF2HMAC", "InvalidInputError", "VelMorError", "ALGORITHM", "VERSION",
        "DEFAULT_ITERATIONS", "SALT_LENGTH", "OUTPUT_LENGTH", "HASH_ALGORITHM",
        "UPGRADE_THRESHOLD", "MAX_ITERATIONS", "MAX_OUTPUT_LENGTH", "_HASHES", "_derive",
        "hash_password", "_parse", "verify_password", "needs_rehash"]
    assert list(core._HASHES.items()) == [("SHA512", hashes.SHA512), ("SHA256", hashes.SHA256)]
    assert core.datetime is host_datetime.datetime and core.timezone is host_datetime.timezone
    assert core.InvalidInputError is InvalidInputError and core.VelMorError is VelMorError
    assert (core.ALGORITHM, core.VERSION, core.HASH_ALGORITHM) == ("pbkdf2", 2, "SHA512")
    assert (core.SALT_LENGTH, core.OUTPUT_LENGTH, core.UPGRADE_THRESHOLD) == (32, 64, DEFAULT)
    assert not hasattr(core, "__all__")
    assert core.verify_password.__annotations__ == {
        "password": "str", "hash_json": "str", "return": "bool"}
    assert core._parse.__annotations__["return"] == "dict | None"


# --- hashing errors ---------------------------------------------------------------------------

@pytest.mark.parametrize("password", ["", None, b""])
def test_hash_rejects_empty_password(password):
    with pytest.raises(InvalidInputError) as info:
        core.hash_password(password, 1)
    assert info.value.args == ("Password cannot be empty",)
    assert info.value.__cause__ is None


@pytest.mark.parametrize("iterations", [0, -1, 10 * DEFAULT + 1, 10**40, 0.5])
def test_hash_refuses_a_count_the_verifier_refuses(no_derivation, iterations):
    with pytest.raises(InvalidInputError) as info:
        core.hash_password("pw", iterations)
    assert info.value.args == ("Iterations must be between 1 and 2100000",)
    assert info.value.__cause__ is None


def test_records_at_the_bounds_verify(monkeypatch):
    top = core.hash_password("pw", core.MAX_ITERATIONS)
    assert json.loads(top)["parameters"]["iterations"] == 10 * DEFAULT
    assert core.verify_password("pw", top) is True
    assert core.verify_password("pw", core.hash_password("pw", 1)) is True
    # The bound is the verifier's, read when used.
    monkeypatch.setattr(core, "MAX_ITERATIONS", 5)
    assert core.verify_password("pw", core.hash_password("pw", 5)) is True
    with pytest.raises(InvalidInputError, match="^Iterations must be between 1 and 5$"):
        core.hash_password("pw", 6)


# --- verification -----------------------------------------------------------------------------

@pytest.mark.parametrize("password", ["", None])
@pytest.mark.parametrize("hash_json", [None, 42, object(), "not json"])
def test_verify_empty_password_looks_at_nothing(password, hash_json):
    assert core.verify_password(password, hash_json) is False


@pytest.mark.parametrize("hash_json", [
    "", "not json", "{", "[1, 2]", '"text"', "42", "true", "null",
])
def test_unreadable_text(hash_json):
    assert core.verify_password("pw", hash_json) is False
    assert core.needs_rehash(hash_json) is True


@pytest.mark.parametrize("changes", [
    {"salt": DROP}, {"hash": DROP}, {"parameters": DROP},
    {"parameters": [3, 64]}, {"parameters": "iterations"},
    {"parameters__iterations": DROP}, {"parameters__outputLength": DROP},
    {"salt": "not*base64="}, {"salt": "AAAA\nAAAA"}, {"salt": "AAA"}, {"hash": "QQ"},
    {"salt": 12}, {"hash": None}, {"salt": "ÄÄÄÄ"},
    {"parameters__iterations": "abc"}, {"parameters__iterations": None},
    {"parameters__iterations": [3]}, {"parameters__iterations": float("nan")},
    {"parameters__outputLength": "sixty-four"}, {"parameters__outputLength": {}},
    {"parameters__hashAlgorithm": "MD5"}, {"parameters__hashAlgorithm": None},
    {"parameters__hashAlgorithm": "SHA-512"}, {"parameters__hashAlgorithm": "sha3_512"},
    {"parameters__hashAlgorithm": ""},
    {"parameters__iterations": 4}, {"parameters__outputLength": 32},
])
def test_unusable_record_is_false(low_record, changes):
    assert core.verify_password("pw", edited(low_record, **changes)) is False


def test_wrong_password_is_false(low_record):
    assert core.verify_password("pW", low_record) is False
    assert core.verify_password("pw ", low_record) is False


def test_unencodable_password_is_false(low_record):
    assert core.verify_password("\ud800", low_record) is False


def test_members_that_are_not_read(low_record):
    text = edited(low_record, algorithm="scrypt", version="x", createdUtc=None,
                  parameters__saltLength=-1)
    assert core.verify_password("pw", text) is True
    assert core.verify_password("pw", low_record.encode("utf-8")) is True


@pytest.mark.parametrize("name", ["sha256", "SHA256", "Sha256"])
def test_sha256_record_in_any_case(name):
    text = forged(algorithm=hashes.SHA256, parameters__hashAlgorithm=name)
    assert core.verify_password("pw", text) is True
    assert core.verify_password("pw", edited(text, parameters__hashAlgorithm="SHA512")) is False


def test_missing_hash_name_means_sha512():
    assert core.verify_password("pw", forged(parameters__hashAlgorithm=DROP)) is True
    sha256 = forged(algorithm=hashes.SHA256, parameters__hashAlgorithm=DROP)
    assert core.verify_password("pw", sha256) is False


def test_digit_string_count_is_read_as_number():
    assert core.verify_password("pw", forged(iterations=3, parameters__iterations="3")) is True
    assert core.verify_password("pw", forged(parameters__outputLength="64")) is True
    text = edited(core.hash_password("pw", 2), parameters__iterations=str(DEFAULT))
    assert core.needs_rehash(text) is False


@pytest.mark.parametrize("member", ["parameters__iterations", "parameters__outputLength"])
def test_infinite_number_is_an_unreadable_record(low_record, member):
    # 1e400 is valid JSON that parses as infinity, which int() refuses with OverflowError.
    text = low_record.replace('"iterations":3', '"iterations":1e400') \
        if member == "parameters__iterations" else edited(low_record, **{member: float("inf")})
    assert core.verify_password("pw", text) is False
    assert core.needs_rehash(text) is True


@pytest.mark.parametrize("text", [
    "[" * 100_000,                       # the parser's RecursionError
    "[" * 100_000 + "]" * 100_000,       # valid JSON, nested past what the parser follows
    '{"a":' * 100_000,
    '{"parameters":{"iterations":' + "9" * 5000 + "}}",  # past the host's digit limit
    b'{"salt":"\xff"}',                  # bytes that are no UTF-8
])
def test_text_the_parser_cannot_read_is_an_unreadable_record(text):
    assert core.verify_password("pw", text) is False
    assert core.needs_rehash(text) is True
    assert core._parse(text) is None


def test_none_record_raises_parser_type_error():
    with pytest.raises(TypeError):
        core.verify_password("pw", None)
    with pytest.raises(TypeError):
        core.needs_rehash(None)


def test_comparison_is_constant_time(monkeypatch, low_record):
    import hmac
    calls = []

    def compare_digest(a, b):
        calls.append((a, b))
        return hmac.compare_digest(a, b)

    monkeypatch.setattr(core, "hmac", types.SimpleNamespace(compare_digest=compare_digest))
    assert core.verify_password("pw", low_record) is True
    stored = base64.b64decode(json.loads(low_record)["hash"])
    assert calls == [(stored, stored)]


def test_derive():
    salt = b"\x01" * 16
    assert core._derive("pw", salt, 3, 32, "sha256") == pbkdf2("pw", salt, 3, 32, hashes.SHA256)
    assert core._derive("pw", salt, 3, 80, "SHA512") == pbkdf2("pw", salt, 3, 80)
    with pytest.raises(VelMorError) as info:
        core._derive("pw", salt, 1, 32, "Sha-1")
    assert type(info.value) is VelMorError
    assert info.value.args == ("Unsupported hash algorithm: Sha-1",)
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_threads_at_once():
    texts = {f"pw{i}": core.hash_password(f"pw{i}", 50) for i in range(8)}
    jobs = [(pw, text, other) for pw, text in texts.items() for other in (pw, pw + "x")] * 4
    with ThreadPoolExecutor(8) as pool:
        answers = list(pool.map(lambda j: core.verify_password(j[2], j[1]), jobs))
    assert answers == [j[0] == j[2] for j in jobs]


# --- rehash advice ----------------------------------------------------------------------------

@pytest.mark.parametrize("changes, expected", [
    ({"parameters__iterations": DEFAULT - 1}, True),
    ({"parameters__iterations": DEFAULT}, False),
    ({"parameters__iterations": 10**6}, False),
    ({"parameters__iterations": "abc"}, True),
    ({"parameters__iterations": None}, True),
    ({"parameters__iterations": DROP}, True),
    ({"parameters": DROP}, True),
    ({"parameters": [DEFAULT]}, True),
    ({"parameters__iterations": float("nan")}, True),
    # Past the count, only parameters that verification refuses call for a new record.
    ({"parameters__iterations": DEFAULT, "parameters__hashAlgorithm": "SHA256",
      "version": 1, "salt": DROP}, False),
    ({"parameters__iterations": DEFAULT, "parameters__outputLength": "abc"}, True),
    ({"parameters__iterations": DEFAULT, "parameters__outputLength": DROP}, True),
])
def test_needs_rehash(low_record, changes, expected):
    assert core.needs_rehash(edited(low_record, **changes)) is expected


@pytest.mark.parametrize("changes", [
    {"parameters__outputLength": float("inf")}, {"parameters__outputLength": "x"},
    {"parameters__outputLength": 0}, {"parameters__outputLength": 999999},
    {"parameters__outputLength": DROP}, {"parameters__outputLength": None},
    {"parameters__outputLength": [64]},
    {"parameters__hashAlgorithm": "MD5"}, {"parameters__hashAlgorithm": None},
])
def test_parameters_that_verification_refuses_need_a_new_record(low_record, changes):
    text = edited(low_record, parameters__iterations=DEFAULT, **changes)
    assert core.verify_password("pw", text) is False
    assert core.needs_rehash(text) is True


def test_threshold_is_read_when_used(monkeypatch, low_record):
    monkeypatch.setattr(core, "UPGRADE_THRESHOLD", 3)
    assert core.needs_rehash(low_record) is False


# --- bounds on what a record may ask for -----------------------------------------------------

@pytest.mark.parametrize("changes", [
    {"parameters__iterations": 10 * DEFAULT + 1},
    {"parameters__iterations": 10**15},
    {"parameters__iterations": str(10**12)},
    {"parameters__iterations": 0},
    {"parameters__iterations": -1},
    {"parameters__outputLength": 129},
    {"parameters__outputLength": 2**31},
    {"parameters__outputLength": 0},
    {"parameters__outputLength": -64},
])
def test_out_of_bounds_record_is_refused_without_deriving(low_record, no_derivation, changes):
    text = edited(low_record, **changes)
    assert core.verify_password("pw", text) is False
    # With an upgraded count only the bound can make the advice True.
    changes.setdefault("parameters__iterations", DEFAULT)
    assert core.needs_rehash(edited(low_record, **changes)) is True


def test_bounds_are_inclusive(monkeypatch):
    assert (core.MAX_ITERATIONS, core.MAX_OUTPUT_LENGTH) == (10 * DEFAULT, 128)
    # Read when used, so a lowered limit shows the edge without a long derivation.
    monkeypatch.setattr(core, "MAX_ITERATIONS", 5)
    assert core.verify_password("pw", forged(iterations=5, length=128)) is True
    assert core.verify_password("pw", forged(iterations=6)) is False
    assert core.verify_password("pw", forged(length=129)) is False
    monkeypatch.setattr(core, "UPGRADE_THRESHOLD", 5)
    assert core.needs_rehash(forged(iterations=5, length=128)) is False
    assert core.needs_rehash(forged(iterations=6)) is True


def test_empty_key_record_does_not_open_for_any_password():
    text = json.dumps({"salt": "", "hash": "", "parameters": {"iterations": 1, "outputLength": 0}})
    assert core.verify_password("anything", text) is False


# --- untrusted records never crash -----------------------------------------------------------

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=12),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=6), inner, max_size=3),
    max_leaves=8)
members = st.sampled_from(["salt", "hash", "parameters", "parameters__iterations",
                           "parameters__outputLength", "parameters__hashAlgorithm"])


@settings(max_examples=200, deadline=None)
@given(changes=st.dictionaries(members, json_values | st.just(DROP), max_size=3))
def test_mangled_records_answer_a_boolean(low_record, changes):
    if "parameters" in changes:
        changes = {k: v for k, v in changes.items() if not k.startswith("parameters__")}
    text = edited(low_record, **changes)
    saved = core.MAX_ITERATIONS
    core.MAX_ITERATIONS = 1000  # keeps each derivation short
    try:
        assert core.verify_password("pw", text) in (True, False)
        assert core.needs_rehash(text) in (True, False)
    finally:
        core.MAX_ITERATIONS = saved


@settings(max_examples=200, deadline=None)
@given(text=st.text(max_size=40))
def test_arbitrary_text_answers_a_boolean(text):
    assert core.verify_password("pw", text) is False
    assert core.needs_rehash(text) in (True, False)


# --- the coroutine module --------------------------------------------------------------------

def test_awaited_round_trip():
    async def main():
        pw = velmor.password
        record = await pw.hash("s3cret")
        low = await pw.hash("s3cret", 1000)
        return (record, low, await pw.verify("s3cret", record), await pw.verify("wrong", record),
                await pw.verify("", record), await pw.needs_rehash(record),
                await pw.needs_rehash(low), await pw.verify("s3cret", low))

    record, low, ok, wrong, empty, rehash_default, rehash_low, ok_low = asyncio.run(main())
    assert json.loads(record)["parameters"]["iterations"] == DEFAULT
    assert json.loads(low)["parameters"]["iterations"] == 1000
    assert (ok, wrong, empty) == (True, False, False)
    assert (rehash_default, rehash_low, ok_low) == (False, True, True)


def test_awaited_empty_password_raises():
    coroutine = velmor.password.hash("")
    with pytest.raises(InvalidInputError, match="^Password cannot be empty$"):
        asyncio.run(coroutine)


def test_coroutine_runs_core_late_with_positional_arguments(monkeypatch):
    calls = []

    def spy(name):
        def fn(*args, **kwargs):
            calls.append((name, args, kwargs))
            return name
        return fn

    for name in ("hash_password", "verify_password", "needs_rehash"):
        monkeypatch.setattr(core, name, spy(name))
    urandom = []
    monkeypatch.setattr(os, "urandom", lambda n: urandom.append(n) or b"\0" * n)

    unawaited = velmor.password.hash("pw")
    unawaited.close()
    assert calls == [] and urandom == []

    async def main():
        return (await velmor.password.hash("pw"),
                await velmor.password.verify(hash_json="rec", password="pw"),
                await velmor.password.needs_rehash("rec"))

    assert asyncio.run(main()) == ("hash_password", "verify_password", "needs_rehash")
    assert calls == [("hash_password", ("pw", DEFAULT), {}),
                     ("verify_password", ("pw", "rec"), {}),
                     ("needs_rehash", ("rec",), {})]


def test_coroutine_module_surface():
    pw = velmor.password
    assert pw.__all__ == ["hash", "verify", "needs_rehash", "core"]
    assert pw.core is sys.modules["velmor.password.core"] and pw.asyncio is asyncio
    assert [k for k in vars(pw) if k in ("annotations", "asyncio", "core", "hash", "verify",
                                         "needs_rehash", "__all__")] == [
        "annotations", "asyncio", "core", "hash", "verify", "needs_rehash", "__all__"]
    assert pw.hash.__annotations__ == {"password": "str", "iterations": "int", "return": "str"}
    assert pw.needs_rehash.__annotations__ == {"hash_json": "str", "return": "bool"}
    with pytest.raises(TypeError):
        pw.verify("pw")
    assert velmor.password is pw and "password" in velmor.__all__


def test_names_of_the_handlers_fail_where_the_host_would(monkeypatch, low_record):
    no_salt = edited(low_record, salt=DROP)
    with monkeypatch.context() as m:
        m.delattr(core, "VelMorError")  # read with the rest of the handler's classes
        with pytest.raises(NameError) as info:
            core.verify_password("pw", no_salt)
        assert isinstance(info.value.__context__, KeyError)
    with monkeypatch.context() as m:
        m.delattr(core, "base64")  # the decoder is found before the member is read
        with pytest.raises(NameError, match="'base64'"):
            core.verify_password("pw", no_salt)
    with monkeypatch.context() as m:
        m.setattr(core, "json", types.SimpleNamespace(loads=json.loads))
        with pytest.raises(AttributeError) as info:
            core.needs_rehash("not json")
        assert isinstance(info.value.__context__, json.JSONDecodeError)
    with monkeypatch.context() as m:
        m.delattr(core, "_HASHES")
        with pytest.raises(NameError, match="'_HASHES'"):
            core._derive("pw", b"salt", 1, 8, None)
