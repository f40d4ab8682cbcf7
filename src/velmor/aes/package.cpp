// velmor.aes: the AES family as coroutine functions run on a worker thread.
#include "modules.hpp"

namespace velmor {

constexpr vm::ShortName kNames[] = {
    {"encrypt", "encrypt_str"},
    {"decrypt", "decrypt_str"},
    {"encrypt_bytes", "encrypt_bytes"},
    {"decrypt_bytes", "decrypt_bytes"},
};

const vm::ShortNames aes_names = kNames;

void build_aes(vm::Module& m) { m.coroutine_package(aes_names); }

}  // namespace velmor
