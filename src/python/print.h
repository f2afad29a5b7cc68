// The print statement of one item and a line end, and the interpreter's standard streams.
#pragma once

#include "python/object.h"

#include <string_view>

namespace py {

// Writes the item's text and a line feed to the interpreter's current sys.stdout, honouring
// the stream's soft-space flag as `print item` does. No sys.stdout: RuntimeError "lost sys.stdout".
void print_line(handle item);

// `sys.stdout.flush()` where the stream has one: what was printed has reached the stream's
// destination when this returns, else its error is raised (a full device, a closed descriptor,
// a broken pipe). A stream without `flush` holds nothing back and is left as it is.
void flush_stdout();

// Writes `text` to the interpreter's current sys.stderr, where its own reports go; nothing when
// it has none.
void write_stderr(std::string_view text);

}  // namespace py
