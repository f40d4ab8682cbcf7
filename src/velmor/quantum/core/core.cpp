// velmor.quantum.core: the synchronous post-quantum core. The builder binds the module frame
// (imports, HKDF labels) and then every function in the module's order.
#include "quantum/core/core.hpp"

namespace velmor {

void build_quantum_core(vm::Module& m) {
    using namespace quantum;
    using P = vm::Param;
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

    const char* pair = "tuple[bytes, bytes]";
    // The parameters of the generation functions: the KEM-only generations read a capsule, the
    // hybrid ones a secret of several parts.
    const std::initializer_list<P> encrypt_by_capsule = {
        {"data", "bytes"}, {"raw_pk", "bytes"}, {"strength", "int"}};
    const std::initializer_list<P> decrypt_by_capsule = {
        {"enc", "bytes"}, {"raw_sk", "bytes"}, {"capsule", "bytes"}, {"strength", "int"}};
    const std::initializer_list<P> encrypt_hybrid = {
        {"data", "bytes"}, {"raw", "bytes"}, {"strength", "int"}};
    const std::initializer_list<P> decrypt_hybrid = {
        {"enc", "bytes"}, {"raw", "bytes"}, {"secret", "bytes"}, {"strength", "int"}};
    m.def("_hkdf", hkdf, {{"ikm", "bytes"}, {"salt", "bytes"}, {"info", "bytes"}, {"length", "int"}}, "bytes");
    m.def("_gcm_seal", gcm_seal, {{"key", "bytes"}, {"nonce", "bytes"}, {"data", "bytes"}}, pair);
    m.def("_gcm_open", gcm_open,
          {{"key", "bytes"}, {"nonce", "bytes"}, {"ciphertext", "bytes"}, {"tag", "bytes"}}, "bytes");
    m.def("_cbc_encrypt", cbc_encrypt, {{"data", "bytes"}, {"key", "bytes"}, {"iv", "bytes"}}, "bytes");
    m.def("_cbc_decrypt", cbc_decrypt, {{"ciphertext", "bytes"}, {"key", "bytes"}, {"iv", "bytes"}}, "bytes");
    m.def("_hmac256", hmac256, {{"key", "bytes"}, {"data", "bytes"}}, "bytes");

    vm::object generation = m.get("QuantumGeneration");
    vm::object strength = m.get("QuantumStrength");
    vm::object gen8 = generation.attr("GEN8");
    vm::object highest = strength.attr("HIGHEST");
    m.def("generate_keypair", generate_keypair,
          {P{"generation", "QuantumGeneration | int", gen8}, P{"strength", "QuantumStrength | int", highest}},
          pair, generate_keypair_doc);

    m.def("encrypt", encrypt, {{"message", "str"}, {"public_key", "bytes"}}, pair, encrypt_doc);
    m.def("decrypt", decrypt, {{"encrypted_message", "bytes"}, {"private_key", "bytes"}, {"secret", "bytes"}},
          "str", decrypt_doc);

    m.def("_gen4_key", gen4_key, {{"ss", "bytes"}}, "bytes");
    m.def("_gen4_encrypt", gen4_encrypt, {{"data", "bytes"}, {"raw_pk", "bytes"}}, pair);
    m.def("_gen4_decrypt", gen4_decrypt, {{"enc", "bytes"}, {"raw_sk", "bytes"}, {"capsule", "bytes"}}, "bytes");
    m.def("_gen6_encrypt", gen6_encrypt, encrypt_by_capsule, pair);
    m.def("_gen6_decrypt", gen6_decrypt, decrypt_by_capsule, "bytes");
    m.def("_gen2_encrypt", gen2_encrypt, encrypt_by_capsule, pair);
    m.def("_gen2_decrypt", gen2_decrypt, decrypt_by_capsule, "bytes");
    m.def("_gen5_encrypt", gen5_encrypt, encrypt_by_capsule, pair);
    m.def("_gen5_decrypt", gen5_decrypt, decrypt_by_capsule, "bytes");

    m.def("_xor_mix", xor_mix, {{"session_key", "bytes"}, {"frodo_ss", "bytes"}}, "bytes");
    m.def("_gen7_generate", gen7_generate, {{"strength", "QuantumStrength"}}, pair);
    m.def("_gen7_encrypt", gen7_encrypt, encrypt_hybrid, pair);
    m.def("_gen7_decrypt", gen7_decrypt, decrypt_hybrid, "bytes");

    m.def("_x25519_raw", x25519_raw, {{"priv", "X25519PrivateKey"}}, pair);
    m.def("_gen8_generate", gen8_generate, {{"strength", "QuantumStrength"}}, pair);
    m.def("_gen8_encrypt", gen8_encrypt, encrypt_hybrid, pair);
    m.def("_gen8_decrypt", gen8_decrypt, decrypt_hybrid, "bytes");

    m.def("_sig_kind", sig_kind, {{"alg", "SignatureAlgorithm"}}, "str");
    m.def("_sig_strip", sig_strip, {{"headered", "bytes"}, {"label", "str"}}, "tuple[int, int, bytes]");
    vm::object ml_dsa = m.get("SignatureAlgorithm").attr("ML_DSA");
    m.def("generate_signature_keypair", generate_signature_keypair,
          {P{"algorithm", "SignatureAlgorithm | int", ml_dsa}, P{"strength", "QuantumStrength | int", highest}},
          pair, generate_signature_keypair_doc);
    m.def("sign", sign, {{"data", "bytes"}, {"private_key", "bytes"}}, "bytes", sign_doc);
    m.def("verify", verify, {{"data", "bytes"}, {"signature", "bytes"}, {"public_key", "bytes"}}, "bool",
          verify_doc);
}

}  // namespace velmor
