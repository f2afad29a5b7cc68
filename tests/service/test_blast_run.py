"""Running BLAST+: what a tool that fails, hangs or is missing leaves for the log, and what the
tool is handed."""
import threading

import pytest

from localblast.blast_run import BlastFailed, BlastRunner
from localblast.submission import Search

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


def search(tool_path, restriction=None):
    return Search("blastp", tool_path, "protein", "nr", "MKTAYIAKQR\n", None, restriction, ["-evalue", "10"])


def test_a_failing_tool_leaves_its_status_and_standard_error(db, tmp_path):
    runner = BlastRunner(db, timeout=30)
    with pytest.raises(BlastFailed, match=r"ended with status 3: BLAST query error: bad letters"):
        runner.run(search(tool(tmp_path, "echo 'BLAST query error: bad letters' >&2; exit 3")))


def test_the_tool_gets_files_and_an_argument_list(db, tmp_path):
    runner = BlastRunner(db, timeout=30)
    report = runner.run(search(tool(tmp_path, "echo '<BlastOutput/>' > \"$8\""), restriction=["NP_062074.1"]))
    assert report == "<BlastOutput/>\n"
    arguments = (tmp_path / "arguments").read_text().splitlines()
    assert arguments[0] == "-query" and arguments[1].endswith("query.fasta")
    assert arguments[2:7] == ["-db", "nr", "-outfmt", "5", "-out"]
    assert arguments[8:10] == ["-evalue", "10"] and arguments[10] == "-seqidlist"
    assert (tmp_path / "query").read_text() == "MKTAYIAKQR\n"


def test_a_tool_that_runs_too_long_is_stopped(db, tmp_path):
    runner = BlastRunner(db, timeout=0.5)
    with pytest.raises(BlastFailed, match="longer than 0.5 seconds"):
        runner.run(search(tool(tmp_path, "exec sleep 60")))


def test_stopping_the_runner_ends_a_running_tool_and_refuses_new_ones(db, tmp_path):
    runner = BlastRunner(db, timeout=60)
    slow = tool(tmp_path, "touch \"$(dirname \"$0\")/started\"; exec sleep 60")
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(capture(runner.run, search(slow))))
    thread.start()
    for _ in range(500):
        if (tmp_path / "started").exists():
            break
        thread.join(0.01)
    runner.stop()
    thread.join(10)
    assert not thread.is_alive() and isinstance(outcome[0], BlastFailed)
    with pytest.raises(BlastFailed, match="stopping"):
        runner.run(search(slow))


def test_a_missing_tool_is_named(db, tmp_path):
    with pytest.raises(BlastFailed, match="could not start .*no-such-blast"):
        BlastRunner(db, timeout=30).run(search(str(tmp_path / "no-such-blast")))


def capture(function, *arguments):
    try:
        return function(*arguments)
    except Exception as error:
        return error
