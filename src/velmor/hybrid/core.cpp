// velmor.hybrid.core: data of any length for the holder of an RSA private key. A fresh AES-256
// key seals the data with AES-GCM and travels wrapped in an RSA-OAEP block:
//   hybrid envelope   len(block) (<I) | block | nonce (12) | tag (16) | ciphertext
//   legacy envelope   "HYBR" | len(block) (>I) | block | AES-GCM blob (read only)
// decrypt_auto tells the two envelopes and a bare RSA-OAEP block apart.
#include "hybrid/hybrid.hpp"
#include "text_forms.hpp"

namespace velmor {

namespace n {
VM_NAME(aes_core);
VM_NAME(rsa_core);
VM_NAME(HYBR);
VM_NAME(RSA_BLOCK);
VM_NAME(NONCE);
VM_NAME(TAG);
VM_NAME(_decrypt_oaep);
VM_NAME(_net_decrypt);
VM_NAME(_legacy_decrypt);
}  // namespace n

namespace {

using namespace vm;

// header | key block | nonce | tag | ciphertext, written straight from the sealed output (the
// ciphertext then the tag) so the payload is copied once. Null when a part is not plain bytes
// or the tag size is not a plain int within the sealed output: the caller then slices.
object seal_envelope(handle header, handle block, handle nonce, handle sealed, handle tag_size) {
    for (handle p : {header, block, nonce, sealed})
        if (!PyBytes_CheckExact(p.ptr())) return object();
    if (!PyLong_CheckExact(tag_size.ptr())) return object();
    int overflow = 0;
    long long tag = PyLong_AsLongLongAndOverflow(tag_size.ptr(), &overflow);
    if (tag == -1 && PyErr_Occurred()) fail();
    Py_ssize_t sealed_size = PyBytes_GET_SIZE(sealed.ptr());
    if (overflow || tag <= 0 || tag > sealed_size) return object();
    Py_ssize_t ct_size = sealed_size - static_cast<Py_ssize_t>(tag);
    const char* body = PyBytes_AS_STRING(sealed.ptr());
    return concatenate({
        {PyBytes_AS_STRING(header.ptr()), PyBytes_GET_SIZE(header.ptr())},
        {PyBytes_AS_STRING(block.ptr()), PyBytes_GET_SIZE(block.ptr())},
        {PyBytes_AS_STRING(nonce.ptr()), PyBytes_GET_SIZE(nonce.ptr())},
        {body + ct_size, static_cast<Py_ssize_t>(tag)},
        {body, ct_size},
    });
}

object encrypt_bytes(const Scope& s, handle data, handle public_pem) {
    if (!truthy(data)) raise(s[n::InvalidInputError], "Data cannot be empty");
    object aes_key = urandom(nb::int_(32));
    object encrypted_key = s[n::rsa_core].attr(n::_encrypt_oaep)(aes_key, public_pem);
    // The reader takes an envelope only with a block of RSA_BLOCK bytes (a 4096-bit key):
    // refuse to write one that could never be opened again.
    nb::int_ block_size(nb::len(encrypted_key));
    object expected = s[n::RSA_BLOCK];
    if (!block_size.equal(expected))
        raise(s[n::InvalidInputError],
              checked(PyUnicode_FromFormat("The hybrid envelope needs a 4096-bit RSA key "
                                           "(RSA-OAEP block of %S bytes, expected %S)",
                                           block_size.ptr(), expected.ptr())));
    object nonce = urandom(s[n::NONCE]);
    object sealed = s[n::AESGCM](aes_key).attr(n::encrypt)(nonce, data, nb::none());
    object tag_size = s[n::TAG];
    object pack = s[n::struct_module].attr(n::pack);
    object header = pack(n::little_u32, block_size);
    if (object envelope = seal_envelope(header, encrypted_key, nonce, sealed, tag_size))
        return envelope;
    object ciphertext = slice(sealed, nb::none(), -tag_size);
    object tag = slice(sealed, -tag_size, nb::none());
    return join({header, encrypted_key, nonce, tag, ciphertext});
}

object decrypt_auto(const Scope& s, handle blob, handle private_pem) {
    // Each operand is evaluated left to right, as the host evaluates the tests.
    nb::int_ four(4);
    if (nb::len(blob) >= 8) {
        object head = slice(blob, nb::none(), four);
        if (equals(head, s[n::HYBR])) return s[n::_legacy_decrypt](blob, private_pem);
    }
    nb::int_ size(nb::len(blob));
    object smallest = four + s[n::RSA_BLOCK];
    smallest = smallest + s[n::NONCE];
    smallest = smallest + s[n::TAG];
    if (size >= smallest) {
        object field = int_from_bytes(slice(blob, nb::none(), four), n::little);
        if (equals(field, s[n::RSA_BLOCK])) return s[n::_net_decrypt](blob, private_pem);
    }
    return s[n::rsa_core].attr(n::_decrypt_oaep)(blob, private_pem);
}

// blob[ct_start:] + blob[tag_start:ct_start] of exact bytes, copied once straight from the blob,
// the bounds clipped as the host's slices clip them.
object ciphertext_and_tag(handle blob, handle tag_start, handle ct_start) {
    // an exact int converts without error, a value past the index range clipped
    Py_ssize_t tag_from = PyNumber_AsSsize_t(tag_start.ptr(), nullptr);
    Py_ssize_t ct_from = PyNumber_AsSsize_t(ct_start.ptr(), nullptr);
    Py_ssize_t tag_to = ct_from, ct_to = PY_SSIZE_T_MAX;
    Py_ssize_t size = PyBytes_GET_SIZE(blob.ptr());
    Py_ssize_t tag_size = PySlice_AdjustIndices(size, &tag_from, &tag_to, 1);
    Py_ssize_t ct_size = PySlice_AdjustIndices(size, &ct_from, &ct_to, 1);
    const char* in = PyBytes_AS_STRING(blob.ptr());
    return concatenate({{in + ct_from, ct_size}, {in + tag_from, tag_size}});
}

object net_decrypt(const Scope& s, handle blob, handle private_pem) {
    nb::int_ four(4);
    object nonce_start = four + s[n::RSA_BLOCK];
    object tag_start = nonce_start + s[n::NONCE];
    object ct_start = tag_start + s[n::TAG];
    object encrypted_key = slice(blob, four, nonce_start);
    object nonce = slice(blob, nonce_start, tag_start);
    // Exact bytes with int bounds: the ciphertext is copied once, into the input of decrypt,
    // where slicing it first and joining it to the tag would copy it twice.
    bool direct = PyBytes_CheckExact(blob.ptr()) && PyLong_CheckExact(tag_start.ptr()) &&
                  PyLong_CheckExact(ct_start.ptr());
    object tag, ciphertext;
    if (!direct) {
        tag = slice(blob, tag_start, ct_start);
        ciphertext = slice(blob, ct_start, nb::none());
    }
    object aes_key = s[n::rsa_core].attr(n::_decrypt_oaep)(encrypted_key, private_pem);
    try {
        object decrypt = s[n::AESGCM](aes_key).attr(n::decrypt);
        object sealed =
            direct ? ciphertext_and_tag(blob, tag_start, ct_start) : join({ciphertext, tag});
        return decrypt(nonce, sealed, nb::none());
    } catch (error& e) {
        if (!Except(e).matches(s[n::InvalidTag])) throw;
        raise_from(s, n::DecryptionError,
                   "Hybrid AES-GCM decryption failed (wrong key or tampered data)", e);
    }
}

object legacy_decrypt(const Scope& s, handle blob, handle private_pem) {
    object key_length = int_from_bytes(slice(blob, 4, 8), n::big);
    nb::int_ eight(8);
    object key_end = eight + key_length;
    if (key_end >= nb::int_(nb::len(blob)))
        raise(s[n::DecryptionError], "Invalid hybrid data (legacy Swift format)");
    object encrypted_key = slice(blob, eight, key_end);
    object aes_blob = slice(blob, key_end, nb::none());
    object aes_key = s[n::rsa_core].attr(n::_decrypt_oaep)(encrypted_key, private_pem);
    object decrypt = s[n::aes_core].attr(n::decrypt_bytes);
    object key_text = s[n::base64].attr(n::b64encode)(aes_key).attr(n::decode)(n::ascii);
    return decrypt(aes_blob, key_text);
}

}  // namespace

void build_hybrid_core(vm::Module& m) {
    m.import("base64");
    m.import("os");
    m.import("struct");
    m.import_from("cryptography.exceptions", {"InvalidTag"});
    m.import_from("cryptography.hazmat.primitives.ciphers.aead", {"AESGCM"});
    m.import_from_as("velmor.aes", "core", "aes_core");
    m.import_from("velmor.errors", {"DecryptionError", "InvalidInputError"});
    m.import_from_as("velmor.rsa", "core", "rsa_core");
    m.set("HYBR", nb::bytes("HYBR", 4));
    m.set("RSA_BLOCK", 512);
    m.set("NONCE", 12);
    m.set("TAG", 16);
    m.def<hybrid::core::encrypt_bytes, encrypt_bytes>();
    m.def<hybrid::core::decrypt_auto, decrypt_auto>();
    m.def<hybrid::core::_net_decrypt, net_decrypt>();
    m.def<hybrid::core::_legacy_decrypt, legacy_decrypt>();
    m.def<hybrid::core::encrypt_str, text_forms::encrypt_str<n::encrypt_bytes>>();
    m.def<hybrid::core::decrypt_str, text_forms::decrypt_str<n::decrypt_auto>>();
}

}  // namespace velmor
