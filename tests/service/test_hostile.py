"""Hostile clients, each against the service run as its users run it: whatever one does, another
client still gets its search done (submitted, READY, its report read) while it goes on, and the
hostile one ends as it should. Run with -s to see how long the other client took."""
import contextlib
import glob
import os
import resource
import signal
import socket
import threading
import time

import pytest

from blast_client import hit_ids, search, submit, wait
from conftest import database_folder
from localblast.reports.formatting import WHOLE_XML
from localblast.server import logsink
from logs import Logs
from service_calls import address, ended_by_the_service
from service_process import service_process

SEARCH = dict(PROGRAM="blastp", DATABASE="nr", QUERY="9506405", tool="hostile-test", email="someone@example.org")
HALF_HEAD = b"POST /Blast.cgi HTTP/1.1\r\nHost: localhost\r\nContent-"


def served(url):
    """Another client's whole search, the seconds it took."""
    start = time.monotonic()
    assert hit_ids(search(url, **SEARCH))
    return time.monotonic() - start


def own_open_files(count):
    """Lets this process open `count` more files, or skips the test."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = count + 256
    if soft < wanted:
        if hard != resource.RLIM_INFINITY and hard < wanted:
            pytest.skip("this test opens %d connections; the open-file limit is %d" % (count, hard))
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))


def half_heads(count):
    @contextlib.contextmanager
    def case(url, process, logs, tmp_path):
        own_open_files(count)
        connections = []
        try:
            for _ in range(count):
                connections.append(socket.create_connection(address(url), timeout=120))
                connections[-1].sendall(HALF_HEAD)
            yield
            logs.wait_for("at the cap of")
        finally:
            for connection in connections:
                connection.close()
    return case


@contextlib.contextmanager
def trickled_head(url, process, logs, tmp_path):
    # A byte every half second keeps the connection from ever being idle: only a deadline for
    # the whole head (2 s here, --head-timeout) ends it.
    connection = socket.create_connection(address(url))
    stop = threading.Event()

    def trickle():
        for byte in b"GET /Blast.cgi?CMD=DisplayRIDs HTTP/1.1\r\nHost: localhost\r\n" * 20:
            if stop.wait(0.5):
                return
            try:
                connection.send(bytes([byte]))
            except OSError:
                return
    trickler = threading.Thread(target=trickle)
    trickler.start()
    try:
        yield
        # Generous: the deadline is checked once a second; without one the head goes on for minutes.
        assert ended_by_the_service(connection, 60)
        assert "did not come whole within 2 s" in logs.wait_for("connections whose request head")
    finally:
        stop.set()
        trickler.join(30)
        connection.close()


@contextlib.contextmanager
def empty_fields(url, process, logs, tmp_path):
    body = b"a=&" * (4 * 1024 * 1024 // 3)
    answers = [None] * 8
    start = threading.Barrier(len(answers), timeout=60)

    def post(number):
        with socket.create_connection(address(url), timeout=120) as connection:
            start.wait()
            connection.sendall(b"POST /Blast.cgi HTTP/1.1\r\nConnection: close\r\nContent-Length: %d\r\n\r\n"
                               % len(body) + body)
            answers[number] = b"".join(iter(lambda: connection.recv(65536), b""))
    posters = [threading.Thread(target=post, args=(number,)) for number in range(len(answers))]
    for poster in posters:
        poster.start()
    try:
        yield
    finally:
        for poster in posters:
            poster.join(120)
    for answer in answers:
        assert answer.startswith(b"HTTP/1.1 400 ") and b"form fields, more than this service's limit of 1000" \
            in answer, answer[:300]


@contextlib.contextmanager
def control_characters(url, process, logs, tmp_path):
    for line in (b"GET /Blast.cgi?CMD=Get&RID=\x1b[2J\x07 HTTP/1.1", b"GET /Blast.cgi?CMD=Get&RID=A\rB HTTP/1.1"):
        with socket.create_connection(address(url), timeout=60) as connection:
            connection.sendall(line + b"\r\nConnection: close\r\n\r\n")
            assert connection.recv(12).startswith(b"HTTP/1.")
    yield
    logs.wait_for("RID=A")
    request_lines = [line for line in logs if "RID=" in line]
    assert any("RID=\\x1b[2J\\x07 " in line for line in request_lines), request_lines
    assert not [line for line in logs if set(line) & set("\x1b\x07\r")]


@contextlib.contextmanager
def long_content_length(url, process, logs, tmp_path):
    with socket.create_connection(address(url), timeout=60) as connection:
        connection.sendall(b"POST /Blast.cgi HTTP/1.1\r\nContent-Length: " + b"9" * 5000 + b"\r\n\r\n")
        answer = b"".join(iter(lambda: connection.recv(65536), b""))
    assert answer.startswith(b"HTTP/1.1 413 ") and b"5000 digits" in answer
    yield
    assert not [line for line in logs if "Traceback" in line]


@contextlib.contextmanager
def endless_refused_body(url, process, logs, tmp_path):
    # Refused at its head, the body goes on without end: the service reads on for a while, so
    # that the client gets its refusal rather than a reset, and then cuts it off.
    connection = socket.create_connection(address(url), timeout=60)
    stop, cut_off = threading.Event(), threading.Event()

    def send():
        piece = b"a" * 65536
        try:
            connection.sendall(b"POST /Blast.cgi HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n")
            while not stop.is_set():
                connection.sendall(piece)
        except OSError:
            cut_off.set()
    sender = threading.Thread(target=send)
    sender.start()
    try:
        answer = b""
        while b"</html>" not in answer:
            answer += connection.recv(65536)
        assert answer.startswith(b"HTTP/1.1 413 "), answer[:300]
        yield
        # Generous: cut off within seconds; only a fault reads on for ever.
        assert cut_off.wait(120)
    finally:
        stop.set()
        sender.join(30)
        connection.close()


@contextlib.contextmanager
def unread_answer_at_stop(url, process, logs, tmp_path):
    rid = submit(url, **SEARCH)
    assert wait(url, rid)["Status"] == "READY"
    # The report the XML answers are cut from, far larger than the buffers on the way hold.
    folder, = glob.glob(os.path.join(str(tmp_path), "**", rid), recursive=True)
    with open(os.path.join(folder, WHOLE_XML), "wb") as report:
        report.truncate(90 * 1024 * 1024)
    with socket.create_connection(address(url), timeout=60) as connection:
        connection.sendall(b"GET /Blast.cgi?CMD=Get&FORMAT_TYPE=XML&NCBI_GI=true&RID=%s HTTP/1.1\r\n\r\n"
                           % rid.encode())
        logs.wait_for("RID=%s HTTP/1.1\" 200" % rid)
        yield
        started = time.monotonic()
        process.send_signal(signal.SIGTERM)
        # Answers being sent get 2 s once the service stops. Generous for a busy machine, and far
        # below the minute a stop waiting on this client took.
        assert process.wait(timeout=30) == 0
        print("stopped in %.2f s" % (time.monotonic() - started))
    assert logs.wait_for("answers were cut short")


# name: (the service's options, its open-file limit, the hostile client)
CASES = {
    "1,016 half-sent heads under an open-file limit of 1,024": ([], 1024, half_heads(1016)),
    "1,100 half-sent heads under an open-file limit of 1,024": ([], 1024, half_heads(1100)),
    "a head trickled a byte at a time": (["--head-timeout", "2"], None, trickled_head),
    "8 bodies of 4 MiB of empty fields at once": ([], None, empty_fields),
    "ESC, BEL and CR in request lines": ([], None, control_characters),
    "a Content-Length of 5,000 digits": ([], None, long_content_length),
    "a body refused at its head that never ends": ([], None, endless_refused_body),
    "SIGTERM while a client reads nothing of a 90 MB answer": ([], None, unread_answer_at_stop),
}


@pytest.mark.parametrize("case", list(CASES))
def test_a_hostile_client_keeps_no_other_from_being_served(case, tmp_path):
    arguments, open_files, hostile = CASES[case]
    logs = Logs()
    with service_process("--db", database_folder(), "--rtoe", "0", *arguments, logs=logs, open_files=open_files,
                         environment=dict(os.environ, TMPDIR=str(tmp_path))) as (process, url):
        with hostile(url, process, logs, tmp_path):
            print("%s: another client served in %.2f s" % (case, served(url)))


@pytest.mark.parametrize("message, logged", [
    ("plain text", "plain text"),
    ("\x1b[2J\x07 and a\rb", "\\x1b[2J\\x07 and a\\rb"),
    ("a C1 control \x9b and a tab\t", "a C1 control \\x9b and a tab\\t"),
    ("right-to-left \u202e override", "right-to-left \\u202e override"),
    ("\u00fcber", "\u00fcber"),
    ("a line\nblast-service: forged", "a line\n    blast-service: forged"),
])
def test_the_log_escapes_what_a_terminal_would_obey_and_starts_no_line_of_a_message(message, logged):
    assert logsink.escaped(message) == logged
