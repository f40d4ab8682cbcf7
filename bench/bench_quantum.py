"""Post-quantum family: velmor.quantum.core against the same primitive and binding calls in Python.

There is no liboqs on the benchmark machines, so the binding is the test double of tests/
(sys.modules["oqs"]), built on cryptography's ML-KEM and ML-DSA and on X25519/Ed25519 stand-ins.
velmor and the floor call the same double the same way: `import oqs` at every binding call,
one object per call used inside one with-block, results through bytes(). The floor is the
same steps as plain Python functions: the binding wrappers, the primitives, the generations;
it joins the parts of a format with bytes.join, one copy, as velmor does.
"""
import asyncio
import collections
import hashlib
import hmac
import os
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import oqs_double  # noqa: E402

sys.modules["oqs"] = oqs_double
# The double records every event; a bounded log keeps long runs from growing the process.
oqs_double.EVENTS = collections.deque(maxlen=64)

from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives import padding as sym_padding  # noqa: E402
from cryptography.hazmat.primitives.asymmetric.x25519 import (  # noqa: E402
    X25519PrivateKey, X25519PublicKey)
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes  # noqa: E402
from cryptography.hazmat.primitives.ciphers.aead import AESGCM  # noqa: E402
from cryptography.hazmat.primitives.kdf.hkdf import HKDF  # noqa: E402
from cryptography.hazmat.primitives.serialization import (  # noqa: E402
    load_der_private_key, load_der_public_key)

from common import compare, compare_async, report  # noqa: E402
import velmor  # noqa: E402
from velmor.errors import DecryptionError, InvalidInputError, QuantumOperationError  # noqa: E402
from velmor.quantum import core  # noqa: E402
from velmor.quantum.types import QuantumGeneration, QuantumStrength, SignatureAlgorithm  # noqa: E402
from velmor.rsa.core import _OAEP  # noqa: E402

_FRODO = {0: "FrodoKEM-640-AES", 1: "FrodoKEM-976-AES", 2: "FrodoKEM-1344-AES"}
_CMCE = {0: "Classic-McEliece-6688128", 1: "Classic-McEliece-6960119", 2: "Classic-McEliece-8192128"}
_MLKEM = {0: "ML-KEM-512", 1: "ML-KEM-768", 2: "ML-KEM-1024"}
_MLDSA = {0: "ML-DSA-44", 1: "ML-DSA-65", 2: "ML-DSA-87"}
_SLHDSA = {0: ["SLH-DSA-SHA2-128f", "SLH_DSA_PURE_SHA2_128F"],
           1: ["SLH-DSA-SHA2-192f", "SLH_DSA_PURE_SHA2_192F"],
           2: ["SLH-DSA-SHA2-256f", "SLH_DSA_PURE_SHA2_256F"]}
_GEN8_INFO = b"Gen8-Hybrid-X25519-MLKEM"
_GEN6_INFO = b"Gen6-Frodo-GCM"
_GEN5_INFO = b"Gen5-CMCE-HMAC"
_GEN7_INFO = b"Gen7-Hybrid-RSA-Frodo"
_RSA_ALG_ID = bytes.fromhex("300d06092a864886f70d0101010500")
_HINT = "Post-quantum support requires the native liboqs binding."


# --- the binding calls, as the binding layer makes them

def _oqs():
    try:
        import oqs
    except ImportError as e:
        raise QuantumOperationError(_HINT) from e
    return oqs


def _encapsulate(alg, public_key):
    oqs = _oqs()
    try:
        with oqs.KeyEncapsulation(alg) as kem:
            ct, ss = kem.encap_secret(public_key)
        return bytes(ct), bytes(ss)
    except Exception as e:
        raise QuantumOperationError(f"KEM encapsulation failed ({alg}): {e}") from e


def _decapsulate(alg, secret_key, ciphertext):
    oqs = _oqs()
    try:
        with oqs.KeyEncapsulation(alg, secret_key) as kem:
            return bytes(kem.decap_secret(ciphertext))
    except Exception as e:
        raise QuantumOperationError(f"KEM decapsulation failed ({alg}): {e}") from e


def _kem_keypair(alg):
    oqs = _oqs()
    try:
        with oqs.KeyEncapsulation(alg) as kem:
            pk = kem.generate_keypair()
            sk = kem.export_secret_key()
        return bytes(pk), bytes(sk)
    except QuantumOperationError:
        raise
    except Exception as e:
        raise QuantumOperationError(f"KEM key generation failed ({alg}): {e}") from e


def _sig_algorithm(kind, strength):
    if kind == "mldsa":
        return _MLDSA[int(strength)]
    enabled = set(_oqs().get_enabled_sig_mechanisms())
    for candidate in _SLHDSA[int(strength)]:
        if candidate in enabled:
            return candidate
    raise QuantumOperationError("No SLH-DSA mechanism available")


def _raw_pair(priv):
    pub = priv.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    prv = priv.private_bytes(serialization.Encoding.Raw, serialization.PrivateFormat.Raw,
                             serialization.NoEncryption())
    return pub, prv


def _hkdf(ikm, salt, info, length):
    return HKDF(algorithm=hashes.SHA256(), length=length, salt=salt, info=info).derive(ikm)


def _gcm_seal(key, nonce, data):
    sealed = AESGCM(key).encrypt(nonce, data, None)
    return sealed[:-16], sealed[-16:]


def _gcm_open(key, nonce, ciphertext, tag):
    try:
        return AESGCM(key).decrypt(nonce, ciphertext + tag, None)
    except Exception as e:
        raise DecryptionError("Quantum AES-GCM decryption failed") from e


def _cbc_encrypt(data, key, iv):
    padder = sym_padding.PKCS7(128).padder()
    padded = padder.update(data) + padder.finalize()
    encryptor = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    return encryptor.update(padded) + encryptor.finalize()


def _cbc_decrypt(ciphertext, key, iv):
    decryptor = Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
    padded = decryptor.update(ciphertext) + decryptor.finalize()
    unpadder = sym_padding.PKCS7(128).unpadder()
    try:
        return unpadder.update(padded) + unpadder.finalize()
    except ValueError as e:
        raise DecryptionError("Quantum AES-CBC unpadding failed") from e


def _hmac256(key, data):
    return hmac.new(key, data, hashlib.sha256).digest()


def _der_len(n):
    if n < 128:
        return bytes([n])
    octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(octets)]) + octets


def _pkcs1_to_spki(pkcs1):
    bit_string = b"\x03" + _der_len(len(pkcs1) + 1) + b"\x00" + pkcs1
    body = _RSA_ALG_ID + bit_string
    return b"\x30" + _der_len(len(body)) + body


# --- the floor of each generation: dispatch, generation function, primitives -----------------

def floor_gen8_encrypt(data, raw, strength):
    if len(raw) < 32:
        raise InvalidInputError("Invalid Gen8 public key")
    x_pub, mlkem_pub = raw[:32], raw[32:]
    mlkem_ct, mlkem_ss = _encapsulate(_MLKEM[int(strength)], mlkem_pub)
    eph = X25519PrivateKey.generate()
    eph_pub = _raw_pair(eph)[0]
    x_ss = eph.exchange(X25519PublicKey.from_public_bytes(x_pub))
    salt = os.urandom(32)
    key = _hkdf(x_ss + mlkem_ss, salt, _GEN8_INFO, 32)
    nonce = os.urandom(12)
    ct, tag = _gcm_seal(key, nonce, data)
    return (b"".join((struct.pack("<I", len(mlkem_ct)), mlkem_ct, eph_pub)),
            b"".join((salt, nonce, ct, tag)))


def floor_gen8_decrypt(enc, raw, secret, strength):
    if len(raw) < 32 or len(secret) < 36 or len(enc) < 60:
        raise InvalidInputError("Invalid Gen8 input")
    x_priv, mlkem_priv = raw[:32], raw[32:]
    ct_len = int.from_bytes(secret[:4], "little")
    if ct_len == 0 or ct_len > len(secret) - 4 - 32:
        raise InvalidInputError("Invalid Gen8 encapsulated secret")
    mlkem_ct = secret[4:4 + ct_len]
    eph_pub = secret[4 + ct_len:4 + ct_len + 32]
    mlkem_ss = _decapsulate(_MLKEM[int(strength)], mlkem_priv, mlkem_ct)
    x_ss = X25519PrivateKey.from_private_bytes(x_priv).exchange(
        X25519PublicKey.from_public_bytes(eph_pub))
    key = _hkdf(x_ss + mlkem_ss, enc[:32], _GEN8_INFO, 32)
    return _gcm_open(key, enc[32:44], enc[44:-16], enc[-16:])


def floor_gen7_encrypt(data, raw, strength):
    if len(raw) < 4:
        raise InvalidInputError("Invalid Gen7 public key")
    rsa_len = int.from_bytes(raw[:4], "little")
    rsa_pub_der, frodo_pub = raw[4:4 + rsa_len], raw[4 + rsa_len:]
    if len(rsa_pub_der) != rsa_len or not frodo_pub:
        raise InvalidInputError("Invalid Gen7 public key (truncated)")
    try:
        rsa_pub = load_der_public_key(_pkcs1_to_spki(rsa_pub_der))
    except Exception as e:
        raise InvalidInputError(f"Invalid Gen7 RSA public key: {e}") from e
    session_key = os.urandom(32)
    rsa_enc_key = rsa_pub.encrypt(session_key, _OAEP)
    frodo_capsule, frodo_ss = _encapsulate(_FRODO[int(strength)], frodo_pub)
    combined = bytes(session_key[i] ^ frodo_ss[i % len(frodo_ss)] for i in range(32))
    salt = os.urandom(32)
    key = _hkdf(combined, salt, _GEN7_INFO, 32)
    nonce = os.urandom(12)
    ct, tag = _gcm_seal(key, nonce, data)
    return (b"".join((struct.pack("<I", len(rsa_enc_key)), rsa_enc_key, frodo_capsule)),
            b"".join((salt, nonce, ct, tag)))


def floor_gen7_decrypt(enc, raw, secret, strength):
    if len(raw) < 4:
        raise InvalidInputError("Invalid Gen7 private key")
    rsa_len = int.from_bytes(raw[:4], "little")
    rsa_priv_der, frodo_sec = raw[4:4 + rsa_len], raw[4 + rsa_len:]
    if len(secret) < 4:
        raise InvalidInputError("Invalid Gen7 encapsulated secret")
    rsa_enc_len = int.from_bytes(secret[:4], "little")
    rsa_enc_key, frodo_capsule = secret[4:4 + rsa_enc_len], secret[4 + rsa_enc_len:]
    if len(enc) < 60:
        raise InvalidInputError("Invalid Gen7 encrypted message")
    try:
        rsa_priv = load_der_private_key(rsa_priv_der, password=None)
    except Exception as e:
        raise InvalidInputError(f"Invalid Gen7 RSA private key: {e}") from e
    try:
        session_key = rsa_priv.decrypt(rsa_enc_key, _OAEP)
    except Exception as e:
        raise DecryptionError("Gen7 RSA decryption failed") from e
    frodo_ss = _decapsulate(_FRODO[int(strength)], frodo_sec, frodo_capsule)
    combined = bytes(session_key[i] ^ frodo_ss[i % len(frodo_ss)] for i in range(32))
    key = _hkdf(combined, enc[:32], _GEN7_INFO, 32)
    return _gcm_open(key, enc[32:44], enc[44:-16], enc[-16:])


def floor_gen6_encrypt(data, raw, strength):
    capsule, ss = _encapsulate(_FRODO[int(strength)], raw)
    salt = os.urandom(16)
    key = _hkdf(ss, salt, _GEN6_INFO, 32)
    nonce = os.urandom(12)
    ct, tag = _gcm_seal(key, nonce, data)
    return capsule, b"".join((salt, nonce, ct, tag))


def floor_gen6_decrypt(enc, raw, capsule, strength):
    if len(enc) < 44:
        raise InvalidInputError("Invalid Gen6 encrypted message")
    salt, nonce = enc[:16], enc[16:28]
    ss = _decapsulate(_FRODO[int(strength)], raw, capsule)
    key = _hkdf(ss, salt, _GEN6_INFO, 32)
    return _gcm_open(key, nonce, enc[28:-16], enc[-16:])


def floor_gen4_encrypt(data, raw):
    capsule, ss = _encapsulate(_FRODO[int(QuantumStrength.HIGHEST)], raw)
    nonce = os.urandom(12)
    ct, tag = _gcm_seal(_hmac256(ss, b"\x01")[:32], nonce, data)
    return capsule, b"".join((nonce, ct, tag))


def floor_gen4_decrypt(enc, raw, capsule):
    if len(enc) < 28:
        raise InvalidInputError("Invalid Gen4 encrypted message")
    ss = _decapsulate(_FRODO[int(QuantumStrength.HIGHEST)], raw, capsule)
    return _gcm_open(_hmac256(ss, b"\x01")[:32], enc[:12], enc[12:-16], enc[-16:])


def floor_gen2_encrypt(data, raw, strength):
    capsule, ss = _encapsulate(_CMCE[int(strength)], raw)
    aes_key = _hkdf(ss, b"", b"", 32)
    iv = os.urandom(16)
    ct = _cbc_encrypt(data, aes_key, iv)
    return capsule, b"".join((iv, ct, _hmac256(ss, iv + ct)))


def floor_gen2_decrypt(enc, raw, capsule, strength):
    if len(enc) < 48:
        raise InvalidInputError("Invalid Gen2 encrypted message")
    iv, mac, ct = enc[:16], enc[-32:], enc[16:-32]
    ss = _decapsulate(_CMCE[int(strength)], raw, capsule)
    if not hmac.compare_digest(mac, _hmac256(ss, iv + ct)):
        raise DecryptionError("Gen2 HMAC verification failed")
    return _cbc_decrypt(ct, _hkdf(ss, b"", b"", 32), iv)


def floor_gen5_encrypt(data, raw, strength):
    capsule, ss = _encapsulate(_CMCE[int(strength)], raw)
    salt = os.urandom(32)
    dk = _hkdf(ss, salt, _GEN5_INFO, 64)
    aes_key, mac_key = dk[:32], dk[32:64]
    iv = os.urandom(16)
    ct = _cbc_encrypt(data, aes_key, iv)
    return capsule, b"".join((salt, iv, ct, _hmac256(mac_key, b"".join((salt, iv, ct)))))


def floor_gen5_decrypt(enc, raw, capsule, strength):
    if len(enc) < 80:
        raise InvalidInputError("Invalid Gen5 encrypted message")
    salt, iv, mac, ct = enc[:32], enc[32:48], enc[-32:], enc[48:-32]
    ss = _decapsulate(_CMCE[int(strength)], raw, capsule)
    dk = _hkdf(ss, salt, _GEN5_INFO, 64)
    aes_key, mac_key = dk[:32], dk[32:64]
    if not hmac.compare_digest(mac, _hmac256(mac_key, b"".join((salt, iv, ct)))):
        raise DecryptionError("Gen5 HMAC verification failed")
    return _cbc_decrypt(ct, aes_key, iv)


def floor_encrypt(message, public_key):
    if len(public_key) < 3 or not any(public_key[2:]):
        raise InvalidInputError("Invalid or empty quantum public key")
    gen, strength, raw = public_key[0], public_key[1], public_key[2:]
    data = message.encode("utf-8")
    if gen == 4:
        return floor_gen4_encrypt(data, raw)
    if gen == 6:
        return floor_gen6_encrypt(data, raw, strength)
    if gen == 2:
        return floor_gen2_encrypt(data, raw, strength)
    if gen == 5:
        return floor_gen5_encrypt(data, raw, strength)
    if gen == 7:
        return floor_gen7_encrypt(data, raw, strength)
    if gen == 8:
        return floor_gen8_encrypt(data, raw, strength)
    raise QuantumOperationError(f"Quantum generation 0x{gen:02x} is not supported for encryption")


def floor_decrypt(encrypted_message, private_key, secret):
    if len(private_key) < 3:
        raise InvalidInputError("Invalid quantum private key")
    if not secret:
        raise InvalidInputError("Encapsulated secret required for quantum decryption")
    gen, strength, raw = private_key[0], private_key[1], private_key[2:]
    if gen == 4:
        data = floor_gen4_decrypt(encrypted_message, raw, secret)
    elif gen == 6:
        data = floor_gen6_decrypt(encrypted_message, raw, secret, strength)
    elif gen == 2:
        data = floor_gen2_decrypt(encrypted_message, raw, secret, strength)
    elif gen == 5:
        data = floor_gen5_decrypt(encrypted_message, raw, secret, strength)
    elif gen == 7:
        data = floor_gen7_decrypt(encrypted_message, raw, secret, strength)
    elif gen == 8:
        data = floor_gen8_decrypt(encrypted_message, raw, secret, strength)
    else:
        raise QuantumOperationError(f"Quantum generation 0x{gen:02x} is not supported for decryption")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise DecryptionError("Decrypted quantum data is not valid UTF-8") from e


def floor_gen8_generate(strength):
    x_pub, x_priv = _raw_pair(X25519PrivateKey.generate())
    mlkem_pub, mlkem_priv = _kem_keypair(_MLKEM[int(strength)])
    header = bytes([8, int(strength)])
    return b"".join((header, x_pub, mlkem_pub)), b"".join((header, x_priv, mlkem_priv))


def floor_generate_keypair(generation=QuantumGeneration.GEN8, strength=QuantumStrength.HIGHEST):
    gen = QuantumGeneration(int(generation))
    st = QuantumStrength(int(strength))
    if gen in (QuantumGeneration.GEN1, QuantumGeneration.GEN2):
        byte, alg = 2, _CMCE[int(st)]
    elif gen == QuantumGeneration.GEN5:
        byte, alg = 5, _CMCE[int(st)]
    elif gen in (QuantumGeneration.GEN3, QuantumGeneration.GEN6):
        byte, alg = 6, _FRODO[int(st)]
    elif gen == QuantumGeneration.GEN4:
        byte, alg = 4, _FRODO[int(QuantumStrength.HIGHEST)]
        st = QuantumStrength.HIGHEST
    elif gen == QuantumGeneration.GEN7:
        raise NotImplementedError  # generation 7 key pairs are not benchmarked
    elif gen == QuantumGeneration.GEN8:
        return floor_gen8_generate(st)
    else:
        raise QuantumOperationError(f"Generation {gen.name} key generation is not yet implemented")
    pk, sk = _kem_keypair(alg)
    header = bytes([byte, int(st)])
    return header + pk, header + sk


def _sig_split(headered, label):
    if len(headered) <= 2:
        raise InvalidInputError(f"Invalid {label} key: missing header")
    return headered[0], headered[1], headered[2:]


def floor_sign(data, private_key):
    scheme, strength, raw = _sig_split(private_key, "signature private")
    try:
        alg = SignatureAlgorithm(scheme)
    except ValueError as e:
        raise InvalidInputError(f"Unsupported signature scheme id {scheme}") from e
    mechanism = _sig_algorithm("mldsa" if alg == SignatureAlgorithm.ML_DSA else "slhdsa", strength)
    oqs = _oqs()
    try:
        with oqs.Signature(mechanism, raw) as sig:
            return bytes(sig.sign(data))
    except Exception as e:
        raise QuantumOperationError(f"Signing failed ({mechanism}): {e}") from e


def floor_verify(data, signature, public_key):
    try:
        scheme, strength, raw = _sig_split(public_key, "signature public")
        alg = SignatureAlgorithm(scheme)
    except (InvalidInputError, ValueError):
        return False
    mechanism = _sig_algorithm("mldsa" if alg == SignatureAlgorithm.ML_DSA else "slhdsa", strength)
    oqs = _oqs()
    try:
        with oqs.Signature(mechanism) as sig:
            return bool(sig.verify(data, signature, raw))
    except Exception:
        return False


def main():
    rows = []
    plans = [(8, ["64 B", "1 MiB"]), (7, ["64 B", "1 MiB"]), (6, ["64 B"]), (4, ["64 B"]),
             (5, ["64 B"]), (2, ["64 B"])]
    sizes = {"64 B": 64, "1 MiB": 1 << 20}
    keys = {}
    for gen, labels in plans:
        public_key, private_key = keys[gen] = core.generate_keypair(gen, 2)
        for label in labels:
            message = "x" * sizes[label]
            secret, enc = core.encrypt(message, public_key)
            f_secret, f_enc = floor_encrypt(message, public_key)
            assert floor_decrypt(enc, private_key, secret) == message
            assert core.decrypt(f_enc, private_key, f_secret) == message
            compare(f"gen {gen} encrypt {label}", lambda: core.encrypt(message, public_key),
                    lambda: floor_encrypt(message, public_key), rows)
            compare(f"gen {gen} decrypt {label}", lambda: core.decrypt(enc, private_key, secret),
                    lambda: floor_decrypt(enc, private_key, secret), rows)
    data = b"y" * 64
    for algorithm in (SignatureAlgorithm.ML_DSA, SignatureAlgorithm.SLH_DSA):
        public_key, private_key = core.generate_signature_keypair(algorithm, 2)
        signature = core.sign(data, private_key)
        assert floor_verify(data, signature, public_key) and core.verify(
            data, floor_sign(data, private_key), public_key)
        compare(f"sign {algorithm.name} 64 B", lambda: core.sign(data, private_key),
                lambda: floor_sign(data, private_key), rows)
        compare(f"verify {algorithm.name} 64 B", lambda: core.verify(data, signature, public_key),
                lambda: floor_verify(data, signature, public_key), rows)
    report("Post-quantum (binding: test double of tests/)", rows)

    rows = []
    compare("generate_keypair gen 8, strength 2", lambda: core.generate_keypair(8, 2),
            lambda: floor_generate_keypair(8, 2), rows)
    report("Post-quantum key generation", rows)

    rows = []
    public_key, private_key = keys[8]
    secret, enc = core.encrypt("x" * 64, public_key)
    compare_async("await quantum.encrypt gen 8 64 B",
                  lambda: velmor.quantum.encrypt("x" * 64, public_key),
                  lambda: asyncio.to_thread(floor_encrypt, "x" * 64, public_key), rows)
    compare_async("await quantum.decrypt gen 8 64 B",
                  lambda: velmor.quantum.decrypt(enc, private_key, secret),
                  lambda: asyncio.to_thread(floor_decrypt, enc, private_key, secret), rows)
    report("Post-quantum (awaited, against asyncio.to_thread of the floor)", rows)


if __name__ == "__main__":
    main()
