#include "requires_internet.h"

#include "python/namespace.h"
#include "python/native.h"
#include "toolkit/toolkit.h"

#include <cstddef>

namespace requires_internet {

namespace {

// The service's own web host: when it resolves, the name service works and the way out exists.
constexpr const char* reliable_domain = "www.ncbi.nlm.nih.gov";
constexpr long http_port = 80;

// Asks the resolver once and keeps the outcome as the attribute `available` of whatever the
// module name `check` refers to. Errors other than a resolution failure leave it undetermined.
void determine_availability(const py::module_namespace& globals) {
    py::object domain = py::str(reliable_domain);
    py::object socket = py::import_module(globals, "socket");
    try {
        socket.attr("getaddrinfo")
            .call({domain, py::integer(http_port), socket.attr("AF_UNSPEC"), socket.attr("SOCK_STREAM")});
    } catch (py::error_already_set& error) {
        if (!error.matches(socket.attr("gaierror")))
            throw;
        globals.get("check").set_attr("available", py::boolean(false));
        return;
    }
    globals.get("check").set_attr("available", py::boolean(true));
}

py::object check(py::handle module_dict, py::handle args, py::handle kwargs) {
    const std::size_t given = py::length(args) + (kwargs ? py::length(kwargs) : 0);
    if (given > 0)
        py::raise_format(PyExc_TypeError, "check() takes no arguments (%zu given)", given);
    py::module_namespace globals(module_dict);
    try {
        globals.get("check").attr("available");
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_AttributeError))
            throw;
        determine_availability(globals);
    }
    if (py::truth(globals.get("check").attr("available")))
        return py::none();
    py::raise_instance(globals.get(toolkit::missing_dependency_error).call({py::str("internet not available")}));
}

}  // namespace

}  // namespace requires_internet

PyMODINIT_FUNC initrequires_internet(void) {
    py::boundary([] {
        static PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};
        PyObject* module = Py_InitModule3(requires_internet::module_name, no_functions, nullptr);
        if (module == nullptr)
            throw py::error_already_set();
        py::module_namespace globals(PyModule_GetDict(module));
        globals.set(toolkit::missing_dependency_error,
                    py::import_from(globals, toolkit::package, toolkit::missing_dependency_error));
        globals.set("check", py::native_callable(requires_internet::check, globals.dict()));
    });
}
