"""The oqs test double is itself honest: real secrets, real signatures, real refusals."""

import sys

import pytest
from cryptography.hazmat.primitives.asymmetric import mldsa, mlkem

import oqs_double

# Shared-secret lengths of the real mechanisms, written out independently of the
# double's own table.
SECRET_LENGTHS = {
    "FrodoKEM-640-AES": 16,
    "FrodoKEM-976-AES": 24,
    "FrodoKEM-1344-AES": 32,
    "Classic-McEliece-6688128": 32,
    "Classic-McEliece-6960119": 32,
    "Classic-McEliece-8192128": 32,
    "ML-KEM-512": 32,
    "ML-KEM-768": 32,
    "ML-KEM-1024": 32,
}
# One stand-in of each family and one real ML-KEM, for the slower checks.
KEM_SAMPLE = ["FrodoKEM-640-AES", "Classic-McEliece-6960119", "ML-KEM-512", "ML-KEM-1024"]
SIG_NAMES = ["ML-DSA-44", "ML-DSA-65", "ML-DSA-87", *oqs_double.SLH_DSA_NAMES]


@pytest.fixture(autouse=True)
def oqs(monkeypatch):
    return oqs_double.install(monkeypatch)


def kem_keypair(oqs, alg):
    with oqs.KeyEncapsulation(alg) as kem:
        return kem.generate_keypair(), kem.export_secret_key()


def encap(oqs, alg, public_key):
    with oqs.KeyEncapsulation(alg) as kem:
        return kem.encap_secret(public_key)


def decap(oqs, alg, secret_key, ciphertext):
    with oqs.KeyEncapsulation(alg, secret_key) as kem:
        return kem.decap_secret(ciphertext)


def sig_keypair(oqs, alg):
    with oqs.Signature(alg) as sig:
        return sig.generate_keypair(), sig.export_secret_key()


def sign(oqs, alg, secret_key, message):
    with oqs.Signature(alg, secret_key) as sig:
        return sig.sign(message)


def verify(oqs, alg, message, signature, public_key):
    with oqs.Signature(alg) as sig:
        return sig.verify(message, signature, public_key)


def flip(data, index):
    changed = bytearray(data)
    changed[index] ^= 0x01
    return bytes(changed)


def test_install_makes_import_oqs_give_the_double():
    import oqs

    assert oqs is oqs_double
    assert sys.modules["oqs"] is oqs_double
    assert sorted(oqs.get_enabled_kem_mechanisms()) == sorted(SECRET_LENGTHS)


@pytest.mark.parametrize("alg", list(SECRET_LENGTHS))
def test_kem_round_trip_with_mechanism_sizes(oqs, alg):
    pk, sk = kem_keypair(oqs, alg)
    ct, ss = encap(oqs, alg, pk)
    assert decap(oqs, alg, sk, ct) == ss
    assert len(ss) == SECRET_LENGTHS[alg]
    assert (len(pk), len(sk), len(ct)) == oqs.KEM_SIZES[alg][:3]
    assert all(type(v) is bytes for v in (pk, sk, ct, ss))
    # A second encapsulation to the same key gives a fresh ciphertext and secret.
    ct2, ss2 = encap(oqs, alg, pk)
    assert ct2 != ct and ss2 != ss
    assert decap(oqs, alg, sk, ct2) == ss2


@pytest.mark.parametrize("alg", KEM_SAMPLE)
def test_kem_secret_depends_on_key_and_ciphertext(oqs, alg):
    pk, sk = kem_keypair(oqs, alg)
    _, other_sk = kem_keypair(oqs, alg)
    ct, ss = encap(oqs, alg, pk)
    assert decap(oqs, alg, other_sk, ct) != ss
    # A changed byte anywhere in the ciphertext (head or tail) changes the secret.
    assert decap(oqs, alg, sk, flip(ct, 0)) != ss
    assert decap(oqs, alg, sk, flip(ct, len(ct) - 1)) != ss
    # Encapsulating to a changed public key gives a secret the owner does not get.
    ct3, ss3 = encap(oqs, alg, flip(pk, len(pk) - 1))
    assert decap(oqs, alg, sk, ct3) != ss3


@pytest.mark.parametrize("alg", KEM_SAMPLE)
def test_kem_malformed_inputs_raise(oqs, alg):
    pk, sk = kem_keypair(oqs, alg)
    ct, ss = encap(oqs, alg, pk)
    with pytest.raises(ValueError, match="ciphertext"):
        decap(oqs, alg, sk, ct + b"\0")
    # As in the real binding, a short ciphertext is padded with zero bytes.
    for short in (ct[:-1], ct[:len(ct) // 2], b""):
        padded = short + bytes(len(ct) - len(short))
        assert decap(oqs, alg, sk, short) == decap(oqs, alg, sk, padded)
        assert padded == ct or decap(oqs, alg, sk, short) != ss
    with pytest.raises(ValueError, match="public key"):
        encap(oqs, alg, pk[:-1])
    with pytest.raises(ValueError, match="secret key"):
        decap(oqs, alg, sk[:-1], ct)
    with pytest.raises(ValueError, match="malformed"):
        decap(oqs, alg, flip(sk, len(sk) - 1), ct)
    with pytest.raises(RuntimeError, match="no secret key"):
        decap(oqs, alg, b"", ct)


def test_real_ml_kem_and_ml_dsa_interoperate_with_cryptography(oqs):
    real = {"ML-KEM-768", "ML-KEM-1024", "ML-DSA-44", "ML-DSA-65", "ML-DSA-87"}
    assert real <= oqs.REAL_PRIMITIVE
    pk, sk = kem_keypair(oqs, "ML-KEM-768")
    ss, ct = mlkem.MLKEM768PublicKey.from_public_bytes(pk).encapsulate()
    assert decap(oqs, "ML-KEM-768", sk, ct) == ss
    pk, sk = sig_keypair(oqs, "ML-DSA-65")
    signature = sign(oqs, "ML-DSA-65", sk, b"interop")
    mldsa.MLDSA65PublicKey.from_public_bytes(pk).verify(signature, b"interop")


@pytest.mark.parametrize(
    ("cls", "name"),
    [
        ("KeyEncapsulation", "Kyber512"),
        ("KeyEncapsulation", "ml-kem-768"),
        ("KeyEncapsulation", "ML-DSA-65"),
        ("Signature", "ML-KEM-768"),
        ("Signature", "SPHINCS+-SHA2-128f-simple"),
        ("Signature", "ML-DSA-87 "),
    ],
)
def test_unknown_mechanism_is_refused(oqs, cls, name):
    with pytest.raises(oqs.MechanismNotSupportedError) as info:
        getattr(oqs, cls)(name)
    assert info.value.alg_name == name
    assert name in str(info.value)
    assert oqs.EVENTS == [("refuse", cls, name, None, oqs.MechanismNotSupportedError)]
    assert oqs.exit_counts() == {}


@pytest.mark.parametrize("alg", SIG_NAMES)
def test_signature_verifies_and_tampering_fails(oqs, alg):
    oqs.enable_slh_dsa(oqs.SLH_DSA_NAMES)
    pk, sk = sig_keypair(oqs, alg)
    other_pk, _ = sig_keypair(oqs, alg)
    message = b"a message to sign"
    signature = sign(oqs, alg, sk, bytearray(message))
    assert (len(pk), len(sk), len(signature)) == oqs.SIG_SIZES[alg]
    assert type(signature) is bytes
    assert verify(oqs, alg, message, signature, pk) is True
    assert verify(oqs, alg, memoryview(message), bytearray(signature), bytearray(pk)) is True
    assert verify(oqs, alg, message + b"!", signature, pk) is False
    assert verify(oqs, alg, message, flip(signature, 0), pk) is False
    assert verify(oqs, alg, message, flip(signature, len(signature) - 1), pk) is False
    assert verify(oqs, alg, message, signature[:-1], pk) is False
    assert verify(oqs, alg, message, b"", pk) is False
    assert verify(oqs, alg, message, signature, other_pk) is False
    assert verify(oqs, alg, message, signature, flip(pk, len(pk) - 1)) is False
    with pytest.raises(ValueError, match="public key"):
        verify(oqs, alg, message, signature, pk + b"\0")
    with pytest.raises(ValueError, match="secret key"):
        sign(oqs, alg, b"\1", message)
    with pytest.raises(ValueError, match="malformed"):
        sign(oqs, alg, flip(sk, len(sk) - 1), message)


def test_slh_dsa_enablement_switch(oqs):
    enabled = oqs.get_enabled_sig_mechanisms()
    hyphenated = {"SLH-DSA-SHA2-128f", "SLH-DSA-SHA2-192f", "SLH-DSA-SHA2-256f"}
    underscored = {"SLH_DSA_PURE_SHA2_128F", "SLH_DSA_PURE_SHA2_192F", "SLH_DSA_PURE_SHA2_256F"}
    assert hyphenated <= set(enabled)
    assert not underscored & set(enabled)
    with pytest.raises(oqs.MechanismNotEnabledError, match="SLH_DSA_PURE_SHA2_128F"):
        oqs.Signature("SLH_DSA_PURE_SHA2_128F")

    oqs.enable_slh_dsa(["SLH_DSA_PURE_SHA2_192F"])
    assert [n for n in oqs.get_enabled_sig_mechanisms() if "SLH" in n] == ["SLH_DSA_PURE_SHA2_192F"]
    with pytest.raises(oqs.MechanismNotEnabledError):
        oqs.Signature("SLH-DSA-SHA2-192f")
    pk, sk = sig_keypair(oqs, "SLH_DSA_PURE_SHA2_192F")
    signature = sign(oqs, "SLH_DSA_PURE_SHA2_192F", sk, b"m")
    assert verify(oqs, "SLH_DSA_PURE_SHA2_192F", b"m", signature, pk)

    oqs.enable_slh_dsa([])
    assert oqs.get_enabled_sig_mechanisms() == ["ML-DSA-44", "ML-DSA-65", "ML-DSA-87"]
    with pytest.raises(ValueError, match="SLH-DSA-SHA2-128s"):
        oqs.enable_slh_dsa(["SLH-DSA-SHA2-128s"])
    oqs.reset()
    assert oqs.ENABLED_SLH_DSA == frozenset(oqs.SLH_DSA_NAMES[:3])


def test_block_events_and_release(oqs):
    with oqs.KeyEncapsulation("ML-KEM-768") as kem:
        pk = kem.generate_keypair()
        kem.export_secret_key()
    serial = kem.serial
    with pytest.raises(ValueError):
        with oqs.KeyEncapsulation("ML-KEM-768") as failing:
            failing.encap_secret(pk[:-1])
    assert oqs.EVENTS == [
        ("construct", "KeyEncapsulation", "ML-KEM-768", serial, None),
        ("enter", "KeyEncapsulation", "ML-KEM-768", serial, None),
        ("call", "KeyEncapsulation", "ML-KEM-768", serial, "generate_keypair"),
        ("call", "KeyEncapsulation", "ML-KEM-768", serial, "export_secret_key"),
        ("exit", "KeyEncapsulation", "ML-KEM-768", serial, None),
        ("construct", "KeyEncapsulation", "ML-KEM-768", failing.serial, None),
        ("enter", "KeyEncapsulation", "ML-KEM-768", failing.serial, None),
        ("call", "KeyEncapsulation", "ML-KEM-768", failing.serial, "encap_secret"),
        ("exit", "KeyEncapsulation", "ML-KEM-768", failing.serial, ValueError),
    ]
    assert oqs.exit_counts() == {serial: 1, failing.serial: 1}
    # The block released the object: no further use, no second release.
    with pytest.raises(RuntimeError, match="after its block"):
        kem.export_secret_key()
    with pytest.raises(RuntimeError, match="twice"):
        kem.__exit__(None, None, None)
    assert oqs.exit_counts()[serial] == 2


def test_inputs_must_be_bytes_like(oqs):
    pk, sk = kem_keypair(oqs, "FrodoKEM-976-AES")
    ct, ss = encap(oqs, "FrodoKEM-976-AES", bytearray(pk))
    assert decap(oqs, "FrodoKEM-976-AES", bytearray(sk), memoryview(ct)) == ss
    with pytest.raises(TypeError):
        encap(oqs, "FrodoKEM-976-AES", pk.hex())
    with pytest.raises(TypeError):
        decap(oqs, "FrodoKEM-976-AES", sk, len(ct))
