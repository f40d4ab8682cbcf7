// velmor.quantum._oqs: the one place that touches the liboqs binding `oqs`. It names the
// mechanisms per strength, imports the binding at every call (never at load), and wraps the six
// operations so that each uses one binding object inside one block and reports failures as
// QuantumOperationError naming the mechanism. Nothing is cached between calls. Only bytes reach
// the binding: it turns an int into a buffer of that many bytes, which liboqs then overruns.
#include "modules.hpp"

namespace velmor {

namespace {

using namespace vm;

namespace n {
VM_NAME(_oqs);
VM_NAME(oqs);
VM_NAME(_FRODO);
VM_NAME(_CMCE);
VM_NAME(_MLKEM);
VM_NAME(_MLDSA);
VM_NAME(_SLHDSA);
VM_NAME(QuantumOperationError);
VM_NAME(KeyEncapsulation);
VM_NAME(Signature);
VM_NAME(generate_keypair);
VM_NAME(export_secret_key);
VM_NAME(encap_secret);
VM_NAME(decap_secret);
VM_NAME(sign);
VM_NAME(verify);
VM_NAME(get_enabled_sig_mechanisms);
static Name mldsa{"mldsa"};
}  // namespace n

constexpr const char* kInstallHint =
    "Post-quantum support requires the native liboqs binding. Install it with:  pip install "
    "'velmor[quantum]'";

// raise QuantumOperationError(f"{prefix}{alg}): {e}") from e
[[noreturn]] void wrap(const Scope& s, const char* prefix, handle alg, const error& e) {
    object message = checked(PyUnicode_FromFormat("%s%S): %S", prefix, alg.ptr(), e.value().ptr()));
    raise_from(s[n::QuantumOperationError], message, e);
}

// What the host raises when a block's __exit__ swallowed the error before a value was bound.
[[noreturn]] void unbound(const char* variable) {
    PyErr_Format(PyExc_UnboundLocalError,
                 "cannot access local variable '%s' where it is not associated with a value", variable);
    fail();
}

// table[int(strength)]: the table is looked up before the strength is converted
object table_entry(const Scope& s, const Name& table, handle strength) {
    object mapping = s[table];
    object key = integer(strength);
    return checked(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

// _oqs()
object lazy_import(const Scope& s, Args) {
    try {
        return import_name(s, n::oqs);
    } catch (error& e) {
        // The binding ends with SystemExit (or an OSError from git or CMake) when it finds no
        // liboqs and cannot build one: the library is missing, and the caller's process goes on.
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_SystemExit) && !e.matches(PyExc_OSError))
            throw;
        raise_from(s[n::QuantumOperationError], kInstallHint, e);
    }
}

object frodo_alg(const Scope& s, Args a) { return table_entry(s, n::_FRODO, a[0]); }
object cmce_alg(const Scope& s, Args a) { return table_entry(s, n::_CMCE, a[0]); }
object mlkem_alg(const Scope& s, Args a) { return table_entry(s, n::_MLKEM, a[0]); }

// sig_algorithm(kind: str, strength: int) -> str
object sig_algorithm(const Scope& s, Args a) {
    handle kind = a[0], strength = a[1];
    if (truthy(checked(PyObject_RichCompare(kind.ptr(), n::mldsa.ptr(), Py_EQ))))
        return table_entry(s, n::_MLDSA, strength);
    object oqs = s[n::_oqs]();
    object enabled = checked(PySet_New(oqs.attr(n::get_enabled_sig_mechanisms)().ptr()));
    object row = table_entry(s, n::_SLHDSA, strength);
    object it = checked(PyObject_GetIter(row.ptr()));
    while (PyObject* next = PyIter_Next(it.ptr())) {
        object candidate = nb::steal(next);
        int found = PySet_Contains(enabled.ptr(), candidate.ptr());
        if (found < 0) fail();
        if (found) return candidate;
    }
    if (PyErr_Occurred()) fail();
    object tried = table_entry(s, n::_SLHDSA, strength);
    object message =
        checked(PyUnicode_FromFormat("No SLH-DSA mechanism available; tried %S", tried.ptr()));
    raise(s[n::QuantumOperationError], message);
}

// generate_keypair(alg: str) -> tuple[bytes, bytes]
object generate_keypair(const Scope& s, Args a) {
    handle alg = a[0];
    object oqs = s[n::_oqs]();
    try {
        object pk, sk;
        with_block(oqs.attr(n::KeyEncapsulation)(alg), [&](handle kem) {
            pk = kem.attr(n::generate_keypair)();
            sk = kem.attr(n::export_secret_key)();
        });
        if (!pk) unbound("pk");
        object public_key = bytes_of(pk);
        if (!sk) unbound("sk");
        return nb::make_tuple(public_key, bytes_of(sk));
    } catch (error& e) {
        if (Except(e).matches(s[n::QuantumOperationError]) || !is_exception(e)) throw;
        wrap(s, "KEM key generation failed (", alg, e);
    }
}

// encapsulate(alg: str, public_key: bytes) -> tuple[bytes, bytes]
object encapsulate(const Scope& s, Args a) {
    handle alg = a[0];
    object oqs = s[n::_oqs]();
    object public_key = buffer_bytes(a[1]);
    try {
        object ct, ss;
        with_block(oqs.attr(n::KeyEncapsulation)(alg), [&](handle kem) {
            unpack(kem.attr(n::encap_secret)(public_key), {&ct, &ss});
        });
        if (!ct) unbound("ct");
        return nb::make_tuple(bytes_of(ct), bytes_of(ss));
    } catch (error& e) {
        if (!is_exception(e)) throw;
        wrap(s, "KEM encapsulation failed (", alg, e);
    }
}

// decapsulate(alg: str, secret_key: bytes, ciphertext: bytes) -> bytes
object decapsulate(const Scope& s, Args a) {
    handle alg = a[0];
    object oqs = s[n::_oqs]();
    object secret_key = buffer_bytes(a[1]), ciphertext = buffer_bytes(a[2]);
    try {
        object result = nb::none();
        with_block(oqs.attr(n::KeyEncapsulation)(alg, secret_key), [&](handle kem) {
            result = bytes_of(kem.attr(n::decap_secret)(ciphertext));
        });
        return result;
    } catch (error& e) {
        if (!is_exception(e)) throw;
        wrap(s, "KEM decapsulation failed (", alg, e);
    }
}

// sig_generate_keypair(alg: str) -> tuple[bytes, bytes]
object sig_generate_keypair(const Scope& s, Args a) {
    handle alg = a[0];
    object oqs = s[n::_oqs]();
    try {
        object pk, sk;
        with_block(oqs.attr(n::Signature)(alg), [&](handle sig) {
            pk = sig.attr(n::generate_keypair)();
            sk = sig.attr(n::export_secret_key)();
        });
        if (!pk) unbound("pk");
        object public_key = bytes_of(pk);
        if (!sk) unbound("sk");
        return nb::make_tuple(public_key, bytes_of(sk));
    } catch (error& e) {
        if (!is_exception(e)) throw;
        wrap(s, "Signature key generation failed (", alg, e);
    }
}

// sig_sign(alg: str, secret_key: bytes, message: bytes) -> bytes
object sig_sign(const Scope& s, Args a) {
    handle alg = a[0];
    object oqs = s[n::_oqs]();
    object secret_key = buffer_bytes(a[1]), message = buffer_bytes(a[2]);
    try {
        object result = nb::none();
        with_block(oqs.attr(n::Signature)(alg, secret_key), [&](handle sig) {
            result = bytes_of(sig.attr(n::sign)(message));
        });
        return result;
    } catch (error& e) {
        if (!is_exception(e)) throw;
        wrap(s, "Signing failed (", alg, e);
    }
}

// sig_verify(alg: str, public_key: bytes, message: bytes, signature: bytes) -> bool
object sig_verify(const Scope& s, Args a) {
    handle alg = a[0];
    object oqs = s[n::_oqs]();
    object public_key = buffer_bytes(a[1]), message = buffer_bytes(a[2]), signature = buffer_bytes(a[3]);
    try {
        object result = nb::none();
        with_block(oqs.attr(n::Signature)(alg), [&](handle sig) {
            bool ok = truthy(sig.attr(n::verify)(message, signature, public_key));
            result = nb::bool_(ok);
        });
        return result;
    } catch (error& e) {
        if (!is_exception(e)) throw;
        return nb::bool_(false);
    }
}

object table(std::initializer_list<const char*> names) {
    object d = checked(PyDict_New());
    long key = 0;
    for (const char* name : names) {
        object k = number(key++);
        if (PyDict_SetItem(d.ptr(), k.ptr(), checked(PyUnicode_FromString(name)).ptr()) < 0) fail();
    }
    return d;
}

object candidates(std::initializer_list<std::pair<const char*, const char*>> rows) {
    object d = checked(PyDict_New());
    long key = 0;
    for (const auto& [first, second] : rows) {
        object k = number(key++);
        object row = checked(PyList_New(0));
        if (PyList_Append(row.ptr(), checked(PyUnicode_FromString(first)).ptr()) < 0 ||
            PyList_Append(row.ptr(), checked(PyUnicode_FromString(second)).ptr()) < 0 ||
            PyDict_SetItem(d.ptr(), k.ptr(), row.ptr()) < 0)
            fail();
    }
    return d;
}

}  // namespace

void build_quantum_oqs(Module& m) {
    m.import_from("velmor.errors", {"QuantumOperationError"});
    m.set("_FRODO", table({"FrodoKEM-640-AES", "FrodoKEM-976-AES", "FrodoKEM-1344-AES"}));
    m.set("_CMCE", table({"Classic-McEliece-6688128", "Classic-McEliece-6960119",
                          "Classic-McEliece-8192128"}));
    m.set("_MLKEM", table({"ML-KEM-512", "ML-KEM-768", "ML-KEM-1024"}));
    m.set("_MLDSA", table({"ML-DSA-44", "ML-DSA-65", "ML-DSA-87"}));
    m.set("_SLHDSA", candidates({{"SLH-DSA-SHA2-128f", "SLH_DSA_PURE_SHA2_128F"},
                                 {"SLH-DSA-SHA2-192f", "SLH_DSA_PURE_SHA2_192F"},
                                 {"SLH-DSA-SHA2-256f", "SLH_DSA_PURE_SHA2_256F"}}));
    m.def("_oqs", lazy_import, {});
    m.def("frodo_alg", frodo_alg, {{"strength", "int"}}, "str");
    m.def("cmce_alg", cmce_alg, {{"strength", "int"}}, "str");
    m.def("mlkem_alg", mlkem_alg, {{"strength", "int"}}, "str");
    m.def("sig_algorithm", sig_algorithm, {{"kind", "str"}, {"strength", "int"}}, "str");
    m.def("generate_keypair", generate_keypair, {{"alg", "str"}}, "tuple[bytes, bytes]");
    m.def("encapsulate", encapsulate, {{"alg", "str"}, {"public_key", "bytes"}}, "tuple[bytes, bytes]");
    m.def("decapsulate", decapsulate, {{"alg", "str"}, {"secret_key", "bytes"}, {"ciphertext", "bytes"}},
          "bytes");
    m.def("sig_generate_keypair", sig_generate_keypair, {{"alg", "str"}}, "tuple[bytes, bytes]");
    m.def("sig_sign", sig_sign, {{"alg", "str"}, {"secret_key", "bytes"}, {"message", "bytes"}}, "bytes");
    m.def("sig_verify", sig_verify,
          {{"alg", "str"}, {"public_key", "bytes"}, {"message", "bytes"}, {"signature", "bytes"}}, "bool");
}

}  // namespace velmor
