// Generations 4 and 6: FrodoKEM with AES-256-GCM. The capsule is the FrodoKEM ciphertext
// itself. Generation 4 always uses FrodoKEM-1344-AES and keys GCM with HMAC(ss, 0x01); its
// message is nonce | ct | tag. Generation 6 follows the strength byte and keys GCM with HKDF
// under a 16-byte salt; its message is salt | nonce | ct | tag.
#include "quantum/core/core.hpp"

namespace velmor::n {
VM_NAME(_gen4_key);
VM_NAME(_GEN6_INFO);
}  // namespace velmor::n

namespace velmor::quantum {

object gen4_encrypt(const Scope& s, handle data, handle raw_pk) {
    object capsule, ss;
    encapsulate(s, n::frodo_alg, highest_strength(s), raw_pk, "Invalid Gen4 public key", capsule, ss);
    object nonce = random_bytes(kNonce);
    object seal = s[n::_gcm_seal];
    object key = s[n::_gen4_key](ss);
    object ct, tag;
    vm::unpack(seal(key, nonce, data), {&ct, &tag});
    return nb::make_tuple(capsule, vm::join({nonce, ct, tag}));
}

object gen4_decrypt(const Scope& s, handle enc, handle raw_sk, handle capsule) {
    if (nb::len(enc) < kNonce + kTag) vm::raise(s[n::InvalidInputError], "Invalid Gen4 encrypted message");
    object ss =
        decapsulate(s, n::frodo_alg, highest_strength(s), raw_sk, capsule, "Invalid Gen4 private key");
    object key = s[n::_gen4_key](ss);
    object nonce = vm::slice(enc, 0, kNonce);
    return open_message(s, key, nonce, enc, kNonce);
}

object gen6_encrypt(const Scope& s, handle data, handle raw_pk, handle strength) {
    object capsule, ss;
    encapsulate(s, n::frodo_alg, strength, raw_pk, "Invalid Gen6 public key", capsule, ss);
    Sealed sealed = seal_salted(s, ss, kGen6Salt, n::_GEN6_INFO, data);
    return nb::make_tuple(capsule, sealed.message());
}

object gen6_decrypt(const Scope& s, handle enc, handle raw_sk, handle capsule, handle strength) {
    if (nb::len(enc) < kGen6Salt + kNonce + kTag)
        vm::raise(s[n::InvalidInputError], "Invalid Gen6 encrypted message");
    // generation 6 reads its salt and nonce before the binding, unlike 7 and 8
    object salt = vm::slice(enc, 0, kGen6Salt);
    object nonce = vm::slice(enc, kGen6Salt, kGen6Salt + kNonce);
    object ss = decapsulate(s, n::frodo_alg, strength, raw_sk, capsule, "Invalid Gen6 private key");
    return open_salted(s, ss, salt, nonce, kGen6Salt, n::_GEN6_INFO, enc);
}

}  // namespace velmor::quantum
