// The public functions of velmor.aes.core, declared once: the core module defines them and the
// coroutine package and velmor.sync are made after them.
#pragma once

#include "modules.hpp"

namespace velmor::aes::core {

inline constexpr vm::Declaration encrypt_bytes{
    "encrypt_bytes", {{"data", "bytes"}, {"key", "str"}}, "bytes",
    "Encrypt data with AES-256-GCM under a key text; return the AES-GCM blob.\n\n"
    "The blob is the 12-byte random nonce, then the ciphertext and the 16-byte tag. The key text\n"
    "gives the 32-byte key: the Base64 of 32 bytes is that key (of 64 bytes, their first 32); any\n"
    "other text gives the SHA-256 of its bytes (decoded, if it is Base64), hashed once.\n\n"
    "Raises InvalidInputError for empty data, EncryptionError if the cipher fails."};

inline constexpr vm::Declaration decrypt_bytes{
    "decrypt_bytes", {{"blob", "bytes"}, {"key", "str"}}, "bytes",
    "Decrypt an AES-GCM blob under the key text it was made with; return the data.\n\n"
    "The blob is the 12-byte nonce, then the ciphertext and the 16-byte tag: 29 bytes or more.\n\n"
    "Raises DecryptionError for a blob that is too short, made under another key or altered."};

inline constexpr vm::Declaration encrypt_str{
    "encrypt_str", {{"plaintext", "str"}, {"key", "str"}}, "str",
    "Encrypt text with AES-256-GCM under a key text; return Base64 text.\n\n"
    "The text is encrypted as UTF-8 by encrypt_bytes; the result is the standard Base64, with\n"
    "padding, of the AES-GCM blob.\n\n"
    "Raises InvalidInputError for the empty text, and the errors of encrypt_bytes."};

inline constexpr vm::Declaration decrypt_str{
    "decrypt_str", {{"ciphertext_b64", "str"}, {"key", "str"}}, "str",
    "Decrypt Base64 text made by encrypt_str under the same key text; return the text.\n\n"
    "The Base64 is decoded strictly: a line break or any character outside the alphabet is refused.\n\n"
    "Raises DecryptionError for text that is not valid Base64, a blob that does not open (too\n"
    "short, another key, altered) or data that is not UTF-8."};

}  // namespace velmor::aes::core
