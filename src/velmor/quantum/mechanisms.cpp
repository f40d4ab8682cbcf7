// The one table of the mechanisms the library names, with their sizes as liboqs 0.15 and later
// documents them.
#include "quantum/mechanisms.hpp"

#include <span>

namespace velmor::quantum {

const Mechanism kFrodo[3] = {
    {"FrodoKEM-640-AES", 9616, 19888},
    {"FrodoKEM-976-AES", 15632, 31296},
    {"FrodoKEM-1344-AES", 21520, 43088},
};
const Mechanism kMcEliece[3] = {
    {"Classic-McEliece-6688128", 1044992, 13932},
    {"Classic-McEliece-6960119", 1047319, 13948},
    {"Classic-McEliece-8192128", 1357824, 14120},
};
const Mechanism kMlKem[3] = {
    {"ML-KEM-512", 800, 1632},
    {"ML-KEM-768", 1184, 2400},
    {"ML-KEM-1024", 1568, 3168},
};
const Mechanism kMlDsa[3] = {
    {"ML-DSA-44", 1312, 2560, 2420},
    {"ML-DSA-65", 1952, 4032, 3309},
    {"ML-DSA-87", 2592, 4896, 4627},
};
const Mechanism kSlhDsa[3][2] = {
    {{"SLH-DSA-SHA2-128f", 32, 64, 17088}, {"SLH_DSA_PURE_SHA2_128F", 32, 64, 17088}},
    {{"SLH-DSA-SHA2-192f", 48, 96, 35664}, {"SLH_DSA_PURE_SHA2_192F", 48, 96, 35664}},
    {{"SLH-DSA-SHA2-256f", 64, 128, 49856}, {"SLH_DSA_PURE_SHA2_256F", 64, 128, 49856}},
};

namespace {

const Mechanism* find(nb::handle alg) {
    if (!PyUnicode_Check(alg.ptr())) return nullptr;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(alg.ptr(), &size);
    if (!text) {
        PyErr_Clear();  // a name with lone surrogates: no mechanism has one
        return nullptr;
    }
    std::string_view name(text, static_cast<std::size_t>(size));
    for (std::span<const Mechanism> family :
         {std::span<const Mechanism>(kFrodo), std::span<const Mechanism>(kMcEliece),
          std::span<const Mechanism>(kMlKem), std::span<const Mechanism>(kMlDsa),
          std::span<const Mechanism>(&kSlhDsa[0][0], 6)})
        for (const Mechanism& m : family)
            if (m.name == name) return &m;
    return nullptr;
}

}  // namespace

vm::object sized_part(nb::handle alg, Part part, nb::handle value) {
    vm::object data = vm::buffer_bytes(value);
    const Mechanism* m = find(alg);
    if (!m) return data;
    Py_ssize_t expected = part == Part::public_key   ? m->public_key
                          : part == Part::secret_key ? m->secret_key
                                                     : m->signature;
    return PyBytes_GET_SIZE(data.ptr()) == expected ? data : vm::object();
}

}  // namespace velmor::quantum
