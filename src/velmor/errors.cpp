// velmor.errors: the exception hierarchy of the library. Every class is an empty subclass,
// made as a class statement makes it, so construction, args and text form are Exception's.
#include "modules.hpp"

namespace velmor {

void build_errors(vm::Module& m) {
    vm::object base = m.make_class("VelMorError", {PyExc_Exception});
    m.set("VelMorError", base);
    for (const char* name : {"InvalidInputError", "EncryptionError", "DecryptionError",
                             "SignatureError", "QuantumOperationError"})
        m.set(name, m.make_class(name, {base}));
}

}  // namespace velmor
