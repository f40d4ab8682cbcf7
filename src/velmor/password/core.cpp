// velmor.password.core: PBKDF2-HMAC password records. A record is one compact JSON object with
// sorted keys: algorithm, createdUtc, hash, parameters {hashAlgorithm, iterations, outputLength,
// saltLength}, salt, version. Verification derives again with the stored parameters and compares
// in constant time; counts and lengths a record states are bounded before any derivation, since
// the record may come from an attacker.
#include "modules.hpp"

namespace velmor {

namespace {

using namespace vm;

namespace n {
VM_NAME(base64);
VM_NAME(b64encode);
VM_NAME(b64decode);
VM_NAME(hmac);
VM_NAME(compare_digest);
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
VM_NAME(derive);
VM_NAME(InvalidInputError);
VM_NAME(VelMorError);
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
VM_NAME(get);
VM_NAME(upper);
VM_NAME(encode);
VM_NAME(decode);
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
static Name utf_8{"utf-8"};
static Name ascii{"ascii"};
static Name utc_offset{"+00:00"};
static Name zulu{"Z"};
static Name comma{","};
static Name colon{":"};
static Name empty{""};
static Name unsupported{"Unsupported hash algorithm: "};
static Name iterations_range{"Iterations must be between 1 and "};
static Keywords pbkdf2{"algorithm", "length", "salt", "iterations"};
static Keywords dumps_options{"sort_keys", "separators"};
static Keywords validate{"validate"};
static Keywords microsecond{"microsecond"};
}  // namespace n

// A count or length outside 1..limit is refused before deriving: a stored record is untrusted,
// and each unit of either multiplies the work of one verification.
bool out_of_bounds(handle value, handle limit) { return value < nb::int_(1) || value > limit; }

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

// _derive(password: str, salt: bytes, iterations: int, length: int, hash_algorithm: str) -> bytes
object derive(const Scope& s, Args a) {
    handle password = a[0], salt = a[1], iterations = a[2], length = a[3], hash_algorithm = a[4];
    object hash_class = hash_class_of(s, hash_algorithm);
    if (hash_class.is_none()) {
        object shown = checked(PyObject_Format(hash_algorithm.ptr(), n::empty.ptr()));
        // an f-string joins its parts as str, whatever their own `+`
        raise(s[n::VelMorError], checked(PyUnicode_Concat(n::unsupported.ptr(), shown.ptr())));
    }
    object kdf_class = s[n::PBKDF2HMAC];
    object kdf = call_kw(kdf_class, {}, n::pbkdf2, {hash_class(), length, salt, iterations});
    object derive_key = kdf.attr(n::derive);
    return derive_key(password.attr(n::encode)(n::utf_8));
}

constexpr const char* hash_password_doc =
    "Hash a password with PBKDF2-HMAC-SHA-512 into a new password record (JSON text).\n\n"
    "The record is compact JSON with sorted keys: \"algorithm\", \"createdUtc\", \"hash\" (the 64-byte\n"
    "key, Base64), \"parameters\" (\"hashAlgorithm\", \"iterations\", \"outputLength\", \"saltLength\"),\n"
    "\"salt\" (32 random bytes, Base64) and \"version\". iterations defaults to 210000.\n\n"
    "Raises InvalidInputError for an empty password or a count outside 1 to\n"
    "MAX_ITERATIONS (2100000).";

// hash_password(password: str, iterations: int = DEFAULT_ITERATIONS) -> str
object hash_password(const Scope& s, Args a) {
    handle password = a[0], iterations = a[1];
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

// _parse(hash_json: str) -> dict | None
object parse(const Scope& s, Args a) {
    object value;
    try {
        value = call(attribute_of(s[n::json], n::loads), a[0]);
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

constexpr const char* verify_password_doc =
    "Check a password against a password record; return True or False.\n\n"
    "Derives the key again with the record's salt and parameters (SHA-512, or SHA-256 where the\n"
    "record names it) and compares in constant time.\n\n"
    "False for an empty or wrong password, and for a record that cannot be read or asks for more\n"
    "than MAX_ITERATIONS iterations or MAX_OUTPUT_LENGTH bytes. Raises TypeError for a record that\n"
    "is neither text nor bytes.";

// verify_password(password: str, hash_json: str) -> bool
object verify_password(const Scope& s, Args a) {
    handle password = a[0], hash_json = a[1];
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
        if (out_of_bounds(iterations, s[n::MAX_ITERATIONS]) ||
            out_of_bounds(length, s[n::MAX_OUTPUT_LENGTH]))
            return nb::bool_(false);
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

constexpr const char* needs_rehash_doc =
    "Tell whether a password record should be replaced with a new one; return True or False.\n\n"
    "True for a record made with fewer iterations than UPGRADE_THRESHOLD (210000), for one whose\n"
    "parameters verify_password refuses (a count or length it cannot read or that is out of\n"
    "bounds, a missing \"outputLength\", a hash it does not know), and for one that cannot be read.\n\n"
    "Raises TypeError for a record that is neither text nor bytes.";

// needs_rehash(hash_json: str) -> bool
object needs_rehash(const Scope& s, Args a) {
    object record = s[n::_parse](a[0]);
    if (record.is_none()) return nb::bool_(true);
    try {
        object parameters = record[n::parameters];
        nb::int_ iterations = int_item(parameters, n::iterations);
        if (iterations < s[n::UPGRADE_THRESHOLD]) return nb::bool_(true);
        // A record that verification refuses for its parameters must be replaced as well: read
        // them as verify_password does, its errors caught below.
        nb::int_ length = int_item(parameters, n::outputLength);
        nb::str name = hash_name(s, parameters);
        return nb::bool_(out_of_bounds(iterations, s[n::MAX_ITERATIONS]) ||
                         out_of_bounds(length, s[n::MAX_OUTPUT_LENGTH]) ||
                         hash_class_of(s, name).is_none());
    } catch (error& e) {
        if (!Except(e).matches({PyExc_KeyError, PyExc_ValueError, PyExc_TypeError,
                                PyExc_OverflowError}))
            throw;
        return nb::bool_(true);
    }
}

}  // namespace

void build_password_core(Module& m) {
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
    object hashes = m.get("hashes");
    nb::dict table;
    table["SHA512"] = hashes.attr("SHA512");
    table["SHA256"] = hashes.attr("SHA256");
    m.set("_HASHES", table);
    m.def("_derive", derive,
          {{"password", "str"}, {"salt", "bytes"}, {"iterations", "int"}, {"length", "int"},
           {"hash_algorithm", "str"}},
          "bytes");
    object default_iterations = m.get("DEFAULT_ITERATIONS");
    m.def("hash_password", hash_password,
          {{"password", "str"}, {"iterations", "int", default_iterations}}, "str",
                hash_password_doc);
    m.def("_parse", parse, {{"hash_json", "str"}}, "dict | None");
    m.def("verify_password", verify_password, {{"password", "str"}, {"hash_json", "str"}}, "bool",
          verify_password_doc);
    m.def("needs_rehash", needs_rehash, {{"hash_json", "str"}}, "bool", needs_rehash_doc);
}

}  // namespace velmor
