"""The program as a user runs it: its output, its errors and its exit status."""
import pytest

from conftest import ANNOUNCEMENTS, BANNER, Q2, Q3, passing_records

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


@pytest.mark.parametrize("qblast, error, row", [
    ({"2": {"raise": "HTTPError"}}, "Tarvo.MissingExternalDependencyError: internet connection failed", 2),
    ({"2": {"raise": "FixtureHTTPError"}}, "Tarvo.MissingExternalDependencyError: internet connection failed", 2),
    ({"2": {"raise": "ValueError"}}, "ValueError: fixture ValueError", 2),
    ({"1": {"raise": "ValueError"}}, "NameError: global name 'handle' is not defined", 1),
    ({"1": {"raise": "HTTPError"}}, "NameError: global name 'handle' is not defined", 1),
    ({"1": {"raise": "KeyboardInterrupt"}}, "KeyboardInterrupt: fixture KeyboardInterrupt", 1),
    ({"2": {"return": "none"}}, "AttributeError: 'NoneType' object has no attribute 'query'", 2),
], ids=["blastn HTTP failure", "blastn HTTP failure subtype", "blastn other error", "blastp error dropped",
        "blastp HTTP failure dropped", "blastp interrupt", "blastn returns None"])
def test_submission_failures(run_program, qblast, error, row):
    records = passing_records()
    if qblast.get("2", {}).get("return") == "none":
        records[1] = {"return": None}
    run = run_program(plan={"qblast": qblast, "records": records})
    assert (run.status, run.error_line) == (1, error)
    assert run.stdout_lines == lines_until(row)
    assert len(run.of("qblast")) == row  # later rows are never submitted


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


def test_the_report_names_the_driver(run_program):
    run = run_program(plan={"records": changed(2, query_letters=67)})
    assert 'File "src/driver/run.cpp", line' in run.stderr
    assert run.stderr.rstrip().endswith("AssertionError")
