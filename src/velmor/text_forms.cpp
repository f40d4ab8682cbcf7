// The text forms shared by the AES, RSA and hybrid families, with their check and messages.
#include "text_forms.hpp"

namespace velmor::text_forms {

using namespace vm;

namespace {
namespace n {
VM_NAME(InvalidInputError);
VM_NAME(DecryptionError);
static Name empty{""};
}  // namespace n

constexpr DecodeErrors kDecodeErrors{n::DecryptionError, "Ciphertext is not valid Base64",
                                     "Decrypted data is not valid UTF-8"};
}  // namespace

object encrypt(const Scope& s, const Name& encrypt_bytes, handle plaintext, handle key) {
    if (plaintext.equal(handle(n::empty)))
        raise(s[n::InvalidInputError], "Plaintext cannot be empty");
    return encode_to_base64(s, encrypt_bytes, plaintext, key);
}

object decrypt(const Scope& s, const Name& decrypt_bytes, handle text, handle key) {
    return decode_from_base64(s, decrypt_bytes, text, key, kDecodeErrors);
}

}  // namespace velmor::text_forms
