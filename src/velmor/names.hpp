// The names that several modules of the package look up, call or pass, each written once. A
// file declares the names only it uses beside its code, with VM_NAME in this namespace, so that
// one name is one object (and one cached lookup) wherever it is declared.
#pragma once

#include "runtime/runtime.hpp"

namespace velmor::n {

// Host modules and their functions
VM_NAME(base64);
VM_NAME(b64encode);
VM_NAME(b64decode);
VM_NAME(hashlib);
VM_NAME(hmac);
VM_NAME(compare_digest);
VM_NAME(pack);
VM_NAME(get);
VM_NAME(sha256);
VM_NAME(digest);
inline constinit vm::Name struct_module{"struct"};

// Methods of text and bytes, and the texts they take
VM_NAME(encode);
VM_NAME(decode);
inline constinit vm::Name utf_8{"utf-8"};
inline constinit vm::Name ascii{"ascii"};
inline constinit vm::Name empty{""};
inline constinit vm::Name little{"little"};
inline constinit vm::Name big{"big"};
inline constinit vm::Name little_u32{"<I"};  // struct's unsigned 32-bit little-endian

// cryptography
VM_NAME(hashes);
VM_NAME(SHA256);
VM_NAME(AESGCM);
VM_NAME(InvalidTag);
VM_NAME(encrypt);
VM_NAME(decrypt);
VM_NAME(sign);
VM_NAME(verify);
VM_NAME(derive);
VM_NAME(generate_private_key);
VM_NAME(public_key);
VM_NAME(public_bytes);
VM_NAME(private_bytes);
VM_NAME(Encoding);
VM_NAME(PrivateFormat);
VM_NAME(PublicFormat);
VM_NAME(NoEncryption);

// The package's own functions and values that modules other than their own read
VM_NAME(encrypt_bytes);
VM_NAME(decrypt_bytes);
VM_NAME(decrypt_auto);
VM_NAME(_encrypt_oaep);
VM_NAME(_OAEP);
VM_NAME(_oqs);
VM_NAME(generate_keypair);
inline constinit vm::Name mldsa{"mldsa"};  // the signature kind of ML-DSA

// The package's exceptions
VM_NAME(VelMorError);
VM_NAME(InvalidInputError);
VM_NAME(EncryptionError);
VM_NAME(DecryptionError);
VM_NAME(SignatureError);
VM_NAME(QuantumOperationError);

// Keywords of calls
inline constinit vm::Keywords validate{"validate"};
inline constinit vm::Keywords password{"password"};
inline constinit vm::Keywords rsa_key{"public_exponent", "key_size"};

}  // namespace velmor::n
