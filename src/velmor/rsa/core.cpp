// velmor.rsa.core: RSA-4096 key pairs as PEM text, RSA-OAEP (SHA-256) encryption that hands long
// data to the hybrid envelope, RSA-PSS (SHA-256) signatures, and their Base64 text forms. Every
// operation parses its key text again; only the OAEP padding object is made once, at load.
#include "rsa/rsa.hpp"
#include "text_forms.hpp"

#include <cstring>

namespace velmor {
namespace n {
VM_NAME(serialization);
VM_NAME(padding);
VM_NAME(rsa);
VM_NAME(load_pem_private_key);
VM_NAME(load_pem_public_key);
VM_NAME(InvalidSignature);
VM_NAME(KEY_SIZE);
VM_NAME(PUBLIC_EXPONENT);
VM_NAME(_pss);
VM_NAME(sign_bytes);
VM_NAME(verify_bytes);
VM_NAME(hybrid);
VM_NAME(core);
VM_NAME(OAEP);
VM_NAME(PSS);
VM_NAME(MGF1);
VM_NAME(DIGEST_LENGTH);
VM_NAME(PEM);
VM_NAME(PKCS8);
VM_NAME(SubjectPublicKeyInfo);
inline constinit vm::Keywords pss_args{"mgf", "salt_length"};
inline constinit vm::Keywords oaep_args{"mgf", "algorithm", "label"};
}  // namespace n
}  // namespace velmor

namespace velmor::rsa {

namespace {

using namespace vm;

// `from ..hybrid import core`, in the call that needs it: the hybrid core imports this module
// when it loads.
object hybrid_core(const Scope& s) {
    object module = import_name(s, n::hybrid, nb::make_tuple(handle(n::core)), 2);
    return import_from(module, n::core);
}

// How many RSA-OAEP blocks encrypt_bytes draws before it gives up on one that does not begin
// with the legacy magic.
constexpr int kBlockDraws = 8;

bool starts_with_legacy_magic(handle block) {
    return PyBytes_CheckExact(block.ptr()) && PyBytes_GET_SIZE(block.ptr()) >= 8 &&
           std::memcmp(PyBytes_AS_STRING(block.ptr()), "HYBR", 4) == 0;
}

// key.<method>(*leading, _pss(), hashes.SHA256()), the method read first, as the host evaluates
// the call
template <typename... Leading>
object with_pss(const Scope& s, handle key, const Name& method, const Leading&... leading) {
    object bound = key.attr(method);
    object padding = s[n::_pss]();
    object digest = s[n::hashes].attr(n::SHA256)();
    return bound(leading..., padding, digest);
}

}  // namespace

void operation_failed(const Scope& s, const error& e, const Name& failure, const char* prefix) {
    if (Except(e).matches(s[n::InvalidInputError])) throw;
    if (!e.matches(PyExc_Exception)) throw;
    raise_prefixed(s, failure, prefix, e);
}

object pss(const Scope& s) {
    object make = s[n::padding].attr(n::PSS);
    object mgf1 = s[n::padding].attr(n::MGF1);
    object mgf = mgf1(s[n::hashes].attr(n::SHA256)());
    object salt_length = s[n::padding].attr(n::PSS).attr(n::DIGEST_LENGTH);
    return call_kw(make, {}, n::pss_args, {mgf, salt_length});
}

object new_key_pair(const Scope& s) {
    object generate = s[n::rsa].attr(n::generate_private_key);
    object exponent = s[n::PUBLIC_EXPONENT];
    object key_size = s[n::KEY_SIZE];
    object key = call_kw(generate, {}, n::rsa_key, {exponent, key_size});

    object private_bytes = key.attr(n::private_bytes);
    object serialization = s[n::serialization];
    object pem = serialization.attr(n::Encoding).attr(n::PEM);
    object pkcs8 = serialization.attr(n::PrivateFormat).attr(n::PKCS8);
    object none = serialization.attr(n::NoEncryption)();
    object private_pem = private_bytes(pem, pkcs8, none).attr(n::decode)(n::ascii);

    object public_bytes = key.attr(n::public_key)().attr(n::public_bytes);
    object spki = serialization.attr(n::PublicFormat).attr(n::SubjectPublicKeyInfo);
    object public_pem = public_bytes(pem, spki).attr(n::decode)(n::ascii);
    return nb::make_tuple(private_pem, public_pem);
}

object load_public(const Scope& s, handle public_pem) {
    try {
        object load = s[n::load_pem_public_key];
        return load(public_pem.attr(n::encode)(n::ascii));
    } catch (error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_prefixed(s, n::InvalidInputError, "Invalid RSA public key PEM: ", e);
    }
}

object load_private(const Scope& s, handle private_pem) {
    try {
        object load = s[n::load_pem_private_key];
        object pem = private_pem.attr(n::encode)(n::ascii);
        return call_kw(load, {pem}, n::password, {Py_None});
    } catch (error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_prefixed(s, n::InvalidInputError, "Invalid RSA private key PEM: ", e);
    }
}

object encrypt_bytes(const Scope& s, handle data, handle public_pem) {
    if (!truthy(data)) raise(s[n::InvalidInputError], "Data cannot be empty");
    nb::int_ size(nb::len(data));
    if (size <= s[n::MAX_OAEP_PLAINTEXT]) {
        // A block that happens to begin with the legacy envelope's magic would be read back
        // as a legacy envelope and never open; OAEP is randomised, so draw another one. A real
        // block does so once in 2^32 draws: a run of them means the padding is not random.
        for (int draw = 0; draw < kBlockDraws; ++draw) {
            object block = s[n::_encrypt_oaep](data, public_pem);
            if (!starts_with_legacy_magic(block)) return block;
        }
        raise(s[n::EncryptionError],
              checked(PyUnicode_FromFormat("RSA encryption failed: %d RSA-OAEP blocks in a row "
                                           "began with the legacy magic \"HYBR\"",
                                           kBlockDraws)));
    }
    return hybrid_core(s).attr(n::encrypt_bytes)(data, public_pem);
}

object decrypt_bytes(const Scope& s, handle blob, handle private_pem) {
    return hybrid_core(s).attr(n::decrypt_auto)(blob, private_pem);
}

object sign_bytes(const Scope& s, handle data, handle private_pem) {
    try {
        object key = s[n::_load_private](private_pem);
        return with_pss(s, key, n::sign, data);
    } catch (error& e) {
        operation_failed(s, e, n::SignatureError, "RSA signing failed: ");
    }
}

object verify_bytes(const Scope& s, handle data, handle signature, handle public_pem) {
    object key = s[n::_load_public](public_pem);
    try {
        with_pss(s, key, n::verify, signature, data);
        return nb::bool_(true);
    } catch (error& e) {
        if (!Except(e).matches(s[n::InvalidSignature])) throw;
        return nb::bool_(false);
    }
}

object sign_str(const Scope& s, handle plaintext, handle private_pem) {
    return text_forms::to_base64(s, n::sign_bytes, plaintext, private_pem);
}

object verify_str(const Scope& s, handle plaintext, handle signature_b64, handle public_pem) {
    object signature;
    try {
        signature = text_forms::strict_b64decode(s, signature_b64);
    } catch (error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return nb::bool_(false);
    }
    object verify = s[n::verify_bytes];
    return verify(plaintext.attr(n::encode)(n::utf_8), signature, public_pem);
}

}  // namespace velmor::rsa

namespace velmor {

void build_rsa_core(vm::Module& m) {
    using namespace rsa;
    m.import("base64");
    m.import_from("cryptography.exceptions", {"InvalidSignature"});
    m.import_from("cryptography.hazmat.primitives", {"hashes", "serialization"});
    m.import_from("cryptography.hazmat.primitives.asymmetric", {"padding", "rsa"});
    m.import_from("cryptography.hazmat.primitives.serialization",
                  {"load_pem_private_key", "load_pem_public_key"});
    m.import_from("velmor.errors",
                  {"DecryptionError", "EncryptionError", "InvalidInputError", "SignatureError"});
    m.set("KEY_SIZE", 4096);
    m.set("PUBLIC_EXPONENT", 65537);
    m.set("MAX_OAEP_PLAINTEXT", 446);

    // One padding object for every OAEP call, from any thread: the library never changes it.
    vm::object padding = m.get("padding"), hashes = m.get("hashes");
    vm::object make = padding.attr(n::OAEP);
    vm::object mgf = padding.attr(n::MGF1)(hashes.attr(n::SHA256)());
    vm::object algorithm = hashes.attr(n::SHA256)();
    m.set("_OAEP", vm::call_kw(make, {}, n::oaep_args, {mgf, algorithm, Py_None}));

    m.def<core::_pss, pss>();
    m.def<core::new_key_pair, new_key_pair>();
    m.def<core::_load_public, load_public>();
    m.def<core::_load_private, load_private>();

    m.set("_RSA_ALG_ID", rsa_alg_id());
    m.def<core::_der_len, der_len>();
    m.def<core::_pkcs1_to_spki, pkcs1_to_spki>();

    m.def<core::_encrypt_oaep, encrypt_oaep>();
    m.def<core::_decrypt_oaep, decrypt_oaep>();

    m.def<core::encrypt_bytes, encrypt_bytes>();
    m.def<core::decrypt_bytes, decrypt_bytes>();
    m.def<core::sign_bytes, sign_bytes>();
    m.def<core::verify_bytes, verify_bytes>();
    m.def<core::encrypt_str, text_forms::encrypt_str<n::encrypt_bytes>>();
    m.def<core::decrypt_str, text_forms::decrypt_str<n::decrypt_bytes>>();
    m.def<core::sign_str, sign_str>();
    m.def<core::verify_str, verify_str>();
}

}  // namespace velmor
