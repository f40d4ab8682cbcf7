// The small runtime that gives the library's C++ code the semantics of Python modules. It knows
// no family of the package: the package hands it its table of modules and its declarations.
//
// Code works on nanobind's handles, whose operators and casts are the host's; the runtime's own
// handle and object add what a module's code does most: calls and method calls that go straight
// to the host's vectorcall, and attributes read through interned names. Beside them: late lookup
// in a module's namespace, functions and coroutine functions with a Python surface made from one
// declaration each, the host's raise/except semantics, a few host operations and the module
// builder with the finder of the package's sub-modules.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cxxabi.h>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace vm {

namespace nb = nanobind;
using error = nb::python_error;

class handle;
class object;
class Attribute;

// ---------------------------------------------------------------------------------------------
// Names

// An identifier, interned on first use and kept for the life of the process (names are
// constants, not state), that also caches its last lookup.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    PyObject* ptr() const {
        if (!obj_) intern();
        return obj_;
    }
    operator nb::handle() const { return ptr(); }
    const char* text() const { return text_; }

private:
    friend struct Scope;
    friend object attribute_of(nb::handle, const Name&);
    void intern() const;
    const char* text_;
    mutable PyObject* obj_ = nullptr;
    // The last lookups through a Scope, one per module namespace (a name declared once serves
    // every module that uses it): valid while no watched namespace changed since.
    struct Lookup {
        PyObject* globals = nullptr;
        PyObject* value = nullptr;
        unsigned long generation = 0;
    };
    static constexpr int kLookups = 4;
    mutable Lookup lookups_[kLookups] = {};  // the most recent first
    // The last read of this name as an attribute of a module (attribute_of).
    mutable PyObject* attr_dict_ = nullptr;
    mutable PyObject* attr_value_ = nullptr;
    mutable unsigned long attr_generation_ = 0;
};

// A name whose text is its identifier, declared at namespace scope: one object for every file
// that declares it in the same namespace.
#define VM_NAME(id) inline constinit ::vm::Name id{#id}

// ---------------------------------------------------------------------------------------------
// Handles and objects

// steal a new reference, or throw the pending error (nanobind keeps its raise_if_null internal)
object checked(PyObject* result);
// The pending Python error as a C++ exception (SystemError if none is pending).
[[noreturn]] void fail();

namespace detail {
// What a call hands to the host: a handle's object, a Name's interned text, an attribute's value.
inline PyObject* arg_ptr(nb::handle h) { return h.ptr(); }
inline PyObject* arg_ptr(const Name& n) { return n.ptr(); }
PyObject* arg_ptr(const Attribute& a);
}  // namespace detail

// nanobind's handle and object, called and read as a module's code calls and reads: fn(args...)
// is the host's vectorcall with borrowed arguments (nanobind's own call does some sixty
// instructions more of generic work), and obj.attr(name) an attribute that is read when used
// and called as a method, without a bound method.
template <typename Base>
class Value : public Base {
public:
    using Base::Base;
    using Base::attr;
    Value() = default;
    Value(const Base& b) : Base(b) {}
    Value(Base&& b) noexcept : Base(std::move(b)) {}

    template <typename... A>
    NB_INLINE object operator()(const A&... args) const;
    NB_INLINE Attribute attr(const Name& name) const;
};

class handle : public Value<nb::handle> {
public:
    using Value::Value;
    handle() = default;
    handle(const nb::handle& h) : Value(h) {}
};

class object : public Value<nb::object> {
public:
    using Value::Value;
    object() = default;
    object(const nb::object& o) : Value(o) {}
    object(nb::object&& o) noexcept : Value(std::move(o)) {}
};

// getattr(obj, name). For a module, whose attributes are the entries of its watched dictionary,
// the last answer is kept on the Name until that dictionary changes.
object attribute_of(nb::handle obj, const Name& name);

// obj.name: read (getattr, cached for a module whose namespace has not changed) the first time
// its value is wanted, called as obj.name(args...) without a bound method, or assigned.
class Attribute {
public:
    Attribute(nb::handle obj, const Name& name) : obj_(obj), name_(name) {}
    NB_INLINE const object& value() const {
        if (!value_) value_ = attribute_of(obj_, name_);
        return value_;
    }
    operator object() const& { return value(); }
    // a temporary hands its value over
    operator object() && {
        value();
        return std::move(value_);
    }
    PyObject* ptr() const { return value().ptr(); }
    Attribute attr(const Name& name) const { return Attribute(value(), name); }
    template <typename... A>
    NB_INLINE object operator()(const A&... args) const;
    void operator=(nb::handle value) const;

private:
    nb::handle obj_;
    const Name& name_;
    mutable object value_;
};

inline PyObject* detail::arg_ptr(const Attribute& a) { return a.ptr(); }

template <typename Base>
template <typename... A>
NB_INLINE object Value<Base>::operator()(const A&... args) const {
    PyObject* stack[1 + sizeof...(A)] = {nullptr, detail::arg_ptr(args)...};
    return checked(PyObject_Vectorcall(this->ptr(), stack + 1,
                                       sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <typename Base>
NB_INLINE Attribute Value<Base>::attr(const Name& name) const {
    return Attribute(*this, name);
}

template <typename... A>
NB_INLINE object Attribute::operator()(const A&... args) const {
    // A module's attribute comes from its watched namespace; anything else is asked for the
    // method, as the host's method call does.
    if (PyModule_CheckExact(obj_.ptr())) return value()(args...);
    PyObject* stack[] = {obj_.ptr(), detail::arg_ptr(args)...};
    return checked(PyObject_VectorcallMethod(name_.ptr(), stack,
                                             (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr));
}

// ---------------------------------------------------------------------------------------------
// Late lookup

// The namespace a function reads its module-level names from: its module's dictionary, then
// the built-ins. Every read happens at the moment of use, so rebinding a module attribute
// changes the next call; the answer is cached on the Name until a watched namespace changes.
//
// A read also stands where the host's bytecode checks, after every call, whether another thread
// asked for the GIL: a function's reads come between its calls. Handing the GIL over there, as
// bytecode does, keeps a run of calls from holding it until a call into another extension runs
// bytecode of its own, and lets a daemon thread that the host ends at exit end here, in frames
// that survive it, rather than inside that extension.
namespace detail {
// Moved on at every change of a watched namespace (names.cpp); a cached lookup holds the
// generation it was made in, 0 when namespaces cannot be watched.
extern unsigned long namespace_generation;

// The bit of a thread's eval_breaker by which another thread asks it for the GIL (CPython 3.13's
// _PY_GIL_DROP_REQUEST_BIT). From 3.14 on a thread ended at exit hangs instead of unwinding.
constexpr uintptr_t kGilDropRequest = 1;

inline void hand_over_if_asked(PyThreadState* thread) {
#if PY_VERSION_HEX < 0x030E0000
    if (__atomic_load_n(&thread->eval_breaker, __ATOMIC_RELAXED) & kGilDropRequest) {
        PyEval_SaveThread();
        PyEval_RestoreThread(thread);
    }
#else
    (void)thread;
#endif
}
}  // namespace detail

struct Scope {
    PyObject* globals;
    PyObject* builtins;
    PyThreadState* thread;  // the calling thread's state

    // NameError when neither has the name
    object operator[](const Name& name) const {
        detail::hand_over_if_asked(thread);
        const Name::Lookup& last = name.lookups_[0];
        if (last.globals == globals && last.generation == detail::namespace_generation)
            return nb::borrow(last.value);
        return look_up(name);
    }

private:
    object look_up(const Name& name) const;
};

// The bound arguments of one call, in parameter order (defaults filled in).
struct Args {
    PyObject* const* values;
    handle operator[](std::size_t i) const { return nb::handle(values[i]); }
};

using Impl = object (*)(const Scope&, Args);

// ---------------------------------------------------------------------------------------------
// Keyword calls. nanobind's nb::arg() also builds the tuple of keyword names at every call;
// these make it once.

namespace detail {
PyObject* keyword_tuple(const char* const* names, std::size_t count);
}  // namespace detail

// The keyword names of a call, e.g. `inline constinit Keywords validate{"validate"};`.
template <std::size_t N>
class Keywords {
public:
    template <typename... Names>
    constexpr Keywords(Names... names) : names_{names...} {}
    PyObject* ptr() const {
        if (!tuple_) tuple_ = detail::keyword_tuple(names_, N);
        return tuple_;
    }

private:
    const char* names_[N];
    mutable PyObject* tuple_ = nullptr;
};
template <typename... Names>
Keywords(Names...) -> Keywords<sizeof...(Names)>;

// fn(*positional, **dict(zip(keywords, values))); every value borrowed.
template <std::size_t P, std::size_t N>
object call_kw(nb::handle fn, const nb::handle (&positional)[P], const Keywords<N>& keywords,
               const nb::handle (&values)[N]) {
    PyObject* stack[P + N];
    for (std::size_t i = 0; i < P; ++i) stack[i] = positional[i].ptr();
    for (std::size_t i = 0; i < N; ++i) stack[P + i] = values[i].ptr();
    return checked(PyObject_Vectorcall(fn.ptr(), stack, P, keywords.ptr()));
}
// fn(**dict(zip(keywords, values))), written call_kw(fn, {}, keywords, {values...}).
template <std::size_t N>
object call_kw(nb::handle fn, std::nullptr_t, const Keywords<N>& keywords,
               const nb::handle (&values)[N]) {
    PyObject* stack[N];
    for (std::size_t i = 0; i < N; ++i) stack[i] = values[i].ptr();
    return checked(PyObject_Vectorcall(fn.ptr(), stack, 0, keywords.ptr()));
}

// ---------------------------------------------------------------------------------------------
// Errors. Code raises with these and catches vm::error (tested with its matches()); the
// boundary of every C entry point turns every C++ exception back into the pending Python
// exception. nb::raise_from sets the error from the class directly; these call the class as the
// host's raise statement does (so a rebound class fails with the host's TypeError).

// raise cls(message), chained implicitly to the exception the caller is handling, if any.
[[noreturn]] void raise(nb::handle cls, const char* message);
[[noreturn]] void raise(nb::handle cls, nb::handle message);

// Inside a catch block: the C++ exception being handled as the host's pending error. A Python
// error is restored as it is, std::bad_alloc becomes MemoryError, anything else SystemError.
void set_error_of_current_exception() noexcept;

// Every C entry point of the extension (type slots, the calls of functions and coroutines, the
// importer's methods, the module's slots) runs its body through this boundary: a C++ exception
// becomes the host's pending error and the entry point returns `failed`. The forced unwind with
// which the host ends a thread at exit passes on: it must reach the thread's start.
template <typename Body, typename Result>
Result boundary(Body&& body, Result failed) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        set_error_of_current_exception();
        return failed;
    }
}

// While alive, `e` is the exception being handled, as inside the host's `except` clause: an
// error raised meanwhile (a failed lookup of the class to match, say) gets it as its context.
class Handling {
public:
    explicit Handling(const error& e) : Handling(e.value()) {}
    explicit Handling(nb::handle exception);
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* previous_;
};

// The raise of a handler, `raise <cls>(message) from cause` in the body of `except ... as
// cause:`. As in that body, the class is read from the function's namespace and the message made
// while `cause` is the exception being handled, so an error of either (a class deleted from the
// module, a str() that fails) has it as its context.
[[noreturn]] void raise_from(const Scope& s, const Name& cls, const char* message,
                             const error& cause);
// raise <cls>(prefix + str(cause)) from cause
[[noreturn]] void raise_prefixed(const Scope& s, const Name& cls, const char* prefix,
                                 const error& cause);
namespace detail {
// raise cls(message) from cause, with cause already the exception being handled
[[noreturn]] void raise_handled(nb::handle cls, nb::handle message, const error& cause);
}  // namespace detail
// raise <cls>(message()) from cause, for a message made of other values: message() runs after
// the class is read, as the host evaluates the raise.
template <typename Message>
[[noreturn]] void raise_from(const Scope& s, const Name& cls, const error& cause,
                             Message message) {
    Handling handling(cause);
    object target = s[cls];
    detail::raise_handled(target, message(), cause);
}

// The `except` clause of a caught exception, for targets that are module-level names (which a
// caller may rebind). While it lives the exception is the one being handled (Handling).
// matches() tests it as the host's `except target:` does, which python_error::matches() does
// not: the target must be an exception class or a flat tuple of them, else TypeError.
class Except {
public:
    explicit Except(const error& e) : Except(e.value()) {}
    explicit Except(nb::handle exception) : exception_(exception), handling_(exception) {}
    bool matches(nb::handle target) const;
    // `except (a, b, ...):` with the targets evaluated in order before any is matched
    bool matches(std::initializer_list<nb::handle> targets) const;

private:
    nb::handle exception_;
    Handling handling_;
};

// ---------------------------------------------------------------------------------------------
// Host operations that nanobind does not offer

// urandom of the host's os module as sys.modules has it, whatever a module's `os` is bound to.
object urandom(nb::handle size);
// The host's bytes(value) (__bytes__ first); nb::bytes is PyBytes_FromObject, which skips it.
object bytes_of(nb::handle value);
// bytes([a, b, ...]) with the host's errors for a value that is no byte
object bytes_of_items(std::initializer_list<nb::handle> items);
// bytes(memoryview(value)): exact bytes are returned themselves, any other bytes-like object is
// copied, anything else raises memoryview's TypeError ("a bytes-like object is required, ...");
// nb::bytes would also take an iterable of ints.
object buffer_bytes(nb::handle value);
// int.from_bytes(data, order), order a Name ("little" or "big")
object int_from_bytes(nb::handle data, const Name& order);
// format(value, ""), as an f-string formats a value
object format(nb::handle value);

// seq[start:stop] in one call, from C++ ints (kEnd is the open end, None in `x[a:]`) or from
// objects (None open), where nanobind spells seq[nb::slice(start, stop, nb::none())].
constexpr Py_ssize_t kEnd = PY_SSIZE_T_MAX;
object slice(nb::handle seq, Py_ssize_t start, Py_ssize_t stop);
object slice(nb::handle seq, nb::handle start, nb::handle stop);  // bounds as objects, None open
// a + b + ...: one copy when every part is bytes, the host's `+` otherwise.
object join(std::initializer_list<nb::handle> parts);
// A run of bytes inside an object the caller holds.
struct ByteRange {
    const char* data;
    Py_ssize_t size;
};
// The bytes of the ranges one after the other, each copied once.
object concatenate(std::initializer_list<ByteRange> ranges);
// `a, b, ... = iterable`: exactly out.size() items, with the host's unpacking errors.
void unpack(nb::handle iterable, std::initializer_list<object*> out);

// `with cm as value: body(value)`. __enter__ and __exit__ are looked up on the type as the
// host's with statement does; __exit__ runs exactly once, with three None after a normal end or
// with the type, value and traceback of the body's exception, which goes on unless __exit__
// answers true. Returns false when __exit__ suppressed an exception of the body.
bool with_block(nb::handle cm, const std::function<void(handle)>& body);

// `import name` inside a function (absolute, no names listed): the __import__ of the function's
// built-ins, so an import hook installed there sees the call as it would in the host.
object import_name(const Scope& s, nb::handle name);
// The import of `from <level dots><name> import <fromlist...>` inside a function, by the same
// __import__: the module the names are then taken from (import_from).
object import_name(const Scope& s, nb::handle name, nb::handle fromlist, int level);
// The value that `from module import name` binds, as the host's from-import finds it: the
// attribute, else the sub-module of that name in sys.modules, else ImportError.
object import_from(nb::handle module, nb::handle name);

// The host's truth test, as a C++ bool (nb::bool_ makes and drops a bool object on the way).
bool truthy(nb::handle value);
// a == b as the host's `==` decides it, then its truth test; nb::handle::equal answers true for
// the same object without asking.
bool equals(nb::handle a, nb::handle b);

// ---------------------------------------------------------------------------------------------
// Declarations

// A parameter: its name, its annotation text, and its default as the expression that a module's
// source would write for it, a name of the module with attributes after it ("LIMIT",
// "Kind.DEFAULT"), evaluated once where the function is defined.
struct Param {
    const char* name = nullptr;
    const char* annotation = nullptr;
    const char* default_value = nullptr;
};

// The most parameters a function may have: the size of the argument buffers of a call.
constexpr std::size_t kMaxParams = 8;

// A function's declaration, the one place where its signature and docstring are written: its
// module's function and the coroutine functions and methods made after it all read it.
struct Declaration {
    const char* name;
    Param params[kMaxParams] = {};  // in order; those after the last have no name
    const char* result = nullptr;
    const char* doc = nullptr;

    constexpr std::size_t arity() const {
        std::size_t n = 0;
        while (n < kMaxParams && params[n].name) ++n;
        return n;
    }
};

namespace detail {
// A function's body: its module's namespace, then its arguments as named handles.
template <typename F>
struct BodyArity;
template <typename... P>
struct BodyArity<object (*)(const Scope&, P...)> {
    static constexpr std::size_t value = sizeof...(P);
};

template <auto body, std::size_t... I>
object call_body(const Scope& s, Args a, std::index_sequence<I...>) {
    return body(s, a[I]...);
}

template <auto body>
object run_body(const Scope& s, Args a) {
    return call_body<body>(s, a, std::make_index_sequence<BodyArity<decltype(body)>::value>{});
}
}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Modules

class Module {
public:
    explicit Module(nb::handle module);

    const char* name() const;

    // module-level binding of a value
    void set(const char* name, nb::handle value);
    void set(const char* name, long value);
    // read a name bound earlier while the module loads (defaults, facades)
    object get(const char* name) const;

    // `import name` of a host module (binds the top-level name)
    void import(const char* module);
    // `from module import a, b` (module absolute), through the host's import system
    void import_from(const char* module, std::initializer_list<const char*> names);
    // `from module import name as alias`
    void import_from_as(const char* module, const char* name, const char* alias);

    // The function of declaration `d`, run by `body`, which takes the declared parameters in
    // order: object body(const Scope&, handle first, handle second, ...). Defaults are evaluated
    // now, in this module, and kept.
    template <const Declaration& d, auto body>
    void def() {
        static_assert(d.arity() == detail::BodyArity<decltype(body)>::value,
                      "the body takes the declared parameters");
        define(d, &detail::run_body<body>);
    }

    // A coroutine function named `name` that runs core.<core_function.name> through
    // asyncio.to_thread, with the core function's parameters, annotations and docstring. Its
    // defaults are evaluated now, in this module; a default's name that this module does not
    // bind is read from its `core`, as `core.LIMIT` would be written.
    void coroutine(const char* name, const Declaration& core_function);

    void all(std::initializer_list<const char*> names);

    // the equivalent of a class statement: metaclass of the first base called with the name,
    // the bases and a namespace holding __module__, __qualname__ and `attributes` in order
    object make_class(const char* name, std::initializer_list<nb::handle> bases,
                      const std::vector<std::pair<const char*, nb::handle>>& attributes = {});

private:
    void define(const Declaration& d, Impl impl);
    // The value of a default's expression: a name of this module, then its attributes. A name
    // that the module does not bind is read from its module-level `otherwise`, when given.
    object evaluate(const char* expression, const char* otherwise) const;
    // the values of the defaults of `d`, in order, each evaluated so
    nb::tuple defaults(const Declaration& d, const char* otherwise) const;
    // the module that `from module import names...` takes its names from
    object import_listing(const char* module, std::initializer_list<const char*> names);

    nb::handle module_;
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

// The package's module object, for the import system to register, over the table of its modules
// (the package first). It is made only when the runtime's types (readied once per process: types
// are not module state) and the finder of the package's sub-modules on sys.meta_path are in
// place, so that from the moment another thread can see it, it is a package whose sub-modules
// the host's import system finds and loads, with its locks, registration and clean-up.
object create_package(nb::handle spec, std::span<const ModuleDef> modules);

// Runs the body of the package (the table's first module) on the module object that
// create_package made.
void exec_package(nb::handle module);

}  // namespace vm

// A Name passed as an argument of a nanobind call is its interned text.
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
