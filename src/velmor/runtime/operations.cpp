// Host operations that nanobind does not offer (random bytes, bytes(), slices with an open end,
// joins, unpacking, the with statement, imports, the truth test and `==`).
#include "runtime/runtime.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vm {

namespace names {
VM_NAME(os);
VM_NAME(urandom);
VM_NAME(__enter__);
VM_NAME(__exit__);
VM_NAME(__import__);
VM_NAME(from_bytes);
}  // namespace names

namespace {

// A special method looked up on the type and bound to the object, as the interpreter does.
object special(nb::handle obj, const Name& name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(obj.ptr()), name.ptr());
    if (!found) return object();
    object attr = nb::borrow(found);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return attr;
    return checked(get(found, obj.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))));
}

}  // namespace

object slice(nb::handle seq, nb::handle start, nb::handle stop) {
    object bounds = checked(PySlice_New(start.ptr(), stop.ptr(), nullptr));
    return checked(PyObject_GetItem(seq.ptr(), bounds.ptr()));
}

object slice(nb::handle seq, Py_ssize_t start, Py_ssize_t stop) {
    object first = nb::int_(start);
    return slice(seq, first, stop == kEnd ? object(nb::none()) : object(nb::int_(stop)));
}

object buffer_bytes(nb::handle value) {
    if (PyBytes_CheckExact(value.ptr())) return nb::borrow(value);
    // bytes() alone would also take an int (that many zero bytes) or any iterable of ints
    object view = checked(PyMemoryView_FromObject(value.ptr()));
    return checked(PyBytes_FromObject(view.ptr()));
}

bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) fail();
    return r != 0;
}

bool equals(nb::handle a, nb::handle b) {
    return truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}

object bytes_of(nb::handle value) {
    if (PyBytes_CheckExact(value.ptr())) return nb::borrow(value);
    return checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), value.ptr()));
}

object bytes_of_items(std::initializer_list<nb::handle> items) {
    nb::list values;
    for (nb::handle item : items) values.append(item);
    return checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), values.ptr()));
}

object int_from_bytes(nb::handle data, const Name& order) {
    object int_type = nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
    return int_type.attr(names::from_bytes)(data, order);
}

object format(nb::handle value) {
    return checked(PyObject_Format(value.ptr(), nb::str("").ptr()));
}

object urandom(nb::handle size) {
    PyObject* os_module = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), names::os.ptr(), &os_module) < 0) fail();
    object module = os_module ? nb::steal(os_module) : checked(PyImport_Import(names::os.ptr()));
    return attribute_of(module, names::urandom)(size);
}

namespace {

// The bytes of `count` ranges, range(i) giving each, copied once.
template <typename Range>
object copied_once(std::size_t count, Range range) {
    Py_ssize_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += range(i).size;
    object out = checked(PyBytes_FromStringAndSize(nullptr, total));
    char* dst = PyBytes_AS_STRING(out.ptr());
    for (std::size_t i = 0; i < count; ++i) {
        ByteRange r = range(i);
        if (r.size) std::memcpy(dst, r.data, static_cast<std::size_t>(r.size));
        dst += r.size;
    }
    return out;
}

}  // namespace

object concatenate(std::initializer_list<ByteRange> ranges) {
    return copied_once(ranges.size(), [&](std::size_t i) { return ranges.begin()[i]; });
}

object join(std::initializer_list<nb::handle> parts) {
    // Only exact bytes: a subclass may define its own `+`.
    bool all_bytes = std::all_of(parts.begin(), parts.end(),
                                 [](nb::handle p) { return PyBytes_CheckExact(p.ptr()); });
    if (all_bytes)
        return copied_once(parts.size(), [&](std::size_t i) {
            PyObject* p = parts.begin()[i].ptr();
            return ByteRange{PyBytes_AS_STRING(p), PyBytes_GET_SIZE(p)};
        });
    object acc;
    for (nb::handle p : parts)
        acc = acc ? checked(PyNumber_Add(acc.ptr(), p.ptr())) : nb::borrow(p);
    return acc;
}

void unpack(nb::handle iterable, std::initializer_list<object*> out) {
    std::size_t want = out.size();
    if (!Py_TYPE(iterable.ptr())->tp_iter && !PySequence_Check(iterable.ptr())) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(iterable.ptr())->tp_name);
        fail();
    }
    object iter = checked(PyObject_GetIter(iterable.ptr()));
    std::vector<object> got;
    got.reserve(want);
    for (std::size_t i = 0; i < want; ++i) {
        PyObject* next = PyIter_Next(iter.ptr());
        if (!next) {
            if (PyErr_Occurred()) fail();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)",
                         want, i);
            fail();
        }
        got.push_back(nb::steal(next));
    }
    PyObject* extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", want);
        fail();
    }
    if (PyErr_Occurred()) fail();
    std::size_t i = 0;
    for (object* target : out) *target = std::move(got[i++]);
}

bool with_block(nb::handle cm, const std::function<void(handle)>& body) {
    object enter = special(cm, names::__enter__);
    if (!enter) {
        if (PyErr_Occurred()) fail();
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(cm.ptr())->tp_name);
        fail();
    }
    object exit = special(cm, names::__exit__);
    if (!exit) {
        if (PyErr_Occurred()) fail();
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     Py_TYPE(cm.ptr())->tp_name);
        fail();
    }
    object value = checked(PyObject_CallNoArgs(enter.ptr()));
    object exc;
    try {
        body(value);
    } catch (abi::__forced_unwind&) {
        throw;  // the thread ends: no __exit__ without a thread state
    } catch (...) {
        // Whatever left the body, a C++ failure included, is the exception __exit__ sees.
        set_error_of_current_exception();
        exc = nb::steal(PyErr_GetRaisedException());
    }
    if (!exc) {
        checked(PyObject_CallFunctionObjArgs(exit.ptr(), Py_None, Py_None, Py_None, nullptr));
        return true;
    }
    object tb = nb::steal(PyException_GetTraceback(exc.ptr()));
    nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()));
    PyObject* r;
    {
        // While __exit__ runs the body's exception is the one being handled, so an error of
        // __exit__ gets it as its context, as in the host.
        Handling handling(exc);
        r = PyObject_CallFunctionObjArgs(exit.ptr(), type.ptr(), exc.ptr(), tb ? tb.ptr() : Py_None,
                                         nullptr);
    }
    object verdict = checked(r);
    if (truthy(verdict)) return false;
    PyErr_SetRaisedException(exc.release().ptr());
    fail();
}

object import_name(const Scope& s, nb::handle name, nb::handle fromlist, int level) {
    PyObject* found = nullptr;
    int r = PyDict_GetItemRef(s.builtins, names::__import__.ptr(), &found);
    if (r < 0) fail();
    if (r == 0) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        fail();
    }
    object import_fn = nb::steal(found);
    return import_fn(name, nb::borrow(s.globals), nb::none(), fromlist, nb::int_(level));
}

object import_name(const Scope& s, nb::handle name) { return import_name(s, name, nb::none(), 0); }

}  // namespace vm
