// The extension module `velmor`: its initialiser runs the package's initialisation, which
// loads every module of the package under its dotted name.
#include "modules.hpp"

namespace velmor {

namespace {

using namespace vm;

const ModuleDef kModules[] = {
    {"velmor", build_package, Package | Annotations},
    {"velmor.version", build_version, Plain},
    {"velmor.errors", build_errors, Annotations},
    {"velmor._internal", build_internal, Package},
    {"velmor._internal.keys", build_keys, Annotations},
    {"velmor.aes", build_aes, Package | Annotations},
    {"velmor.aes.core", build_aes_core, Annotations},
    {"velmor.password", build_password, Package | Annotations},
    {"velmor.password.core", build_password_core, Annotations},
    {"velmor.hybrid", build_hybrid, Package | Annotations},
    {"velmor.hybrid.core", build_hybrid_core, Annotations},
    {"velmor.rsa", build_rsa, Package | Annotations},
    {"velmor.rsa.core", build_rsa_core, Annotations},
    {"velmor.quantum", build_quantum, Package | Annotations},
    {"velmor.quantum.core", build_quantum_core, Annotations},
    {"velmor.quantum._oqs", build_quantum_oqs, Annotations},
    {"velmor.quantum.types", build_quantum_types, Annotations},
    {"velmor.sync", build_sync, Annotations},
};

}  // namespace

void build_package(Module& m) {
    m.import_from("velmor", {"aes", "errors", "hybrid", "password", "quantum", "rsa", "sync"});
    m.import_from("velmor.errors", {"DecryptionError", "EncryptionError", "InvalidInputError",
                                    "QuantumOperationError", "VelMorError", "SignatureError"});
    m.import_from("velmor.version", {"__version__"});
    m.all({"__version__", "aes", "rsa", "hybrid", "password", "quantum", "sync", "errors", "VelMorError",
           "InvalidInputError", "EncryptionError", "DecryptionError", "SignatureError",
           "QuantumOperationError"});
}

void build_internal(Module&) {}

}  // namespace velmor

const vm::ModuleDef* vm::find_module(std::string_view name) {
    for (const ModuleDef& def : velmor::kModules)
        if (name == def.name) return &def;
    return nullptr;
}

namespace {

int exec_velmor(PyObject* module) {
    nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, module);
    if (!nanobind::detail::internals || !vm::ready_types()) return -1;
    try {
        vm::exec_module(module, velmor::kModules[0]);
        return 0;
    } catch (vm::error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_ImportError, "velmor: %s", e.what());
    }
    return -1;
}

PyObject* velmor_def = nullptr;

}  // namespace

extern "C" NB_EXPORT PyObject* PyInit_velmor(void) {
    nanobind::detail::init_singletons();
    if (!nanobind::detail::nb_backend_init("velmor")) return nullptr;
    if (!velmor_def)
        velmor_def = NB_CALL(module_new)("velmor", nullptr, reinterpret_cast<void*>(exec_velmor),
                                         NB_ABI_MINOR_TAG);
    return velmor_def;
}
