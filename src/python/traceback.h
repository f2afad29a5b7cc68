// A traceback entry for code that has no interpreter frame of its own.
#pragma once

#include "python/object.h"

namespace py {

// Adds "File <file>, line <line>, in <function>" to the pending error's traceback. Does nothing
// when no error is pending; a failure to build the entry leaves the pending error as it was.
void add_traceback_entry(const char* file, const char* function, int line, handle globals) noexcept;

}  // namespace py
