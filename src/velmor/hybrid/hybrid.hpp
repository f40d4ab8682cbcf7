// The functions of velmor.hybrid.core, declared once: the core module defines them and the
// coroutine package and velmor.sync are made after the public ones.
#pragma once

#include "modules.hpp"

namespace velmor::hybrid::core {

inline constexpr vm::Declaration encrypt_bytes{
    "encrypt_bytes", {{"data", "bytes"}, {"public_pem", "str"}}, "bytes",
    "Encrypt data of any length in a hybrid envelope for an RSA-4096 public key PEM.\n\n"
    "A fresh 32-byte key seals the data with AES-256-GCM and travels in an RSA-OAEP block. The\n"
    "envelope: the block's length (4 bytes, little-endian), the 512-byte block, the 12-byte nonce,\n"
    "the 16-byte tag, then the ciphertext.\n\n"
    "Raises InvalidInputError for empty data or a public key that does not load or is not 4096\n"
    "bits; EncryptionError if the RSA encryption fails."};
inline constexpr vm::Declaration decrypt_auto{
    "decrypt_auto", {{"blob", "bytes"}, {"private_pem", "str"}}, "bytes",
    "Decrypt any RSA or hybrid ciphertext under the matching private key PEM; return the data.\n\n"
    "Tells the formats apart: the legacy hybrid envelope (\"HYBR\"), the hybrid envelope (length\n"
    "field 512), else one bare RSA-OAEP block.\n\n"
    "Raises InvalidInputError for a private key that does not load, DecryptionError for data that\n"
    "does not decrypt (another key, altered or truncated data)."};
inline constexpr vm::Declaration _net_decrypt{
    "_net_decrypt", {{"blob", "bytes"}, {"private_pem", "str"}}, "bytes"};
inline constexpr vm::Declaration _legacy_decrypt{
    "_legacy_decrypt", {{"blob", "bytes"}, {"private_pem", "str"}}, "bytes"};
inline constexpr vm::Declaration encrypt_str{
    "encrypt_str", {{"plaintext", "str"}, {"public_pem", "str"}}, "str",
    "Encrypt text in a hybrid envelope for an RSA-4096 public key PEM; return Base64 text.\n\n"
    "The text is encrypted as UTF-8 by encrypt_bytes; the result is the standard Base64 of the\n"
    "envelope.\n\n"
    "Raises InvalidInputError for the empty text, and the errors of encrypt_bytes."};
inline constexpr vm::Declaration decrypt_str{
    "decrypt_str", {{"ciphertext_b64", "str"}, {"private_pem", "str"}}, "str",
    "Decrypt Base64 text of any RSA or hybrid ciphertext under a private key PEM.\n\n"
    "The Base64 is decoded strictly, the data read by decrypt_auto and returned as text.\n\n"
    "Raises DecryptionError for text that is not valid Base64 or data that is not UTF-8, and the\n"
    "errors of decrypt_auto."};

}  // namespace velmor::hybrid::core
