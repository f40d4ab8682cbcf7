// Names, late lookup, raising and the host's conversions.
#include "runtime/runtime.hpp"

namespace vm {

void Name::intern() const {
    obj_ = PyUnicode_InternFromString(text_);
    if (!obj_) fail();
}

void Keywords::make() const {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(size_));
    if (!t) fail();
    for (std::size_t i = 0; i < size_; ++i) {
        PyObject* name = PyUnicode_InternFromString(names_[i]);
        if (!name) {
            Py_DECREF(t);
            fail();
        }
        PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), name);
    }
    tuple_ = t;
}

object call_kw(handle fn, std::initializer_list<handle> positional, const Keywords& keywords,
               std::initializer_list<handle> keyword_values) {
    PyObject* stack[16];
    std::size_t n = 0;
    for (handle h : positional) stack[n++] = h.ptr();
    for (handle h : keyword_values) stack[n++] = h.ptr();
    return checked(PyObject_Vectorcall(fn.ptr(), stack, positional.size(), keywords.ptr()));
}

namespace {

// Module namespaces hardly ever change once loaded, so a lookup is cached on its Name and
// checked against a generation that a dict watcher moves on at every change of a watched dict.
unsigned long generation = 1;
int watcher = -1;

int on_namespace_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++generation;
    return 0;
}

}  // namespace

unsigned long namespace_generation() { return generation; }

void watch_namespace(PyObject* dict) {
    if (watcher < 0) watcher = PyDict_AddWatcher(on_namespace_event);
    if (watcher < 0) {
        PyErr_Clear();  // no watcher left: lookups stay uncached
        return;
    }
    if (PyDict_Watch(watcher, dict) < 0) fail();
}

object Scope::operator[](const Name& name) const {
    if (name.cached_globals_ == globals && name.cached_generation_ == generation && watcher >= 0)
        return nb::borrow(name.cached_value_);
    object value = lookup(name);
    name.cached_globals_ = globals;
    name.cached_value_ = value.ptr();  // borrowed: the namespace holds it while unchanged
    name.cached_generation_ = generation;
    return value;
}

object attribute_of(handle obj, const Name& name) {
    PyObject* target = obj.ptr();
    if (!PyModule_CheckExact(target) || watcher < 0)
        return checked(PyObject_GetAttr(target, name.ptr()));
    PyObject* dict = PyModule_GetDict(target);
    if (name.attr_dict_ == dict && name.attr_generation_ == generation)
        return nb::borrow(name.attr_value_);
    object value = checked(PyObject_GetAttr(target, name.ptr()));
    // Keep it only when it is the dictionary's own entry (not a module __getattr__ answer).
    PyObject* entry = nullptr;
    if (PyDict_GetItemRef(dict, name.ptr(), &entry) < 0) fail();
    if (entry == value.ptr()) {
        watch_namespace(dict);
        name.attr_dict_ = dict;
        name.attr_value_ = entry;  // borrowed: the dictionary holds it while unchanged
        name.attr_generation_ = generation;
    }
    Py_XDECREF(entry);
    return value;
}

object Scope::lookup(const Name& name) const {
    PyObject* found = nullptr;
    int r = PyDict_GetItemRef(globals, name.ptr(), &found);
    if (r == 0) r = PyDict_GetItemRef(builtins, name.ptr(), &found);
    if (r > 0) return nb::steal(found);
    if (r < 0) fail();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    PyObject* exc = PyErr_GetRaisedException();
    PyObject_SetAttrString(exc, "name", name.ptr());
    PyErr_SetRaisedException(exc);
    fail();
}

void fail() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "velmor: error return without an exception set");
    throw error();
}

object checked(PyObject* result) {
    if (!result) fail();
    return nb::steal(result);
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
PyObject* make_pending(handle cls, handle message) {
    PyObject* exc = raisable(checked(PyObject_CallOneArg(cls.ptr(), message.ptr())));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
    return PyErr_GetRaisedException();
}

[[noreturn]] void raise_chained(handle cls, handle message, const error& cause) {
    PyObject* exc;
    {
        // Made inside the handler of `cause`: an error of the making has it as its context.
        Handling handling(cause);
        exc = make_pending(cls, message);
    }
    // Inside the handler of `cause`: it is both the context and the explicit cause.
    PyException_SetContext(exc, Py_NewRef(cause.value().ptr()));
    PyException_SetCause(exc, Py_NewRef(cause.value().ptr()));
    PyErr_SetRaisedException(exc);
    throw error();
}

}  // namespace

void raise(handle cls, handle message) {
    PyErr_SetRaisedException(make_pending(cls, message));
    throw error();
}

void raise(handle cls, const char* message) {
    raise(cls, checked(PyUnicode_FromString(message)));
}

void raise_from(handle cls, handle message, const error& cause) {
    raise_chained(cls, message, cause);
}

void raise_from(handle cls, const char* message, const error& cause) {
    raise_chained(cls, checked(PyUnicode_FromString(message)), cause);
}

void raise_prefixed(handle cls, const char* prefix, const error& cause) {
    object text = text_of(cause);
    object message = checked(PyUnicode_FromFormat("%s%U", prefix, text.ptr()));
    raise_chained(cls, message, cause);
}

Handling::Handling(handle exception) : previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(exception.ptr());
}

Handling::~Handling() {
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

bool Except::matches(handle target) const {
    PyObject* t = target.ptr();
    if (PyTuple_Check(t)) {
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(t); i < n; ++i)
            if (!PyExceptionClass_Check(PyTuple_GET_ITEM(t, i))) cannot_catch();
    } else if (!PyExceptionClass_Check(t)) {
        cannot_catch();
    }
    return PyErr_GivenExceptionMatches(exception_.ptr(), t) != 0;
}

bool Except::matches(std::initializer_list<handle> targets) const {
    for (handle t : targets)
        if (!PyExceptionClass_Check(t.ptr())) cannot_catch();
    for (handle t : targets)
        if (PyErr_GivenExceptionMatches(exception_.ptr(), t.ptr())) return true;
    return false;
}

bool is_exception(const error& e) { return e.matches(PyExc_Exception); }

object text_of(const error& e) { return checked(PyObject_Str(e.value().ptr())); }

bool truthy(handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) fail();
    return r != 0;
}

Py_ssize_t length(handle value) {
    Py_ssize_t n = PyObject_Length(value.ptr());
    if (n < 0) fail();
    return n;
}

object number(Py_ssize_t value) { return checked(PyLong_FromSsize_t(value)); }

object boolean(bool value) { return nb::borrow(value ? Py_True : Py_False); }

object add(handle a, handle b) { return checked(PyNumber_Add(a.ptr(), b.ptr())); }

bool compare(handle a, handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) fail();
    return r != 0;
}

object bytes_of(handle value) {
    if (PyBytes_CheckExact(value.ptr())) return nb::borrow(value);
    return checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), value.ptr()));
}

object urandom(handle size) {
    VM_NAME(os);
    VM_NAME(urandom);
    // The host's os module itself, as sys.modules has it, whatever a module's `os` is bound to.
    PyObject* os_module = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), os.ptr(), &os_module) < 0) fail();
    object module = os_module ? nb::steal(os_module) : checked(PyImport_Import(os.ptr()));
    return call(attribute_of(module, urandom), size);
}

}  // namespace vm
