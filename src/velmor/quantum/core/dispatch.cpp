// encrypt and decrypt: check the key, split off its header and hand the work to the generation
// named by its first byte.
#include "quantum/core/core.hpp"

#include <cstring>

namespace velmor::quantum {

using namespace vm;

namespace {
namespace n {
VM_NAME(InvalidInputError);
VM_NAME(QuantumOperationError);
VM_NAME(DecryptionError);
VM_NAME(encode);
VM_NAME(decode);
VM_NAME(_gen4_encrypt);
VM_NAME(_gen6_encrypt);
VM_NAME(_gen2_encrypt);
VM_NAME(_gen5_encrypt);
VM_NAME(_gen7_encrypt);
VM_NAME(_gen8_encrypt);
VM_NAME(_gen4_decrypt);
VM_NAME(_gen6_decrypt);
VM_NAME(_gen2_decrypt);
VM_NAME(_gen5_decrypt);
VM_NAME(_gen7_decrypt);
VM_NAME(_gen8_decrypt);
static Name utf_8{"utf-8"};
static Name hex2{"02x"};
}  // namespace n

// any(value): the host's truth test of each item
bool any_item(handle value) {
    if (PyBytes_CheckExact(value.ptr())) {
        const char* p = PyBytes_AS_STRING(value.ptr());
        for (Py_ssize_t i = 0, size = PyBytes_GET_SIZE(value.ptr()); i < size; ++i)
            if (p[i]) return true;
        return false;
    }
    object it = checked(PyObject_GetIter(value.ptr()));
    while (PyObject* next = PyIter_Next(it.ptr())) {
        object element = nb::steal(next);
        if (truthy(element)) return true;
    }
    if (PyErr_Occurred()) fail();
    return false;
}

bool is(handle gen, long value) {
    object v = number(value);
    return truthy(checked(PyObject_RichCompare(gen.ptr(), v.ptr(), Py_EQ)));
}

[[noreturn]] void unsupported(const Scope& s, handle gen, const char* direction) {
    object digits = checked(PyObject_Format(gen.ptr(), n::hex2.ptr()));
    object message = checked(PyUnicode_FromFormat("Quantum generation 0x%U is not supported for %s",
                                                  digits.ptr(), direction));
    raise(s[n::QuantumOperationError], message);
}

}  // namespace

const char* const encrypt_doc =
    "Encrypt text under a quantum public key; return (encapsulated secret, encrypted message).\n\n"
    "The key's generation byte chooses the scheme; the text is encrypted as UTF-8. decrypt needs\n"
    "both results.\n\n"
    "Raises InvalidInputError for a key that is too short, empty or malformed; KeyError for a\n"
    "strength byte other than 0, 1 and 2; QuantumOperationError for an unsupported generation, a\n"
    "missing binding or a failure inside it.";

// encrypt(message: str, public_key: bytes) -> tuple[bytes, bytes]
object encrypt(const Scope& s, Args a) {
    handle message = a[0], public_key = a[1];
    if (length(public_key) < 3 || !any_item(slice(public_key, 2, kEnd)))
        raise(s[n::InvalidInputError], "Invalid or empty quantum public key");
    object gen = item(public_key, 0);
    object strength = item(public_key, 1);
    object raw = slice(public_key, 2, kEnd);
    object data = message.attr(n::encode)(n::utf_8);
    if (is(gen, 4)) return s[n::_gen4_encrypt](data, raw);
    if (is(gen, 6)) return s[n::_gen6_encrypt](data, raw, strength);
    if (is(gen, 2)) return s[n::_gen2_encrypt](data, raw, strength);
    if (is(gen, 5)) return s[n::_gen5_encrypt](data, raw, strength);
    if (is(gen, 7)) return s[n::_gen7_encrypt](data, raw, strength);
    if (is(gen, 8)) return s[n::_gen8_encrypt](data, raw, strength);
    unsupported(s, gen, "encryption");
}

const char* const decrypt_doc =
    "Decrypt an encrypted message with the quantum private key and the encapsulated secret.\n\n"
    "The arguments come in this order: encrypted message, private key, secret (encrypt returns the\n"
    "secret first). Returns the text.\n\n"
    "Raises InvalidInputError for a key, secret or message that is too short or malformed;\n"
    "DecryptionError for data that does not authenticate (another key, altered data) or is not\n"
    "UTF-8; KeyError for a strength byte other than 0, 1 and 2; QuantumOperationError for an\n"
    "unsupported generation, a missing binding or a failure inside it.";

// decrypt(encrypted_message: bytes, private_key: bytes, secret: bytes) -> str
object decrypt(const Scope& s, Args a) {
    handle enc = a[0], private_key = a[1], secret = a[2];
    if (length(private_key) < 3) raise(s[n::InvalidInputError], "Invalid quantum private key");
    if (!truthy(secret))
        raise(s[n::InvalidInputError], "Encapsulated secret required for quantum decryption");
    object gen = item(private_key, 0);
    object strength = item(private_key, 1);
    object raw = slice(private_key, 2, kEnd);
    object data;
    if (is(gen, 4))
        data = s[n::_gen4_decrypt](enc, raw, secret);
    else if (is(gen, 6))
        data = s[n::_gen6_decrypt](enc, raw, secret, strength);
    else if (is(gen, 2))
        data = s[n::_gen2_decrypt](enc, raw, secret, strength);
    else if (is(gen, 5))
        data = s[n::_gen5_decrypt](enc, raw, secret, strength);
    else if (is(gen, 7))
        data = s[n::_gen7_decrypt](enc, raw, secret, strength);
    else if (is(gen, 8))
        data = s[n::_gen8_decrypt](enc, raw, secret, strength);
    else
        unsupported(s, gen, "decryption");
    try {
        return data.attr(n::decode)(n::utf_8);
    } catch (error& e) {
        if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        raise_from(s[n::DecryptionError], "Decrypted quantum data is not valid UTF-8", e);
    }
}

}  // namespace velmor::quantum
