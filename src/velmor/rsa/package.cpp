// velmor.rsa: the RSA family as coroutine functions run on a worker thread.
#include "modules.hpp"

namespace velmor {

constexpr vm::ShortName kNames[] = {
    {"new_key_pair", "new_key_pair"},
    {"encrypt", "encrypt_str"},
    {"decrypt", "decrypt_str"},
    {"encrypt_bytes", "encrypt_bytes"},
    {"decrypt_bytes", "decrypt_bytes"},
    {"sign", "sign_str"},
    {"verify", "verify_str"},
    {"sign_bytes", "sign_bytes"},
    {"verify_bytes", "verify_bytes"},
};

const vm::ShortNames rsa_names = kNames;

void build_rsa(vm::Module& m) { m.coroutine_package(rsa_names); }

}  // namespace velmor
