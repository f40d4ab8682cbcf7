// Interned names, the keyword tuples of calls, and late lookup in a module's namespace with its
// cache.
#include "runtime/function.hpp"

namespace vm {

void Name::intern() const {
    obj_ = PyUnicode_InternFromString(text_);
    if (!obj_) fail();
}

PyObject* detail::keyword_tuple(const char* const* names, std::size_t count) {
    object tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i),
                         checked(PyUnicode_InternFromString(names[i])).release().ptr());
    return tuple.release().ptr();
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

// The uncached lookup: the module's dictionary, then the built-ins, else the host's NameError.
object lookup(const Scope& s, const Name& name) {
    PyObject* found = nullptr;
    int r = PyDict_GetItemRef(s.globals, name.ptr(), &found);
    if (r == 0) r = PyDict_GetItemRef(s.builtins, name.ptr(), &found);
    if (r > 0) return nb::steal(found);
    if (r < 0) fail();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    PyObject* exc = PyErr_GetRaisedException();
    PyObject_SetAttrString(exc, "name", name.ptr());
    PyErr_SetRaisedException(exc);
    fail();
}

// The bit of a thread's eval_breaker by which another thread asks it for the GIL (CPython 3.13's
// _PY_GIL_DROP_REQUEST_BIT). From 3.14 on a thread ended at exit hangs instead of unwinding.
constexpr uintptr_t kGilDropRequest = 1;

void hand_over_if_asked(PyThreadState* thread) {
#if PY_VERSION_HEX < 0x030E0000
    if (__atomic_load_n(&thread->eval_breaker, __ATOMIC_RELAXED) & kGilDropRequest) {
        PyEval_SaveThread();
        PyEval_RestoreThread(thread);
    }
#else
    (void)thread;
#endif
}

}  // namespace

void detail::watch_namespace(PyObject* dict) {
    if (watcher < 0) watcher = PyDict_AddWatcher(on_namespace_event);
    if (watcher < 0) {
        PyErr_Clear();  // no watcher left: lookups stay uncached
        return;
    }
    if (PyDict_Watch(watcher, dict) < 0) fail();
}

object Scope::operator[](const Name& name) const {
    hand_over_if_asked(thread);
    // The generation is read before the lookup: a lookup that runs code (a colliding key's
    // __eq__) and changes a namespace leaves the answer uncached.
    unsigned long seen = generation;
    if (name.cached_globals_ == globals && name.cached_generation_ == seen && watcher >= 0)
        return nb::borrow(name.cached_value_);
    object value = lookup(*this, name);
    name.cached_globals_ = globals;
    name.cached_value_ = value.ptr();  // borrowed: the namespace holds it while unchanged
    name.cached_generation_ = seen;
    return value;
}

object attribute_of(nb::handle obj, const Name& name) {
    PyObject* target = obj.ptr();
    if (!PyModule_CheckExact(target) || watcher < 0)
        return checked(PyObject_GetAttr(target, name.ptr()));
    PyObject* dict = PyModule_GetDict(target);
    unsigned long seen = generation;  // before the lookup, as in Scope
    if (name.attr_dict_ == dict && name.attr_generation_ == seen)
        return nb::borrow(name.attr_value_);
    object value = checked(PyObject_GetAttr(target, name.ptr()));
    // Keep it only when it is the dictionary's own entry (not a module __getattr__ answer).
    PyObject* entry = nullptr;
    if (PyDict_GetItemRef(dict, name.ptr(), &entry) < 0) fail();
    if (entry == value.ptr()) {
        detail::watch_namespace(dict);
        name.attr_dict_ = dict;
        name.attr_value_ = entry;  // borrowed: the dictionary holds it while unchanged
        name.attr_generation_ = seen;
    }
    Py_XDECREF(entry);
    return value;
}

const object& Attribute::value() const {
    if (!value_) value_ = attribute_of(obj_, name_);
    return value_;
}

void Attribute::operator=(nb::handle value) const {
    if (PyObject_SetAttr(obj_.ptr(), name_.ptr(), value.ptr()) < 0) fail();
}

}  // namespace vm
