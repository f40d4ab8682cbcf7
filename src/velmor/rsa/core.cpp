// velmor.rsa.core: RSA-4096 key pairs as PEM text, RSA-OAEP (SHA-256) encryption that hands long
// data to the hybrid envelope, RSA-PSS (SHA-256) signatures, and their Base64 text forms. Every
// operation parses its key text again; only the OAEP padding object is made once, at load.
#include "rsa/rsa.hpp"
#include "text_forms.hpp"

#include <cstring>

namespace velmor::rsa {

namespace {

using namespace vm;

namespace n {
VM_NAME(hashes);
VM_NAME(serialization);
VM_NAME(padding);
VM_NAME(rsa);
VM_NAME(load_pem_private_key);
VM_NAME(load_pem_public_key);
VM_NAME(InvalidSignature);
VM_NAME(InvalidInputError);
VM_NAME(EncryptionError);
VM_NAME(SignatureError);
VM_NAME(KEY_SIZE);
VM_NAME(PUBLIC_EXPONENT);
VM_NAME(MAX_OAEP_PLAINTEXT);
VM_NAME(_pss);
VM_NAME(_load_public);
VM_NAME(_load_private);
VM_NAME(_encrypt_oaep);
VM_NAME(encrypt_bytes);
VM_NAME(decrypt_bytes);
VM_NAME(sign_bytes);
VM_NAME(verify_bytes);
VM_NAME(decrypt_auto);
VM_NAME(hybrid);
VM_NAME(core);
VM_NAME(OAEP);
VM_NAME(PSS);
VM_NAME(MGF1);
VM_NAME(SHA256);
VM_NAME(DIGEST_LENGTH);
VM_NAME(generate_private_key);
VM_NAME(private_bytes);
VM_NAME(public_bytes);
VM_NAME(public_key);
VM_NAME(Encoding);
VM_NAME(PEM);
VM_NAME(PrivateFormat);
VM_NAME(PKCS8);
VM_NAME(PublicFormat);
VM_NAME(SubjectPublicKeyInfo);
VM_NAME(NoEncryption);
VM_NAME(sign);
VM_NAME(verify);
VM_NAME(encode);
VM_NAME(decode);
static Name utf_8{"utf-8"};
static Name ascii{"ascii"};
static Keywords pss_args{"mgf", "salt_length"};
static Keywords key_args{"public_exponent", "key_size"};
static Keywords password{"password"};
static Keywords oaep_args{"mgf", "algorithm", "label"};
}  // namespace n

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

// _pss() -> padding.PSS
object pss(const Scope& s, Args) {
    object make = s[n::padding].attr(n::PSS);
    object mgf1 = s[n::padding].attr(n::MGF1);
    object mgf = mgf1(s[n::hashes].attr(n::SHA256)());
    object salt_length = s[n::padding].attr(n::PSS).attr(n::DIGEST_LENGTH);
    return call_kw(make, {}, n::pss_args, {mgf, salt_length});
}

constexpr const char* new_key_pair_doc =
    "Make a new RSA-4096 key pair; return (private key PEM, public key PEM).\n\n"
    "The private key is unencrypted PKCS#8 and the public key SubjectPublicKeyInfo, both as ASCII\n"
    "PEM text; the public exponent is 65537.\n\n"
    "Raises nothing of its own: a failure of the key generation passes unchanged.";

// new_key_pair() -> tuple[str, str]
object new_key_pair(const Scope& s, Args) {
    object generate = s[n::rsa].attr(n::generate_private_key);
    object exponent = s[n::PUBLIC_EXPONENT];
    object key_size = s[n::KEY_SIZE];
    object key = call_kw(generate, {}, n::key_args, {exponent, key_size});

    object private_bytes = key.attr(n::private_bytes);
    object ser = s[n::serialization];
    object pem = ser.attr(n::Encoding).attr(n::PEM);
    object pkcs8 = s[n::serialization].attr(n::PrivateFormat).attr(n::PKCS8);
    object none = s[n::serialization].attr(n::NoEncryption)();
    object private_pem = private_bytes(pem, pkcs8, none).attr(n::decode)(n::ascii);

    object public_bytes = key.attr(n::public_key)().attr(n::public_bytes);
    object pem2 = s[n::serialization].attr(n::Encoding).attr(n::PEM);
    object spki = s[n::serialization].attr(n::PublicFormat).attr(n::SubjectPublicKeyInfo);
    object public_pem = public_bytes(pem2, spki).attr(n::decode)(n::ascii);
    return nb::make_tuple(private_pem, public_pem);
}

// _load_public(public_pem: str)
object load_public(const Scope& s, Args a) {
    handle public_pem = a[0];
    try {
        object load = s[n::load_pem_public_key];
        return load(public_pem.attr(n::encode)(n::ascii));
    } catch (error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_prefixed(s, n::InvalidInputError, "Invalid RSA public key PEM: ", e);
    }
}

// _load_private(private_pem: str)
object load_private(const Scope& s, Args a) {
    handle private_pem = a[0];
    try {
        object load = s[n::load_pem_private_key];
        object pem = private_pem.attr(n::encode)(n::ascii);
        return call_kw(load, {pem}, n::password, {Py_None});
    } catch (error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_prefixed(s, n::InvalidInputError, "Invalid RSA private key PEM: ", e);
    }
}

constexpr const char* encrypt_bytes_doc =
    "Encrypt data for the holder of an RSA private key; return the ciphertext.\n\n"
    "Data of 1 to 446 bytes becomes one RSA-OAEP block (SHA-256, MGF1-SHA-256, no label), as long\n"
    "as the modulus; longer data becomes a hybrid envelope, which needs a 4096-bit key. The public\n"
    "key is PEM text.\n\n"
    "Raises InvalidInputError for empty data, a public key that does not load, or a hybrid envelope\n"
    "under a key of another size; EncryptionError if the encryption fails.";

// encrypt_bytes(data: bytes, public_pem: str) -> bytes
object encrypt_bytes(const Scope& s, Args a) {
    handle data = a[0], public_pem = a[1];
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

constexpr const char* decrypt_bytes_doc =
    "Decrypt what encrypt_bytes made, under the matching private key PEM; return the data.\n\n"
    "Reads one RSA-OAEP block, the hybrid envelope and the legacy hybrid envelope (\"HYBR\").\n\n"
    "Raises InvalidInputError for a private key that does not load, DecryptionError for data that\n"
    "does not decrypt under it (another key, altered or truncated data).";

// decrypt_bytes(blob: bytes, private_pem: str) -> bytes
object decrypt_bytes(const Scope& s, Args a) {
    return hybrid_core(s).attr(n::decrypt_auto)(a[0], a[1]);
}

constexpr const char* sign_bytes_doc =
    "Sign data with RSA-PSS under a private key PEM; return the raw signature.\n\n"
    "PSS with SHA-256, MGF1-SHA-256 and a random 32-byte salt; the signature is as long as the\n"
    "modulus (512 bytes for RSA-4096). Empty data is signed as well.\n\n"
    "Raises InvalidInputError for a private key that does not load, SignatureError if signing\n"
    "fails.";

// sign_bytes(data: bytes, private_pem: str) -> bytes
object sign_bytes(const Scope& s, Args a) {
    handle data = a[0], private_pem = a[1];
    try {
        object key = s[n::_load_private](private_pem);
        return with_pss(s, key, n::sign, data);
    } catch (error& e) {
        operation_failed(s, e, n::SignatureError, "RSA signing failed: ");
    }
}

constexpr const char* verify_bytes_doc =
    "Check an RSA-PSS signature of data under a public key PEM; return True or False.\n\n"
    "False for a signature that does not match the data and the key.\n\n"
    "Raises InvalidInputError for a public key that does not load.";

// verify_bytes(data: bytes, signature: bytes, public_pem: str) -> bool
object verify_bytes(const Scope& s, Args a) {
    handle data = a[0], signature = a[1], public_pem = a[2];
    object key = s[n::_load_public](public_pem);
    try {
        with_pss(s, key, n::verify, signature, data);
        return nb::bool_(true);
    } catch (error& e) {
        if (!Except(e).matches(s[n::InvalidSignature])) throw;
        return nb::bool_(false);
    }
}

constexpr const char* encrypt_str_doc =
    "Encrypt text for the holder of an RSA private key; return Base64 text.\n\n"
    "The text is encrypted as UTF-8 by encrypt_bytes (one RSA-OAEP block up to 446 bytes, a hybrid\n"
    "envelope beyond); the result is its standard Base64.\n\n"
    "Raises InvalidInputError for the empty text, and the errors of encrypt_bytes.";

constexpr const char* decrypt_str_doc =
    "Decrypt Base64 text made by encrypt_str under the matching private key PEM; return the text.\n\n"
    "Raises DecryptionError for text that is not valid Base64 or data that is not UTF-8, and the\n"
    "errors of decrypt_bytes.";

constexpr const char* sign_str_doc =
    "Sign text with RSA-PSS under a private key PEM; return the signature as Base64 text.\n\n"
    "The text is signed as UTF-8 by sign_bytes; the empty text is signed as well.\n\n"
    "Raises the errors of sign_bytes.";

// sign_str(plaintext: str, private_pem: str) -> str
object sign_str(const Scope& s, Args a) {
    return encode_to_base64(s, n::sign_bytes, a[0], a[1]);
}

constexpr const char* verify_str_doc =
    "Check a Base64 RSA-PSS signature of text under a public key PEM; return True or False.\n\n"
    "False for signature text that is not valid Base64 or does not match.\n\n"
    "Raises InvalidInputError for a public key that does not load.";

// verify_str(plaintext: str, signature_b64: str, public_pem: str) -> bool
object verify_str(const Scope& s, Args a) {
    handle plaintext = a[0], signature_b64 = a[1], public_pem = a[2];
    object signature;
    try {
        signature = strict_b64decode(s, signature_b64);
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

    m.def("_pss", pss, {}, "padding.PSS");
    m.def("new_key_pair", new_key_pair, {}, "tuple[str, str]", new_key_pair_doc);
    m.def("_load_public", load_public, {{"public_pem", "str"}});
    m.def("_load_private", load_private, {{"private_pem", "str"}});

    m.set("_RSA_ALG_ID", rsa_alg_id());
    m.def("_der_len", der_len, {{"n", "int"}}, "bytes");
    m.def("_pkcs1_to_spki", pkcs1_to_spki, {{"pkcs1", "bytes"}}, "bytes");

    m.def("_encrypt_oaep", encrypt_oaep, {{"data", "bytes"}, {"public_pem", "str"}}, "bytes");
    m.def("_decrypt_oaep", decrypt_oaep, {{"blob", "bytes"}, {"private_pem", "str"}}, "bytes");

    m.def("encrypt_bytes", encrypt_bytes, {{"data", "bytes"}, {"public_pem", "str"}}, "bytes",
          encrypt_bytes_doc);
    m.def("decrypt_bytes", decrypt_bytes, {{"blob", "bytes"}, {"private_pem", "str"}}, "bytes",
          decrypt_bytes_doc);
    m.def("sign_bytes", sign_bytes, {{"data", "bytes"}, {"private_pem", "str"}}, "bytes",
          sign_bytes_doc);
    m.def("verify_bytes", verify_bytes,
          {{"data", "bytes"}, {"signature", "bytes"}, {"public_pem", "str"}}, "bool",
                verify_bytes_doc);
    m.def("encrypt_str", text_forms::encrypt_str<n::encrypt_bytes>,
          {{"plaintext", "str"}, {"public_pem", "str"}}, "str", encrypt_str_doc);
    m.def("decrypt_str", text_forms::decrypt_str<n::decrypt_bytes>,
          {{"ciphertext_b64", "str"}, {"private_pem", "str"}}, "str", decrypt_str_doc);
    m.def("sign_str", sign_str, {{"plaintext", "str"}, {"private_pem", "str"}}, "str",
          sign_str_doc);
    m.def("verify_str", verify_str,
          {{"plaintext", "str"}, {"signature_b64", "str"}, {"public_pem", "str"}}, "bool",
                verify_str_doc);
}

}  // namespace velmor
