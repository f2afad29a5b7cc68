#include "python/print.h"

namespace py {

namespace {

bool ends_in_tab(handle item) {
    if (PyString_Check(item.ptr())) {
        Py_ssize_t size = PyString_GET_SIZE(item.ptr());
        return size > 0 && PyString_AS_STRING(item.ptr())[size - 1] == '\t';
    }
    if (PyUnicode_Check(item.ptr())) {
        Py_ssize_t size = PyUnicode_GET_SIZE(item.ptr());
        return size > 0 && PyUnicode_AS_UNICODE(item.ptr())[size - 1] == '\t';
    }
    return false;
}

}  // namespace

void print_line(handle item) {
    PyObject* current = PySys_GetObject(const_cast<char*>("stdout"));
    if (current == nullptr)
        raise(PyExc_RuntimeError, "lost sys.stdout");
    // Writing may run code that replaces sys.stdout; keep the stream alive meanwhile.
    object stream = borrow(current);
    if (PyFile_SoftSpace(stream.ptr(), 0))
        check(PyFile_WriteString(" ", stream.ptr()));
    check(PyFile_WriteObject(item.ptr(), stream.ptr(), Py_PRINT_RAW));
    if (!ends_in_tab(item))
        PyFile_SoftSpace(stream.ptr(), 1);
    check(PyFile_WriteString("\n", stream.ptr()));
    PyFile_SoftSpace(stream.ptr(), 0);
}

}  // namespace py
