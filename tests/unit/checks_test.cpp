// The result checks against records of a test's own making, including rows the fixed table
// never has (no expected hits, an empty or one-element list).
#include "driver/driver.h"
#include "interpreter.h"

#include <gtest/gtest.h>

namespace {

using testing_support::error_of;
using testing_support::run;
using testing_support::text;

// A passing blastn row and its record; each case changes it with a few lines of Python.
const char* const base_row = R"(
import StringIO, sys
class Entry(object):
    def __init__(self, **fields):
        self.__dict__.update(fields)
def alignment(hit_id):
    return Entry(hit_id=hit_id)
def description(accession, title):
    return Entry(accession=accession, title=title)
program = 'blastn'
query = 'GTACCTTGATTTCGTATTC' + 'N' * 30 + 'GACTCTACTACCTTTACCC'
e_value = 10
expected_hits = ['37953274', '51104367', '51104367', '51104367']
record = Entry(query='No definition line', query_id='Query_1', query_letters=68, expect='10',
               application='BLASTN',
               alignments=[alignment('gi|37953274|ref|NM_001009059.1|')],
               descriptions=[description('NM_001009059', 'gi|37953274|ref|NM_001009059.1| Pan troglodytes')])
fasta = '>gi|116660609|gb|EG558220.1|EG558220 CR02019H04 5\', mRNA sequence\nCTCC\nGATT'
)";

struct Case {
    const char* name;
    const char* change;  // Python run after the base row
    const char* error;   // "" when every check passes
    const char* output = "";
};

const Case cases[] = {
    {"passing row", "", ""},
    // Query identity.
    {"length one short", "record.query_letters = 67", "AssertionError: "},
    {"length as a long", "record.query_letters = 68L", ""},
    {"no definition line measures a FASTA query whole", "query = fasta; record.query_letters = len(fasta)", ""},
    {"FASTA definition line", "query = fasta; record.query = fasta[1:].split('\\n')[0]", ""},
    {"FASTA definition line differs", "query = fasta; record.query = 'gi|116660609|gb|EG558220.1|EG558220'",
     "AssertionError: "},
    {"carriage return stays in the definition", "query = '>id title\\r\\nACGT'; record.query = 'id title'",
     "AssertionError: "},
    {"FASTA without line feed compares all", "query = '>id title'; record.query = 'id title'", ""},
    {"lone > needs an empty definition", "query = '>'; record.query = ''", ""},
    {"unicode definition from a reader", "query = fasta; record.query = unicode(fasta[1:].split('\\n')[0])", ""},
    {"identifier as a piece", "query = '160837788'; record.query = 'x'; record.query_id = 'gi|160837788|ref|'", ""},
    {"identifier as the whole id", "query = '160837788'; record.query = 'x'; record.query_id = '160837788'", ""},
    {"identifier inside a longer number",
     "query = '160837788'; record.query = 'x'; record.query_id = 'gi|9160837788|ref|'", "AssertionError: "},
    // Expectation value.
    {"expect 10.0 against integer 10", "record.expect = '10.0'", ""},
    {"expect as a number", "record.expect = 10", ""},
    {"expect one digit off", "record.expect = '11'", "AssertionError: "},
    {"expect 0.001", "e_value = 0.001; record.expect = '0.001'", ""},
    {"expect 1e-07", "e_value = 1e-07; record.expect = '1e-07'", ""},
    {"expect not a number", "record.expect = 'ten'", "ValueError: could not convert string to float: ten"},
    // Program.
    {"application in mixed case", "record.application = 'BlastN'", ""},
    {"application with a trailing blank", "record.application = 'BLASTN '", "AssertionError: "},
    // Limits.
    {"ten of each", "record.alignments = record.alignments * 10; record.descriptions = record.descriptions * 10", ""},
    {"eleven alignments", "record.alignments = record.alignments * 11", "AssertionError: "},
    {"eleven descriptions and no alignment fail at the limit",
     "record.descriptions = record.descriptions * 11; record.alignments = []", "AssertionError: "},
    // No hits expected.
    {"no hits expected and none found", "expected_hits = None; record.alignments = []; record.descriptions = []", ""},
    {"no hits expected but an alignment", "expected_hits = None", "AssertionError: Expected no alignments!"},
    {"no hits expected but a description", "expected_hits = None; record.alignments = []",
     "AssertionError: Expected no descriptions!"},
    // Hits expected.
    {"no alignment", "record.alignments = []", "AssertionError: Expected some alignments!"},
    {"no description", "record.descriptions = []", "AssertionError: Expected some descriptions!"},
    {"empty list with alignments", "expected_hits = []", "AssertionError: Missing all of  in alignments"},
    {"none among the alignments", "record.alignments = [alignment('gi|1|ref|X|')]",
     "AssertionError: Missing all of 37953274, 51104367, 51104367, 51104367 in alignments"},
    {"none among the descriptions", "record.descriptions = [description('X', 'gi|1|ref|X| Pan')]",
     "AssertionError: Missing all of 37953274, 51104367, 51104367, 51104367 in descriptions"},
    {"only the last identifier present",
     "record.alignments = [alignment('gi|51104367|ref|X|')]; record.descriptions = [description('51104367', 'gi|5|')]",
     ""},
    {"searches are independent",
     "record.alignments = [alignment('gi|37953274|')]; record.descriptions = [description('x', 'gi|51104367| y')]", ""},
    {"accession match skips an empty title",
     "expected_hits = ['37953274', '37953274']; record.descriptions = [description('37953274', '')]", ""},
    {"a later identifier examines the empty title", "record.descriptions = [description('37953274', '')]",
     "IndexError: list index out of range"},
    {"no accession match and an empty title", "record.descriptions = [description('X', '  ')]",
     "IndexError: list index out of range"},
    {"identifier only in a later word", "record.descriptions = [description('X', 'gi|1| 37953274')]",
     "AssertionError: Missing all of 37953274, 51104367, 51104367, 51104367 in descriptions"},
    // The listing of a one-element list.
    {"one expected hit found", "expected_hits = ['37953274']; record.alignments.append(alignment('gi|2|'))", "",
     "Update this test to have some redundancy...\ngi|37953274|ref|NM_001009059.1|\ngi|2|\n"},
    {"one expected hit missing", "expected_hits = ['99']", "AssertionError: Missing all of 99 in alignments",
     "Update this test to have some redundancy...\ngi|37953274|ref|NM_001009059.1|\n"},
    {"one identifier twice is no listing", "expected_hits = ['37953274', '37953274']", ""},
    // Records of the wrong shape.
    {"record without query", "record = Entry()", "AttributeError: 'Entry' object has no attribute 'query'"},
    {"alignment without hit_id", "record.alignments = [Entry()]",
     "AttributeError: 'Entry' object has no attribute 'hit_id'"},
    {"record is None", "record = None", "AttributeError: 'NoneType' object has no attribute 'query'"},
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class ResultChecks : public ::testing::TestWithParam<Case> {};

TEST_P(ResultChecks, Outcome) {
    const Case& c = GetParam();
    py::module_namespace globals = run((std::string(base_row) + c.change + "\n").c_str());
    py::object saved = py::borrow(PySys_GetObject(const_cast<char*>("stdout")));
    py::object capture = globals.get("StringIO").attr("StringIO").call();
    PySys_SetObject(const_cast<char*>("stdout"), capture.ptr());
    std::string error = error_of([&] { driver::check_result(globals); });
    PySys_SetObject(const_cast<char*>("stdout"), saved.ptr());
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(text(capture.call_method("getvalue")), c.output);
}

INSTANTIATE_TEST_SUITE_P(Rows, ResultChecks, ::testing::ValuesIn(cases), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
});

TEST(ResultChecksSearch, EveryIdentifierIsSearchedThroughEveryEntry) {
    py::module_namespace globals =
        run((std::string(base_row) + "expected_hits = ['37953274', '77']\n"
                                     "record.alignments = [alignment('gi|37953274|'), alignment('gi|5|'), "
                                     "alignment('gi|6|')]\n"
                                     "record.descriptions = [description('37953274', 'a'), description('x', 'b')]\n")
                .c_str());
    EXPECT_EQ(error_of([&] { driver::check_result(globals); }), "");
    // Found at the first identifier, the search still went through the list for the second.
    EXPECT_EQ(text(globals.get("expected_hit")), "77");
    EXPECT_EQ(text(globals.get("descr").attr("title")), "b");
    EXPECT_EQ(text(globals.get("found_result")), "True");
}

}  // namespace
