"""The table of readers of untrusted input, shared by the property, thread and leak tests.

A reader is one public function that takes data a caller may have received from anyone. Each
row of READERS says how to call it, how to make valid inputs (with the answer they must give),
how to make hostile ones, and which exceptions it may raise for them. To cover a new reader,
add a row; test_properties, test_threads and test_leaks pick it up.

Hostile inputs are of two kinds: arbitrary arguments, and valid ones with the untrusted
argument mutated (bits flipped, cut short, lengthened, bytes inserted, and for JSON records
members swapped, dropped or replaced). Where a row has a `model` (a reference written in
Python from the documented rules), every hostile outcome must equal the model's outcome,
exception type and message included.
"""
from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import json
from dataclasses import dataclass
from typing import Any, Callable

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC
from hypothesis import strategies as st

from velmor._internal.keys import convert_key
from velmor.aes import core as aes
from velmor.errors import DecryptionError, VelMorError
from velmor.password import core as password

NOT_GCM = ("AES decryption failed: data is not valid AES-GCM (legacy AES-CBC+HMAC not yet "
           "supported, or wrong key/tampered data).")
# Records made here use tiny counts so that thousands of verifications stay cheap.
LOW_ITERATIONS = st.integers(1, 3)


@dataclass(frozen=True)
class Case:
    args: tuple
    expected: Any


@dataclass(frozen=True)
class Reader:
    name: str
    call: Callable[..., Any]
    valid: st.SearchStrategy[Case]            # inputs with the answer they must give
    arbitrary: st.SearchStrategy[tuple]       # argument tuples from nowhere
    raises: tuple[type[BaseException], ...]   # all a hostile input may raise
    untrusted: int = 0                        # the argument that mutations change
    mutators: tuple = ()                      # extra mutators of the untrusted argument
    model: Callable[..., Any] | None = None   # reference: returns the value or raises
    result_type: type | tuple = object        # every value returned has this type
    authenticated: bool = False               # a mutated input opens to the original or fails
    coroutine: Callable[..., Any] | None = None  # the awaitable form, if any
    examples: tuple = ()                      # hostile argument tuples always tried


# ---------------------------------------------------------------------------------------------
# Outcomes

def outcome(fn, *args):
    """('value', v) or ('raise', type, message) of one call; only Exception is caught."""
    try:
        return ("value", fn(*args))
    except Exception as e:  # noqa: BLE001 - the point is to see every kind
        return ("raise", type(e), str(e))


# ---------------------------------------------------------------------------------------------
# Mutations. Each takes a draw function and a value and returns a value that differs from it.

def _flip(draw, data: bytes) -> bytes:
    if not data:
        return b"\x00"
    out = bytearray(data)
    for _ in range(draw(st.integers(1, 3))):
        i = draw(st.integers(0, len(out) - 1))
        out[i] ^= 1 << draw(st.integers(0, 7))
    return bytes(out) if bytes(out) != data else data + b"\x00"


def _truncate(draw, data: bytes) -> bytes:
    if not data:
        return b"\x00"
    cut = draw(st.integers(0, len(data) - 1))
    return data[:cut] if draw(st.booleans()) else data[len(data) - cut:]


def _extend(draw, data: bytes) -> bytes:
    extra = draw(st.binary(min_size=1, max_size=32))
    return data + extra if draw(st.booleans()) else extra + data


def _insert(draw, data: bytes) -> bytes:
    # At most two bytes, so a digit string in a record grows by two digits at most.
    at = draw(st.integers(0, len(data)))
    return data[:at] + draw(st.binary(min_size=1, max_size=2)) + data[at:]


BYTE_MUTATIONS = (_flip, _truncate, _extend, _insert)


def _on_text(mutation):
    """A byte mutation applied to the UTF-8 form of a text (invalid bytes become U+FFFD)."""
    def mutate(draw, text: str) -> str:
        return mutation(draw, text.encode("utf-8")).decode("utf-8", "replace")
    mutate.__name__ = f"text{mutation.__name__}"
    return mutate


def _inside_base64(mutation):
    """A byte mutation of the blob that a Base64 text carries, encoded again."""
    def mutate(draw, text: str) -> str:
        return base64.b64encode(mutation(draw, base64.b64decode(text))).decode("ascii")
    mutate.__name__ = f"b64{mutation.__name__}"
    return mutate


# JSON records: the paths a reader looks at, and the values put there.
_JSON = st.recursive(
    st.none() | st.booleans() | st.integers(-2**70, 2**70) | st.floats(allow_nan=True)
    | st.text(max_size=12),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=8), inner, max_size=3),
    max_leaves=6)
# Iteration counts a hostile record may state: cheap ones, ones past the bound, and non-numbers.
_COUNTS = (st.integers(-3, 40) | st.integers(password.MAX_ITERATIONS + 1, 10**40)
           | st.sampled_from(["2", " 3 ", "abc", "1e3", "", "0x10", "Infinity"])
           | st.sampled_from([float("inf"), float("-inf"), float("nan"), 2.5, 1e300]) | _JSON)
_PATHS = [("salt",), ("hash",), ("parameters",), ("version",), ("algorithm",), ("createdUtc",),
          ("parameters", "iterations"), ("parameters", "outputLength"),
          ("parameters", "hashAlgorithm"), ("parameters", "saltLength")]


def _locate(obj, path):
    for key in path[:-1]:
        obj = obj.get(key) if isinstance(obj, dict) else None
    return obj if isinstance(obj, dict) else None


def _json_edit(draw, text: str) -> str:
    obj = json.loads(text)
    kind = draw(st.sampled_from(["swap", "drop", "replace", "count", "wrap"]))
    if kind == "swap":
        a, b = draw(st.lists(st.sampled_from(_PATHS), min_size=2, max_size=2, unique=True))
        pa, pb = _locate(obj, a), _locate(obj, b)
        if pa is not None and pb is not None and a[-1] in pa and b[-1] in pb:
            pa[a[-1]], pb[b[-1]] = pb[b[-1]], pa[a[-1]]
    elif kind == "drop":
        path = draw(st.sampled_from(_PATHS))
        parent = _locate(obj, path)
        if parent is not None:
            parent.pop(path[-1], None)
    elif kind == "replace":
        path = draw(st.sampled_from([p for p in _PATHS if p != ("parameters", "iterations")]))
        parent = _locate(obj, path)
        if parent is not None:
            parent[path[-1]] = draw(_JSON)
    elif kind == "count":
        obj["parameters"]["iterations"] = draw(_COUNTS)
    else:
        obj = draw(st.sampled_from([[obj], {"record": obj}, None, str(obj)]))
    out = json.dumps(obj, sort_keys=draw(st.booleans()))
    return out if out != text else out + " "


# ---------------------------------------------------------------------------------------------
# Strategies of inputs

# Key texts: passphrases, strict Base64 of every interesting length, near-Base64, and text with
# lone surrogates (which the UTF-8 encoding refuses).
KEY_TEXTS = (
    st.text(max_size=40)
    | st.binary(max_size=100).map(lambda b: base64.b64encode(b).decode("ascii"))
    | st.sampled_from([32, 64]).flatmap(lambda n: st.binary(min_size=n, max_size=n)).map(
        lambda b: base64.b64encode(b).decode("ascii"))
    | st.binary(min_size=1, max_size=60).map(
        lambda b: base64.urlsafe_b64encode(b).decode("ascii") + "\n")
    | st.tuples(st.text(max_size=4), st.characters(categories=["Cs"]), st.text(max_size=4)).map(
        "".join)
)
KEYS_WITHOUT_SURROGATES = KEY_TEXTS.filter(lambda k: not any(0xD800 <= ord(c) < 0xE000 for c in k))


@st.composite
def _blob_cases(draw):
    data = draw(st.binary(min_size=1, max_size=300))
    key = draw(KEYS_WITHOUT_SURROGATES)
    return Case((aes.encrypt_bytes(data, key), key), data)


@st.composite
def _text_cases(draw):
    text = draw(st.text(min_size=1, max_size=200))
    key = draw(KEYS_WITHOUT_SURROGATES)
    return Case((aes.encrypt_str(text, key), key), text)


PASSWORDS = st.text(min_size=1, max_size=40)


@st.composite
def _verify_cases(draw):
    pw = draw(PASSWORDS)
    record = password.hash_password(pw, draw(LOW_ITERATIONS))
    other = draw(PASSWORDS)
    return Case((other, record), other == pw)


@st.composite
def _rehash_cases(draw):
    count = draw(st.sampled_from([1, 2, 209999, 210000]))
    if count > 3:  # build the record by hand: deriving that many times is not the point here
        record = json.loads(password.hash_password("pw", 1))
        record["parameters"]["iterations"] = count
        return Case((json.dumps(record, sort_keys=True, separators=(",", ":")),), count < 210000)
    return Case((password.hash_password("pw", count),), True)


@st.composite
def _hostile_records(draw):
    """Record-shaped JSON with arbitrary member values, and JSON that is no record at all."""
    if draw(st.booleans()):
        return draw(st.text(max_size=60) | _JSON.map(json.dumps) | st.binary(max_size=60))
    obj = json.loads(password.hash_password("pw", 1))
    for path in draw(st.lists(st.sampled_from(_PATHS), max_size=3, unique=True)):
        parent = _locate(obj, path)
        if parent is not None:
            parent[path[-1]] = draw(_COUNTS if path[-1] == "iterations" else _JSON)
    return json.dumps(obj)


# ---------------------------------------------------------------------------------------------
# Reference models, written from the documented rules

def model_convert_key(key):
    decoded = None
    if len(key) and len(key) % 4 == 0:
        try:
            decoded = base64.b64decode(key, validate=True)
        except (binascii.Error, ValueError):
            decoded = None
    if decoded is None:
        return hashlib.sha256(key.encode("utf-8")).digest()
    if len(decoded) in (32, 64):
        return decoded[:32]
    return hashlib.sha256(decoded).digest()


def model_decrypt_bytes(blob, key):
    aes_key = model_convert_key(key)
    if len(blob) >= 29:
        try:
            return AESGCM(aes_key).decrypt(blob[:12], blob[12:], None)
        except InvalidTag:
            pass
    raise DecryptionError(NOT_GCM)


def model_decrypt_str(text, key):
    try:
        blob = base64.b64decode(text, validate=True)
    except Exception:
        raise DecryptionError("Ciphertext is not valid Base64") from None
    data = model_decrypt_bytes(blob, key)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise DecryptionError("Decrypted data is not valid UTF-8") from None


def _model_parse(text):
    try:
        value = json.loads(text)
    except json.JSONDecodeError:
        return None
    return value if isinstance(value, dict) else None


def _in_bounds(value, limit):
    return 1 <= value <= limit


def model_verify_password(pw, text):
    if not pw:
        return False
    record = _model_parse(text)
    if record is None:
        return False
    try:
        salt = base64.b64decode(record["salt"], validate=True)
        stored = base64.b64decode(record["hash"], validate=True)
        params = record["parameters"]
        count = int(params["iterations"])
        length = int(params["outputLength"])
        name = str(params.get("hashAlgorithm", "SHA512"))
        # Counts and lengths past the bounds answer False without deriving.
        if not (_in_bounds(count, password.MAX_ITERATIONS)
                and _in_bounds(length, password.MAX_OUTPUT_LENGTH)):
            return False
        algorithm = {"SHA512": hashes.SHA512, "SHA256": hashes.SHA256}.get(name.upper())
        if algorithm is None:
            raise VelMorError(f"Unsupported hash algorithm: {name}")
        kdf = PBKDF2HMAC(algorithm=algorithm(), length=length, salt=salt, iterations=count)
        derived = kdf.derive(pw.encode("utf-8"))
    except (KeyError, ValueError, TypeError, VelMorError):
        return False
    return hmac.compare_digest(derived, stored)


def model_needs_rehash(text):
    record = _model_parse(text)
    if record is None:
        return True
    try:
        params = record["parameters"]
        count = int(params["iterations"])
        if count < 210000 or count > password.MAX_ITERATIONS:
            return True
        stated = params.get("outputLength")
        if stated is None:
            return False
        try:
            length = int(stated)
        except (ValueError, TypeError, OverflowError):
            return False
        return not _in_bounds(length, password.MAX_OUTPUT_LENGTH)
    except (KeyError, ValueError, TypeError):
        return True


# ---------------------------------------------------------------------------------------------
# The table

def _aes_rows():
    import velmor.aes as aes_async
    text_mutators = tuple(_inside_base64(m) for m in BYTE_MUTATIONS) + tuple(
        _on_text(m) for m in BYTE_MUTATIONS)
    return [
        Reader("aes.decrypt_bytes", aes.decrypt_bytes, _blob_cases(),
               st.tuples(st.binary(max_size=120), KEY_TEXTS),
               raises=(DecryptionError, UnicodeEncodeError),
               mutators=BYTE_MUTATIONS, model=model_decrypt_bytes, result_type=bytes,
               authenticated=True, coroutine=aes_async.decrypt_bytes),
        Reader("aes.decrypt_str", aes.decrypt_str, _text_cases(),
               st.tuples(st.text(max_size=120)
                         | st.binary(max_size=90).map(lambda b: base64.b64encode(b).decode()),
                         KEY_TEXTS),
               raises=(DecryptionError, UnicodeEncodeError),
               mutators=text_mutators, model=model_decrypt_str, result_type=str,
               authenticated=True, coroutine=aes_async.decrypt),
    ]


def _key_rows():
    return [
        Reader("keys.convert_key", convert_key,
               KEYS_WITHOUT_SURROGATES.map(lambda k: Case((k,), model_convert_key(k))),
               st.tuples(KEY_TEXTS), raises=(UnicodeEncodeError,),
               mutators=tuple(_on_text(m) for m in BYTE_MUTATIONS), model=model_convert_key,
               result_type=bytes),
    ]


def _password_rows():
    import velmor.password as password_async
    record_mutators = tuple(_on_text(m) for m in BYTE_MUTATIONS) + (_json_edit,)
    # What the record parser lets through: UnicodeDecodeError for bytes that are no UTF-8,
    # ValueError for an integer past the host's digit limit, RecursionError for deep nesting;
    # then OverflowError from int() of an infinite count.
    parser_limits = (('{"a":' + "9" * 5000 + "}",), ("[" * 100_000,), ('{"a":' * 100_000,),
                     (b"\xff\xfe{",), ('{"parameters":{"iterations":Infinity}}',),
                     ('{"parameters":{"iterations":NaN}}',))
    allowed = (OverflowError, ValueError, RecursionError)
    return [
        Reader("password.verify_password", password.verify_password, _verify_cases(),
               st.tuples(st.text(max_size=20), _hostile_records()),
               raises=allowed, untrusted=1, mutators=record_mutators,
               model=model_verify_password, result_type=bool, coroutine=password_async.verify,
               examples=tuple(("pw",) + e for e in parser_limits)),
        Reader("password.needs_rehash", password.needs_rehash, _rehash_cases(),
               st.tuples(_hostile_records()), raises=allowed,
               mutators=record_mutators, model=model_needs_rehash, result_type=bool,
               coroutine=password_async.needs_rehash, examples=parser_limits),
    ]


READERS = _key_rows() + _aes_rows() + _password_rows()


def mutators_of(reader: Reader):
    return reader.mutators or BYTE_MUTATIONS


@st.composite
def mutated(draw, reader: Reader):
    """A valid case of `reader` with its untrusted argument changed by one mutation."""
    case = draw(reader.valid)
    mutation = draw(st.sampled_from(mutators_of(reader)))
    args = list(case.args)
    args[reader.untrusted] = mutation(draw, args[reader.untrusted])
    return Case(tuple(args), case.expected)


def samples(strategy, n=40):
    """n examples of a strategy, the same ones on every run (for the thread and leak tests)."""
    from hypothesis import HealthCheck, given, settings
    found = []

    @settings(max_examples=n, deadline=None, database=None, derandomize=True,
              suppress_health_check=list(HealthCheck), phases=["generate"])
    @given(strategy)
    def collect(value):
        found.append(value)

    collect()
    return found[:n]


def hostile_samples(reader: Reader, n=40):
    """Arbitrary and mutated argument tuples of a reader, each with its expected outcome."""
    argsets = samples(reader.arbitrary, n // 2) + [c.args for c in samples(mutated(reader), n // 2)]
    expect = reader.model or reader.call
    return [(args, outcome(expect, *args)) for args in argsets]
