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

// The stream sys holds under `name`, owned (writing may run code that replaces it there), or
// an empty object when there is none.
object current_stream(const char* name) {
    PyObject* current = PySys_GetObject(const_cast<char*>(name));
    return current != nullptr ? borrow(current) : object();
}

object current_stdout() {
    object stream = current_stream("stdout");
    if (!stream)
        raise(PyExc_RuntimeError, "lost sys.stdout");
    return stream;
}

}  // namespace

void print_line(handle item) {
    object stream = current_stdout();
    if (PyFile_SoftSpace(stream.ptr(), 0))
        check(PyFile_WriteString(" ", stream.ptr()));
    check(PyFile_WriteObject(item.ptr(), stream.ptr(), Py_PRINT_RAW));
    if (!ends_in_tab(item))
        PyFile_SoftSpace(stream.ptr(), 1);
    check(PyFile_WriteString("\n", stream.ptr()));
    PyFile_SoftSpace(stream.ptr(), 0);
}

void flush_stdout() {
    // Printing needs only `write`: a stream without `flush` holds nothing back.
    if (object flush = current_stdout().attr_if_any("flush"))
        flush.call();
}

void write_stderr(std::string_view text) {
    object stream = current_stream("stderr");
    if (stream)
        check(PyFile_WriteObject(str(text).ptr(), stream.ptr(), Py_PRINT_RAW));
}

}  // namespace py
