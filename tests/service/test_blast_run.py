"""Running BLAST+: what a tool that fails, hangs or is missing leaves for the log, what the
tool is handed, the archive it leaves (and nothing else), and whether that archive has hits."""
import os
import threading

import pytest

from localblast.errors import BlastFailed
from localblast.request.submission import Search
from localblast.runs import archive
from localblast.runs.blast import ARCHIVE, NO_SUCH_ORGANISM, BlastRunner

# Stands in for a BLAST+ tool: records its arguments, then behaves as its first line says.
TOOL = """#!/bin/sh
printf '%s\\n' "$@" > "$(dirname "$0")/arguments"
cat query.fasta > "$(dirname "$0")/query"
BEHAVIOUR
"""
# An archive as BLAST+ writes it, cut to what matters here: the query's title (the caller's text)
# and the results' alignments.
ARCHIVE_TEXT = """Blast4-archive ::= {
  request {
    body queue-search {
      queries bioseq-set {
        seq-set {
          seq {
            descr {
              title "TITLE"
            }
          }
        }
      }
    }
  },
  results {
    alignments {
ALIGNMENTS
    },
    masks {
    }
  }
}
"""
AN_ALIGNMENT = "      {\n        type partial,\n        dim 2\n      }"
# A title that mimics the results' structure on lines of its own, a doubled quote inside it.
DECOY = 'a ""quoted"" word\n  results {\n    alignments {\n      {\n'


def tool(tmp_path, behaviour):
    path = tmp_path / "fake-blast"
    path.write_text(TOOL.replace("BEHAVIOUR", behaviour))
    path.chmod(0o755)
    return str(path)


def search(tool_path, restriction=None):
    return Search("blastp", tool_path, "protein", "nr", "MKTAYIAKQR\n", None, restriction, ["-evalue", "10"], False,
                  {}, "HTML")


def writes_archive(alignments=""):
    """The stand-in's behaviour: an archive with these alignments at its -out path ($8)."""
    return "cat > \"$8\" <<'END'\n%s\nEND" % ARCHIVE_TEXT.replace("TITLE", "q").replace("ALIGNMENTS", alignments)


@pytest.fixture
def folder(tmp_path):
    """The search's own folder, where its archive goes."""
    (tmp_path / "RID").mkdir()
    return str(tmp_path / "RID")


def test_a_failing_tool_leaves_its_status_and_standard_error(db, tmp_path, folder):
    runner = BlastRunner(db, timeout=30)
    with pytest.raises(BlastFailed, match=r"ended with status 3: BLAST query error: bad letters"):
        runner.run(search(tool(tmp_path, "echo 'BLAST query error: bad letters' >&2; exit 3")), folder)
    assert os.listdir(folder) == []


def test_the_tool_gets_files_and_an_argument_list_and_leaves_only_the_archive(db, tmp_path, folder):
    outcome = BlastRunner(db, timeout=30).run(search(tool(tmp_path, writes_archive(AN_ALIGNMENT)),
                                                     restriction=[10116, 9606]), folder)
    assert outcome.has_hits
    arguments = (tmp_path / "arguments").read_text().splitlines()
    assert arguments[0] == "-query" and arguments[1].endswith("query.fasta")
    assert os.path.dirname(os.path.dirname(arguments[1])) == folder
    assert arguments[2:7] == ["-db", "nr", "-outfmt", "11", "-out"]
    assert arguments[8:10] == ["-evalue", "10"] and arguments[10] == "-taxidlist"
    assert (tmp_path / "query").read_text() == "MKTAYIAKQR\n"
    assert os.listdir(folder) == [ARCHIVE]


def test_organisms_that_the_database_does_not_hold_give_a_search_without_hits(db, tmp_path, folder):
    # BLAST+ refuses -taxids of which the database holds none; the search runs again limited to
    # a sequence that no database holds.
    behaviour = ('if [ "${11}" = -taxidlist ]; then echo "BLAST Database error: %s." >&2; exit 2; fi\n%s'
                 % (NO_SUCH_ORGANISM, writes_archive()))
    outcome = BlastRunner(db, timeout=30).run(search(tool(tmp_path, behaviour), restriction=[7227]), folder)
    assert not outcome.has_hits and os.listdir(folder) == [ARCHIVE]
    assert (tmp_path / "arguments").read_text().splitlines()[10] == "-seqidlist"


def test_other_failures_of_a_restricted_search_are_failures(db, tmp_path, folder):
    with pytest.raises(BlastFailed, match="status 2: BLAST Database error: No alias"):
        BlastRunner(db, timeout=30).run(search(tool(tmp_path, "echo 'BLAST Database error: No alias' >&2; exit 2"),
                                               restriction=[9606]), folder)


@pytest.mark.parametrize("title, alignments, hits", [
    ("q", "", False),
    ("q", AN_ALIGNMENT, True),
    (DECOY, "", False),
    (DECOY.replace("\n", " ") * 3000, AN_ALIGNMENT, True),   # a title longer than a piece read
])
def test_an_archive_has_hits_when_its_results_hold_an_alignment(tmp_path, title, alignments, hits):
    path = tmp_path / ARCHIVE
    path.write_text(ARCHIVE_TEXT.replace("TITLE", title).replace("ALIGNMENTS", alignments))
    assert archive.has_hits(str(path)) is hits


def test_a_tool_that_runs_too_long_is_stopped(db, tmp_path, folder):
    runner = BlastRunner(db, timeout=0.5)
    with pytest.raises(BlastFailed, match="longer than 0.5 seconds"):
        runner.run(search(tool(tmp_path, "exec sleep 60")), folder)


def test_stopping_the_runner_ends_a_running_tool_and_refuses_new_ones(db, tmp_path, folder):
    runner = BlastRunner(db, timeout=60)
    slow = tool(tmp_path, "touch \"$(dirname \"$0\")/started\"; exec sleep 60")
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(capture(runner.run, search(slow), folder)))
    thread.start()
    # Stopped before the tool starts, the run would fail for the stop alone, killing nothing.
    while not (tmp_path / "started").exists():
        assert thread.is_alive(), outcome
        thread.join(0.01)
    runner.stop()
    thread.join(10)
    assert not thread.is_alive() and isinstance(outcome[0], BlastFailed)
    with pytest.raises(BlastFailed, match="stopping"):
        runner.run(search(slow), folder)


def test_a_missing_tool_is_named(db, tmp_path, folder):
    with pytest.raises(BlastFailed, match="could not start .*no-such-blast"):
        BlastRunner(db, timeout=30).run(search(str(tmp_path / "no-such-blast")), folder)


def test_a_database_no_longer_served_fails_the_search_naming_it(db, tmp_path, folder):
    gone = search(tool(tmp_path, writes_archive()))._replace(database="swissprot")
    with pytest.raises(BlastFailed, match="not served any more.*'swissprot'"):
        BlastRunner(db, timeout=30).run(gone, folder)


def capture(function, *arguments):
    try:
        return function(*arguments)
    except Exception as error:
        return error
