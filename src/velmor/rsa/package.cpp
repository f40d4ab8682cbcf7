// velmor.rsa: the RSA family as coroutine functions run on a worker thread.
#include "rsa/rsa.hpp"

namespace velmor {

constexpr ShortName kNames[] = {
    {"new_key_pair", rsa::core::new_key_pair},
    {"encrypt", rsa::core::encrypt_str},
    {"decrypt", rsa::core::decrypt_str},
    {"encrypt_bytes", rsa::core::encrypt_bytes},
    {"decrypt_bytes", rsa::core::decrypt_bytes},
    {"sign", rsa::core::sign_str},
    {"verify", rsa::core::verify_str},
    {"sign_bytes", rsa::core::sign_bytes},
    {"verify_bytes", rsa::core::verify_bytes},
};

const ShortNames rsa_names = kNames;

void build_rsa(vm::Module& m) { coroutine_package(m, rsa_names); }

}  // namespace velmor
