// The print statement of one item and a line end.
#pragma once

#include "python/object.h"

namespace py {

// Writes the item's text and a line feed to the interpreter's current sys.stdout, honouring
// the stream's soft-space flag as `print item` does. No sys.stdout: RuntimeError "lost sys.stdout".
void print_line(handle item);

}  // namespace py
