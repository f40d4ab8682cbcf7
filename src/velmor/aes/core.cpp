// velmor.aes.core: AES-256-GCM under a key text. The blob is nonce (12) | ciphertext | tag (16);
// the text form is its standard Base64.
#include "modules.hpp"

namespace velmor {

namespace {

using namespace vm;

namespace n {
VM_NAME(AESGCM);
VM_NAME(InvalidTag);
VM_NAME(InvalidInputError);
VM_NAME(EncryptionError);
VM_NAME(DecryptionError);
VM_NAME(convert_key);
VM_NAME(GCM_NONCE_SIZE);
VM_NAME(GCM_TAG_SIZE);
VM_NAME(encrypt);
VM_NAME(decrypt);
VM_NAME(encrypt_bytes);
VM_NAME(decrypt_bytes);
}  // namespace n

constexpr const char* kNotGcm =
    "AES decryption failed: data is not valid AES-GCM (legacy AES-CBC+HMAC not yet supported, or "
    "wrong key/tampered data).";

// encrypt_bytes(data: bytes, key: str) -> bytes
object encrypt_bytes(const Scope& s, Args a) {
    handle data = a[0], key = a[1];
    if (!truthy(data)) raise(s[n::InvalidInputError], "Data cannot be empty");
    object aes_key = call(s[n::convert_key], key);
    object nonce = urandom(s[n::GCM_NONCE_SIZE]);
    object sealed;
    try {
        sealed = call_method(call(s[n::AESGCM], aes_key), n::encrypt, nonce, data, handle(Py_None));
    } catch (error& e) {
        if (!is_exception(e)) throw;
        raise_prefixed(s[n::EncryptionError], "AES-GCM encryption failed: ", e);
    }
    return add(nonce, sealed);
}

// decrypt_bytes(blob: bytes, key: str) -> bytes
object decrypt_bytes(const Scope& s, Args a) {
    handle blob = a[0], key = a[1];
    object aes_key = call(s[n::convert_key], key);
    object nonce_size = s[n::GCM_NONCE_SIZE];
    object min_gcm = add(add(nonce_size, s[n::GCM_TAG_SIZE]), number(1));
    object size = number(length(blob));
    if (compare(size, min_gcm, Py_GE)) {
        object head = checked(PySlice_New(nullptr, nonce_size.ptr(), nullptr));
        object tail = checked(PySlice_New(nonce_size.ptr(), nullptr, nullptr));
        object nonce = checked(PyObject_GetItem(blob.ptr(), head.ptr()));
        object ct_and_tag = checked(PyObject_GetItem(blob.ptr(), tail.ptr()));
        try {
            return call_method(call(s[n::AESGCM], aes_key), n::decrypt, nonce, ct_and_tag,
                               handle(Py_None));
        } catch (error& e) {
            Except except(e);
            if (!except.matches(s[n::InvalidTag])) throw;
        }
    }
    raise(s[n::DecryptionError], kNotGcm);
}

// encrypt_str(plaintext: str, key: str) -> str
object encrypt_str(const Scope& s, Args a) {
    handle plaintext = a[0], key = a[1];
    if (is_empty_text(plaintext)) raise(s[n::InvalidInputError], "Plaintext cannot be empty");
    return encode_to_base64(s, n::encrypt_bytes, plaintext, key);
}

// decrypt_str(ciphertext_b64: str, key: str) -> str
object decrypt_str(const Scope& s, Args a) {
    return decode_from_base64(s, n::decrypt_bytes, a[0], a[1]);
}

}  // namespace

void build_aes_core(Module& m) {
    m.import("base64");
    m.import("os");
    m.import_from("cryptography.exceptions", {"InvalidTag"});
    m.import_from("cryptography.hazmat.primitives.ciphers.aead", {"AESGCM"});
    m.import_from("velmor.errors", {"DecryptionError", "EncryptionError", "InvalidInputError"});
    m.import_from("velmor._internal.keys", {"convert_key"});
    m.set("GCM_NONCE_SIZE", 12);
    m.set("GCM_TAG_SIZE", 16);
    m.def("encrypt_bytes", encrypt_bytes, {{"data", "bytes"}, {"key", "str"}}, "bytes");
    m.def("decrypt_bytes", decrypt_bytes, {{"blob", "bytes"}, {"key", "str"}}, "bytes");
    m.def("encrypt_str", encrypt_str, {{"plaintext", "str"}, {"key", "str"}}, "str");
    m.def("decrypt_str", decrypt_str, {{"ciphertext_b64", "str"}, {"key", "str"}}, "str");
}

}  // namespace velmor
