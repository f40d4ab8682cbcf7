// velmor.quantum._oqs: the one place that touches the liboqs binding `oqs`. It names the
// mechanisms per strength, imports the binding at every call (never at load), and wraps the six
// operations so that each uses one binding object inside one block and reports failures as
// QuantumOperationError naming the mechanism. Nothing is cached between calls but a binding
// that could not load its native library: its import tries to fetch and build liboqs, which
// must not happen again at every call. Only bytes reach the binding: it turns an int into a
// buffer of that many bytes, which liboqs then overruns.
#include "quantum/mechanisms.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace velmor {

namespace n {
VM_NAME(oqs);
VM_NAME(_FRODO);
VM_NAME(_CMCE);
VM_NAME(_MLKEM);
VM_NAME(_MLDSA);
VM_NAME(_SLHDSA);
VM_NAME(KeyEncapsulation);
VM_NAME(Signature);
VM_NAME(export_secret_key);
VM_NAME(encap_secret);
VM_NAME(decap_secret);
VM_NAME(get_enabled_sig_mechanisms);
// the key of the binding's failed import in the interpreter's dictionary of extension state
inline constinit vm::Name binding_failure{"velmor.quantum._oqs.binding_failure"};
}  // namespace n

namespace quantum::_oqs {
constexpr vm::Declaration _oqs{"_oqs", {}};
constexpr vm::Declaration frodo_alg{"frodo_alg", {{"strength", "int"}}, "str"};
constexpr vm::Declaration cmce_alg{"cmce_alg", {{"strength", "int"}}, "str"};
constexpr vm::Declaration mlkem_alg{"mlkem_alg", {{"strength", "int"}}, "str"};
constexpr vm::Declaration sig_algorithm{"sig_algorithm", {{"kind", "str"}, {"strength", "int"}}, "str"};
constexpr vm::Declaration generate_keypair{"generate_keypair", {{"alg", "str"}}, "tuple[bytes, bytes]"};
constexpr vm::Declaration encapsulate{
    "encapsulate", {{"alg", "str"}, {"public_key", "bytes"}}, "tuple[bytes, bytes]"};
constexpr vm::Declaration decapsulate{
    "decapsulate", {{"alg", "str"}, {"secret_key", "bytes"}, {"ciphertext", "bytes"}}, "bytes"};
constexpr vm::Declaration sig_generate_keypair{
    "sig_generate_keypair", {{"alg", "str"}}, "tuple[bytes, bytes]"};
constexpr vm::Declaration sig_sign{
    "sig_sign", {{"alg", "str"}, {"secret_key", "bytes"}, {"message", "bytes"}}, "bytes"};
constexpr vm::Declaration sig_verify{
    "sig_verify",
    {{"alg", "str"}, {"public_key", "bytes"}, {"message", "bytes"}, {"signature", "bytes"}},
    "bool"};
}  // namespace quantum::_oqs

namespace {

using namespace vm;

constexpr const char* kInstallHint =
    "Post-quantum support requires the native liboqs binding. Install it with:  pip install "
    "'velmor[quantum]'";

constexpr const char* kNoNativeLibrary =
    "The native liboqs library was not found: the liboqs binding is installed but cannot load it. "
    "Point OQS_INSTALL_PATH at a liboqs 0.16 install, or build one in a checkout of velmor with:  "
    "make liboqs LIBOQS_SOURCE=path/to/liboqs-0.16.0.tar.gz  and point OQS_INSTALL_PATH at its "
    "build/liboqs. This process does not try again: start a new one.";

// raise QuantumOperationError(f"{prefix}{alg}): {e}") from e
[[noreturn]] void wrap(const Scope& s, const char* prefix, handle alg, const error& e) {
    raise_from(s, n::QuantumOperationError, e, [&] {
        return checked(PyUnicode_FromFormat("%s%S): %S", prefix, alg.ptr(), e.value().ptr()));
    });
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
    nb::int_ key(strength);
    return mapping[key];
}

// What a wrapper makes of an Exception raised in its protected part.
enum class Failure {
    wrapped,                   // QuantumOperationError(f"{prefix}{alg}): {e}") from e
    wrapped_but_quantum_pass,  // the same, but a QuantumOperationError passes unchanged
    false_verdict,             // verification answers False
};

// The protected part of every wrapper: `body` constructs one binding object and uses it inside
// one block. Exceptions that are not Exceptions (interrupts, exit requests) always pass.
template <typename Body>
object protect(const Scope& s, handle alg, const char* prefix, Failure failure, Body body) {
    try {
        return body();
    } catch (error& e) {
        if (failure == Failure::wrapped_but_quantum_pass && Except(e).matches(s[n::QuantumOperationError]))
            throw;
        if (!e.matches(PyExc_Exception)) throw;
        if (failure == Failure::false_verdict) return nb::bool_(false);
        wrap(s, prefix, alg, e);
    }
}

// The key-pair wrappers: with oqs.<constructor>(alg) as o: pk = o.generate_keypair() and
// sk = o.export_secret_key(); then (bytes(pk), bytes(sk)), after the block.
object key_pair(const Scope& s, handle alg, const Name& constructor, const char* prefix,
                Failure failure) {
    object oqs = s[n::_oqs]();
    return protect(s, alg, prefix, failure, [&] {
        object pk, sk;
        with_block(oqs.attr(constructor)(alg), [&](handle o) {
            pk = o.attr(n::generate_keypair)();
            sk = o.attr(n::export_secret_key)();
        });
        if (!pk) unbound("pk");
        object public_key = bytes_of(pk);
        if (!sk) unbound("sk");
        return nb::make_tuple(public_key, bytes_of(sk));
    });
}

// with binding_object as o: result = use(o); then result, None when __exit__ swallowed an error
template <typename Use>
object in_block(handle binding_object, Use use) {
    object result = nb::none();
    with_block(binding_object, [&](handle o) { result = use(o); });
    return result;
}

// The wrappers over a secret key: with oqs.<constructor>(alg, secret_key) as o: the result is
// bytes(o.<method>(data)).
object keyed_call(const Scope& s, handle alg, handle key, handle argument, const Name& constructor,
                  const Name& method, const char* prefix) {
    object oqs = s[n::_oqs]();
    object secret_key = buffer_bytes(key), data = buffer_bytes(argument);
    return protect(s, alg, prefix, Failure::wrapped, [&] {
        return in_block(oqs.attr(constructor)(alg, secret_key),
                        [&](handle o) { return bytes_of(o.attr(method)(data)); });
    });
}

// The binding's failed import is kept by the interpreter, not by this module: a second
// initialisation of the package (or a reload) finds it whole, and it lasts as the process does.
PyObject* extension_state() { return PyInterpreterState_GetDict(PyInterpreterState_Get()); }

// Drops the tracebacks of an exception and of its causes and contexts: their frames would keep
// the callers' locals (keys, messages) and the half-made binding module alive for good.
void drop_tracebacks(handle exception) {
    std::vector<object> pending{nb::borrow(exception)}, seen;
    while (!pending.empty()) {
        object e = std::move(pending.back());
        pending.pop_back();
        if (std::ranges::any_of(seen, [&](const object& o) { return o.is(e); })) continue;
        if (PyException_SetTraceback(e.ptr(), Py_None) < 0) fail();
        for (PyObject* linked : {PyException_GetCause(e.ptr()), PyException_GetContext(e.ptr())})
            if (linked) pending.push_back(nb::steal(linked));
        seen.push_back(std::move(e));
    }
}

void remember_failure(const error& e) {
    drop_tracebacks(e.value());
    if (PyObject* state = extension_state())
        if (PyDict_SetItem(state, n::binding_failure.ptr(), e.value().ptr()) < 0) fail();
}

// The failure that importing the binding ended with earlier in this process, as the pending
// error; none while `oqs` is in sys.modules, which the import answers from without running it.
std::optional<error> remembered_failure() {
    PyObject* state = extension_state();
    if (!state) return std::nullopt;
    PyObject* failure = nullptr;
    if (PyDict_GetItemRef(state, n::binding_failure.ptr(), &failure) < 0) fail();
    if (!failure) return std::nullopt;
    object kept = nb::steal(failure);
    int registered = PyMapping_HasKeyWithError(PyImport_GetModuleDict(), n::oqs.ptr());
    if (registered < 0) fail();
    if (registered) return std::nullopt;
    PyErr_SetRaisedException(kept.release().ptr());
    return std::optional<error>(std::in_place);
}

object lazy_import(const Scope& s) {
    if (std::optional<error> failure = remembered_failure())
        raise_from(s, n::QuantumOperationError, kNoNativeLibrary, *failure);
    try {
        return import_name(s, n::oqs);
    } catch (error& e) {
        if (e.matches(PyExc_ImportError)) raise_from(s, n::QuantumOperationError, kInstallHint, e);
        // The binding ends with SystemExit (or an OSError from git or CMake) when it finds no
        // liboqs and cannot build one: the library is missing, and the caller's process goes on.
        if (!e.matches(PyExc_SystemExit) && !e.matches(PyExc_OSError)) throw;
        remember_failure(e);
        raise_from(s, n::QuantumOperationError, kNoNativeLibrary, e);
    }
}

object frodo_alg(const Scope& s, handle strength) { return table_entry(s, n::_FRODO, strength); }
object cmce_alg(const Scope& s, handle strength) { return table_entry(s, n::_CMCE, strength); }
object mlkem_alg(const Scope& s, handle strength) { return table_entry(s, n::_MLKEM, strength); }

object sig_algorithm(const Scope& s, handle kind, handle strength) {
    if (kind.equal(nb::handle(n::mldsa))) return table_entry(s, n::_MLDSA, strength);
    object oqs = s[n::_oqs]();
    nb::set enabled(oqs.attr(n::get_enabled_sig_mechanisms)());
    object row = table_entry(s, n::_SLHDSA, strength);
    for (nb::handle candidate : row)
        if (enabled.contains(candidate)) return nb::borrow(candidate);
    object tried = table_entry(s, n::_SLHDSA, strength);
    object message = checked(PyUnicode_FromFormat("No SLH-DSA mechanism available; tried %S", tried.ptr()));
    raise(s[n::QuantumOperationError], message);
}

object generate_keypair(const Scope& s, handle alg) {
    return key_pair(s, alg, n::KeyEncapsulation, "KEM key generation failed (",
                    Failure::wrapped_but_quantum_pass);
}

object encapsulate(const Scope& s, handle alg, handle key) {
    object oqs = s[n::_oqs]();
    object public_key = buffer_bytes(key);
    return protect(s, alg, "KEM encapsulation failed (", Failure::wrapped, [&] {
        object ct, ss;
        with_block(oqs.attr(n::KeyEncapsulation)(alg), [&](handle kem) {
            unpack(kem.attr(n::encap_secret)(public_key), {&ct, &ss});
        });
        if (!ct) unbound("ct");
        object ciphertext = bytes_of(ct);
        return nb::make_tuple(ciphertext, bytes_of(ss));
    });
}

object decapsulate(const Scope& s, handle alg, handle secret_key, handle ciphertext) {
    return keyed_call(s, alg, secret_key, ciphertext, n::KeyEncapsulation, n::decap_secret,
                      "KEM decapsulation failed (");
}

object sig_generate_keypair(const Scope& s, handle alg) {
    return key_pair(s, alg, n::Signature, "Signature key generation failed (", Failure::wrapped);
}

object sig_sign(const Scope& s, handle alg, handle secret_key, handle message) {
    return keyed_call(s, alg, secret_key, message, n::Signature, n::sign, "Signing failed (");
}

object sig_verify(const Scope& s, handle alg, handle key, handle data, handle sig) {
    object oqs = s[n::_oqs]();
    object public_key = buffer_bytes(key), message = buffer_bytes(data), signature = buffer_bytes(sig);
    return protect(s, alg, nullptr, Failure::false_verdict, [&] {
        return in_block(oqs.attr(n::Signature)(alg), [&](handle sig) -> object {
            return nb::bool_(sig.attr(n::verify)(message, signature, public_key));
        });
    });
}

// {0: <name>, 1: ..., 2: ...} of a family's mechanisms: a mapping, so no other strength, not even
// -1, finds an entry
nb::dict by_strength(const quantum::Mechanism (&family)[3]) {
    nb::dict table;
    for (long strength = 0; strength < 3; ++strength)
        table[nb::int_(strength)] = nb::str(family[strength].name.data(), family[strength].name.size());
    return table;
}

// the same with the list of the names that a liboqs may give each mechanism
nb::dict by_strength(const quantum::Mechanism (&family)[3][2]) {
    nb::dict table;
    for (long strength = 0; strength < 3; ++strength) {
        nb::list candidates;
        for (const quantum::Mechanism& m : family[strength])
            candidates.append(nb::str(m.name.data(), m.name.size()));
        table[nb::int_(strength)] = candidates;
    }
    return table;
}

}  // namespace

void build_quantum_oqs(vm::Module& m) {
    using namespace quantum;
    m.import_from("velmor.errors", {"QuantumOperationError"});
    m.set("_FRODO", by_strength(kFrodo));
    m.set("_CMCE", by_strength(kMcEliece));
    m.set("_MLKEM", by_strength(kMlKem));
    m.set("_MLDSA", by_strength(kMlDsa));
    m.set("_SLHDSA", by_strength(kSlhDsa));
    m.def<_oqs::_oqs, lazy_import>();
    m.def<_oqs::frodo_alg, frodo_alg>();
    m.def<_oqs::cmce_alg, cmce_alg>();
    m.def<_oqs::mlkem_alg, mlkem_alg>();
    m.def<_oqs::sig_algorithm, sig_algorithm>();
    m.def<_oqs::generate_keypair, generate_keypair>();
    m.def<_oqs::encapsulate, encapsulate>();
    m.def<_oqs::decapsulate, decapsulate>();
    m.def<_oqs::sig_generate_keypair, sig_generate_keypair>();
    m.def<_oqs::sig_sign, sig_sign>();
    m.def<_oqs::sig_verify, sig_verify>();
}

}  // namespace velmor
