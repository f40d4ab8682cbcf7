// velmor.quantum: the post-quantum family as coroutine functions run on a worker thread, with
// the three enums of its parameters.
#include "modules.hpp"

namespace velmor {

void build_quantum(vm::Module& m) {
    using P = vm::Param;
    m.import("asyncio");
    m.import_from("velmor.quantum", {"core"});
    m.import_from("velmor.quantum.types", {"QuantumGeneration", "QuantumStrength", "SignatureAlgorithm"});
    vm::object gen8 = m.get("QuantumGeneration").attr("GEN8");
    vm::object highest = m.get("QuantumStrength").attr("HIGHEST");
    vm::object ml_dsa = m.get("SignatureAlgorithm").attr("ML_DSA");
    const char* pair = "tuple[bytes, bytes]";
    m.coroutine("generate_keypair", "generate_keypair",
                {P{"generation", "QuantumGeneration | int", gen8}, P{"strength", "QuantumStrength | int", highest}},
                pair);
    m.coroutine("encrypt", "encrypt", {{"message", "str"}, {"public_key", "bytes"}}, pair);
    m.coroutine("decrypt", "decrypt",
                {{"encrypted_message", "bytes"}, {"private_key", "bytes"}, {"secret", "bytes"}}, "str");
    m.coroutine("generate_signature_keypair", "generate_signature_keypair",
                {P{"algorithm", "SignatureAlgorithm | int", ml_dsa}, P{"strength", "QuantumStrength | int", highest}},
                pair);
    m.coroutine("sign", "sign", {{"data", "bytes"}, {"private_key", "bytes"}}, "bytes");
    m.coroutine("verify", "verify", {{"data", "bytes"}, {"signature", "bytes"}, {"public_key", "bytes"}}, "bool");
    m.all({"generate_keypair", "encrypt", "decrypt", "generate_signature_keypair", "sign", "verify",
           "QuantumGeneration", "QuantumStrength", "SignatureAlgorithm", "core"});
}

}  // namespace velmor
