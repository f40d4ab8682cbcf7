// DER wrapping of a PKCS#1 RSAPublicKey into the SubjectPublicKeyInfo that the DER loader takes.
// Plain concatenation: the input is not parsed.
#include "rsa/rsa.hpp"

namespace velmor {
namespace n {
VM_NAME(_der_len);
VM_NAME(_RSA_ALG_ID);
}  // namespace n
}  // namespace velmor

namespace velmor::rsa {

namespace {

using namespace vm;

object one_byte(unsigned char b) { return nb::bytes(&b, 1); }

}  // namespace

// rsaEncryption with NULL parameters
object rsa_alg_id() {
    static const char id[] = "\x30\x0d\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x01\x01\x05\x00";
    return nb::bytes(id, sizeof id - 1);
}

object der_len(const Scope&, handle value) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) fail();
        if (!overflow && v >= 0) {
            if (v < 128) return one_byte(static_cast<unsigned char>(v));
            unsigned char out[9];
            int count = 0;
            for (unsigned long long u = static_cast<unsigned long long>(v); u; u >>= 8)
                out[8 - count++] = static_cast<unsigned char>(u & 0xff);
            out[8 - count] = static_cast<unsigned char>(0x80 | count);
            return nb::bytes(out + 8 - count, static_cast<std::size_t>(count + 1));
        }
    }
    // Everything else (negative, huge or not an int) takes the general road with the host's
    // own comparisons, masks and errors.
    nb::int_ limit(128);
    if (value < limit) return bytes_of_items({value});
    nb::int_ mask(255), eight(8), zero(0);
    object octets = nb::bytearray(nullptr, 0);
    object rest = nb::borrow(value);
    while (rest > zero) {
        object low = rest & mask;
        object front = bytes_of_items({low});
        octets = nb::bytearray(front + octets);
        rest = rest >> eight;
    }
    nb::int_ count(nb::len(octets));
    object first = limit | count;
    return bytes_of_items({first}) + octets;
}

object pkcs1_to_spki(const Scope& s, handle pkcs1) {
    // _der_len is read before its argument is computed, as a call expression does
    object der_length = s[n::_der_len];
    object inner_len = nb::int_(nb::len(pkcs1)) + nb::int_(1);
    object bit_string = one_byte(0x03) + der_length(inner_len);
    bit_string = bit_string + one_byte(0x00) + pkcs1;
    object body = s[n::_RSA_ALG_ID] + bit_string;
    der_length = s[n::_der_len];
    nb::int_ body_len(nb::len(body));
    return one_byte(0x30) + der_length(body_len) + body;
}

}  // namespace velmor::rsa
