// velmor.hybrid: the hybrid family as coroutine functions run on a worker thread.
#include "modules.hpp"

namespace velmor {

constexpr vm::ShortName kNames[] = {
    {"encrypt", "encrypt_str"},
    {"decrypt", "decrypt_str"},
    {"encrypt_bytes", "encrypt_bytes"},
    {"decrypt_bytes", "decrypt_auto"},  // the core's reader of every format
};

const vm::ShortNames hybrid_names = kNames;

void build_hybrid(vm::Module& m) { m.coroutine_package(hybrid_names); }

}  // namespace velmor
