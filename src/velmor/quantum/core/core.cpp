// velmor.quantum.core: the synchronous post-quantum core. The builder binds the module frame
// (imports, HKDF labels) and then every function in the module's order.
#include "quantum/core/core.hpp"

namespace velmor {

void build_quantum_core(vm::Module& m) {
    using namespace quantum;
    m.import("hashlib");
    m.import("hmac");
    m.import("os");
    m.import("struct");
    m.import_from("cryptography.hazmat.primitives", {"hashes"});
    m.import_from_as("cryptography.hazmat.primitives", "padding", "sym_padding");
    m.import_from_as("cryptography.hazmat.primitives", "serialization", "_ser");
    m.import_from_as("cryptography.hazmat.primitives.asymmetric", "rsa", "_rsa_asym");
    m.import_from("cryptography.hazmat.primitives.asymmetric.x25519",
                  {"X25519PrivateKey", "X25519PublicKey"});
    m.import_from("cryptography.hazmat.primitives.ciphers", {"Cipher", "algorithms", "modes"});
    m.import_from("cryptography.hazmat.primitives.ciphers.aead", {"AESGCM"});
    m.import_from("cryptography.hazmat.primitives.kdf.hkdf", {"HKDF"});
    m.import_from("cryptography.hazmat.primitives.serialization",
                  {"load_der_private_key", "load_der_public_key"});
    m.import_from("velmor.errors", {"DecryptionError", "InvalidInputError", "QuantumOperationError"});
    m.import_from("velmor.rsa.core", {"_pkcs1_to_spki", "_OAEP"});
    m.import_from("velmor.quantum", {"_oqs"});
    m.import_from("velmor.quantum.types", {"QuantumGeneration", "QuantumStrength", "SignatureAlgorithm"});
    m.set("_GEN8_INFO", nb::bytes("Gen8-Hybrid-X25519-MLKEM"));
    m.set("_GEN6_INFO", nb::bytes("Gen6-Frodo-GCM"));
    m.set("_GEN5_INFO", nb::bytes("Gen5-CMCE-HMAC"));
    m.set("_GEN7_INFO", nb::bytes("Gen7-Hybrid-RSA-Frodo"));

    m.def<core::_hkdf, hkdf>();
    m.def<core::_gcm_seal, gcm_seal>();
    m.def<core::_gcm_open, gcm_open>();
    m.def<core::_cbc_encrypt, cbc_encrypt>();
    m.def<core::_cbc_decrypt, cbc_decrypt>();
    m.def<core::_hmac256, hmac256>();

    m.def<core::generate_keypair, generate_keypair>();
    m.def<core::encrypt, encrypt>();
    m.def<core::decrypt, decrypt>();

    m.def<core::_gen4_key, gen4_key>();
    m.def<core::_gen4_encrypt, gen4_encrypt>();
    m.def<core::_gen4_decrypt, gen4_decrypt>();
    m.def<core::_gen6_encrypt, gen6_encrypt>();
    m.def<core::_gen6_decrypt, gen6_decrypt>();
    m.def<core::_gen2_encrypt, gen2_encrypt>();
    m.def<core::_gen2_decrypt, gen2_decrypt>();
    m.def<core::_gen5_encrypt, gen5_encrypt>();
    m.def<core::_gen5_decrypt, gen5_decrypt>();

    m.def<core::_xor_mix, xor_mix>();
    m.def<core::_gen7_generate, gen7_generate>();
    m.def<core::_gen7_encrypt, gen7_encrypt>();
    m.def<core::_gen7_decrypt, gen7_decrypt>();

    m.def<core::_x25519_raw, x25519_raw>();
    m.def<core::_gen8_generate, gen8_generate>();
    m.def<core::_gen8_encrypt, gen8_encrypt>();
    m.def<core::_gen8_decrypt, gen8_decrypt>();

    m.def<core::_sig_kind, sig_kind>();
    m.def<core::_sig_strip, sig_strip>();
    m.def<core::generate_signature_keypair, generate_signature_keypair>();
    m.def<core::sign, sign>();
    m.def<core::verify, verify>();
}

}  // namespace velmor
