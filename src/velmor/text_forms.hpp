// The text forms of the families that pair a text function with a bytes function (AES, RSA and
// hybrid): text goes in as UTF-8 and comes out as Base64, Base64 goes in strictly and comes out as
// UTF-8 text, with the same check, messages and errors in each, over the family's own bytes
// function (a module-level name, read when called).
#pragma once

#include "modules.hpp"

namespace velmor::text_forms {

// base64.b64decode(text, validate=True), `base64` read from the function's module
vm::object strict_b64decode(const vm::Scope& s, nb::handle text);
// base64.b64encode(<bytes_function>(text.encode("utf-8"), key)).decode("ascii")
vm::object to_base64(const vm::Scope& s, const vm::Name& bytes_function, nb::handle text,
                     nb::handle key);

// InvalidInputError "Plaintext cannot be empty" for the empty text (an equality test), else
// to_base64 of <encrypt_bytes>.
vm::object encrypt(const vm::Scope& s, const vm::Name& encrypt_bytes, nb::handle plaintext,
                   nb::handle key);
// <decrypt_bytes>(strict Base64 of text, key) as UTF-8 text; DecryptionError, the failure as its
// cause, for text that is not Base64 and data that is not UTF-8.
vm::object decrypt(const vm::Scope& s, const vm::Name& decrypt_bytes, nb::handle text,
                   nb::handle key);

// The bodies of encrypt_str(plaintext, key) and decrypt_str(ciphertext_b64, key) over a module's
// bytes functions.
template <const vm::Name& encrypt_bytes>
vm::object encrypt_str(const vm::Scope& s, vm::handle plaintext, vm::handle key) {
    return encrypt(s, encrypt_bytes, plaintext, key);
}

template <const vm::Name& decrypt_bytes>
vm::object decrypt_str(const vm::Scope& s, vm::handle ciphertext_b64, vm::handle key) {
    return decrypt(s, decrypt_bytes, ciphertext_b64, key);
}

}  // namespace velmor::text_forms
