#include "python/traceback.h"

#include <frameobject.h>

namespace py {

void add_traceback_entry(const char* file, const char* function, int line, handle globals) noexcept {
    if (!PyErr_Occurred())
        return;
    // Building the entry calls into the interpreter, which must not see the pending error.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject* code = PyCode_NewEmpty(file, function, line);
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals.ptr(), nullptr) : nullptr;
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame != nullptr) {
        frame->f_lineno = line;
        PyTraceBack_Here(frame);
    }
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

}  // namespace py
