// The module builder and the finder of the package's own modules. The host's import system does
// the loading: a finder on sys.meta_path gives each of the package's dotted names a spec whose
// loader runs the module's body, so every import of one of them (at load time, by another thread
// while the package loads, from a call, by importlib.reload) takes the host's road, with its
// module locks, registration in sys.modules, removal when a body fails and binding on the parent.
#include "runtime/function.hpp"

#include <string>

namespace vm {

namespace names {
VM_NAME(markcoroutinefunction);
VM_NAME(__prepare__);
}  // namespace names

namespace {

object text(std::string_view s) {
    return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

void set_item(PyObject* dict, const char* name, nb::handle value) {
    if (PyDict_SetItemString(dict, name, value.ptr()) < 0) fail();
}

// The package's modules, the package first; constant data of the package, given at its creation.
std::span<const ModuleDef> modules;

// The module of the table that `name` names; null for any other name, whatever its type.
const ModuleDef* module_named(nb::handle name) {
    if (!PyUnicode_Check(name.ptr())) return nullptr;
    for (const ModuleDef& def : modules)
        if (PyUnicode_CompareWithASCIIString(name.ptr(), def.name) == 0) return &def;
    return nullptr;
}

// The module's body, on a module object that holds the import system's attributes.
void run_body(nb::handle module, const ModuleDef& def) {
    Module body(module);
    if (def.flags & Annotations) {
        object future = checked(PyImport_ImportModule("__future__"));
        body.set("annotations", future.attr("annotations"));
    }
    def.build(body);
}

// ---------------------------------------------------------------------------------------------
// The finder and loader of the package's sub-modules on sys.meta_path, one per process (like
// the function types). The package itself is the extension's and is not its business.

PyTypeObject* ImporterType = nullptr;
PyObject* importer = nullptr;

const ModuleDef* submodule(nb::handle name) {
    const ModuleDef* def = module_named(name);
    return def == modules.data() ? nullptr : def;
}

// find_spec(fullname, path=None, target=None): a spec for the package's sub-modules, None for
// every other name
PyObject* importer_find_spec(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "find_spec expected 1 to 3 arguments, got %zd", nargs);
        return nullptr;
    }
    return boundary([&]() -> PyObject* {
        const ModuleDef* def = submodule(args[0]);
        if (!def) return Py_NewRef(Py_None);
        object bootstrap = checked(PyImport_ImportModule("_frozen_importlib"));
        object spec = bootstrap.attr("ModuleSpec")(nb::handle(args[0]), nb::handle(importer),
                                                    nb::arg("is_package") = bool(def->flags & Package));
        return spec.release().ptr();
    }, static_cast<PyObject*>(nullptr));
}

// create_module(spec): the host's default module
PyObject* importer_create_module(PyObject*, PyObject*) { Py_RETURN_NONE; }

// exec_module(module): the body of the module its name names, on that module object
PyObject* importer_exec_module(PyObject*, PyObject* module) {
    return boundary([&]() -> PyObject* {
        if (!PyModule_Check(module)) {
            PyErr_Format(PyExc_TypeError, "exec_module() argument must be a module, not %.200s",
                         Py_TYPE(module)->tp_name);
            fail();
        }
        object name = checked(PyObject_GetAttrString(module, "__name__"));
        const ModuleDef* def = submodule(name);
        if (!def) {
            PyErr_Format(PyExc_ImportError, "velmor has no module named %R", name.ptr());
            fail();
        }
        run_body(module, *def);
        Py_RETURN_NONE;
    }, static_cast<PyObject*>(nullptr));
}

PyMethodDef importer_methods[] = {
    {"find_spec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(importer_find_spec)),
     METH_FASTCALL, nullptr},
    {"create_module", importer_create_module, METH_O, nullptr},
    {"exec_module", importer_exec_module, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Shown in a module's repr as its origin, as a loader's name is.
PyObject* importer_repr(PyObject*) { return PyUnicode_FromString("velmor.importer"); }

object meta_path() {
    object list = nb::borrow(PySys_GetObject("meta_path"));
    if (!list || !PyList_Check(list.ptr())) {
        PyErr_SetString(PyExc_ImportError, "velmor: sys.meta_path is not a list");
        fail();
    }
    return list;
}

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
    // `if importer not in sys.meta_path: sys.meta_path.append(importer)`, sys.meta_path read at
    // each use and held while used: testing membership may run a finder's __eq__, which may
    // rebind it.
    int present = PySequence_Contains(meta_path().ptr(), importer);
    if (present < 0) fail();
    if (!present && PyList_Append(meta_path().ptr(), importer) < 0) fail();
}

// `from module import name` as the host's from-import runs it: only the attribute lookup's
// AttributeError sends it to sys.modules, and the error names what could not be imported.
object imported(nb::handle module, nb::handle name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module.ptr(), name.ptr(), &value) < 0) fail();
    if (value) return nb::steal(value);
    object package = checked(PyObject_GetAttrString(module.ptr(), "__name__"));
    if (PyUnicode_Check(package.ptr())) {
        object full = checked(PyUnicode_FromFormat("%U.%U", package.ptr(), name.ptr()));
        PyObject* sub = PyImport_GetModule(full.ptr());
        if (sub) return nb::steal(sub);
        if (PyErr_Occurred()) fail();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %R from %R (unknown location)", name.ptr(),
                 package.ptr());
    fail();
}

// `from package import name` of one of the package's own sub-modules: the sub-module is imported
// by its full name first, as the host's from-import would import it, but without the wait for
// the top-level package that the host's import of a bare dotted name adds. While the package
// loads on one thread, another thread loading one of its modules would otherwise wait for the
// package while holding the locks of the modules it is loading, which the first thread needs:
// the host then hands one of them a module that is still loading.
void import_own_submodules(const char* module, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        std::string full = std::string(module) + "." + name;
        bool own = false;
        for (const ModuleDef& def : modules) own = own || full == def.name;
        if (!own) continue;
        object key = text(full);
        object fromlist = nb::make_tuple(nb::str("__name__"));
        checked(PyImport_ImportModuleLevelObject(key.ptr(), nullptr, nullptr, fromlist.ptr(), 0));
    }
}

}  // namespace

object import_from(nb::handle module, nb::handle name) { return imported(module, name); }

Module::Module(nb::handle module) : module_(module), dict_(PyModule_GetDict(module.ptr())) {}

const char* Module::name() const { return PyModule_GetName(module_.ptr()); }

void Module::set(const char* name, nb::handle value) { set_item(dict_, name, value); }

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

object Module::import_listing(const char* module, std::initializer_list<const char*> names) {
    nb::list fromlist;
    for (const char* name : names) fromlist.append(nb::str(name));
    object key = checked(PyUnicode_FromString(module));
    return checked(
        PyImport_ImportModuleLevelObject(key.ptr(), dict_, nullptr, nb::tuple(fromlist).ptr(), 0));
}

void Module::import_from(const char* module, std::initializer_list<const char*> names) {
    import_own_submodules(module, names);
    object source = import_listing(module, names);
    for (const char* name : names) set(name, imported(source, nb::str(name)));
}

void Module::import_from_as(const char* module, const char* name, const char* alias) {
    import_own_submodules(module, {name});
    set(alias, imported(import_listing(module, {name}), nb::str(name)));
}

object Module::evaluate(const char* expression, const char* otherwise) const {
    std::string_view source(expression);
    std::size_t dot = source.find('.');
    object first = text(source.substr(0, dot));
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(dict_, first.ptr(), &found) < 0) fail();
    object value;
    if (found) {
        value = nb::steal(found);
    } else if (otherwise) {
        value = checked(PyObject_GetAttr(get(otherwise).ptr(), first.ptr()));
    } else {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", first.ptr());
        fail();
    }
    while (dot != std::string_view::npos) {
        std::size_t next = source.find('.', dot + 1);
        std::size_t length = next == std::string_view::npos ? next : next - dot - 1;
        object part = text(source.substr(dot + 1, length));
        value = checked(PyObject_GetAttr(value.ptr(), part.ptr()));
        dot = next;
    }
    return value;
}

nb::tuple Module::defaults(const Declaration& d, const char* otherwise) const {
    nb::list values;
    for (std::size_t i = 0, n = d.arity(); i < n; ++i)
        if (const char* expression = d.params[i].default_value)
            values.append(evaluate(expression, otherwise));
    return nb::tuple(values);
}

void Module::define(const Declaration& d, Impl impl) {
    set(d.name, detail::new_function(d.name, dict_, d, defaults(d, nullptr), impl));
}

void Module::coroutine(const char* name, const Declaration& core_function) {
    object f = detail::new_function(name, dict_, core_function, defaults(core_function, "core"),
                                    nullptr);
    object inspect = checked(PyImport_ImportModule("inspect"));
    inspect.attr(names::markcoroutinefunction)(f);
    set(name, f);
}

void Module::all(std::initializer_list<const char*> names) {
    nb::list list;
    for (const char* name : names) list.append(nb::str(name));
    set("__all__", list);
}

object Module::make_class(const char* name, std::initializer_list<nb::handle> bases,
                          const std::vector<std::pair<const char*, nb::handle>>& attributes) {
    object base_tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    Py_ssize_t i = 0;
    for (nb::handle b : bases) PyTuple_SET_ITEM(base_tuple.ptr(), i++, Py_NewRef(b.ptr()));
    nb::handle meta = bases.size() ? nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(bases.begin()->ptr())))
                               : nb::handle(reinterpret_cast<PyObject*>(&PyType_Type));
    object class_name = checked(PyUnicode_FromString(name));
    // The namespace comes from the metaclass's __prepare__, as in a class statement (an
    // enum's namespace records its members in order).
    object ns = meta.attr(names::__prepare__)(class_name, base_tuple);
    auto store = [&](const char* key, nb::handle value) {
        object k = checked(PyUnicode_FromString(key));
        if (PyObject_SetItem(ns.ptr(), k.ptr(), value.ptr()) < 0) fail();
    };
    store("__module__", get("__name__"));
    store("__qualname__", class_name);
    for (const auto& [attr, value] : attributes) store(attr, value);
    return meta(class_name, base_tuple, ns);
}

object create_package(nb::handle spec, std::span<const ModuleDef> table) {
    if (!detail::FunctionType) detail::FunctionType = detail::make_function_type();
    if (!detail::CoroutineType) detail::CoroutineType = detail::make_coroutine_type();
    if (!detail::FunctionType || !detail::CoroutineType) fail();
    modules = table;
    install_importer();
    object module = checked(PyModule_NewObject(spec.attr("name").ptr()));
    // A package: the extension's spec says nothing of sub-modules, and the import system keeps
    // what the module already has.
    PyObject* dict = PyModule_GetDict(module.ptr());
    set_item(dict, "__path__", checked(PyList_New(0)));
    set_item(dict, "__package__", text(modules.front().name));
    return module;
}

void exec_package(nb::handle module) { run_body(module, modules.front()); }

}  // namespace vm
