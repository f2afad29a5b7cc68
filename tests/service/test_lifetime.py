"""Jobs by RID in the store: how long they are kept, how many at once, where their reports are,
what a failure leaves behind, and status requests held until a search finishes. The store runs on
a clock the tests move by hand, with a stand-in for BLAST+ (test_lifetime_http.py: the same over
HTTP)."""
import gc
import os
import re
import threading
import time
import weakref

import pytest

from localblast.errors import BlastFailed, Refused
from localblast.reports.formatting import WHOLE_XML
from localblast.runs.blast import Outcome
from localblast.store.jobs import FAILED, READY, UNKNOWN, WAITING, JobStore
from logs import Logs

REPORT = "<BlastOutput><Iteration_hits>\n<Hit>\n</Hit>\n</Iteration_hits></BlastOutput>"


class Blast:
    """Stands in for BLAST+: writes REPORT, or raises what `outcome` holds; once `started`, it
    waits for `gate`."""

    def __init__(self, outcome=REPORT):
        self.outcome = outcome
        self.started = threading.Event()
        self.gate = threading.Event()
        self.gate.set()
        self.searches = []

    def __call__(self, search, folder):
        self.started.set()
        assert self.gate.wait(30)
        self.searches.append(search)
        if isinstance(self.outcome, Exception):
            raise self.outcome
        with open(os.path.join(folder, WHOLE_XML), "w") as stream:
            stream.write(self.outcome)
        return Outcome(has_hits="<Hit>" in self.outcome)


def quiet(message):
    pass


@pytest.fixture
def stores():
    """Makes stores (blast, clock, keep=60, max_jobs=10, workers=1, log=None), closed after the test."""
    made = []

    def store_with(blast, clock=time.monotonic, keep=60, max_jobs=10, workers=1, log=None):
        made.append(JobStore(blast, keep, max_jobs, workers, clock=clock, log=quiet if log is None else log))
        return made[-1]
    yield store_with
    for store in made:
        store.close()


def whole_xml(job):
    """The path of the XML report that a search's XML answers are cut from (the fake run writes it)."""
    return os.path.join(job.folder, WHOLE_XML)


def report_of(job):
    with open(whole_xml(job)) as stream:
        return stream.read()


def finished(store, rid, timeout=120):
    """The job, once the worker has finished it (a real BLAST+ search on a busy machine may take
    a while); AssertionError after `timeout` real seconds."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        _, job = store.lookup(rid)
        if job is None or job.finished is not None:
            return job
        time.sleep(0.01)
    raise AssertionError("job %s did not finish within %s s" % (rid, timeout))


def test_a_finished_job_is_kept_for_the_keep_time_then_unknown(stores, clock):
    store = stores(Blast(), clock, keep=60)
    rid = store.submit("blastp", "search")
    finished(store, rid)
    clock.advance(60)
    assert store.lookup(rid)[0] == READY
    clock.advance(0.5)
    assert store.lookup(rid) == (UNKNOWN, None)
    assert store.count() == 0


def test_a_job_made_to_take_longer_waits_and_its_keep_time_starts_after(stores, clock):
    store = stores(Blast(), clock, keep=10)
    rid = store.submit("blastx", "search", duration=30)
    finished(store, rid)
    clock.advance(29)
    assert store.lookup(rid)[0] == WAITING
    clock.advance(1)
    assert store.lookup(rid)[0] == READY
    clock.advance(10)
    assert store.lookup(rid)[0] == READY


def test_a_running_job_never_expires(stores, clock):
    blast = Blast()
    blast.gate.clear()
    store = stores(blast, clock, keep=1)
    rid = store.submit("blastp", "search")
    clock.advance(3600)
    assert store.lookup(rid)[0] == WAITING
    blast.gate.set()
    finished(store, rid)
    assert store.lookup(rid)[0] == READY


def test_when_full_the_oldest_finished_job_makes_room_fetched_ones_first(stores, clock):
    store = stores(Blast(), clock, max_jobs=3)
    first, second, third = (store.submit("blastp", name) for name in ("first", "second", "third"))
    for rid in (first, second, third):
        finished(store, rid)
        clock.advance(1)
    store.fetched(store.lookup(second)[1])
    fourth = store.submit("blastp", "fourth")
    assert store.lookup(second)[0] == UNKNOWN
    assert store.lookup(first)[0] == READY and store.lookup(third)[0] == READY
    finished(store, fourth)
    store.submit("blastp", "fifth")
    assert store.lookup(first)[0] == UNKNOWN
    assert store.count() == 3


def test_when_full_of_unfinished_jobs_a_submission_is_refused(stores, clock):
    blast = Blast()
    blast.gate.clear()
    store = stores(blast, clock, max_jobs=2)
    rids = [store.submit("blastp", "search %d" % number) for number in range(2)]
    with pytest.raises(Refused, match="holds 2 searches that have not finished"):
        store.submit("blastp", "one too many")
    blast.gate.set()
    for rid in rids:
        finished(store, rid)
    assert store.submit("blastp", "now there is room")


def test_rids_are_never_issued_twice_even_after_jobs_are_dropped(stores, clock):
    store = stores(Blast(), clock, keep=0, max_jobs=5)
    issued = []
    for number in range(60):
        issued.append(store.submit("blastp", number))
        finished(store, issued[-1])
        clock.advance(1)
    assert len(set(issued)) == len(issued)
    # Six random letters or digits (NCBI's RIDs may begin with digits too), then the serial.
    assert all(re.fullmatch(r"[A-Z0-9]{6}[0-9]{5,}", rid) for rid in issued), issued


@pytest.mark.parametrize("outcome, words", [
    (BlastFailed("blastp ended with status 2: BLAST query error"), "status 2: BLAST query error"),
    (RuntimeError("disk full"), "the service failed while running the search"),   # the rest is in the log
])
def test_a_search_that_fails_is_failed_with_its_reason_and_the_store_goes_on(stores, clock, outcome, words):
    blast = Blast(outcome)
    store = stores(blast, clock)
    rid = store.submit("blastp", "search")
    job = finished(store, rid)
    assert store.lookup(rid)[0] == FAILED and words in job.error
    blast.outcome = REPORT
    assert report_of(finished(store, store.submit("blastp", "next"))) == REPORT


def test_an_injected_failure_skips_the_search(stores, clock):
    blast = Blast()
    store = stores(blast, clock)
    job = finished(store, store.submit("blastp", "search", failure="made to fail"))
    assert (job.error, blast.searches) == ("made to fail", [])


def test_a_job_deleted_before_it_runs_is_not_searched(stores, clock):
    blast = Blast()
    blast.gate.clear()
    store = stores(blast, clock, workers=1)
    running = store.submit("blastp", "running")
    queued = store.submit("blastp", "queued")
    assert store.delete(queued) and not store.delete(queued)
    blast.gate.set()
    finished(store, running)
    last = finished(store, store.submit("blastp", "last"))
    assert report_of(last) == REPORT and blast.searches == ["running", "last"]


def expire(store, rid, clock):
    clock.advance(61)
    store.lookup(rid)


def evict(store, rid, clock):
    clock.advance(1)
    for number in range(2):
        store.submit("blastp", "room %d" % number)


@pytest.mark.parametrize("drop", [expire, evict, lambda store, rid, clock: store.delete(rid)],
                         ids=["expired", "evicted", "deleted"])
def test_a_report_is_a_file_of_the_stores_own_removed_when_the_job_is_dropped(stores, clock, drop):
    store = stores(Blast(), clock, keep=60, max_jobs=2)
    job = finished(store, store.submit("blastp", "search"))
    assert os.path.dirname(job.folder) == store.search_folders and report_of(job) == REPORT
    drop(store, job.rid, clock)
    assert store.lookup(job.rid) == (UNKNOWN, None)
    assert not os.path.exists(job.folder)


def test_a_report_finished_after_its_job_was_deleted_is_removed(stores, clock):
    blast = Blast()
    blast.gate.clear()
    store = stores(blast, clock)
    rid = store.submit("blastp", "search")
    assert blast.started.wait(30)
    store.delete(rid)
    blast.gate.set()
    later = finished(store, store.submit("blastp", "later"))
    assert os.listdir(store.search_folders) == [later.rid]


def test_closing_the_store_removes_its_reports(clock):
    store = JobStore(Blast(), 60, 10, 1, clock=clock, log=quiet)
    finished(store, store.submit("blastp", "search"))
    store.close()
    assert not os.path.exists(store.folder)


def test_a_held_status_request_answers_when_the_search_finishes(stores):
    blast, logs = Blast(), Logs()
    blast.gate.clear()
    store = stores(blast, log=logs)  # the real clock: the hold is real time
    rid = store.submit("blastp", "search")
    answers = []
    asker = threading.Thread(target=lambda: answers.append(store.wait_finished(rid, 60)[0]))
    asker.start()
    logs.wait_for("holding the status request for %s" % rid)
    assert answers == []  # held while the search runs
    blast.gate.set()
    asker.join(30)
    assert answers == [READY]


def test_closing_the_store_ends_a_held_status_request(stores):
    logs = Logs()
    store = stores(Blast(), log=logs)
    rid = store.submit("blastp", "search", duration=600)
    answers = []
    asker = threading.Thread(target=lambda: answers.append(store.wait_finished(rid, 600)[0]))
    asker.start()
    logs.wait_for("holding the status request for %s" % rid)
    store.close()
    asker.join(30)
    assert answers == [WAITING]
    with pytest.raises(Refused, match="stopping"):
        store.submit("blastp", "after closing")


def test_a_held_status_request_ends_with_its_hold(stores):
    logs = Logs()
    store = stores(Blast(), log=logs)
    rid = store.submit("blastp", "search", duration=600)
    assert store.wait_finished(rid, 0.3)[0] == WAITING
    assert logs.wait_for("holding the status request for %s" % rid, timeout=0)


def test_a_held_status_request_for_a_search_made_to_take_longer_answers_at_its_end(stores):
    store = stores(Blast())
    rid = store.submit("blastp", "search", duration=1.0)
    assert store.wait_finished(rid, 60)[0] == READY


def test_a_held_status_request_for_an_unknown_rid_answers_at_once(stores):
    logs = Logs()
    assert stores(Blast(), log=logs).wait_finished("NOSUCHRID", 10) == (UNKNOWN, None)
    assert logs == []


class Query(str):
    """A search that a test can see being let go of (a str cannot be weakly referred to)."""


def test_a_deleted_search_lets_go_of_its_query_at_once(stores):
    blast = Blast()
    blast.gate.clear()
    store = stores(blast, max_jobs=5)
    running = store.submit("blastp", "running")
    assert blast.started.wait(30)
    queries = []
    for number in range(20):
        query = Query("queued %d" % number)
        queries.append(weakref.ref(query))
        store.delete(store.submit("blastp", query))
        del query
    gc.collect()
    assert [reference() for reference in queries] == [None] * 20
    assert store.count() == 1
    blast.gate.set()
    finished(store, running)
    assert blast.searches == ["running"]


def test_closing_the_store_is_not_held_up_by_a_search_that_runs_on(clock):
    # A search that ends only when the test lets it: a close that waited for it would never end.
    started, released, ran = threading.Event(), threading.Event(), []

    def run_on(search, folder):
        started.set()
        released.wait()
        ran.append(search)
    store = JobStore(run_on, 60, 10, 1, clock=clock, log=quiet)
    rids = [store.submit("blastp", name) for name in ("running", "queued")]
    assert started.wait(30)
    closing = threading.Thread(target=store.close)
    closing.start()
    closing.join(120)
    try:
        assert not closing.is_alive() and not os.path.exists(store.folder)
    finally:
        released.set()
    assert [store.lookup(rid)[0] for rid in rids] == [WAITING] * 2 and "queued" not in ran
