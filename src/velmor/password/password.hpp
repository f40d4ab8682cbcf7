// The functions of velmor.password.core, declared once: the core module defines them and the
// coroutine package and velmor.sync are made after the public ones.
#pragma once

#include "modules.hpp"

namespace velmor::password::core {

inline constexpr vm::Declaration _derive{
    "_derive",
    {{"password", "str"}, {"salt", "bytes"}, {"iterations", "int"}, {"length", "int"},
     {"hash_algorithm", "str"}},
    "bytes"};
inline constexpr vm::Declaration hash_password{
    "hash_password", {{"password", "str"}, {"iterations", "int", "DEFAULT_ITERATIONS"}}, "str",
    "Hash a password with PBKDF2-HMAC-SHA-512 into a new password record (JSON text).\n\n"
    "The record is compact JSON with sorted keys: \"algorithm\", \"createdUtc\", \"hash\" (the 64-byte\n"
    "key, Base64), \"parameters\" (\"hashAlgorithm\", \"iterations\", \"outputLength\", \"saltLength\"),\n"
    "\"salt\" (32 random bytes, Base64) and \"version\". iterations defaults to 210000.\n\n"
    "Raises InvalidInputError for an empty password or a count outside 1 to\n"
    "MAX_ITERATIONS (2100000)."};
inline constexpr vm::Declaration _parse{"_parse", {{"hash_json", "str"}}, "dict | None"};
inline constexpr vm::Declaration verify_password{
    "verify_password", {{"password", "str"}, {"hash_json", "str"}}, "bool",
    "Check a password against a password record; return True or False.\n\n"
    "Derives the key again with the record's salt and parameters (SHA-512, or SHA-256 where the\n"
    "record names it) and compares in constant time.\n\n"
    "False for an empty or wrong password, and for a record that cannot be read or asks for more\n"
    "than MAX_ITERATIONS iterations or MAX_OUTPUT_LENGTH bytes. Raises TypeError for a record that\n"
    "is neither text nor bytes."};
inline constexpr vm::Declaration needs_rehash{
    "needs_rehash", {{"hash_json", "str"}}, "bool",
    "Tell whether a password record should be replaced with a new one; return True or False.\n\n"
    "True for a record made with fewer iterations than UPGRADE_THRESHOLD (210000), for one whose\n"
    "parameters verify_password refuses (a count or length it cannot read or that is out of\n"
    "bounds, a missing \"outputLength\", a hash it does not know), and for one that cannot be read.\n\n"
    "Raises TypeError for a record that is neither text nor bytes."};

}  // namespace velmor::password::core
