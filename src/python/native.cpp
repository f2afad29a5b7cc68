#include "python/native.h"

#include <cstddef>
#include <cstring>

namespace py {

namespace {

// The parts every static type of this file shares. PyType_Ready fills in the rest from object.
PyTypeObject static_type(const char* name, Py_ssize_t size) {
    PyTypeObject type{};
    type.ob_refcnt = 1;  // never freed
    type.tp_name = name;
    type.tp_basicsize = size;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    return type;
}

struct callable {
    PyObject_HEAD PyObject* dict;
    PyObject* context;
    native_body body;
};

PyObject* call_callable(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* function = reinterpret_cast<callable*>(self);
    return boundary_returning([&] { return function->body(function->context, args, kwargs); });
}

void dealloc_callable(PyObject* self) {
    auto* function = reinterpret_cast<callable*>(self);
    Py_CLEAR(function->dict);
    Py_CLEAR(function->context);
    PyObject_Del(self);
}

PyTypeObject make_callable_type() {
    PyTypeObject type = static_type("native_function", sizeof(callable));
    type.tp_dealloc = dealloc_callable;
    type.tp_call = call_callable;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_dictoffset = offsetof(callable, dict);
    return type;
}

PyTypeObject callable_type = make_callable_type();

// The sys.meta_path finder of one built-in module; it is its own loader.
struct finder {
    PyObject_HEAD const char* name;
    void (*init)();
};

PyObject* find_module(PyObject* self, PyObject* args) {
    return boundary_returning([&] {
        const char* fullname = nullptr;
        PyObject* path = nullptr;
        if (!PyArg_ParseTuple(args, "s|O:find_module", &fullname, &path))
            throw error_already_set();
        return std::strcmp(fullname, reinterpret_cast<finder*>(self)->name) == 0 ? borrow(self) : none();
    });
}

PyObject* load_module(PyObject* self, PyObject* args) {
    return boundary_returning([&] {
        const auto* loader = reinterpret_cast<finder*>(self);
        const char* fullname = nullptr;
        if (!PyArg_ParseTuple(args, "s:load_module", &fullname))
            throw error_already_set();
        if (std::strcmp(fullname, loader->name) != 0)
            raise_format(PyExc_ImportError, "the loader of %.200s cannot load %.200s", loader->name, fullname);
        PyObject* modules = PyImport_GetModuleDict();
        if (PyObject* loaded = PyDict_GetItemString(modules, loader->name))
            return borrow(loaded);
        loader->init();
        if (PyErr_Occurred()) {
            error_already_set failure;
            // Leave no half-made module behind for a later import to hand out.
            if (PyDict_GetItemString(modules, loader->name) != nullptr &&
                PyDict_DelItemString(modules, loader->name) != 0)
                PyErr_Clear();
            throw failure;
        }
        PyObject* loaded = PyDict_GetItemString(modules, loader->name);
        if (loaded == nullptr)
            raise_format(PyExc_ImportError, "the initialiser of %.200s made no module", loader->name);
        return borrow(loaded);
    });
}

PyMethodDef finder_methods[] = {
    {"find_module", find_module, METH_VARARGS, nullptr},
    {"load_module", load_module, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_finder_type() {
    PyTypeObject type = static_type("builtin_module_finder", sizeof(finder));
    type.tp_methods = finder_methods;
    return type;
}

PyTypeObject finder_type = make_finder_type();

}  // namespace

object native_callable(native_body body, handle context) {
    check(PyType_Ready(&callable_type));
    object owned_context = borrow(context);
    object made = steal(reinterpret_cast<PyObject*>(PyObject_New(callable, &callable_type)));
    auto* function = reinterpret_cast<callable*>(made.ptr());
    function->dict = nullptr;
    function->context = owned_context.release();
    function->body = body;
    return made;
}

void register_builtin_module(const char* name, void (*init)()) {
    // The table keeps a copy of the entries; the name itself must stay.
    _inittab entry[] = {{const_cast<char*>(name), init}, {nullptr, nullptr}};
    if (PyImport_ExtendInittab(entry) != 0)
        raise(PyExc_MemoryError, "cannot extend the table of built-in modules");

    check(PyType_Ready(&finder_type));
    object made = steal(reinterpret_cast<PyObject*>(PyObject_New(finder, &finder_type)));
    auto* module_finder = reinterpret_cast<finder*>(made.ptr());
    module_finder->name = name;
    module_finder->init = init;

    PyObject* meta_path = PySys_GetObject(const_cast<char*>("meta_path"));
    if (meta_path == nullptr)
        raise(PyExc_RuntimeError, "lost sys.meta_path");
    check(PyList_Insert(meta_path, 0, made.ptr()));
}

}  // namespace py
