// The symmetric building blocks of the generations: HKDF-SHA256, AES-256-GCM with the tag at the
// end, AES-256-CBC with PKCS7, HMAC-SHA256, the generation-4 key rule, the generation-7 XOR mix
// and the raw export of an X25519 key pair. Only a failed GCM opening and a failed unpadding
// become DecryptionError; everything else is the dependency's own error.
#include "quantum/core/core.hpp"

namespace velmor::quantum {

using namespace vm;

namespace {
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
VM_NAME(_hmac256);
VM_NAME(_ser);
VM_NAME(Encoding);
VM_NAME(PublicFormat);
VM_NAME(PrivateFormat);
VM_NAME(Raw);
VM_NAME(NoEncryption);
VM_NAME(public_key);
VM_NAME(public_bytes);
VM_NAME(private_bytes);
VM_NAME(DecryptionError);
VM_NAME(InvalidInputError);
static Name new_{"new"};
static Name struct_module{"struct"};
static Name pack{"pack"};
static Name little_u32{"<I"};
static Name from_bytes{"from_bytes"};
static Name little{"little"};
static Keywords hkdf_kw{"algorithm", "length", "salt", "info"};
}  // namespace n

// update(x) + finalize() of a padder, unpadder, encryptor or decryptor
object run(handle context, handle data) {
    object head = context.attr(n::update)(data);
    object tail = context.attr(n::finalize)();
    return join({head, tail});
}

// Cipher(algorithms.AES(key), modes.CBC(iv)), its arguments made left to right (C++ leaves the
// order of call arguments open), so a bad key is reported before a bad IV.
object cbc_cipher(const Scope& s, handle key, handle iv) {
    object cipher = s[n::Cipher];
    object algorithm = s[n::algorithms].attr(n::AES)(key);
    object mode = s[n::modes].attr(n::CBC)(iv);
    return cipher(algorithm, mode);
}

}  // namespace

object u32le(handle data) {
    // int.from_bytes itself: whatever data[:4] is, its bytes are read as the host reads them
    object head = slice(data, 0, 4);
    return checked(PyObject_CallMethodObjArgs(reinterpret_cast<PyObject*>(&PyLong_Type), n::from_bytes.ptr(),
                                              head.ptr(), n::little.ptr(), nullptr));
}

Py_ssize_t length_field(handle data) {
    object value = u32le(data);
    // Clipped, not refused: a field too large for an index is too large for any data.
    Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), nullptr);
    if (n == -1 && PyErr_Occurred()) fail();
    return n > PY_SSIZE_T_MAX - 64 ? PY_SSIZE_T_MAX - 64 : n;
}

object packed_length(const Scope& s, handle value) {
    object size = number(length(value));
    return s[n::struct_module].attr(n::pack)(n::little_u32, size);
}

object key_part(const Scope& s, handle alg, Part part, handle value, const char* message) {
    object sized = sized_part(alg, part, value);
    if (!sized) raise(s[n::InvalidInputError], message);
    return sized;
}

// _hkdf(ikm: bytes, salt: bytes, info: bytes, length: int) -> bytes
object hkdf(const Scope& s, Args a) {
    handle ikm = a[0], salt = a[1], info = a[2], size = a[3];
    object kdf_class = s[n::HKDF];
    object algorithm = s[n::hashes].attr(n::SHA256)();
    object kdf = call_kw(kdf_class, {}, n::hkdf_kw, {algorithm, size, salt, info});
    return kdf.attr(n::derive)(ikm);
}

// _gcm_seal(key: bytes, nonce: bytes, data: bytes) -> tuple[bytes, bytes]
object gcm_seal(const Scope& s, Args a) {
    handle key = a[0], nonce = a[1], data = a[2];
    object sealed = s[n::AESGCM](key).attr(n::encrypt)(nonce, data, nb::none());
    return nb::make_tuple(slice(sealed, 0, -16), slice(sealed, -16, kEnd));
}

// _gcm_open(key: bytes, nonce: bytes, ciphertext: bytes, tag: bytes) -> bytes
object gcm_open(const Scope& s, Args a) {
    handle key = a[0], nonce = a[1], ciphertext = a[2], tag = a[3];
    try {
        object aead = s[n::AESGCM](key);
        object sealed = add(ciphertext, tag);
        return aead.attr(n::decrypt)(nonce, sealed, nb::none());
    } catch (error& e) {
        if (!is_exception(e)) throw;
        raise_from(s[n::DecryptionError],
                   "Quantum AES-GCM decryption failed (wrong key or tampered data)", e);
    }
}

// _cbc_encrypt(data: bytes, key: bytes, iv: bytes) -> bytes
object cbc_encrypt(const Scope& s, Args a) {
    handle data = a[0], key = a[1], iv = a[2];
    object padder = s[n::sym_padding].attr(n::PKCS7)(number(128)).attr(n::padder)();
    object padded = run(padder, data);
    return run(cbc_cipher(s, key, iv).attr(n::encryptor)(), padded);
}

// _cbc_decrypt(ciphertext: bytes, key: bytes, iv: bytes) -> bytes
object cbc_decrypt(const Scope& s, Args a) {
    handle ciphertext = a[0], key = a[1], iv = a[2];
    object padded = run(cbc_cipher(s, key, iv).attr(n::decryptor)(), ciphertext);
    object unpadder = s[n::sym_padding].attr(n::PKCS7)(number(128)).attr(n::unpadder)();
    try {
        return run(unpadder, padded);
    } catch (error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        raise_from(s[n::DecryptionError], "Quantum AES-CBC unpadding failed", e);
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
    object one = checked(PyBytes_FromStringAndSize("\x01", 1));
    object digest = s[n::_hmac256](a[0], one);
    return slice(digest, 0, 32);
}

// _xor_mix(session_key: bytes, frodo_ss: bytes) -> bytes
// bytes(session_key[i] ^ frodo_ss[i % len(frodo_ss)] for i in range(32))
object xor_mix(const Scope&, Args a) {
    handle session_key = a[0], frodo_ss = a[1];
    object values = checked(PyList_New(0));
    for (long i = 0; i < 32; ++i) {
        object index = number(i);
        object left = checked(PyObject_GetItem(session_key.ptr(), index.ptr()));
        object size = number(length(frodo_ss));
        object at = checked(PyNumber_Remainder(index.ptr(), size.ptr()));
        object right = checked(PyObject_GetItem(frodo_ss.ptr(), at.ptr()));
        object mixed = checked(PyNumber_Xor(left.ptr(), right.ptr()));
        if (PyList_Append(values.ptr(), mixed.ptr()) < 0) fail();
    }
    return checked(PyBytes_FromObject(values.ptr()));
}

// _x25519_raw(priv: X25519PrivateKey) -> tuple[bytes, bytes]
object x25519_raw(const Scope& s, Args a) {
    handle priv = a[0];
    object ser = s[n::_ser];
    object raw = ser.attr(n::Encoding).attr(n::Raw);
    object pub = priv.attr(n::public_key)().attr(n::public_bytes)(raw, ser.attr(n::PublicFormat).attr(n::Raw));
    object ser2 = s[n::_ser];
    object prv = priv.attr(n::private_bytes)(ser2.attr(n::Encoding).attr(n::Raw),
                                             ser2.attr(n::PrivateFormat).attr(n::Raw),
                                             ser2.attr(n::NoEncryption)());
    return nb::make_tuple(pub, prv);
}

}  // namespace velmor::quantum
