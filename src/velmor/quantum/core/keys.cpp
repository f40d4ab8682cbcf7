// Quantum key pairs. Every key is the header (generation byte, strength byte) followed by the raw
// key of its generation; the table of generations says which member makes which key and how.
#include "quantum/core/generations.hpp"

namespace velmor::n {
VM_NAME(QuantumGeneration);
VM_NAME(name);
}  // namespace velmor::n

namespace velmor::quantum {

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
    object head = vm::bytes_of_items({nb::int_(g.byte), nb::int_(strength)});
    object pub = vm::join({head, pk});
    object priv = vm::join({head, sk});
    return nb::make_tuple(pub, priv);
}

}  // namespace

object generate_keypair(const Scope& s, handle generation, handle strength) {
    object gen = s[n::QuantumGeneration](nb::int_(generation));
    object st = s[n::QuantumStrength](nb::int_(strength));
    for (const Generation* g : kKeyGenerationOrder) {
        if (!made_by(s, *g, gen)) continue;
        return g->own_step ? s[*g->own_step](st) : kem_pair(s, *g, st);
    }
    object message = vm::checked(PyUnicode_FromFormat(
        "Generation %S key generation is not yet implemented in Python", gen.attr(n::name).ptr()));
    vm::raise(s[n::QuantumOperationError], message);
}

}  // namespace velmor::quantum
