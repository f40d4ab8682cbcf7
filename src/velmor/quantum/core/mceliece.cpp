// Generations 2 and 5: Classic McEliece with AES-256-CBC and HMAC-SHA256, encrypt-then-MAC.
// Generation 2: message iv | ct | mac, AES key HKDF(ss) without salt or label, MAC key ss.
// Generation 5: message salt | iv | ct | mac, both keys from one 64-byte HKDF under the salt.
// Decryption compares the MAC in constant time before it decrypts a single byte.
#include "quantum/core/core.hpp"

namespace velmor::quantum {

using namespace vm;

namespace {
namespace n {
VM_NAME(_oqs);
VM_NAME(cmce_alg);
VM_NAME(encapsulate);
VM_NAME(decapsulate);
VM_NAME(_hkdf);
VM_NAME(_cbc_encrypt);
VM_NAME(_cbc_decrypt);
VM_NAME(_hmac256);
VM_NAME(_GEN5_INFO);
VM_NAME(hmac);
VM_NAME(compare_digest);
VM_NAME(InvalidInputError);
VM_NAME(DecryptionError);
}  // namespace n

object empty_bytes() { return checked(PyBytes_FromStringAndSize("", 0)); }

// `refused` is the generation's message for a key part of the wrong length
void encapsulate_cmce(const Scope& s, handle raw_pk, handle strength, const char* refused, object& capsule,
                      object& ss) {
    object oqs = s[n::_oqs];
    object alg = s[n::_oqs].attr(n::cmce_alg)(strength);
    object public_key = key_part(s, alg, Part::public_key, raw_pk, refused);
    unpack(oqs.attr(n::encapsulate)(alg, public_key), {&capsule, &ss});
}

object decapsulate_cmce(const Scope& s, handle raw_sk, handle capsule, handle strength, const char* refused) {
    object oqs = s[n::_oqs];
    object alg = s[n::_oqs].attr(n::cmce_alg)(strength);
    object secret_key = key_part(s, alg, Part::secret_key, raw_sk, refused);
    return oqs.attr(n::decapsulate)(alg, secret_key, capsule);
}

bool mac_matches(const Scope& s, handle received, handle computed) {
    return truthy(s[n::hmac].attr(n::compare_digest)(received, computed));
}

}  // namespace

// _gen2_encrypt(data: bytes, raw_pk: bytes, strength: int) -> tuple[bytes, bytes]
object gen2_encrypt(const Scope& s, Args a) {
    handle data = a[0], raw_pk = a[1], strength = a[2];
    object capsule, ss;
    encapsulate_cmce(s, raw_pk, strength, "Invalid Gen2 public key", capsule, ss);
    object aes_key = s[n::_hkdf](ss, empty_bytes(), empty_bytes(), number(32));
    object iv = random_bytes(16);
    object ct = s[n::_cbc_encrypt](data, aes_key, iv);
    object mac = s[n::_hmac256](ss, join({iv, ct}));
    return nb::make_tuple(capsule, join({iv, ct, mac}));
}

// _gen2_decrypt(enc: bytes, raw_sk: bytes, capsule: bytes, strength: int) -> bytes
object gen2_decrypt(const Scope& s, Args a) {
    handle enc = a[0], raw_sk = a[1], capsule = a[2], strength = a[3];
    if (length(enc) < 48) raise(s[n::InvalidInputError], "Invalid Gen2 encrypted message");
    object iv = slice(enc, 0, 16);
    object mac = slice(enc, -32, kEnd);
    object ct = slice(enc, 16, -32);
    object ss = decapsulate_cmce(s, raw_sk, capsule, strength, "Invalid Gen2 private key");
    object expected = s[n::_hmac256](ss, join({iv, ct}));
    if (!mac_matches(s, mac, expected)) raise(s[n::DecryptionError], "Gen2 HMAC verification failed");
    object aes_key = s[n::_hkdf](ss, empty_bytes(), empty_bytes(), number(32));
    return s[n::_cbc_decrypt](ct, aes_key, iv);
}

// _gen5_encrypt(data: bytes, raw_pk: bytes, strength: int) -> tuple[bytes, bytes]
object gen5_encrypt(const Scope& s, Args a) {
    handle data = a[0], raw_pk = a[1], strength = a[2];
    object capsule, ss;
    encapsulate_cmce(s, raw_pk, strength, "Invalid Gen5 public key", capsule, ss);
    object salt = random_bytes(32);
    object dk = s[n::_hkdf](ss, salt, s[n::_GEN5_INFO], number(64));
    object aes_key = slice(dk, 0, 32);
    object mac_key = slice(dk, 32, 64);
    object iv = random_bytes(16);
    object ct = s[n::_cbc_encrypt](data, aes_key, iv);
    object mac = s[n::_hmac256](mac_key, join({salt, iv, ct}));
    return nb::make_tuple(capsule, join({salt, iv, ct, mac}));
}

// _gen5_decrypt(enc: bytes, raw_sk: bytes, capsule: bytes, strength: int) -> bytes
object gen5_decrypt(const Scope& s, Args a) {
    handle enc = a[0], raw_sk = a[1], capsule = a[2], strength = a[3];
    if (length(enc) < 80) raise(s[n::InvalidInputError], "Invalid Gen5 encrypted message");
    object salt = slice(enc, 0, 32);
    object iv = slice(enc, 32, 48);
    object mac = slice(enc, -32, kEnd);
    object ct = slice(enc, 48, -32);
    object ss = decapsulate_cmce(s, raw_sk, capsule, strength, "Invalid Gen5 private key");
    object dk = s[n::_hkdf](ss, salt, s[n::_GEN5_INFO], number(64));
    object aes_key = slice(dk, 0, 32);
    object mac_key = slice(dk, 32, 64);
    object expected = s[n::_hmac256](mac_key, join({salt, iv, ct}));
    if (!mac_matches(s, mac, expected)) raise(s[n::DecryptionError], "Gen5 HMAC verification failed");
    return s[n::_cbc_decrypt](ct, aes_key, iv);
}

}  // namespace velmor::quantum
