// velmor.quantum.types: the integer enums of the post-quantum API. Each is made as a class
// statement over IntEnum makes it, so members, order and lookups are the host's.
#include "modules.hpp"

namespace velmor {

namespace {

vm::object I(long value) { return vm::checked(PyLong_FromLong(value)); }

}  // namespace

void build_quantum_types(vm::Module& m) {
    m.import_from("enum", {"IntEnum"});
    vm::object base = m.get("IntEnum");
    m.set("QuantumGeneration",
          m.make_class("QuantumGeneration", {base},
                       {{"GEN1", I(1)}, {"GEN2", I(2)}, {"GEN3", I(3)}, {"GEN4", I(4)},
                        {"GEN5", I(5)}, {"GEN6", I(6)}, {"GEN7", I(7)}, {"GEN8", I(8)}}));
    m.set("QuantumStrength",
          m.make_class("QuantumStrength", {base},
                       {{"STANDARD", I(0)}, {"MEDIUM", I(1)}, {"HIGHEST", I(2)}}));
    m.set("SignatureAlgorithm",
          m.make_class("SignatureAlgorithm", {base}, {{"ML_DSA", I(1)}, {"SLH_DSA", I(2)}}));
}

}  // namespace velmor
