// The internet check inside one interpreter, with the resolver replaced by a recording fake.
#include "requires_internet.h"
#include "interpreter.h"
#include "python/native.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

using testing_support::error_of;
using testing_support::eval;
using testing_support::run;
using testing_support::text;

// A toolkit package and a resolver whose answer each test chooses; the check module is
// imported anew for every test.
const char* const fixture = R"(
import socket, sys, types
tarvo = types.ModuleType('Tarvo')
class MissingExternalDependencyError(Exception):
    pass
tarvo.MissingExternalDependencyError = MissingExternalDependencyError
sys.modules['Tarvo'] = tarvo
sys.modules.pop('requires_internet', None)
lookups = []
answer = None
real_getaddrinfo = socket.getaddrinfo
def fake_getaddrinfo(*args):
    lookups.append(args)
    if answer is not None:
        raise answer
    return [(socket.AF_INET, socket.SOCK_STREAM, 6, '', ('127.0.0.1', 80))]
socket.getaddrinfo = fake_getaddrinfo
)";

class InternetCheck : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static const bool registered = [] {
            py::register_builtin_module(requires_internet::module_name, initrequires_internet);
            return true;
        }();
        (void)registered;
    }
    void SetUp() override { globals = std::make_unique<py::module_namespace>(run(fixture)); }
    void TearDown() override {
        exec(
            "socket.getaddrinfo = real_getaddrinfo\nsys.modules.pop('Tarvo', None)\n"
            "sys.modules.pop('requires_internet', None)\n");
        globals.reset();
    }
    // Runs Python in the fixture's namespace.
    void exec(const std::string& code) {
        py::steal(PyRun_String(code.c_str(), Py_file_input, globals->dict().ptr(), globals->dict().ptr()));
    }
    std::string value(const char* expression) {
        std::string shown;
        std::string error = error_of([&] {
            shown =
                text(py::steal(PyRun_String(expression, Py_eval_input, globals->dict().ptr(), globals->dict().ptr())));
        });
        return error.empty() ? shown : error;
    }
    std::string outcome(const std::string& code) {
        return error_of([&] { exec(code); });
    }
    std::unique_ptr<py::module_namespace> globals;
};

TEST_F(InternetCheck, ResolutionFailureIsCachedAsUnavailable) {
    exec("answer = socket.gaierror(-2, 'Name or service not known')\nimport requires_internet");
    EXPECT_EQ(outcome("requires_internet.check()"), "MissingExternalDependencyError: internet not available");
    EXPECT_EQ(value("requires_internet.check.available"), "False");
    EXPECT_EQ(outcome("requires_internet.check()"), "MissingExternalDependencyError: internet not available");
    EXPECT_EQ(value("lookups"), "[('www.ncbi.nlm.nih.gov', 80, 0, 1)]");
}

TEST_F(InternetCheck, ASubtypeOfTheResolutionFailureCounts) {
    exec("class Odd(socket.gaierror): pass\nanswer = Odd(-3, 'odd')\nimport requires_internet");
    EXPECT_EQ(outcome("requires_internet.check()"), "MissingExternalDependencyError: internet not available");
}

TEST_F(InternetCheck, ResolvedNameIsCachedAsAvailable) {
    exec("import requires_internet");
    EXPECT_EQ(value("requires_internet.check()"), "None");
    EXPECT_EQ(value("requires_internet.check.available"), "True");
    EXPECT_EQ(value("requires_internet.check()"), "None");
    EXPECT_EQ(value("len(lookups)"), "1");
}

TEST_F(InternetCheck, OtherLookupErrorsPassAndLeaveItUndetermined) {
    exec("answer = socket.timeout('timed out')\nimport requires_internet");
    EXPECT_EQ(outcome("requires_internet.check()"), "timeout: timed out");
    EXPECT_EQ(value("hasattr(requires_internet.check, 'available')"), "False");
    exec("answer = None");
    EXPECT_EQ(value("requires_internet.check()"), "None");
    EXPECT_EQ(value("len(lookups)"), "2");
}

TEST_F(InternetCheck, ArgumentsAreRefusedBeforeAnythingElse) {
    exec("import requires_internet");
    EXPECT_EQ(outcome("requires_internet.check(1)"), "TypeError: check() takes no arguments (1 given)");
    EXPECT_EQ(outcome("requires_internet.check(x=1)"), "TypeError: check() takes no arguments (1 given)");
    EXPECT_EQ(outcome("requires_internet.check(1, x=1)"), "TypeError: check() takes no arguments (2 given)");
    EXPECT_EQ(value("len(lookups)"), "0");
    EXPECT_EQ(value("hasattr(requires_internet.check, 'available')"), "False");
}

TEST_F(InternetCheck, AStoredOutcomeIsObeyedByItsTruth) {
    struct Case {
        const char* stored;
        const char* outcome;
    } cases[] = {
        {"False", "MissingExternalDependencyError: internet not available"}, {"True", ""},
        {"0", "MissingExternalDependencyError: internet not available"},     {"'yes'", ""},
        {"[]", "MissingExternalDependencyError: internet not available"},
    };
    for (const Case& c : cases) {
        exec(std::string("import sys\nsys.modules.pop('requires_internet', None)\nimport requires_internet\n"
                         "requires_internet.check.available = ") +
             c.stored);
        EXPECT_EQ(outcome("requires_internet.check()"), c.outcome) << c.stored;
    }
    EXPECT_EQ(value("len(lookups)"), "0");
}

TEST_F(InternetCheck, NamesAreReadAtEachUse) {
    exec(
        "import requires_internet\n"
        "class Stand(object):\n    available = True\n"
        "real_check = requires_internet.check\n"
        "requires_internet.check = Stand()\n");
    EXPECT_EQ(value("real_check()"), "None");  // the outcome of whatever `check` now names
    EXPECT_EQ(value("len(lookups)"), "0");
    exec("del requires_internet.check");
    EXPECT_EQ(outcome("real_check()"), "NameError: global name 'check' is not defined");
    exec(
        "requires_internet.check = real_check\nreal_check.available = False\n"
        "del requires_internet.MissingExternalDependencyError");
    EXPECT_EQ(outcome("real_check()"), "NameError: global name 'MissingExternalDependencyError' is not defined");
}

TEST_F(InternetCheck, TheModuleBodyRunsOnce) {
    exec("import requires_internet as first\nfirst.marker = 1\nimport requires_internet as second");
    EXPECT_EQ(value("first is second and second.marker == 1"), "True");
    EXPECT_EQ(value("second.__doc__ is None and sorted(k for k in vars(second) "
                    "if not k.startswith('__'))"),
              "['MissingExternalDependencyError', 'check', 'marker']");
}

TEST_F(InternetCheck, AFileOfTheSameNameIsNeverImported) {
    char folder[] = "/tmp/decoy-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::ofstream(std::string(folder) + "/requires_internet.py") << "decoy = True\n";
    exec(std::string("sys.path.insert(0, '") + folder + "')\nimport requires_internet\nsys.path.pop(0)");
    EXPECT_EQ(value("hasattr(requires_internet, 'decoy')"), "False");
    std::remove((std::string(folder) + "/requires_internet.py").c_str());
    rmdir(folder);
}

TEST_F(InternetCheck, AToolkitWithoutTheErrorTypeFailsTheImportCleanly) {
    exec("del tarvo.MissingExternalDependencyError");
    EXPECT_EQ(outcome("import requires_internet"), "ImportError: cannot import name MissingExternalDependencyError");
    EXPECT_EQ(value("'requires_internet' in sys.modules"), "False");
    exec("tarvo.MissingExternalDependencyError = MissingExternalDependencyError");
    EXPECT_EQ(outcome("import requires_internet\nrequires_internet.check()"), "");
}

}  // namespace
