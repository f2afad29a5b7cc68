#include "interpreter.h"

#include <gtest/gtest.h>

namespace testing_support {

namespace {

class Interpreter : public ::testing::Environment {
public:
    void SetUp() override { Py_Initialize(); }
};

const auto* const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

py::module_namespace fresh_namespace() {
    py::object dict = py::steal(PyDict_New());
    py::module_namespace globals(dict);
    globals.set("__builtins__", PyImport_AddModule("__builtin__"));
    return globals;
}

}  // namespace

py::module_namespace run(const char* code) {
    py::module_namespace globals = fresh_namespace();
    py::steal(PyRun_String(code, Py_file_input, globals.dict().ptr(), globals.dict().ptr()));
    return globals;
}

py::object eval(const char* expression, const char* setup) {
    py::module_namespace globals = run(setup);
    return py::steal(PyRun_String(expression, Py_eval_input, globals.dict().ptr(), globals.dict().ptr()));
}

std::string pending_error() {
    if (!PyErr_Occurred())
        return "";
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string name = reinterpret_cast<PyTypeObject*>(type)->tp_name;
    name = name.substr(name.rfind('.') + 1);  // "exceptions.ValueError" reads "ValueError"
    std::string message;
    if (PyObject* shown = value ? PyObject_Str(value) : nullptr) {
        message = PyString_AsString(shown);
        Py_DECREF(shown);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Clear();
    return name + ": " + message;
}

std::string text(py::handle value) {
    py::object shown = py::steal(PyObject_Str(value.ptr()));
    return py::bytes_of(shown);
}

}  // namespace testing_support
