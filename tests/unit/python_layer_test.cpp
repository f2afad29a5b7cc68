// The C++ layer's interpreter semantics: lookup, unpacking, printing, imports, and the
// matching rules of the checks.
#include "driver/driver.h"
#include "interpreter.h"
#include "python/iterate.h"
#include "python/print.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace {

using testing_support::error_of;
using testing_support::eval;
using testing_support::run;
using testing_support::text;

TEST(Pieces, WholePiecesOnly) {
    struct Case {
        const char* identifier;
        const char* text;
        bool expected;
    } cases[] = {
        {"160837788", "gi|160837788|ref|NP_001102467.1|", true},
        {"NP_001102467.1", "gi|160837788|ref|NP_001102467.1|", true},
        {"60837788", "gi|160837788|ref|NP_001102467.1|", false},  // the tail of a longer number
        {"1608377880", "gi|160837788|ref|NP_001102467.1|", false},
        {"np_001102467.1", "gi|160837788|ref|NP_001102467.1|", false},  // case matters
        {"160837788", "160837788", true},                               // no "|": the whole text
        {"160837788", "gi160837788", false},
        {"", "gi||ref", true},  // empty pieces exist
        {"", "|gi", true},
        {"", "gi|", true},
        {"", "gi", false},
        {"gi|160837788", "gi|160837788|ref", false},  // a piece never holds "|"
        {"160837788 ", "gi|160837788|ref", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(driver::is_piece_of(py::str(c.identifier), py::str(c.text)), c.expected)
            << c.identifier << " in " << c.text;
    }
}

TEST(Pieces, UnicodeTextFromAReader) {
    EXPECT_TRUE(driver::is_piece_of(py::str("37953274"), eval("u'gi|37953274|ref|NM_001009059.1|'")));
}

TEST(FirstWord, WhitespaceOfEveryKind) {
    struct Case {
        const char* title;
        const char* word;
    } cases[] = {
        {"gi|37953274|ref|NM_001009059.1| Pan troglodytes", "gi|37953274|ref|NM_001009059.1|"},
        {"  \t\n leading", "leading"},
        {"one", "one"},
        {"a\tb", "a"},
        {"a\nb", "a"},
        {"a\rb", "a"},
        {"a\vb", "a"},
        {"a\fb", "a"},
        {"a b", "a"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(text(driver::first_word(py::str(c.title))), c.word) << c.title;
}

TEST(FirstWord, NoWordIsIndexError) {
    for (const char* title : {"", " ", " \t\n\r\v\f"})
        EXPECT_EQ(error_of([&] { driver::first_word(py::str(title)); }), "IndexError: list index out of range");
}

TEST(Unpack, ExactWidthMessages) {
    const char* expected[] = {
        "ValueError: need more than 0 values to unpack",
        "ValueError: need more than 1 value to unpack",
        "ValueError: need more than 2 values to unpack",
        "ValueError: need more than 3 values to unpack",
        "ValueError: need more than 4 values to unpack",
        "ValueError: need more than 5 values to unpack",
        "",
        "ValueError: too many values to unpack",
    };
    for (int width = 0; width <= 7; ++width) {
        py::object row = eval("tuple(range(n))", ("n = " + std::to_string(width)).c_str());
        EXPECT_EQ(error_of([&] { py::unpack<6>(row); }), expected[width]) << width << " values";
        py::object lazy = eval("iter(range(n))", ("n = " + std::to_string(width)).c_str());
        EXPECT_EQ(error_of([&] { py::unpack<6>(lazy); }), expected[width]) << width << " values, iterator";
    }
}

TEST(Unpack, KeepsTheRowsOwnObjects) {
    py::object row = eval("(a, b, c, d, e, f)", "a, b, c, d, e, f = [object() for _ in range(6)]");
    auto values = py::unpack<6>(row);
    for (Py_ssize_t i = 0; i < 6; ++i)
        EXPECT_EQ(values[static_cast<std::size_t>(i)].ptr(), py::item(row, i).ptr());
}

TEST(Unpack, AnIteratorsOwnErrorPassesUnchanged) {
    const char* setup =
        "def values(n):\n"
        "    for i in range(n):\n"
        "        yield i\n"
        "    raise KeyError('fetch %d' % n)\n";
    // Failing on the third fetch, and on the seventh (after six good values).
    EXPECT_EQ(error_of([&] { py::unpack<6>(eval("values(2)", setup)); }), "KeyError: 'fetch 2'");
    EXPECT_EQ(error_of([&] { py::unpack<6>(eval("values(6)", setup)); }), "KeyError: 'fetch 6'");
    EXPECT_EQ(error_of([&] { py::unpack<6>(eval("iter(5)")); }), "TypeError: 'int' object is not iterable");
}

TEST(Iterate, StopsAtTheEndAndPassesErrorsOn) {
    std::string seen;
    for (py::handle value : py::iterate(eval("'abc'")))
        seen += text(value);
    EXPECT_EQ(seen, "abc");
    const char* setup = "def broken():\n    yield 'x'\n    raise IOError('disk')\n";
    EXPECT_EQ(error_of([&] {
                  for (py::handle value : py::iterate(eval("broken()", setup)))
                      (void)value;
              }),
              "IOError: disk");
}

class Printing : public ::testing::Test {
protected:
    void SetUp() override {
        saved = py::borrow(PySys_GetObject(const_cast<char*>("stdout")));
        capture = eval("StringIO.StringIO()", "import StringIO");
        PySys_SetObject(const_cast<char*>("stdout"), capture.ptr());
    }
    void TearDown() override { PySys_SetObject(const_cast<char*>("stdout"), saved.ptr()); }
    std::string written() { return text(capture.call_method("getvalue")); }
    py::object saved, capture;
};

TEST_F(Printing, ALineAndItsSoftSpace) {
    py::print_line(py::str("Done"));
    EXPECT_EQ(written(), "Done\n");
    EXPECT_EQ(text(capture.attr("softspace")), "0");
    capture.set_attr("softspace", py::integer(1));  // left set by an earlier "print x,"
    py::print_line(py::str("Done"));
    EXPECT_EQ(written(), "Done\n Done\n");
    py::print_line(py::integer(10));
    py::print_line(py::str("tab\t"));
    EXPECT_EQ(written(), "Done\n Done\n10\ntab\t\n");
}

TEST_F(Printing, LostStdout) {
    PySys_SetObject(const_cast<char*>("stdout"), nullptr);  // removes it
    EXPECT_EQ(error_of([] { py::print_line(py::str("Done")); }), "RuntimeError: lost sys.stdout");
}

TEST_F(Printing, AStreamThatFailsToWrite) {
    py::object broken =
        eval("Broken()", "class Broken(object):\n    def write(self, s):\n        raise IOError('full')\n");
    PySys_SetObject(const_cast<char*>("stdout"), broken.ptr());
    EXPECT_EQ(error_of([] { py::print_line(py::str("Done")); }), "IOError: full");
}

TEST_F(Printing, AStreamDroppedFromSysWhileItIsWritten) {
    // The stream's first write replaces it in sys, which then holds it no more: the line must
    // still end on the same stream, and the stream may go only after the print.
    py::module_namespace globals =
        run("import sys, StringIO\n"
            "events = []\n"
            "class Replaced(object):\n"
            "    def write(self, text):\n"
            "        events.append(text)\n"
            "        sys.stdout = StringIO.StringIO()\n"
            "    def __del__(self):\n"
            "        events.append('gone')\n"
            "sys.stdout = Replaced()\n");
    py::print_line(py::str("Done"));
    EXPECT_EQ(text(globals.get("events")), "['Done', '\\n', 'gone']");
}

TEST_F(Printing, FlushPassesTheStreamsError) {
    py::object flushed = eval("Stream()", "class Stream(object):\n    def flush(self):\n        self.flushed = True\n");
    PySys_SetObject(const_cast<char*>("stdout"), flushed.ptr());
    EXPECT_EQ(error_of([] { py::flush_stdout(); }), "");
    EXPECT_EQ(text(flushed.attr("flushed")), "True");
    py::object full = eval(
        "Full()", "class Full(object):\n    def flush(self):\n        raise IOError(28, 'No space left on device')\n");
    PySys_SetObject(const_cast<char*>("stdout"), full.ptr());
    EXPECT_EQ(error_of([] { py::flush_stdout(); }), "IOError: [Errno 28] No space left on device");
}

TEST_F(Printing, FlushOnlyWhereTheStreamHasOne) {
    struct Case {
        const char* name;
        const char* stream;
        const char* error;
    };
    const Case cases[] = {
        {"no flush at all", "class Stream(object):\n    pass\n", ""},
        {"a flush whose lookup fails otherwise",
         "class Stream(object):\n    @property\n    def flush(self):\n        raise IOError('closed')\n",
         "IOError: closed"},
        {"a flush that is no callable", "class Stream(object):\n    flush = None\n",
         "TypeError: 'NoneType' object is not callable"},
    };
    for (const Case& c : cases) {
        py::object stream = eval("Stream()", c.stream);
        PySys_SetObject(const_cast<char*>("stdout"), stream.ptr());
        EXPECT_EQ(error_of([] { py::flush_stdout(); }), c.error) << c.name;
    }
}

TEST(Namespace, ModuleThenBuiltinsThenNameError) {
    py::module_namespace globals = run("here = 1\nlen = 'shadowed'\n");
    EXPECT_EQ(text(globals.get("here")), "1");
    EXPECT_EQ(text(globals.get("len")), "shadowed");
    EXPECT_EQ(text(globals.get("None")), "None");
    EXPECT_EQ(error_of([&] { globals.get("handle"); }), "NameError: global name 'handle' is not defined");
    globals.set("handle", py::integer(2));
    EXPECT_EQ(text(globals.get("handle")), "2");
}

TEST(Imports, FromImportOfAMissingName) {
    py::module_namespace globals = run("");
    EXPECT_EQ(text(py::import_from(globals, "os.path", "join").attr("__name__")), "join");
    EXPECT_EQ(error_of([&] { py::import_from(globals, "urllib2", "NoSuchError"); }),
              "ImportError: cannot import name NoSuchError");
    EXPECT_EQ(error_of([&] { py::import_module(globals, "no_such_module_here"); }),
              "ImportError: No module named no_such_module_here");
}

TEST(Imports, AnAttributeReadFailingOtherwisePassesUnchanged) {
    run("import sys\n"
        "class Odd(object):\n"
        "    @property\n"
        "    def thing(self):\n"
        "        raise KeyError('odd')\n"
        "sys.modules['odd_module'] = Odd()\n");
    EXPECT_EQ(error_of([&] { py::import_from(run(""), "odd_module", "thing"); }), "KeyError: 'odd'");
}

struct not_standard {};

TEST(Boundary, EveryEscapingExceptionBecomesAnInterpreterError) {
    EXPECT_EQ(error_of([] { py::raise(PyExc_KeyError, "planned"); }), "KeyError: 'planned'");
    EXPECT_EQ(error_of([] { throw std::bad_alloc(); }), "MemoryError: ");
    EXPECT_EQ(error_of([] { throw std::runtime_error("broken"); }), "SystemError: broken");
    EXPECT_EQ(error_of([] { throw 42; }), "SystemError: a C++ exception of type int reached the interpreter");
    EXPECT_EQ(error_of([] { throw not_standard{}; }),
              "SystemError: a C++ exception of type (anonymous namespace)::not_standard reached the interpreter");
}

// What an error_already_set of `code` describes itself as; the indicator stays clear.
std::string description_of(const char* code) {
    try {
        run(code);
    } catch (py::error_already_set& error) {
        std::string description = error.description();
        EXPECT_EQ(PyErr_Occurred(), nullptr) << code;
        return description;
    }
    return "nothing raised";
}

TEST(ErrorDescription, AsTheLastLineOfTheInterpretersReport) {
    struct Case {
        const char* code;
        const char* description;
    } cases[] = {
        {"raise ValueError('BLAST search RID X ended with status FAILED')",
         "ValueError: BLAST search RID X ended with status FAILED"},
        {"raise ValueError", "ValueError"},
        {"raise ValueError('')", "ValueError"},
        {"raise KeyError('k')", "KeyError: 'k'"},
        {"import urllib2\nraise urllib2.HTTPError('http://x/', 500, 'boom', {}, None)",
         "urllib2.HTTPError: HTTP Error 500: boom"},
        {"__name__ = 'Tarvo.Blast.Skelda'\nclass SearchTimeout(IOError): pass\nraise SearchTimeout('late')",
         "Tarvo.Blast.Skelda.SearchTimeout: late"},
        {"__name__ = 'old'\nclass Classic:\n    def __str__(self): return 'classic'\nraise Classic()",
         "old.Classic: classic"},
        {"raise ValueError(u'caf\\xe9')", "ValueError: caf\xc3\xa9"},  // str() cannot encode it
        {"__name__ = 'm'\nclass Bad(Exception):\n    def __str__(self): raise KeyError\n"
         "    def __unicode__(self): raise KeyError\nraise Bad()",
         "m.Bad: <exception str() failed>"},
        {"raise ValueError('line\\nnext\\x1b')", "ValueError: line\nnext\x1b"},  // escaping is the caller's
    };
    for (const Case& c : cases)
        EXPECT_EQ(description_of(c.code), c.description) << c.code;
}

TEST(ErrorDescription, AnErrorSetThroughTheCApiIsNormalisedFirst) {
    PyErr_SetString(PyExc_KeyError, "k");
    py::error_already_set error;
    EXPECT_EQ(error.description(), "KeyError: 'k'");
    error.restore();
    EXPECT_EQ(testing_support::pending_error(), "KeyError: 'k'");
}

}  // namespace
