// velmor.aes.core: AES-256-GCM under a key text. The blob is nonce (12) | ciphertext | tag (16);
// the text form is its standard Base64.
#include "aes/aes.hpp"
#include "text_forms.hpp"

namespace velmor {

namespace n {
VM_NAME(convert_key);
VM_NAME(GCM_NONCE_SIZE);
VM_NAME(GCM_TAG_SIZE);
}  // namespace n

namespace {

using namespace vm;

constexpr const char* kNotGcm =
    "AES decryption failed: data is not valid AES-GCM (legacy AES-CBC+HMAC not yet supported, or "
    "wrong key/tampered data).";

object encrypt_bytes(const Scope& s, handle data, handle key) {
    if (!truthy(data)) raise(s[n::InvalidInputError], "Data cannot be empty");
    object aes_key = s[n::convert_key](key);
    object nonce = urandom(s[n::GCM_NONCE_SIZE]);
    object sealed;
    try {
        sealed = s[n::AESGCM](aes_key).attr(n::encrypt)(nonce, data, nb::none());
    } catch (error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_prefixed(s, n::EncryptionError, "AES-GCM encryption failed: ", e);
    }
    return nonce + sealed;
}

object decrypt_bytes(const Scope& s, handle blob, handle key) {
    object aes_key = s[n::convert_key](key);
    object nonce_size = s[n::GCM_NONCE_SIZE];
    object min_gcm = nonce_size + s[n::GCM_TAG_SIZE] + nb::int_(1);
    if (nb::int_(nb::len(blob)) >= min_gcm) {
        object nonce = slice(blob, nb::none(), nonce_size);
        object ct_and_tag = slice(blob, nonce_size, nb::none());
        try {
            return s[n::AESGCM](aes_key).attr(n::decrypt)(nonce, ct_and_tag, nb::none());
        } catch (error& e) {
            Except except(e);
            if (!except.matches(s[n::InvalidTag])) throw;
        }
    }
    raise(s[n::DecryptionError], kNotGcm);
}

}  // namespace

void build_aes_core(vm::Module& m) {
    m.import("base64");
    m.import("os");
    m.import_from("cryptography.exceptions", {"InvalidTag"});
    m.import_from("cryptography.hazmat.primitives.ciphers.aead", {"AESGCM"});
    m.import_from("velmor.errors", {"DecryptionError", "EncryptionError", "InvalidInputError"});
    m.import_from("velmor._internal.keys", {"convert_key"});
    m.set("GCM_NONCE_SIZE", 12);
    m.set("GCM_TAG_SIZE", 16);
    m.def<aes::core::encrypt_bytes, encrypt_bytes>();
    m.def<aes::core::decrypt_bytes, decrypt_bytes>();
    m.def<aes::core::encrypt_str, text_forms::encrypt_str<n::encrypt_bytes>>();
    m.def<aes::core::decrypt_str, text_forms::decrypt_str<n::decrypt_bytes>>();
}

}  // namespace velmor
