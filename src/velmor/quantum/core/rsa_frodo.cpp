// Generation 7: RSA-4096 with FrodoKEM. Keys hold the RSA key as length-prefixed PKCS#1 DER
// before the FrodoKEM key. A fresh 32-byte session key travels under RSA-OAEP; it is mixed with
// the FrodoKEM secret by XOR and HKDF gives the AES-256-GCM key. Capsule: K (u32 LE) | RSA-OAEP
// block (K) | FrodoKEM ciphertext. Message: salt (32) | nonce (12) | ct | tag (16).
#include "quantum/core/core.hpp"

namespace velmor::n {
VM_NAME(_rsa_asym);
VM_NAME(DER);
VM_NAME(PKCS1);
VM_NAME(TraditionalOpenSSL);
VM_NAME(load_der_public_key);
VM_NAME(load_der_private_key);
VM_NAME(_pkcs1_to_spki);
VM_NAME(_xor_mix);
VM_NAME(_GEN7_INFO);
}  // namespace velmor::n

namespace velmor::quantum {

namespace {

constexpr long kRsaExponent = 65537;
constexpr long kRsaBits = 4096;

}  // namespace

object gen7_generate(const Scope& s, handle strength) {
    object key = vm::call_kw(s[n::_rsa_asym].attr(n::generate_private_key), {}, n::rsa_key,
                             {nb::int_(kRsaExponent), nb::int_(kRsaBits)});
    object rsa_pub_der, rsa_priv_der;
    export_pair(s, key, n::DER, n::PKCS1, n::TraditionalOpenSSL, rsa_pub_der, rsa_priv_der);
    object oqs = s[n::_oqs];
    object frodo_pub, frodo_sec;
    vm::unpack(oqs.attr(n::generate_keypair)(s[n::_oqs].attr(n::frodo_alg)(strength)),
               {&frodo_pub, &frodo_sec});
    object head = vm::bytes_of_items({nb::int_(7), nb::int_(strength)});
    object pub = vm::join({head, packed_length(s, rsa_pub_der), rsa_pub_der, frodo_pub});
    object priv = vm::join({head, packed_length(s, rsa_priv_der), rsa_priv_der, frodo_sec});
    return nb::make_tuple(pub, priv);
}

object gen7_encrypt(const Scope& s, handle data, handle raw, handle strength) {
    if (nb::len(raw) < kLengthField) vm::raise(s[n::InvalidInputError], "Invalid Gen7 public key");
    Py_ssize_t rsa_len = length_field(raw);
    object rsa_pub_der = vm::slice(raw, kLengthField, kLengthField + rsa_len);
    object frodo_raw = vm::slice(raw, kLengthField + rsa_len, vm::kEnd);
    if (Py_ssize_t(nb::len(rsa_pub_der)) != rsa_len || nb::len(frodo_raw) == 0)
        vm::raise(s[n::InvalidInputError], "Invalid Gen7 public key (truncated)");
    object rsa_pub;
    try {
        object load = s[n::load_der_public_key];
        rsa_pub = load(s[n::_pkcs1_to_spki](rsa_pub_der));
    } catch (vm::error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        vm::raise_prefixed(s, n::InvalidInputError, "Invalid Gen7 RSA public key: ", e);
    }
    object session_key = random_bytes(kKey);
    object rsa_enc_key = rsa_pub.attr(n::encrypt)(session_key, s[n::_OAEP]);
    object frodo_capsule, frodo_ss;
    encapsulate(s, n::frodo_alg, strength, frodo_raw, "Invalid Gen7 public key", frodo_capsule, frodo_ss);
    object combined = s[n::_xor_mix](session_key, frodo_ss);
    return seal_hybrid(s, combined, n::_GEN7_INFO, data, rsa_enc_key, frodo_capsule);
}

object gen7_decrypt(const Scope& s, handle enc, handle raw, handle secret, handle strength) {
    if (nb::len(raw) < kLengthField) vm::raise(s[n::InvalidInputError], "Invalid Gen7 private key");
    Py_ssize_t rsa_len = length_field(raw);
    object rsa_priv_der = vm::slice(raw, kLengthField, kLengthField + rsa_len);
    object frodo_raw = vm::slice(raw, kLengthField + rsa_len, vm::kEnd);
    if (nb::len(secret) < kLengthField)
        vm::raise(s[n::InvalidInputError], "Invalid Gen7 encapsulated secret");
    Py_ssize_t rsa_enc_len = length_field(secret);
    object rsa_enc_key = vm::slice(secret, kLengthField, kLengthField + rsa_enc_len);
    object frodo_capsule = vm::slice(secret, kLengthField + rsa_enc_len, vm::kEnd);
    if (nb::len(enc) < kSalt + kNonce + kTag)
        vm::raise(s[n::InvalidInputError], "Invalid Gen7 encrypted message");
    object rsa_priv;
    try {
        rsa_priv = vm::call_kw(s[n::load_der_private_key], {rsa_priv_der}, n::password, {nb::none()});
    } catch (vm::error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        vm::raise_prefixed(s, n::InvalidInputError, "Invalid Gen7 RSA private key: ", e);
    }
    object session_key;
    try {
        session_key = rsa_priv.attr(n::decrypt)(rsa_enc_key, s[n::_OAEP]);
    } catch (vm::error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        vm::raise_from(s, n::DecryptionError, "Gen7 RSA decryption failed", e);
    }
    object frodo_ss =
        decapsulate(s, n::frodo_alg, strength, frodo_raw, frodo_capsule, "Invalid Gen7 private key");
    object combined = s[n::_xor_mix](session_key, frodo_ss);
    return open_hybrid(s, combined, n::_GEN7_INFO, enc);
}

}  // namespace velmor::quantum
