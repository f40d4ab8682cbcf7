// The mechanisms of liboqs that the library names, with the sizes liboqs gives their key parts
// and signatures. The binding copies a key into a buffer of the mechanism's size and pads a short
// one with zero bytes, and liboqs reads the head of an SLH-DSA signature before it compares its
// length, so a part of any other length must be refused before it gets there.
#pragma once

#include "modules.hpp"

#include <string_view>

namespace velmor::quantum {

struct Mechanism {
    std::string_view name;
    Py_ssize_t public_key;
    Py_ssize_t secret_key;
    Py_ssize_t signature = 0;  // 0 for a KEM
};

// Each family's mechanism for the strengths 0, 1 and 2.
extern const Mechanism kFrodo[3];
extern const Mechanism kMcEliece[3];
extern const Mechanism kMlKem[3];
extern const Mechanism kMlDsa[3];
// SLH-DSA under both of the names a liboqs may give it, the hyphenated one first.
extern const Mechanism kSlhDsa[3][2];

enum class Part { public_key, secret_key, signature };

// `value` as the bytes handed to the binding when it has exactly the length of that part of
// mechanism `alg`; a null object when it has not. A name outside the table is the binding's to
// refuse, so any length passes for it. Not bytes-like: the TypeError of buffer_bytes.
vm::object sized_part(nb::handle alg, Part part, nb::handle value);

}  // namespace velmor::quantum
