"""Hostile field values: each is refused with its field's usual error page, in time linear in its
length, with the value echoed escaped and cut and its full length named, in the page and in the
log; and while such requests are being answered, the service answers another client."""
import http.client
import threading
import time

import pytest

from blast_client import error_text, request, submit, wait
from conftest import database_folder
from logs import Logs
from service_process import service_process

# Just under the service's limit on a request's body (4 MiB), the rest of the form included.
LARGE = 4 * 1024 * 1024 - 1024
# A run of every control character but NUL, none of them a blank at either end (fields are
# stripped of those) and none that a form encodes specially.
CONTROL = (bytes(range(1, 32)) + b"\x7f") * (LARGE // 32)
CONTROL = b"\x01" + CONTROL[: LARGE - 2] + b"\x01"
# What a page or a log line may take to echo a value: a few hundred characters and the words around.
BOUND = 2048
# A form as large as the hostile ones but harmless: a field the service ignores.
BENIGN = b"CMD=Get&FORMAT_OBJECT=SearchInfo&RID=ANOTHERCLIENT&IGNORED=" + b"a" * LARGE
# Another client's status request waits at most behind the linear work on the hostile requests in
# flight, each of which costs about what answering BENIGN costs, measured in the same run so that
# a slow or busy machine moves both alike. The faults this guards against held the whole service
# for 14 s and more per request, hundreds of times that; this margin stays far from both.
MARGIN = 50
GIVEN_UP = 60

PUT = b"CMD=Put&PROGRAM=blastp&DATABASE=nr&QUERY=9506405"
BLASTN = b"CMD=Put&PROGRAM=blastn&DATABASE=nt&QUERY=ACGTACGTACGTACGTACGT"
DIGITS = b"9" * 5000

# (the form before the value, the field, the value, what the page answers, the HTTP status)
CASES = [
    pytest.param(PUT, "EXPECT", b"1" * 30000 + b"x", id="EXPECT of 30,000 digits and a letter"),
    pytest.param(PUT, "ENTREZ_QUERY", b"rat" + b" " * 80000 + b"rat", id="ENTREZ_QUERY of two words apart"),
    pytest.param(PUT, "ENTREZ_QUERY", CONTROL, id="ENTREZ_QUERY of 4 MiB of control characters"),
    pytest.param(PUT, "MATRIX", CONTROL, id="MATRIX of 4 MiB of control characters"),
    pytest.param(PUT, "QUERY", CONTROL, id="QUERY of 4 MiB of control characters"),
    pytest.param(PUT, "PROGRAM", CONTROL, id="PROGRAM of 4 MiB of control characters"),
    pytest.param(PUT, "FORMAT_TYPE", CONTROL, id="FORMAT_TYPE of 4 MiB of control characters"),
    pytest.param(b"CMD=Get", "CMD", CONTROL, id="CMD of 4 MiB of control characters"),
    pytest.param(b"CMD=Get&FORMAT_OBJECT=Alignment", "RID", CONTROL, id="RID of 4 MiB of control characters"),
] + [pytest.param(PUT, name, DIGITS, id="%s of 5,000 digits" % name)
     for name in ("EXPECT", "HITLIST_SIZE", "DESCRIPTIONS", "ALIGNMENTS", "WORD_SIZE", "THRESHOLD")] + [
    pytest.param(PUT, "GAPCOSTS", DIGITS + b" 1", id="GAPCOSTS of 5,000 digits"),
    pytest.param(BLASTN, "NUCL_REWARD", DIGITS, id="NUCL_REWARD of 5,000 digits"),
    pytest.param(BLASTN, "NUCL_PENALTY", b"-" + DIGITS, id="NUCL_PENALTY of 5,000 digits"),
    pytest.param(b"CMD=Get&RID=%(rid)s", "HITLIST_SIZE", DIGITS, id="results request's HITLIST_SIZE of 5,000 digits"),
    pytest.param(b"CMD=Get&RID=%(rid)s", "ALIGNMENTS", DIGITS, id="results request's ALIGNMENTS of 5,000 digits"),
]


@pytest.fixture(scope="module")
def running():
    """(url, logs, RID of a finished search) of the service as its users run it."""
    logs = Logs()
    with service_process("--db", database_folder(), "--rtoe", "0", logs=logs) as (_, url):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        assert wait(url, rid)["Status"] == "READY"
        yield url, logs, rid


def post(url, body, sent=None):
    """(HTTP status, page) of a form POST of `body` as it is, control characters unencoded;
    `sent` is set once the whole body is sent."""
    connection = http.client.HTTPConnection("127.0.0.1", int(url.split(":")[2].split("/")[0]), timeout=120)
    try:
        connection.request("POST", "/Blast.cgi", body, {"Content-Type": "application/x-www-form-urlencoded"})
        if sent is not None:
            sent.set()
        response = connection.getresponse()
        return response.status, response.read().decode("utf-8")
    finally:
        connection.close()


def answer_time(url, body):
    begun = time.monotonic()
    post(url, body)
    return time.monotonic() - begun


def while_answering(url, body, feeders=2, most=20):
    """(latency of another client's status request, sent once a hostile request is on its way
    and while `feeders` threads send `body` again and again; the answers to `body`)."""
    answers, started, done = [], threading.Event(), threading.Event()

    def feed():
        for _ in range(most):
            if done.is_set():
                return
            answers.append(post(url, body, started))
    threads = [threading.Thread(target=feed) for _ in range(feeders)]
    for thread in threads:
        thread.start()
    try:
        assert started.wait(60)
        begun = time.monotonic()
        try:
            code, _, page = request(url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID="ANOTHERCLIENT"),
                                    timeout=GIVEN_UP)
        except TimeoutError:
            raise AssertionError("another client was not answered within %s s" % GIVEN_UP)
        latency = time.monotonic() - begun
        assert code == 200 and "Status=UNKNOWN" in page
    finally:
        done.set()
        for thread in threads:
            thread.join(300)
    return latency, answers


@pytest.mark.parametrize("form, field, value", CASES)
def test_a_hostile_value_is_refused_bounded_and_escaped_while_others_are_served(running, form, field, value):
    url, logs, rid = running
    body = (form % {b"rid": rid.encode()}) + b"&" + field.encode() + b"=" + value
    baseline = max(answer_time(url, BENIGN) for _ in range(3))
    logged = len(logs)
    latency, answers = while_answering(url, body)
    assert latency < MARGIN * baseline, "another client waited %.3f s; a benign form as large is answered in " \
                                        "%.3f s" % (latency, baseline)
    assert answers
    length = len(value.decode().strip())
    for code, page in answers:
        assert code in (200, 400) and len(page) < BOUND, (code, len(page))
        message = error_text(page)
        assert field in message, message
        assert "of %d characters)" % length in message, message
        assert not [char for char in page if ord(char) < 32 and char not in "\n\t" or ord(char) == 127]
    for line in logs[logged:]:
        assert len(line) < BOUND and not [char for char in line if ord(char) < 32 or ord(char) == 127], line[:300]
