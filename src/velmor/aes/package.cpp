// velmor.aes: the AES family as coroutine functions run on a worker thread.
#include "aes/aes.hpp"

namespace velmor {

constexpr ShortName kNames[] = {
    {"encrypt", aes::core::encrypt_str},
    {"decrypt", aes::core::decrypt_str},
    {"encrypt_bytes", aes::core::encrypt_bytes},
    {"decrypt_bytes", aes::core::decrypt_bytes},
};

const ShortNames aes_names = kNames;

void build_aes(vm::Module& m) { coroutine_package(m, aes_names); }

}  // namespace velmor
