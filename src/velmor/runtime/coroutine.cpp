// The coroutine adapter. Calling a coroutine function only binds its arguments into a new
// coroutine object. Its first resumption looks up `asyncio.to_thread` and `core.<name>` in the
// function's module at that moment, calls to_thread with the core function and the arguments in
// parameter order, and from then on delegates send/throw/close to that awaitable as `await`
// does; the awaitable's result is the coroutine's result.
#include "runtime/function.hpp"

namespace vm::detail {

namespace {

enum State { Created, Suspended, Done };

struct CoroutineObject {
    PyObject_HEAD
    FunctionObject* func;
    PyObject* args;    // tuple of the bound values, until the first resumption
    PyObject* inner;   // the iterator of the awaited to_thread awaitable
    State state;
    bool executing;
    PyObject* weakreflist;
};

CoroutineObject* as_coroutine(PyObject* self) { return reinterpret_cast<CoroutineObject*>(self); }

// What `await` does to get the iterator of an awaitable.
// A generator made a coroutine by types.coroutine is awaited as it is.
bool iterable_coroutine(PyObject* o) {
    if (!PyGen_CheckExact(o)) return false;
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o));
    bool flagged = code->co_flags & CO_ITERABLE_COROUTINE;
    Py_DECREF(code);
    return flagged;
}

PyObject* awaitable_iter(PyObject* awaitable) {
    if (PyCoro_CheckExact(awaitable) || iterable_coroutine(awaitable)) return Py_NewRef(awaitable);
    PyTypeObject* t = Py_TYPE(awaitable);
    if (!t->tp_as_async || !t->tp_as_async->am_await) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", t->tp_name);
        return nullptr;
    }
    PyObject* it = t->tp_as_async->am_await(awaitable);
    if (it && (PyCoro_CheckExact(it) || iterable_coroutine(it))) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        Py_CLEAR(it);
    } else if (it && !PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it)->tp_name);
        Py_CLEAR(it);
    }
    return it;
}

PyObject* start(CoroutineObject* c) {
    VM_NAME(asyncio);
    VM_NAME(to_thread);
    VM_NAME(core);
    try {
        FunctionObject* f = c->func;
        Scope scope{f->globals, f->builtins};
        object run = scope[asyncio].attr(to_thread);
        object fn = scope[core].attr(handle(f->core_name));
        PyObject* stack[1 + kMaxParams];  // a function has at most kMaxParams parameters
        Py_ssize_t n = PyTuple_GET_SIZE(c->args);
        stack[0] = fn.ptr();
        for (Py_ssize_t i = 0; i < n; ++i) stack[1 + i] = PyTuple_GET_ITEM(c->args, i);
        object awaitable = checked(PyObject_Vectorcall(run.ptr(), stack, 1 + n, nullptr));
        return awaitable_iter(awaitable.ptr());
    } catch (error& e) {
        e.restore();
        return nullptr;
    }
}

void finish(CoroutineObject* c) {
    c->state = Done;
    Py_CLEAR(c->args);
    Py_CLEAR(c->inner);
}

PySendResult resume(CoroutineObject* c, PyObject* arg, PyObject** result) {
    if (c->executing) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (c->state == Done) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (c->state == Created) {
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        c->executing = true;
        c->inner = start(c);
        c->executing = false;
        Py_CLEAR(c->args);
        if (!c->inner) {
            finish(c);
            return PYGEN_ERROR;
        }
        c->state = Suspended;
    }
    c->executing = true;
    PySendResult r = PyIter_Send(c->inner, arg, result);
    c->executing = false;
    if (r != PYGEN_NEXT) finish(c);
    return r;
}

// Each resumption runs under the host's recursion guard, as a coroutine's frame does: an awaited
// object that resumes this coroutine's kind again and again ends in RecursionError, and the
// coroutine that could not run is finished.
PySendResult send_impl(CoroutineObject* c, PyObject* arg, PyObject** result) {
    *result = nullptr;
    if (!enter_call("")) {
        if (!c->executing) finish(c);
        return PYGEN_ERROR;
    }
    PySendResult r = resume(c, arg, result);
    leave_call();
    return r;
}

// The coroutine's return value leaves send/throw as StopIteration(value).
PyObject* stop_with(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
    } else {
        PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
        if (stop) {
            PyErr_SetObject(PyExc_StopIteration, stop);
            Py_DECREF(stop);
        }
    }
    Py_DECREF(value);
    return nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
    PyObject* result;
    PySendResult r = send_impl(as_coroutine(self), arg, &result);
    if (r == PYGEN_RETURN) return stop_with(result);
    return result;
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* result;
    PySendResult r = send_impl(as_coroutine(self), Py_None, &result);
    if (r == PYGEN_RETURN) return stop_with(result);
    return result;
}

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    return send_impl(as_coroutine(self), arg, result);
}

// What __await__ returns, as the host's coroutine_wrapper: an iterator over the coroutine that
// forwards send, throw and close, so `yield from coro.__await__()` drives it.
struct AwaitObject {
    PyObject_HEAD
    PyObject* coro;
};

PyTypeObject* AwaitType = nullptr;

PyObject* coro_await(PyObject* self) {
    AwaitObject* w = PyObject_GC_New(AwaitObject, AwaitType);
    if (!w) return nullptr;
    w->coro = Py_NewRef(self);
    PyObject_GC_Track(reinterpret_cast<PyObject*>(w));
    return reinterpret_cast<PyObject*>(w);
}

// throw(exc) or the older throw(type[, value[, traceback]]), checked as the host checks them.
PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    CoroutineObject* c = as_coroutine(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected %s %d argument%s, got %zd",
                     nargs < 1 ? "at least" : "at most", nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s",
                     nargs);
        return nullptr;
    }
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg "
                     "signature instead.",
                     1) < 0)
        return nullptr;
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ)))
            exc = Py_NewRef(val);
        else if (val == Py_None)
            exc = PyObject_CallNoArgs(typ);
        else if (PyTuple_Check(val))
            exc = PyObject_Call(typ, val, nullptr);
        else
            exc = PyObject_CallOneArg(typ, val);
        if (!exc) return nullptr;
        if (!PyExceptionInstance_Check(exc)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         typ, Py_TYPE(exc)->tp_name);
            Py_DECREF(exc);
            return nullptr;
        }
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None && PyException_SetTraceback(exc, tb) < 0) {
        Py_DECREF(exc);
        return nullptr;
    }
    if (c->executing) {
        Py_DECREF(exc);
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (c->state == Done) {
        Py_DECREF(exc);
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }
    if (c->state == Created) {
        // Raised where the body would start: the coroutine ends with it.
        finish(c);
        PyErr_SetRaisedException(exc);
        return nullptr;
    }
    PyObject* inner = Py_NewRef(c->inner);
    PyObject* result = nullptr;
    c->executing = true;
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        // As `await` does: close the awaited object, then let GeneratorExit leave.
        PyObject* close = nullptr;
        bool failed = PyObject_GetOptionalAttrString(inner, "close", &close) < 0;
        if (close) {
            PyObject* r = PyObject_CallNoArgs(close);
            failed = r == nullptr;
            Py_XDECREF(r);
            Py_DECREF(close);
        }
        c->executing = false;
        finish(c);
        if (failed)
            Py_DECREF(exc);
        else
            PyErr_SetRaisedException(exc);
        Py_DECREF(inner);
        return nullptr;
    }
    PyObject* thrower = nullptr;
    if (PyObject_GetOptionalAttrString(inner, "throw", &thrower) < 0) {
        c->executing = false;
        finish(c);
        Py_DECREF(exc);
        Py_DECREF(inner);
        return nullptr;
    }
    if (!thrower) {
        c->executing = false;
        finish(c);
        PyErr_SetRaisedException(exc);
        Py_DECREF(inner);
        return nullptr;
    }
    result = PyObject_CallOneArg(thrower, exc);
    Py_DECREF(thrower);
    Py_DECREF(exc);
    Py_DECREF(inner);
    c->executing = false;
    if (result) return result;
    finish(c);
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // The awaited object finished: its value is this coroutine's result.
        PyObject* stop = PyErr_GetRaisedException();
        PyObject* value = PyObject_GetAttrString(stop, "value");
        Py_DECREF(stop);
        if (!value) return nullptr;
        return stop_with(value);
    }
    return nullptr;
}

PyObject* coro_close(PyObject* self, PyObject*) {
    CoroutineObject* c = as_coroutine(self);
    if (c->executing) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (c->state == Suspended) {
        PyObject* inner = Py_NewRef(c->inner);
        finish(c);
        PyObject* close = nullptr;
        if (PyObject_GetOptionalAttrString(inner, "close", &close) < 0) {
            Py_DECREF(inner);
            return nullptr;
        }
        Py_DECREF(inner);
        if (close) {
            PyObject* r = PyObject_CallNoArgs(close);
            Py_DECREF(close);
            if (!r) return nullptr;
            Py_DECREF(r);
        }
    }
    finish(c);
    Py_RETURN_NONE;
}

// As the host does for its own coroutines: a coroutine dropped before it ever ran warns that it
// was never awaited, and a suspended one is closed, which closes what it awaits.
void coro_finalize(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->state == Done || !c->func) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (c->state == Created) {
        PyObject* warnings = PyImport_ImportModule("warnings");
        PyObject* warn = warnings ? PyObject_GetAttrString(warnings, "_warn_unawaited_coroutine") : nullptr;
        PyObject* r = warn ? PyObject_CallOneArg(warn, self) : nullptr;
        if (!warn) {
            PyErr_Clear();
            if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                                 c->func->qualname) < 0)
                PyErr_WriteUnraisable(self);
        } else if (!r) {
            PyErr_WriteUnraisable(self);
        }
        Py_XDECREF(r);
        Py_XDECREF(warn);
        Py_XDECREF(warnings);
    } else {
        PyObject* r = coro_close(self, nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(pending);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->func->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->func->qualname); }
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coroutine(self)->executing); }
PyObject* get_suspended(PyObject* self, void*) {
    CoroutineObject* c = as_coroutine(self);
    return PyBool_FromLong(c->state == Suspended && !c->executing);
}
PyObject* get_origin(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_await(PyObject* self, void*) {
    CoroutineObject* c = as_coroutine(self);
    return Py_NewRef(c->inner ? c->inner : Py_None);
}

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coroutine(self)->func->qualname, self);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* c = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyObject*>(c->func));
    Py_VISIT(c->args);
    Py_VISIT(c->inner);
    return 0;
}

int coro_clear(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    Py_CLEAR(c->args);
    Py_CLEAR(c->inner);
    Py_CLEAR(c->func);
    return 0;
}

void coro_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // brought back to life
    PyObject_GC_UnTrack(self);
    if (as_coroutine(self)->weakreflist) PyObject_ClearWeakRefs(self);
    coro_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL, nullptr},
    {"close", coro_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_origin", get_origin, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* await_coro(PyObject* self) { return reinterpret_cast<AwaitObject*>(self)->coro; }

PyObject* await_iternext(PyObject* self) { return coro_iternext(await_coro(self)); }
PyObject* await_send(PyObject* self, PyObject* arg) { return coro_send(await_coro(self), arg); }
PyObject* await_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coro_throw(await_coro(self), args, nargs);
}
PyObject* await_close(PyObject* self, PyObject*) { return coro_close(await_coro(self), nullptr); }

int await_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(await_coro(self));
    return 0;
}

int await_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<AwaitObject*>(self)->coro);
    return 0;
}

void await_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    await_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMethodDef await_methods[] = {
    {"send", await_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(await_throw)), METH_FASTCALL, nullptr},
    {"close", await_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* make_await_type() {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(await_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(await_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(await_clear)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(await_iternext)},
        {Py_tp_methods, await_methods},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "velmor.coroutine_wrapper", sizeof(AwaitObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

PyTypeObject* CoroutineType = nullptr;

PyTypeObject* make_coroutine_type() {
    if (!AwaitType && !(AwaitType = make_await_type())) return nullptr;
    static PyMemberDef members[] = {
        {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroutineObject, weakreflist), Py_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
        {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
        {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
        {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
        {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
        {Py_tp_methods, coro_methods},
        {Py_tp_members, members},
        {Py_tp_getset, coro_getset},
        {Py_am_await, reinterpret_cast<void*>(coro_await)},
        {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "velmor.coroutine", sizeof(CoroutineObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyObject* new_coroutine(FunctionObject* f, PyObject* const* bound) {
    PyObject* args = PyTuple_New(f->nparams);
    if (!args) return nullptr;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) PyTuple_SET_ITEM(args, i, Py_NewRef(bound[i]));
    CoroutineObject* c = PyObject_GC_New(CoroutineObject, CoroutineType);
    if (!c) {
        Py_DECREF(args);
        return nullptr;
    }
    c->func = reinterpret_cast<FunctionObject*>(Py_NewRef(reinterpret_cast<PyObject*>(f)));
    c->args = args;
    c->inner = nullptr;
    c->state = Created;
    c->executing = false;
    c->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(c));
    return reinterpret_cast<PyObject*>(c);
}

}  // namespace vm::detail
