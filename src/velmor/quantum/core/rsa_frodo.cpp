// Generation 7: RSA-4096 with FrodoKEM. A fresh 32-byte session key travels under RSA-OAEP; it is
// mixed with the FrodoKEM secret by XOR and HKDF gives the AES-256-GCM key. Capsule: K (u32 LE) |
// RSA-OAEP block (K) | FrodoKEM ciphertext. Message: salt (32) | nonce (12) | ct | tag (16).
#include "quantum/core/core.hpp"

namespace velmor::quantum {

using namespace vm;

namespace {
namespace n {
VM_NAME(_oqs);
VM_NAME(frodo_alg);
VM_NAME(encapsulate);
VM_NAME(decapsulate);
VM_NAME(load_der_public_key);
VM_NAME(load_der_private_key);
VM_NAME(_pkcs1_to_spki);
VM_NAME(_OAEP);
VM_NAME(_xor_mix);
VM_NAME(_hkdf);
VM_NAME(_GEN7_INFO);
VM_NAME(_gcm_seal);
VM_NAME(_gcm_open);
VM_NAME(InvalidInputError);
VM_NAME(DecryptionError);
VM_NAME(encrypt);
VM_NAME(decrypt);
static Keywords password{"password"};
}  // namespace n

}  // namespace

// _gen7_encrypt(data: bytes, raw: bytes, strength: int) -> tuple[bytes, bytes]
object gen7_encrypt(const Scope& s, Args a) {
    handle data = a[0], raw = a[1], strength = a[2];
    if (length(raw) < 4) raise(s[n::InvalidInputError], "Invalid Gen7 public key");
    Py_ssize_t rsa_len = length_field(raw);
    object rsa_pub_der = slice(raw, 4, 4 + rsa_len);
    object frodo_raw = slice(raw, 4 + rsa_len, kEnd);
    if (length(rsa_pub_der) != rsa_len || length(frodo_raw) == 0)
        raise(s[n::InvalidInputError], "Invalid Gen7 public key (truncated)");
    object rsa_pub;
    try {
        rsa_pub = s[n::load_der_public_key](s[n::_pkcs1_to_spki](rsa_pub_der));
    } catch (error& e) {
        if (!is_exception(e)) throw;
        raise_prefixed(s[n::InvalidInputError], "Invalid Gen7 RSA public key: ", e);
    }
    object session_key = random_bytes(32);
    object rsa_enc_key = rsa_pub.attr(n::encrypt)(session_key, s[n::_OAEP]);
    object oqs = s[n::_oqs];
    object alg = s[n::_oqs].attr(n::frodo_alg)(strength);
    object frodo_pub = key_part(s, alg, Part::public_key, frodo_raw, "Invalid Gen7 public key");
    object frodo_capsule, frodo_ss;
    unpack(oqs.attr(n::encapsulate)(alg, frodo_pub), {&frodo_capsule, &frodo_ss});
    object combined = s[n::_xor_mix](session_key, frodo_ss);
    object salt = random_bytes(32);
    object key = s[n::_hkdf](combined, salt, s[n::_GEN7_INFO], number(32));
    object nonce = random_bytes(12);
    object ct, tag;
    unpack(s[n::_gcm_seal](key, nonce, data), {&ct, &tag});
    object encapsulated = join({packed_length(s, rsa_enc_key), rsa_enc_key, frodo_capsule});
    return nb::make_tuple(encapsulated, join({salt, nonce, ct, tag}));
}

// _gen7_decrypt(enc: bytes, raw: bytes, secret: bytes, strength: int) -> bytes
object gen7_decrypt(const Scope& s, Args a) {
    handle enc = a[0], raw = a[1], secret = a[2], strength = a[3];
    if (length(raw) < 4) raise(s[n::InvalidInputError], "Invalid Gen7 private key");
    Py_ssize_t rsa_len = length_field(raw);
    object rsa_priv_der = slice(raw, 4, 4 + rsa_len);
    object frodo_raw = slice(raw, 4 + rsa_len, kEnd);
    if (length(secret) < 4) raise(s[n::InvalidInputError], "Invalid Gen7 encapsulated secret");
    Py_ssize_t rsa_enc_len = length_field(secret);
    object rsa_enc_key = slice(secret, 4, 4 + rsa_enc_len);
    object frodo_capsule = slice(secret, 4 + rsa_enc_len, kEnd);
    if (length(enc) < 60) raise(s[n::InvalidInputError], "Invalid Gen7 encrypted message");
    object rsa_priv;
    try {
        rsa_priv = call_kw(s[n::load_der_private_key], {rsa_priv_der}, n::password, {Py_None});
    } catch (error& e) {
        if (!is_exception(e)) throw;
        raise_prefixed(s[n::InvalidInputError], "Invalid Gen7 RSA private key: ", e);
    }
    object session_key;
    try {
        session_key = rsa_priv.attr(n::decrypt)(rsa_enc_key, s[n::_OAEP]);
    } catch (error& e) {
        if (!is_exception(e)) throw;
        raise_from(s[n::DecryptionError], "Gen7 RSA decryption failed", e);
    }
    object oqs = s[n::_oqs];
    object alg = s[n::_oqs].attr(n::frodo_alg)(strength);
    object frodo_sec = key_part(s, alg, Part::secret_key, frodo_raw, "Invalid Gen7 private key");
    object frodo_ss = oqs.attr(n::decapsulate)(alg, frodo_sec, frodo_capsule);
    object combined = s[n::_xor_mix](session_key, frodo_ss);
    object salt = slice(enc, 0, 32);
    object nonce = slice(enc, 32, 44);
    object key = s[n::_hkdf](combined, salt, s[n::_GEN7_INFO], number(32));
    return s[n::_gcm_open](key, nonce, slice(enc, 44, -16), slice(enc, -16, kEnd));
}

}  // namespace velmor::quantum
