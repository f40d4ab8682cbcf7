// The function type: a callable with the surface of a Python function (name, qualname, module,
// defaults, annotation texts, signature) and Python's argument binding, called by vectorcall.
// A coroutine function is the same type whose call only binds the arguments and returns a
// coroutine object (coroutine.cpp).
#include "runtime/function.hpp"

#include <pthread.h>
#include <structmember.h>

#include <algorithm>
#include <string>

namespace vm {

namespace names {
VM_NAME(inspect);
VM_NAME(Signature);
VM_NAME(Parameter);
VM_NAME(POSITIONAL_OR_KEYWORD);
VM_NAME(empty);
inline constinit Name return_{"return"};
inline constinit Keywords default_and_annotation{"default", "annotation"};
inline constinit Keywords return_annotation{"return_annotation"};
}  // namespace names
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

// Arguments that do not bind get the host's own TypeError, word for word: a def with the same
// parameters and the function's name, made the first time, is called with them.
object shadow_of(FunctionObject* f) {
    std::string source = "def _(";
    Py_ssize_t first_default = f->nparams - f->ndefaults;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        if (i) source += ", ";
        source += PyUnicode_AsUTF8(PyTuple_GET_ITEM(f->params, i));
        if (i >= first_default) source += "=None";
    }
    source += "): pass\n";
    object code = checked(Py_CompileString(source.c_str(), "<velmor>", Py_file_input));
    object ns = checked(PyDict_New());
    if (PyDict_SetItemString(ns.ptr(), "__builtins__", f->builtins) < 0) fail();
    checked(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr()));
    object shadow = nb::borrow(PyDict_GetItemString(ns.ptr(), "_"));
    if (PyObject_SetAttrString(shadow.ptr(), "__name__", f->name) < 0 ||
        PyObject_SetAttrString(shadow.ptr(), "__qualname__", f->qualname) < 0)
        fail();
    return shadow;
}

PyObject* argument_error(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        if (!f->shadow) f->shadow = shadow_of(f).release().ptr();
        object bound = checked(PyObject_Vectorcall(f->shadow, args, nargsf, kwnames));
        PyErr_Format(PyExc_SystemError, "velmor: %U() refused arguments that the host binds",
                     f->qualname);
        fail();
    }, static_cast<PyObject*>(nullptr));
}

// Python's binding of positional and keyword arguments to positional-or-keyword parameters.
// Fills `bound` with borrowed references; false when they do not bind (an error is pending only
// when comparing a keyword failed).
bool bind(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
    Py_ssize_t n = f->nparams;
    if (nargs > n) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            Py_ssize_t i = param_index(f, PyTuple_GET_ITEM(kwnames, k));
            if (i < 0 || bound[i]) return false;
            bound[i] = args[nargs + k];
        }
    }
    Py_ssize_t first_default = n - f->ndefaults;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (bound[i]) continue;
        if (i < first_default) return false;
        bound[i] = PyTuple_GET_ITEM(f->defaults, i - first_default);
    }
    return true;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!kwnames && nargs == f->nparams)
        return f->impl ? invoke(f, args) : new_coroutine(f, args);
    PyObject* bound[kMaxParams] = {};
    if (!bind(f, args, nargs, kwnames, bound))
        return PyErr_Occurred() ? nullptr : argument_error(f, args, nargsf, kwnames);
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
    Py_CLEAR(f->shadow);
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
        object mod = checked(PyImport_Import(names::inspect.ptr()));
        object parameter = mod.attr(names::Parameter);
        object kind = parameter.attr(names::POSITIONAL_OR_KEYWORD);
        object none = parameter.attr(names::empty);
        nb::list params;
        Py_ssize_t first_default = f->nparams - f->ndefaults;
        for (Py_ssize_t i = 0; i < f->nparams; ++i) {
            nb::handle pname = PyTuple_GET_ITEM(f->params, i);
            PyObject* ann = PyDict_GetItemWithError(f->annotations, pname.ptr());
            if (!ann && PyErr_Occurred()) fail();
            nb::handle dflt = i >= first_default ? PyTuple_GET_ITEM(f->defaults, i - first_default)
                                                 : none.ptr();
            params.append(call_kw(parameter, {pname, kind}, names::default_and_annotation,
                                  {dflt, ann ? ann : none.ptr()}));
        }
        PyObject* ret = PyDict_GetItemWithError(f->annotations, return_key().ptr());
        if (!ret && PyErr_Occurred()) fail();
        object signature = mod.attr(names::Signature);
        return call_kw(signature, {params}, names::return_annotation, {ret ? ret : none.ptr()})
            .release()
            .ptr();
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

nb::handle return_key() { return names::return_; }

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

}  // namespace

object new_function(const char* name, PyObject* globals, const Declaration& d, object defaults,
                    Impl impl) {
    // Every part is made before the object, which then only takes them.
    nb::list names;
    nb::dict annotations;
    for (std::size_t i = 0, n = d.arity(); i < n; ++i) {
        object pname = checked(PyUnicode_InternFromString(d.params[i].name));
        names.append(pname);
        if (d.params[i].annotation) annotations[pname] = nb::str(d.params[i].annotation);
    }
    if (d.result) annotations[return_key()] = nb::str(d.result);
    object params = nb::tuple(names);
    object own_name = checked(PyUnicode_InternFromString(name));
    object module_name = nb::borrow(PyDict_GetItemString(globals, "__name__"));
    if (!module_name) fail();
    object doc = d.doc ? object(nb::str(d.doc)) : object(nb::none());
    object core_name = impl ? object() : checked(PyUnicode_InternFromString(d.name));
    object builtins = builtins_dict();
    watch_namespace(globals);
    watch_namespace(builtins.ptr());
    FunctionObject* f = PyObject_GC_New(FunctionObject, FunctionType);
    if (!f) fail();
    f->vectorcall = function_vectorcall;
    f->impl = impl;
    f->name = Py_NewRef(own_name.ptr());
    f->qualname = own_name.release().ptr();
    f->module_name = module_name.release().ptr();
    f->doc = doc.release().ptr();
    f->globals = Py_NewRef(globals);
    f->builtins = builtins.release().ptr();
    f->nparams = PyTuple_GET_SIZE(params.ptr());
    f->params = params.release().ptr();
    f->ndefaults = PyTuple_GET_SIZE(defaults.ptr());
    f->defaults = f->ndefaults ? defaults.release().ptr() : nullptr;
    f->annotations = annotations.release().ptr();
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->core_name = core_name.release().ptr();
    f->shadow = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return nb::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace detail
}  // namespace vm
