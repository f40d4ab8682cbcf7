// The module builder and the import of the package's own modules. A module is made, registered
// in sys.modules under its dotted name, and its body binds the names in their order, as the
// host's import system and a module's code would. A body that fails leaves its module out of
// sys.modules, so a later import starts again.
//
// The package's modules are also known to the host's import system: a finder on sys.meta_path
// gives each dotted name a spec whose loader runs its body, so an import started elsewhere (by
// another thread while the package loads, or by importlib.reload) finds them at every moment.
// Loads take the host's lock of the module, as every import does, so a thread that wants a
// module another thread is still building waits for it.
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

void set_item(PyObject* dict, const char* name, handle value) {
    if (PyDict_SetItemString(dict, name, value.ptr()) < 0) fail();
}

// The attributes that the host's import system gives a module before its code runs (the
// package itself comes from the extension's spec, which knows nothing of sub-modules).
void prepare(handle module, const ModuleDef& def) {
    PyObject* dict = PyModule_GetDict(module.ptr());
    std::string_view name(def.name);
    bool package = def.flags & Package;
    std::string_view parent = package ? name : name.substr(0, name.rfind('.') == std::string_view::npos ? 0 : name.rfind('.'));
    set_item(dict, "__package__", text(parent));
    if (package) set_item(dict, "__path__", checked(PyList_New(0)));
    if (def.flags & Annotations) {
        VM_NAME(annotations);
        object future = checked(PyImport_ImportModule("__future__"));
        set_item(dict, "annotations", future.attr(annotations));
    }
}

// The package's module whose body this thread is running, innermost first; null outside.
thread_local const ModuleDef* building = nullptr;

// The module's body, run on a module object that holds the import system's attributes.
void run_body(handle module, const ModuleDef& def) {
    struct Building {
        const ModuleDef* outer = building;
        explicit Building(const ModuleDef& def) { building = &def; }
        ~Building() { building = outer; }
    } scope(def);
    prepare(module, def);
    Module body(module);
    def.build(body);
}

// The host's import machinery (importlib._bootstrap, loaded with the interpreter): its module
// locks and module_from_spec.
object bootstrap() { return checked(PyImport_ImportModule("_frozen_importlib")); }

// ---------------------------------------------------------------------------------------------
// The finder and loader of the package's sub-modules on sys.meta_path, one per process (like
// the function types). The package itself is the extension's and is not its business.

PyTypeObject* ImporterType = nullptr;
PyObject* importer = nullptr;

const ModuleDef* submodule(handle name) {
    if (!PyUnicode_Check(name.ptr())) return nullptr;
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (!utf8) fail();
    std::string_view dotted(utf8, static_cast<std::size_t>(size));
    if (dotted.find('.') == std::string_view::npos) return nullptr;
    return find_module(dotted);
}

object spec_of(const ModuleDef& def) {
    VM_NAME(ModuleSpec);
    return bootstrap().attr(ModuleSpec)(text(def.name), handle(importer),
                                       nb::arg("is_package") = nb::bool_(def.flags & Package));
}

// find_spec(fullname, path=None, target=None)
PyObject* importer_find_spec(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "find_spec expected 1 to 3 arguments, got %zd", nargs);
        return nullptr;
    }
    try {
        const ModuleDef* def = submodule(args[0]);
        return def ? spec_of(*def).release().ptr() : Py_NewRef(Py_None);
    } catch (error& e) {
        e.restore();
        return nullptr;
    }
}

// create_module(spec): the host's default module
PyObject* importer_create_module(PyObject*, PyObject*) { Py_RETURN_NONE; }

// exec_module(module): the body of the module its name names, on that module object
PyObject* importer_exec_module(PyObject*, PyObject* module) {
    try {
        VM_NAME(__name__);
        object name = checked(PyObject_GetAttr(module, __name__.ptr()));
        const ModuleDef* def = submodule(name);
        if (!def) {
            PyErr_Format(PyExc_ImportError, "velmor has no module named %R", name.ptr());
            fail();
        }
        run_body(module, *def);
        Py_RETURN_NONE;
    } catch (error& e) {
        e.restore();
        return nullptr;
    }
}

PyMethodDef importer_methods[] = {
    {"find_spec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(importer_find_spec)),
     METH_FASTCALL, nullptr},
    {"create_module", importer_create_module, METH_O, nullptr},
    {"exec_module", importer_exec_module, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Shown in a module's repr as its origin: <module 'velmor.aes' (velmor.importer)>.
PyObject* importer_repr(PyObject*) { return PyUnicode_FromString("velmor.importer"); }

// The importer on sys.meta_path, after the host's own finders; put back if it was taken away.
void install_importer() {
    if (!ImporterType) {
        static PyType_Slot slots[] = {{Py_tp_methods, importer_methods},
                                      {Py_tp_repr, reinterpret_cast<void*>(importer_repr)},
                                      {0, nullptr}};
        static PyType_Spec spec = {"velmor.importer", sizeof(PyObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                                       Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                   slots};
        ImporterType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
        if (!ImporterType) fail();
    }
    if (!importer) importer = checked(PyType_GenericAlloc(ImporterType, 0)).release().ptr();
    PyObject* meta_path = PySys_GetObject("meta_path");
    if (!meta_path || !PyList_Check(meta_path)) {
        PyErr_SetString(PyExc_ImportError, "velmor: sys.meta_path is not a list");
        fail();
    }
    int present = PySequence_Contains(meta_path, importer);
    if (present < 0) fail();
    if (!present && PyList_Append(meta_path, importer) < 0) fail();
}

// Whether a module in sys.modules is still being built (by this thread or another).
bool initializing(handle module) {
    VM_NAME(__spec__);
    VM_NAME(_initializing);
    PyObject* spec = nullptr;
    if (PyObject_GetOptionalAttr(module.ptr(), __spec__.ptr(), &spec) < 0) fail();
    if (!spec) return false;
    object owned = nb::steal(spec);
    PyObject* flag = nullptr;
    if (PyObject_GetOptionalAttr(spec, _initializing.ptr(), &flag) < 0) fail();
    if (!flag) return false;
    return truthy(nb::steal(flag));
}

// What an import finds in sys.modules: the module, nothing (null), or the host's error for None.
object registered(handle key) {
    object m = loaded(key);
    if (m.is_none()) {
        PyErr_Format(PyExc_ModuleNotFoundError, "import of %U halted; None in sys.modules", key.ptr());
        PyObject* exc = PyErr_GetRaisedException();
        PyObject_SetAttrString(exc, "name", key.ptr());
        PyErr_SetRaisedException(exc);
        fail();
    }
    return m;
}

// The load of one of the package's modules while holding its lock, in the host's order: the
// parent first, the module registered in sys.modules (flagged as initializing) before its body
// runs and removed again if the body fails, then bound as an attribute of its parent.
object load_locked(std::string_view name, handle key, const ModuleDef& def) {
    if (object m = registered(key)) return m;  // loaded meanwhile, or this thread's own import
    std::size_t dot = name.rfind('.');
    object parent;
    if (dot != std::string_view::npos) {
        object parent_key = text(name.substr(0, dot));
        parent = registered(parent_key);
        if (!parent) parent = import_module(name.substr(0, dot));
        if (object m = registered(key)) return m;
    }
    VM_NAME(module_from_spec);
    VM_NAME(_initializing);
    object spec = spec_of(def);
    object module = bootstrap().attr(module_from_spec)(spec);
    PyObject* modules = PyImport_GetModuleDict();
    if (PyObject_SetAttr(spec.ptr(), _initializing.ptr(), Py_True) < 0) fail();
    if (PyDict_SetItem(modules, key.ptr(), module.ptr()) < 0) fail();
    try {
        run_body(module, def);
    } catch (...) {
        // Keep the pending C++ exception; only undo the registration.
        PyObject* exc = PyErr_GetRaisedException();
        PyObject* current = nullptr;
        if (PyDict_GetItemRef(modules, key.ptr(), &current) > 0 && current == module.ptr())
            PyDict_DelItem(modules, key.ptr());
        Py_XDECREF(current);
        PyObject_SetAttr(spec.ptr(), _initializing.ptr(), Py_False);
        PyErr_Clear();
        if (exc) PyErr_SetRaisedException(exc);
        throw;
    }
    if (PyObject_SetAttr(spec.ptr(), _initializing.ptr(), Py_False) < 0) fail();
    if (parent) {
        object child = text(name.substr(dot + 1));
        if (PyObject_SetAttr(parent.ptr(), child.ptr(), module.ptr()) < 0) fail();
    }
    if (object m = registered(key)) return m;
    PyErr_Format(PyExc_ImportError, "module '%U' not found in sys.modules", key.ptr());
    fail();
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
    object f = detail::new_function(name, get("__name__"), dict_, impl, params, result);
    VM_NAME(__doc__);
    if (doc) f.attr(__doc__) = nb::str(doc);
    set(name, f);
}

void Module::coroutine_package(ShortNames names, Imports also) {
    VM_NAME(__doc__);
    VM_NAME(markcoroutinefunction);
    import("asyncio");
    import_from(name(), {"core"});
    if (also.module) import_from(also.module, also.names);
    object core = get("core");
    object inspect = checked(PyImport_ImportModule("inspect"));
    nb::list all_names;
    for (const ShortName& entry : names) {
        object target = core.attr(entry.core_function);
        object f = detail::new_coroutine_function(entry.name, get("__name__"), dict_,
                                                  entry.core_function, target);
        inspect.attr(markcoroutinefunction)(f);
        f.attr(__doc__) = target.attr(__doc__);
        set(entry.name, f);
        all_names.append(nb::str(entry.name));
    }
    for (const char* extra : also.names) all_names.append(nb::str(extra));
    all_names.append(nb::str("core"));
    set("__all__", all_names);
}

void Module::all(std::initializer_list<const char*> names) {
    nb::list list;
    for (const char* name : names) list.append(nb::str(name));
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
    object m = registered(key);
    if (m && !initializing(m)) return m;
    // The package's sub-modules load here; any other module, the package itself included, is
    // the host's to import.
    const ModuleDef* def = submodule(key);
    if (!def) {
        // The package gone while one of its modules loads means its initialisation failed on
        // another thread: building it again inside this module would bind this half-built
        // module into the new one for good.
        if (!m && building && find_module(name)) {
            PyErr_Format(PyExc_ImportError, "%U was removed from sys.modules while %s was loading",
                         key.ptr(), building->name);
            fail();
        }
        return checked(PyImport_Import(key.ptr()));
    }
    // Under the host's lock of the module: a module that another thread is building is waited
    // for, one that this thread is building (a circular import) is taken as it stands.
    VM_NAME(_ModuleLockManager);
    object lock = bootstrap().attr(_ModuleLockManager)(key);
    object module;
    with_block(lock, [&](handle) { module = load_locked(name, key, *def); });
    return module;
}

object create_package(handle spec) {
    // Once the import system registers the package in sys.modules, another thread may import one
    // of its modules at any moment, without waiting for the package: by then the runtime must be
    // ready, the importer in place, and the package a package.
    if (!detail::FunctionType) detail::FunctionType = detail::make_function_type();
    if (!detail::CoroutineType) detail::CoroutineType = detail::make_coroutine_type();
    if (!detail::FunctionType || !detail::CoroutineType) fail();
    install_importer();
    VM_NAME(name);
    object module = checked(PyModule_NewObject(spec.attr(name).ptr()));
    set_item(PyModule_GetDict(module.ptr()), "__path__", checked(PyList_New(0)));
    return module;
}

void exec_module(handle module, const ModuleDef& def) { run_body(module, def); }

}  // namespace vm
