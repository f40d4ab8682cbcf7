// The text forms of the families that pair a text function with a bytes function (AES, RSA and
// hybrid): the same check, messages and errors in each, over the family's own bytes function.
#pragma once

#include "modules.hpp"

namespace velmor::text_forms {

// InvalidInputError "Plaintext cannot be empty" for the empty text (an equality test), else the
// Base64 text of <encrypt_bytes>(plaintext.encode("utf-8"), key).
vm::object encrypt(const vm::Scope& s, const vm::Name& encrypt_bytes, vm::handle plaintext,
                   vm::handle key);
// <decrypt_bytes>(strict Base64 of text, key) as UTF-8 text; DecryptionError, the failure as its
// cause, for text that is not Base64 and data that is not UTF-8.
vm::object decrypt(const vm::Scope& s, const vm::Name& decrypt_bytes, vm::handle text,
                   vm::handle key);

// encrypt_str(plaintext, key) and decrypt_str(ciphertext_b64, key) over a module's bytes
// functions, for Module::def.
template <const vm::Name& encrypt_bytes>
vm::object encrypt_str(const vm::Scope& s, vm::Args a) {
    return encrypt(s, encrypt_bytes, a[0], a[1]);
}

template <const vm::Name& decrypt_bytes>
vm::object decrypt_str(const vm::Scope& s, vm::Args a) {
    return decrypt(s, decrypt_bytes, a[0], a[1]);
}

}  // namespace velmor::text_forms
