// Objects whose behaviour is C++ code: a callable that can carry attributes, and modules built
// into the program.
#pragma once

#include "python/object.h"

namespace py {

// The body of a native callable: `context` is what the callable was made with.
using native_body = object (*)(handle context, handle args, handle kwargs);

// A callable object with an attribute dictionary (the interpreter's own built-in functions
// have none).
object native_callable(native_body body, handle context);

// Makes `import name` always run `init` (once per process; a later import gets the module it
// made) instead of finding a file on the module search path: an entry in the table of built-in
// modules, and a finder at the front of sys.meta_path that answers for that exact name only.
// `name` must outlive the process's imports (a literal).
void register_builtin_module(const char* name, void (*init)());

}  // namespace py
