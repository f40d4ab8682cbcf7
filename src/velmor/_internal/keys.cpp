// velmor._internal.keys: the key-text rule. Strict Base64 of 32 bytes is that key, of 64 bytes
// its first half, of anything else the SHA-256 of the decoded bytes; any other text, the empty
// one included, gives the SHA-256 of its UTF-8 form.
#include "modules.hpp"

namespace velmor {

namespace {

using namespace vm;

namespace n {
VM_NAME(base64);
VM_NAME(binascii);
VM_NAME(hashlib);
VM_NAME(b64decode);
VM_NAME(Error);
VM_NAME(sha256);
VM_NAME(digest);
VM_NAME(encode);
VM_NAME(AES_KEY_SIZE);
VM_NAME(_try_base64);
static Name utf_8{"utf-8"};
static Keywords validate{"validate"};
}  // namespace n

// _try_base64(s: str) -> bytes | None
object try_base64(const Scope& s, Args a) {
    handle text = a[0];
    if (nb::len(text) == 0) return nb::none();
    if (nb::len(text) % 4 != 0) return nb::none();
    object decode = attribute_of(s[n::base64], n::b64decode);
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

object sha256(const Scope& s) { return attribute_of(s[n::hashlib], n::sha256); }

// convert_key(key: str) -> bytes
object convert_key(const Scope& s, Args a) {
    handle key = a[0];
    object decoded = call(s[n::_try_base64], key);
    if (decoded.is_none()) {
        object hash = sha256(s);  // the hash is found before the text is encoded
        return call_method(call(hash, call_method(key, n::encode, n::utf_8)), n::digest);
    }
    object size = s[n::AES_KEY_SIZE];
    nb::int_ n(nb::len(decoded));
    object twice = size * nb::int_(2);  // the pair is formed before the test
    if (n.equal(size) || n.equal(twice)) return slice(decoded, nb::none(), size);
    return call_method(call(sha256(s), decoded), n::digest);
}

}  // namespace

void build_keys(Module& m) {
    m.import("base64");
    m.import("binascii");
    m.import("hashlib");
    m.set("AES_KEY_SIZE", 32);
    m.def("_try_base64", try_base64, {{"s", "str"}}, "bytes | None");
    m.def("convert_key", convert_key, {{"key", "str"}}, "bytes");
}

}  // namespace velmor
