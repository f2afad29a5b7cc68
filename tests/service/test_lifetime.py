"""Jobs by RID: how long they are kept, how many at once, and what a failure leaves behind.
The store runs on a clock the tests move by hand, with a stand-in for BLAST+."""
import threading
import time

import pytest

from blast_client import info, request, results, status, submit
from conftest import Clock, running_service
from localblast.blast_run import BlastFailed
from localblast.errors import Refused
from localblast.faults import Faults
from localblast.jobs import FAILED, READY, UNKNOWN, WAITING, JobStore

REPORT = "<BlastOutput><Iteration_hits>\n<Hit>\n</Hit>\n</Iteration_hits></BlastOutput>"


class Blast:
    """Stands in for BLAST+: answers REPORT, or raises what `outcome` holds; waits for `gate`."""

    def __init__(self, outcome=REPORT):
        self.outcome = outcome
        self.gate = threading.Event()
        self.gate.set()
        self.searches = []

    def __call__(self, search):
        assert self.gate.wait(10)
        self.searches.append(search)
        if isinstance(self.outcome, Exception):
            raise self.outcome
        return self.outcome


@pytest.fixture
def clock():
    return Clock()


def store_with(blast, clock, keep=60, max_jobs=10, workers=1):
    return JobStore(blast, keep, max_jobs, workers, clock=clock, log=lambda message: None)


def finished(store, rid):
    """Waits (boundedly, in real time) until the worker has finished the job."""
    for _ in range(500):
        _, job = store.lookup(rid)
        if job is None or job.finished is not None:
            return job
        time.sleep(0.01)
    raise AssertionError("job %s did not finish" % rid)


def test_a_finished_job_is_kept_for_the_keep_time_then_unknown(clock):
    store = store_with(Blast(), clock, keep=60)
    rid = store.submit("blastp", "search")
    finished(store, rid)
    clock.advance(60)
    assert store.lookup(rid)[0] == READY
    clock.advance(0.5)
    assert store.lookup(rid) == (UNKNOWN, None)
    assert store.count() == 0


def test_a_job_made_to_take_longer_waits_and_its_keep_time_starts_after(clock):
    store = store_with(Blast(), clock, keep=10)
    rid = store.submit("blastx", "search", duration=30)
    finished(store, rid)
    clock.advance(29)
    assert store.lookup(rid)[0] == WAITING
    clock.advance(1)
    assert store.lookup(rid)[0] == READY
    clock.advance(10)
    assert store.lookup(rid)[0] == READY


def test_a_running_job_never_expires(clock):
    blast = Blast()
    blast.gate.clear()
    store = store_with(blast, clock, keep=1)
    rid = store.submit("blastp", "search")
    clock.advance(3600)
    assert store.lookup(rid)[0] == WAITING
    blast.gate.set()
    finished(store, rid)
    assert store.lookup(rid)[0] == READY


def test_when_full_the_oldest_finished_job_makes_room_fetched_ones_first(clock):
    store = store_with(Blast(), clock, max_jobs=3)
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


def test_when_full_of_unfinished_jobs_a_submission_is_refused(clock):
    blast = Blast()
    blast.gate.clear()
    store = store_with(blast, clock, max_jobs=2)
    rids = [store.submit("blastp", "search %d" % number) for number in range(2)]
    with pytest.raises(Refused, match="holds 2 searches that have not finished"):
        store.submit("blastp", "one too many")
    blast.gate.set()
    for rid in rids:
        finished(store, rid)
    assert store.submit("blastp", "now there is room")


def test_rids_are_never_issued_twice_even_after_jobs_are_dropped(clock):
    store = store_with(Blast(), clock, keep=0, max_jobs=5)
    issued = []
    for number in range(60):
        issued.append(store.submit("blastp", number))
        finished(store, issued[-1])
        clock.advance(1)
    assert len(set(issued)) == len(issued)
    assert all(len(rid) >= 11 and rid.isalnum() and rid.isupper() for rid in issued)


@pytest.mark.parametrize("outcome, words", [
    (BlastFailed("blastp ended with status 2: BLAST query error"), "status 2: BLAST query error"),
    (RuntimeError("disk full"), "RuntimeError: disk full"),
])
def test_a_search_that_fails_is_failed_with_its_reason_and_the_store_goes_on(clock, outcome, words):
    blast = Blast(outcome)
    store = store_with(blast, clock)
    rid = store.submit("blastp", "search")
    job = finished(store, rid)
    assert store.lookup(rid)[0] == FAILED and words in job.error
    blast.outcome = REPORT
    assert finished(store, store.submit("blastp", "next")).report == REPORT


def test_an_injected_failure_skips_the_search(clock):
    blast = Blast()
    store = store_with(blast, clock)
    job = finished(store, store.submit("blastp", "search", failure="made to fail"))
    assert (job.error, blast.searches) == ("made to fail", [])


def test_a_job_deleted_before_it_runs_is_not_searched(clock):
    blast = Blast()
    blast.gate.clear()
    store = store_with(blast, clock, workers=1)
    running = store.submit("blastp", "running")
    queued = store.submit("blastp", "queued")
    assert store.delete(queued) and not store.delete(queued)
    blast.gate.set()
    finished(store, running)
    last = finished(store, store.submit("blastp", "last"))
    assert last.report == REPORT and blast.searches == ["running", "last"]


def test_over_http_the_results_expire_with_the_job(db, clock):
    with running_service(db, keep=120, clock=clock) as (url, store, _):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        finished(store, rid)
        assert status(url, rid)["Status"] == "READY"
        assert "<BlastOutput" in results(url, rid)[2]
        clock.advance(121)
        assert status(url, rid) == {"Status": "UNKNOWN"}
        code, _, page = results(url, rid)
        assert code == 200 and info(page)["Status"] == "UNKNOWN" and "<BlastOutput" not in page


def test_over_http_a_search_made_to_take_longer_stays_waiting(db, clock):
    with running_service(db, Faults(job_time=[("blastp", 50)]), clock=clock) as (url, store, _):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        finished(store, rid)
        assert status(url, rid) == {"Status": "WAITING"}
        code, _, page = results(url, rid)
        assert code == 200 and info(page) == {"Status": "WAITING"}
        clock.advance(50)
        assert status(url, rid)["Status"] == "READY"


def test_over_http_a_full_service_refuses_with_an_error_page(db, clock):
    with running_service(db, Faults(job_time=[("any", 50)]), max_jobs=1, clock=clock) as (url, store, _):
        finished(store, submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405"))
        _, _, page = request(url, dict(CMD="Put", PROGRAM="blastp", DATABASE="nr", QUERY="9506405"), post=True)
        assert "RID" not in info(page) and "limit" in page


def test_a_held_status_request_answers_when_the_search_finishes():
    blast = Blast()
    blast.gate.clear()
    store = JobStore(blast, 60, 10, 1, log=lambda message: None)  # the real clock: the hold is real time
    rid = store.submit("blastp", "search")
    answers = []
    asker = threading.Thread(target=lambda: answers.append(store.wait_finished(rid, 10)[0]))
    asker.start()
    time.sleep(0.2)
    assert answers == []  # held while the search runs
    blast.gate.set()
    asker.join(10)
    assert answers == [READY]
    store.close()


@pytest.mark.parametrize("hold, expected", [(0.3, WAITING), (5, READY)])
def test_a_held_status_request_for_a_search_made_to_take_longer_waits_for_its_end(hold, expected):
    store = JobStore(Blast(), 60, 10, 1, log=lambda message: None)
    rid = store.submit("blastp", "search", duration=1.0)
    started = time.monotonic()
    state, _ = store.wait_finished(rid, hold)
    waited = time.monotonic() - started
    assert state == expected
    assert waited >= min(hold, 1.0) - 0.05  # held, not answered at once
    store.close()


def test_a_held_status_request_for_an_unknown_rid_answers_at_once():
    store = JobStore(Blast(), 60, 10, 1, log=lambda message: None)
    assert store.wait_finished("NOSUCHRID", 10) == (UNKNOWN, None)
    store.close()
