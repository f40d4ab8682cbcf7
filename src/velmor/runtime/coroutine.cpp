// The coroutine adapter. Calling a coroutine function only binds its arguments into a new
// coroutine object. Its first resumption looks up `asyncio.to_thread` and `core.<name>` in the
// function's module at that moment, calls to_thread with the core function and the arguments in
// parameter order, and from then on delegates send/throw/close to that awaitable as `await`
// does; the awaitable's result is the coroutine's result.
#include "runtime/function.hpp"

namespace vm::detail {

namespace names {
VM_NAME(asyncio);
VM_NAME(to_thread);
VM_NAME(core);
}  // namespace names

namespace {

enum State { Created, Suspended, Done };

struct CoroutineObject {
    PyObject_HEAD
    FunctionObject* func;
    PyObject* args;    // the bound values, held until the coroutine finishes, as a frame holds them
    PyObject* inner;   // the iterator of the awaited to_thread awaitable, while suspended
    State state;
    bool running;      // inside send, throw or close: a re-entry is refused
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

object awaitable_iter(nb::handle awaitable) {
    PyObject* a = awaitable.ptr();
    if (PyCoro_CheckExact(a) || iterable_coroutine(a)) return nb::borrow(awaitable);
    PyTypeObject* t = Py_TYPE(a);
    if (!t->tp_as_async || !t->tp_as_async->am_await) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", t->tp_name);
        fail();
    }
    object it = checked(t->tp_as_async->am_await(a));
    if (PyCoro_CheckExact(it.ptr()) || iterable_coroutine(it.ptr())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        fail();
    }
    if (!PyIter_Check(it.ptr())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it.ptr())->tp_name);
        fail();
    }
    return it;
}

// The first resumption's work: to_thread(core.<name>, *args), and the iterator of its awaitable.
object start(CoroutineObject* c) {
    FunctionObject* f = c->func;
    Scope scope{f->globals, f->builtins, PyThreadState_Get()};
    object run = scope[names::asyncio].attr(names::to_thread);
    object fn = scope[names::core].attr(nb::handle(f->core_name));
    PyObject* stack[1 + kMaxParams];  // a function has at most kMaxParams parameters
    Py_ssize_t n = PyTuple_GET_SIZE(c->args);
    stack[0] = fn.ptr();
    for (Py_ssize_t i = 0; i < n; ++i) stack[1 + i] = PyTuple_GET_ITEM(c->args, i);
    object awaitable = checked(PyObject_Vectorcall(run.ptr(), stack, 1 + n, nullptr));
    return awaitable_iter(awaitable);
}

// The coroutine is over. It says so before it lets go of what it held, so that code run by the
// release (an argument's __del__) finds it finished.
void finish(CoroutineObject* c) {
    c->state = Done;
    c->running = false;
    Py_CLEAR(c->inner);
    Py_CLEAR(c->args);
}

// Why the coroutine cannot be resumed now, set as the host's error; false when it can.
bool refused(CoroutineObject* c) {
    if (c->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }
    if (c->state == Done) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return true;
    }
    return false;
}

PySendResult resume(CoroutineObject* c, PyObject* arg, PyObject** result) {
    if (refused(c)) return PYGEN_ERROR;
    if (c->state == Created) {
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        c->running = true;
        PyObject* inner = boundary([&] { return start(c).release().ptr(); },
                                   static_cast<PyObject*>(nullptr));
        if (!inner) {
            finish(c);
            return PYGEN_ERROR;
        }
        c->inner = inner;
        c->state = Suspended;
    }
    c->running = true;
    object inner = nb::borrow(c->inner);
    PySendResult r = PyIter_Send(inner.ptr(), arg, result);
    c->running = false;
    if (r != PYGEN_NEXT) finish(c);
    return r;
}

// Each resumption runs under the host's recursion guard, as a coroutine's frame does: an awaited
// object that resumes this coroutine's kind again and again ends in RecursionError, and the
// coroutine that could not run is finished.
PySendResult send_impl(CoroutineObject* c, PyObject* arg, PyObject** result) {
    *result = nullptr;
    if (!enter_call("")) {
        if (!c->running) finish(c);
        return PYGEN_ERROR;
    }
    PySendResult r = resume(c, arg, result);
    leave_call();
    return r;
}

// The coroutine's return value leaves send/throw as StopIteration(value).
PyObject* stop_with(object value) {
    if (value.is_none()) {
        PyErr_SetNone(PyExc_StopIteration);
    } else {
        PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value.ptr());
        if (stop) {
            PyErr_SetObject(PyExc_StopIteration, stop);
            Py_DECREF(stop);
        }
    }
    return nullptr;
}

PyObject* send_value(PyObject* self, PyObject* arg) {
    PyObject* result;
    PySendResult r = send_impl(as_coroutine(self), arg, &result);
    if (r == PYGEN_RETURN) return stop_with(nb::steal(result));
    return result;
}

PyObject* coro_send(PyObject* self, PyObject* arg) { return send_value(self, arg); }

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

// The exception that throw(exc) or the older throw(type[, value[, traceback]]) raises, checked
// as the host checks them; null with the host's error.
object thrown(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected %s %d argument%s, got %zd",
                     nargs < 1 ? "at least" : "at most", nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s",
                     nargs);
        return object();
    }
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg "
                     "signature instead.",
                     1) < 0)
        return object();
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return object();
    }
    object exc;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return object();
        }
        exc = nb::borrow(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ)))
            exc = nb::borrow(val);
        else if (val == Py_None)
            exc = nb::steal(PyObject_CallNoArgs(typ));
        else if (PyTuple_Check(val))
            exc = nb::steal(PyObject_Call(typ, val, nullptr));
        else
            exc = nb::steal(PyObject_CallOneArg(typ, val));
        if (!exc) return object();
        if (!PyExceptionInstance_Check(exc.ptr())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         typ, Py_TYPE(exc.ptr())->tp_name);
            return object();
        }
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return object();
    }
    if (tb != Py_None && PyException_SetTraceback(exc.ptr(), tb) < 0) return object();
    return exc;
}

// inner.close() where it has one, as `await` closes what it awaits; false with the host's error.
bool close_inner(nb::handle inner) {
    PyObject* close = nullptr;
    if (PyObject_GetOptionalAttrString(inner.ptr(), "close", &close) < 0) return false;
    if (!close) return true;
    object method = nb::steal(close);
    object done = nb::steal(PyObject_CallNoArgs(method.ptr()));
    return bool(done);
}

// Raises exc out of the coroutine, which ends with it.
PyObject* end_with(CoroutineObject* c, object exc) {
    finish(c);
    PyErr_SetRaisedException(exc.release().ptr());
    return nullptr;
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    CoroutineObject* c = as_coroutine(self);
    object exc = thrown(args, nargs);
    if (!exc || refused(c)) return nullptr;
    // Raised where the body would start: the coroutine ends with it.
    if (c->state == Created) return end_with(c, std::move(exc));
    object inner = nb::borrow(c->inner);
    c->running = true;
    if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_GeneratorExit)) {
        // As `await` does: close the awaited object, then let GeneratorExit (or the error of
        // the closing) leave.
        if (!close_inner(inner)) {
            finish(c);
            return nullptr;
        }
        return end_with(c, std::move(exc));
    }
    PyObject* method = nullptr;
    if (PyObject_GetOptionalAttrString(inner.ptr(), "throw", &method) < 0) {
        finish(c);
        return nullptr;
    }
    if (!method) return end_with(c, std::move(exc));
    object thrower = nb::steal(method);
    PyObject* result = PyObject_CallOneArg(thrower.ptr(), exc.ptr());
    c->running = false;
    if (result) return result;
    finish(c);
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return nullptr;
    // The awaited object finished: its value is this coroutine's result.
    object stop = nb::steal(PyErr_GetRaisedException());
    object value = nb::steal(PyObject_GetAttrString(stop.ptr(), "value"));
    if (!value) return nullptr;
    return stop_with(std::move(value));
}

PyObject* coro_close(PyObject* self, PyObject*) {
    CoroutineObject* c = as_coroutine(self);
    if (c->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    bool closed = true;
    if (c->state == Suspended) {
        // What the coroutine awaits is closed while it still counts as running, as the host
        // closes what a coroutine awaits.
        object inner = nb::borrow(c->inner);
        c->running = true;
        closed = close_inner(inner);
    }
    finish(c);
    if (!closed) return nullptr;
    Py_RETURN_NONE;
}

// As the host does for its own coroutines: a coroutine dropped before it ever ran warns that it
// was never awaited, and a suspended one is closed, which closes what it awaits.
void coro_finalize(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->state == Done || !c->func) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (c->state == Created) {
        object warnings = nb::steal(PyImport_ImportModule("warnings"));
        object warn = warnings ? nb::steal(PyObject_GetAttrString(warnings.ptr(), "_warn_unawaited_coroutine"))
                               : object();
        if (!warn) {
            PyErr_Clear();
            if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                                 c->func->qualname) < 0)
                PyErr_WriteUnraisable(self);
        } else if (!nb::steal(PyObject_CallOneArg(warn.ptr(), self))) {
            PyErr_WriteUnraisable(self);
        }
    } else if (!nb::steal(coro_close(self, nullptr))) {
        PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(pending);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->func->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->func->qualname); }
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coroutine(self)->running); }
PyObject* get_suspended(PyObject* self, void*) {
    CoroutineObject* c = as_coroutine(self);
    return PyBool_FromLong(c->state == Suspended && !c->running);
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

PyObject* await_iternext(PyObject* self) { return send_value(await_coro(self), Py_None); }
PyObject* await_send(PyObject* self, PyObject* arg) { return send_value(await_coro(self), arg); }
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
    return boundary([&]() -> PyObject* {
        object args = checked(PyTuple_New(f->nparams));
        for (Py_ssize_t i = 0; i < f->nparams; ++i)
            PyTuple_SET_ITEM(args.ptr(), i, Py_NewRef(bound[i]));
        CoroutineObject* c = PyObject_GC_New(CoroutineObject, CoroutineType);
        if (!c) fail();
        c->func = reinterpret_cast<FunctionObject*>(Py_NewRef(reinterpret_cast<PyObject*>(f)));
        c->args = args.release().ptr();
        c->inner = nullptr;
        c->state = Created;
        c->running = false;
        c->weakreflist = nullptr;
        PyObject_GC_Track(reinterpret_cast<PyObject*>(c));
        return reinterpret_cast<PyObject*>(c);
    }, static_cast<PyObject*>(nullptr));
}

}  // namespace vm::detail
