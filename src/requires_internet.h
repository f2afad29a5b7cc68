// The internet availability check, the built-in module `requires_internet`.
#pragma once

#include <Python.h>

// Its initialiser, run by the first import of the name.
PyMODINIT_FUNC initrequires_internet(void);

namespace requires_internet {

inline constexpr const char* module_name = "requires_internet";

}  // namespace requires_internet
