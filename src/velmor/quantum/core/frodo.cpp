// Generations 4 and 6: FrodoKEM with AES-256-GCM. The capsule is the FrodoKEM ciphertext
// itself. Generation 4 always uses FrodoKEM-1344-AES and keys GCM with HMAC(ss, 0x01); its
// message is nonce | ct | tag. Generation 6 follows the strength byte and keys GCM with HKDF
// under a 16-byte salt; its message is salt | nonce | ct | tag.
#include "quantum/core/core.hpp"

namespace velmor::quantum {

using namespace vm;

namespace {
namespace n {
VM_NAME(_oqs);
VM_NAME(frodo_alg);
VM_NAME(encapsulate);
VM_NAME(decapsulate);
VM_NAME(QuantumStrength);
VM_NAME(HIGHEST);
VM_NAME(_gen4_key);
VM_NAME(_hkdf);
VM_NAME(_GEN6_INFO);
VM_NAME(_gcm_seal);
VM_NAME(_gcm_open);
VM_NAME(InvalidInputError);
}  // namespace n
}  // namespace

// _gen4_encrypt(data: bytes, raw_pk: bytes) -> tuple[bytes, bytes]
object gen4_encrypt(const Scope& s, Args a) {
    handle data = a[0], raw_pk = a[1];
    object oqs = s[n::_oqs];
    object alg = s[n::_oqs].attr(n::frodo_alg)(s[n::QuantumStrength].attr(n::HIGHEST));
    object public_key = key_part(s, alg, Part::public_key, raw_pk, "Invalid Gen4 public key");
    object capsule, ss;
    unpack(oqs.attr(n::encapsulate)(alg, public_key), {&capsule, &ss});
    object nonce = random_bytes(12);
    object ct, tag;
    unpack(s[n::_gcm_seal](s[n::_gen4_key](ss), nonce, data), {&ct, &tag});
    return nb::make_tuple(capsule, join({nonce, ct, tag}));
}

// _gen4_decrypt(enc: bytes, raw_sk: bytes, capsule: bytes) -> bytes
object gen4_decrypt(const Scope& s, Args a) {
    handle enc = a[0], raw_sk = a[1], capsule = a[2];
    if (length(enc) < 28) raise(s[n::InvalidInputError], "Invalid Gen4 encrypted message");
    object oqs = s[n::_oqs];
    object alg = s[n::_oqs].attr(n::frodo_alg)(s[n::QuantumStrength].attr(n::HIGHEST));
    object secret_key = key_part(s, alg, Part::secret_key, raw_sk, "Invalid Gen4 private key");
    object ss = oqs.attr(n::decapsulate)(alg, secret_key, capsule);
    object key = s[n::_gen4_key](ss);
    return s[n::_gcm_open](key, slice(enc, 0, 12), slice(enc, 12, -16), slice(enc, -16, kEnd));
}

// _gen6_encrypt(data: bytes, raw_pk: bytes, strength: int) -> tuple[bytes, bytes]
object gen6_encrypt(const Scope& s, Args a) {
    handle data = a[0], raw_pk = a[1], strength = a[2];
    object oqs = s[n::_oqs];
    object alg = s[n::_oqs].attr(n::frodo_alg)(strength);
    object public_key = key_part(s, alg, Part::public_key, raw_pk, "Invalid Gen6 public key");
    object capsule, ss;
    unpack(oqs.attr(n::encapsulate)(alg, public_key), {&capsule, &ss});
    object salt = random_bytes(16);
    object key = s[n::_hkdf](ss, salt, s[n::_GEN6_INFO], number(32));
    object nonce = random_bytes(12);
    object ct, tag;
    unpack(s[n::_gcm_seal](key, nonce, data), {&ct, &tag});
    return nb::make_tuple(capsule, join({salt, nonce, ct, tag}));
}

// _gen6_decrypt(enc: bytes, raw_sk: bytes, capsule: bytes, strength: int) -> bytes
object gen6_decrypt(const Scope& s, Args a) {
    handle enc = a[0], raw_sk = a[1], capsule = a[2], strength = a[3];
    if (length(enc) < 44) raise(s[n::InvalidInputError], "Invalid Gen6 encrypted message");
    object salt = slice(enc, 0, 16);
    object nonce = slice(enc, 16, 28);
    object oqs = s[n::_oqs];
    object alg = s[n::_oqs].attr(n::frodo_alg)(strength);
    object secret_key = key_part(s, alg, Part::secret_key, raw_sk, "Invalid Gen6 private key");
    object ss = oqs.attr(n::decapsulate)(alg, secret_key, capsule);
    object key = s[n::_hkdf](ss, salt, s[n::_GEN6_INFO], number(32));
    return s[n::_gcm_open](key, nonce, slice(enc, 28, -16), slice(enc, -16, kEnd));
}

}  // namespace velmor::quantum
