// velmor.sync: the synchronous facade. Each object's attributes are the core functions of its
// family, taken once when this module loads and bound as static methods under short names.
#include "modules.hpp"

#include <vector>

namespace velmor {

namespace {

using namespace vm;

struct Method {
    const char* name;      // attribute of the facade class
    const char* function;  // function of the family's core module
};

object facade(Module& m, const char* class_name, const char* alias, std::initializer_list<Method> methods) {
    object core = m.get(alias);
    std::vector<std::pair<const char*, handle>> attributes;
    std::vector<object> keep;
    for (const Method& method : methods) {
        object function = checked(PyObject_GetAttrString(core.ptr(), method.function));
        keep.push_back(checked(PyStaticMethod_New(function.ptr())));
        attributes.emplace_back(method.name, keep.back());
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
    m.set("_AES", facade(m, "_AES", "_aes_core",
                         {{"encrypt", "encrypt_str"}, {"decrypt", "decrypt_str"},
                          {"encrypt_bytes", "encrypt_bytes"}, {"decrypt_bytes", "decrypt_bytes"}}));
    m.set("_RSA", facade(m, "_RSA", "_rsa_core",
                         {{"new_key_pair", "new_key_pair"}, {"encrypt", "encrypt_str"},
                          {"decrypt", "decrypt_str"}, {"encrypt_bytes", "encrypt_bytes"},
                          {"decrypt_bytes", "decrypt_bytes"}, {"sign", "sign_str"},
                          {"verify", "verify_str"}, {"sign_bytes", "sign_bytes"},
                          {"verify_bytes", "verify_bytes"}}));
    m.set("_Hybrid", facade(m, "_Hybrid", "_hybrid_core",
                            {{"encrypt", "encrypt_str"}, {"decrypt", "decrypt_str"},
                             {"encrypt_bytes", "encrypt_bytes"}, {"decrypt_bytes", "decrypt_auto"}}));
    m.set("_Password", facade(m, "_Password", "_pw_core",
                              {{"hash", "hash_password"}, {"verify", "verify_password"},
                               {"needs_rehash", "needs_rehash"}}));
    m.set("_Quantum", facade(m, "_Quantum", "_q_core",
                             {{"generate_keypair", "generate_keypair"}, {"encrypt", "encrypt"},
                              {"decrypt", "decrypt"},
                              {"generate_signature_keypair", "generate_signature_keypair"},
                              {"sign", "sign"}, {"verify", "verify"}}));
    for (auto [instance, cls] : {std::pair{"aes", "_AES"}, {"rsa", "_RSA"}, {"hybrid", "_Hybrid"},
                                 {"password", "_Password"}, {"quantum", "_Quantum"}})
        m.set(instance, checked(PyObject_CallNoArgs(m.get(cls).ptr())));
    m.all({"aes", "rsa", "hybrid", "password", "quantum"});
}

}  // namespace velmor
