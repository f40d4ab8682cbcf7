// The text forms shared by the AES, RSA and hybrid families, with their check and messages.
#include "text_forms.hpp"

namespace velmor::text_forms {

using namespace vm;

object strict_b64decode(const Scope& s, nb::handle text) {
    return call_kw(s[n::base64].attr(n::b64decode).value(), {text}, n::validate, {Py_True});
}

object to_base64(const Scope& s, const Name& bytes_function, nb::handle text, nb::handle key) {
    // The callees are read before the argument is made, as the host evaluates the expression.
    object b64encode = s[n::base64].attr(n::b64encode);
    object function = s[bytes_function];
    object data = handle(text).attr(n::encode)(n::utf_8);
    object blob = function(data, key);
    // Each intermediate goes as soon as the next step has it, as the host's temporaries do:
    // a large text then peaks at the blob and its Base64, not at every copy at once.
    data.reset();
    object encoded = b64encode(blob);
    blob.reset();
    return encoded.attr(n::decode)(n::ascii);
}

object encrypt(const Scope& s, const Name& encrypt_bytes, nb::handle plaintext, nb::handle key) {
    if (plaintext.equal(nb::handle(n::empty)))
        raise(s[n::InvalidInputError], "Plaintext cannot be empty");
    return to_base64(s, encrypt_bytes, plaintext, key);
}

object decrypt(const Scope& s, const Name& decrypt_bytes, nb::handle text, nb::handle key) {
    object blob;
    try {
        blob = strict_b64decode(s, text);
    } catch (error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_from(s, n::DecryptionError, "Ciphertext is not valid Base64", e);
    }
    object data = s[decrypt_bytes](blob, key);
    blob.reset();
    try {
        return data.attr(n::decode)(n::utf_8);
    } catch (error& e) {
        if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        raise_from(s, n::DecryptionError, "Decrypted data is not valid UTF-8", e);
    }
}

}  // namespace velmor::text_forms
