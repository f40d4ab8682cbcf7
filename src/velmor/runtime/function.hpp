// The object layouts of the function and coroutine types, shared by the runtime's files.
#pragma once

#include "runtime/runtime.hpp"

namespace vm::detail {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;               // null for a coroutine function
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* globals;       // the module's dictionary
    PyObject* builtins;      // the host's built-ins dictionary
    PyObject* params;        // tuple of interned parameter names
    PyObject* defaults;      // tuple of the trailing defaults, or null
    PyObject* annotations;   // parameter name (and "return") -> annotation text
    PyObject* dict;
    PyObject* weakreflist;
    PyObject* core_name;     // coroutine functions: the attribute of `core` they run
    PyObject* shadow;        // a def with the same parameters, made when arguments do not bind
    Py_ssize_t nparams;
    Py_ssize_t ndefaults;
};

// Made once per process on the first initialisation and kept: types are not module state.
extern PyTypeObject* FunctionType;
extern PyTypeObject* CoroutineType;
PyTypeObject* make_function_type();
PyTypeObject* make_coroutine_type();

// The function `name` of the module whose namespace is `globals`, with the parameters,
// annotations and docstring of `d` and the values of its defaults: over `impl`, or, without
// one, a coroutine function that runs `core.<d.name>`.
object new_function(const char* name, PyObject* globals, const Declaration& d, object defaults,
                    Impl impl);

// A new coroutine of a coroutine function over its bound arguments (borrowed here).
PyObject* new_coroutine(FunctionObject* f, PyObject* const* bound);

nb::handle return_key();

// Functions read from watched namespaces, whose lookups may then be cached (names.cpp).
void watch_namespace(PyObject* dict);

// The host's recursion guard (Py_EnterRecursiveCall), as every host function takes it; a call
// is also refused while this thread's C stack is nearly used up, which a sanitizer build or a
// small thread stack reaches before the host's count does. False with RecursionError set.
bool enter_call(const char* where);
inline void leave_call() { Py_LeaveRecursiveCall(); }

}  // namespace vm::detail
