"""Twenty clients at once, each submitting its own search and polling for it: every one gets
its own report, as it asked for it (with GI numbers or without), none is lost or mixed up;
twenty asking for one report not made yet get it whole, made once; and answers held back never
take the threads that answer the others, nor a submission beyond those that may be held."""
import io
import os
import threading
import time
import xml.etree.ElementTree as ElementTree
import zipfile

import bundled_sources
from blast_client import (error_text, fetch, field, info, request, request_or_error, results, submit, wait,
                          without_gi)
from conftest import database_folder, running_service
from localblast.api.faults import Faults
from localblast.server.limits import Limits
from service_process import service_process

CLIENTS = 20


def test_twenty_clients_get_each_their_own_result():
    proteins = bundled_sources.entries("protein")
    work = [(proteins[number % len(proteins)], "1e-%02d" % number, number % 2 == 0) for number in range(CLIENTS)]
    outcomes = [None] * CLIENTS
    start = threading.Barrier(CLIENTS, timeout=30)

    def client(number, url):
        entry, expect, show_gi = work[number]
        try:
            start.wait()
            rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY=entry.accession, EXPECT=expect,
                         HITLIST_SIZE="5", NCBI_GI=str(show_gi).lower())
            state = wait(url, rid)["Status"]
            code, _, text = results(url, rid)
            outcomes[number] = (rid, state, code, text)
        except Exception as error:
            outcomes[number] = error

    with service_process("--db", database_folder(), "--rtoe", "0", "--workers", "2") as (_, url):
        threads = [threading.Thread(target=client, args=(number, url)) for number in range(CLIENTS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(180)
    assert not any(thread.is_alive() for thread in threads)
    assert not [outcome for outcome in outcomes if isinstance(outcome, Exception)]
    assert len({outcome[0] for outcome in outcomes}) == CLIENTS
    for (entry, expect, show_gi), (rid, state, code, text) in zip(work, outcomes):
        assert (state, code) == ("READY", 200), rid
        report = ElementTree.fromstring(text.encode())
        assert field(report, "Iteration_query-ID") == (entry.seq_id if show_gi else without_gi(entry.seq_id))
        assert float(field(report, "Parameters_expect")) == float(expect)


def test_twenty_clients_asking_for_the_same_new_report_at_once_get_it_made_once(db):
    with running_service(db) as (url, store, _):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        assert wait(url, rid)["Status"] == "READY"
        bodies = [None] * CLIENTS
        start = threading.Barrier(CLIENTS, timeout=30)

        def client(number):
            start.wait()
            bodies[number] = fetch(url, dict(CMD="Get", RID=rid, FORMAT_TYPE="JSON2", HITLIST_SIZE="4"))
        threads = [threading.Thread(target=client, args=(number,)) for number in range(CLIENTS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(180)
        job = store.lookup(rid)[1]
        assert not any(thread.is_alive() for thread in threads)
        assert len(job.formatted) == 1
        assert [name for name in os.listdir(job.folder) if name.startswith("report-")] == [
            os.path.basename(path) for path in job.formatted.values()]
        assert {(code, body) for code, _, body in bodies} == {(200, bodies[0][2])}
        assert zipfile.ZipFile(io.BytesIO(bodies[0][2])).testzip() is None


def test_answers_held_back_never_take_the_threads_that_answer_others(db):
    limits = Limits(threads=2, held=2)
    stalled = dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID="NOSUCHRID01")
    with running_service(db, Faults(stall=[(("any", "status"), 600)]), limits=limits) as (url, _, logs):
        outcomes = []
        askers = [threading.Thread(target=lambda: outcomes.append(request_or_error(url, stalled, timeout=900)))
                  for _ in range(limits.threads + limits.held)]
        for asker in askers:
            asker.start()
        # Those beyond the limit are answered at once; the others are held (for ten minutes).
        end = time.monotonic() + 120
        while len(outcomes) < limits.threads and time.monotonic() < end:
            time.sleep(0.01)
        assert [(code, "--max-held" in error_text(page)) for code, _, page in outcomes] == [(503, True)] * 2
        assert len([line for line in logs if "holding an answer back" in line]) == limits.held
        for _ in range(limits.threads + 1):
            assert request(url, dict(CMD="DisplayRIDs"))[0] == 200
    for asker in askers:
        asker.join(60)
    assert len(outcomes) == len(askers)


def test_a_stalled_submission_answered_503_beyond_the_answers_that_may_be_held_is_not_submitted(db):
    put = dict(CMD="Put", PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
    with running_service(db, Faults(stall=[(("any", "put"), 600)]), limits=Limits(held=1)) as (url, _, logs):
        held = threading.Thread(target=request_or_error, args=(url, put), kwargs=dict(timeout=900))
        held.start()
        logs.wait_for("holding an answer back")
        code, _, page = request(url, put, post=True)
        assert code == 503 and "--max-held" in error_text(page) and "RID" not in info(page)
        # The held one's search alone was submitted.
        assert len(request(url, dict(CMD="DisplayRIDs"))[2].splitlines()) == 1
    held.join(60)
    assert not held.is_alive()
