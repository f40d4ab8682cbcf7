// The symmetric building blocks of the generations: HKDF-SHA256, AES-256-GCM with the tag at the
// end, AES-256-CBC with PKCS7, HMAC-SHA256, the generation-4 key rule, the generation-7 XOR mix
// and the raw export of an X25519 key pair. Only a failed GCM opening and a failed unpadding
// become DecryptionError; everything else is the dependency's own error.
#include "quantum/core/core.hpp"

namespace velmor::quantum {

namespace n {
VM_NAME(HKDF);
VM_NAME(hashes);
VM_NAME(SHA256);
VM_NAME(derive);
VM_NAME(AESGCM);
VM_NAME(encrypt);
VM_NAME(decrypt);
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
VM_NAME(hmac);
VM_NAME(hashlib);
VM_NAME(sha256);
VM_NAME(digest);
VM_NAME(Raw);
static vm::Name new_{"new"};
static vm::Keywords hkdf_kw{"algorithm", "length", "salt", "info"};
}  // namespace n

namespace {

constexpr long kPkcs7BlockBits = 128;

// update(x) + finalize() of a padder, unpadder, encryptor or decryptor
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

// _hkdf(ikm: bytes, salt: bytes, info: bytes, length: int) -> bytes
object hkdf(const Scope& s, Args a) {
    handle ikm = a[0], salt = a[1], info = a[2], size = a[3];
    object kdf_class = s[n::HKDF];
    object algorithm = s[n::hashes].attr(n::SHA256)();
    object kdf = vm::call_kw(kdf_class, {}, n::hkdf_kw, {algorithm, size, salt, info});
    return kdf.attr(n::derive)(ikm);
}

// _gcm_seal(key: bytes, nonce: bytes, data: bytes) -> tuple[bytes, bytes]
object gcm_seal(const Scope& s, Args a) {
    handle key = a[0], nonce = a[1], data = a[2];
    object sealed = s[n::AESGCM](key).attr(n::encrypt)(nonce, data, nb::none());
    object ct = vm::slice(sealed, 0, -kTag);
    object tag = vm::slice(sealed, -kTag, vm::kEnd);
    return nb::make_tuple(ct, tag);
}

// _gcm_open(key: bytes, nonce: bytes, ciphertext: bytes, tag: bytes) -> bytes
object gcm_open(const Scope& s, Args a) {
    handle key = a[0], nonce = a[1], ciphertext = a[2], tag = a[3];
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

// _cbc_encrypt(data: bytes, key: bytes, iv: bytes) -> bytes
object cbc_encrypt(const Scope& s, Args a) {
    handle data = a[0], key = a[1], iv = a[2];
    object padded = run(pkcs7(s).attr(n::padder)(), data);
    return run(cbc_cipher(s, key, iv).attr(n::encryptor)(), padded);
}

// _cbc_decrypt(ciphertext: bytes, key: bytes, iv: bytes) -> bytes
object cbc_decrypt(const Scope& s, Args a) {
    handle ciphertext = a[0], key = a[1], iv = a[2];
    object padded = run(cbc_cipher(s, key, iv).attr(n::decryptor)(), ciphertext);
    object unpadder = pkcs7(s).attr(n::unpadder)();
    try {
        return run(unpadder, padded);
    } catch (vm::error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        vm::raise_from(s, n::DecryptionError, "Quantum AES-CBC unpadding failed", e);
    }
}

// _hmac256(key: bytes, data: bytes) -> bytes
object hmac256(const Scope& s, Args a) {
    handle key = a[0], data = a[1];
    object mac = s[n::hmac].attr(n::new_)(key, data, s[n::hashlib].attr(n::sha256));
    return mac.attr(n::digest)();
}

// _gen4_key(ss: bytes) -> bytes
object gen4_key(const Scope& s, Args a) {
    object digest = s[n::_hmac256](a[0], nb::bytes("\x01", 1));
    return vm::slice(digest, 0, kKey);
}

// _xor_mix(session_key: bytes, frodo_ss: bytes) -> bytes
// bytes(session_key[i] ^ frodo_ss[i % len(frodo_ss)] for i in range(32))
object xor_mix(const Scope&, Args a) {
    handle session_key = a[0], frodo_ss = a[1];
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

// _x25519_raw(priv: X25519PrivateKey) -> tuple[bytes, bytes]
object x25519_raw(const Scope& s, Args a) {
    object pub, prv;
    export_pair(s, a[0], n::Raw, n::Raw, n::Raw, pub, prv);
    return nb::make_tuple(pub, prv);
}

}  // namespace velmor::quantum
