// Generations 4 and 6: FrodoKEM with AES-256-GCM. The capsule is the FrodoKEM ciphertext
// itself. Generation 4 always uses FrodoKEM-1344-AES and keys GCM with HMAC(ss, 0x01); its
// message is nonce | ct | tag. Generation 6 follows the strength byte and keys GCM with HKDF
// under a 16-byte salt; its message is salt | nonce | ct | tag.
#include "quantum/core/core.hpp"

namespace velmor::quantum {

namespace n {
VM_NAME(_gen4_key);
VM_NAME(_GEN6_INFO);
}  // namespace n

// _gen4_encrypt(data: bytes, raw_pk: bytes) -> tuple[bytes, bytes]
object gen4_encrypt(const Scope& s, Args a) {
    handle data = a[0], raw_pk = a[1];
    object capsule, ss;
    encapsulate(s, n::frodo_alg, highest_strength(s), raw_pk, "Invalid Gen4 public key", capsule, ss);
    object nonce = random_bytes(kNonce);
    object seal = s[n::_gcm_seal];
    object key = s[n::_gen4_key](ss);
    object ct, tag;
    vm::unpack(seal(key, nonce, data), {&ct, &tag});
    return nb::make_tuple(capsule, vm::join({nonce, ct, tag}));
}

// _gen4_decrypt(enc: bytes, raw_sk: bytes, capsule: bytes) -> bytes
object gen4_decrypt(const Scope& s, Args a) {
    handle enc = a[0], raw_sk = a[1], capsule = a[2];
    if (nb::len(enc) < kNonce + kTag) vm::raise(s[n::InvalidInputError], "Invalid Gen4 encrypted message");
    object ss =
        decapsulate(s, n::frodo_alg, highest_strength(s), raw_sk, capsule, "Invalid Gen4 private key");
    object key = s[n::_gen4_key](ss);
    object nonce = vm::slice(enc, 0, kNonce);
    return open_message(s, key, nonce, enc, kNonce);
}

// _gen6_encrypt(data: bytes, raw_pk: bytes, strength: int) -> tuple[bytes, bytes]
object gen6_encrypt(const Scope& s, Args a) {
    handle data = a[0], raw_pk = a[1], strength = a[2];
    object capsule, ss;
    encapsulate(s, n::frodo_alg, strength, raw_pk, "Invalid Gen6 public key", capsule, ss);
    Sealed sealed = seal_salted(s, ss, kGen6Salt, n::_GEN6_INFO, data);
    return nb::make_tuple(capsule, sealed.message());
}

// _gen6_decrypt(enc: bytes, raw_sk: bytes, capsule: bytes, strength: int) -> bytes
object gen6_decrypt(const Scope& s, Args a) {
    handle enc = a[0], raw_sk = a[1], capsule = a[2], strength = a[3];
    if (nb::len(enc) < kGen6Salt + kNonce + kTag)
        vm::raise(s[n::InvalidInputError], "Invalid Gen6 encrypted message");
    // generation 6 reads its salt and nonce before the binding, unlike 7 and 8
    object salt = vm::slice(enc, 0, kGen6Salt);
    object nonce = vm::slice(enc, kGen6Salt, kGen6Salt + kNonce);
    object ss = decapsulate(s, n::frodo_alg, strength, raw_sk, capsule, "Invalid Gen6 private key");
    return open_salted(s, ss, salt, nonce, kGen6Salt, n::_GEN6_INFO, enc);
}

}  // namespace velmor::quantum
