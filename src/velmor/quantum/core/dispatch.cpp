// encrypt and decrypt: check the key, split off its header and hand the work to the generation
// named by its first byte.
#include "quantum/core/generations.hpp"

#include <string_view>

namespace velmor::n {
inline constinit vm::Name hex2{"02x"};
}  // namespace velmor::n

namespace velmor::quantum {

namespace {

// any(value): the host's truth test of each item; the items of bytes are true when nonzero
bool any_item(handle value) {
    if (PyBytes_CheckExact(value.ptr())) {
        std::string_view data(PyBytes_AS_STRING(value.ptr()), PyBytes_GET_SIZE(value.ptr()));
        return data.find_first_not_of('\0') != std::string_view::npos;
    }
    for (handle item : value)
        if (vm::truthy(item)) return true;
    return false;
}

// The row whose byte equals `gen`, compared in table order; null when none does. An exact int,
// such as every byte of a bytes key, is compared by value: its == has nothing to observe.
const Generation* generation_of(handle gen) {
    if (PyLong_CheckExact(gen.ptr())) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(gen.ptr(), &overflow);
        for (const Generation& g : kGenerations)
            if (!overflow && value == g.byte) return &g;
        return nullptr;
    }
    for (const Generation& g : kGenerations)
        if (gen.equal(nb::int_(g.byte))) return &g;
    return nullptr;
}

[[noreturn]] void unsupported(const Scope& s, handle gen, const char* direction) {
    object digits = vm::checked(PyObject_Format(gen.ptr(), n::hex2.ptr()));
    object message = vm::checked(
        PyUnicode_FromFormat("Quantum generation 0x%U is not supported for %s", digits.ptr(), direction));
    vm::raise(s[n::QuantumOperationError], message);
}

}  // namespace

object encrypt(const Scope& s, handle message, handle public_key) {
    if (nb::len(public_key) <= kHeader || !any_item(vm::slice(public_key, kHeader, vm::kEnd)))
        vm::raise(s[n::InvalidInputError], "Invalid or empty quantum public key");
    object gen = public_key[nb::int_(0)];
    object strength = public_key[nb::int_(1)];
    object raw = vm::slice(public_key, kHeader, vm::kEnd);
    object data = message.attr(n::encode)(n::utf_8);
    const Generation* g = generation_of(gen);
    if (!g) unsupported(s, gen, "encryption");
    object encrypt = s[*g->encrypt];
    return g->fixed_strength ? encrypt(data, raw) : encrypt(data, raw, strength);
}

object decrypt(const Scope& s, handle enc, handle private_key, handle secret) {
    if (nb::len(private_key) <= kHeader) vm::raise(s[n::InvalidInputError], "Invalid quantum private key");
    if (!vm::truthy(secret))
        vm::raise(s[n::InvalidInputError], "Encapsulated secret required for quantum decryption");
    object gen = private_key[nb::int_(0)];
    object strength = private_key[nb::int_(1)];
    object raw = vm::slice(private_key, kHeader, vm::kEnd);
    const Generation* g = generation_of(gen);
    if (!g) unsupported(s, gen, "decryption");
    object decrypt = s[*g->decrypt];
    object data = g->fixed_strength ? decrypt(enc, raw, secret) : decrypt(enc, raw, secret, strength);
    try {
        return data.attr(n::decode)(n::utf_8);
    } catch (vm::error& e) {
        if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        vm::raise_from(s, n::DecryptionError, "Decrypted quantum data is not valid UTF-8", e);
    }
}

}  // namespace velmor::quantum
