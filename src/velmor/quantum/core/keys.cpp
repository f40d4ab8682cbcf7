// Quantum key pairs. Every key is the header (generation byte, strength byte) followed by the
// raw key of its generation; generation 7 stores its RSA key as length-prefixed PKCS#1 DER
// before the FrodoKEM key, generation 8 the raw X25519 key before the ML-KEM key.
#include "quantum/core/core.hpp"

namespace velmor::quantum {

using namespace vm;

namespace {
namespace n {
VM_NAME(QuantumGeneration);
VM_NAME(QuantumStrength);
VM_NAME(QuantumOperationError);
VM_NAME(GEN1);
VM_NAME(GEN2);
VM_NAME(GEN3);
VM_NAME(GEN4);
VM_NAME(GEN5);
VM_NAME(GEN6);
VM_NAME(GEN7);
VM_NAME(GEN8);
VM_NAME(HIGHEST);
VM_NAME(name);
VM_NAME(_oqs);
VM_NAME(cmce_alg);
VM_NAME(frodo_alg);
VM_NAME(mlkem_alg);
VM_NAME(generate_keypair);
VM_NAME(_gen7_generate);
VM_NAME(_gen8_generate);
VM_NAME(_rsa_asym);
VM_NAME(generate_private_key);
VM_NAME(_ser);
VM_NAME(Encoding);
VM_NAME(DER);
VM_NAME(PublicFormat);
VM_NAME(PKCS1);
VM_NAME(PrivateFormat);
VM_NAME(TraditionalOpenSSL);
VM_NAME(NoEncryption);
VM_NAME(public_key);
VM_NAME(public_bytes);
VM_NAME(private_bytes);
VM_NAME(_x25519_raw);
VM_NAME(X25519PrivateKey);
VM_NAME(generate);
static Keywords rsa_kw{"public_exponent", "key_size"};
}  // namespace n

// bytes([first, int(second)])
object header(long first, handle strength) {
    object second = integer(strength);
    object pair = checked(PyList_New(0));
    if (PyList_Append(pair.ptr(), number(first).ptr()) < 0 || PyList_Append(pair.ptr(), second.ptr()) < 0)
        fail();
    return checked(PyBytes_FromObject(pair.ptr()));
}

bool equals(handle a, handle b) {
    return truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}

bool one_of(handle value, handle first, handle second) {
    object pair = nb::make_tuple(first, second);
    int found = PySequence_Contains(pair.ptr(), value.ptr());
    if (found < 0) fail();
    return found;
}

}  // namespace

const char* const generate_keypair_doc =
    "Make a post-quantum key pair; return (public key, private key).\n\n"
    "Both keys begin with two bytes: the generation and the strength (0, 1 or 2). Generation 8 (the\n"
    "default) is X25519 with ML-KEM; 7 is RSA-4096 with FrodoKEM; 6 (and 3) and 4 are FrodoKEM; 5\n"
    "and 2 (and 1) are Classic McEliece. Needs the liboqs binding `oqs`.\n\n"
    "Raises ValueError for a generation or strength outside its enum, QuantumOperationError when\n"
    "the binding is missing or fails.";

// generate_keypair(generation: QuantumGeneration | int = QuantumGeneration.GEN8,
//                  strength: QuantumStrength | int = QuantumStrength.HIGHEST) -> tuple[bytes, bytes]
object generate_keypair(const Scope& s, Args a) {
    object gen = s[n::QuantumGeneration](integer(a[0]));
    object st = s[n::QuantumStrength](integer(a[1]));
    long byte;
    object alg;
    object generation = s[n::QuantumGeneration];
    if (one_of(gen, generation.attr(n::GEN1), generation.attr(n::GEN2))) {
        byte = 2;
        alg = s[n::_oqs].attr(n::cmce_alg)(st);
    } else if (equals(gen, s[n::QuantumGeneration].attr(n::GEN5))) {
        byte = 5;
        alg = s[n::_oqs].attr(n::cmce_alg)(st);
    } else if (one_of(gen, s[n::QuantumGeneration].attr(n::GEN3), s[n::QuantumGeneration].attr(n::GEN6))) {
        byte = 6;
        alg = s[n::_oqs].attr(n::frodo_alg)(st);
    } else if (equals(gen, s[n::QuantumGeneration].attr(n::GEN4))) {
        byte = 4;
        alg = s[n::_oqs].attr(n::frodo_alg)(s[n::QuantumStrength].attr(n::HIGHEST));
        st = s[n::QuantumStrength].attr(n::HIGHEST);
    } else if (equals(gen, s[n::QuantumGeneration].attr(n::GEN7))) {
        return s[n::_gen7_generate](st);
    } else if (equals(gen, s[n::QuantumGeneration].attr(n::GEN8))) {
        return s[n::_gen8_generate](st);
    } else {
        object message = checked(PyUnicode_FromFormat(
            "Generation %S key generation is not yet implemented in Python", gen.attr(n::name).ptr()));
        raise(s[n::QuantumOperationError], message);
    }
    object pk, sk;
    unpack(s[n::_oqs].attr(n::generate_keypair)(alg), {&pk, &sk});
    object head = header(byte, st);
    return nb::make_tuple(join({head, pk}), join({head, sk}));
}

// _gen7_generate(strength: QuantumStrength) -> tuple[bytes, bytes]
object gen7_generate(const Scope& s, Args a) {
    handle strength = a[0];
    object key = call_kw(s[n::_rsa_asym].attr(n::generate_private_key), {}, n::rsa_kw,
                         {number(65537), number(4096)});
    object ser = s[n::_ser];
    object rsa_pub_der = key.attr(n::public_key)().attr(n::public_bytes)(
        ser.attr(n::Encoding).attr(n::DER), ser.attr(n::PublicFormat).attr(n::PKCS1));
    object ser2 = s[n::_ser];
    object rsa_priv_der = key.attr(n::private_bytes)(ser2.attr(n::Encoding).attr(n::DER),
                                                     ser2.attr(n::PrivateFormat).attr(n::TraditionalOpenSSL),
                                                     ser2.attr(n::NoEncryption)());
    object frodo_pub, frodo_sec;
    object oqs = s[n::_oqs];
    unpack(oqs.attr(n::generate_keypair)(s[n::_oqs].attr(n::frodo_alg)(strength)), {&frodo_pub, &frodo_sec});
    object head = header(7, strength);
    object pub = join({head, packed_length(s, rsa_pub_der), rsa_pub_der, frodo_pub});
    object priv = join({head, packed_length(s, rsa_priv_der), rsa_priv_der, frodo_sec});
    return nb::make_tuple(pub, priv);
}

// _gen8_generate(strength: QuantumStrength) -> tuple[bytes, bytes]
object gen8_generate(const Scope& s, Args a) {
    handle strength = a[0];
    object x_pub, x_priv, mlkem_pub, mlkem_priv;
    unpack(s[n::_x25519_raw](s[n::X25519PrivateKey].attr(n::generate)()), {&x_pub, &x_priv});
    object oqs = s[n::_oqs];
    unpack(oqs.attr(n::generate_keypair)(s[n::_oqs].attr(n::mlkem_alg)(strength)), {&mlkem_pub, &mlkem_priv});
    object head = header(8, strength);
    return nb::make_tuple(join({head, x_pub, mlkem_pub}), join({head, x_priv, mlkem_priv}));
}

}  // namespace velmor::quantum
