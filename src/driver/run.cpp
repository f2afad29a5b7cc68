// The driver's run sequence: the body of the interpreter's main module.
#include "driver/driver.h"
#include "python/iterate.h"
#include "python/native.h"
#include "python/print.h"
#include "python/traceback.h"
#include "requires_internet.h"
#include "toolkit/toolkit.h"

namespace driver {

namespace {

constexpr const char* documentation =
    "Testing online code for fetching NCBI qblast.\n"
    "\n"
    "Uses Tarvo.Blast.Skelda.qblast() to run some online blast queries, get XML\n"
    "blast results back, and then checks Tarvo.Blast.Morvin.parse() can read them.\n"
    "\n"
    "Goals:\n"
    "    Make sure that all retrieval is working as expected.\n"
    "    Make sure we can parse the latest XML format being used by the NCBI.\n";

constexpr const char* source_file = "src/driver/run.cpp";

py::module_namespace main_namespace() {
    py::module_namespace globals(py::added_module("__main__").attr("__dict__"));
    if (!globals.has("__builtins__"))
        globals.set("__builtins__", py::added_module("__builtin__"));
    return globals;
}

void run(const py::module_namespace& globals) {
    globals.set("__doc__", py::str(documentation));
    globals.set("__file__", py::str(source_file));

    globals.set("requires_internet", py::import_module(globals, requires_internet::module_name));
    globals.get("requires_internet").attr("check").call();

    globals.set(toolkit::missing_dependency_error,
                py::import_from(globals, toolkit::package, toolkit::missing_dependency_error));
    globals.set(toolkit::http_error, py::import_from(globals, toolkit::http_module, toolkit::http_error));
    globals.set(toolkit::client, py::import_from(globals, toolkit::blast_package, toolkit::client));
    globals.set(toolkit::reader, py::import_from(globals, toolkit::blast_package, toolkit::reader));

    globals.set("tests", build_query_table());
    py::print_line(py::str("Checking Tarvo.Blast.Skelda.qblast() with various queries"));

    for (py::handle row : py::iterate(globals.get("tests"))) {
        auto [program, database, query, e_value, entrez_filter, expected_hits] = py::unpack<6>(row);
        globals.set("program", program);
        globals.set("database", database);
        globals.set("query", query);
        globals.set("e_value", e_value);
        globals.set("entrez_filter", entrez_filter);
        globals.set("expected_hits", expected_hits);

        submit_and_read(globals);
        check_result(globals);
    }

    py::print_line(py::str("Done"));
    // A passing run has its log on standard output: a full device, a closed descriptor or a
    // broken pipe fails the run here instead of losing the log at exit.
    py::flush_stdout();
}

}  // namespace

}  // namespace driver

PyMODINIT_FUNC init__main__(void) {  // NOLINT(bugprone-reserved-identifier): the interpreter's name
    static bool ran = false;
    if (ran)
        return;
    ran = true;

    py::object globals_dict;  // the traceback entry's frame needs it after the body has ended
    const int body_line = __LINE__ + 1;
    const bool passed = py::boundary([&] {
        py::register_builtin_module(requires_internet::module_name, initrequires_internet);
        py::module_namespace globals = driver::main_namespace();
        globals_dict = py::borrow(globals.dict());
        driver::run(globals);
    });
    if (!passed)
        py::add_traceback_entry(driver::source_file, "<module>", body_line, globals_dict);
}
