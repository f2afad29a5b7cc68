#include "python/object.h"

#include <cxxabi.h>

#include <cstdarg>
#include <cstdlib>
#include <typeinfo>

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

namespace {

// str(value); for text that str() cannot encode, its unicode text in UTF-8.
std::string exception_text(handle value) {
    if (PyObject* text = PyObject_Str(value.ptr()))
        return bytes_of(steal(text));
    PyErr_Clear();
    if (PyObject* text = PyObject_Unicode(value.ptr())) {
        object unicode = steal(text);
        if (PyObject* utf8 = PyUnicode_AsUTF8String(unicode.ptr()))
            return bytes_of(steal(utf8));
    }
    PyErr_Clear();
    return "<exception str() failed>";
}

// The type's name as the interpreter's report writes it: "module.Name", or "Name" alone for the
// built-in exceptions.
std::string exception_type_name(handle type) {
    if (!PyExceptionClass_Check(type.ptr()))
        return exception_text(type);  // set through the C API: the report shows its text
    std::string name = PyExceptionClass_Name(type.ptr());
    name = name.substr(name.rfind('.') + 1);  // a static type's tp_name carries its module
    PyObject* module = PyObject_GetAttrString(type.ptr(), "__module__");
    if (module == nullptr) {
        PyErr_Clear();
        return name;
    }
    object owned = steal(module);
    if (!PyString_Check(module) || std::string_view(PyString_AS_STRING(module)) == "exceptions")
        return name;
    return PyString_AS_STRING(module) + ("." + name);
}

}  // namespace

std::string error_already_set::description() const {
    fetched& error = *m_error;
    if (error.restored)
        return {};
    // Makes the value an instance of its type; a constructor that fails leaves its own error
    // in place, which is then what the report would show as well.
    PyErr_NormalizeException(&error.type, &error.value, &error.traceback);
    std::string shown = exception_type_name(error.type);
    if (error.value == nullptr || error.value == Py_None)
        return shown;
    const std::string text = exception_text(error.value);
    return text.empty() ? shown : shown + ": " + text;
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

void raise_format(PyObject* type, const char* format, ...) {
    std::va_list values;
    va_start(values, format);
    PyObject* message = PyString_FromFormatV(format, values);
    va_end(values);
    PyErr_SetObject(type, steal(message).ptr());
    throw error_already_set();
}

void raise_instance(handle value) {
    if (!PyExceptionInstance_Check(value.ptr())) {
        raise_format(PyExc_TypeError, "exceptions must be old-style classes or derived from BaseException, not %.200s",
                     Py_TYPE(value.ptr())->tp_name);
    }
    PyErr_SetObject(PyExceptionInstance_Class(value.ptr()), value.ptr());
    throw error_already_set();
}

void set_error_for_unknown_exception() noexcept {
    const std::type_info* type = abi::__cxa_current_exception_type();
    const char* name = type != nullptr ? type->name() : "unknown";
    int status = 0;
    const std::unique_ptr<char, void (*)(void*)> readable(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                                          std::free);
    PyErr_Format(PyExc_SystemError, "a C++ exception of type %.200s reached the interpreter",
                 readable ? readable.get() : name);
}

object handle::attr(const char* name) const {
    return steal(PyObject_GetAttrString(m_ptr, name));
}

object handle::attr_if_any(const char* name) const {
    if (PyObject* value = PyObject_GetAttrString(m_ptr, name))
        return steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw error_already_set();
    PyErr_Clear();
    return {};
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
    if (!PyString_Check(value.ptr()))
        raise_format(PyExc_TypeError, "expected a byte string, not %.200s", Py_TYPE(value.ptr())->tp_name);
    check(PyString_AsStringAndSize(value.ptr(), &data, &size));
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace py
