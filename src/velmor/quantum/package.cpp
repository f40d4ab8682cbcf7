// velmor.quantum: the post-quantum family as coroutine functions run on a worker thread, with
// the three enums of its parameters.
#include "quantum/core/core.hpp"

namespace velmor {

constexpr ShortName kNames[] = {
    {"generate_keypair", quantum::core::generate_keypair},
    {"encrypt", quantum::core::encrypt},
    {"decrypt", quantum::core::decrypt},
    {"generate_signature_keypair", quantum::core::generate_signature_keypair},
    {"sign", quantum::core::sign},
    {"verify", quantum::core::verify},
};

const ShortNames quantum_names = kNames;

void build_quantum(vm::Module& m) {
    coroutine_package(m, quantum_names,
                      {"velmor.quantum.types",
                       {"QuantumGeneration", "QuantumStrength", "SignatureAlgorithm"}});
}

}  // namespace velmor
