"""Running BLAST+: what a tool that fails, hangs or is missing leaves for the log, what the
tool is handed, and the XML report made from its archive."""
import os
import threading

import pytest

from localblast.errors import BlastFailed
from localblast.request.submission import Search
from localblast.runs.blast import ARCHIVE, XML_REPORT, BlastRunner

# Stands in for a BLAST+ tool: records its arguments, then behaves as its first line says.
TOOL = """#!/bin/sh
printf '%s\\n' "$@" > "$(dirname "$0")/arguments"
cat query.fasta > "$(dirname "$0")/query"
BEHAVIOUR
"""


def tool(tmp_path, behaviour):
    path = tmp_path / "fake-blast"
    path.write_text(TOOL.replace("BEHAVIOUR", behaviour))
    path.chmod(0o755)
    return str(path)


def search(tool_path, restriction=None, label=None):
    return Search("blastp", tool_path, "protein", "nr", "MKTAYIAKQR\n", label, restriction, ["-evalue", "10"], False,
                  {}, "HTML")


@pytest.fixture
def report(tmp_path, monkeypatch):
    """The search's own folder, where its archive and XML report go. blast_formatter stands in
    as a copy of the archive, which the stand-ins for BLAST+ write as XML."""
    (tmp_path / "bin").mkdir()
    formatter = tmp_path / "bin" / "blast_formatter"
    formatter.write_text('#!/bin/sh\n[ "$1 $3 $4 $5" = "-archive -outfmt 5 -out" ] && cp "$2" "$6"\n')
    formatter.chmod(0o755)
    monkeypatch.setenv("PATH", "%s:%s" % (tmp_path / "bin", os.environ["PATH"]))
    (tmp_path / "RID").mkdir()
    return str(tmp_path / "RID")


def test_a_failing_tool_leaves_its_status_and_standard_error(db, tmp_path, report):
    runner = BlastRunner(db, timeout=30)
    with pytest.raises(BlastFailed, match=r"ended with status 3: BLAST query error: bad letters"):
        runner.run(search(tool(tmp_path, "echo 'BLAST query error: bad letters' >&2; exit 3")), report)
    assert os.listdir(report) == []


def test_the_tool_gets_files_and_an_argument_list_and_works_in_the_searchs_folder(db, tmp_path, report):
    runner = BlastRunner(db, timeout=30)
    runner.run(search(tool(tmp_path, "echo '<BlastOutput/>' > \"$8\""), restriction=["NP_062074.1"]), report)
    with open(os.path.join(report, XML_REPORT)) as stream:
        assert stream.read() == "<BlastOutput/>\n"
    arguments = (tmp_path / "arguments").read_text().splitlines()
    assert arguments[0] == "-query" and arguments[1].endswith("query.fasta")
    assert os.path.dirname(os.path.dirname(arguments[1])) == report
    assert arguments[2:7] == ["-db", "nr", "-outfmt", "11", "-out"]
    assert arguments[8:10] == ["-evalue", "10"] and arguments[10] == "-seqidlist"
    assert (tmp_path / "query").read_text() == "MKTAYIAKQR\n"
    assert sorted(os.listdir(report)) == sorted([ARCHIVE, XML_REPORT])


REPORT = """<BlastOutput>
  <BlastOutput_query-ID>Query_1</BlastOutput_query-ID>
  <BlastOutput_query-def>gi|9|ref|NP_1.1| a &lt;title&gt;</BlastOutput_query-def>
<Iteration>
  <Iteration_query-ID>Query_1</Iteration_query-ID>
  <Iteration_query-def>gi|9|ref|NP_1.1| a &lt;title&gt;</Iteration_query-def>
</Iteration>
</BlastOutput>
"""


@pytest.mark.parametrize("label, query_id, query_def", [
    (("gi|9|ref|NP_1.1|", "a <title> & more"), "gi|9|ref|NP_1.1|", "a &lt;title&gt; &amp; more"),
    ((None, "No definition line"), "Query_1", "No definition line"),
    (None, "Query_1", "gi|9|ref|NP_1.1| a &lt;title&gt;"),
])
def test_the_report_names_the_query_as_the_label_says_in_every_scope(db, tmp_path, report, label, query_id,
                                                                     query_def):
    (tmp_path / "report.xml").write_text(REPORT)
    BlastRunner(db, timeout=30).run(search(tool(tmp_path, "cp \"$(dirname \"$0\")/report.xml\" \"$8\""),
                                           label=label), report)
    with open(os.path.join(report, XML_REPORT)) as stream:
        written = stream.read()
    for scope in ("BlastOutput", "Iteration"):
        assert "<%s_query-ID>%s</%s_query-ID>" % (scope, query_id, scope) in written
        assert "<%s_query-def>%s</%s_query-def>" % (scope, query_def, scope) in written


def test_a_tool_that_runs_too_long_is_stopped(db, tmp_path, report):
    runner = BlastRunner(db, timeout=0.5)
    with pytest.raises(BlastFailed, match="longer than 0.5 seconds"):
        runner.run(search(tool(tmp_path, "exec sleep 60")), report)


def test_stopping_the_runner_ends_a_running_tool_and_refuses_new_ones(db, tmp_path, report):
    runner = BlastRunner(db, timeout=60)
    slow = tool(tmp_path, "touch \"$(dirname \"$0\")/started\"; exec sleep 60")
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(capture(runner.run, search(slow), report)))
    thread.start()
    for _ in range(500):
        if (tmp_path / "started").exists():
            break
        thread.join(0.01)
    runner.stop()
    thread.join(10)
    assert not thread.is_alive() and isinstance(outcome[0], BlastFailed)
    with pytest.raises(BlastFailed, match="stopping"):
        runner.run(search(slow), report)


def test_a_missing_tool_is_named(db, tmp_path, report):
    with pytest.raises(BlastFailed, match="could not start .*no-such-blast"):
        BlastRunner(db, timeout=30).run(search(str(tmp_path / "no-such-blast")), report)


def capture(function, *arguments):
    try:
        return function(*arguments)
    except Exception as error:
        return error
