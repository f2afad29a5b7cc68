#include "driver/driver.h"
#include "python/format.h"
#include "python/print.h"
#include "python/quoted.h"
#include "toolkit/toolkit.h"

#include <string>
#include <vector>

namespace driver {

namespace {

// How much of a set-aside error's description its line shows: one readable line, whatever a
// service put into the error's text.
constexpr std::size_t description_limit = 1000;

void announce(const py::module_namespace& globals) {
    py::object program = globals.get("program");
    py::object database = globals.get("database");
    py::object query = py::str(py::quoted(py::bytes_of(globals.get("query"))));
    py::print_line(py::format("qblast('%s', '%s', %s, ...)", {program, database, query}));
}

py::object qblast(const py::module_namespace& globals, bool megablast) {
    py::object qblast = globals.get(toolkit::client).attr(toolkit::qblast);
    py::object program = globals.get("program");
    py::object database = globals.get("database");
    py::object query = globals.get("query");
    py::object size = py::integer(static_cast<long>(list_size));
    py::object entrez_filter = globals.get("entrez_filter");
    py::object e_value = globals.get("e_value");
    py::object megablast_off = py::str("FALSE");  // a text, as the service's form field takes it

    std::vector<py::keyword> keywords = {
        {"alignments", size}, {"descriptions", size}, {"hitlist_size", size}, {"entrez_query", entrez_filter},
        {"expect", e_value},
    };
    if (megablast)
        keywords.push_back({"megablast", megablast_off});
    return qblast.call({program, database, query}, keywords);
}

std::string bounded(std::string text) {
    if (text.size() <= description_limit)
        return text;
    const std::size_t size = text.size();
    text.resize(description_limit);
    return text + "... (cut at " + std::to_string(description_limit) + " of " + std::to_string(size) + " bytes)";
}

// The search's error is set aside by design, and the run may then end elsewhere (at the read):
// one line on the interpreter's standard error names it, so the real cause is never lost.
void report_set_aside(const py::module_namespace& globals, const py::error_already_set& error) {
    try {
        py::write_stderr("qblast-check: the " + py::escaped(py::text(globals.get("program"))) +
                         " search failed and was set aside: " + py::escaped(bounded(error.description())) + "\n");
    } catch (py::error_already_set&) {
        // Only a diagnostic: failing to write it changes nothing of how the run goes on.
    }
}

}  // namespace

void submit_and_read(const py::module_namespace& globals) {
    announce(globals);

    try {
        if (py::equal(globals.get("program"), py::str("blastn"))) {
            globals.set("handle", qblast(globals, true));
        } else {
            try {
                globals.set("handle", qblast(globals, false));
            } catch (py::error_already_set& error) {
                // Any ordinary failure of these searches is set aside; the read below then
                // works on the latest stream that did arrive, if any.
                if (!error.matches(PyExc_Exception))
                    throw;
                report_set_aside(globals, error);
            }
        }
    } catch (py::error_already_set& error) {
        if (!error.matches(globals.get(toolkit::http_error)))
            throw;
        py::raise_instance(
            globals.get(toolkit::missing_dependency_error).call({py::str("internet connection failed")}));
    }

    globals.set("record", globals.get(toolkit::reader).attr(toolkit::read).call({globals.get("handle")}));
}

}  // namespace driver
