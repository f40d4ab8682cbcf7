// velmor.password: the password family as coroutine functions run on a worker thread.
#include "modules.hpp"

namespace velmor {

constexpr vm::ShortName kNames[] = {
    {"hash", "hash_password"},
    {"verify", "verify_password"},
    {"needs_rehash", "needs_rehash"},
};

const vm::ShortNames password_names = kNames;

void build_password(vm::Module& m) { m.coroutine_package(password_names); }

}  // namespace velmor
