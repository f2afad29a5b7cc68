// A module's global names, read and written the way compiled module code does.
#pragma once

#include "python/object.h"

namespace py {

class module_namespace {
public:
    explicit module_namespace(handle dict) : m_dict(borrow(dict)) {}

    // The module's own binding, else the interpreter's built-in one, else NameError
    // "global name '%s' is not defined".
    object get(const char* name) const;
    // Binds in the module's own namespace, replacing any earlier value.
    void set(const char* name, handle value) const;
    bool has(const char* name) const;
    handle dict() const { return m_dict; }

private:
    object m_dict;
};

// The interpreter's built-in names (module __builtin__).
handle builtins();

// The module of that name in sys.modules, made empty there if it is not yet.
object added_module(const char* name);

// `import name`, through the built-in __import__ with `globals` as both globals and locals.
object import_module(const module_namespace& globals, const char* name);
// `from module import name`: a missing name is ImportError "cannot import name %s".
object import_from(const module_namespace& globals, const char* module, const char* name);

}  // namespace py
