// velmor.quantum: the post-quantum family as coroutine functions run on a worker thread, with
// the three enums of its parameters.
#include "modules.hpp"

namespace velmor {

constexpr vm::ShortName kNames[] = {
    {"generate_keypair", "generate_keypair"},
    {"encrypt", "encrypt"},
    {"decrypt", "decrypt"},
    {"generate_signature_keypair", "generate_signature_keypair"},
    {"sign", "sign"},
    {"verify", "verify"},
};

const vm::ShortNames quantum_names = kNames;

void build_quantum(vm::Module& m) {
    m.coroutine_package(quantum_names,
                        {"velmor.quantum.types",
                         {"QuantumGeneration", "QuantumStrength", "SignatureAlgorithm"}});
}

}  // namespace velmor
