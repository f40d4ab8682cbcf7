// The symmetric building blocks of the generations: HKDF-SHA256, AES-256-GCM with the tag at the
// end, AES-256-CBC with PKCS7, HMAC-SHA256, the generation-4 key rule, the generation-7 XOR mix
// and the raw export of an X25519 key pair. Only a failed GCM opening and a failed unpadding
// become DecryptionError; everything else is the dependency's own error.
#include "quantum/core/core.hpp"

namespace velmor::n {
VM_NAME(HKDF);
VM_NAME(Cipher);
VM_NAME(algorithms);
VM_NAME(modes);
VM_NAME(AES);
VM_NAME(CBC);
VM_NAME(sym_padding);
VM_NAME(PKCS7);
VM_NAME(padder);
VM_NAME(unpadder);
VM_NAME(encryptor);
VM_NAME(decryptor);
VM_NAME(update);
VM_NAME(finalize);
VM_NAME(Raw);
inline constinit vm::Name new_{"new"};
inline constinit vm::Keywords hkdf_kw{"algorithm", "length", "salt", "info"};
}  // namespace velmor::n

namespace velmor::quantum {

namespace {

constexpr long kPkcs7BlockBits = 128;

object run(handle context, handle data) {
    object head = context.attr(n::update)(data);
    object tail = context.attr(n::finalize)();
    return vm::join({head, tail});
}

// Cipher(algorithms.AES(key), modes.CBC(iv)), its arguments made left to right (C++ leaves the
// order of call arguments open), so a bad key is reported before a bad IV.
object cbc_cipher(const Scope& s, handle key, handle iv) {
    object cipher = s[n::Cipher];
    object algorithm = s[n::algorithms].attr(n::AES)(key);
    object mode = s[n::modes].attr(n::CBC)(iv);
    return cipher(algorithm, mode);
}

object pkcs7(const Scope& s) { return s[n::sym_padding].attr(n::PKCS7)(nb::int_(kPkcs7BlockBits)); }

}  // namespace

object hkdf(const Scope& s, handle ikm, handle salt, handle info, handle size) {
    object kdf_class = s[n::HKDF];
    object algorithm = s[n::hashes].attr(n::SHA256)();
    object kdf = vm::call_kw(kdf_class, {}, n::hkdf_kw, {algorithm, size, salt, info});
    return kdf.attr(n::derive)(ikm);
}

object gcm_seal(const Scope& s, handle key, handle nonce, handle data) {
    object sealed = s[n::AESGCM](key).attr(n::encrypt)(nonce, data, nb::none());
    object ct = vm::slice(sealed, 0, -kTag);
    object tag = vm::slice(sealed, -kTag, vm::kEnd);
    return nb::make_tuple(ct, tag);
}

object gcm_open(const Scope& s, handle key, handle nonce, handle ciphertext, handle tag) {
    try {
        object aead = s[n::AESGCM](key);
        object sealed = ciphertext + tag;
        return aead.attr(n::decrypt)(nonce, sealed, nb::none());
    } catch (vm::error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        vm::raise_from(s, n::DecryptionError,
                       "Quantum AES-GCM decryption failed (wrong key or tampered data)", e);
    }
}

object cbc_encrypt(const Scope& s, handle data, handle key, handle iv) {
    object padded = run(pkcs7(s).attr(n::padder)(), data);
    return run(cbc_cipher(s, key, iv).attr(n::encryptor)(), padded);
}

object cbc_decrypt(const Scope& s, handle ciphertext, handle key, handle iv) {
    object padded = run(cbc_cipher(s, key, iv).attr(n::decryptor)(), ciphertext);
    object unpadder = pkcs7(s).attr(n::unpadder)();
    try {
        return run(unpadder, padded);
    } catch (vm::error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        vm::raise_from(s, n::DecryptionError, "Quantum AES-CBC unpadding failed", e);
    }
}

object hmac256(const Scope& s, handle key, handle data) {
    object mac = s[n::hmac].attr(n::new_)(key, data, s[n::hashlib].attr(n::sha256));
    return mac.attr(n::digest)();
}

object gen4_key(const Scope& s, handle ss) {
    object digest = s[n::_hmac256](ss, nb::bytes("\x01", 1));
    return vm::slice(digest, 0, kKey);
}

object xor_mix(const Scope&, handle session_key, handle frodo_ss) {
    nb::list values;
    for (Py_ssize_t i = 0; i < kKey; ++i) {
        nb::int_ index(i);
        object left = session_key[index];
        object at = index % nb::int_(nb::len(frodo_ss));
        object right = frodo_ss[at];
        values.append(left ^ right);
    }
    return nb::bytes(values);
}

object x25519_raw(const Scope& s, handle priv) {
    object pub, prv;
    export_pair(s, priv, n::Raw, n::Raw, n::Raw, pub, prv);
    return nb::make_tuple(pub, prv);
}

}  // namespace velmor::quantum
