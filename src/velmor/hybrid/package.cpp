// velmor.hybrid: the hybrid family as coroutine functions run on a worker thread.
#include "modules.hpp"

namespace velmor {

void build_hybrid(vm::Module& m) {
    m.import("asyncio");
    m.import_from("velmor.hybrid", {"core"});
    m.coroutine("encrypt", "encrypt_str", {{"plaintext", "str"}, {"public_pem", "str"}}, "str");
    m.coroutine("decrypt", "decrypt_str", {{"ciphertext_b64", "str"}, {"private_pem", "str"}},
                "str");
    m.coroutine("encrypt_bytes", "encrypt_bytes", {{"data", "bytes"}, {"public_pem", "str"}},
                "bytes");
    // the core's reader of every format
    m.coroutine("decrypt_bytes", "decrypt_auto", {{"blob", "bytes"}, {"private_pem", "str"}},
                "bytes");
    m.all({"encrypt", "decrypt", "encrypt_bytes", "decrypt_bytes", "core"});
}

}  // namespace velmor
