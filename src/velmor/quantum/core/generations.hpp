// The table of generations: what each generation byte of a quantum key stands for. It drives
// key generation (keys.cpp) and the encryption dispatch (dispatch.cpp); a new generation is a
// row here plus its own file.
#pragma once

#include "quantum/core/core.hpp"

#include <algorithm>
#include <array>
#include <iterator>

namespace velmor::n {
VM_NAME(GEN1);
VM_NAME(GEN2);
VM_NAME(GEN3);
VM_NAME(GEN4);
VM_NAME(GEN5);
VM_NAME(GEN6);
VM_NAME(GEN7);
VM_NAME(GEN8);
VM_NAME(_gen2_encrypt);
VM_NAME(_gen2_decrypt);
VM_NAME(_gen4_encrypt);
VM_NAME(_gen4_decrypt);
VM_NAME(_gen5_encrypt);
VM_NAME(_gen5_decrypt);
VM_NAME(_gen6_encrypt);
VM_NAME(_gen6_decrypt);
VM_NAME(_gen7_generate);
VM_NAME(_gen7_encrypt);
VM_NAME(_gen7_decrypt);
VM_NAME(_gen8_generate);
VM_NAME(_gen8_encrypt);
VM_NAME(_gen8_decrypt);
}  // namespace velmor::n

namespace velmor::quantum {

struct Generation {
    long byte;  // the first byte of its keys
    // The QuantumGeneration members that make it: one, or a pair tested by membership.
    std::array<const vm::Name*, 2> members;
    // Its key pair: a KEM pair of the mechanism _oqs.<kem_alg>(strength), or a step of its own in
    // the module, given the strength member.
    const vm::Name* kem_alg;
    const vm::Name* own_step;
    const vm::Name* encrypt;  // module functions the dispatch calls, looked up at the call
    const vm::Name* decrypt;
    // Always the highest strength: written as 2 into its keys and never handed to its functions.
    bool fixed_strength;
};

// In the order in which the dispatch compares a key's generation byte. Columns: byte, made by,
// kem_alg, own_step, encrypt, decrypt, fixed_strength.
inline constexpr Generation kGenerations[] = {
    {4, {&n::GEN4, nullptr},  &n::frodo_alg, nullptr,            &n::_gen4_encrypt, &n::_gen4_decrypt, true},
    {6, {&n::GEN3, &n::GEN6}, &n::frodo_alg, nullptr,            &n::_gen6_encrypt, &n::_gen6_decrypt, false},
    {2, {&n::GEN1, &n::GEN2}, &n::cmce_alg,  nullptr,            &n::_gen2_encrypt, &n::_gen2_decrypt, false},
    {5, {&n::GEN5, nullptr},  &n::cmce_alg,  nullptr,            &n::_gen5_encrypt, &n::_gen5_decrypt, false},
    {7, {&n::GEN7, nullptr},  nullptr,       &n::_gen7_generate, &n::_gen7_encrypt, &n::_gen7_decrypt, false},
    {8, {&n::GEN8, nullptr},  nullptr,       &n::_gen8_generate, &n::_gen8_encrypt, &n::_gen8_decrypt, false},
};

constexpr const Generation* row(long byte) {
    for (const Generation& g : kGenerations)
        if (g.byte == byte) return &g;
    return nullptr;
}

// generate_keypair tests the QuantumGeneration member against the rows in another order.
inline constexpr const Generation* kKeyGenerationOrder[] = {row(2), row(5), row(6), row(4), row(7), row(8)};

static_assert(
    [] {
        for (const Generation& g : kGenerations)
            if (std::ranges::count(kKeyGenerationOrder, &g) != 1) return false;
        return std::size(kKeyGenerationOrder) == std::size(kGenerations);
    }(),
    "key generation tests every row once");

}  // namespace velmor::quantum
