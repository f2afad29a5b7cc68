#include "python/namespace.h"

namespace py {

handle builtins() {
    return PyEval_GetBuiltins();
}

object added_module(const char* name) {
    return borrow(PyImport_AddModule(name));
}

object module_namespace::get(const char* name) const {
    if (PyObject* value = PyDict_GetItemString(m_dict.ptr(), name))
        return borrow(value);
    if (PyObject* value = PyDict_GetItemString(builtins().ptr(), name))
        return borrow(value);
    raise_format(PyExc_NameError, "global name '%.200s' is not defined", name);
}

void module_namespace::set(const char* name, handle value) const {
    check(PyDict_SetItemString(m_dict.ptr(), name, value.ptr()));
}

bool module_namespace::has(const char* name) const {
    return PyDict_GetItemString(m_dict.ptr(), name) != nullptr;
}

namespace {

object call_import(const module_namespace& globals, const char* name, handle fromlist) {
    PyObject* import = PyDict_GetItemString(builtins().ptr(), "__import__");
    if (import == nullptr)
        raise(PyExc_ImportError, "__import__ not found");
    // Level -1: implicit relative, then absolute, as a plain import statement does.
    return handle(import).call({str(name), globals.dict(), globals.dict(), fromlist, integer(-1)});
}

}  // namespace

object import_module(const module_namespace& globals, const char* name) {
    return call_import(globals, name, none());
}

object import_from(const module_namespace& globals, const char* module, const char* name) {
    object found = call_import(globals, module, list({str(name)}));
    try {
        return found.attr(name);
    } catch (error_already_set& error) {
        if (!error.matches(PyExc_AttributeError))
            throw;
        raise_format(PyExc_ImportError, "cannot import name %.200s", name);
    }
}

}  // namespace py
