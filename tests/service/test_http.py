"""The HTTP side as clients meet it: the service's page where a browser lands, answers whose
Content-Length counts bytes, requests refused before they reach the API answered with an error
page naming the cause (and logged) even while the rest of them still arrives, idle connections
closed but not one awaiting its answer, and the oldest idle connection the first to go when the
connections reach their cap."""
import http.client
import itertools
import socket
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest

from blast_client import error_text, fetch, info, request, submit
from conftest import running_service
from localblast.server.limits import Limits
from service_calls import address, ended_by_the_service, raw
from test_status_wait import gated


@pytest.mark.parametrize("path, fields", [("/", {}), ("/Blast.cgi", {}), ("/blast/Blast.cgi", {}),
                                          ("/cgi-bin/blast.cgi", {}), ("/Blast.cgi", dict(CMD="")),
                                          ("/Blast.cgi", dict(RID="X"))])
def test_the_services_page_answers_where_a_browser_lands(service, path, fields):
    code, headers, body = fetch(service.replace("/Blast.cgi", path), fields)
    page = body.decode()
    assert code == 200 and headers["Content-Type"].startswith("text/html")
    assert "/Blast.cgi" in page and 'href="/journal"' in page


# Requests whose answer echoes the non-ASCII value they sent.
ECHOED = {
    "an error page": ("GET /Blast.cgi?CMD=%C3%BCber HTTP/1.1", 400, "über"),
    "an unknown RID": ("GET /Blast.cgi?CMD=Get&FORMAT_TYPE=XML&RID=%E2%82%AC%E2%82%AC HTTP/1.1", 200, "€€"),
    "no such page": ("GET /r%C3%A9sultats HTTP/1.1", 404, "résultats"),
}


@pytest.mark.parametrize("case", sorted(ECHOED))
def test_a_pages_content_length_counts_its_bytes(service, case):
    line, code, echoed = ECHOED[case]
    answer_code, headers, body = raw(service, line.encode() + b"\r\nConnection: close\r\n\r\n")
    assert answer_code == code
    assert int(headers["content-length"]) == len(body)
    page = body.decode("utf-8")
    assert page.endswith("</html>\n") and echoed in page


# name: (the request's bytes, whether we end our side after sending it, status, words of its error text)
REFUSED = {
    "a CR in the request line": (b"GET /Blast.cgi?CMD=Get\r&RID=X HTTP/1.1\r\n\r\n", False, 400, ["Bare CR"]),
    "a head beyond its limit": (b"GET / HTTP/1.1\r\nX-Padding: " + b"x" * (65536 - 27), False, 431, ["65536"]),
    "a chunked body": (b"POST /Blast.cgi HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n7\r\nCMD=Put\r\n0\r\n\r\n",
                       False, 411, ["Content-Length", "chunked"]),
    "a Content-Length of 5,000 digits": (b"POST /Blast.cgi HTTP/1.1\r\nContent-Length: " + b"9" * 5000 + b"\r\n\r\n",
                                         False, 413, ["5000 digits", "4194304"]),
    "a Content-Length of 5,000 leading zeros": (b"POST /Blast.cgi HTTP/1.1\r\nContent-Length: " + b"0" * 5000
                                                + b"7\r\n\r\nCMD=Put", False, 400, ["5001 characters"]),
    "more form fields than the limit": (b"POST /Blast.cgi HTTP/1.1\r\nContent-Length: 4002\r\nConnection: close"
                                        b"\r\n\r\n" + b"a=&" * 1334, False, 400, ["1335 form fields", "of 1000"]),
    "a body cut short": (b"POST /Blast.cgi HTTP/1.1\r\nContent-Length: 50\r\n\r\nCMD=Put", True, 400,
                         ["7 of the 50 bytes"]),
    "a method it does not answer": (b"PUT /Blast.cgi HTTP/1.1\r\nConnection: close\r\n\r\n", False, 405,
                                    ["GET and POST", "'PUT'"]),
    "another path": (b"GET /nowhere HTTP/1.1\r\nConnection: close\r\n\r\n", False, 404, ["'/nowhere'"]),
}


@pytest.mark.parametrize("case", sorted(REFUSED))
def test_a_request_the_http_side_refuses_is_answered_with_its_cause_and_logged(db, case):
    data, close, code, words = REFUSED[case]
    with running_service(db) as (url, _, logs):
        answer_code, headers, body = raw(url, data, close)
        assert answer_code == code and headers["content-type"].startswith("text/html")
        for word in words:
            assert word in error_text(body.decode())
        assert logs.wait_for('" %d' % code).startswith("127.0.0.1 ")
        # The service still serves.
        assert request(url, dict(CMD="DisplayRIDs"))[0] == 200
    assert not [line for line in logs if "Traceback" in line]


# Requests refused while far more of them is still arriving than the connection's buffers hold,
# each sent whole without waiting for an answer, as most clients send: (what comes before the
# rest, the rest's size, status, words of its error text).
REST = 16 * 1024 * 1024
STILL_ARRIVING = {
    "a body beyond its limit": (b"POST /Blast.cgi HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % REST, 413, ["4194304"]),
    "a chunked body": (b"POST /Blast.cgi HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n%x\r\n" % REST, 411,
                       ["chunked"]),
    "a head beyond its limit": (b"GET / HTTP/1.1\r\nX-Padding: ", 431, ["65536"]),
}


@pytest.mark.parametrize("case", sorted(STILL_ARRIVING))
def test_a_request_refused_while_it_still_arrives_gets_its_refusal(service, case):
    start, code, words = STILL_ARRIVING[case]
    piece = b"a" * (1024 * 1024)
    answer_code, _, body = raw(service, itertools.chain([start], itertools.repeat(piece, REST // len(piece))))
    assert answer_code == code
    for word in words:
        assert word in error_text(body.decode())


def test_urllib_gets_the_refusal_of_a_form_beyond_the_limit(service):
    form = urllib.parse.urlencode(dict(CMD="Put", PROGRAM="blastp", DATABASE="nr", QUERY="A" * REST)).encode()
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(service, form, timeout=60)
    assert refused.value.code == 413 and "4194304" in error_text(refused.value.read().decode())


# Answers that each request leaves as they were (the journal on the service's page grows; the
# journal's own requests are not in it).
@pytest.mark.parametrize("target", [b"/?RID=NONE", b"/journal"])
def test_head_answers_headers_without_a_body(service, target):
    # GET in HTTP/1.0, so that the journal's answer comes unchunked.
    _, _, page = raw(service, b"GET %s HTTP/1.0\r\n\r\n" % target)
    code, headers, body = raw(service, b"HEAD %s HTTP/1.1\r\nConnection: close\r\n\r\n" % target)
    assert (code, body) == (200, b"")
    assert headers["content-length"] == str(len(page))


def test_an_idle_connection_is_closed_and_one_whose_answer_is_awaited_is_not(db):
    # A status request held until its search runs (--status-wait) keeps its connection waiting
    # on the service: the connection opened after it, idle, is closed first, and the one
    # waiting then gets its answer all the same.
    gate = threading.Event()
    with running_service(db, limits=Limits(idle_seconds=1), status_wait=120, around_search=gated(gate)) as (
            url, _, logs):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        waiting = http.client.HTTPConnection(*address(url), timeout=120)
        waiting.request("GET", "/Blast.cgi?CMD=Get&FORMAT_OBJECT=SearchInfo&RID=" + rid)
        logs.wait_for("holding the status request for %s" % rid)
        with socket.create_connection(address(url)) as idle:
            # Generous: closed within a second or two once idle; only a fault leaves it open a minute.
            assert ended_by_the_service(idle, 60)
        gate.set()
        answer = waiting.getresponse()
        assert answer.status == 200 and info(answer.read().decode())["Status"] == "READY"
        waiting.close()


def displayed(connection):
    """The status of DisplayRIDs asked over an open connection."""
    connection.request("GET", "/Blast.cgi?CMD=DisplayRIDs")
    answer = connection.getresponse()
    answer.read()
    return answer.status


def test_a_body_trickled_past_the_deadline_for_a_whole_request_closes_its_connection(db):
    with running_service(db, limits=Limits(request_seconds=2)) as (url, _, logs):
        with socket.create_connection(address(url)) as connection:
            connection.sendall(b"POST /Blast.cgi HTTP/1.1\r\nContent-Length: 100\r\n\r\n")
            # A byte every 0.3 s keeps the connection from being idle; the body would take 30 s.
            end, closed = time.monotonic() + 60, False
            while not closed and time.monotonic() < end:
                try:
                    connection.sendall(b"a")
                except OSError:
                    break
                closed = ended_by_the_service(connection, 0.3)
        assert "did not come whole within 2 s" in logs.wait_for("connections whose request (head and body)")


def test_at_the_connection_cap_the_oldest_idle_connection_goes_first(db):
    cap = 6
    with running_service(db, limits=Limits(connections=cap)) as (url, _, logs):
        idle = [socket.create_connection(address(url)) for _ in range(cap - 1)]
        last = http.client.HTTPConnection(*address(url), timeout=60)
        try:
            # Accepted in order: once the last is served, all of them are held.
            assert displayed(last) == 200
            assert request(url, dict(CMD="DisplayRIDs"))[0] == 200
            assert ended_by_the_service(idle[0], 60)
            logs.wait_for("at the cap of %d connections" % cap)
            assert not any(ended_by_the_service(connection, 0.2) for connection in idle[1:])
            assert displayed(last) == 200
        finally:
            for connection in idle:
                connection.close()
            last.close()
