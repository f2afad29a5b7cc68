// Reference-count balance of the C++ layer: a function that gives away a reference it does not
// own, or keeps one it should give back, moves an object's count by one per call. Sanitizers
// and behaviour cannot see that for long-lived objects such as None; a balance over many calls
// can.
#include "driver/driver.h"
#include "interpreter.h"
#include "python/format.h"
#include "python/iterate.h"
#include "python/native.h"
#include "python/print.h"
#include "python/traceback.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <vector>

namespace {

using testing_support::eval;
using testing_support::run;

constexpr std::size_t calls = 100;

// How far `watched`'s count moved over `calls` calls of `body`, after one call that may fill
// caches. The damage is undone before returning, so that a fault fails its own case only.
Py_ssize_t drift(py::handle watched, const std::function<void()>& body) {
    std::vector<py::object> guard;  // outlives any count a fault takes away
    guard.reserve(2 * calls);
    for (std::size_t i = 0; i < 2 * calls; ++i)
        guard.push_back(py::borrow(watched));
    body();
    const Py_ssize_t before = Py_REFCNT(watched.ptr());
    for (std::size_t i = 0; i < calls; ++i)
        body();
    const Py_ssize_t moved = Py_REFCNT(watched.ptr()) - before;
    for (Py_ssize_t i = moved; i < 0; ++i)
        Py_INCREF(watched.ptr());
    for (Py_ssize_t i = moved; i > 0; --i)
        Py_DECREF(watched.ptr());
    return moved;
}

struct Case {
    const char* name;
    py::handle watched;
    std::function<void()> body;
};

void expect_balanced(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(drift(c.watched, [&] { ASSERT_TRUE(py::boundary(c.body)) << testing_support::pending_error(); }), 0)
            << c.name;
    }
}

// A module of its own for the finder's cases, so that no other test's module is touched.
void init_probe() {
    static PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};
    Py_InitModule3("refcount_probe", no_functions, nullptr);
}

py::object echo_context(py::handle context, py::handle, py::handle) {
    return py::borrow(context);
}

TEST(ReferenceCounts, ValuesAndOperations) {
    py::object thing = eval("object()");
    py::object holder = eval("[thing] * 6", "thing = object()");
    py::handle element = py::item(holder, 0);
    py::object text = py::str("a");  // one-letter strings are shared
    py::object five = py::integer(5);
    py::object identity = eval("lambda value=None, key=None: value if key is None else key");
    py::object box = eval("Box()", "class Box(object):\n    pass\n");
    py::object row = py::tuple({element, element, element, element, element, element});
    py::object names = eval("['x', 'y']");

    expect_balanced({
        {"none", Py_None, [] { py::none(); }},
        {"boolean true", Py_True, [] { py::boolean(true); }},
        {"boolean false", Py_False, [] { py::boolean(false); }},
        {"truth", Py_True, [] { (void)py::truth(Py_True); }},
        {"integer", five, [] { py::integer(5); }},
        {"str", text, [] { py::str("a"); }},
        {"bytes_of", text, [&] { py::bytes_of(text); }},
        {"text", text, [&] { py::text(text); }},
        {"borrow", thing, [&] { py::borrow(thing); }},
        {"list", thing, [&] { py::list({thing}); }},
        {"tuple", thing, [&] { py::tuple({thing}); }},
        {"item", element, [&] { py::item(holder, 0); }},
        {"length", holder, [&] { (void)py::length(holder); }},
        {"contains", element, [&] { (void)py::contains(holder, element); }},
        {"equal", thing, [&] { (void)py::equal(thing, thing); }},
        {"type_of", py::type_of(thing), [&] { py::type_of(thing); }},
        {"iterate", element,
         [&] {
             for (py::handle value : py::iterate(holder))
                 (void)value;
         }},
        {"unpack", element, [&] { py::unpack<6>(row); }},
        {"call", thing, [&] { identity.call({thing}); }},
        {"call with keywords", thing,
         [&] {
             identity.call({}, {{"key", thing}});
         }},
        {"set_attr", thing, [&] { box.set_attr("held", thing); }},
        {"attr", thing, [&] { box.attr("held"); }},
        {"attr_if_any of one there", thing, [&] { box.attr_if_any("held"); }},
        {"attr_if_any of one missing", box, [&] { box.attr_if_any("missing"); }},
        {"call_method", names, [&] { py::str(", ").call_method("join", {names}); }},
        {"format", text, [&] { py::format("%s", {text}); }},
        {"join", names, [&] { py::join(", ", names); }},
        {"as_float", five, [&] { py::as_float(five); }},
    });
}

TEST(ReferenceCounts, NamespacesAndImports) {
    py::module_namespace globals = run("value = object()\n");
    py::object value = globals.get("value");
    py::object os = py::import_module(globals, "os");
    py::object os_path = py::import_from(globals, "os", "path");
    py::object main_module = py::added_module("__main__");
    py::handle builtin_len = PyDict_GetItemString(py::builtins().ptr(), "len");

    expect_balanced({
        {"namespace of a dict", globals.dict(), [&] { py::module_namespace again(globals.dict()); }},
        {"get", value, [&] { globals.get("value"); }},
        {"get a built-in", builtin_len, [&] { globals.get("len"); }},
        {"set", value, [&] { globals.set("value", value); }},
        {"has", value, [&] { (void)globals.has("value"); }},
        {"added_module", main_module, [] { py::added_module("__main__"); }},
        {"import_module", os, [&] { py::import_module(globals, "os"); }},
        {"import_from", os_path, [&] { py::import_from(globals, "os", "path"); }},
    });
}

TEST(ReferenceCounts, Errors) {
    py::object error = eval("ValueError('planned')");
    py::handle type = PyExc_ValueError;
    py::module_namespace globals = run("");

    expect_balanced({
        {"discarded", error,
         [&] {
             PyErr_SetObject(type.ptr(), error.ptr());
             py::error_already_set discarded;
         }},
        {"restored", error,
         [&] {
             PyErr_SetObject(type.ptr(), error.ptr());
             py::error_already_set pending;
             pending.restore();
             PyErr_Clear();
         }},
        {"matches and description", type,
         [&] {
             PyErr_SetObject(type.ptr(), error.ptr());
             py::error_already_set caught;
             (void)caught.matches(type);
             (void)caught.description();
         }},
        {"raise_instance", error,
         [&] {
             try {
                 py::raise_instance(error);
             } catch (py::error_already_set&) {
             }
         }},
        {"traceback entry", globals.dict(),
         [&] {
             PyErr_SetObject(type.ptr(), error.ptr());
             py::add_traceback_entry("file.cpp", "<module>", 1, globals.dict());
             PyErr_Clear();
         }},
    });
}

TEST(ReferenceCounts, ResultChecksOfARowExpectingNoHits) {
    // The checks look the row's None up and test it once for each hit list.
    py::module_namespace globals =
        run("class Entry(object):\n    pass\n"
            "program, query, e_value, expected_hits = 'blastn', 'ACGT', 10, None\n"
            "record = Entry()\n"
            "record.application, record.query, record.query_letters = 'BLASTN', 'No definition line', 4\n"
            "record.query_id, record.expect, record.alignments, record.descriptions = 'Query_1', '10', [], []\n");

    expect_balanced({
        {"check_result", Py_None, [&] { driver::check_result(globals); }},
    });
}

TEST(ReferenceCounts, Streams) {
    // A stream that keeps nothing of what it is given.
    py::object stream = eval("Sink()",
                             "class Sink(object):\n    def write(self, text):\n        pass\n"
                             "    def flush(self):\n        pass\n");
    py::object line = py::str("a");
    py::object saved_stdout = py::borrow(PySys_GetObject(const_cast<char*>("stdout")));
    py::object saved_stderr = py::borrow(PySys_GetObject(const_cast<char*>("stderr")));
    PySys_SetObject(const_cast<char*>("stdout"), stream.ptr());
    PySys_SetObject(const_cast<char*>("stderr"), stream.ptr());

    expect_balanced({
        {"print_line's stream", stream, [&] { py::print_line(line); }},
        {"print_line's item", line, [&] { py::print_line(line); }},
        {"flush_stdout", stream, [] { py::flush_stdout(); }},
        {"write_stderr", stream, [] { py::write_stderr("a line\n"); }},
    });
    PySys_SetObject(const_cast<char*>("stdout"), saved_stdout.ptr());
    PySys_SetObject(const_cast<char*>("stderr"), saved_stderr.ptr());
}

TEST(ReferenceCounts, NativeObjects) {
    py::object context = eval("object()");
    py::object callable = py::native_callable(echo_context, context);
    py::register_builtin_module("refcount_probe", init_probe);
    py::object finder = py::item(py::borrow(PySys_GetObject(const_cast<char*>("meta_path"))), 0);
    py::object probe = finder.call_method("load_module", {py::str("refcount_probe")});

    expect_balanced({
        {"native_callable's context", context, [&] { py::native_callable(echo_context, context); }},
        {"a native call's result", context, [&] { callable.call(); }},
        {"find_module of its name", finder, [&] { finder.call_method("find_module", {py::str("refcount_probe")}); }},
        {"find_module of another name", Py_None, [&] { finder.call_method("find_module", {py::str("os")}); }},
        {"load_module", probe, [&] { finder.call_method("load_module", {py::str("refcount_probe")}); }},
    });
}

}  // namespace
