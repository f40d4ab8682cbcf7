// The functions of velmor.quantum.core, one file per topic; core.cpp binds them in order.
#pragma once

#include "modules.hpp"
#include "quantum/mechanisms.hpp"

namespace velmor::quantum {

namespace nb = vm::nb;
using vm::Args;
using vm::handle;
using vm::object;
using vm::Scope;

// The body of a module function: its bound arguments and its module's namespace.
using Function = object(const Scope&, Args);

// primitives.cpp
Function hkdf, gcm_seal, gcm_open, cbc_encrypt, cbc_decrypt, hmac256, gen4_key, xor_mix, x25519_raw;
// keys.cpp
Function generate_keypair;
// dispatch.cpp
Function encrypt, decrypt;
// frodo.cpp: generations 4 and 6
Function gen4_encrypt, gen4_decrypt, gen6_encrypt, gen6_decrypt;
// mceliece.cpp: generations 2 and 5
Function gen2_encrypt, gen2_decrypt, gen5_encrypt, gen5_decrypt;
// rsa_frodo.cpp: generation 7
Function gen7_generate, gen7_encrypt, gen7_decrypt;
// x25519_mlkem.cpp: generation 8
Function gen8_generate, gen8_encrypt, gen8_decrypt;
// signatures.cpp
Function sig_kind, sig_strip, generate_signature_keypair, sign, verify;

extern const char* const generate_keypair_doc;
extern const char* const encrypt_doc;
extern const char* const decrypt_doc;
extern const char* const generate_signature_keypair_doc;
extern const char* const sign_doc;
extern const char* const verify_doc;

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
#define QUANTUM_NAME(id) inline constinit ::vm::Name id{#id}
namespace n {
QUANTUM_NAME(_oqs);
QUANTUM_NAME(generate_keypair);
QUANTUM_NAME(frodo_alg);
QUANTUM_NAME(cmce_alg);
QUANTUM_NAME(_hkdf);
QUANTUM_NAME(_gcm_seal);
QUANTUM_NAME(_hmac256);
QUANTUM_NAME(QuantumStrength);
QUANTUM_NAME(HIGHEST);
QUANTUM_NAME(InvalidInputError);
QUANTUM_NAME(DecryptionError);
QUANTUM_NAME(QuantumOperationError);
}  // namespace n

// Small helpers shared by the generation files.

inline object random_bytes(Py_ssize_t size) { return vm::urandom(nb::int_(size)); }
// QuantumStrength.HIGHEST, the strength of generation 4 whatever its key says
inline object highest_strength(const Scope& s) { return s[n::QuantumStrength].attr(n::HIGHEST); }
// bytes([first, second]) of two ints: the two-byte header of every key
object key_header(handle first, handle second);
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
