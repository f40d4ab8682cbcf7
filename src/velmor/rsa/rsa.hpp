// The functions of velmor.rsa.core, shared by the files that make up the module.
#pragma once

#include "modules.hpp"

namespace velmor::rsa {

// key pairs, padding and PEM loading (core.cpp)
vm::object pss(const vm::Scope& s, vm::Args a);
vm::object new_key_pair(const vm::Scope& s, vm::Args a);
vm::object load_public(const vm::Scope& s, vm::Args a);
vm::object load_private(const vm::Scope& s, vm::Args a);
// The handlers of an operation on a key text, called inside the handler of its error `e`: the
// InvalidInputError of a key that does not load and what is no Exception go on unchanged, any
// other error becomes <failure>(prefix + its text) from it.
[[noreturn]] void operation_failed(const vm::Scope& s, const vm::error& e,
                                   const vm::Name& failure, const char* prefix);

// PKCS#1 to SubjectPublicKeyInfo (der.cpp)
vm::object rsa_alg_id();
vm::object der_len(const vm::Scope& s, vm::Args a);
vm::object pkcs1_to_spki(const vm::Scope& s, vm::Args a);

// one RSA-OAEP block (oaep.cpp)
vm::object encrypt_oaep(const vm::Scope& s, vm::Args a);
vm::object decrypt_oaep(const vm::Scope& s, vm::Args a);

// the public operations (core.cpp)
vm::object encrypt_bytes(const vm::Scope& s, vm::Args a);
vm::object decrypt_bytes(const vm::Scope& s, vm::Args a);
vm::object sign_bytes(const vm::Scope& s, vm::Args a);
vm::object verify_bytes(const vm::Scope& s, vm::Args a);
vm::object sign_str(const vm::Scope& s, vm::Args a);
vm::object verify_str(const vm::Scope& s, vm::Args a);

}  // namespace velmor::rsa
