// Test support: one embedded interpreter for the whole test program, and Python fixtures.
#pragma once

#include "python/namespace.h"

#include <string>

namespace testing_support {

// Runs `code` in a fresh namespace and returns it (fixtures are easier to state in Python).
py::module_namespace run(const char* code);
// The value of `expression`, evaluated in a fresh namespace after `setup`.
py::object eval(const char* expression, const char* setup = "");
// The pending error as "Type: message", clearing it; "" when none is pending.
std::string pending_error();
// What `body` raised, as "Type: message"; "" when it returned.
template <class Body>
std::string error_of(Body&& body) {
    if (py::boundary(std::forward<Body>(body)))
        return "";
    return pending_error();
}
std::string text(py::handle value);  // str(value)

}  // namespace testing_support
