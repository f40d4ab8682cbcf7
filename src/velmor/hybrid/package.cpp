// velmor.hybrid: the hybrid family as coroutine functions run on a worker thread.
#include "hybrid/hybrid.hpp"

namespace velmor {

constexpr ShortName kNames[] = {
    {"encrypt", hybrid::core::encrypt_str},
    {"decrypt", hybrid::core::decrypt_str},
    {"encrypt_bytes", hybrid::core::encrypt_bytes},
    {"decrypt_bytes", hybrid::core::decrypt_auto},  // the core's reader of every format
};

const ShortNames hybrid_names = kNames;

void build_hybrid(vm::Module& m) { coroutine_package(m, hybrid_names); }

}  // namespace velmor
