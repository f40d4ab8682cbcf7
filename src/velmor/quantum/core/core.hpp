// The functions of velmor.quantum.core, one file per topic; core.cpp binds them in order.
#pragma once

#include "modules.hpp"
#include "quantum/mechanisms.hpp"

namespace velmor::n {
VM_NAME(frodo_alg);
VM_NAME(cmce_alg);
VM_NAME(_hkdf);
VM_NAME(_gcm_seal);
VM_NAME(_hmac256);
VM_NAME(QuantumStrength);
VM_NAME(HIGHEST);
}  // namespace velmor::n

namespace velmor::quantum {

namespace nb = vm::nb;
using vm::handle;
using vm::object;
using vm::Scope;

// The module's functions, declared once: core.cpp defines them, and velmor.quantum and
// velmor.sync are made after the public ones.
namespace core {

// The parameters of the generation functions: the KEM-only generations read a capsule, the
// hybrid ones a secret of several parts.
constexpr vm::Declaration encrypt_by_capsule(const char* name) {
    return {name, {{"data", "bytes"}, {"raw_pk", "bytes"}, {"strength", "int"}}, "tuple[bytes, bytes]"};
}
constexpr vm::Declaration decrypt_by_capsule(const char* name) {
    return {name, {{"enc", "bytes"}, {"raw_sk", "bytes"}, {"capsule", "bytes"}, {"strength", "int"}},
            "bytes"};
}
constexpr vm::Declaration encrypt_hybrid(const char* name) {
    return {name, {{"data", "bytes"}, {"raw", "bytes"}, {"strength", "int"}}, "tuple[bytes, bytes]"};
}
constexpr vm::Declaration decrypt_hybrid(const char* name) {
    return {name, {{"enc", "bytes"}, {"raw", "bytes"}, {"secret", "bytes"}, {"strength", "int"}},
            "bytes"};
}

inline constexpr vm::Declaration _hkdf{
    "_hkdf", {{"ikm", "bytes"}, {"salt", "bytes"}, {"info", "bytes"}, {"length", "int"}}, "bytes"};
inline constexpr vm::Declaration _gcm_seal{
    "_gcm_seal", {{"key", "bytes"}, {"nonce", "bytes"}, {"data", "bytes"}}, "tuple[bytes, bytes]"};
inline constexpr vm::Declaration _gcm_open{
    "_gcm_open", {{"key", "bytes"}, {"nonce", "bytes"}, {"ciphertext", "bytes"}, {"tag", "bytes"}}, "bytes"};
inline constexpr vm::Declaration _cbc_encrypt{
    "_cbc_encrypt", {{"data", "bytes"}, {"key", "bytes"}, {"iv", "bytes"}}, "bytes"};
inline constexpr vm::Declaration _cbc_decrypt{
    "_cbc_decrypt", {{"ciphertext", "bytes"}, {"key", "bytes"}, {"iv", "bytes"}}, "bytes"};
inline constexpr vm::Declaration _hmac256{
    "_hmac256", {{"key", "bytes"}, {"data", "bytes"}}, "bytes"};
inline constexpr vm::Declaration generate_keypair{
    "generate_keypair", {{"generation", "QuantumGeneration | int", "QuantumGeneration.GEN8"}, {"strength", "QuantumStrength | int", "QuantumStrength.HIGHEST"}}, "tuple[bytes, bytes]",
    "Make a post-quantum key pair; return (public key, private key).\n\n"
    "Both keys begin with two bytes: the generation and the strength (0, 1 or 2). Generation 8 (the\n"
    "default) is X25519 with ML-KEM; 7 is RSA-4096 with FrodoKEM; 6 (and 3) and 4 are FrodoKEM; 5\n"
    "and 2 (and 1) are Classic McEliece. Needs the liboqs binding `oqs`.\n\n"
    "Raises ValueError for a generation or strength outside its enum, QuantumOperationError when\n"
    "the binding is missing or fails."};
inline constexpr vm::Declaration encrypt{
    "encrypt", {{"message", "str"}, {"public_key", "bytes"}}, "tuple[bytes, bytes]",
    "Encrypt text under a quantum public key; return (encapsulated secret, encrypted message).\n\n"
    "The key's generation byte chooses the scheme; the text is encrypted as UTF-8. decrypt needs\n"
    "both results.\n\n"
    "Raises InvalidInputError for a key that is too short, empty or malformed; KeyError for a\n"
    "strength byte other than 0, 1 and 2; QuantumOperationError for an unsupported generation, a\n"
    "missing binding or a failure inside it."};
inline constexpr vm::Declaration decrypt{
    "decrypt", {{"encrypted_message", "bytes"}, {"private_key", "bytes"}, {"secret", "bytes"}}, "str",
    "Decrypt an encrypted message with the quantum private key and the encapsulated secret.\n\n"
    "The arguments come in this order: encrypted message, private key, secret (encrypt returns the\n"
    "secret first). Returns the text.\n\n"
    "Raises InvalidInputError for a key, secret or message that is too short or malformed;\n"
    "DecryptionError for data that does not authenticate (another key, altered data) or is not\n"
    "UTF-8; KeyError for a strength byte other than 0, 1 and 2; QuantumOperationError for an\n"
    "unsupported generation, a missing binding or a failure inside it."};
inline constexpr vm::Declaration _gen4_key{
    "_gen4_key", {{"ss", "bytes"}}, "bytes"};
inline constexpr vm::Declaration _gen4_encrypt{
    "_gen4_encrypt", {{"data", "bytes"}, {"raw_pk", "bytes"}}, "tuple[bytes, bytes]"};
inline constexpr vm::Declaration _gen4_decrypt{
    "_gen4_decrypt", {{"enc", "bytes"}, {"raw_sk", "bytes"}, {"capsule", "bytes"}}, "bytes"};
inline constexpr vm::Declaration _gen6_encrypt = encrypt_by_capsule("_gen6_encrypt");
inline constexpr vm::Declaration _gen6_decrypt = decrypt_by_capsule("_gen6_decrypt");
inline constexpr vm::Declaration _gen2_encrypt = encrypt_by_capsule("_gen2_encrypt");
inline constexpr vm::Declaration _gen2_decrypt = decrypt_by_capsule("_gen2_decrypt");
inline constexpr vm::Declaration _gen5_encrypt = encrypt_by_capsule("_gen5_encrypt");
inline constexpr vm::Declaration _gen5_decrypt = decrypt_by_capsule("_gen5_decrypt");
inline constexpr vm::Declaration _xor_mix{
    "_xor_mix", {{"session_key", "bytes"}, {"frodo_ss", "bytes"}}, "bytes"};
inline constexpr vm::Declaration _gen7_generate{
    "_gen7_generate", {{"strength", "QuantumStrength"}}, "tuple[bytes, bytes]"};
inline constexpr vm::Declaration _gen7_encrypt = encrypt_hybrid("_gen7_encrypt");
inline constexpr vm::Declaration _gen7_decrypt = decrypt_hybrid("_gen7_decrypt");
inline constexpr vm::Declaration _x25519_raw{
    "_x25519_raw", {{"priv", "X25519PrivateKey"}}, "tuple[bytes, bytes]"};
inline constexpr vm::Declaration _gen8_generate{
    "_gen8_generate", {{"strength", "QuantumStrength"}}, "tuple[bytes, bytes]"};
inline constexpr vm::Declaration _gen8_encrypt = encrypt_hybrid("_gen8_encrypt");
inline constexpr vm::Declaration _gen8_decrypt = decrypt_hybrid("_gen8_decrypt");
inline constexpr vm::Declaration _sig_kind{
    "_sig_kind", {{"alg", "SignatureAlgorithm"}}, "str"};
inline constexpr vm::Declaration _sig_strip{
    "_sig_strip", {{"headered", "bytes"}, {"label", "str"}}, "tuple[int, int, bytes]"};
inline constexpr vm::Declaration generate_signature_keypair{
    "generate_signature_keypair", {{"algorithm", "SignatureAlgorithm | int", "SignatureAlgorithm.ML_DSA"}, {"strength", "QuantumStrength | int", "QuantumStrength.HIGHEST"}}, "tuple[bytes, bytes]",
    "Make a post-quantum signature key pair; return (public key, private key).\n\n"
    "Both keys begin with two bytes: the scheme (1 ML-DSA, the default; 2 SLH-DSA) and the strength\n"
    "(0, 1 or 2). Needs the liboqs binding `oqs`.\n\n"
    "Raises ValueError for a scheme or strength outside its enum, QuantumOperationError when the\n"
    "binding is missing or fails."};
inline constexpr vm::Declaration sign{
    "sign", {{"data", "bytes"}, {"private_key", "bytes"}}, "bytes",
    "Sign data with a post-quantum private signature key; return the raw signature.\n\n"
    "Raises InvalidInputError for a key without its header, with an unknown scheme id or of the\n"
    "wrong length for its mechanism; KeyError for a strength byte other than 0, 1 and 2; TypeError\n"
    "for data that is not bytes-like; QuantumOperationError when the binding is missing, has no\n"
    "SLH-DSA mechanism or fails to sign."};
inline constexpr vm::Declaration verify{
    "verify", {{"data", "bytes"}, {"signature", "bytes"}, {"public_key", "bytes"}}, "bool",
    "Check a post-quantum signature of data under a public signature key; return True or False.\n\n"
    "False for a signature that does not match, and for a key without its header, with an unknown\n"
    "scheme id or of the wrong length for its mechanism.\n\n"
    "Raises KeyError for a strength byte other than 0, 1 and 2, TypeError for data or a signature\n"
    "that is not bytes-like, QuantumOperationError when the binding is missing or has no SLH-DSA\n"
    "mechanism."};

}  // namespace core

// The bodies, by file.
// primitives.cpp
object hkdf(const Scope& s, handle ikm, handle salt, handle info, handle size);
object gcm_seal(const Scope& s, handle key, handle nonce, handle data);
object gcm_open(const Scope& s, handle key, handle nonce, handle ciphertext, handle tag);
object cbc_encrypt(const Scope& s, handle data, handle key, handle iv);
object cbc_decrypt(const Scope& s, handle ciphertext, handle key, handle iv);
object hmac256(const Scope& s, handle key, handle data);
object gen4_key(const Scope& s, handle ss);
object xor_mix(const Scope& s, handle session_key, handle frodo_ss);
object x25519_raw(const Scope& s, handle priv);
// keys.cpp
object generate_keypair(const Scope& s, handle generation, handle strength);
// dispatch.cpp
object encrypt(const Scope& s, handle message, handle public_key);
object decrypt(const Scope& s, handle enc, handle private_key, handle secret);
// frodo.cpp: generations 4 and 6
object gen4_encrypt(const Scope& s, handle data, handle raw_pk);
object gen4_decrypt(const Scope& s, handle enc, handle raw_sk, handle capsule);
object gen6_encrypt(const Scope& s, handle data, handle raw_pk, handle strength);
object gen6_decrypt(const Scope& s, handle enc, handle raw_sk, handle capsule, handle strength);
// mceliece.cpp: generations 2 and 5
object gen2_encrypt(const Scope& s, handle data, handle raw_pk, handle strength);
object gen2_decrypt(const Scope& s, handle enc, handle raw_sk, handle capsule, handle strength);
object gen5_encrypt(const Scope& s, handle data, handle raw_pk, handle strength);
object gen5_decrypt(const Scope& s, handle enc, handle raw_sk, handle capsule, handle strength);
// rsa_frodo.cpp: generation 7
object gen7_generate(const Scope& s, handle strength);
object gen7_encrypt(const Scope& s, handle data, handle raw, handle strength);
object gen7_decrypt(const Scope& s, handle enc, handle raw, handle secret, handle strength);
// x25519_mlkem.cpp: generation 8
object gen8_generate(const Scope& s, handle strength);
object gen8_encrypt(const Scope& s, handle data, handle raw, handle strength);
object gen8_decrypt(const Scope& s, handle enc, handle raw, handle secret, handle strength);
// signatures.cpp
object sig_kind(const Scope& s, handle alg);
object sig_strip(const Scope& s, handle headered, handle label);
object generate_signature_keypair(const Scope& s, handle algorithm, handle strength);
object sign(const Scope& s, handle data, handle private_key);
object verify(const Scope& s, handle data, handle signature, handle public_key);

// Sizes of the byte formats, in bytes.
constexpr Py_ssize_t kHeader = 2;        // generation (or scheme) byte, strength byte
constexpr Py_ssize_t kLengthField = 4;   // unsigned 32-bit little-endian
constexpr Py_ssize_t kKey = 32;          // AES-256 keys, session keys, HKDF output
constexpr Py_ssize_t kSalt = 32;         // HKDF salt of generations 5, 7 and 8
constexpr Py_ssize_t kGen6Salt = 16;
constexpr Py_ssize_t kNonce = 12;        // AES-GCM
constexpr Py_ssize_t kTag = 16;          // AES-GCM
constexpr Py_ssize_t kIv = 16;           // AES-CBC
constexpr Py_ssize_t kMac = 32;          // HMAC-SHA256
constexpr Py_ssize_t kX25519Key = 32;    // raw X25519 public or private key

// Module-level names that several files look up: one Name each, so one cached lookup serves all.

// Small helpers shared by the generation files.

inline object random_bytes(Py_ssize_t size) { return vm::urandom(nb::int_(size)); }
// QuantumStrength.HIGHEST, the strength of generation 4 whatever its key says
inline object highest_strength(const Scope& s) { return s[n::QuantumStrength].attr(n::HIGHEST); }
// int.from_bytes(data[:4], "little") as an index into data, clipped so that offsets past it
// cannot overflow
Py_ssize_t length_field(handle data);
// pub = key.public_key().public_bytes(_ser.Encoding.<encoding>, _ser.PublicFormat.<public_format>)
// priv = key.private_bytes(_ser.Encoding.<encoding>, _ser.PrivateFormat.<private_format>,
//                          _ser.NoEncryption())
void export_pair(const Scope& s, handle key, const vm::Name& encoding, const vm::Name& public_format,
                 const vm::Name& private_format, object& pub, object& priv);
// struct.pack("<I", len(value)) with the module's `struct`
object packed_length(const Scope& s, handle value);
// The KEM or signature key part handed to the binding: bytes of exactly the length that
// mechanism `alg` gives it, else InvalidInputError(refused) with the caller's own message.
object key_part(const Scope& s, handle alg, Part part, handle value, const char* refused);

// The KEM step of a generation: _oqs.encapsulate(alg, public_key) or _oqs.decapsulate(alg,
// secret_key, capsule), with alg = _oqs.<table>(strength) and the key part checked by key_part.
void encapsulate(const Scope& s, const vm::Name& table, handle strength, handle raw_key, const char* refused,
                 object& capsule, object& shared_secret);
object decapsulate(const Scope& s, const vm::Name& table, handle strength, handle raw_key, handle capsule,
                   const char* refused);

// The AES-256-GCM message of generations 6, 7 and 8, salt | nonce | ct | tag under the key
// _hkdf(ikm, salt, info, 32). Its parts are drawn and sealed in the format's order; the caller
// joins them when its own order of evaluation comes to the message.
struct Sealed {
    object salt, nonce, ct, tag;
    object message() const { return vm::join({salt, nonce, ct, tag}); }
};
Sealed seal_salted(const Scope& s, handle ikm, Py_ssize_t salt_size, const vm::Name& info, handle data);
// The end of the hybrid generations 7 and 8: seal under a 32-byte salt, then return
// (struct.pack("<I", len(first)) + first + second, salt + nonce + ct + tag).
object seal_hybrid(const Scope& s, handle ikm, const vm::Name& info, handle data, handle first,
                   handle second);
// Their way back: salt and nonce read off the message's head, then open_salted.
object open_hybrid(const Scope& s, handle ikm, const vm::Name& info, handle enc);
// The reverse of seal_salted, from the salt and nonce the caller has read off the message's head.
object open_salted(const Scope& s, handle ikm, handle salt, handle nonce, Py_ssize_t salt_size,
                   const vm::Name& info, handle enc);
// _gcm_open(key, nonce, enc[start:-16], enc[-16:]): the ciphertext starts after the message's head
object open_message(const Scope& s, handle key, handle nonce, handle enc, Py_ssize_t start);

}  // namespace velmor::quantum
