// The builders of the package's modules, one per Python module, and the families' short-name
// tables.
#pragma once

#include "coroutines.hpp"
#include "names.hpp"
#include "runtime/runtime.hpp"

namespace velmor {

namespace nb = nanobind;

void build_package(vm::Module& m);        // velmor
void build_version(vm::Module& m);        // velmor.version
void build_errors(vm::Module& m);         // velmor.errors
void build_internal(vm::Module& m);       // velmor._internal
void build_keys(vm::Module& m);           // velmor._internal.keys
void build_aes(vm::Module& m);            // velmor.aes
void build_aes_core(vm::Module& m);       // velmor.aes.core
void build_password(vm::Module& m);       // velmor.password
void build_password_core(vm::Module& m);  // velmor.password.core
void build_hybrid(vm::Module& m);         // velmor.hybrid
void build_hybrid_core(vm::Module& m);    // velmor.hybrid.core
void build_rsa(vm::Module& m);            // velmor.rsa
void build_rsa_core(vm::Module& m);       // velmor.rsa.core
void build_quantum(vm::Module& m);        // velmor.quantum
void build_quantum_core(vm::Module& m);   // velmor.quantum.core
void build_quantum_oqs(vm::Module& m);    // velmor.quantum._oqs
void build_quantum_types(vm::Module& m);  // velmor.quantum.types
void build_sync(vm::Module& m);           // velmor.sync

// Each family's public names over its core functions, in order: the coroutine functions of the
// family's package and the methods of its velmor.sync object (defined beside the package).
extern const ShortNames aes_names;
extern const ShortNames password_names;
extern const ShortNames hybrid_names;
extern const ShortNames rsa_names;
extern const ShortNames quantum_names;

}  // namespace velmor
