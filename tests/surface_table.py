"""The public surface of velmor, module by module: the one table that the surface, facade and
stub tests check the package against.

For every module: its non-dunder names in the order the module binds them (which is the order a
Python implementation of the package would give its namespace, the binding of sub-modules on
their parent by the import system included), its ``__all__`` (None where it has none), whether
it binds ``annotations``, and what each name is. A function entry holds its signature text as
``str(inspect.signature(f))`` shows it (its annotation texts are the quoted texts in it), the
source texts of its defaults, and whether it is a coroutine function.
"""

from __future__ import annotations

from dataclasses import dataclass, field


# --- kinds of names ------------------------------------------------------------------------------

@dataclass(frozen=True)
class Feature:
    """``annotations``: the ``__future__`` feature object."""


@dataclass(frozen=True)
class Mod:
    """A module object, by its ``__name__``."""
    name: str


@dataclass(frozen=True)
class Ref:
    """The very object ``getattr(import_module(module), attr)``."""
    module: str
    attr: str


@dataclass(frozen=True)
class Const:
    """A constant; ``Ref`` values inside a dict or list stand for the objects they name."""
    value: object


@dataclass(frozen=True)
class InstanceOf:
    """An instance of the class ``Ref`` names (module-level objects made at load time)."""
    cls: Ref


@dataclass(frozen=True)
class Fn:
    """A function defined by the module."""
    signature: str
    defaults: tuple[str, ...] = ()  # source texts, evaluated in the module's namespace
    coroutine: bool = False


def Co(signature: str, defaults: tuple[str, ...] = ()) -> Fn:
    """A coroutine function of the coroutine adapter."""
    return Fn(signature, defaults, coroutine=True)


@dataclass(frozen=True)
class ErrorClass:
    """An exception class defined by the module, with an empty body."""
    base: str  # "Exception" or the name of a class of the same module


@dataclass(frozen=True)
class EnumClass:
    """An ``IntEnum`` class defined by the module: its members in order."""
    members: tuple[tuple[str, int], ...]


@dataclass(frozen=True)
class FacadeClass:
    """A facade class: static methods over the functions of the core module ``core``."""
    core: str
    methods: tuple[tuple[str, str], ...]  # (attribute, core function), in order


@dataclass(frozen=True)
class FacadeObject:
    """The one instance of a facade class of the same module."""
    cls: str


@dataclass(frozen=True)
class Module:
    name: str
    names: dict[str, object]       # name -> kind, in binding order
    all: tuple[str, ...] | None = None
    annotations: bool = True
    package: bool = False
    extra: dict = field(default_factory=dict)


# --- the modules --------------------------------------------------------------------------------

CRYPTO = "cryptography.hazmat.primitives"

ERRORS = ("VelMorError", "InvalidInputError", "EncryptionError", "DecryptionError",
          "SignatureError", "QuantumOperationError")


def _err(*names):
    return {n: Ref("velmor.errors", n) for n in names}


MODULES: list[Module] = []


def _module(name, names, **kw):
    MODULES.append(Module(name, names, **kw))


# The package initialisation. `errors` and `_internal` are bound first: the AES core, loaded by
# the first name of the package's import, loads them (and the import system binds a finished
# sub-module on its parent). `rsa` is bound while the hybrid core loads, before `hybrid` itself.
# The names of the import are then rebound in place, and `version` arrives with `__version__`.
_module("velmor", {
    "annotations": Feature(),
    "errors": Mod("velmor.errors"),
    "_internal": Mod("velmor._internal"),
    "aes": Mod("velmor.aes"),
    "rsa": Mod("velmor.rsa"),
    "hybrid": Mod("velmor.hybrid"),
    "password": Mod("velmor.password"),
    "quantum": Mod("velmor.quantum"),
    "sync": Mod("velmor.sync"),
    **_err("DecryptionError", "EncryptionError", "InvalidInputError", "QuantumOperationError",
           "VelMorError", "SignatureError"),
    "version": Mod("velmor.version"),
}, all=("__version__", "aes", "rsa", "hybrid", "password", "quantum", "sync", "errors",
        "VelMorError", "InvalidInputError", "EncryptionError", "DecryptionError", "SignatureError",
        "QuantumOperationError"),
   package=True, extra={"__version__": "1.0.10"})

_module("velmor.version", {}, annotations=False, extra={"__version__": "1.0.10"})

_module("velmor.errors", {
    "annotations": Feature(),
    "VelMorError": ErrorClass("Exception"),
    **{n: ErrorClass("VelMorError") for n in ERRORS[1:]},
})

_module("velmor._internal", {"keys": Mod("velmor._internal.keys")}, annotations=False,
        package=True)

_module("velmor._internal.keys", {
    "annotations": Feature(),
    "base64": Mod("base64"),
    "binascii": Mod("binascii"),
    "hashlib": Mod("hashlib"),
    "AES_KEY_SIZE": Const(32),
    "_try_base64": Fn("(s: 'str') -> 'bytes | None'"),
    "convert_key": Fn("(key: 'str') -> 'bytes'"),
})

_module("velmor.aes", {
    "annotations": Feature(),
    "asyncio": Mod("asyncio"),
    "core": Mod("velmor.aes.core"),
    "encrypt": Co("(plaintext: 'str', key: 'str') -> 'str'"),
    "decrypt": Co("(ciphertext_b64: 'str', key: 'str') -> 'str'"),
    "encrypt_bytes": Co("(data: 'bytes', key: 'str') -> 'bytes'"),
    "decrypt_bytes": Co("(blob: 'bytes', key: 'str') -> 'bytes'"),
}, all=("encrypt", "decrypt", "encrypt_bytes", "decrypt_bytes", "core"), package=True)

_module("velmor.aes.core", {
    "annotations": Feature(),
    "base64": Mod("base64"),
    "os": Mod("os"),
    "InvalidTag": Ref("cryptography.exceptions", "InvalidTag"),
    "AESGCM": Ref(f"{CRYPTO}.ciphers.aead", "AESGCM"),
    **_err("DecryptionError", "EncryptionError", "InvalidInputError"),
    "convert_key": Ref("velmor._internal.keys", "convert_key"),
    "GCM_NONCE_SIZE": Const(12),
    "GCM_TAG_SIZE": Const(16),
    "encrypt_bytes": Fn("(data: 'bytes', key: 'str') -> 'bytes'"),
    "decrypt_bytes": Fn("(blob: 'bytes', key: 'str') -> 'bytes'"),
    "encrypt_str": Fn("(plaintext: 'str', key: 'str') -> 'str'"),
    "decrypt_str": Fn("(ciphertext_b64: 'str', key: 'str') -> 'str'"),
})

_module("velmor.rsa", {
    "annotations": Feature(),
    "asyncio": Mod("asyncio"),
    "core": Mod("velmor.rsa.core"),
    "new_key_pair": Co("() -> 'tuple[str, str]'"),
    "encrypt": Co("(plaintext: 'str', public_pem: 'str') -> 'str'"),
    "decrypt": Co("(ciphertext_b64: 'str', private_pem: 'str') -> 'str'"),
    "encrypt_bytes": Co("(data: 'bytes', public_pem: 'str') -> 'bytes'"),
    "decrypt_bytes": Co("(blob: 'bytes', private_pem: 'str') -> 'bytes'"),
    "sign": Co("(plaintext: 'str', private_pem: 'str') -> 'str'"),
    "verify": Co("(plaintext: 'str', signature_b64: 'str', public_pem: 'str') -> 'bool'"),
    "sign_bytes": Co("(data: 'bytes', private_pem: 'str') -> 'bytes'"),
    "verify_bytes": Co("(data: 'bytes', signature: 'bytes', public_pem: 'str') -> 'bool'"),
}, all=("new_key_pair", "encrypt", "decrypt", "encrypt_bytes", "decrypt_bytes", "sign", "verify",
        "sign_bytes", "verify_bytes", "core"), package=True)

_module("velmor.rsa.core", {
    "annotations": Feature(),
    "base64": Mod("base64"),
    "InvalidSignature": Ref("cryptography.exceptions", "InvalidSignature"),
    "hashes": Mod(f"{CRYPTO}.hashes"),
    "serialization": Mod(f"{CRYPTO}.serialization"),
    "padding": Mod(f"{CRYPTO}.asymmetric.padding"),
    "rsa": Mod(f"{CRYPTO}.asymmetric.rsa"),
    "load_pem_private_key": Ref(f"{CRYPTO}.serialization", "load_pem_private_key"),
    "load_pem_public_key": Ref(f"{CRYPTO}.serialization", "load_pem_public_key"),
    **_err("DecryptionError", "EncryptionError", "InvalidInputError", "SignatureError"),
    "KEY_SIZE": Const(4096),
    "PUBLIC_EXPONENT": Const(65537),
    "MAX_OAEP_PLAINTEXT": Const(446),
    "_OAEP": InstanceOf(Ref(f"{CRYPTO}.asymmetric.padding", "OAEP")),
    "_pss": Fn("() -> 'padding.PSS'"),
    "new_key_pair": Fn("() -> 'tuple[str, str]'"),
    "_load_public": Fn("(public_pem: 'str')"),
    "_load_private": Fn("(private_pem: 'str')"),
    "_RSA_ALG_ID": Const(bytes.fromhex("300d06092a864886f70d0101010500")),
    "_der_len": Fn("(n: 'int') -> 'bytes'"),
    "_pkcs1_to_spki": Fn("(pkcs1: 'bytes') -> 'bytes'"),
    "_encrypt_oaep": Fn("(data: 'bytes', public_pem: 'str') -> 'bytes'"),
    "_decrypt_oaep": Fn("(blob: 'bytes', private_pem: 'str') -> 'bytes'"),
    "encrypt_bytes": Fn("(data: 'bytes', public_pem: 'str') -> 'bytes'"),
    "decrypt_bytes": Fn("(blob: 'bytes', private_pem: 'str') -> 'bytes'"),
    "sign_bytes": Fn("(data: 'bytes', private_pem: 'str') -> 'bytes'"),
    "verify_bytes": Fn("(data: 'bytes', signature: 'bytes', public_pem: 'str') -> 'bool'"),
    "encrypt_str": Fn("(plaintext: 'str', public_pem: 'str') -> 'str'"),
    "decrypt_str": Fn("(ciphertext_b64: 'str', private_pem: 'str') -> 'str'"),
    "sign_str": Fn("(plaintext: 'str', private_pem: 'str') -> 'str'"),
    "verify_str": Fn("(plaintext: 'str', signature_b64: 'str', public_pem: 'str') -> 'bool'"),
})

_module("velmor.hybrid", {
    "annotations": Feature(),
    "asyncio": Mod("asyncio"),
    "core": Mod("velmor.hybrid.core"),
    "encrypt": Co("(plaintext: 'str', public_pem: 'str') -> 'str'"),
    "decrypt": Co("(ciphertext_b64: 'str', private_pem: 'str') -> 'str'"),
    "encrypt_bytes": Co("(data: 'bytes', public_pem: 'str') -> 'bytes'"),
    "decrypt_bytes": Co("(blob: 'bytes', private_pem: 'str') -> 'bytes'"),
}, all=("encrypt", "decrypt", "encrypt_bytes", "decrypt_bytes", "core"), package=True)

_module("velmor.hybrid.core", {
    "annotations": Feature(),
    "base64": Mod("base64"),
    "os": Mod("os"),
    "struct": Mod("struct"),
    "InvalidTag": Ref("cryptography.exceptions", "InvalidTag"),
    "AESGCM": Ref(f"{CRYPTO}.ciphers.aead", "AESGCM"),
    "aes_core": Mod("velmor.aes.core"),
    **_err("DecryptionError", "InvalidInputError"),
    "rsa_core": Mod("velmor.rsa.core"),
    "HYBR": Const(b"HYBR"),
    "RSA_BLOCK": Const(512),
    "NONCE": Const(12),
    "TAG": Const(16),
    "encrypt_bytes": Fn("(data: 'bytes', public_pem: 'str') -> 'bytes'"),
    "decrypt_auto": Fn("(blob: 'bytes', private_pem: 'str') -> 'bytes'"),
    "_net_decrypt": Fn("(blob: 'bytes', private_pem: 'str') -> 'bytes'"),
    "_legacy_decrypt": Fn("(blob: 'bytes', private_pem: 'str') -> 'bytes'"),
    "encrypt_str": Fn("(plaintext: 'str', public_pem: 'str') -> 'str'"),
    "decrypt_str": Fn("(ciphertext_b64: 'str', private_pem: 'str') -> 'str'"),
})

_module("velmor.password", {
    "annotations": Feature(),
    "asyncio": Mod("asyncio"),
    "core": Mod("velmor.password.core"),
    "hash": Co("(password: 'str', iterations: 'int' = 210000) -> 'str'", ("210000",)),
    "verify": Co("(password: 'str', hash_json: 'str') -> 'bool'"),
    "needs_rehash": Co("(hash_json: 'str') -> 'bool'"),
}, all=("hash", "verify", "needs_rehash", "core"), package=True)

_module("velmor.password.core", {
    "annotations": Feature(),
    "base64": Mod("base64"),
    "hmac": Mod("hmac"),
    "json": Mod("json"),
    "os": Mod("os"),
    "datetime": Ref("datetime", "datetime"),
    "timezone": Ref("datetime", "timezone"),
    "hashes": Mod(f"{CRYPTO}.hashes"),
    "PBKDF2HMAC": Ref(f"{CRYPTO}.kdf.pbkdf2", "PBKDF2HMAC"),
    **_err("InvalidInputError", "VelMorError"),
    "ALGORITHM": Const("pbkdf2"),
    "VERSION": Const(2),
    "DEFAULT_ITERATIONS": Const(210000),
    "SALT_LENGTH": Const(32),
    "OUTPUT_LENGTH": Const(64),
    "HASH_ALGORITHM": Const("SHA512"),
    "UPGRADE_THRESHOLD": Const(210000),
    # Bounds on what an untrusted record may ask the verifier to derive.
    "MAX_ITERATIONS": Const(2100000),
    "MAX_OUTPUT_LENGTH": Const(128),
    "_HASHES": Const({"SHA512": Ref(f"{CRYPTO}.hashes", "SHA512"),
                      "SHA256": Ref(f"{CRYPTO}.hashes", "SHA256")}),
    "_derive": Fn("(password: 'str', salt: 'bytes', iterations: 'int', length: 'int', "
                  "hash_algorithm: 'str') -> 'bytes'"),
    "hash_password": Fn("(password: 'str', iterations: 'int' = 210000) -> 'str'", ("210000",)),
    "_parse": Fn("(hash_json: 'str') -> 'dict | None'"),
    "verify_password": Fn("(password: 'str', hash_json: 'str') -> 'bool'"),
    "needs_rehash": Fn("(hash_json: 'str') -> 'bool'"),
})

_GEN = "generation: 'QuantumGeneration | int' = <QuantumGeneration.GEN8: 8>"
_STRENGTH = "strength: 'QuantumStrength | int' = <QuantumStrength.HIGHEST: 2>"
_ALG = "algorithm: 'SignatureAlgorithm | int' = <SignatureAlgorithm.ML_DSA: 1>"
_PAIR = "'tuple[bytes, bytes]'"

QUANTUM_API = {
    "generate_keypair": (f"({_GEN}, {_STRENGTH}) -> {_PAIR}",
                         ("QuantumGeneration.GEN8", "QuantumStrength.HIGHEST")),
    "encrypt": (f"(message: 'str', public_key: 'bytes') -> {_PAIR}", ()),
    "decrypt": ("(encrypted_message: 'bytes', private_key: 'bytes', secret: 'bytes') -> 'str'", ()),
    "generate_signature_keypair": (f"({_ALG}, {_STRENGTH}) -> {_PAIR}",
                                   ("SignatureAlgorithm.ML_DSA", "QuantumStrength.HIGHEST")),
    "sign": ("(data: 'bytes', private_key: 'bytes') -> 'bytes'", ()),
    "verify": ("(data: 'bytes', signature: 'bytes', public_key: 'bytes') -> 'bool'", ()),
}

_ENUMS = {"QuantumGeneration": Ref("velmor.quantum.types", "QuantumGeneration"),
          "QuantumStrength": Ref("velmor.quantum.types", "QuantumStrength"),
          "SignatureAlgorithm": Ref("velmor.quantum.types", "SignatureAlgorithm")}

# Loading the core loads `_oqs` and `types`, which the import system binds on this package
# before `core` itself.
_module("velmor.quantum", {
    "annotations": Feature(),
    "asyncio": Mod("asyncio"),
    "_oqs": Mod("velmor.quantum._oqs"),
    "types": Mod("velmor.quantum.types"),
    "core": Mod("velmor.quantum.core"),
    **_ENUMS,
    **{name: Co(sig, defaults) for name, (sig, defaults) in QUANTUM_API.items()},
}, all=("generate_keypair", "encrypt", "decrypt", "generate_signature_keypair", "sign", "verify",
        "QuantumGeneration", "QuantumStrength", "SignatureAlgorithm", "core"), package=True)

_ENC = f"(data: 'bytes', raw_pk: 'bytes', strength: 'int') -> {_PAIR}"
_DEC = "(enc: 'bytes', raw_sk: 'bytes', capsule: 'bytes', strength: 'int') -> 'bytes'"
_ENC_RAW = f"(data: 'bytes', raw: 'bytes', strength: 'int') -> {_PAIR}"
_DEC_RAW = "(enc: 'bytes', raw: 'bytes', secret: 'bytes', strength: 'int') -> 'bytes'"

_module("velmor.quantum.core", {
    "annotations": Feature(),
    "hashlib": Mod("hashlib"),
    "hmac": Mod("hmac"),
    "os": Mod("os"),
    "struct": Mod("struct"),
    "hashes": Mod(f"{CRYPTO}.hashes"),
    "sym_padding": Mod(f"{CRYPTO}.padding"),
    "_ser": Mod(f"{CRYPTO}.serialization"),
    "_rsa_asym": Mod(f"{CRYPTO}.asymmetric.rsa"),
    "X25519PrivateKey": Ref(f"{CRYPTO}.asymmetric.x25519", "X25519PrivateKey"),
    "X25519PublicKey": Ref(f"{CRYPTO}.asymmetric.x25519", "X25519PublicKey"),
    "Cipher": Ref(f"{CRYPTO}.ciphers", "Cipher"),
    "algorithms": Ref(f"{CRYPTO}.ciphers", "algorithms"),
    "modes": Ref(f"{CRYPTO}.ciphers", "modes"),
    "AESGCM": Ref(f"{CRYPTO}.ciphers.aead", "AESGCM"),
    "HKDF": Ref(f"{CRYPTO}.kdf.hkdf", "HKDF"),
    "load_der_private_key": Ref(f"{CRYPTO}.serialization", "load_der_private_key"),
    "load_der_public_key": Ref(f"{CRYPTO}.serialization", "load_der_public_key"),
    **_err("DecryptionError", "InvalidInputError", "QuantumOperationError"),
    "_pkcs1_to_spki": Ref("velmor.rsa.core", "_pkcs1_to_spki"),
    "_OAEP": Ref("velmor.rsa.core", "_OAEP"),
    "_oqs": Mod("velmor.quantum._oqs"),
    **_ENUMS,
    "_GEN8_INFO": Const(b"Gen8-Hybrid-X25519-MLKEM"),
    "_GEN6_INFO": Const(b"Gen6-Frodo-GCM"),
    "_GEN5_INFO": Const(b"Gen5-CMCE-HMAC"),
    "_GEN7_INFO": Const(b"Gen7-Hybrid-RSA-Frodo"),
    "_hkdf": Fn("(ikm: 'bytes', salt: 'bytes', info: 'bytes', length: 'int') -> 'bytes'"),
    "_gcm_seal": Fn(f"(key: 'bytes', nonce: 'bytes', data: 'bytes') -> {_PAIR}"),
    "_gcm_open": Fn("(key: 'bytes', nonce: 'bytes', ciphertext: 'bytes', tag: 'bytes') -> 'bytes'"),
    "_cbc_encrypt": Fn("(data: 'bytes', key: 'bytes', iv: 'bytes') -> 'bytes'"),
    "_cbc_decrypt": Fn("(ciphertext: 'bytes', key: 'bytes', iv: 'bytes') -> 'bytes'"),
    "_hmac256": Fn("(key: 'bytes', data: 'bytes') -> 'bytes'"),
    "generate_keypair": Fn(*QUANTUM_API["generate_keypair"]),
    "encrypt": Fn(*QUANTUM_API["encrypt"]),
    "decrypt": Fn(*QUANTUM_API["decrypt"]),
    "_gen4_key": Fn("(ss: 'bytes') -> 'bytes'"),
    "_gen4_encrypt": Fn(f"(data: 'bytes', raw_pk: 'bytes') -> {_PAIR}"),
    "_gen4_decrypt": Fn("(enc: 'bytes', raw_sk: 'bytes', capsule: 'bytes') -> 'bytes'"),
    "_gen6_encrypt": Fn(_ENC),
    "_gen6_decrypt": Fn(_DEC),
    "_gen2_encrypt": Fn(_ENC),
    "_gen2_decrypt": Fn(_DEC),
    "_gen5_encrypt": Fn(_ENC),
    "_gen5_decrypt": Fn(_DEC),
    "_xor_mix": Fn("(session_key: 'bytes', frodo_ss: 'bytes') -> 'bytes'"),
    "_gen7_generate": Fn(f"(strength: 'QuantumStrength') -> {_PAIR}"),
    "_gen7_encrypt": Fn(_ENC_RAW),
    "_gen7_decrypt": Fn(_DEC_RAW),
    "_x25519_raw": Fn(f"(priv: 'X25519PrivateKey') -> {_PAIR}"),
    "_gen8_generate": Fn(f"(strength: 'QuantumStrength') -> {_PAIR}"),
    "_gen8_encrypt": Fn(_ENC_RAW),
    "_gen8_decrypt": Fn(_DEC_RAW),
    "_sig_kind": Fn("(alg: 'SignatureAlgorithm') -> 'str'"),
    "_sig_strip": Fn("(headered: 'bytes', label: 'str') -> 'tuple[int, int, bytes]'"),
    "generate_signature_keypair": Fn(*QUANTUM_API["generate_signature_keypair"]),
    "sign": Fn(*QUANTUM_API["sign"]),
    "verify": Fn(*QUANTUM_API["verify"]),
})

_module("velmor.quantum._oqs", {
    "annotations": Feature(),
    **_err("QuantumOperationError"),
    "_FRODO": Const({0: "FrodoKEM-640-AES", 1: "FrodoKEM-976-AES", 2: "FrodoKEM-1344-AES"}),
    "_CMCE": Const({0: "Classic-McEliece-6688128", 1: "Classic-McEliece-6960119",
                    2: "Classic-McEliece-8192128"}),
    "_MLKEM": Const({0: "ML-KEM-512", 1: "ML-KEM-768", 2: "ML-KEM-1024"}),
    "_MLDSA": Const({0: "ML-DSA-44", 1: "ML-DSA-65", 2: "ML-DSA-87"}),
    "_SLHDSA": Const({0: ["SLH-DSA-SHA2-128f", "SLH_DSA_PURE_SHA2_128F"],
                      1: ["SLH-DSA-SHA2-192f", "SLH_DSA_PURE_SHA2_192F"],
                      2: ["SLH-DSA-SHA2-256f", "SLH_DSA_PURE_SHA2_256F"]}),
    "_oqs": Fn("()"),
    "frodo_alg": Fn("(strength: 'int') -> 'str'"),
    "cmce_alg": Fn("(strength: 'int') -> 'str'"),
    "mlkem_alg": Fn("(strength: 'int') -> 'str'"),
    "sig_algorithm": Fn("(kind: 'str', strength: 'int') -> 'str'"),
    "generate_keypair": Fn(f"(alg: 'str') -> {_PAIR}"),
    "encapsulate": Fn(f"(alg: 'str', public_key: 'bytes') -> {_PAIR}"),
    "decapsulate": Fn("(alg: 'str', secret_key: 'bytes', ciphertext: 'bytes') -> 'bytes'"),
    "sig_generate_keypair": Fn(f"(alg: 'str') -> {_PAIR}"),
    "sig_sign": Fn("(alg: 'str', secret_key: 'bytes', message: 'bytes') -> 'bytes'"),
    "sig_verify": Fn("(alg: 'str', public_key: 'bytes', message: 'bytes', signature: 'bytes') "
                     "-> 'bool'"),
})

_module("velmor.quantum.types", {
    "annotations": Feature(),
    "IntEnum": Ref("enum", "IntEnum"),
    "QuantumGeneration": EnumClass(tuple((f"GEN{i}", i) for i in range(1, 9))),
    "QuantumStrength": EnumClass((("STANDARD", 0), ("MEDIUM", 1), ("HIGHEST", 2))),
    "SignatureAlgorithm": EnumClass((("ML_DSA", 1), ("SLH_DSA", 2))),
})

FACADES = {
    # instance: (class, core alias, core module, ((attribute, core function), ...))
    "aes": ("_AES", "_aes_core", "velmor.aes.core", (
        ("encrypt", "encrypt_str"), ("decrypt", "decrypt_str"),
        ("encrypt_bytes", "encrypt_bytes"), ("decrypt_bytes", "decrypt_bytes"))),
    "rsa": ("_RSA", "_rsa_core", "velmor.rsa.core", (
        ("new_key_pair", "new_key_pair"), ("encrypt", "encrypt_str"), ("decrypt", "decrypt_str"),
        ("encrypt_bytes", "encrypt_bytes"), ("decrypt_bytes", "decrypt_bytes"),
        ("sign", "sign_str"), ("verify", "verify_str"),
        ("sign_bytes", "sign_bytes"), ("verify_bytes", "verify_bytes"))),
    "hybrid": ("_Hybrid", "_hybrid_core", "velmor.hybrid.core", (
        ("encrypt", "encrypt_str"), ("decrypt", "decrypt_str"),
        ("encrypt_bytes", "encrypt_bytes"), ("decrypt_bytes", "decrypt_auto"))),
    "password": ("_Password", "_pw_core", "velmor.password.core", (
        ("hash", "hash_password"), ("verify", "verify_password"),
        ("needs_rehash", "needs_rehash"))),
    "quantum": ("_Quantum", "_q_core", "velmor.quantum.core", tuple(
        (name, name) for name in QUANTUM_API)),
}

_module("velmor.sync", {
    "annotations": Feature(),
    "_aes_core": Mod("velmor.aes.core"),
    "_hybrid_core": Mod("velmor.hybrid.core"),
    "_pw_core": Mod("velmor.password.core"),
    "_q_core": Mod("velmor.quantum.core"),
    "_rsa_core": Mod("velmor.rsa.core"),
    **{cls: FacadeClass(alias, methods) for cls, alias, _, methods in
       (FACADES[i] for i in ("aes", "rsa", "hybrid", "password", "quantum"))},
    **{inst: FacadeObject(FACADES[inst][0]) for inst in ("aes", "rsa", "hybrid", "password",
                                                          "quantum")},
}, all=("aes", "rsa", "hybrid", "password", "quantum"))

BY_NAME = {m.name: m for m in MODULES}


def functions():
    """(module name, function name, Fn) for every function of the table."""
    return [(m.name, name, kind) for m in MODULES for name, kind in m.names.items()
            if isinstance(kind, Fn)]
