// velmor.quantum.types: the integer enums of the post-quantum API. Each is made as a class
// statement over IntEnum makes it, so members, order and lookups are the host's.
#include "modules.hpp"

namespace velmor {

void build_quantum_types(vm::Module& m) {
    namespace nb = vm::nb;
    m.import_from("enum", {"IntEnum"});
    vm::object base = m.get("IntEnum");
    m.set("QuantumGeneration",
          m.make_class("QuantumGeneration", {base},
                       {{"GEN1", nb::int_(1)}, {"GEN2", nb::int_(2)}, {"GEN3", nb::int_(3)}, {"GEN4", nb::int_(4)},
                        {"GEN5", nb::int_(5)}, {"GEN6", nb::int_(6)}, {"GEN7", nb::int_(7)}, {"GEN8", nb::int_(8)}}));
    m.set("QuantumStrength",
          m.make_class("QuantumStrength", {base},
                       {{"STANDARD", nb::int_(0)}, {"MEDIUM", nb::int_(1)}, {"HIGHEST", nb::int_(2)}}));
    m.set("SignatureAlgorithm",
          m.make_class("SignatureAlgorithm", {base}, {{"ML_DSA", nb::int_(1)}, {"SLH_DSA", nb::int_(2)}}));
}

}  // namespace velmor
