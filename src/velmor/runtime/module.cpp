// The module builder and the import of the package's own modules. A module is made, registered
// in sys.modules under its dotted name, and its body binds the names in their order, as the
// host's import system and a module's code would. A body that fails leaves its module out of
// sys.modules, so a later import starts again.
#include "runtime/function.hpp"

#include <string>

namespace vm {

namespace {

object text(std::string_view s) {
    return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

object loaded(handle key) {
    PyObject* m = PyImport_GetModule(key.ptr());
    if (!m && PyErr_Occurred()) fail();
    return nb::steal(m);
}

object builtins_dict() {
    VM_NAME(builtins);
    object mod = checked(PyImport_Import(builtins.ptr()));
    return nb::borrow(PyModule_GetDict(mod.ptr()));
}

void set_item(PyObject* dict, const char* name, handle value) {
    if (PyDict_SetItemString(dict, name, value.ptr()) < 0) fail();
}

// The attributes that the host's import system gives a module before its code runs.
void prepare(handle module, const ModuleDef& def, bool made_here) {
    PyObject* dict = PyModule_GetDict(module.ptr());
    std::string_view name(def.name);
    bool package = def.flags & Package;
    std::string_view parent = package ? name : name.substr(0, name.rfind('.') == std::string_view::npos ? 0 : name.rfind('.'));
    set_item(dict, "__package__", text(parent));
    if (made_here) {
        VM_NAME(ModuleSpec);
        object machinery_mod = checked(PyImport_ImportModule("importlib.machinery"));
        object spec = machinery_mod.attr(ModuleSpec)(text(name), nb::none(),
                                                    nb::arg("is_package") = nb::bool_(package));
        set_item(dict, "__spec__", spec);
    }
    if (package) set_item(dict, "__path__", checked(PyList_New(0)));
    if (def.flags & Annotations) {
        VM_NAME(annotations);
        object future = checked(PyImport_ImportModule("__future__"));
        set_item(dict, "annotations", future.attr(annotations));
    }
}

// The value that `from module import name` binds: the attribute, else the sub-module of that
// name registered in sys.modules (as the host's from-import falls back), else the host's error.
object imported_name(handle source, const char* module, const char* name) {
    PyObject* value = PyObject_GetAttrString(source.ptr(), name);
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    if (object sub = loaded(text(std::string(module) + "." + name))) return sub;
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    fail();
}

}  // namespace

Module::Module(handle module) : module_(module), dict_(PyModule_GetDict(module.ptr())) {}

const char* Module::name() const { return PyModule_GetName(module_.ptr()); }

void Module::set(const char* name, handle value) { set_item(dict_, name, value); }

void Module::set(const char* name, long value) { set(name, checked(PyLong_FromLong(value))); }

object Module::get(const char* name) const {
    PyObject* value = nullptr;
    int r = PyDict_GetItemStringRef(dict_, name, &value);
    if (r < 0) fail();
    if (r == 0) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        fail();
    }
    return nb::steal(value);
}

void Module::import(const char* module) {
    object key = checked(PyUnicode_FromString(module));
    set(module, checked(PyImport_Import(key.ptr())));
}

void Module::import_from(const char* module, std::initializer_list<const char*> names) {
    std::string_view base(module);
    object source;
    if (find_module(base)) {
        source = import_module(base);
        for (const char* name : names) {
            if (PyObject_HasAttrStringWithError(source.ptr(), name) == 1) continue;
            std::string sub = std::string(base) + "." + name;
            if (find_module(sub)) import_module(sub);
        }
    } else {
        object fromlist = checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
        Py_ssize_t i = 0;
        for (const char* name : names)
            PyTuple_SET_ITEM(fromlist.ptr(), i++, checked(PyUnicode_FromString(name)).release().ptr());
        object key = checked(PyUnicode_FromString(module));
        source = checked(PyImport_ImportModuleLevelObject(key.ptr(), dict_, nullptr, fromlist.ptr(), 0));
    }
    for (const char* name : names) set(name, imported_name(source, module, name));
}

void Module::import_from_as(const char* module, const char* name, const char* alias) {
    set(alias, vm::import_from(module, name));
}

void Module::def(const char* name, Impl impl, std::initializer_list<Param> params, const char* result,
                 const char* doc) {
    object module_name = get("__name__");
    object f = detail::new_function(name, module_name, dict_, builtins_dict().ptr(), impl, nullptr,
                                    params, result);
    VM_NAME(__doc__);
    if (doc) f.attr(__doc__) = checked(PyUnicode_FromString(doc));
    set(name, f);
}

void Module::coroutine(const char* name, const char* core_function, std::initializer_list<Param> params,
                       const char* result) {
    VM_NAME(markcoroutinefunction);
    object module_name = get("__name__");
    object f = detail::new_function(name, module_name, dict_, builtins_dict().ptr(), nullptr,
                                    core_function, params, result);
    object inspect = checked(PyImport_ImportModule("inspect"));
    inspect.attr(markcoroutinefunction)(f);
    VM_NAME(__doc__);
    f.attr(__doc__) = get("core").attr(core_function).attr(__doc__);
    set(name, f);
}

void Module::all(std::initializer_list<const char*> names) {
    object list = checked(PyList_New(0));
    for (const char* name : names)
        if (PyList_Append(list.ptr(), checked(PyUnicode_FromString(name)).ptr()) < 0) fail();
    set("__all__", list);
}

object Module::make_class(const char* name, std::initializer_list<handle> bases,
                          const std::vector<std::pair<const char*, handle>>& attributes) {
    object base_tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    Py_ssize_t i = 0;
    for (handle b : bases) PyTuple_SET_ITEM(base_tuple.ptr(), i++, Py_NewRef(b.ptr()));
    handle meta = bases.size() ? handle(reinterpret_cast<PyObject*>(Py_TYPE(bases.begin()->ptr())))
                               : handle(reinterpret_cast<PyObject*>(&PyType_Type));
    object class_name = checked(PyUnicode_FromString(name));
    // The namespace comes from the metaclass's __prepare__, as in a class statement (an
    // enum's namespace records its members in order).
    VM_NAME(__prepare__);
    object ns = meta.attr(__prepare__)(class_name, base_tuple);
    auto store = [&](const char* key, handle value) {
        object k = checked(PyUnicode_FromString(key));
        if (PyObject_SetItem(ns.ptr(), k.ptr(), value.ptr()) < 0) fail();
    };
    store("__module__", get("__name__"));
    store("__qualname__", class_name);
    for (const auto& [attr, value] : attributes) store(attr, value);
    return meta(class_name, base_tuple, ns);
}

object import_from(const char* module, const char* name) {
    std::string_view base(module);
    object source = import_module(base);
    if (PyObject_HasAttrStringWithError(source.ptr(), name) != 1) {
        // a sub-module not loaded yet, as the host's fromlist handling loads it
        std::string sub = std::string(base) + "." + name;
        if (find_module(sub)) {
            import_module(sub);
        } else {
            object key = text(sub);
            PyObject* m = PyImport_Import(key.ptr());
            if (m) {
                Py_DECREF(m);
            } else if (PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
                PyErr_Clear();
            } else {
                fail();
            }
        }
    }
    return imported_name(source, module, name);
}

object import_module(std::string_view name) {
    object key = text(name);
    if (object m = loaded(key)) return m;
    std::size_t dot = name.rfind('.');
    object parent;
    if (dot != std::string_view::npos) {
        parent = import_module(name.substr(0, dot));
        if (object m = loaded(key)) return m;
    }
    const ModuleDef* def = find_module(name);
    if (!def) return checked(PyImport_Import(key.ptr()));

    object module = checked(PyModule_NewObject(key.ptr()));
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_SetItem(modules, key.ptr(), module.ptr()) < 0) fail();
    try {
        prepare(module, *def, true);
        Module body(module);
        def->build(body);
    } catch (...) {
        // Keep the pending C++ exception; only undo the registration.
        PyObject* exc = PyErr_GetRaisedException();
        PyObject* current = nullptr;
        if (PyDict_GetItemRef(modules, key.ptr(), &current) > 0 && current == module.ptr())
            PyDict_DelItem(modules, key.ptr());
        Py_XDECREF(current);
        PyErr_Clear();
        if (exc) PyErr_SetRaisedException(exc);
        throw;
    }
    if (parent) {
        object child = text(name.substr(dot + 1));
        if (PyObject_SetAttr(parent.ptr(), child.ptr(), module.ptr()) < 0) fail();
    }
    if (object m = loaded(key)) return m;
    PyErr_Format(PyExc_ImportError, "module '%U' not found in sys.modules", key.ptr());
    fail();
}

void exec_module(handle module, const ModuleDef& def) {
    prepare(module, def, false);
    Module body(module);
    def.build(body);
}

bool ready_types() {
    if (!detail::FunctionType) detail::FunctionType = detail::make_function_type();
    if (!detail::CoroutineType) detail::CoroutineType = detail::make_coroutine_type();
    return detail::FunctionType && detail::CoroutineType;
}

}  // namespace vm
