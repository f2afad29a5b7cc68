// Owning and non-owning references to interpreter objects, and the one exception that means
// "a Python error is pending". Nothing outside this folder touches reference counts.
#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace py {

class object;
struct keyword;

// A borrowed reference: valid only while someone else owns the object.
class handle {
public:
    handle() = default;
    handle(PyObject* ptr) : m_ptr(ptr) {}  // NOLINT(google-explicit-constructor): borrowing is free

    PyObject* ptr() const { return m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

    object attr(const char* name) const;
    // The attribute, or an empty object when there is none (AttributeError); any other error
    // of the lookup is raised.
    object attr_if_any(const char* name) const;
    void set_attr(const char* name, handle value) const;
    object call() const;
    object call(std::initializer_list<handle> args) const;
    object call(std::initializer_list<handle> args, const std::vector<keyword>& keywords) const;
    object call_method(const char* name, std::initializer_list<handle> args = {}) const;

protected:
    PyObject* m_ptr = nullptr;
};

// A keyword argument of a call.
struct keyword {
    const char* name;
    handle value;
};

// An owned reference. Moves freely; a second owner must be asked for with borrow().
class object : public handle {
public:
    object() = default;
    object(const object&) = delete;
    object& operator=(const object&) = delete;
    object(object&& other) noexcept : handle(std::exchange(other.m_ptr, nullptr)) {}
    object& operator=(object&& other) noexcept {
        if (this != &other) {
            reset();
            m_ptr = std::exchange(other.m_ptr, nullptr);
        }
        return *this;
    }
    ~object() { reset(); }

    // Gives the reference away, for the interpreter calls that steal one.
    PyObject* release() { return std::exchange(m_ptr, nullptr); }

private:
    friend object steal(PyObject* ptr);
    friend object borrow(handle h);
    explicit object(PyObject* ptr) : handle(ptr) {}
    void reset() {
        PyObject* old = std::exchange(m_ptr, nullptr);  // the macro reads its argument twice
        Py_XDECREF(old);
    }
};

// Raised (in C++) when the interpreter's error indicator is set. Constructing it takes the
// pending error out of the indicator, so that handlers may run interpreter code; restore()
// puts it back, which only the boundary to the interpreter does. An error that is caught and
// never restored is discarded.
class error_already_set : public std::exception {
public:
    error_already_set();
    const char* what() const noexcept override { return "a Python error is pending"; }

    // True when the pending error is an instance of `type` or of a subtype.
    bool matches(handle type) const;
    // The error as the last line of the interpreter's report shows it: its type (with its
    // module, unless built in) and its text, e.g. "urllib2.HTTPError: HTTP Error 500: boom".
    // Text that cannot be shown is "<exception str() failed>", as there. Not after restore().
    std::string description() const;
    // Hands the error back to the interpreter's indicator.
    void restore();

private:
    struct fetched;
    std::shared_ptr<fetched> m_error;
};

// Takes ownership of a new reference. A null pointer means the call that made it failed with
// an error pending, so it throws.
object steal(PyObject* ptr);
// Takes an additional reference to an object someone else owns. A null handle throws.
object borrow(handle h);

// Throws error_already_set when an interpreter call reported failure with -1.
inline int check(int status) {
    if (status == -1)
        throw error_already_set();
    return status;
}

[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type);
// Raises `type` with a message made as PyErr_Format makes it (printf-like, "%.200s", "%zu").
[[noreturn, gnu::format(printf, 2, 3)]] void raise_format(PyObject* type, const char* format, ...);
// Raises an exception object as `raise value` does: its class with it, or TypeError when it is
// no exception at all.
[[noreturn]] void raise_instance(handle value);

// Sets SystemError naming the type of the C++ exception being handled, one that is no
// std::exception. Only inside a catch handler.
void set_error_for_unknown_exception() noexcept;

// Runs `body` and turns an escaping error_already_set back into the interpreter's pending
// error. This is the only place where the C++ exception meets the interpreter's indicator;
// every entry point the interpreter calls goes through it.
template <class Body>
bool boundary(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
        return true;
    } catch (error_already_set& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        set_error_for_unknown_exception();
    }
    return false;
}

template <class Body>
PyObject* boundary_returning(Body&& body) noexcept {
    PyObject* result = nullptr;
    boundary([&] { result = std::forward<Body>(body)().release(); });
    return result;
}

// Values.
object str(std::string_view text);
object integer(long value);
object floating(double value);
object none();
object boolean(bool value);
object list(std::initializer_list<handle> items);
object tuple(std::initializer_list<handle> items);
void append(handle list, handle item);

// Operations with the interpreter's semantics.
bool equal(handle a, handle b);
bool truth(handle value);
inline bool is_none(handle value) {
    return value.ptr() == Py_None;
}
std::size_t length(handle value);
bool contains(handle container, handle item);
object item(handle sequence, Py_ssize_t index);
object type_of(handle value);
// A copy of the bytes of a byte string; a TypeError for any other object.
std::string bytes_of(handle value);

}  // namespace py
