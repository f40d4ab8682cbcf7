// The paired text forms of the AES, RSA and hybrid families: text goes in as UTF-8 and comes out
// as Base64, Base64 goes in strictly and comes out as UTF-8 text.
#include "runtime/runtime.hpp"

namespace vm {

namespace {
namespace n {
VM_NAME(base64);
VM_NAME(b64encode);
VM_NAME(b64decode);
VM_NAME(DecryptionError);
VM_NAME(encode);
VM_NAME(decode);
static Name utf_8{"utf-8"};
static Name ascii{"ascii"};
static Keywords validate{"validate"};
}  // namespace n
}  // namespace

bool is_empty_text(handle value) {
    object empty = checked(PyUnicode_FromStringAndSize("", 0));
    int r = PyObject_RichCompareBool(value.ptr(), empty.ptr(), Py_EQ);
    if (r < 0) fail();
    return r != 0;
}

object strict_b64decode(const Scope& s, handle text) {
    object decode = attribute_of(s[n::base64], n::b64decode);
    return call_kw(decode, {text}, n::validate, {Py_True});
}

object encode_to_base64(const Scope& s, const Name& bytes_function, handle text, handle key) {
    // base64.b64encode(bytes_function(text.encode("utf-8"), key)): the callees are read before
    // the argument is made, as the host evaluates the expression.
    object b64encode = attribute_of(s[n::base64], n::b64encode);
    object function = s[bytes_function];
    object data = call_method(text, n::encode, n::utf_8);
    object blob = call(function, data, key);
    // Each intermediate goes as soon as the next step has it, as the host's temporaries do:
    // a large text then peaks at the blob and its Base64, not at every copy at once.
    data.reset();
    object encoded = call(b64encode, blob);
    blob.reset();
    return call_method(encoded, n::decode, n::ascii);
}

object decode_from_base64(const Scope& s, const Name& bytes_function, handle text, handle key) {
    object blob;
    try {
        blob = strict_b64decode(s, text);
    } catch (error& e) {
        if (!is_exception(e)) throw;
        raise_from(s[n::DecryptionError], "Ciphertext is not valid Base64", e);
    }
    object data = call(s[bytes_function], blob, key);
    blob.reset();
    try {
        return call_method(data, n::decode, n::utf_8);
    } catch (error& e) {
        if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        raise_from(s[n::DecryptionError], "Decrypted data is not valid UTF-8", e);
    }
}

}  // namespace vm
