// The quoted form must be exactly what the interpreter's repr writes for a byte string.
#include "python/quoted.h"
#include "driver/driver.h"
#include "interpreter.h"
#include "python/iterate.h"

#include <gtest/gtest.h>

namespace {

using testing_support::text;

std::string interpreter_repr(std::string_view bytes) {
    return text(py::steal(PyObject_Repr(py::str(bytes).ptr())));
}

TEST(QuotedForm, EveryByteValueAloneAndBetweenQuotes) {
    for (int value = 0; value < 256; ++value) {
        const char byte = static_cast<char>(value);
        for (const std::string& bytes :
             {std::string(1, byte), std::string("'") + byte, std::string("\"") + byte, std::string("'\"") + byte}) {
            EXPECT_EQ(py::quoted(bytes), interpreter_repr(bytes)) << "byte " << value;
        }
    }
}

TEST(QuotedForm, QuoteChoice) {
    for (const char* bytes : {"", "plain", "it's", "say \"hi\"", "both ' and \"", "back\\slash", "''", "\"\"",
                              "5', mRNA", "tab\tline\ncr\r", "\x7f\x80\xff"}) {
        EXPECT_EQ(py::quoted(bytes), interpreter_repr(bytes)) << bytes;
    }
}

TEST(QuotedForm, TheTableQueries) {
    py::object table = driver::build_query_table();
    int rows = 0;
    for (py::handle row : py::iterate(table)) {
        const std::string query = py::bytes_of(py::item(row, 2));
        EXPECT_EQ(py::quoted(query), interpreter_repr(query));
        ++rows;
    }
    EXPECT_EQ(rows, 3);
    // The FASTA query holds a single quote and no double quote: it is shown in double quotes.
    std::string fasta = py::quoted(py::bytes_of(py::item(py::item(table, 2), 2)));
    EXPECT_EQ(fasta.front(), '"');
    EXPECT_NE(fasta.find("5', mRNA sequence\\nCTCC"), std::string::npos);
    EXPECT_EQ(fasta.find('\n'), std::string::npos);
}

// The escaped form is the quoted form without its quotes, and quotes stay as they are.
TEST(EscapedForm, EveryByteValueAsTheQuotedFormWritesIt) {
    for (int value = 0; value < 256; ++value) {
        const std::string byte(1, static_cast<char>(value));
        if (value == '\'' || value == '"') {
            EXPECT_EQ(py::escaped(byte), byte);
            continue;
        }
        const std::string repr = interpreter_repr(byte);
        EXPECT_EQ(py::escaped(byte), repr.substr(1, repr.size() - 2)) << "byte " << value;
    }
    EXPECT_EQ(py::escaped("\x1b[31m'\"\\\r\n"), "\\x1b[31m'\"\\\\\\r\\n");
}

}  // namespace
