#include "python/format.h"

namespace py {

object format(const char* format, std::initializer_list<handle> values) {
    return steal(PyNumber_Remainder(str(format).ptr(), tuple(values).ptr()));
}

object join(const char* separator, handle items) {
    return str(separator).call_method("join", {items});
}

std::string text(handle value) {
    return bytes_of(steal(PyObject_Str(value.ptr())));
}

object as_float(handle value) {
    return steal(PyNumber_Float(value.ptr()));
}

}  // namespace py
