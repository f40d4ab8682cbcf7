// The paired text forms: text goes in as UTF-8 and comes out as Base64, Base64 goes in strictly
// and comes out as UTF-8 text. The family gives the bytes function and the errors.
#include "runtime/runtime.hpp"

namespace vm {

namespace {
namespace n {
VM_NAME(base64);
VM_NAME(b64encode);
VM_NAME(b64decode);
VM_NAME(encode);
VM_NAME(decode);
static Name utf_8{"utf-8"};
static Name ascii{"ascii"};
static Keywords validate{"validate"};
}  // namespace n
}  // namespace

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

object decode_from_base64(const Scope& s, const Name& bytes_function, handle text, handle key,
                          const DecodeErrors& errors) {
    object blob;
    try {
        blob = strict_b64decode(s, text);
    } catch (error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_from(s, errors.error_class, errors.not_base64, e);
    }
    object data = call(s[bytes_function], blob, key);
    blob.reset();
    try {
        return call_method(data, n::decode, n::utf_8);
    } catch (error& e) {
        if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        raise_from(s, errors.error_class, errors.not_utf8, e);
    }
}

}  // namespace vm
