// velmor.sync: the synchronous facade. Each object's attributes are the core functions of its
// family under the family's short names, taken once when this module loads and bound as static
// methods.
#include "modules.hpp"

#include <vector>

namespace velmor {

namespace {

using namespace vm;

// class <class_name>: with one static method per short name over the module bound as `alias`
object facade(Module& m, const char* class_name, const char* alias, ShortNames names) {
    object core = m.get(alias);
    std::vector<object> methods;
    std::vector<std::pair<const char*, nb::handle>> attributes;
    methods.reserve(names.size());
    for (const ShortName& entry : names) {
        object function = core.attr(entry.core_function.name);
        methods.push_back(checked(PyStaticMethod_New(function.ptr())));
        attributes.emplace_back(entry.name, methods.back());
    }
    return m.make_class(class_name, {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, attributes);
}

}  // namespace

void build_sync(Module& m) {
    m.import_from_as("velmor.aes", "core", "_aes_core");
    m.import_from_as("velmor.hybrid", "core", "_hybrid_core");
    m.import_from_as("velmor.password", "core", "_pw_core");
    m.import_from_as("velmor.quantum", "core", "_q_core");
    m.import_from_as("velmor.rsa", "core", "_rsa_core");
    m.set("_AES", facade(m, "_AES", "_aes_core", aes_names));
    m.set("_RSA", facade(m, "_RSA", "_rsa_core", rsa_names));
    m.set("_Hybrid", facade(m, "_Hybrid", "_hybrid_core", hybrid_names));
    m.set("_Password", facade(m, "_Password", "_pw_core", password_names));
    m.set("_Quantum", facade(m, "_Quantum", "_q_core", quantum_names));
    for (auto [instance, cls] : {std::pair{"aes", "_AES"}, {"rsa", "_RSA"}, {"hybrid", "_Hybrid"},
                                 {"password", "_Password"}, {"quantum", "_Quantum"}})
        m.set(instance, m.get(cls)());
    m.all({"aes", "rsa", "hybrid", "password", "quantum"});
}

}  // namespace velmor
