// velmor.password.core: PBKDF2-HMAC password records. A record is one compact JSON object with
// sorted keys: algorithm, createdUtc, hash, parameters {hashAlgorithm, iterations, outputLength,
// saltLength}, salt, version. Verification derives again with the stored parameters and compares
// in constant time; counts and lengths a record states are bounded before any derivation, since
// the record may come from an attacker.
#include "password/password.hpp"

namespace velmor {

namespace n {
VM_NAME(json);
VM_NAME(dumps);
VM_NAME(loads);
VM_NAME(JSONDecodeError);
VM_NAME(datetime);
VM_NAME(timezone);
VM_NAME(now);
VM_NAME(utc);
VM_NAME(replace);
VM_NAME(isoformat);
VM_NAME(PBKDF2HMAC);
VM_NAME(ALGORITHM);
VM_NAME(VERSION);
VM_NAME(SALT_LENGTH);
VM_NAME(OUTPUT_LENGTH);
VM_NAME(HASH_ALGORITHM);
VM_NAME(UPGRADE_THRESHOLD);
VM_NAME(MAX_ITERATIONS);
VM_NAME(MAX_OUTPUT_LENGTH);
VM_NAME(_HASHES);
VM_NAME(_derive);
VM_NAME(_parse);
VM_NAME(upper);
// record members
VM_NAME(algorithm);
VM_NAME(version);
VM_NAME(salt);
VM_NAME(hash);
VM_NAME(parameters);
VM_NAME(hashAlgorithm);
VM_NAME(iterations);
VM_NAME(outputLength);
VM_NAME(saltLength);
VM_NAME(createdUtc);
inline constinit vm::Name utc_offset{"+00:00"};
inline constinit vm::Name zulu{"Z"};
inline constinit vm::Name comma{","};
inline constinit vm::Name colon{":"};
inline constinit vm::Name unsupported{"Unsupported hash algorithm: "};
inline constinit vm::Name iterations_range{"Iterations must be between 1 and "};
inline constinit vm::Keywords pbkdf2{"algorithm", "length", "salt", "iterations"};
inline constinit vm::Keywords dumps_options{"sort_keys", "separators"};
inline constinit vm::Keywords microsecond{"microsecond"};
}  // namespace n

namespace {

using namespace vm;

// A count or length outside 1..limit is refused before deriving: a stored record is untrusted,
// and each unit of either multiplies the work of one verification.
bool out_of_bounds(handle value, handle limit) { return value < nb::int_(1) || value > limit; }

// The bounds a record's count and length must keep for verification to derive with them.
bool beyond_bounds(const Scope& s, handle iterations, handle length) {
    return out_of_bounds(iterations, s[n::MAX_ITERATIONS]) ||
           out_of_bounds(length, s[n::MAX_OUTPUT_LENGTH]);
}

// int(mapping[key])
nb::int_ int_item(handle mapping, const Name& key) {
    object value = mapping[key];
    return nb::int_(value);
}

object b64_text(const Scope& s, handle data) {
    return s[n::base64].attr(n::b64encode)(data).attr(n::decode)(n::ascii);
}

// base64.b64decode(record[member], validate=True): the decoder is found before the member.
object b64_member(const Scope& s, handle record, const Name& member) {
    object decode = s[n::base64].attr(n::b64decode);
    object text = record[member];
    return call_kw(decode, {text}, n::validate, {Py_True});
}

// _HASHES.get(name.upper()): the hash class a record's name stands for, None outside the table
object hash_class_of(const Scope& s, handle name) {
    object lookup = s[n::_HASHES].attr(n::get);
    return lookup(name.attr(n::upper)());
}

// str(parameters.get("hashAlgorithm", HASH_ALGORITHM))
nb::str hash_name(const Scope& s, handle parameters) {
    object fallback = s[n::HASH_ALGORITHM];
    return nb::str(parameters.attr(n::get)(n::hashAlgorithm, fallback));
}

object derive(const Scope& s, handle password, handle salt, handle iterations, handle length,
              handle hash_algorithm) {
    object hash_class = hash_class_of(s, hash_algorithm);
    if (hash_class.is_none()) {
        object shown = format(hash_algorithm);
        // an f-string joins its parts as str, whatever their own `+`
        raise(s[n::VelMorError], checked(PyUnicode_Concat(n::unsupported.ptr(), shown.ptr())));
    }
    object kdf_class = s[n::PBKDF2HMAC];
    object kdf = call_kw(kdf_class, {}, n::pbkdf2, {hash_class(), length, salt, iterations});
    object derive_key = kdf.attr(n::derive);
    return derive_key(password.attr(n::encode)(n::utf_8));
}

object hash_password(const Scope& s, handle password, handle iterations) {
    if (!truthy(password)) raise(s[n::InvalidInputError], "Password cannot be empty");
    // Never write a record that verification would refuse.
    object limit = s[n::MAX_ITERATIONS];
    if (out_of_bounds(iterations, limit))
        raise(s[n::InvalidInputError], handle(n::iterations_range) + nb::str(limit));
    object salt_length = s[n::SALT_LENGTH];
    object salt = urandom(salt_length);
    object derive_fn = s[n::_derive];
    object output_length = s[n::OUTPUT_LENGTH];
    object hash_algorithm = s[n::HASH_ALGORITHM];
    object key = derive_fn(password, salt, iterations, output_length, hash_algorithm);

    // The record states the parameters the derivation actually used.
    nb::dict record;
    record[handle(n::algorithm)] = s[n::ALGORITHM];
    record[handle(n::version)] = s[n::VERSION];
    record[handle(n::salt)] = b64_text(s, salt);
    record[handle(n::hash)] = b64_text(s, key);
    nb::dict parameters;
    parameters[handle(n::hashAlgorithm)] = hash_algorithm;
    parameters[handle(n::iterations)] = iterations;
    parameters[handle(n::outputLength)] = output_length;
    parameters[handle(n::saltLength)] = salt_length;
    record[handle(n::parameters)] = parameters;
    // Read after the derivation, to the second.
    object now = s[n::datetime].attr(n::now)(s[n::timezone].attr(n::utc));
    object whole = call_kw(now.attr(n::replace), {}, n::microsecond, {nb::int_(0)});
    object stamp = whole.attr(n::isoformat)().attr(n::replace)(n::utc_offset, n::zulu);
    record[handle(n::createdUtc)] = stamp;

    object separators = nb::make_tuple(handle(n::comma), handle(n::colon));
    return call_kw(s[n::json].attr(n::dumps), {record}, n::dumps_options, {Py_True, separators});
}

object parse(const Scope& s, handle hash_json) {
    object value;
    try {
        value = s[n::json].attr(n::loads)(hash_json);
    } catch (error& e) {
        // A text the parser cannot read is no record: malformed JSON, and also a number past
        // the host's digit limit or bytes that are not text (ValueError), and nesting deeper
        // than the parser follows (RecursionError).
        Except except(e);
        if (!except.matches({s[n::json].attr(n::JSONDecodeError), PyExc_ValueError,
                             PyExc_RecursionError}))
            throw;
        return nb::none();
    }
    return PyDict_Check(value.ptr()) ? value : nb::none();
}

object verify_password(const Scope& s, handle password, handle hash_json) {
    if (!truthy(password)) return nb::bool_(false);
    object record = s[n::_parse](hash_json);
    if (record.is_none()) return nb::bool_(false);
    object derived, stored;
    try {
        object salt = b64_member(s, record, n::salt);
        stored = b64_member(s, record, n::hash);
        object parameters = record[n::parameters];
        object derive_fn = s[n::_derive];
        nb::int_ iterations = int_item(parameters, n::iterations);
        nb::int_ length = int_item(parameters, n::outputLength);
        nb::str name = hash_name(s, parameters);
        if (beyond_bounds(s, iterations, length)) return nb::bool_(false);
        derived = derive_fn(password, salt, iterations, length, name);
    } catch (error& e) {
        // A count that int() refuses as infinite (OverflowError) is as unreadable as one it
        // refuses as text.
        Except except(e);
        if (!except.matches({PyExc_KeyError, PyExc_ValueError, PyExc_TypeError,
                             PyExc_OverflowError, s[n::VelMorError]}))
            throw;
        return nb::bool_(false);
    }
    return s[n::hmac].attr(n::compare_digest)(derived, stored);
}

object needs_rehash(const Scope& s, handle hash_json) {
    object record = s[n::_parse](hash_json);
    if (record.is_none()) return nb::bool_(true);
    try {
        object parameters = record[n::parameters];
        nb::int_ iterations = int_item(parameters, n::iterations);
        if (iterations < s[n::UPGRADE_THRESHOLD]) return nb::bool_(true);
        // A record that verification refuses for its parameters must be replaced as well: read
        // them as verify_password does, its errors caught below.
        nb::int_ length = int_item(parameters, n::outputLength);
        nb::str name = hash_name(s, parameters);
        return nb::bool_(beyond_bounds(s, iterations, length) || hash_class_of(s, name).is_none());
    } catch (error& e) {
        if (!Except(e).matches({PyExc_KeyError, PyExc_ValueError, PyExc_TypeError,
                                PyExc_OverflowError}))
            throw;
        return nb::bool_(true);
    }
}

}  // namespace

void build_password_core(vm::Module& m) {
    m.import("base64");
    m.import("hmac");
    m.import("json");
    m.import("os");
    m.import_from("datetime", {"datetime", "timezone"});
    m.import_from("cryptography.hazmat.primitives", {"hashes"});
    m.import_from("cryptography.hazmat.primitives.kdf.pbkdf2", {"PBKDF2HMAC"});
    m.import_from("velmor.errors", {"InvalidInputError", "VelMorError"});
    m.set("ALGORITHM", nb::str("pbkdf2"));
    m.set("VERSION", 2);
    m.set("DEFAULT_ITERATIONS", 210000);
    m.set("SALT_LENGTH", 32);
    m.set("OUTPUT_LENGTH", 64);
    m.set("HASH_ALGORITHM", nb::str("SHA512"));
    m.set("UPGRADE_THRESHOLD", 210000);
    // Limits on what a record may ask of verification: ten times the default count (about a
    // second of SHA-512 work), and twice the longest digest (at most four PBKDF2 blocks).
    m.set("MAX_ITERATIONS", 2100000);
    m.set("MAX_OUTPUT_LENGTH", 128);
    vm::object hashes = m.get("hashes");
    nb::dict table;
    table["SHA512"] = hashes.attr("SHA512");
    table["SHA256"] = hashes.attr("SHA256");
    m.set("_HASHES", table);
    m.def<password::core::_derive, derive>();
    m.def<password::core::hash_password, hash_password>();
    m.def<password::core::_parse, parse>();
    m.def<password::core::verify_password, verify_password>();
    m.def<password::core::needs_rehash, needs_rehash>();
}

}  // namespace velmor
