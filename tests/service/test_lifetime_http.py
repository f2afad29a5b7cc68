"""Searches by RID as a client sees them over HTTP: results expire with their search, a search
made to take longer stays WAITING, a full service refuses and makes room with fetched results
first, results are read from the report file, and the lists of the searches held leave out those
whose keep time is over. The store runs on a clock the tests move by hand, with BLAST+."""
import time

import pytest

from blast_client import info, request, results, status, submit
from conftest import running_service
from localblast.api.faults import Faults
from localblast.store.jobs import FAILED, READY
from test_lifetime import REPORT, finished, whole_xml


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


def test_over_http_fetched_results_make_room_first(db, clock):
    with running_service(db, max_jobs=2, clock=clock) as (url, store, _):
        older, newer = (submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405") for _ in range(2))
        for rid in (older, newer):
            finished(store, rid)
            clock.advance(1)
        assert "<BlastOutput" in results(url, newer)[2]
        submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        assert status(url, newer) == {"Status": "UNKNOWN"}
        assert status(url, older)["Status"] == "READY"


def test_over_http_results_are_read_from_the_report_file(db):
    with running_service(db) as (url, store, _):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        job = finished(store, rid)
        with open(whole_xml(job), "w") as stream:
            stream.write(REPORT)
        assert results(url, rid, NCBI_GI="true")[2] == REPORT


def listed_by_display_rids(url, store, _submitted):
    return [line.split("\t")[0] for line in request(url, dict(CMD="DisplayRIDs"))[2].splitlines()]


def listed_for_a_page(url, store, _submitted):
    return [summary.rid for summary in store.summaries()]


def found_for_their_own_pages(url, store, submitted):
    return [rid for rid in submitted if store.summary_of(rid) is not None]


@pytest.mark.parametrize("listed", [listed_by_display_rids, listed_for_a_page, found_for_their_own_pages])
def test_lists_of_the_searches_held_leave_out_those_whose_keep_time_is_over(db, clock, listed):
    with running_service(db, keep=60, clock=clock) as (url, store, _):
        older = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        finished(store, older)
        clock.advance(30)
        newer = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        finished(store, newer)
        assert listed(url, store, [older, newer]) == [older, newer]
        clock.advance(31)    # the first request since the older one's keep time ended
        assert listed(url, store, [older, newer]) == [newer]


def test_a_page_s_list_shows_each_search_as_a_person_knows_it(db):
    with running_service(db, Faults(fail_job=["blastn"])) as (url, store, _):
        before = time.time()
        identifier = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        fasta = submit(url, PROGRAM="blastn", DATABASE="nt", QUERY=">my <query> & more\nACGTACGTAGGT\n>second\nACGT")
        for rid in (identifier, fasta):
            finished(store, rid)
        shown = {summary.rid: summary for summary in store.summaries()}
        after = time.time()
    assert shown[identifier][1:4] == ("blastp", "nr", store_title(db, "9506405"))
    assert shown[identifier][5:] == (READY, True, None)
    assert shown[fasta][1:4] == ("blastn", "nt", "my <query> & more")
    assert shown[fasta].status == FAILED and "--fail-job" in shown[fasta].error
    assert before <= shown[identifier].submitted <= shown[fasta].submitted <= after


def store_title(db, identifier):
    entry = db.lookup("nr", "protein", identifier)
    return "%s %s" % (entry.seq_id, entry.title)
