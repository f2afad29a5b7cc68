// The query driver: the interpreter's main module, run as a sequence of steps over its own
// module namespace, where all of its values live.
//
// Every value is bound in `__main__`'s namespace and read back from it by name, never kept in
// C++ locals: that is what the run's behaviours rest on, so keep it so.
// - A search that fails and is set aside binds no `handle`: the read that follows takes the
//   previous search's stream, read again, or, when no search has given one yet, fails with
//   NameError "global name 'handle' is not defined".
// - The loop's names (`program`, `query`, `record`, `expected_hit`, `found_result`, ...) stay
//   bound after the run, as a module's loop leaves them, for whatever inspects the namespace.
#pragma once

#include "python/namespace.h"

#include <cstddef>

namespace driver {

// The number of alignments and descriptions each search asks for, and so the most either hit
// list of its result may hold.
inline constexpr std::size_t list_size = 10;

// The fixed workload: a new list of six-field rows
// (program, database, query, e_value, entrez_filter, expected_hits).
py::object build_query_table();

// The row body. Announces the current row, submits it and reads the result into `record`.
void submit_and_read(const py::module_namespace& globals);
// Checks `record` against the current row; the first check that fails raises AssertionError.
void check_result(const py::module_namespace& globals);

// Matching rules of the checks, on interpreter texts.
// True when `identifier` equals one of the pieces of `text` cut at every "|".
bool is_piece_of(py::handle identifier, py::handle text);
// The first whitespace-separated word of `title`; IndexError when it has none.
py::object first_word(py::handle title);

}  // namespace driver
