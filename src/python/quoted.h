// The quoted form of a byte string, as the interpreter's repr writes it.
#pragma once

#include <string>
#include <string_view>

namespace py {

std::string quoted(std::string_view bytes);

}  // namespace py
