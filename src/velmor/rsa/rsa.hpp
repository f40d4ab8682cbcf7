// The functions of velmor.rsa.core, shared by the files that make up the module.
#pragma once

#include "modules.hpp"

namespace velmor::rsa {

// key pairs, padding and PEM loading (core.cpp)
vm::object pss(const vm::Scope& s, vm::Args a);
vm::object new_key_pair(const vm::Scope& s, vm::Args a);
vm::object load_public(const vm::Scope& s, vm::Args a);
vm::object load_private(const vm::Scope& s, vm::Args a);

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
vm::object encrypt_str(const vm::Scope& s, vm::Args a);
vm::object decrypt_str(const vm::Scope& s, vm::Args a);
vm::object sign_str(const vm::Scope& s, vm::Args a);
vm::object verify_str(const vm::Scope& s, vm::Args a);

}  // namespace velmor::rsa
