// velmor.aes.core: AES-256-GCM under a key text. The blob is nonce (12) | ciphertext | tag (16);
// the text form is its standard Base64.
#include "text_forms.hpp"

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

constexpr const char* encrypt_bytes_doc =
    "Encrypt data with AES-256-GCM under a key text; return the AES-GCM blob.\n\n"
    "The blob is the 12-byte random nonce, then the ciphertext and the 16-byte tag. The key text\n"
    "gives the 32-byte key: the Base64 of 32 bytes is that key (of 64 bytes, their first 32); any\n"
    "other text gives the SHA-256 of its bytes (decoded, if it is Base64), hashed once.\n\n"
    "Raises InvalidInputError for empty data, EncryptionError if the cipher fails.";

// encrypt_bytes(data: bytes, key: str) -> bytes
object encrypt_bytes(const Scope& s, Args a) {
    handle data = a[0], key = a[1];
    if (!truthy(data)) raise(s[n::InvalidInputError], "Data cannot be empty");
    object aes_key = call(s[n::convert_key], key);
    object nonce = urandom(s[n::GCM_NONCE_SIZE]);
    object sealed;
    try {
        sealed = call_method(call(s[n::AESGCM], aes_key), n::encrypt, nonce, data, nb::none());
    } catch (error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_prefixed(s, n::EncryptionError, "AES-GCM encryption failed: ", e);
    }
    return nonce + sealed;
}

constexpr const char* decrypt_bytes_doc =
    "Decrypt an AES-GCM blob under the key text it was made with; return the data.\n\n"
    "The blob is the 12-byte nonce, then the ciphertext and the 16-byte tag: 29 bytes or more.\n\n"
    "Raises DecryptionError for a blob that is too short, made under another key or altered.";

// decrypt_bytes(blob: bytes, key: str) -> bytes
object decrypt_bytes(const Scope& s, Args a) {
    handle blob = a[0], key = a[1];
    object aes_key = call(s[n::convert_key], key);
    object nonce_size = s[n::GCM_NONCE_SIZE];
    object min_gcm = nonce_size + s[n::GCM_TAG_SIZE] + nb::int_(1);
    if (nb::int_(nb::len(blob)) >= min_gcm) {
        object nonce = slice(blob, nb::none(), nonce_size);
        object ct_and_tag = slice(blob, nonce_size, nb::none());
        try {
            return call_method(call(s[n::AESGCM], aes_key), n::decrypt, nonce, ct_and_tag,
                               nb::none());
        } catch (error& e) {
            Except except(e);
            if (!except.matches(s[n::InvalidTag])) throw;
        }
    }
    raise(s[n::DecryptionError], kNotGcm);
}

constexpr const char* encrypt_str_doc =
    "Encrypt text with AES-256-GCM under a key text; return Base64 text.\n\n"
    "The text is encrypted as UTF-8 by encrypt_bytes; the result is the standard Base64, with\n"
    "padding, of the AES-GCM blob.\n\n"
    "Raises InvalidInputError for the empty text, and the errors of encrypt_bytes.";

constexpr const char* decrypt_str_doc =
    "Decrypt Base64 text made by encrypt_str under the same key text; return the text.\n\n"
    "The Base64 is decoded strictly: a line break or any character outside the alphabet is refused.\n\n"
    "Raises DecryptionError for text that is not valid Base64, a blob that does not open (too\n"
    "short, another key, altered) or data that is not UTF-8.";

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
    m.def("encrypt_bytes", encrypt_bytes, {{"data", "bytes"}, {"key", "str"}}, "bytes",
          encrypt_bytes_doc);
    m.def("decrypt_bytes", decrypt_bytes, {{"blob", "bytes"}, {"key", "str"}}, "bytes",
          decrypt_bytes_doc);
    m.def("encrypt_str", text_forms::encrypt_str<n::encrypt_bytes>,
          {{"plaintext", "str"}, {"key", "str"}}, "str", encrypt_str_doc);
    m.def("decrypt_str", text_forms::decrypt_str<n::decrypt_bytes>,
          {{"ciphertext_b64", "str"}, {"key", "str"}}, "str", decrypt_str_doc);
}

}  // namespace velmor
