// Generation 8: X25519 with ML-KEM. Keys hold the raw X25519 key before the ML-KEM key. The
// AES-256-GCM key is HKDF over the X25519 secret followed by the ML-KEM secret. Capsule: len(ct)
// (u32 LE) | ML-KEM ciphertext | ephemeral X25519 public key; trailing bytes are ignored.
// Message: salt (32) | nonce (12) | ct | tag (16).
#include "quantum/core/core.hpp"

namespace velmor::n {
VM_NAME(mlkem_alg);
VM_NAME(_x25519_raw);
VM_NAME(X25519PrivateKey);
VM_NAME(generate);
VM_NAME(X25519PublicKey);
VM_NAME(from_private_bytes);
VM_NAME(from_public_bytes);
VM_NAME(exchange);
VM_NAME(_GEN8_INFO);
}  // namespace velmor::n

namespace velmor::quantum {

object gen8_generate(const Scope& s, handle strength) {
    object x_pub, x_priv, mlkem_pub, mlkem_priv;
    vm::unpack(s[n::_x25519_raw](s[n::X25519PrivateKey].attr(n::generate)()), {&x_pub, &x_priv});
    object oqs = s[n::_oqs];
    vm::unpack(oqs.attr(n::generate_keypair)(s[n::_oqs].attr(n::mlkem_alg)(strength)),
               {&mlkem_pub, &mlkem_priv});
    object head = vm::bytes_of_items({nb::int_(8), nb::int_(strength)});
    object pub = vm::join({head, x_pub, mlkem_pub});
    object priv = vm::join({head, x_priv, mlkem_priv});
    return nb::make_tuple(pub, priv);
}

object gen8_encrypt(const Scope& s, handle data, handle raw, handle strength) {
    if (nb::len(raw) < kX25519Key) vm::raise(s[n::InvalidInputError], "Invalid Gen8 public key");
    object x_pub = vm::slice(raw, 0, kX25519Key);
    object mlkem_raw = vm::slice(raw, kX25519Key, vm::kEnd);
    object mlkem_ct, mlkem_ss;
    encapsulate(s, n::mlkem_alg, strength, mlkem_raw, "Invalid Gen8 public key", mlkem_ct, mlkem_ss);
    object eph = s[n::X25519PrivateKey].attr(n::generate)();
    object eph_pub = s[n::_x25519_raw](eph)[nb::int_(0)];
    object x_ss = eph.attr(n::exchange)(s[n::X25519PublicKey].attr(n::from_public_bytes)(x_pub));
    object combined = vm::join({x_ss, mlkem_ss});
    return seal_hybrid(s, combined, n::_GEN8_INFO, data, mlkem_ct, eph_pub);
}

object gen8_decrypt(const Scope& s, handle enc, handle raw, handle secret, handle strength) {
    if (nb::len(raw) < kX25519Key) vm::raise(s[n::InvalidInputError], "Invalid Gen8 private key");
    if (nb::len(secret) < kLengthField + kX25519Key)
        vm::raise(s[n::InvalidInputError], "Invalid Gen8 encapsulated secret");
    if (nb::len(enc) < kSalt + kNonce + kTag)
        vm::raise(s[n::InvalidInputError], "Invalid Gen8 encrypted message");
    object x_priv = vm::slice(raw, 0, kX25519Key);
    object mlkem_raw = vm::slice(raw, kX25519Key, vm::kEnd);
    Py_ssize_t ct_len = length_field(secret);
    if (ct_len == 0 || ct_len > Py_ssize_t(nb::len(secret)) - kLengthField - kX25519Key)
        vm::raise(s[n::InvalidInputError], "Invalid Gen8 encapsulated secret");
    object mlkem_ct = vm::slice(secret, kLengthField, kLengthField + ct_len);
    object eph_pub = vm::slice(secret, kLengthField + ct_len, kLengthField + ct_len + kX25519Key);
    object mlkem_ss = decapsulate(s, n::mlkem_alg, strength, mlkem_raw, mlkem_ct, "Invalid Gen8 private key");
    object priv = s[n::X25519PrivateKey].attr(n::from_private_bytes)(x_priv);
    object x_ss = priv.attr(n::exchange)(s[n::X25519PublicKey].attr(n::from_public_bytes)(eph_pub));
    object combined = vm::join({x_ss, mlkem_ss});
    return open_hybrid(s, combined, n::_GEN8_INFO, enc);
}

}  // namespace velmor::quantum
