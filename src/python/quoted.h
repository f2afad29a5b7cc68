// The quoted form of a byte string, as the interpreter's repr writes it.
#pragma once

#include <string>
#include <string_view>

namespace py {

std::string quoted(std::string_view bytes);

// The bytes as the quoted form writes them, without the quotes: the backslash, tab, line end,
// carriage return and every byte outside printable ASCII escaped, so that text from elsewhere
// reaches a terminal as one inert line.
std::string escaped(std::string_view bytes);

}  // namespace py
