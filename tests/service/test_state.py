"""The store kept in a state folder (--state), restarted in the test: what a restart finds again,
from a real submission's record to its reports, what it runs again, and what it never serves.
The store runs on clocks the tests move by hand, with a stand-in for BLAST+."""
import os
import re
import sqlite3

import pytest

from conftest import Clock
from localblast.errors import BlastFailed, Refused
from localblast.request.reading import read_submission
from localblast.request.submission import search_for
from localblast.reports.formatting import WHOLE_XML
from localblast.store import folders
from localblast.store.folders import StoreError
from localblast.store.jobs import FAILED, READY, UNKNOWN, WAITING, JobStore
from localblast.store.ledger import Ledger, decode_search, encode_search
from localblast.store.restore import MAX_ATTEMPTS
from test_kept_reports import read, writer
from test_lifetime import REPORT, Blast, finished, quiet, whole_xml

SUBMISSIONS = {
    "identifier": dict(PROGRAM="blastp", DATABASE="nr", QUERY="9506405", NCBI_GI="on"),
    "fasta": dict(PROGRAM="blastn", DATABASE="nt", QUERY=">first query\nACGTACGTTGCA\n>second\nTTGACCA",
                  FILTER="mL", ENTREZ_QUERY="rat [ORGN]", HITLIST_SIZE="7", ALIGNMENTS="3", FORMAT_TYPE="XML"),
    "sequence": dict(PROGRAM="blastn", DATABASE="nt", QUERY="ACGTTGCAAGGT", MEGABLAST="on", DESCRIPTIONS="500",
                     EXPECT="1e-5", WORD_SIZE="16", GAPCOSTS="5 2"),
}


def searched(db, **fields):
    """The Search of a submission's form."""
    return search_for(db, read_submission({name: [text] for name, text in fields.items()}, db))


def submission(db, name):
    return searched(db, **SUBMISSIONS[name])


@pytest.fixture
def named(db):
    """A real submission's search (a state records only those) named by its query's title."""
    return lambda name: searched(db, PROGRAM="blastp", DATABASE="nr", QUERY=">%s\nMKVLAAGIVG" % name)


def names(blast):
    """The titles of the searches the stand-in for BLAST+ ran."""
    return [search.query_text[1:search.query_text.index("\n")] for search in blast.searches]


class Restarts:
    """Stores on one state folder, each closed when the next starts (and at the end), on a clock
    of its own and a wall clock that runs on through restarts."""

    def __init__(self, folder):
        self.folder = folder
        self.wall = Clock()
        self.wall.now = 1.7e9
        self.store = None

    def start(self, blast=None, keep=3600, max_jobs=10, max_disk=None):
        self.stop()
        self.clock = Clock()
        self.blast = blast or Blast()
        self.store = JobStore(self.blast, keep, max_jobs, 1, clock=self.clock, log=quiet, state=self.folder,
                              max_disk=max_disk, wall=self.wall)
        return self.store

    def advance(self, seconds):
        self.clock.advance(seconds)
        self.wall.advance(seconds)

    def stop(self):
        if self.store is not None:
            self.store.close()
            self.store = None


@pytest.fixture
def restarts(tmp_path):
    made = Restarts(str(tmp_path / "state"))
    yield made
    made.stop()


@pytest.mark.parametrize("name", sorted(SUBMISSIONS))
def test_a_submission_s_search_comes_back_from_the_state_as_it_was(db, restarts, name):
    # Run again whole; once it has run, held without its query (a query may be megabytes),
    # which its reports do not need.
    search = submission(db, name)
    assert repr(decode_search(encode_search(search))) == repr(search)   # tuples stay tuples
    rid = cut_short_by_a_stop(restarts, search)
    store = restarts.start()
    finished(store, rid)
    assert repr(restarts.blast.searches) == repr([search])
    restarts.start()
    assert repr(restarts.store.lookup(rid)[1].search) == repr(search._replace(query_text=None))


def test_a_restart_finds_every_search_as_it_was(restarts, named):
    store = restarts.start()
    ready = finished(store, store.submit("blastp", named("ready")))
    made = []
    assert read(store.open_report(ready, "shape", writer(made, "its report"))) == b"its report"
    store.fetched(ready)
    failed = finished(store, store.submit("blastx", named("failing"), failure="made to fail"))
    slow = finished(store, store.submit("tblastn", named("slow"), duration=600))
    restarts.advance(100)
    store = restarts.start()
    status, job = store.lookup(ready.rid)
    assert (status, job.has_hits, job.fetched, job.program) == (READY, True, True, "blastp")
    assert read(store.open_report(job, "shape", writer(made, "made again"))) == b"its report" and len(made) == 1
    assert store.lookup(failed.rid)[0] == FAILED and store.lookup(failed.rid)[1].error == "made to fail"
    assert store.lookup(slow.rid)[0] == WAITING
    restarts.advance(501)
    assert store.lookup(slow.rid)[0] == READY
    assert restarts.blast.searches == []     # nothing was run again
    later = store.submit("blastp", named("later"))
    assert int(later[6:]) > max(int(rid[6:]) for rid in (ready.rid, failed.rid, slow.rid))
    assert [rid for rid, _ in store.held()] == [ready.rid, failed.rid, slow.rid, later]


def cut_short_by_a_stop(restarts, search, rid=None):
    """Starts a store whose search is running when it stops; the RID."""
    blast = Blast()
    blast.gate.clear()
    store = restarts.start(blast)
    rid = rid or store.submit("blastp", search)
    assert blast.started.wait(30)
    store.stop()
    blast.outcome = BlastFailed("blastp ended with status -9")   # what a stop does to BLAST+
    blast.gate.set()
    store.close()
    return rid


@pytest.mark.parametrize("cuts, outcome", [(1, READY), (MAX_ATTEMPTS - 1, READY), (MAX_ATTEMPTS, FAILED)])
def test_a_search_cut_short_by_a_stop_runs_again_unless_stops_cut_it_too_often(restarts, named, cuts, outcome):
    rid = None
    for _ in range(cuts):
        rid = cut_short_by_a_stop(restarts, named("search"), rid)
    store = restarts.start()
    job = finished(store, rid)
    assert store.lookup(rid)[0] == outcome
    if outcome == READY:
        assert names(restarts.blast) == ["search"] and os.path.exists(whole_xml(job))
    else:
        assert "stopped while this search ran, %d times" % cuts in job.error and restarts.blast.searches == []


def truncate_report(store, job):
    with open(next(iter(job.formatted.values())), "r+") as stream:
        stream.truncate(3)


def truncate_a_file_of_its_run(store, job):
    with open(whole_xml(job), "r+") as stream:
        stream.truncate(3)


def truncate_a_file_made_for_its_reports(store, job):
    with open(os.path.join(job.folder, "made-for-reports.xml"), "r+") as stream:
        stream.truncate(3)


def leave_pieces(store, job):
    for name in ("report-cut.part", "format-x1y2"):
        with open(os.path.join(job.folder, name), "w") as stream:
            stream.write("half")
    os.mkdir(os.path.join(store.search_folders, "NOTHELD00099"))


def writer_beside(made):
    """Writes a report, and a file beside it in the search's folder, as the reports' own
    making leaves one (the XML report that XML answers are cut from)."""
    def make(path):
        writer(made, "whole")(path)
        with open(os.path.join(os.path.dirname(path), "made-for-reports.xml"), "w") as stream:
            stream.write("made for the reports")
    return make


@pytest.mark.parametrize("damage, runs_again, made_again", [
    (truncate_report, False, True),
    (truncate_a_file_of_its_run, True, True),
    (truncate_a_file_made_for_its_reports, False, False),
    (leave_pieces, False, False),
])
def test_files_that_are_not_whole_are_never_served_after_a_restart(restarts, named, damage, runs_again,
                                                                 made_again):
    store = restarts.start()
    job = finished(store, store.submit("blastp", named("search")))
    made = []
    store.open_report(job, "shape", writer_beside(made)).close()
    damage(store, job)
    store = restarts.start()
    job = finished(store, job.rid)
    assert store.lookup(job.rid)[0] == READY
    assert names(restarts.blast) == (["search"] if runs_again else [])
    with open(whole_xml(job)) as stream:
        assert stream.read() == REPORT
    assert read(store.open_report(job, "shape", writer_beside(made))) == b"whole"
    assert len(made) == (2 if made_again else 1)
    beside = [] if damage is truncate_a_file_made_for_its_reports and not made_again else ["made-for-reports.xml"]
    assert sorted(os.listdir(job.folder)) == sorted(
        [os.path.basename(job.formatted["\"shape\""]), WHOLE_XML] + beside)
    assert os.listdir(store.search_folders) == [job.rid]


def expire_while_down(restarts, rid, named):
    restarts.wall.advance(3601)


def delete(restarts, rid, named):
    assert restarts.store.delete(rid)


def evict(restarts, rid, named):
    restarts.store.fetched(restarts.store.lookup(rid)[1])
    for number in range(2):
        finished(restarts.store, restarts.store.submit("blastp", named("room %d" % number)))


@pytest.mark.parametrize("drop", [expire_while_down, delete, evict])
def test_a_dropped_search_stays_dropped_after_a_restart(restarts, named, drop):
    store = restarts.start(max_jobs=2)
    job = finished(store, store.submit("blastp", named("search")))
    drop(restarts, job.rid, named)
    store = restarts.start(max_jobs=2)
    assert store.lookup(job.rid) == (UNKNOWN, None)
    assert not os.path.exists(job.folder)
    assert job.rid not in [rid for rid, _ in restarts.start(max_jobs=2).held()]


def test_a_state_folder_is_held_by_one_store_at_a_time(restarts, named):
    store = restarts.start()
    with pytest.raises(StoreError, match=re.escape("the state folder %s is held by another running service "
                                                   "(process %d)" % (restarts.folder, os.getpid()))):
        JobStore(Blast(), 60, 10, 1, log=quiet, state=restarts.folder)
    rid = store.submit("blastp", named("search"))
    finished(store, rid)
    assert restarts.start().lookup(rid)[0] == READY


def not_a_database(path):
    with open(path, "wb") as stream:
        stream.write(b"these bytes are not SQLite's" * 100)


def another_version(path):
    with sqlite3.connect(path) as connection:
        connection.execute("PRAGMA user_version = 99")


def damaged(path):
    """A state whose searches' table is overwritten: it opens, and fails where it is read."""
    Ledger(path).close()
    with sqlite3.connect(path) as connection:
        page = connection.execute("PRAGMA page_size").fetchone()[0]
        root = connection.execute("SELECT rootpage FROM sqlite_master WHERE name = 'searches'").fetchone()[0]
    connection.close()
    with open(path, "r+b") as stream:
        stream.seek((root - 1) * page)
        stream.write(b"\xff" * page)


@pytest.mark.parametrize("state, words", [
    (not_a_database, "cannot read the store's state"),
    (damaged, "cannot read the store's state"),
    (another_version, "holds the state of another version of the service (its version 99; this one reads version 1)"),
])
def test_a_state_it_cannot_read_is_refused_naming_it(tmp_path, state, words):
    os.mkdir(tmp_path / "state")
    state(str(tmp_path / "state" / "state.sqlite"))
    with pytest.raises(StoreError) as refused:
        JobStore(Blast(), 60, 10, 1, log=quiet, state=str(tmp_path / "state"))
    assert words in str(refused.value) and str(tmp_path / "state" / "state.sqlite") in str(refused.value)
    JobStore(Blast(), 60, 10, 1, log=quiet, state=str(tmp_path / "state" / "elsewhere")).close()   # not held


def test_a_search_recorded_in_a_form_it_cannot_read_is_failed_with_the_reason(db, restarts):
    search = submission(db, "identifier")
    store = restarts.start()
    rid = store.submit(search.program, search)
    finished(store, rid)
    restarts.stop()
    with sqlite3.connect(os.path.join(restarts.folder, "state.sqlite")) as connection:
        connection.execute("UPDATE searches SET search = ?", (encode_search(search)[:-1] + ',"new_field":1}',))
    status, job = restarts.start().lookup(rid)
    assert status == FAILED and "cannot read" in job.error and "new_field" in job.error


def test_a_search_that_cannot_be_recorded_is_refused_and_gets_no_rid(restarts, named, monkeypatch):
    store = restarts.start()

    def failing(*arguments):
        raise sqlite3.OperationalError("disk I/O error")
    monkeypatch.setattr(store._ledger, "add", failing)
    with pytest.raises(Refused, match="could not record the search \\(disk I/O error\\)"):
        store.submit("blastp", named("search"))
    monkeypatch.undo()
    assert store.held() == [] and store.submit("blastp", named("search"))


def left_by_a_killed_service(folder):
    """A temporary folder as a killed service leaves it: its lock free."""
    os.makedirs(folder / "searches" / "ABCDEF00001")
    (folder / folders.TEMPORARY).write_text("")
    (folder / "lock").write_text("12345\n")


def test_only_temporary_folders_whose_service_is_gone_are_removed_by_the_next_store(tmp_path, monkeypatch, named):
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    alive = JobStore(Blast(), 60, 10, 1, log=quiet)
    dead = tmp_path / (folders.PREFIX + "dead")
    left_by_a_killed_service(dead)
    unlocked = tmp_path / (folders.PREFIX + "unlocked")    # not a store's, or one being made
    os.mkdir(unlocked)
    other = tmp_path / "other"
    os.mkdir(other)
    (other / "lock").write_text("")
    # Stopped state folders that bear the temporary folders' name: one made so, one that was a
    # killed service's temporary folder.
    state, reused = tmp_path / (folders.PREFIX + "state"), tmp_path / (folders.PREFIX + "reused")
    left_by_a_killed_service(reused)
    rids = {}
    for folder in (state, reused):
        kept = JobStore(Blast(), 60, 10, 1, log=quiet, state=str(folder))
        rids[folder] = finished(kept, kept.submit("blastp", named("kept"))).rid
        kept.close()
    store = JobStore(Blast(), 60, 10, 1, log=quiet)
    assert sorted(os.listdir(tmp_path)) == sorted(
        os.path.basename(path) for path in (alive.folder, store.folder, unlocked, other, state, reused))
    alive.close()
    store.close()
    assert sorted(os.listdir(tmp_path)) == sorted(os.path.basename(path) for path in (unlocked, other, state, reused))
    for folder, rid in rids.items():
        kept = JobStore(Blast(), 60, 10, 1, log=quiet, state=str(folder))
        assert kept.lookup(rid)[0] == READY
        kept.close()
