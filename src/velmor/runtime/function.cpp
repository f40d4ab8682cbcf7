// The function type: a callable with the surface of a Python function (name, qualname, module,
// defaults, annotation texts, signature) and Python's argument binding, called by vectorcall.
// A coroutine function is the same type whose call only binds the arguments and returns a
// coroutine object (coroutine.cpp).
#include "runtime/function.hpp"

#include <pthread.h>
#include <structmember.h>

#include <algorithm>

namespace vm {
namespace detail {

namespace {

// Room kept free at the end of a thread's C stack for the error's own way out: a quarter of a
// small stack, at most this much of a large one.
constexpr std::size_t kStackMargin = 256 * 1024;

// The lowest address a call may still start from on this thread; null where unknown.
char* stack_floor() {
    static thread_local __attribute__((tls_model("initial-exec"))) char* floor = nullptr;
    static thread_local __attribute__((tls_model("initial-exec"))) bool known = false;
    if (!known) {
        known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* base = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &base, &size) == 0)
                floor = static_cast<char*>(base) + std::min(kStackMargin, size / 4);
            pthread_attr_destroy(&attr);
        }
    }
    return floor;
}

}  // namespace

bool enter_call(const char* where) {
    char* floor = stack_floor();
    if (floor && static_cast<char*>(__builtin_frame_address(0)) < floor) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return false;
    }
    return Py_EnterRecursiveCall(where) == 0;
}

namespace {

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* run(FunctionObject* f, PyObject* const* args) {
    return boundary([&] {
        Scope scope{f->globals, f->builtins, PyThreadState_Get()};
        return f->impl(scope, Args{args}).release().ptr();
    }, static_cast<PyObject*>(nullptr));
}

// Under the host's recursion guard, as every host function is called: a function that ends up
// calling itself raises RecursionError instead of running off the C stack.
PyObject* invoke(FunctionObject* f, PyObject* const* args) {
    if (!enter_call(" while calling a Python object")) return nullptr;
    PyObject* result = run(f, args);
    leave_call();
    return result;
}

Py_ssize_t param_index(FunctionObject* f, PyObject* key) {
    for (Py_ssize_t i = 0; i < f->nparams; ++i)
        if (PyTuple_GET_ITEM(f->params, i) == key) return i;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->params, i), key, Py_EQ);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

void too_many_positional(FunctionObject* f, Py_ssize_t given) {
    Py_ssize_t required = f->nparams - f->ndefaults;
    PyObject* expected;
    bool plural;
    if (f->ndefaults) {
        expected = PyUnicode_FromFormat("from %zd to %zd", required, f->nparams);
        plural = true;
    } else {
        expected = PyUnicode_FromFormat("%zd", f->nparams);
        plural = f->nparams != 1;
    }
    if (!expected) return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 f->qualname, expected, plural ? "s" : "", given, given == 1 ? "was" : "were");
    Py_DECREF(expected);
}

void missing_arguments(FunctionObject* f, PyObject* const* bound) {
    PyObject* names = PyList_New(0);
    if (!names) return;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        if (bound[i]) continue;
        PyObject* quoted = PyUnicode_FromFormat("'%U'", PyTuple_GET_ITEM(f->params, i));
        if (!quoted || PyList_Append(names, quoted) < 0) {
            Py_XDECREF(quoted);
            Py_DECREF(names);
            return;
        }
        Py_DECREF(quoted);
    }
    Py_ssize_t n = PyList_GET_SIZE(names);
    PyObject* listed = nullptr;
    if (n == 1) {
        listed = Py_NewRef(PyList_GET_ITEM(names, 0));
    } else if (n == 2) {
        listed = PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names, 0), PyList_GET_ITEM(names, 1));
    } else {
        PyObject* head = PyList_GetSlice(names, 0, n - 1);
        PyObject* sep = PyUnicode_FromString(", ");
        PyObject* joined = head && sep ? PyUnicode_Join(sep, head) : nullptr;
        if (joined) listed = PyUnicode_FromFormat("%U, and %U", joined, PyList_GET_ITEM(names, n - 1));
        Py_XDECREF(head);
        Py_XDECREF(sep);
        Py_XDECREF(joined);
    }
    if (listed) {
        PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                     f->qualname, n, n == 1 ? "" : "s", listed);
        Py_DECREF(listed);
    }
    Py_DECREF(names);
}

// The closest parameter name, as the host suggests it for a mistyped keyword; null when none is
// close enough (or the host's suggestion helper is not there).
PyObject* suggestion(FunctionObject* f, PyObject* key) {
    if (f->nparams == 0) return nullptr;
    PyObject* helper = PyImport_ImportModule("_suggestions");
    PyObject* generate = helper ? PyObject_GetAttrString(helper, "_generate_suggestions") : nullptr;
    PyObject* names = generate ? PySequence_List(f->params) : nullptr;
    PyObject* found = names ? PyObject_CallFunctionObjArgs(generate, names, key, nullptr) : nullptr;
    Py_XDECREF(names);
    Py_XDECREF(generate);
    Py_XDECREF(helper);
    PyErr_Clear();
    if (found && !PyUnicode_Check(found)) Py_CLEAR(found);
    return found;
}

void unexpected_keyword(FunctionObject* f, PyObject* key) {
    PyObject* close = suggestion(f, key);
    if (close) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     f->qualname, key, close);
        Py_DECREF(close);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname,
                     key);
    }
}

// Python's binding of positional and keyword arguments to positional-or-keyword parameters,
// with the host's messages and order of checks. Fills `bound` with borrowed references.
bool bind(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
    Py_ssize_t n = f->nparams;
    for (Py_ssize_t i = 0; i < nargs && i < n; ++i) bound[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t i = param_index(f, key);
            if (i == -2) return false;
            if (i < 0) {
                unexpected_keyword(f, key);
                return false;
            }
            if (bound[i]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             f->qualname, key);
                return false;
            }
            bound[i] = args[nargs + k];
        }
    }
    if (nargs > n) {
        too_many_positional(f, nargs);
        return false;
    }
    Py_ssize_t first_default = n - f->ndefaults;
    bool missing = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (bound[i]) continue;
        if (i >= first_default)
            bound[i] = PyTuple_GET_ITEM(f->defaults, i - first_default);
        else
            missing = true;
    }
    if (missing) {
        missing_arguments(f, bound);
        return false;
    }
    return true;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!kwnames && nargs == f->nparams)
        return f->impl ? invoke(f, args) : new_coroutine(f, args);
    PyObject* bound[kMaxParams] = {};
    if (!bind(f, args, nargs, kwnames, bound)) return nullptr;
    return f->impl ? invoke(f, bound) : new_coroutine(f, bound);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->doc);
    Py_VISIT(f->module_name);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module_name);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->params);
    Py_CLEAR(f->core_name);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Like Python functions, a function read through a class binds to the instance.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_defaults(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->annotations); }

PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }

// inspect.Signature of the parameters, with the annotation texts as stored.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return boundary([&]() -> PyObject* {
        VM_NAME(inspect);
        VM_NAME(Signature);
        VM_NAME(Parameter);
        VM_NAME(POSITIONAL_OR_KEYWORD);
        VM_NAME(empty);
        object mod = checked(PyImport_Import(inspect.ptr()));
        object parameter = mod.attr(Parameter);
        object kind = parameter.attr(POSITIONAL_OR_KEYWORD);
        object none = parameter.attr(empty);
        object params = checked(PyList_New(0));
        Py_ssize_t first_default = f->nparams - f->ndefaults;
        for (Py_ssize_t i = 0; i < f->nparams; ++i) {
            handle pname = PyTuple_GET_ITEM(f->params, i);
            PyObject* ann = PyDict_GetItemWithError(f->annotations, pname.ptr());
            if (!ann && PyErr_Occurred()) fail();
            handle dflt = i >= first_default ? handle(PyTuple_GET_ITEM(f->defaults, i - first_default))
                                             : handle(none);
            object p = parameter(pname, kind, nb::arg("default") = dflt,
                                 nb::arg("annotation") = ann ? handle(ann) : handle(none));
            if (PyList_Append(params.ptr(), p.ptr()) < 0) fail();
        }
        PyObject* ret = PyDict_GetItemWithError(f->annotations, return_key().ptr());
        if (!ret && PyErr_Occurred()) fail();
        object sig = mod.attr(Signature)(params, nb::arg("return_annotation") = ret ? handle(ret) : handle(none));
        return sig.release().ptr();
    }, static_cast<PyObject*>(nullptr));
}

PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

handle return_key() {
    static Name key{"return"};
    return key;
}

PyTypeObject* FunctionType = nullptr;

PyTypeObject* make_function_type() {
    static PyMemberDef members[] = {
        {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
        {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
        {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module_name), Py_READONLY, nullptr},
        {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
        {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
        {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
        {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_methods, function_methods},
        {Py_tp_members, members},
        {Py_tp_getset, function_getset},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "velmor.function", sizeof(FunctionObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

namespace {

// The built-ins a function of a module loading now reads, as the host's exec() gives them to a
// module's code: those of the running frame (the import system's), else the interpreter's; never
// what sys.modules holds under "builtins".
object builtins_dict() { return checked(PyEval_GetFrameBuiltins()); }

// The function object over the parts of its signature: the tuple of interned parameter names,
// the tuple of the trailing defaults (or null) and the annotation texts.
object make_function(const char* name, handle module_name, PyObject* globals, Impl impl,
                     const char* core_name, object params, object defaults, object annotations) {
    object builtins = builtins_dict();
    watch_namespace(globals);
    watch_namespace(builtins.ptr());
    FunctionObject* f = PyObject_GC_New(FunctionObject, FunctionType);
    if (!f) fail();
    object owner = nb::steal(reinterpret_cast<PyObject*>(f));
    f->vectorcall = function_vectorcall;
    f->impl = impl;
    f->name = PyUnicode_InternFromString(name);
    f->qualname = Py_XNewRef(f->name);
    f->module_name = Py_NewRef(module_name.ptr());
    f->doc = Py_NewRef(Py_None);
    f->globals = Py_NewRef(globals);
    f->builtins = Py_NewRef(builtins.ptr());
    f->nparams = PyTuple_GET_SIZE(params.ptr());
    f->params = params.release().ptr();
    f->ndefaults = defaults ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
    f->defaults = f->ndefaults ? defaults.release().ptr() : nullptr;
    f->annotations = annotations.release().ptr();
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->core_name = core_name ? PyUnicode_InternFromString(core_name) : nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    if (!f->name || (core_name && !f->core_name)) fail();
    return owner;
}

}  // namespace

object new_function(const char* name, handle module_name, PyObject* globals, Impl impl,
                    std::initializer_list<Param> params, const char* result) {
    if (static_cast<Py_ssize_t>(params.size()) > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "velmor: too many parameters");
        fail();
    }
    nb::list names, defaults;
    nb::dict annotations;
    for (const Param& p : params) {
        object pname = checked(PyUnicode_InternFromString(p.name));
        names.append(pname);
        if (p.annotation) annotations[pname] = nb::str(p.annotation);
        if (p.default_value.is_valid()) {
            defaults.append(p.default_value);
        } else if (nb::len(defaults)) {
            PyErr_SetString(PyExc_SystemError, "velmor: parameter without default follows default");
            fail();
        }
    }
    if (result) annotations[return_key()] = nb::str(result);
    return make_function(name, module_name, globals, impl, nullptr, nb::tuple(names),
                         nb::tuple(defaults), std::move(annotations));
}

object new_coroutine_function(const char* name, handle module_name, PyObject* globals,
                              const char* core_name, handle core_function) {
    if (Py_TYPE(core_function.ptr()) != FunctionType) {
        PyErr_Format(PyExc_TypeError, "velmor: core.%s is %R, not a function of the package",
                     core_name, core_function.ptr());
        fail();
    }
    FunctionObject* core = as_function(core_function.ptr());
    // The core's own default objects, in a tuple of this function's, as two functions with the
    // same defaults have.
    object defaults = checked(PyTuple_New(core->ndefaults));
    for (Py_ssize_t i = 0; i < core->ndefaults; ++i)
        PyTuple_SET_ITEM(defaults.ptr(), i, Py_NewRef(PyTuple_GET_ITEM(core->defaults, i)));
    return make_function(name, module_name, globals, nullptr, core_name, nb::borrow(core->params),
                         std::move(defaults), checked(PyDict_Copy(core->annotations)));
}

}  // namespace detail
}  // namespace vm
