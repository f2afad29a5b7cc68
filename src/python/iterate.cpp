#include "python/iterate.h"

namespace py {

iterator::iterator(handle iterable) : m_iterator(steal(PyObject_GetIter(iterable.ptr()))) {}

std::optional<object> iterator::next() {
    PyObject* value = PyIter_Next(m_iterator.ptr());
    if (value == nullptr) {
        if (PyErr_Occurred())
            throw error_already_set();
        return std::nullopt;
    }
    return steal(value);
}

std::vector<object> unpack(handle iterable, std::size_t count) {
    iterator values(iterable);
    std::vector<object> result;
    result.reserve(count);
    while (result.size() < count) {
        std::optional<object> value = values.next();
        if (!value) {
            raise_format(PyExc_ValueError, "need more than %zu value%s to unpack", result.size(),
                         result.size() == 1 ? "" : "s");
        }
        result.push_back(std::move(*value));
    }
    if (values.next())
        raise(PyExc_ValueError, "too many values to unpack");
    return result;
}

}  // namespace py
