// One RSA-OAEP block: up to MAX_OAEP_PLAINTEXT bytes under a public key text, and back.
#include "rsa/rsa.hpp"

namespace velmor::rsa {

namespace {

using namespace vm;

namespace n {
VM_NAME(MAX_OAEP_PLAINTEXT);
VM_NAME(_OAEP);
VM_NAME(_load_public);
VM_NAME(_load_private);
VM_NAME(InvalidInputError);
VM_NAME(EncryptionError);
VM_NAME(DecryptionError);
VM_NAME(encrypt);
VM_NAME(decrypt);
}  // namespace n

object formatted(handle value) {
    object spec = checked(PyUnicode_FromStringAndSize("", 0));
    return checked(PyObject_Format(value.ptr(), spec.ptr()));
}

}  // namespace

// _encrypt_oaep(data: bytes, public_pem: str) -> bytes
object encrypt_oaep(const Scope& s, Args a) {
    handle data = a[0], public_pem = a[1];
    object size = number(length(data));
    object limit = s[n::MAX_OAEP_PLAINTEXT];
    if (compare(size, limit, Py_GT)) {
        object cls = s[n::InvalidInputError];
        object message = checked(PyUnicode_FromFormat(
            "Data too large for a direct RSA-OAEP block (%U > %U bytes)", formatted(size).ptr(),
            formatted(limit).ptr()));
        raise(cls, message);
    }
    try {
        object key = s[n::_load_public](public_pem);
        // the method before the padding object, as a call expression evaluates them
        object encrypt = key.attr(n::encrypt);
        return encrypt(data, s[n::_OAEP]);
    } catch (error& e) {
        if (Except(e).matches(s[n::InvalidInputError])) throw;
        if (!is_exception(e)) throw;
        raise_prefixed(s[n::EncryptionError], "RSA encryption failed: ", e);
    }
}

// _decrypt_oaep(blob: bytes, private_pem: str) -> bytes
object decrypt_oaep(const Scope& s, Args a) {
    handle blob = a[0], private_pem = a[1];
    try {
        object key = s[n::_load_private](private_pem);
        object decrypt = key.attr(n::decrypt);
        return decrypt(blob, s[n::_OAEP]);
    } catch (error& e) {
        if (Except(e).matches(s[n::InvalidInputError])) throw;
        if (!is_exception(e)) throw;
        raise_prefixed(s[n::DecryptionError], "RSA decryption failed: ", e);
    }
}

}  // namespace velmor::rsa
