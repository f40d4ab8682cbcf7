// velmor.aes: the AES family as coroutine functions run on a worker thread.
#include "modules.hpp"

namespace velmor {

void build_aes(vm::Module& m) {
    m.import("asyncio");
    m.import_from("velmor.aes", {"core"});
    m.coroutine("encrypt", "encrypt_str", {{"plaintext", "str"}, {"key", "str"}}, "str");
    m.coroutine("decrypt", "decrypt_str", {{"ciphertext_b64", "str"}, {"key", "str"}}, "str");
    m.coroutine("encrypt_bytes", "encrypt_bytes", {{"data", "bytes"}, {"key", "str"}}, "bytes");
    m.coroutine("decrypt_bytes", "decrypt_bytes", {{"blob", "bytes"}, {"key", "str"}}, "bytes");
    m.all({"encrypt", "decrypt", "encrypt_bytes", "decrypt_bytes", "core"});
}

}  // namespace velmor
