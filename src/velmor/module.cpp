// The extension module `velmor`: its initialiser runs the package's initialisation, which
// loads every module of the package under its dotted name.
#include "modules.hpp"

namespace velmor {

namespace {

using namespace vm;

// The package's modules, the package first.
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

namespace {

using vm::object;

// A plain multi-phase module definition, as CPython's own extension modules have, rather than
// NB_MODULE, whose initialiser wraps every exception of the module's body in ImportError: a failed
// import must reach the caller unchanged (importlib then drops `velmor` from sys.modules, so a
// later import starts again). The create slot readies everything before the import system
// registers the package, where other threads can see it; the exec slot runs its body.

// nanobind's per-process state, set up once by its register_module() on a private module that
// lives as long as the process (as the runtime's types do), so that nothing of nanobind's shows
// in the package's namespace.
bool ready_nanobind() {
    static PyObject* anchor = nullptr;
    if (anchor) return true;
    object module = vm::checked(PyModule_New("velmor"));
    if (!nanobind::register_module(module)) return false;
    anchor = module.release().ptr();
    return true;
}

PyObject* create_velmor(PyObject* spec, PyModuleDef*) {
    return vm::boundary([&]() -> PyObject* {
        if (!ready_nanobind()) return nullptr;
        return vm::create_package(spec, velmor::kModules).release().ptr();
    }, static_cast<PyObject*>(nullptr));
}

int exec_velmor(PyObject* module) {
    return vm::boundary([&] {
        vm::exec_package(module);
        return 0;
    }, -1);
}

PyModuleDef_Slot velmor_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_velmor)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_velmor)},
    // The runtime's types and interned names are per process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef velmor_def = {
    PyModuleDef_HEAD_INIT, "velmor", nullptr, 0, nullptr, velmor_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_velmor(void) { return PyModuleDef_Init(&velmor_def); }
