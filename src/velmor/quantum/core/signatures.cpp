// Post-quantum signatures. Both keys of a pair carry the header (scheme id, strength); the
// mechanism is chosen again from it at every call. verify answers False for a key without
// header, an unknown scheme id, a key or signature of the wrong length for its mechanism and every
// failure inside the binding's check.
#include "quantum/core/core.hpp"

namespace velmor::quantum {

namespace n {
VM_NAME(SignatureAlgorithm);
VM_NAME(ML_DSA);
VM_NAME(_sig_kind);
VM_NAME(_sig_strip);
VM_NAME(sig_algorithm);
VM_NAME(sig_generate_keypair);
VM_NAME(sig_sign);
VM_NAME(sig_verify);
static vm::Name mldsa{"mldsa"};
static vm::Name slhdsa{"slhdsa"};
static vm::Name private_label{"signature private"};
static vm::Name public_label{"signature public"};
}  // namespace n

namespace {

object mechanism(const Scope& s, handle alg, handle strength) {
    object oqs = s[n::_oqs];
    return oqs.attr(n::sig_algorithm)(s[n::_sig_kind](alg), strength);
}

}  // namespace

// _sig_kind(alg: SignatureAlgorithm) -> str
object sig_kind(const Scope& s, Args a) {
    object ml_dsa = s[n::SignatureAlgorithm].attr(n::ML_DSA);
    return nb::borrow(vm::equals(a[0], ml_dsa) ? n::mldsa : n::slhdsa);
}

// _sig_strip(headered: bytes, label: str) -> tuple[int, int, bytes]
object sig_strip(const Scope& s, Args a) {
    handle headered = a[0], label = a[1];
    if (nb::len(headered) <= kHeader) {
        object message = vm::checked(PyUnicode_FromFormat("Invalid %S key: missing header", label.ptr()));
        vm::raise(s[n::InvalidInputError], message);
    }
    object scheme = headered[nb::int_(0)];
    object strength = headered[nb::int_(1)];
    object raw = vm::slice(headered, kHeader, vm::kEnd);
    return nb::make_tuple(scheme, strength, raw);
}

const char* const generate_signature_keypair_doc =
    "Make a post-quantum signature key pair; return (public key, private key).\n\n"
    "Both keys begin with two bytes: the scheme (1 ML-DSA, the default; 2 SLH-DSA) and the strength\n"
    "(0, 1 or 2). Needs the liboqs binding `oqs`.\n\n"
    "Raises ValueError for a scheme or strength outside its enum, QuantumOperationError when the\n"
    "binding is missing or fails.";

// generate_signature_keypair(algorithm: SignatureAlgorithm | int = SignatureAlgorithm.ML_DSA,
//                            strength: QuantumStrength | int = QuantumStrength.HIGHEST)
object generate_signature_keypair(const Scope& s, Args a) {
    object alg = s[n::SignatureAlgorithm](nb::int_(a[0]));
    object st = s[n::QuantumStrength](nb::int_(a[1]));
    object oqs_alg = mechanism(s, alg, st);
    object pk, sk;
    vm::unpack(s[n::_oqs].attr(n::sig_generate_keypair)(oqs_alg), {&pk, &sk});
    nb::int_ scheme(alg), level(st);
    object header = key_header(scheme, level);
    object pub = vm::join({header, pk});
    object priv = vm::join({header, sk});
    return nb::make_tuple(pub, priv);
}

const char* const sign_doc =
    "Sign data with a post-quantum private signature key; return the raw signature.\n\n"
    "Raises InvalidInputError for a key without its header, with an unknown scheme id or of the\n"
    "wrong length for its mechanism; KeyError for a strength byte other than 0, 1 and 2; TypeError\n"
    "for data that is not bytes-like; QuantumOperationError when the binding is missing, has no\n"
    "SLH-DSA mechanism or fails to sign.";

// sign(data: bytes, private_key: bytes) -> bytes
object sign(const Scope& s, Args a) {
    handle data = a[0], private_key = a[1];
    object scheme, strength, raw;
    vm::unpack(s[n::_sig_strip](private_key, n::private_label), {&scheme, &strength, &raw});
    object alg;
    try {
        alg = s[n::SignatureAlgorithm](scheme);
    } catch (vm::error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        vm::raise_from(s, n::InvalidInputError, e, [&] {
            return vm::checked(PyUnicode_FromFormat("Unsupported signature scheme id %S", scheme.ptr()));
        });
    }
    object oqs = s[n::_oqs];
    object oqs_alg = mechanism(s, alg, strength);
    object secret_key =
        key_part(s, oqs_alg, Part::secret_key, raw, "Invalid signature private key: wrong length");
    return oqs.attr(n::sig_sign)(oqs_alg, secret_key, data);
}

const char* const verify_doc =
    "Check a post-quantum signature of data under a public signature key; return True or False.\n\n"
    "False for a signature that does not match, and for a key without its header, with an unknown\n"
    "scheme id or of the wrong length for its mechanism.\n\n"
    "Raises KeyError for a strength byte other than 0, 1 and 2, TypeError for data or a signature\n"
    "that is not bytes-like, QuantumOperationError when the binding is missing or has no SLH-DSA\n"
    "mechanism.";

// verify(data: bytes, signature: bytes, public_key: bytes) -> bool
object verify(const Scope& s, Args a) {
    handle data = a[0], signature = a[1], public_key = a[2];
    object scheme, strength, raw, alg;
    try {
        vm::unpack(s[n::_sig_strip](public_key, n::public_label), {&scheme, &strength, &raw});
        alg = s[n::SignatureAlgorithm](scheme);
    } catch (vm::error& e) {
        if (!vm::Except(e).matches({s[n::InvalidInputError], PyExc_ValueError})) throw;
        return nb::bool_(false);
    }
    object oqs = s[n::_oqs];
    object oqs_alg = mechanism(s, alg, strength);
    object sized = sized_part(oqs_alg, Part::public_key, raw);
    if (!sized) return nb::bool_(false);
    object sized_signature = sized_part(oqs_alg, Part::signature, signature);
    if (!sized_signature) return nb::bool_(false);
    return oqs.attr(n::sig_verify)(oqs_alg, sized, data, sized_signature);
}

}  // namespace velmor::quantum
