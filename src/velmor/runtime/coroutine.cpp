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
PyObject* awaitable_iter(PyObject* awaitable) {
    if (PyCoro_CheckExact(awaitable)) return Py_NewRef(awaitable);
    PyTypeObject* t = Py_TYPE(awaitable);
    if (!t->tp_as_async || !t->tp_as_async->am_await) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", t->tp_name);
        return nullptr;
    }
    PyObject* it = t->tp_as_async->am_await(awaitable);
    if (it && (!PyIter_Check(it) || PyCoro_CheckExact(it))) {
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
        PyObject* stack[1 + 16];
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

PySendResult send_impl(CoroutineObject* c, PyObject* arg, PyObject** result) {
    *result = nullptr;
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

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

// throw(exc) or the older throw(type[, value[, traceback]]).
PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    CoroutineObject* c = as_coroutine(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
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
        else
            exc = PyObject_CallOneArg(typ, val);
        if (!exc) return nullptr;
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
    if (c->state != Suspended || c->executing) {
        if (c->executing) {
            Py_DECREF(exc);
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return nullptr;
        }
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

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->func->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->func->qualname); }
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coroutine(self)->executing); }
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
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* CoroutineType = nullptr;

PyTypeObject* make_coroutine_type() {
    static PyMemberDef members[] = {
        {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroutineObject, weakreflist), Py_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
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
