// Generation 8: X25519 with ML-KEM. The AES-256-GCM key is HKDF over the X25519 secret followed
// by the ML-KEM secret. Capsule: len(ct) (u32 LE) | ML-KEM ciphertext | ephemeral X25519 public
// key; trailing bytes are ignored. Message: salt (32) | nonce (12) | ct | tag (16).
#include "quantum/core/core.hpp"

namespace velmor::quantum {

using namespace vm;

namespace {
namespace n {
VM_NAME(_oqs);
VM_NAME(mlkem_alg);
VM_NAME(encapsulate);
VM_NAME(decapsulate);
VM_NAME(X25519PrivateKey);
VM_NAME(X25519PublicKey);
VM_NAME(generate);
VM_NAME(from_private_bytes);
VM_NAME(from_public_bytes);
VM_NAME(exchange);
VM_NAME(_x25519_raw);
VM_NAME(_hkdf);
VM_NAME(_GEN8_INFO);
VM_NAME(_gcm_seal);
VM_NAME(_gcm_open);
VM_NAME(InvalidInputError);
}  // namespace n
}  // namespace

// _gen8_encrypt(data: bytes, raw: bytes, strength: int) -> tuple[bytes, bytes]
object gen8_encrypt(const Scope& s, Args a) {
    handle data = a[0], raw = a[1], strength = a[2];
    if (length(raw) < 32) raise(s[n::InvalidInputError], "Invalid Gen8 public key");
    object x_pub = slice(raw, 0, 32);
    object mlkem_raw = slice(raw, 32, kEnd);
    object oqs = s[n::_oqs];
    object alg = s[n::_oqs].attr(n::mlkem_alg)(strength);
    object mlkem_pub = key_part(s, alg, Part::public_key, mlkem_raw, "Invalid Gen8 public key");
    object mlkem_ct, mlkem_ss;
    unpack(oqs.attr(n::encapsulate)(alg, mlkem_pub), {&mlkem_ct, &mlkem_ss});
    object eph = s[n::X25519PrivateKey].attr(n::generate)();
    object eph_pub = item(s[n::_x25519_raw](eph), 0);
    object x_ss = eph.attr(n::exchange)(s[n::X25519PublicKey].attr(n::from_public_bytes)(x_pub));
    object combined = join({x_ss, mlkem_ss});
    object salt = random_bytes(32);
    object key = s[n::_hkdf](combined, salt, s[n::_GEN8_INFO], number(32));
    object nonce = random_bytes(12);
    object ct, tag;
    unpack(s[n::_gcm_seal](key, nonce, data), {&ct, &tag});
    object encapsulated = join({packed_length(s, mlkem_ct), mlkem_ct, eph_pub});
    return nb::make_tuple(encapsulated, join({salt, nonce, ct, tag}));
}

// _gen8_decrypt(enc: bytes, raw: bytes, secret: bytes, strength: int) -> bytes
object gen8_decrypt(const Scope& s, Args a) {
    handle enc = a[0], raw = a[1], secret = a[2], strength = a[3];
    if (length(raw) < 32) raise(s[n::InvalidInputError], "Invalid Gen8 private key");
    if (length(secret) < 36) raise(s[n::InvalidInputError], "Invalid Gen8 encapsulated secret");
    if (length(enc) < 60) raise(s[n::InvalidInputError], "Invalid Gen8 encrypted message");
    object x_priv = slice(raw, 0, 32);
    object mlkem_raw = slice(raw, 32, kEnd);
    Py_ssize_t ct_len = length_field(secret);
    if (ct_len == 0 || ct_len > length(secret) - 4 - 32)
        raise(s[n::InvalidInputError], "Invalid Gen8 encapsulated secret");
    object mlkem_ct = slice(secret, 4, 4 + ct_len);
    object eph_pub = slice(secret, 4 + ct_len, 4 + ct_len + 32);
    object oqs = s[n::_oqs];
    object alg = s[n::_oqs].attr(n::mlkem_alg)(strength);
    object mlkem_priv = key_part(s, alg, Part::secret_key, mlkem_raw, "Invalid Gen8 private key");
    object mlkem_ss = oqs.attr(n::decapsulate)(alg, mlkem_priv, mlkem_ct);
    object priv = s[n::X25519PrivateKey].attr(n::from_private_bytes)(x_priv);
    object x_ss = priv.attr(n::exchange)(s[n::X25519PublicKey].attr(n::from_public_bytes)(eph_pub));
    object combined = join({x_ss, mlkem_ss});
    object salt = slice(enc, 0, 32);
    object nonce = slice(enc, 32, 44);
    object key = s[n::_hkdf](combined, salt, s[n::_GEN8_INFO], number(32));
    return s[n::_gcm_open](key, nonce, slice(enc, 44, -16), slice(enc, -16, kEnd));
}

}  // namespace velmor::quantum
