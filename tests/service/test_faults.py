"""Fault injection: HTTP statuses, held-back answers, refused submissions and failed searches,
as options give them."""
import socket
import threading

import pytest

from blast_client import NO_ANSWER, error_text, info, request, request_or_error, results, submit, wait
from conftest import running_service
from localblast import options
from localblast.api.faults import Faults

QUERIES = {"blastp": "9506405", "blastx": "116660609"}


def put(url, program):
    return request(url, dict(CMD="Put", PROGRAM=program, DATABASE="nr", QUERY=QUERIES[program]), post=True)


def step_codes(url, program):
    """The HTTP status of the put, status and results requests of one search (None: not sent)."""
    code, _, page = put(url, program)
    if code != 200:
        return code, None, None
    rid = info(page)["RID"]
    status_code = request(url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID=rid))[0]
    if status_code == 200:
        wait(url, rid)
    return code, status_code, results(url, rid)[0]


@pytest.mark.parametrize("option, program, expected, other", [
    ("blastp:put:500", "blastp", (500, None, None), "blastx"),
    ("blastp:status:503", "blastp", (200, 503, 200), "blastx"),
    ("blastx:results:503", "blastx", (200, 200, 503), "blastp"),
    ("any:put:502", "blastp", (502, None, None), None),
])
def test_an_http_fault_hits_only_its_programs_step(db, option, program, expected, other):
    with running_service(db, faults_from([("--fail-http", option)])) as (url, _, _):
        assert step_codes(url, program) == expected
        if other:
            assert step_codes(url, other) == (200, 200, 200)


def test_a_failed_job_reports_failed_status_and_an_error_page_for_results(db):
    with running_service(db, faults_from([("--fail-job", "blastp")])) as (url, _, logs):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        assert wait(url, rid)["Status"] == "FAILED"
        code, content_type, page = results(url, rid)
        assert code == 200 and content_type.startswith("text/html") and info(page)["Status"] == "FAILED"
        assert any("failed" in line and rid in line for line in logs)
        other = submit(url, PROGRAM="blastx", DATABASE="nr", QUERY="116660609")
        assert wait(url, other)["Status"] == "READY"


def test_a_stalled_answer_times_the_client_out_while_others_are_served(db):
    with running_service(db, faults_from([("--stall", "blastp:status:30")])) as (url, _, _):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        with pytest.raises((socket.timeout, OSError)):
            request(url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID=rid), timeout=0.3)
        other = submit(url, PROGRAM="blastx", DATABASE="nr", QUERY="116660609")
        assert wait(url, other)["Status"] == "READY"


def test_stopping_the_service_cuts_a_held_answer_short(db):
    # Leaving the service waits for its handler threads: a held answer that did not give up
    # would still be sent, once its stall is over.
    outcome = []
    with running_service(db, faults_from([("--stall", "any:status:60")])) as (url, _, logs):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        thread = threading.Thread(target=lambda: outcome.append(
            request_or_error(url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID=rid), timeout=120)))
        thread.start()
        logs.wait_for("holding an answer back 60 s")
    thread.join(120)
    assert isinstance(outcome[0], NO_ANSWER), outcome
    assert logs.wait_for("a held answer was dropped: the service is stopping", timeout=0)


@pytest.mark.parametrize("refuse, refused, served", [
    ("blastx", ["blastx"], ["blastp"]),
    ("any", ["blastp", "blastx"], []),
])
def test_a_refused_program_is_answered_as_ncbi_answers_a_refused_search(db, refuse, refused, served):
    with running_service(db, faults_from([("--refuse", refuse)])) as (url, _, _):
        for program in refused:
            code, content_type, page = put(url, program)
            assert (code, content_type.split(";")[0], info(page)) == (200, "text/html", {})
            assert error_text(page) == "Refused by --refuse (a fault injected for testing)"
        for program in served:
            assert wait(url, info(put(url, program)[2])["RID"])["Status"] == "READY"


def faults_from(pairs):
    arguments = ["--db", "unused"] + [word for pair in pairs for word in pair]
    return Faults.from_options(options.parse(arguments))


@pytest.mark.parametrize("option, value, words", [
    ("--fail-http", "blastp:put", "PROGRAM:STEP:STATUS"),
    ("--fail-http", "blastq:put:500", "'blastq'"),
    ("--fail-http", "blastp:poll:500", "'poll'"),
    ("--fail-http", "blastp:put:200", "'200'"),
    ("--stall", "blastp:put:soon", "'soon'"),
    ("--stall", "blastp:put:-1", "'-1'"),
    ("--job-time", "blastp", "PROGRAM:SECONDS"),
    ("--fail-job", "blast", "'blast'"),
    ("--refuse", "blastz", "'blastz'"),
    ("--fail-http", "blastp:put:\u0665\u0660\u0660", "'\u0665\u0660\u0660'"),
    ("--stall", "blastp:put:\u0661", "'\u0661'"),
])
def test_a_malformed_fault_option_is_an_error_naming_it(capsys, option, value, words):
    with pytest.raises(SystemExit) as stop:
        options.parse(["--db", "unused", option, value])
    assert stop.value.code == 2
    message = capsys.readouterr().err
    assert option in message and words in message
