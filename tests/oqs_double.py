"""A pure-Python test double of the liboqs binding ``oqs``.

It offers the part of the binding that velmor's post-quantum layer calls:
``KeyEncapsulation`` and ``Signature`` objects used as context managers, with
``generate_keypair``, ``export_secret_key``, ``encap_secret``, ``decap_secret``,
``sign`` and ``verify``, plus the module functions that list the enabled
mechanisms.  Every result is computed on real primitives of ``cryptography``:

* ML-KEM-768 and ML-KEM-1024 are the real ML-KEM of ``cryptography``; ML-DSA-44,
  -65 and -87 are its real ML-DSA.
* FrodoKEM-*, Classic-McEliece-* and ML-KEM-512 are stand-ins on X25519: the
  ciphertext carries an ephemeral X25519 public key, and the shared secret is
  HKDF-SHA256 of the X25519 agreement, bound to the recipient's public key and
  to the whole ciphertext, cut to the mechanism's shared-secret length
  (FrodoKEM-640 16 bytes, -976 24, -1344 32; the others 32).
* The SLH-DSA names are stand-ins on Ed25519.

Sizes.  Every public key, secret key, ciphertext and signature has the exact
length that liboqs gives the mechanism (see ``SIZES``), so that length fields
and length checks of the caller (the ML-KEM ciphertext length in a
generation-8 capsule, 1568 bytes for ML-KEM-1024; the 2592-byte ML-DSA-87
public key; FrodoKEM and Classic McEliece capsules that run to the end of the
data) meet the values they would meet with liboqs.  Where the underlying
primitive's own encoding is shorter, it is followed by a filler that is
derived from it with SHAKE-256 (``_filler``):

* stand-in public keys: X25519 or Ed25519 public key (32 bytes) + filler;
* secret keys: the primitive's private seed (ML-KEM 64 bytes, ML-DSA and
  Ed25519 32 bytes; for the X25519 stand-ins the 32-byte private key and the
  SHA-256 of the public key) + filler;
* stand-in ciphertexts: ephemeral X25519 public key (32 bytes) + filler;
* stand-in signatures: Ed25519 signature (64 bytes) + filler.

A secret key whose filler does not match is malformed and makes ``decap_secret``
and ``sign`` raise.  A ciphertext whose filler was changed still decapsulates,
to a different secret, since the secret covers the whole ciphertext (like the
implicit rejection of the real KEMs); a public key whose filler was changed
still encapsulates, but the secret no longer matches the one the key's owner
decapsulates.  A signature or public key changed anywhere fails verification.

Ciphertexts are copied as the real binding copies them, into a buffer of the
mechanism's size: a longer one raises ``ValueError``, a shorter one is padded
with zero bytes and decapsulates to a secret that does not match.  Keys are
stricter than the real binding: a public or secret key of the wrong length
raises ``ValueError`` (the real binding pads a short one with zero bytes), so
that a key the library should have refused fails loudly here.  ``verify``
answers False for a signature of any wrong length or content, and raises only
for a public key of the wrong length.

Installing it for a test::

    import oqs_double
    oqs_double.install(monkeypatch)   # sys.modules["oqs"] is this module, state reset

Test hooks:

* ``ENABLED_SLH_DSA``: the SLH-DSA names that ``get_enabled_sig_mechanisms``
  lists and ``Signature`` accepts; by default the three hyphenated names.
  Change it with ``enable_slh_dsa(names)`` or ``monkeypatch.setattr``.
* ``EVENTS``: one tuple ``(what, class name, mechanism, serial, detail)`` per
  construction ("construct"; detail None), refused construction ("refuse";
  detail the exception type), ``__enter__`` ("enter"), method call ("call";
  detail the method name) and ``__exit__`` ("exit"; detail the exception type
  or None).  ``exit_counts()`` sums the exits per constructed object.
* ``reset()`` clears ``EVENTS`` and restores the default SLH-DSA names.

Using an object after its ``__exit__``, or leaving its block twice, raises
``RuntimeError`` (the real binding has freed the native object by then).
"""

from __future__ import annotations

import hashlib
import itertools
import sys

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ed25519, mldsa, mlkem, x25519
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

__all__ = [
    "KeyEncapsulation",
    "Signature",
    "MechanismNotSupportedError",
    "MechanismNotEnabledError",
    "get_enabled_kem_mechanisms",
    "get_enabled_sig_mechanisms",
    "get_supported_kem_mechanisms",
    "get_supported_sig_mechanisms",
    "is_kem_enabled",
    "is_sig_enabled",
    "oqs_version",
    "enable_slh_dsa",
    "exit_counts",
    "install",
    "reset",
    "SIZES",
    "KEM_SIZES",
    "SIG_SIZES",
    "SLH_DSA_NAMES",
    "DEFAULT_SLH_DSA",
    "REAL_PRIMITIVE",
    "ENABLED_SLH_DSA",
    "EVENTS",
]

# name -> (public key, secret key, ciphertext, shared secret) lengths for KEMs,
#         (public key, secret key, signature) lengths for signatures.
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
    "SLH-DSA-SHA2-128f": (32, 64, 17088),
    "SLH-DSA-SHA2-192f": (48, 96, 35664),
    "SLH-DSA-SHA2-256f": (64, 128, 49856),
}
# The underscore names are the same parameter sets under another spelling:
# keys and signatures are interchangeable between the two names of a set.
_SLH_ALIASES = {
    "SLH_DSA_PURE_SHA2_128F": "SLH-DSA-SHA2-128f",
    "SLH_DSA_PURE_SHA2_192F": "SLH-DSA-SHA2-192f",
    "SLH_DSA_PURE_SHA2_256F": "SLH-DSA-SHA2-256f",
}
for _alias, _canonical in _SLH_ALIASES.items():
    SIG_SIZES[_alias] = SIG_SIZES[_canonical]
SIZES = {**KEM_SIZES, **SIG_SIZES}

SLH_DSA_NAMES = (
    "SLH-DSA-SHA2-128f",
    "SLH-DSA-SHA2-192f",
    "SLH-DSA-SHA2-256f",
    *_SLH_ALIASES,
)
DEFAULT_SLH_DSA = frozenset(SLH_DSA_NAMES[:3])
ENABLED_SLH_DSA = DEFAULT_SLH_DSA

EVENTS: list[tuple] = []
_serials = itertools.count(1)


def _works(probe) -> bool:
    try:
        probe()
    except Exception:  # an OpenSSL without the algorithm
        return False
    return True


# name -> (private key class, public key class)
_MLKEM = {
    name: classes
    for name, classes in (
        ("ML-KEM-768", (mlkem.MLKEM768PrivateKey, mlkem.MLKEM768PublicKey)),
        ("ML-KEM-1024", (mlkem.MLKEM1024PrivateKey, mlkem.MLKEM1024PublicKey)),
    )
    if _works(classes[0].generate)
}
_MLDSA = {
    name: classes
    for name, classes in (
        ("ML-DSA-44", (mldsa.MLDSA44PrivateKey, mldsa.MLDSA44PublicKey)),
        ("ML-DSA-65", (mldsa.MLDSA65PrivateKey, mldsa.MLDSA65PublicKey)),
        ("ML-DSA-87", (mldsa.MLDSA87PrivateKey, mldsa.MLDSA87PublicKey)),
    )
    if _works(classes[0].generate)
}
# The mechanisms computed by the real algorithm rather than a stand-in.
REAL_PRIMITIVE = frozenset(_MLKEM) | frozenset(_MLDSA)


class MechanismNotSupportedError(Exception):
    """The mechanism name is not one this binding knows."""

    _text = "is not supported by OQS"

    def __init__(self, alg_name: str) -> None:
        self.alg_name = alg_name
        self.message = f"{alg_name} {self._text}"
        super().__init__(self.message)


class MechanismNotEnabledError(MechanismNotSupportedError):
    """The mechanism is known but not enabled in this build."""

    _text = "is supported but not enabled by OQS"


def get_supported_kem_mechanisms() -> list[str]:
    return list(KEM_SIZES)


def get_enabled_kem_mechanisms() -> list[str]:
    return list(KEM_SIZES)


def get_supported_sig_mechanisms() -> list[str]:
    return list(SIG_SIZES)


def get_enabled_sig_mechanisms() -> list[str]:
    return [n for n in SIG_SIZES if n.startswith("ML-DSA-") or n in ENABLED_SLH_DSA]


def is_kem_enabled(alg_name: str) -> bool:
    return alg_name in get_enabled_kem_mechanisms()


def is_sig_enabled(alg_name: str) -> bool:
    return alg_name in get_enabled_sig_mechanisms()


def oqs_version() -> str:
    return "0.0.0-test-double"


def enable_slh_dsa(names) -> None:
    """Enable exactly the given SLH-DSA names (any of ``SLH_DSA_NAMES``)."""
    global ENABLED_SLH_DSA
    chosen = frozenset(names)
    unknown = chosen - set(SLH_DSA_NAMES)
    if unknown:
        raise ValueError(f"not SLH-DSA names of this binding: {sorted(unknown)}")
    ENABLED_SLH_DSA = chosen


def reset() -> None:
    """Forget recorded events and enable the default SLH-DSA names again."""
    global ENABLED_SLH_DSA
    EVENTS.clear()
    ENABLED_SLH_DSA = DEFAULT_SLH_DSA


def install(monkeypatch):
    """Make ``import oqs`` give this module for one test; returns the module."""
    reset()
    module = sys.modules[__name__]
    monkeypatch.setitem(sys.modules, "oqs", module)
    return module


def exit_counts() -> dict[int, int]:
    """Number of ``__exit__`` calls per object constructed since ``reset()``."""
    counts = {e[3]: 0 for e in EVENTS if e[0] == "construct"}
    for e in EVENTS:
        if e[0] == "exit":
            counts[e[3]] = counts.get(e[3], 0) + 1
    return counts


# --- helpers -----------------------------------------------------------------


def _buf(value, what: str) -> bytes:
    """bytes of a bytes-like argument; anything else (str, int, None) is refused."""
    try:
        return memoryview(value).tobytes()
    except TypeError:
        raise TypeError(f"{what} must be bytes-like, not {type(value).__name__}") from None


def _sized(value, size: int, what: str, alg: str) -> bytes:
    data = _buf(value, what)
    if len(data) != size:
        raise ValueError(f"{alg} {what} must be {size} bytes, got {len(data)}")
    return data


def _copied(value, size: int, what: str, alg: str) -> bytes:
    """``value`` in a buffer of ``size`` bytes, as the real binding copies a ciphertext."""
    data = _buf(value, what)
    if len(data) > size:
        raise ValueError(f"{alg} {what} is longer than {size} bytes: {len(data)}")
    return data + bytes(size - len(data))


def _filler(label: str, alg: str, core: bytes, n: int) -> bytes:
    return hashlib.shake_256(f"oqs-double/{label}/{alg}/".encode() + core).digest(n)


def _pad(label: str, alg: str, core: bytes, size: int) -> bytes:
    return core + _filler(label, alg, core, size - len(core))


def _unpad(label: str, alg: str, data: bytes, core_len: int) -> bytes | None:
    """The core of a padded value, or None when its filler does not match."""
    core = data[:core_len]
    if data[core_len:] != _filler(label, alg, core, len(data) - core_len):
        return None
    return core


def _hkdf(ikm: bytes, length: int, info: bytes) -> bytes:
    return HKDF(algorithm=hashes.SHA256(), length=length, salt=None, info=info).derive(ikm)


class _Binding:
    """Lifecycle shared by the KEM and signature objects: events and the block."""

    _kind = ""

    def __init__(self, alg_name, secret_key, sizes) -> None:
        name = type(self).__name__
        try:
            if not isinstance(alg_name, str) or alg_name not in sizes:
                raise MechanismNotSupportedError(alg_name)
            if alg_name in SLH_DSA_NAMES and alg_name not in ENABLED_SLH_DSA:
                raise MechanismNotEnabledError(alg_name)
        except Exception as exc:
            EVENTS.append(("refuse", name, alg_name, None, type(exc)))
            raise
        self.alg_name = alg_name
        self.serial = next(_serials)
        self._sizes = sizes[alg_name]
        # Like the real binding, an empty secret key counts as none given.
        self._secret = _buf(secret_key, "secret key") if secret_key else None
        self._closed = False
        EVENTS.append(("construct", name, alg_name, self.serial, None))

    def _event(self, what: str, detail=None) -> None:
        EVENTS.append((what, type(self).__name__, self.alg_name, self.serial, detail))

    def _use(self, method: str) -> None:
        if self._closed:
            raise RuntimeError(f"{self.alg_name} object used after its block ended")
        self._event("call", method)

    def _secret_key(self) -> bytes:
        if self._secret is None:
            raise RuntimeError(f"{self.alg_name} object holds no secret key")
        return _sized(self._secret, self._sizes[1], "secret key", self.alg_name)

    def __enter__(self):
        self._event("enter")
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        self._event("exit", exc_type)
        if self._closed:
            raise RuntimeError(f"{self.alg_name} object released twice")
        self._closed = True
        self._secret = None
        return False

    def export_secret_key(self) -> bytes:
        self._use("export_secret_key")
        if self._secret is None:
            raise RuntimeError(f"{self.alg_name} object holds no secret key")
        return self._secret


class KeyEncapsulation(_Binding):
    """A KEM object for one mechanism, optionally holding a secret key."""

    def __init__(self, alg_name: str, secret_key=None) -> None:
        super().__init__(alg_name, secret_key, KEM_SIZES)

    def _core(self) -> bytes:
        core = _unpad("sk", self.alg_name, self._secret_key(), 64)
        if core is None:
            raise ValueError(f"{self.alg_name} secret key is malformed")
        return core

    def generate_keypair(self) -> bytes:
        self._use("generate_keypair")
        alg = self.alg_name
        pk_len, sk_len, _, _ = self._sizes
        if alg in _MLKEM:
            priv = _MLKEM[alg][0].generate()
            public = priv.public_key().public_bytes_raw()
            core = priv.private_bytes_raw()
        else:
            priv = x25519.X25519PrivateKey.generate()
            public = _pad("pk", alg, priv.public_key().public_bytes_raw(), pk_len)
            core = priv.private_bytes_raw() + hashlib.sha256(public).digest()
        self._secret = _pad("sk", alg, core, sk_len)
        return public

    def encap_secret(self, public_key) -> tuple[bytes, bytes]:
        self._use("encap_secret")
        alg = self.alg_name
        _, _, ct_len, ss_len = self._sizes
        public = _sized(public_key, self._sizes[0], "public key", alg)
        if alg in _MLKEM:
            pub = _MLKEM[alg][1].from_public_bytes(public)
            secret, ciphertext = pub.encapsulate()
            return ciphertext, secret
        peer = x25519.X25519PublicKey.from_public_bytes(public[:32])
        eph = x25519.X25519PrivateKey.generate()
        agreed = eph.exchange(peer)
        ciphertext = _pad("ct", alg, eph.public_key().public_bytes_raw(), ct_len)
        info = b"oqs-double/kem/" + hashlib.sha256(public).digest()
        return ciphertext, _hkdf(agreed, ss_len, info + hashlib.sha256(ciphertext).digest())

    def decap_secret(self, ciphertext) -> bytes:
        self._use("decap_secret")
        alg = self.alg_name
        _, _, ct_len, ss_len = self._sizes
        ct = _copied(ciphertext, ct_len, "ciphertext", alg)
        core = self._core()
        if alg in _MLKEM:
            return _MLKEM[alg][0].from_seed_bytes(core).decapsulate(ct)
        priv = x25519.X25519PrivateKey.from_private_bytes(core[:32])
        try:
            agreed = priv.exchange(x25519.X25519PublicKey.from_public_bytes(ct[:32]))
        except ValueError:
            # A low-order point: answer a secret no sender can know, as the
            # implicit rejection of the real KEMs does.
            return _hkdf(core[:32], ss_len, b"oqs-double/reject/" + hashlib.sha256(ct).digest())
        info = b"oqs-double/kem/" + core[32:64] + hashlib.sha256(ct).digest()
        return _hkdf(agreed, ss_len, info)


class Signature(_Binding):
    """A signature object for one mechanism, optionally holding a secret key."""

    def __init__(self, alg_name: str, secret_key=None) -> None:
        super().__init__(alg_name, secret_key, SIG_SIZES)
        self._set = _SLH_ALIASES.get(alg_name, alg_name)

    def generate_keypair(self) -> bytes:
        self._use("generate_keypair")
        pk_len, sk_len, _ = self._sizes
        if self._set in _MLDSA:
            priv = _MLDSA[self._set][0].generate()
            public = priv.public_key().public_bytes_raw()
        else:
            priv = ed25519.Ed25519PrivateKey.generate()
            public = _pad("pk", self._set, priv.public_key().public_bytes_raw(), pk_len)
        self._secret = _pad("sk", self._set, priv.private_bytes_raw(), sk_len)
        return public

    def sign(self, message) -> bytes:
        self._use("sign")
        data = _buf(message, "message")
        seed = _unpad("sk", self._set, self._secret_key(), 32)
        if seed is None:
            raise ValueError(f"{self.alg_name} secret key is malformed")
        if self._set in _MLDSA:
            return _MLDSA[self._set][0].from_seed_bytes(seed).sign(data)
        raw = ed25519.Ed25519PrivateKey.from_private_bytes(seed).sign(data)
        return _pad("sig", self._set, raw, self._sizes[2])

    def verify(self, message, signature, public_key) -> bool:
        self._use("verify")
        pk_len, _, sig_len = self._sizes
        data = _buf(message, "message")
        sig = _buf(signature, "signature")
        public = _sized(public_key, pk_len, "public key", self.alg_name)
        if self._set in _MLDSA:
            key = _MLDSA[self._set][1].from_public_bytes(public)
        else:
            if len(sig) != sig_len:
                return False
            raw = _unpad("sig", self._set, sig, 64)
            if raw is None or _unpad("pk", self._set, public, 32) is None:
                return False
            key, sig = ed25519.Ed25519PublicKey.from_public_bytes(public[:32]), raw
        try:
            key.verify(sig, data)
        except InvalidSignature:
            return False
        return True
