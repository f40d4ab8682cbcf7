// Interned names, the keyword tuples of calls, and late lookup in a module's namespace with its
// cache.
#include "runtime/function.hpp"

#include <algorithm>

namespace vm {

unsigned long detail::namespace_generation = 1;

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
int watcher = -1;

int on_namespace_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++detail::namespace_generation;
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

}  // namespace

void detail::watch_namespace(PyObject* dict) {
    if (watcher < 0) watcher = PyDict_AddWatcher(on_namespace_event);
    if (watcher < 0) {
        PyErr_Clear();  // no watcher left: lookups stay uncached
        return;
    }
    if (PyDict_Watch(watcher, dict) < 0) fail();
}

object Scope::look_up(const Name& name) const {
    // The generation is read before the lookup: a lookup that runs code (a colliding key's
    // __eq__) and changes a namespace leaves the answer uncached.
    unsigned long seen = watcher >= 0 ? detail::namespace_generation : 0;
    Name::Lookup* slot = nullptr;
    for (Name::Lookup& entry : name.lookups_) {
        if (entry.globals == globals) {
            slot = &entry;
            break;
        }
    }
    if (slot && seen && slot->generation == seen) {
        object value = nb::borrow(slot->value);
        // most recent first, where the inline test looks
        std::swap(*slot, name.lookups_[0]);
        return value;
    }
    object value = lookup(*this, name);
    if (!slot) {
        // the new namespace goes first, the others move down, the oldest out
        std::move_backward(name.lookups_, name.lookups_ + Name::kLookups - 1,
                           name.lookups_ + Name::kLookups);
        slot = &name.lookups_[0];
    } else {
        std::swap(*slot, name.lookups_[0]);
        slot = &name.lookups_[0];
    }
    slot->globals = globals;
    slot->value = value.ptr();  // borrowed: the namespace holds it while unchanged
    slot->generation = seen;
    return value;
}

object attribute_of(nb::handle obj, const Name& name) {
    PyObject* target = obj.ptr();
    if (!PyModule_CheckExact(target) || watcher < 0)
        return checked(PyObject_GetAttr(target, name.ptr()));
    PyObject* dict = PyModule_GetDict(target);
    unsigned long seen = detail::namespace_generation;  // before the lookup, as in Scope
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

void Attribute::operator=(nb::handle value) const {
    if (PyObject_SetAttr(obj_.ptr(), name_.ptr(), value.ptr()) < 0) fail();
}

}  // namespace vm
