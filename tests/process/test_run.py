"""The program as a user runs it: its output, its errors and its exit status."""
import contextlib
import os
import re

import pytest

from conftest import ANNOUNCEMENTS, BANNER, Q2, Q3, SOURCE_TREE, passing_records

PASSING_OUTPUT = "\n".join([BANNER] + ANNOUNCEMENTS + ["Done"]) + "\n"


@pytest.mark.parametrize("args", [(), ("--verbose", "extra", "words")])
def test_a_passing_run(run_program, args):
    run = run_program(args=args)
    assert (run.status, run.stderr) == (0, "")
    assert run.stdout == PASSING_OUTPUT


def test_what_each_search_is_given(run_program):
    run = run_program()
    ten = ["int", 10]
    common = {"alignments": ten, "descriptions": ten, "hitlist_size": ten}
    assert [(c["args"], c["keywords"]) for c in run.of("qblast")] == [
        (["blastp", "nr", "160837788"],
         dict(common, entrez_query=["str", "rat [ORGN]"], expect=["float", 0.001])),
        (["blastn", "nr", Q2],
         dict(common, entrez_query=["str", "pan [ORGN]"], expect=["int", 10], megablast=["str", "FALSE"])),
        (["blastx", "nr", Q3],
         dict(common, entrez_query=["NoneType", None], expect=["float", 1e-07])),
    ]
    # Each reading is given the stream of its own search.
    assert [r["content"] for r in run.of("read")] == ["stream 1", "stream 2", "stream 3"]


def test_the_resolver_is_asked_once(run_program):
    run = run_program(plan={"probe_check": True})
    assert run.status == 0
    assert [e["args"] for e in run.of("getaddrinfo")] == [["www.ncbi.nlm.nih.gov", 80, 0, 1]]
    assert run.of("probe") == [
        {"event": "probe", "available": "True", "again": "None"},
        {"event": "probe", "refused": "check() takes no arguments (1 given)"},
        {"event": "probe", "refused": "check() takes no arguments (1 given)"},
        {"event": "probe", "refused": "check() takes no arguments (2 given)"},
    ]


def test_no_internet(run_program):
    run = run_program(internet=False)
    assert (run.status, run.stdout) == (1, "")
    assert run.error_line == "Tarvo.MissingExternalDependencyError: internet not available"
    assert run.stderr.startswith("Traceback (most recent call last):")
    assert run.of("import") == []  # neither the client nor the reader was imported
    assert len(run.of("getaddrinfo")) == 1


def test_a_decoy_check_module_beside_the_program_is_never_imported(run_program, tmp_path):
    marker = tmp_path / "decoy-ran"
    decoy = "open(%r, 'w').close()\ndef check():\n    pass\n" % str(marker)
    run = run_program(internet=False, extra_files={"requires_internet.py": decoy})
    assert run.error_line == "Tarvo.MissingExternalDependencyError: internet not available"
    assert not marker.exists()


@pytest.mark.parametrize("setup, error", [
    (dict(toolkit=False), "ImportError: No module named Tarvo"),
    (dict(plan={"no_error_type": True}), "ImportError: cannot import name MissingExternalDependencyError"),
    (dict(remove=["Tarvo/Blast/Morvin.py"]), "ImportError: cannot import name Morvin"),
    (dict(remove=["Tarvo/Blast/Skelda.py"]), "ImportError: cannot import name Skelda"),
    (dict(plan={"lose_stdout": True}), "RuntimeError: lost sys.stdout"),
], ids=["no toolkit", "no error type", "no reader", "no client", "no stdout"])
def test_a_broken_toolkit_ends_before_the_banner(run_program, setup, error):
    run = run_program(**setup)
    assert (run.status, run.stdout, run.error_line) == (1, "", error)


def lines_until(row):
    """The output of a run that fails in `row` (1-based): banner and announcements so far."""
    return [BANNER] + ANNOUNCEMENTS[:row]


@pytest.mark.parametrize("qblast, error, row, set_aside", [
    ({"2": {"raise": "HTTPError"}}, "Tarvo.MissingExternalDependencyError: internet connection failed", 2, False),
    ({"2": {"raise": "FixtureHTTPError"}}, "Tarvo.MissingExternalDependencyError: internet connection failed", 2,
     False),
    ({"2": {"raise": "ValueError"}}, "ValueError: fixture ValueError", 2, False),
    # IOErrors both, but no HTTP failures: they pass unchanged.
    ({"2": {"raise": "SearchTimeout", "text": "BLAST search RID X ran out of time"}},
     "Tarvo.Blast.Skelda.SearchTimeout: BLAST search RID X ran out of time", 2, False),
    ({"2": {"raise": "URLError", "text": "[Errno 111] Connection refused"}},
     "urllib2.URLError: <urlopen error [Errno 111] Connection refused>", 2, False),
    ({"1": {"raise": "ValueError"}}, "NameError: global name 'handle' is not defined", 1, True),
    ({"1": {"raise": "HTTPError"}}, "NameError: global name 'handle' is not defined", 1, True),
    ({"1": {"raise": "KeyboardInterrupt"}}, "KeyboardInterrupt: fixture KeyboardInterrupt", 1, False),
    ({"2": {"return": "none"}}, "AttributeError: 'NoneType' object has no attribute 'query'", 2, False),
], ids=["blastn HTTP failure", "blastn HTTP failure subtype", "blastn other error", "blastn timeout",
        "blastn connection refused", "blastp error dropped", "blastp HTTP failure dropped", "blastp interrupt",
        "blastn returns None"])
def test_submission_failures(run_program, qblast, error, row, set_aside):
    records = passing_records()
    if qblast.get("2", {}).get("return") == "none":
        records[1] = {"return": None}
    run = run_program(plan={"qblast": qblast, "records": records})
    assert (run.status, run.error_line) == (1, error)
    assert run.stdout_lines == lines_until(row)
    assert len(run.of("qblast")) == row  # later rows are never submitted
    assert ("was set aside" in run.stderr) == set_aside


def set_aside(program, description):
    return "qblast-check: the %s search failed and was set aside: %s" % (program, description)


FAILED = "BLAST search RID X ended with status FAILED"


@pytest.mark.parametrize("row, step, line", [
    (1, {"raise": "ValueError", "text": FAILED}, set_aside("blastp", "ValueError: " + FAILED)),
    (3, {"raise": "HTTPError"}, set_aside("blastx", "urllib2.HTTPError: HTTP Error 500: boom")),
    (3, {"raise": "SearchTimeout", "text": "no answer"},
     set_aside("blastx", "Tarvo.Blast.Skelda.SearchTimeout: no answer")),
    (1, {"raise": "ValueError", "text": "\x1b[31mred\x1b[0m\r\nnext\tx\\y\x00\x7f\x9b'\""},
     set_aside("blastp", r"ValueError: \x1b[31mred\x1b[0m\r\nnext\tx\\y\x00\x7f\x9b'" '"')),
    (1, {"raise": "ValueError", "text": "caf\u00e9", "unicode": True}, set_aside("blastp", r"ValueError: caf\xc3\xa9")),
    (1, {"raise": "ValueError", "text": ""}, set_aside("blastp", "ValueError")),
    (1, {"raise": "ValueError", "text": "x" * 988}, set_aside("blastp", "ValueError: " + "x" * 988)),  # 1000 bytes
    (1, {"raise": "ValueError", "text": "x" * 5000},
     set_aside("blastp", "ValueError: " + "x" * 988 + "... (cut at 1000 of 5012 bytes)")),
    (3, {"raise": "ValueError", "stderr": "none"}, None),
    (3, {"raise": "ValueError", "stderr": "broken"}, None),
], ids=["ValueError", "HTTPError", "module of the type", "control characters", "unicode text", "no text",
        "text at the bound", "long text", "no sys.stderr", "sys.stderr fails"])
def test_a_set_aside_error_is_named_and_changes_nothing_else(run_program, row, step, line):
    run = run_program(plan={"qblast": {str(row): step}})
    named = [line] if line else []
    if row == 3:  # the stand-in reader passes the row on the earlier stream
        assert (run.status, run.stdout, run.stderr.splitlines()) == (0, PASSING_OUTPUT, named)
        return
    assert (run.status, run.error_line) == (1, "NameError: global name 'handle' is not defined")
    assert run.stdout_lines == lines_until(1)
    assert run.stderr.splitlines()[:len(named) + 1] == named + ["Traceback (most recent call last):"]


@pytest.mark.parametrize("stdout, error", [
    ("full", "IOError: [Errno 28] No space left on device"),
    ("closed", "IOError: [Errno 9] Bad file descriptor"),
    ("pipe", "IOError: [Errno 32] Broken pipe"),
], ids=["full device", "closed descriptor", "pipe closed by the reader"])
def test_a_log_that_never_arrives_fails_the_run(run_program, stdout, error):
    closed = ()
    with contextlib.ExitStack() as held:
        if stdout == "closed":
            stdout, closed = None, (1,)
        elif stdout == "full":
            stdout = held.enter_context(open("/dev/full", "w"))
        elif stdout == "pipe":
            reader, stdout = os.pipe()
            os.close(reader)  # gone before the program writes anything
            held.callback(os.close, stdout)
        # The toolkit holds a file open all along, as it would a socket: a closed descriptor 1
        # must not become that file.
        run = run_program(plan={"keep_open": "held-open"}, stdout=stdout, closed=closed)
    assert (run.status, run.error_line) == (1, error)
    assert run.stderr.startswith('Traceback (most recent call last):\n  File "src/driver/run.cpp", line ')
    assert (run.folder / "held-open").read_text() == ""


LAST_LINE = [{"event": "stdout", "write": "Done"}, {"event": "stdout", "write": "\n"}]
FLUSHED = {"event": "stdout", "flush": True}


@pytest.mark.parametrize("stdout, status, events, error", [
    (True, 0, LAST_LINE + [FLUSHED], None),
    # Printing needs only write: such a stream holds nothing back, and the run passes.
    ("without flush", 0, LAST_LINE, None),
    ("failing flush", 1, LAST_LINE + [FLUSHED], "IOError: the stand-in stdout refuses to flush"),
], ids=["flushed after the last line", "a stream without flush", "a flush that fails"])
def test_a_passing_run_flushes_its_stream_where_it_can(run_program, stdout, status, events, error):
    run = run_program(plan={"record_stdout": stdout})
    assert (run.status, run.stdout) == (status, PASSING_OUTPUT)
    assert run.of("stdout")[-len(events):] == events
    if error:
        assert run.error_line == error
    else:
        assert run.stderr == ""


def test_a_closed_stderr_takes_no_file_of_the_run(run_program):
    run = run_program(internet=False, plan={"keep_open": "held-open"}, closed=(2,))
    assert run.status == 1
    assert (run.folder / "held-open").read_text() == ""  # the report went nowhere, not into it


def test_a_dropped_blastx_error_reads_the_previous_stream_again(run_program):
    run = run_program(plan={"qblast": {"3": {"raise": "ValueError"}}})
    # The stand-in reader returns the planned record whatever it is given, so the row passes.
    assert run.status == 0
    assert [r["content"] for r in run.of("read")] == ["stream 1", "stream 2", ""]


def test_a_reader_error_passes_unchanged_even_an_http_failure(run_program):
    records = passing_records()
    records[1] = {"raise": "HTTPError"}
    run = run_program(plan={"records": records})
    assert (run.status, run.error_line) == (1, "urllib2.HTTPError: HTTP Error 500: boom")
    assert run.stdout_lines == lines_until(2)


def changed(row, **fields):
    records = passing_records()
    records[row - 1].update(fields)
    return records


MANY = [{"hit_id": "gi|37953274|"}] * 11
MANY_DESCRIPTIONS = [{"accession": "x", "title": "gi|37953274| y"}] * 11


@pytest.mark.parametrize("row, fields, error", [
    (2, {"query_letters": 67}, "AssertionError"),
    (1, {"query_id": "gi|9160837788|ref|"}, "AssertionError"),
    (1, {"query_id": "160837788"}, None),
    (3, {"query": "gi|116660609|gb|EG558220.1|EG558220"}, "AssertionError"),
    (3, {"query": "No definition line", "query_letters": 754}, None),
    (2, {"expect": "10.0"}, None),
    (1, {"expect": "0.0010001"}, "AssertionError"),
    (1, {"expect": "abc"}, "ValueError: could not convert string to float: abc"),
    (2, {"application": "BLASTN "}, "AssertionError"),
    (2, {"alignments": MANY}, "AssertionError"),
    (2, {"alignments": MANY[:10], "descriptions": MANY_DESCRIPTIONS[:10]}, None),
    (2, {"descriptions": MANY_DESCRIPTIONS, "alignments": []}, "AssertionError"),
    (2, {"alignments": []}, "AssertionError: Expected some alignments!"),
    (3, {"descriptions": []}, "AssertionError: Expected some descriptions!"),
    (2, {"alignments": [{"hit_id": "gi|1|"}]},
     "AssertionError: Missing all of 37953274, 51104367, 51104367, 51104367 in alignments"),
    (3, {"descriptions": [{"accession": "x", "title": "gi|1| 18409071"}]},
     "AssertionError: Missing all of 21554275, 18409071, 296087288 in descriptions"),
    (3, {"descriptions": [{"accession": "x", "title": " "}]}, "IndexError: list index out of range"),
    (1, {"omit": ["query"]}, "AttributeError: 'Entry' object has no attribute 'query'"),
    (2, {"omit": ["descriptions"]}, "AttributeError: 'Entry' object has no attribute 'descriptions'"),
    (2, {"alignments": [{"name": "no hit_id"}]}, "AttributeError: 'Entry' object has no attribute 'hit_id'"),
], ids=lambda value: None)
def test_result_checks(run_program, row, fields, error):
    run = run_program(plan={"records": changed(row, **fields)})
    if error is None:
        assert (run.status, run.stdout, run.stderr) == (0, PASSING_OUTPUT, "")
        return
    assert (run.status, run.error_line) == (1, error)
    assert run.stdout_lines == lines_until(row)
    assert len(run.of("qblast")) == row


@pytest.mark.parametrize("value, error", [
    ("not a record", "AttributeError: 'unicode' object has no attribute 'query'"),
    (None, "AttributeError: 'NoneType' object has no attribute 'query'"),
], ids=["text", "None"])
def test_a_reader_returning_the_wrong_kind(run_program, value, error):
    records = passing_records()
    records[0] = {"return": value}
    run = run_program(plan={"records": records})
    assert (run.status, run.error_line) == (1, error)
    assert run.stdout_lines == lines_until(1)


def readme_traceback():
    readme = (SOURCE_TREE / "README.md").read_text()
    start = readme.index("```text\nTraceback") + len("```text\n")
    return readme[start:readme.index("```", start)]


def test_the_report_shows_the_driver_line_the_readme_shows(run_program):
    # Run from the source tree, the interpreter shows the source line that the entry names.
    run = run_program(internet=False, cwd=SOURCE_TREE)
    assert run.stderr == readme_traceback()
    line = int(re.search(r'File "src/driver/run\.cpp", line (\d+)', run.stderr).group(1))
    source = (SOURCE_TREE / "src" / "driver" / "run.cpp").read_text().splitlines()
    assert "py::boundary(" in source[line - 1]  # where the driver's body begins


def test_the_report_names_the_driver(run_program):
    run = run_program(plan={"records": changed(2, query_letters=67)})
    assert 'File "src/driver/run.cpp", line' in run.stderr
    assert run.stderr.rstrip().endswith("AssertionError")
