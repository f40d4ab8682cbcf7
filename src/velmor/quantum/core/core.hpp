// The functions of velmor.quantum.core, one file per topic; core.cpp binds them in order.
#pragma once

#include "modules.hpp"
#include "quantum/mechanisms.hpp"

namespace velmor::quantum {

using vm::Args;
using vm::object;
using vm::Scope;

// primitives.cpp
object hkdf(const Scope& s, Args a);
object gcm_seal(const Scope& s, Args a);
object gcm_open(const Scope& s, Args a);
object cbc_encrypt(const Scope& s, Args a);
object cbc_decrypt(const Scope& s, Args a);
object hmac256(const Scope& s, Args a);
object gen4_key(const Scope& s, Args a);
object xor_mix(const Scope& s, Args a);
object x25519_raw(const Scope& s, Args a);

// keys.cpp
object generate_keypair(const Scope& s, Args a);
extern const char* const generate_keypair_doc;
object gen7_generate(const Scope& s, Args a);
object gen8_generate(const Scope& s, Args a);

// dispatch.cpp
object encrypt(const Scope& s, Args a);
extern const char* const encrypt_doc;
object decrypt(const Scope& s, Args a);
extern const char* const decrypt_doc;

// frodo.cpp: generations 4 and 6
object gen4_encrypt(const Scope& s, Args a);
object gen4_decrypt(const Scope& s, Args a);
object gen6_encrypt(const Scope& s, Args a);
object gen6_decrypt(const Scope& s, Args a);

// mceliece.cpp: generations 2 and 5
object gen2_encrypt(const Scope& s, Args a);
object gen2_decrypt(const Scope& s, Args a);
object gen5_encrypt(const Scope& s, Args a);
object gen5_decrypt(const Scope& s, Args a);

// rsa_frodo.cpp: generation 7
object gen7_encrypt(const Scope& s, Args a);
object gen7_decrypt(const Scope& s, Args a);

// x25519_mlkem.cpp: generation 8
object gen8_encrypt(const Scope& s, Args a);
object gen8_decrypt(const Scope& s, Args a);

// signatures.cpp
object sig_kind(const Scope& s, Args a);
object sig_strip(const Scope& s, Args a);
object generate_signature_keypair(const Scope& s, Args a);
extern const char* const generate_signature_keypair_doc;
object sign(const Scope& s, Args a);
extern const char* const sign_doc;
object verify(const Scope& s, Args a);
extern const char* const verify_doc;

// Small helpers shared by the generation files.
inline object random_bytes(long size) { return vm::urandom(vm::number(size)); }
// int.from_bytes(data[:4], "little")
object u32le(vm::handle data);
// u32le(data) as an index into data, clipped so that offsets past it cannot overflow
Py_ssize_t length_field(vm::handle data);
// struct.pack("<I", len(value)) with the module's `struct`
object packed_length(const Scope& s, vm::handle value);
// The KEM or signature key part handed to the binding: bytes of exactly the length that
// mechanism `alg` gives it, else InvalidInputError(message) with the caller's own message.
object key_part(const Scope& s, vm::handle alg, Part part, vm::handle value, const char* message);

}  // namespace velmor::quantum
