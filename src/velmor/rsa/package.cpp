// velmor.rsa: the RSA family as coroutine functions run on a worker thread.
#include "modules.hpp"

namespace velmor {

void build_rsa(vm::Module& m) {
    m.import("asyncio");
    m.import_from("velmor.rsa", {"core"});
    m.coroutine("new_key_pair", "new_key_pair", {}, "tuple[str, str]");
    m.coroutine("encrypt", "encrypt_str", {{"plaintext", "str"}, {"public_pem", "str"}}, "str");
    m.coroutine("decrypt", "decrypt_str", {{"ciphertext_b64", "str"}, {"private_pem", "str"}},
                "str");
    m.coroutine("encrypt_bytes", "encrypt_bytes", {{"data", "bytes"}, {"public_pem", "str"}},
                "bytes");
    m.coroutine("decrypt_bytes", "decrypt_bytes", {{"blob", "bytes"}, {"private_pem", "str"}},
                "bytes");
    m.coroutine("sign", "sign_str", {{"plaintext", "str"}, {"private_pem", "str"}}, "str");
    m.coroutine("verify", "verify_str",
                {{"plaintext", "str"}, {"signature_b64", "str"}, {"public_pem", "str"}}, "bool");
    m.coroutine("sign_bytes", "sign_bytes", {{"data", "bytes"}, {"private_pem", "str"}}, "bytes");
    m.coroutine("verify_bytes", "verify_bytes",
                {{"data", "bytes"}, {"signature", "bytes"}, {"public_pem", "str"}}, "bool");
    m.all({"new_key_pair", "encrypt", "decrypt", "encrypt_bytes", "decrypt_bytes", "sign",
           "verify", "sign_bytes", "verify_bytes", "core"});
}

}  // namespace velmor
