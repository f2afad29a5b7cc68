"""The store's disk budget (--max-disk): beyond it the least recently used reports go first, then
the least recently used finished searches, never one running; what cannot fit even then is
refused naming the limit, and nothing is dropped for it. Stores with a stand-in for BLAST+ and
reports of known sizes."""
import os

import pytest

from localblast.errors import Refused
from localblast.store.budget import DiskLimit, parse_size, shown
from localblast.store.jobs import FAILED, READY, UNKNOWN, WAITING, JobStore
from test_kept_reports import read, writer
from test_lifetime import REPORT, Blast, finished, quiet
from test_state import searched

SEARCH = len(REPORT)     # the bytes of a search's own files: its XML report


@pytest.fixture
def stores():
    made = []

    def store_with(blast, max_disk, max_jobs=10, workers=1, state=None):
        made.append(JobStore(blast, 3600, max_jobs, workers, log=quiet, max_disk=max_disk, state=state))
        return made[-1]
    yield store_with
    for store in made:
        store.close()


@pytest.fixture
def budgeted(stores):
    """Makes a store of `limit` bytes holding finished searches A and B (B the more recently
    used) and, with `running`, a search C held running; (store, jobs by name, blast)."""
    def make(limit, running=False):
        blast = Blast()
        store = stores(blast, max_jobs=10, workers=1, max_disk=limit)
        jobs = {name: finished(store, store.submit("blastp", name)) for name in "AB"}
        if running:
            blast.gate.clear()
            blast.started.clear()
            jobs["C"] = store.lookup(store.submit("blastp", "C"))[1]
            assert blast.started.wait(30)
        return store, jobs, blast
    return make


def keep(store, job, name, size, made=None):
    """The report `name` of `size` bytes, made if need be."""
    return read(store.open_report(job, name, writer([] if made is None else made, "x" * size)))


def test_the_least_recently_used_reports_go_first_across_searches(budgeted):
    store, jobs, _ = budgeted(2 * SEARCH + 300)
    made = []
    for job, name in ((jobs["A"], "a1"), (jobs["B"], "b1"), (jobs["A"], "a2")):
        keep(store, job, name, 100, made)
    keep(store, jobs["A"], "a1", 100, made)      # used again: now b1 is the least recently used
    keep(store, jobs["B"], "b2", 100, made)
    assert sorted(jobs["A"].formatted) == ['"a1"', '"a2"'] and list(jobs["B"].formatted) == ['"b2"']
    assert [store.lookup(name)[0] for name in (jobs["A"].rid, jobs["B"].rid)] == [READY, READY]
    assert store.disk_used() == 2 * SEARCH + 300 and len(made) == 4
    for job in jobs.values():
        store.delete(job.rid)
    assert store.disk_used() == 0


def test_then_the_least_recently_used_finished_searches_go_never_one_running(budgeted):
    store, jobs, blast = budgeted(2 * SEARCH + 150, running=True)
    keep(store, jobs["B"], "b1", 100)
    keep(store, jobs["A"], "a1", 40)      # A is now used more recently than B
    keep(store, jobs["A"], "a2", 200)     # b1 goes, then a1, then B
    assert store.lookup(jobs["B"].rid) == (UNKNOWN, None)
    assert list(jobs["A"].formatted) == ['"a2"'] and store.lookup(jobs["C"].rid)[0] == WAITING
    blast.gate.set()
    assert finished(store, jobs["C"].rid).error is None


def test_what_cannot_fit_is_refused_naming_the_limit_and_nothing_goes_for_it(budgeted):
    limit = 2 * SEARCH + 100
    store, jobs, _ = budgeted(limit, running=True)
    keep(store, jobs["A"], "a1", 100)
    made = []
    with pytest.raises(DiskLimit) as refused:
        keep(store, jobs["B"], "huge", 2 * limit, made)
    assert "disk limit of %s (--max-disk)" % shown(limit) in str(refused.value)
    assert not [path for path in made if os.path.exists(path)]
    assert keep(store, jobs["A"], "a1", 1) == b"x" * 100       # kept, not made again
    assert store.lookup(jobs["B"].rid)[0] == READY and store.disk_used() == limit


def test_a_search_whose_results_alone_pass_the_limit_fails_naming_it(stores):
    store = stores(Blast(), max_disk=SEARCH - 1)
    job = finished(store, store.submit("blastp", "search"))
    assert store.lookup(job.rid)[0] == FAILED and "--max-disk" in job.error and shown(SEARCH - 1) in job.error
    assert store.disk_used() == 0


def test_a_submission_whose_record_cannot_fit_is_refused_naming_the_limit(db, stores, tmp_path):
    search = searched(db, PROGRAM="blastp", DATABASE="nr", QUERY=">big\n" + "MKV" * 1000)
    store = stores(Blast(), max_disk=1000, state=str(tmp_path / "state"))
    with pytest.raises(Refused, match="disk limit of 1000 bytes"):
        store.submit("blastp", search)
    assert store.held() == []


def test_a_restart_with_a_smaller_limit_drops_the_least_recently_used(db, stores, tmp_path):
    state = str(tmp_path / "state")
    searches = [searched(db, PROGRAM="blastp", DATABASE="nr", QUERY=">%s\nMKVLA" % name) for name in "AB"]
    store = stores(Blast(), max_disk=None, state=state)
    older, newer = (finished(store, store.submit("blastp", search)).rid for search in searches)
    used = store.disk_used()
    store.close()
    store = stores(Blast(), max_disk=used - 1, state=state)
    assert store.lookup(older) == (UNKNOWN, None) and store.lookup(newer)[0] == READY
    assert store.disk_used() == used // 2


@pytest.mark.parametrize("text, size", [
    ("1000", 1000), ("500M", 500 * 1024 ** 2), ("2g", 2 * 1024 ** 3), ("1.5GiB", 1536 * 1024 ** 2),
    ("20 GB", 20 * 1024 ** 3), ("3T", 3 * 1024 ** 4), ("", None), ("lots", None), ("5X", None), ("-1G", None),
    ("1e9", None), ("9" * 20, None),
])
def test_sizes_read_for_the_limit(text, size):
    assert parse_size(text) == size
