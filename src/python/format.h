// Text operations with the interpreter's semantics.
#pragma once

#include "python/object.h"

#include <string>

namespace py {

// `format % (values...)`.
object format(const char* format, std::initializer_list<handle> values);
// `separator.join(items)`.
object join(const char* separator, handle items);
// The bytes of `str(value)`.
std::string text(handle value);
// `float(value)`: numbers converted, text parsed.
object as_float(handle value);

}  // namespace py
