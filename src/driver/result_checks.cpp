#include "driver/driver.h"
#include "python/format.h"
#include "python/iterate.h"
#include "python/print.h"
#include "toolkit/toolkit.h"

#include <functional>

namespace driver {

namespace rec = toolkit::record;

namespace {

void assert_that(bool condition) {
    if (!condition)
        py::raise(PyExc_AssertionError);
}

[[noreturn]] void fail(py::handle message) {
    py::raise_instance(py::borrow(PyExc_AssertionError).call({message}));
}

void assert_that(bool condition, const char* message) {
    if (!condition)
        fail(py::str(message));
}

// The message names every expected identifier, so it is only built for a failure.
void assert_found(const py::module_namespace& globals, const char* message_format) {
    if (!py::truth(globals.get("found_result")))
        fail(py::format(message_format, {py::join(", ", globals.get("expected_hits"))}));
}

void check_query_identity(const py::module_namespace& globals) {
    if (py::equal(globals.get("record").attr(rec::query), py::str("No definition line"))) {
        assert_that(py::equal(py::integer(static_cast<long>(py::length(globals.get("query")))),
                              globals.get("record").attr(rec::query_letters)));
        return;
    }
    const std::string query = py::bytes_of(globals.get("query"));
    if (!query.empty() && query.front() == '>') {
        std::string definition = query.substr(1);
        definition = definition.substr(0, definition.find('\n'));  // the whole rest without one
        assert_that(py::equal(py::str(definition), globals.get("record").attr(rec::query)));
        return;
    }
    assert_that(is_piece_of(globals.get("query"), globals.get("record").attr(rec::query_id)));
}

void check_expectation(const py::module_namespace& globals) {
    assert_that(py::equal(py::as_float(globals.get("record").attr(rec::expect)), globals.get("e_value")));
}

void check_program(const py::module_namespace& globals) {
    py::object application = globals.get("record").attr(rec::application).call_method("lower");
    assert_that(py::equal(application, globals.get("program")));
}

void check_limit(const py::module_namespace& globals, const char* list) {
    assert_that(py::length(globals.get("record").attr(list)) <= list_size);
}

using hit_matcher = std::function<bool(py::handle expected_hit, py::handle entry)>;

// Searches every expected identifier through the record's `list`, each from the list's start,
// with `entry_name` bound to the entry under examination. It never stops early: every
// identifier is searched.
void search_expected_hits(const py::module_namespace& globals, const char* list, const char* entry_name,
                          const hit_matcher& matches) {
    globals.set("found_result", py::boolean(false));
    for (py::handle expected_hit : py::iterate(globals.get("expected_hits"))) {
        globals.set("expected_hit", expected_hit);
        for (py::handle entry : py::iterate(globals.get("record").attr(list))) {
            globals.set(entry_name, entry);
            if (matches(globals.get("expected_hit"), globals.get(entry_name))) {
                globals.set("found_result", py::boolean(true));
                break;
            }
        }
    }
}

// A row that expects no hits needs an empty `list`; any other needs entries in it. False when
// there is nothing to search.
bool hits_to_search(const py::module_namespace& globals, const char* list, const char* none_expected,
                    const char* some_expected) {
    if (py::is_none(globals.get("expected_hits"))) {
        assert_that(py::length(globals.get("record").attr(list)) == 0, none_expected);
        return false;
    }
    assert_that(py::length(globals.get("record").attr(list)) > 0, some_expected);
    return true;
}

void check_alignment_hits(const py::module_namespace& globals) {
    if (!hits_to_search(globals, rec::alignments, "Expected no alignments!", "Expected some alignments!"))
        return;
    search_expected_hits(globals, rec::alignments, "alignment", [](py::handle expected_hit, py::handle alignment) {
        return is_piece_of(expected_hit, alignment.attr(rec::hit_id));
    });
    if (py::length(globals.get("expected_hits")) == 1) {
        py::print_line(py::str("Update this test to have some redundancy..."));
        for (py::handle alignment : py::iterate(globals.get("record").attr(rec::alignments))) {
            globals.set("alignment", alignment);
            py::print_line(globals.get("alignment").attr(rec::hit_id));
        }
    }
    assert_found(globals, "Missing all of %s in alignments");
}

void check_description_hits(const py::module_namespace& globals) {
    if (!hits_to_search(globals, rec::descriptions, "Expected no descriptions!", "Expected some descriptions!"))
        return;
    search_expected_hits(globals, rec::descriptions, "descr", [](py::handle expected_hit, py::handle descr) {
        return py::equal(expected_hit, descr.attr(rec::accession)) ||
               is_piece_of(expected_hit, first_word(descr.attr(rec::title)));
    });
    assert_found(globals, "Missing all of %s in descriptions");
}

}  // namespace

bool is_piece_of(py::handle identifier, py::handle text) {
    return py::contains(text.call_method("split", {py::str("|")}), identifier);
}

py::object first_word(py::handle title) {
    return py::item(title.call_method("split"), 0);
}

void check_result(const py::module_namespace& globals) {
    check_query_identity(globals);
    check_expectation(globals);
    check_program(globals);
    check_limit(globals, rec::alignments);
    check_limit(globals, rec::descriptions);
    check_alignment_hits(globals);
    check_description_hits(globals);
}

}  // namespace driver
