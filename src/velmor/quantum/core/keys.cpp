// Quantum key pairs. Every key is the header (generation byte, strength byte) followed by the raw
// key of its generation; the table of generations says which member makes which key and how.
#include "quantum/core/generations.hpp"

namespace velmor::quantum {

namespace n {
VM_NAME(QuantumGeneration);
VM_NAME(name);
}  // namespace n

namespace {

// Whether `gen` makes the row's keys: `gen in (A, B)` for a pair of members, `gen == A` for one.
bool made_by(const Scope& s, const Generation& g, handle gen) {
    object first = s[n::QuantumGeneration].attr(*g.members[0]);
    if (!g.members[1]) return vm::equals(gen, first);
    object second = s[n::QuantumGeneration].attr(*g.members[1]);
    // the tuple's own test: each item compared with gen, the same object counting as equal
    return first.equal(gen) || second.equal(gen);
}

// A KEM key pair of the row's mechanism, both keys under the header (byte, int(strength)).
object kem_pair(const Scope& s, const Generation& g, object strength) {
    object alg;
    if (g.fixed_strength) {
        alg = s[n::_oqs].attr(*g.kem_alg)(highest_strength(s));
        strength = highest_strength(s);
    } else {
        alg = s[n::_oqs].attr(*g.kem_alg)(strength);
    }
    object pk, sk;
    vm::unpack(s[n::_oqs].attr(n::generate_keypair)(alg), {&pk, &sk});
    object head = key_header(nb::int_(g.byte), nb::int_(strength));
    object pub = vm::join({head, pk});
    object priv = vm::join({head, sk});
    return nb::make_tuple(pub, priv);
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
    object gen = s[n::QuantumGeneration](nb::int_(a[0]));
    object st = s[n::QuantumStrength](nb::int_(a[1]));
    for (const Generation* g : kKeyGenerationOrder) {
        if (!made_by(s, *g, gen)) continue;
        return g->own_step ? s[*g->own_step](st) : kem_pair(s, *g, st);
    }
    object message = vm::checked(PyUnicode_FromFormat(
        "Generation %S key generation is not yet implemented in Python", gen.attr(n::name).ptr()));
    vm::raise(s[n::QuantumOperationError], message);
}

}  // namespace velmor::quantum
