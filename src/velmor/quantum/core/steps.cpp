// The steps that several generations share: the key header, the length fields, the KEM step and
// the salted AES-256-GCM message.
#include "quantum/core/core.hpp"

#include <algorithm>

namespace velmor::n {
VM_NAME(encapsulate);
VM_NAME(decapsulate);
VM_NAME(_gcm_open);
VM_NAME(_ser);
}  // namespace velmor::n

namespace velmor::quantum {

namespace {

// _ser.<kind>.<member>, such as _ser.Encoding.Raw
object serialization(const Scope& s, const vm::Name& kind, const vm::Name& member) {
    return s[n::_ser].attr(kind).attr(member);
}

}  // namespace

Py_ssize_t length_field(handle data) {
    // int.from_bytes itself: whatever data[:4] is, its bytes are read as the host reads them
    object head = vm::slice(data, 0, kLengthField);
    object value = vm::int_from_bytes(head, n::little);
    // Clipped, not refused: a field too large for an index is too large for any data.
    Py_ssize_t size = PyNumber_AsSsize_t(value.ptr(), nullptr);
    if (size == -1 && PyErr_Occurred()) vm::fail();
    return std::min(size, PY_SSIZE_T_MAX - 64);
}

void export_pair(const Scope& s, handle key, const vm::Name& encoding, const vm::Name& public_format,
                 const vm::Name& private_format, object& pub, object& priv) {
    // Each argument made in turn; the method itself is fetched at its call, as nanobind calls it.
    object public_key = key.attr(n::public_key)();
    object public_encoding = serialization(s, n::Encoding, encoding);
    object public_form = serialization(s, n::PublicFormat, public_format);
    pub = public_key.attr(n::public_bytes)(public_encoding, public_form);
    object private_encoding = serialization(s, n::Encoding, encoding);
    object private_form = serialization(s, n::PrivateFormat, private_format);
    object no_encryption = s[n::_ser].attr(n::NoEncryption)();
    priv = key.attr(n::private_bytes)(private_encoding, private_form, no_encryption);
}

object packed_length(const Scope& s, handle value) {
    nb::int_ size(nb::len(value));
    return s[n::struct_module].attr(n::pack)(n::little_u32, size);
}

object key_part(const Scope& s, handle alg, Part part, handle value, const char* refused) {
    object sized = sized_part(alg, part, value);
    if (!sized) vm::raise(s[n::InvalidInputError], refused);
    return sized;
}

void encapsulate(const Scope& s, const vm::Name& table, handle strength, handle raw_key, const char* refused,
                 object& capsule, object& shared_secret) {
    object oqs = s[n::_oqs];
    object alg = s[n::_oqs].attr(table)(strength);
    object public_key = key_part(s, alg, Part::public_key, raw_key, refused);
    vm::unpack(oqs.attr(n::encapsulate)(alg, public_key), {&capsule, &shared_secret});
}

object decapsulate(const Scope& s, const vm::Name& table, handle strength, handle raw_key, handle capsule,
                   const char* refused) {
    object oqs = s[n::_oqs];
    object alg = s[n::_oqs].attr(table)(strength);
    object secret_key = key_part(s, alg, Part::secret_key, raw_key, refused);
    return oqs.attr(n::decapsulate)(alg, secret_key, capsule);
}

Sealed seal_salted(const Scope& s, handle ikm, Py_ssize_t salt_size, const vm::Name& info, handle data) {
    Sealed sealed;
    sealed.salt = random_bytes(salt_size);
    object key = s[n::_hkdf](ikm, sealed.salt, s[info], nb::int_(kKey));
    sealed.nonce = random_bytes(kNonce);
    vm::unpack(s[n::_gcm_seal](key, sealed.nonce, data), {&sealed.ct, &sealed.tag});
    return sealed;
}

object seal_hybrid(const Scope& s, handle ikm, const vm::Name& info, handle data, handle first,
                   handle second) {
    Sealed sealed = seal_salted(s, ikm, kSalt, info, data);
    object encapsulated = vm::join({packed_length(s, first), first, second});
    return nb::make_tuple(encapsulated, sealed.message());
}

object open_hybrid(const Scope& s, handle ikm, const vm::Name& info, handle enc) {
    object salt = vm::slice(enc, 0, kSalt);
    object nonce = vm::slice(enc, kSalt, kSalt + kNonce);
    return open_salted(s, ikm, salt, nonce, kSalt, info, enc);
}

object open_salted(const Scope& s, handle ikm, handle salt, handle nonce, Py_ssize_t salt_size,
                   const vm::Name& info, handle enc) {
    object key = s[n::_hkdf](ikm, salt, s[info], nb::int_(kKey));
    return open_message(s, key, nonce, enc, salt_size + kNonce);
}

object open_message(const Scope& s, handle key, handle nonce, handle enc, Py_ssize_t start) {
    object open = s[n::_gcm_open];
    object ct = vm::slice(enc, start, -kTag);
    object tag = vm::slice(enc, -kTag, vm::kEnd);
    return open(key, nonce, ct, tag);
}

}  // namespace velmor::quantum
