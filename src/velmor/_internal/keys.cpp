// velmor._internal.keys: the key-text rule. Strict Base64 of 32 bytes is that key, of 64 bytes
// its first half, of anything else the SHA-256 of the decoded bytes; any other text, the empty
// one included, gives the SHA-256 of its UTF-8 form.
#include "modules.hpp"

namespace velmor {

namespace n {
VM_NAME(binascii);
VM_NAME(Error);
VM_NAME(AES_KEY_SIZE);
VM_NAME(_try_base64);
}  // namespace n

namespace keys {
constexpr vm::Declaration _try_base64{"_try_base64", {{"s", "str"}}, "bytes | None"};
constexpr vm::Declaration convert_key{"convert_key", {{"key", "str"}}, "bytes"};
}  // namespace keys

namespace {

using namespace vm;

object try_base64(const Scope& s, handle text) {
    if (nb::len(text) == 0) return nb::none();
    if (nb::len(text) % 4 != 0) return nb::none();
    object decode = s[n::base64].attr(n::b64decode);
    // Rejected text is the common case here, so the error is matched without a C++ throw.
    PyObject* stack[] = {text.ptr(), Py_True};
    PyObject* decoded = PyObject_Vectorcall(decode.ptr(), stack, 1, n::validate.ptr());
    if (decoded) return nb::steal(decoded);
    object exc = nb::steal(PyErr_GetRaisedException());
    {
        Except except(exc);
        if (except.matches({s[n::binascii].attr(n::Error), PyExc_ValueError})) return nb::none();
    }
    PyErr_SetRaisedException(exc.release().ptr());
    fail();
}

object convert_key(const Scope& s, handle key) {
    object decoded = s[n::_try_base64](key);
    if (decoded.is_none()) {
        object hash = s[n::hashlib].attr(n::sha256);  // found before the text is encoded
        return hash(key.attr(n::encode)(n::utf_8)).attr(n::digest)();
    }
    object size = s[n::AES_KEY_SIZE];
    nb::int_ length(nb::len(decoded));
    object twice = size * nb::int_(2);  // the pair is formed before the test
    if (length.equal(size) || length.equal(twice)) return slice(decoded, nb::none(), size);
    return s[n::hashlib].attr(n::sha256)(decoded).attr(n::digest)();
}

}  // namespace

void build_keys(vm::Module& m) {
    m.import("base64");
    m.import("binascii");
    m.import("hashlib");
    m.set("AES_KEY_SIZE", 32);
    m.def<keys::_try_base64, try_base64>();
    m.def<keys::convert_key, convert_key>();
}

}  // namespace velmor
