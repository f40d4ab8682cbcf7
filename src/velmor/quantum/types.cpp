// velmor.quantum.types: the integer enums of the post-quantum API. Each is made as a class
// statement over IntEnum makes it, so members, order and lookups are the host's.
#include "modules.hpp"

namespace velmor {

void build_quantum_types(vm::Module& m) {
    m.import_from("enum", {"IntEnum"});
    vm::object base = m.get("IntEnum");
    m.set("QuantumGeneration",
          m.make_class("QuantumGeneration", {base},
                       {{"GEN1", vm::number(1)}, {"GEN2", vm::number(2)}, {"GEN3", vm::number(3)}, {"GEN4", vm::number(4)},
                        {"GEN5", vm::number(5)}, {"GEN6", vm::number(6)}, {"GEN7", vm::number(7)}, {"GEN8", vm::number(8)}}));
    m.set("QuantumStrength",
          m.make_class("QuantumStrength", {base},
                       {{"STANDARD", vm::number(0)}, {"MEDIUM", vm::number(1)}, {"HIGHEST", vm::number(2)}}));
    m.set("SignatureAlgorithm",
          m.make_class("SignatureAlgorithm", {base}, {{"ML_DSA", vm::number(1)}, {"SLH_DSA", vm::number(2)}}));
}

}  // namespace velmor
