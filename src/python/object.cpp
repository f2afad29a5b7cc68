#include "python/object.h"

namespace py {

struct error_already_set::fetched {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    bool restored = false;

    fetched() = default;
    fetched(const fetched&) = delete;
    fetched& operator=(const fetched&) = delete;
    fetched(fetched&&) = delete;
    fetched& operator=(fetched&&) = delete;
    ~fetched() {
        if (!restored) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
        }
    }
};

error_already_set::error_already_set() : m_error(std::make_shared<fetched>()) {
    PyErr_Fetch(&m_error->type, &m_error->value, &m_error->traceback);
    if (m_error->type == nullptr) {
        // An interpreter call reported failure without setting an error: say so rather than
        // leave the run to end with nothing to report.
        PyErr_SetString(PyExc_SystemError, "an interpreter call failed without setting an error");
        PyErr_Fetch(&m_error->type, &m_error->value, &m_error->traceback);
    }
}

bool error_already_set::matches(handle type) const {
    return !m_error->restored && PyErr_GivenExceptionMatches(m_error->type, type.ptr()) != 0;
}

void error_already_set::restore() {
    if (m_error->restored)
        return;
    m_error->restored = true;
    PyErr_Restore(m_error->type, m_error->value, m_error->traceback);
}

object steal(PyObject* ptr) {
    if (ptr == nullptr)
        throw error_already_set();
    return object(ptr);
}

object borrow(handle h) {
    if (!h)
        throw error_already_set();
    Py_INCREF(h.ptr());
    return object(h.ptr());
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw error_already_set();
}

void raise(PyObject* type) {
    PyErr_SetNone(type);
    throw error_already_set();
}

void raise_instance(handle value) {
    if (PyExceptionInstance_Check(value.ptr())) {
        PyErr_SetObject(PyExceptionInstance_Class(value.ptr()), value.ptr());
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be old-style classes or derived from BaseException, not %.200s",
                     Py_TYPE(value.ptr())->tp_name);
    }
    throw error_already_set();
}

object handle::attr(const char* name) const {
    return steal(PyObject_GetAttrString(m_ptr, name));
}

void handle::set_attr(const char* name, handle value) const {
    check(PyObject_SetAttrString(m_ptr, name, value.ptr()));
}

object handle::call() const {
    return call({}, {});
}

object handle::call(std::initializer_list<handle> args) const {
    return call(args, {});
}

object handle::call(std::initializer_list<handle> args, const std::vector<keyword>& keywords) const {
    object positional = tuple(args);
    object named;
    if (!keywords.empty()) {
        named = steal(PyDict_New());
        for (const keyword& k : keywords)
            check(PyDict_SetItemString(named.ptr(), k.name, k.value.ptr()));
    }
    return steal(PyObject_Call(m_ptr, positional.ptr(), named.ptr()));
}

object handle::call_method(const char* name, std::initializer_list<handle> args) const {
    return attr(name).call(args);
}

object str(std::string_view text) {
    return steal(PyString_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

object integer(long value) {
    return steal(PyInt_FromLong(value));
}

object floating(double value) {
    return steal(PyFloat_FromDouble(value));
}

object none() {
    return borrow(Py_None);
}

object boolean(bool value) {
    return borrow(value ? Py_True : Py_False);
}

object list(std::initializer_list<handle> items) {
    object result = steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t index = 0;
    for (handle h : items)
        PyList_SET_ITEM(result.ptr(), index++, borrow(h).release());
    return result;
}

object tuple(std::initializer_list<handle> items) {
    object result = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t index = 0;
    for (handle h : items)
        PyTuple_SET_ITEM(result.ptr(), index++, borrow(h).release());
    return result;
}

void append(handle list, handle item) {
    check(PyList_Append(list.ptr(), item.ptr()));
}

bool equal(handle a, handle b) {
    return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) == 1;
}

bool truth(handle value) {
    return check(PyObject_IsTrue(value.ptr())) == 1;
}

std::size_t length(handle value) {
    Py_ssize_t size = PyObject_Size(value.ptr());
    if (size < 0)
        throw error_already_set();
    return static_cast<std::size_t>(size);
}

bool contains(handle container, handle item) {
    return check(PySequence_Contains(container.ptr(), item.ptr())) == 1;
}

object item(handle sequence, Py_ssize_t index) {
    return steal(PySequence_GetItem(sequence.ptr(), index));
}

object type_of(handle value) {
    return steal(PyObject_Type(value.ptr()));
}

std::string bytes_of(handle value) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyString_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "expected a byte string, not %.200s", Py_TYPE(value.ptr())->tp_name);
        throw error_already_set();
    }
    check(PyString_AsStringAndSize(value.ptr(), &data, &size));
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace py
