// Post-quantum signatures. Both keys of a pair carry the header (scheme id, strength); the
// mechanism is chosen again from it at every call. verify answers False for a key without
// header, an unknown scheme id, a key or signature of the wrong length for its mechanism and every
// failure inside the binding's check.
#include "quantum/core/core.hpp"

namespace velmor::n {
VM_NAME(SignatureAlgorithm);
VM_NAME(ML_DSA);
VM_NAME(_sig_kind);
VM_NAME(_sig_strip);
VM_NAME(sig_algorithm);
VM_NAME(sig_generate_keypair);
VM_NAME(sig_sign);
VM_NAME(sig_verify);
inline constinit vm::Name slhdsa{"slhdsa"};
inline constinit vm::Name private_label{"signature private"};
inline constinit vm::Name public_label{"signature public"};
}  // namespace velmor::n

namespace velmor::quantum {

namespace {

object mechanism(const Scope& s, handle alg, handle strength) {
    object oqs = s[n::_oqs];
    return oqs.attr(n::sig_algorithm)(s[n::_sig_kind](alg), strength);
}

}  // namespace

object sig_kind(const Scope& s, handle alg) {
    object ml_dsa = s[n::SignatureAlgorithm].attr(n::ML_DSA);
    return nb::borrow(vm::equals(alg, ml_dsa) ? n::mldsa : n::slhdsa);
}

object sig_strip(const Scope& s, handle headered, handle label) {
    if (nb::len(headered) <= kHeader) {
        object message = vm::checked(PyUnicode_FromFormat("Invalid %S key: missing header", label.ptr()));
        vm::raise(s[n::InvalidInputError], message);
    }
    object scheme = headered[nb::int_(0)];
    object strength = headered[nb::int_(1)];
    object raw = vm::slice(headered, kHeader, vm::kEnd);
    return nb::make_tuple(scheme, strength, raw);
}

object generate_signature_keypair(const Scope& s, handle algorithm, handle strength) {
    object alg = s[n::SignatureAlgorithm](nb::int_(algorithm));
    object st = s[n::QuantumStrength](nb::int_(strength));
    object oqs_alg = mechanism(s, alg, st);
    object pk, sk;
    vm::unpack(s[n::_oqs].attr(n::sig_generate_keypair)(oqs_alg), {&pk, &sk});
    nb::int_ scheme(alg), level(st);
    object header = vm::bytes_of_items({scheme, level});
    object pub = vm::join({header, pk});
    object priv = vm::join({header, sk});
    return nb::make_tuple(pub, priv);
}

object sign(const Scope& s, handle data, handle private_key) {
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

object verify(const Scope& s, handle data, handle signature, handle public_key) {
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
