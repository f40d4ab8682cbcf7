// Generations 2 and 5: Classic McEliece with AES-256-CBC and HMAC-SHA256, encrypt-then-MAC.
// Generation 2: message iv | ct | mac, AES key HKDF(ss) without salt or label, MAC key ss.
// Generation 5: message salt | iv | ct | mac, both keys from one 64-byte HKDF under the salt.
// Decryption compares the MAC in constant time before it decrypts a single byte.
#include "quantum/core/core.hpp"

namespace velmor::n {
VM_NAME(_cbc_encrypt);
VM_NAME(_cbc_decrypt);
VM_NAME(_GEN5_INFO);
}  // namespace velmor::n

namespace velmor::quantum {

namespace {

// Generation 5 derives both keys at once: the AES key, then the MAC key.
constexpr Py_ssize_t kKeyPair = 2 * kKey;

object gen2_aes_key(const Scope& s, handle ss) {
    return s[n::_hkdf](ss, nb::bytes("", 0), nb::bytes("", 0), nb::int_(kKey));
}

// dk = _hkdf(ss, salt, _GEN5_INFO, 64): generation 5's AES key (dk[:32]) and MAC key (dk[32:64])
void gen5_keys(const Scope& s, handle ss, handle salt, object& aes_key, object& mac_key) {
    object dk = s[n::_hkdf](ss, salt, s[n::_GEN5_INFO], nb::int_(kKeyPair));
    aes_key = vm::slice(dk, 0, kKey);
    mac_key = vm::slice(dk, kKey, kKeyPair);
}

bool mac_matches(const Scope& s, handle received, handle computed) {
    return vm::truthy(s[n::hmac].attr(n::compare_digest)(received, computed));
}

}  // namespace

object gen2_encrypt(const Scope& s, handle data, handle raw_pk, handle strength) {
    object capsule, ss;
    encapsulate(s, n::cmce_alg, strength, raw_pk, "Invalid Gen2 public key", capsule, ss);
    object aes_key = gen2_aes_key(s, ss);
    object iv = random_bytes(kIv);
    object ct = s[n::_cbc_encrypt](data, aes_key, iv);
    object mac = s[n::_hmac256](ss, vm::join({iv, ct}));
    return nb::make_tuple(capsule, vm::join({iv, ct, mac}));
}

object gen2_decrypt(const Scope& s, handle enc, handle raw_sk, handle capsule, handle strength) {
    if (nb::len(enc) < kIv + kMac) vm::raise(s[n::InvalidInputError], "Invalid Gen2 encrypted message");
    object iv = vm::slice(enc, 0, kIv);
    object mac = vm::slice(enc, -kMac, vm::kEnd);
    object ct = vm::slice(enc, kIv, -kMac);
    object ss = decapsulate(s, n::cmce_alg, strength, raw_sk, capsule, "Invalid Gen2 private key");
    object expected = s[n::_hmac256](ss, vm::join({iv, ct}));
    if (!mac_matches(s, mac, expected)) vm::raise(s[n::DecryptionError], "Gen2 HMAC verification failed");
    object aes_key = gen2_aes_key(s, ss);
    return s[n::_cbc_decrypt](ct, aes_key, iv);
}

object gen5_encrypt(const Scope& s, handle data, handle raw_pk, handle strength) {
    object capsule, ss;
    encapsulate(s, n::cmce_alg, strength, raw_pk, "Invalid Gen5 public key", capsule, ss);
    object salt = random_bytes(kSalt);
    object aes_key, mac_key;
    gen5_keys(s, ss, salt, aes_key, mac_key);
    object iv = random_bytes(kIv);
    object ct = s[n::_cbc_encrypt](data, aes_key, iv);
    object mac = s[n::_hmac256](mac_key, vm::join({salt, iv, ct}));
    return nb::make_tuple(capsule, vm::join({salt, iv, ct, mac}));
}

object gen5_decrypt(const Scope& s, handle enc, handle raw_sk, handle capsule, handle strength) {
    if (nb::len(enc) < kSalt + kIv + kMac)
        vm::raise(s[n::InvalidInputError], "Invalid Gen5 encrypted message");
    object salt = vm::slice(enc, 0, kSalt);
    object iv = vm::slice(enc, kSalt, kSalt + kIv);
    object mac = vm::slice(enc, -kMac, vm::kEnd);
    object ct = vm::slice(enc, kSalt + kIv, -kMac);
    object ss = decapsulate(s, n::cmce_alg, strength, raw_sk, capsule, "Invalid Gen5 private key");
    object aes_key, mac_key;
    gen5_keys(s, ss, salt, aes_key, mac_key);
    object expected = s[n::_hmac256](mac_key, vm::join({salt, iv, ct}));
    if (!mac_matches(s, mac, expected)) vm::raise(s[n::DecryptionError], "Gen5 HMAC verification failed");
    return s[n::_cbc_decrypt](ct, aes_key, iv);
}

}  // namespace velmor::quantum
