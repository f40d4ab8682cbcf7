// velmor.rsa.core: its functions declared once (the core module defines them, the coroutine
// package and velmor.sync are made after the public ones), and the bodies that the module's
// files share.
#pragma once

#include "modules.hpp"

namespace velmor::n {
// read by both files of the module
VM_NAME(MAX_OAEP_PLAINTEXT);
VM_NAME(_load_public);
VM_NAME(_load_private);
}  // namespace velmor::n

namespace velmor::rsa {

namespace core {

inline constexpr vm::Declaration _pss{"_pss", {}, "padding.PSS"};
inline constexpr vm::Declaration new_key_pair{
    "new_key_pair", {}, "tuple[str, str]",
    "Make a new RSA-4096 key pair; return (private key PEM, public key PEM).\n\n"
    "The private key is unencrypted PKCS#8 and the public key SubjectPublicKeyInfo, both as ASCII\n"
    "PEM text; the public exponent is 65537.\n\n"
    "Raises nothing of its own: a failure of the key generation passes unchanged."};
inline constexpr vm::Declaration _load_public{"_load_public", {{"public_pem", "str"}}};
inline constexpr vm::Declaration _load_private{"_load_private", {{"private_pem", "str"}}};
inline constexpr vm::Declaration _der_len{"_der_len", {{"n", "int"}}, "bytes"};
inline constexpr vm::Declaration _pkcs1_to_spki{"_pkcs1_to_spki", {{"pkcs1", "bytes"}}, "bytes"};
inline constexpr vm::Declaration _encrypt_oaep{
    "_encrypt_oaep", {{"data", "bytes"}, {"public_pem", "str"}}, "bytes"};
inline constexpr vm::Declaration _decrypt_oaep{
    "_decrypt_oaep", {{"blob", "bytes"}, {"private_pem", "str"}}, "bytes"};

inline constexpr vm::Declaration encrypt_bytes{
    "encrypt_bytes", {{"data", "bytes"}, {"public_pem", "str"}}, "bytes",
    "Encrypt data for the holder of an RSA private key; return the ciphertext.\n\n"
    "Data of 1 to 446 bytes becomes one RSA-OAEP block (SHA-256, MGF1-SHA-256, no label), as long\n"
    "as the modulus; longer data becomes a hybrid envelope, which needs a 4096-bit key. The public\n"
    "key is PEM text.\n\n"
    "Raises InvalidInputError for empty data, a public key that does not load, or a hybrid envelope\n"
    "under a key of another size; EncryptionError if the encryption fails."};
inline constexpr vm::Declaration decrypt_bytes{
    "decrypt_bytes", {{"blob", "bytes"}, {"private_pem", "str"}}, "bytes",
    "Decrypt what encrypt_bytes made, under the matching private key PEM; return the data.\n\n"
    "Reads one RSA-OAEP block, the hybrid envelope and the legacy hybrid envelope (\"HYBR\").\n\n"
    "Raises InvalidInputError for a private key that does not load, DecryptionError for data that\n"
    "does not decrypt under it (another key, altered or truncated data)."};
inline constexpr vm::Declaration sign_bytes{
    "sign_bytes", {{"data", "bytes"}, {"private_pem", "str"}}, "bytes",
    "Sign data with RSA-PSS under a private key PEM; return the raw signature.\n\n"
    "PSS with SHA-256, MGF1-SHA-256 and a random 32-byte salt; the signature is as long as the\n"
    "modulus (512 bytes for RSA-4096). Empty data is signed as well.\n\n"
    "Raises InvalidInputError for a private key that does not load, SignatureError if signing\n"
    "fails."};
inline constexpr vm::Declaration verify_bytes{
    "verify_bytes", {{"data", "bytes"}, {"signature", "bytes"}, {"public_pem", "str"}}, "bool",
    "Check an RSA-PSS signature of data under a public key PEM; return True or False.\n\n"
    "False for a signature that does not match the data and the key.\n\n"
    "Raises InvalidInputError for a public key that does not load."};
inline constexpr vm::Declaration encrypt_str{
    "encrypt_str", {{"plaintext", "str"}, {"public_pem", "str"}}, "str",
    "Encrypt text for the holder of an RSA private key; return Base64 text.\n\n"
    "The text is encrypted as UTF-8 by encrypt_bytes (one RSA-OAEP block up to 446 bytes, a hybrid\n"
    "envelope beyond); the result is its standard Base64.\n\n"
    "Raises InvalidInputError for the empty text, and the errors of encrypt_bytes."};
inline constexpr vm::Declaration decrypt_str{
    "decrypt_str", {{"ciphertext_b64", "str"}, {"private_pem", "str"}}, "str",
    "Decrypt Base64 text made by encrypt_str under the matching private key PEM; return the text.\n\n"
    "Raises DecryptionError for text that is not valid Base64 or data that is not UTF-8, and the\n"
    "errors of decrypt_bytes."};
inline constexpr vm::Declaration sign_str{
    "sign_str", {{"plaintext", "str"}, {"private_pem", "str"}}, "str",
    "Sign text with RSA-PSS under a private key PEM; return the signature as Base64 text.\n\n"
    "The text is signed as UTF-8 by sign_bytes; the empty text is signed as well.\n\n"
    "Raises the errors of sign_bytes."};
inline constexpr vm::Declaration verify_str{
    "verify_str", {{"plaintext", "str"}, {"signature_b64", "str"}, {"public_pem", "str"}}, "bool",
    "Check a Base64 RSA-PSS signature of text under a public key PEM; return True or False.\n\n"
    "False for signature text that is not valid Base64 or does not match.\n\n"
    "Raises InvalidInputError for a public key that does not load."};

}  // namespace core

// The handlers of an operation on a key text, called inside the handler of its error `e`: the
// InvalidInputError of a key that does not load and what is no Exception go on unchanged, any
// other error becomes <failure>(prefix + its text) from it.
[[noreturn]] void operation_failed(const vm::Scope& s, const vm::error& e,
                                   const vm::Name& failure, const char* prefix);

// PKCS#1 to SubjectPublicKeyInfo (der.cpp)
vm::object rsa_alg_id();
vm::object der_len(const vm::Scope& s, vm::handle n);
vm::object pkcs1_to_spki(const vm::Scope& s, vm::handle pkcs1);

// one RSA-OAEP block (oaep.cpp)
vm::object encrypt_oaep(const vm::Scope& s, vm::handle data, vm::handle public_pem);
vm::object decrypt_oaep(const vm::Scope& s, vm::handle blob, vm::handle private_pem);

}  // namespace velmor::rsa
