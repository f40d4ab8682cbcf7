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

// format(value, ""), as an f-string formats a value
object formatted(handle value) { return checked(PyObject_Format(value.ptr(), nb::str("").ptr())); }

// <loader>(pem).<operation>(data, _OAEP), its errors as operation_failed makes them
object with_oaep(const Scope& s, const Name& loader, handle pem, const Name& operation, handle data,
                 const Name& failure, const char* prefix) {
    try {
        object key = s[loader](pem);
        // the method before the padding object, as a call expression evaluates them
        object method = key.attr(operation);
        return method(data, s[n::_OAEP]);
    } catch (error& e) {
        operation_failed(s, e, failure, prefix);
    }
}

}  // namespace

// _encrypt_oaep(data: bytes, public_pem: str) -> bytes
object encrypt_oaep(const Scope& s, Args a) {
    handle data = a[0], public_pem = a[1];
    nb::int_ size(nb::len(data));
    object limit = s[n::MAX_OAEP_PLAINTEXT];
    if (size > limit) {
        object cls = s[n::InvalidInputError];
        object message = checked(PyUnicode_FromFormat(
            "Data too large for a direct RSA-OAEP block (%U > %U bytes)", formatted(size).ptr(),
            formatted(limit).ptr()));
        raise(cls, message);
    }
    return with_oaep(s, n::_load_public, public_pem, n::encrypt, data, n::EncryptionError,
                     "RSA encryption failed: ");
}

// _decrypt_oaep(blob: bytes, private_pem: str) -> bytes
object decrypt_oaep(const Scope& s, Args a) {
    return with_oaep(s, n::_load_private, a[1], n::decrypt, a[0], n::DecryptionError,
                     "RSA decryption failed: ");
}

}  // namespace velmor::rsa
