// velmor.password: the password family as coroutine functions run on a worker thread.
#include "modules.hpp"

namespace velmor {

void build_password(vm::Module& m) {
    m.import("asyncio");
    m.import_from("velmor.password", {"core"});
    // Taken once, now: rebinding the core's constant later leaves this default alone.
    vm::object default_iterations = m.get("core").attr("DEFAULT_ITERATIONS");
    m.coroutine("hash", "hash_password",
                {{"password", "str"}, {"iterations", "int", default_iterations}}, "str");
    m.coroutine("verify", "verify_password", {{"password", "str"}, {"hash_json", "str"}}, "bool");
    m.coroutine("needs_rehash", "needs_rehash", {{"hash_json", "str"}}, "bool");
    m.all({"hash", "verify", "needs_rehash", "core"});
}

}  // namespace velmor
