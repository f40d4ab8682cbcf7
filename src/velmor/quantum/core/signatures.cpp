// Post-quantum signatures. Both keys of a pair carry the header (scheme id, strength); the
// mechanism is chosen again from it at every call. verify answers False for a key without
// header, an unknown scheme id and every failure inside the binding's check.
#include "quantum/core/core.hpp"

namespace velmor::quantum {

using namespace vm;

namespace {
namespace n {
VM_NAME(SignatureAlgorithm);
VM_NAME(QuantumStrength);
VM_NAME(ML_DSA);
VM_NAME(InvalidInputError);
VM_NAME(_oqs);
VM_NAME(_sig_kind);
VM_NAME(_sig_strip);
VM_NAME(sig_algorithm);
VM_NAME(sig_generate_keypair);
VM_NAME(sig_sign);
VM_NAME(sig_verify);
static Name mldsa{"mldsa"};
static Name slhdsa{"slhdsa"};
static Name private_label{"signature private"};
static Name public_label{"signature public"};
}  // namespace n

object mechanism(const Scope& s, handle alg, handle strength) {
    object oqs = s[n::_oqs];
    return oqs.attr(n::sig_algorithm)(s[n::_sig_kind](alg), strength);
}

}  // namespace

// _sig_kind(alg: SignatureAlgorithm) -> str
object sig_kind(const Scope& s, Args a) {
    object ml_dsa = s[n::SignatureAlgorithm].attr(n::ML_DSA);
    bool equal = truthy(checked(PyObject_RichCompare(a[0].ptr(), ml_dsa.ptr(), Py_EQ)));
    return nb::borrow(equal ? n::mldsa : n::slhdsa);
}

// _sig_strip(headered: bytes, label: str) -> tuple[int, int, bytes]
object sig_strip(const Scope& s, Args a) {
    handle headered = a[0], label = a[1];
    if (length(headered) <= 2) {
        object message = checked(PyUnicode_FromFormat("Invalid %S key: missing header", label.ptr()));
        raise(s[n::InvalidInputError], message);
    }
    return nb::make_tuple(item(headered, 0), item(headered, 1), slice(headered, 2, kEnd));
}

// generate_signature_keypair(algorithm: SignatureAlgorithm | int = SignatureAlgorithm.ML_DSA,
//                            strength: QuantumStrength | int = QuantumStrength.HIGHEST)
object generate_signature_keypair(const Scope& s, Args a) {
    object alg = s[n::SignatureAlgorithm](integer(a[0]));
    object st = s[n::QuantumStrength](integer(a[1]));
    object oqs_alg = mechanism(s, alg, st);
    object pk, sk;
    unpack(s[n::_oqs].attr(n::sig_generate_keypair)(oqs_alg), {&pk, &sk});
    object values = checked(PyList_New(0));
    if (PyList_Append(values.ptr(), integer(alg).ptr()) < 0 ||
        PyList_Append(values.ptr(), integer(st).ptr()) < 0)
        fail();
    object header = checked(PyBytes_FromObject(values.ptr()));
    return nb::make_tuple(join({header, pk}), join({header, sk}));
}

// sign(data: bytes, private_key: bytes) -> bytes
object sign(const Scope& s, Args a) {
    handle data = a[0], private_key = a[1];
    object scheme, strength, raw;
    unpack(s[n::_sig_strip](private_key, n::private_label), {&scheme, &strength, &raw});
    object alg;
    try {
        alg = s[n::SignatureAlgorithm](scheme);
    } catch (error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        object message = checked(PyUnicode_FromFormat("Unsupported signature scheme id %S", scheme.ptr()));
        raise_from(s[n::InvalidInputError], message, e);
    }
    object oqs = s[n::_oqs];
    return oqs.attr(n::sig_sign)(mechanism(s, alg, strength), raw, data);
}

// verify(data: bytes, signature: bytes, public_key: bytes) -> bool
object verify(const Scope& s, Args a) {
    handle data = a[0], signature = a[1], public_key = a[2];
    object scheme, strength, raw, alg;
    try {
        unpack(s[n::_sig_strip](public_key, n::public_label), {&scheme, &strength, &raw});
        alg = s[n::SignatureAlgorithm](scheme);
    } catch (error& e) {
        if (!Except(e).matches({s[n::InvalidInputError], PyExc_ValueError})) throw;
        return nb::bool_(false);
    }
    object oqs = s[n::_oqs];
    return oqs.attr(n::sig_verify)(mechanism(s, alg, strength), raw, data, signature);
}

}  // namespace velmor::quantum
