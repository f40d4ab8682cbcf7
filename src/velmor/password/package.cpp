// velmor.password: the password family as coroutine functions run on a worker thread.
#include "password/password.hpp"

namespace velmor {

constexpr ShortName kNames[] = {
    {"hash", password::core::hash_password},
    {"verify", password::core::verify_password},
    {"needs_rehash", password::core::needs_rehash},
};

const ShortNames password_names = kNames;

void build_password(vm::Module& m) { coroutine_package(m, password_names); }

}  // namespace velmor
