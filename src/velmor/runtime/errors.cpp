// Raising with the host's raise statement, handling and matching with its except clause.
#include "runtime/runtime.hpp"

namespace vm {

void fail() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "velmor: error return without an exception set");
    throw error();
}

object checked(PyObject* result) {
    if (!result) fail();
    return nb::steal(result);
}

void set_error_of_current_exception() noexcept {
    try {
        throw;
    } catch (error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "velmor: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "velmor: unknown C++ exception");
    }
}

namespace {

// What `raise value` raises, as the host's raise statement decides it: an instance itself, a
// class called without arguments, anything else TypeError.
PyObject* raisable(object value) {
    if (PyExceptionInstance_Check(value.ptr())) return value.release().ptr();
    if (PyExceptionClass_Check(value.ptr())) {
        object instance = checked(PyObject_CallNoArgs(value.ptr()));
        if (PyExceptionInstance_Check(instance.ptr())) return instance.release().ptr();
        PyErr_Format(PyExc_TypeError,
                     "calling %R should have returned an instance of BaseException, not %R",
                     value.ptr(), Py_TYPE(instance.ptr()));
        fail();
    }
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    fail();
}

// cls(message), raised with the host's implicit chaining to the exception being handled.
PyObject* make_pending(nb::handle cls, nb::handle message) {
    PyObject* exc = raisable(checked(PyObject_CallOneArg(cls.ptr(), message.ptr())));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
    return PyErr_GetRaisedException();
}

}  // namespace

void raise(nb::handle cls, nb::handle message) {
    PyErr_SetRaisedException(make_pending(cls, message));
    throw error();
}

void raise(nb::handle cls, const char* message) {
    raise(cls, checked(PyUnicode_FromString(message)));
}

void detail::raise_handled(nb::handle cls, nb::handle message, const error& cause) {
    PyObject* exc = make_pending(cls, message);
    // Inside the handler of `cause`: it is both the context and the explicit cause.
    PyException_SetContext(exc, Py_NewRef(cause.value().ptr()));
    PyException_SetCause(exc, Py_NewRef(cause.value().ptr()));
    PyErr_SetRaisedException(exc);
    throw error();
}

void raise_from(const Scope& s, const Name& cls, const char* message, const error& cause) {
    raise_from(s, cls, cause, [&] { return checked(PyUnicode_FromString(message)); });
}

void raise_prefixed(const Scope& s, const Name& cls, const char* prefix, const error& cause) {
    raise_from(s, cls, cause, [&] {
        object text = nb::str(cause.value());
        return checked(PyUnicode_FromFormat("%s%U", prefix, text.ptr()));
    });
}

Handling::Handling(nb::handle exception) : previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(exception.ptr());
}

Handling::~Handling() {
    // A thread that the host ends at exit unwinds through here with no thread state.
    if (!PyThreadState_GetUnchecked()) return;
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

namespace {

[[noreturn]] void cannot_catch() {
    PyErr_SetString(PyExc_TypeError,
                    "catching classes that do not inherit from BaseException is not allowed");
    fail();
}

}  // namespace

bool Except::matches(nb::handle target) const {
    PyObject* t = target.ptr();
    if (PyTuple_Check(t)) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(t); i < n; ++i)
            if (!PyExceptionClass_Check(PyTuple_GET_ITEM(t, i))) cannot_catch();
    } else if (!PyExceptionClass_Check(t)) {
        cannot_catch();
    }
    return PyErr_GivenExceptionMatches(exception_.ptr(), t) != 0;
}

bool Except::matches(std::initializer_list<nb::handle> targets) const {
    for (nb::handle t : targets)
        if (!PyExceptionClass_Check(t.ptr())) cannot_catch();
    for (nb::handle t : targets)
        if (PyErr_GivenExceptionMatches(exception_.ptr(), t.ptr())) return true;
    return false;
}

}  // namespace vm
