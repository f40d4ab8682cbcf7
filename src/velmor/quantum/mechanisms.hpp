// The sizes liboqs gives the key parts and signatures of every mechanism the library names. The
// binding copies a key into a buffer of the mechanism's size and pads a short one with zero
// bytes, and liboqs reads the head of an SLH-DSA signature before it compares its length, so a
// part of any other length must be refused before it gets there.
#pragma once

#include "runtime/runtime.hpp"

namespace velmor::quantum {

enum class Part { public_key, secret_key, signature };

// `value` as the bytes handed to the binding when it has exactly the length of that part of
// mechanism `alg`; a null object when it has not. A name outside the table is the binding's to
// refuse, so any length passes for it. Not bytes-like: the TypeError of buffer_bytes.
vm::object sized_part(vm::handle alg, Part part, vm::handle value);

}  // namespace velmor::quantum
