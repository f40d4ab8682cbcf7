// One RSA-OAEP block: up to MAX_OAEP_PLAINTEXT bytes under a public key text, and back.
#include "rsa/rsa.hpp"

namespace velmor::rsa {

namespace {

using namespace vm;

// <loader>(pem).<operation>(data, _OAEP), its errors as operation_failed makes them
object with_oaep(const Scope& s, const Name& loader, handle pem, const Name& operation,
                 handle data, const Name& failure, const char* prefix) {
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

object encrypt_oaep(const Scope& s, handle data, handle public_pem) {
    nb::int_ size(nb::len(data));
    object limit = s[n::MAX_OAEP_PLAINTEXT];
    if (size > limit) {
        object cls = s[n::InvalidInputError];
        object message = checked(PyUnicode_FromFormat(
            "Data too large for a direct RSA-OAEP block (%U > %U bytes)", format(size).ptr(),
            format(limit).ptr()));
        raise(cls, message);
    }
    return with_oaep(s, n::_load_public, public_pem, n::encrypt, data, n::EncryptionError,
                     "RSA encryption failed: ");
}

object decrypt_oaep(const Scope& s, handle blob, handle private_pem) {
    return with_oaep(s, n::_load_private, private_pem, n::decrypt, blob, n::DecryptionError,
                     "RSA decryption failed: ");
}

}  // namespace velmor::rsa
