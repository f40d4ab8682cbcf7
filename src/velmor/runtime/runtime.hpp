// The small runtime that gives the library's C++ code the semantics of Python modules:
// interned names, late lookup in a module's namespace, functions with a Python surface,
// coroutine functions that run their core function on a worker thread, error helpers and the
// builder that creates and registers every module of the package.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

namespace vm {

namespace nb = nanobind;
using nb::handle;
using nb::object;
using error = nb::python_error;

// ---------------------------------------------------------------------------------------------
// Names

// An identifier, interned on first use and kept for the life of the process (names are
// constants, not state). Declare them with VM_NAME at namespace scope.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    PyObject* ptr() const {
        if (!obj_) intern();
        return obj_;
    }
    operator handle() const { return ptr(); }
    const char* text() const { return text_; }

private:
    friend struct Scope;
    void intern() const;
    const char* text_;
    mutable PyObject* obj_ = nullptr;
    // The last lookup through a Scope: valid while no watched namespace changed since.
    mutable PyObject* cached_globals_ = nullptr;
    mutable PyObject* cached_value_ = nullptr;
    mutable unsigned long cached_generation_ = 0;
    // The last read of this name as an attribute of a module (attribute_of).
    friend object attribute_of(handle, const Name&);
    mutable PyObject* attr_dict_ = nullptr;
    mutable PyObject* attr_value_ = nullptr;
    mutable unsigned long attr_generation_ = 0;
};

#define VM_NAME(id) static ::vm::Name id{#id}

// ---------------------------------------------------------------------------------------------
// Late lookup

// The namespace a function reads its module-level names from: its module's dictionary, then
// the built-ins. Every read happens at the moment of use, so rebinding a module attribute
// changes the next call.
struct Scope {
    PyObject* globals;
    PyObject* builtins;
    object operator[](const Name& name) const;  // NameError when neither has the name
    object lookup(const Name& name) const;       // the uncached lookup behind operator[]
};

// Namespaces that functions read from are watched: any change to one of them moves this
// generation on, which drops every cached lookup at once.
unsigned long namespace_generation();
void watch_namespace(PyObject* dict);

// getattr(obj, name). For a module, whose attributes are the entries of its watched dictionary,
// the last answer is kept on the Name until that dictionary changes.
object attribute_of(handle obj, const Name& name);

// The bound arguments of one call, in parameter order (defaults filled in).
struct Args {
    PyObject* const* values;
    handle operator[](std::size_t i) const { return values[i]; }
};

using Impl = object (*)(const Scope&, Args);

// Direct calls for hot paths: every argument a handle, object or Name, passed borrowed.
object checked(PyObject* result);
namespace detail {
inline PyObject* arg_ptr(handle h) { return h.ptr(); }
inline PyObject* arg_ptr(const Name& n) { return n.ptr(); }
}  // namespace detail

// fn(args...)
template <typename... A>
object call(handle fn, const A&... args) {
    PyObject* stack[1 + sizeof...(A)] = {nullptr, detail::arg_ptr(args)...};
    return checked(PyObject_Vectorcall(fn.ptr(), stack + 1,
                                       sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self.name(args...), without making a bound method
template <typename... A>
object call_method(handle self, const Name& name, const A&... args) {
    PyObject* stack[] = {self.ptr(), detail::arg_ptr(args)...};
    return checked(PyObject_VectorcallMethod(name.ptr(), stack,
                                             (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr));
}

// Keyword names of a call, as the tuple that vectorcall takes; made once on first use.
class Keywords {
public:
    constexpr Keywords(std::initializer_list<const char*> names) {
        for (const char* name : names) names_[size_++] = name;
    }
    PyObject* ptr() const {
        if (!tuple_) make();
        return tuple_;
    }
    std::size_t size() const { return size_; }

private:
    void make() const;
    const char* names_[4] = {};
    std::size_t size_ = 0;
    mutable PyObject* tuple_ = nullptr;
};

// fn(*positional, **dict(zip(keywords, keyword_values))), all values borrowed handles.
object call_kw(handle fn, std::initializer_list<handle> positional, const Keywords& keywords,
               std::initializer_list<handle> keyword_values);

// ---------------------------------------------------------------------------------------------
// Errors. Family code raises with these and catches vm::error; the function boundary turns
// every C++ exception back into the pending Python exception.

// raise cls(message), chained implicitly to the exception the caller is handling, if any.
[[noreturn]] void raise(handle cls, const char* message);
[[noreturn]] void raise(handle cls, handle message);
// raise cls(message) from cause, inside the handler of cause.
[[noreturn]] void raise_from(handle cls, const char* message, const error& cause);
[[noreturn]] void raise_from(handle cls, handle message, const error& cause);
// raise cls(prefix + str(cause)) from cause.
[[noreturn]] void raise_prefixed(handle cls, const char* prefix, const error& cause);
// The pending Python error as a C++ exception.
[[noreturn]] void fail();

// While alive, `e` is the exception being handled, as inside the host's `except` clause: an
// error raised meanwhile (a failed lookup of the class to match, say) gets it as its context.
class Handling {
public:
    explicit Handling(const error& e) : Handling(e.value()) {}
    explicit Handling(handle exception);
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* previous_;
};

// The `except` clause of a caught exception. While it lives the exception is the one being
// handled, so an error raised meanwhile (the lookup of a rebound class, say) gets it as its
// context. matches() tests it as the host's `except target:` does: the target must be an
// exception class or a flat tuple of them, else TypeError, and nothing is searched deeper.
class Except {
public:
    explicit Except(const error& e) : Except(e.value()) {}
    explicit Except(handle exception) : exception_(exception), handling_(exception) {}
    bool matches(handle target) const;
    // `except (a, b, ...):` with the targets evaluated in order before any is matched
    bool matches(std::initializer_list<handle> targets) const;

private:
    handle exception_;
    Handling handling_;
};

// Whether a caught exception derives from the host's Exception (and not only BaseException).
bool is_exception(const error& e);
// str(e) of a caught exception.
object text_of(const error& e);

// ---------------------------------------------------------------------------------------------
// Small conversions with the host's semantics

bool truthy(handle value);          // the host's truth test
Py_ssize_t length(handle value);    // the host's len()
object checked(PyObject* result);   // steal a new reference, or throw the pending error
object bytes_of(handle value);      // the host's bytes(value); a bytes object is returned itself
// bytes(memoryview(value)): exact bytes are returned themselves, any other bytes-like object is
// copied, anything else raises memoryview's TypeError ("a bytes-like object is required, ...")
object buffer_bytes(handle value);
object number(Py_ssize_t value);    // a host int
object boolean(bool value);         // True or False
object add(handle a, handle b);     // a + b
bool compare(handle a, handle b, int op);  // a <op> b as a truth value (op: Py_EQ, Py_LT, ...)
object urandom(handle size);        // urandom of the host's os module, looked up at each call

// ---------------------------------------------------------------------------------------------
// Statements and operators of the host, for code that works on sequences and context managers

// The open end of a slice (None in `x[a:]`).
constexpr Py_ssize_t kEnd = PY_SSIZE_T_MAX;

object slice(handle seq, Py_ssize_t start, Py_ssize_t stop);  // seq[start:stop]
object slice(handle seq, handle start, handle stop);          // the same, bounds as objects (None open)
object item(handle seq, Py_ssize_t index);                    // seq[index]
object integer(handle value);                                 // the host's int(value)
// a + b + ...: one copy when every part is bytes, the host's `+` otherwise.
object join(std::initializer_list<handle> parts);
// `a, b, ... = iterable`: exactly out.size() items, with the host's unpacking errors.
void unpack(handle iterable, std::initializer_list<object*> out);

// `with cm as value: body(value)`. __enter__ and __exit__ are looked up on the type as the
// host's with statement does; __exit__ runs exactly once, with three None after a normal end or
// with the type, value and traceback of the body's exception, which goes on unless __exit__
// answers true. Returns false when __exit__ suppressed an exception of the body.
bool with_block(handle cm, const std::function<void(handle)>& body);

// `import name` inside a function (absolute, no names listed): the __import__ of the function's
// built-ins, so an import hook installed there sees the call as it would in the host.
object import_name(const Scope& s, handle name);

// ---------------------------------------------------------------------------------------------
// The text forms shared by the families that pair a text function with a bytes function

bool is_empty_text(handle value);                      // value == "", an equality test
object strict_b64decode(const Scope& s, handle text);  // base64.b64decode(text, validate=True)
// base64.b64encode(<bytes_function>(text.encode("utf-8"), key)).decode("ascii")
object encode_to_base64(const Scope& s, const Name& bytes_function, handle text, handle key);
// <bytes_function>(base64.b64decode(text, validate=True), key).decode("utf-8"), where a failed
// decoding becomes DecryptionError "Ciphertext is not valid Base64" and undecodable data
// DecryptionError "Decrypted data is not valid UTF-8", each with its cause.
object decode_from_base64(const Scope& s, const Name& bytes_function, handle text, handle key);

// ---------------------------------------------------------------------------------------------
// Modules

struct Param {
    const char* name;
    const char* annotation = nullptr;
    handle default_value = handle();
};

class Module {
public:
    explicit Module(handle module);

    handle object_() const { return module_; }
    const char* name() const;

    // module-level binding of a value
    void set(const char* name, handle value);
    void set(const char* name, long value);
    // read a name bound earlier while the module loads (defaults, facades)
    object get(const char* name) const;

    // `import name` of a host module (binds the top-level name)
    void import(const char* module);
    // `from module import a, b`: module is absolute; the package's own modules load on demand
    void import_from(const char* module, std::initializer_list<const char*> names);
    // `from module import name as alias`
    void import_from_as(const char* module, const char* name, const char* alias);

    // a plain function; defaults are evaluated now and kept
    void def(const char* name, Impl impl, std::initializer_list<Param> params,
             const char* result = nullptr, const char* doc = nullptr);
    // a coroutine function whose await runs `core.<core_function>` through asyncio.to_thread;
    // it shows the core function's docstring
    void coroutine(const char* name, const char* core_function, std::initializer_list<Param> params,
                   const char* result = nullptr);

    void all(std::initializer_list<const char*> names);

    // the equivalent of a class statement: metaclass of the first base called with the name,
    // the bases and a namespace holding __module__, __qualname__ and `attributes` in order
    object make_class(const char* name, std::initializer_list<handle> bases,
                      const std::vector<std::pair<const char*, handle>>& attributes = {});

private:
    handle module_;
    PyObject* dict_;
};

enum ModuleFlags : unsigned {
    Plain = 0,
    Package = 1,      // has __path__, may hold sub-modules
    Annotations = 2,  // binds `annotations`, the __future__ feature, first
};

struct ModuleDef {
    const char* name;
    void (*build)(Module&);
    unsigned flags;
};

// The package's table of modules, defined beside PyInit.
const ModuleDef* find_module(std::string_view name);

// Python's import of a dotted name: the parent first, then the module, which is made and
// registered in sys.modules when it is one of the package's own and not loaded yet.
object import_module(std::string_view name);

// The value of `from module import name` (module absolute), for imports made inside a call:
// the module is taken from sys.modules when loaded, a sub-module of that name loads on demand.
object import_from(const char* module, const char* name);

// The package's module object, for the import system to register: made only when the runtime's
// types (readied once per process: types are not module state) and the importer of the
// package's sub-modules are in place.
object create_package(handle spec);

// Runs the package's body on the module object that create_package made.
void exec_module(handle module, const ModuleDef& def);

}  // namespace vm

// A Name passed as an argument of a call is its interned text.
namespace nanobind::detail {
template <>
struct type_caster<vm::Name> {
    static constexpr auto Name = const_name("str");
    template <typename T>
    using Cast = vm::Name;
    static handle from_cpp(const vm::Name& name, rv_policy, cleanup_list*) noexcept {
        try {
            return Py_NewRef(name.ptr());
        } catch (vm::error& e) {
            e.restore();
            return handle();
        }
    }
};
}  // namespace nanobind::detail
