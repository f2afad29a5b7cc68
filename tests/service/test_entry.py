"""The service's command: it listens on 127.0.0.1 only, prints its URL when ready, stops on
SIGTERM even with an answer held back, and says why it cannot start."""
import os
import signal
import socket
import subprocess
import sys
import threading

import pytest

from blast_client import NO_ANSWER, request_or_error, submit, wait
from conftest import database_folder
from logs import Logs
from service_process import SCRIPT, service_process


def listening_addresses(port):
    """The local addresses of the listening TCP sockets on `port` (read from /proc/net)."""
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        if not os.path.exists(table):
            continue
        with open(table) as stream:
            for line in list(stream)[1:]:
                local, state = line.split()[1], line.split()[3]
                address, local_port = local.split(":")
                if state == "0A" and int(local_port, 16) == port:
                    found.append(address)
    return found


def test_it_prints_its_url_and_listens_on_loopback_only():
    with service_process("--db", database_folder(), "--rtoe", "0") as (_, url):
        port = int(url.split(":")[2].split("/")[0])
        assert url == "http://127.0.0.1:%d/Blast.cgi" % port
        assert listening_addresses(port) == ["0100007F"]


def test_it_listens_on_the_port_it_is_given():
    # The port stays reserved for the service: bound, not listening, by a socket that lets a
    # listener share its address (SO_REUSEADDR, which the service sets too). Nothing else can
    # take it meanwhile, and it is never freed before the service has it.
    with socket.socket() as reserved:
        reserved.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        reserved.bind(("127.0.0.1", 0))
        port = reserved.getsockname()[1]
        with service_process("--db", database_folder(), "--rtoe", "0", "--port", str(port)) as (_, url):
            assert url == "http://127.0.0.1:%d/Blast.cgi" % port
            assert listening_addresses(port) == ["0100007F"]
            assert wait(url, submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405"))["Status"] == "READY"


def test_sigterm_stops_it_and_cuts_a_held_answer_short():
    # The service waits for its handler threads before it ends, so a held answer that did not
    # give up would keep it running for the stall and then be sent.
    logs, outcome = Logs(), []
    with service_process("--db", database_folder(), "--stall", "any:status:60", logs=logs) as (process, url):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        held = threading.Thread(target=lambda: outcome.append(request_or_error(
            url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID=rid), timeout=120)))
        held.start()
        logs.wait_for("holding an answer back 60 s")
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=120) == 0
        held.join(120)
    assert isinstance(outcome[0], NO_ANSWER), outcome
    assert logs.index(logs.wait_for("a held answer was dropped")) < logs.index(logs.wait_for("blast-service: stopped"))


@pytest.mark.parametrize("arguments, words", [
    (["--db", "/nonexistent/db"], ["/nonexistent/db", "cmake --build"]),
    (["--db", database_folder(), "--rtoe", "soon"], ["--rtoe", "'soon'"]),
    (["--db", database_folder(), "--rtoe", "-1"], ["--rtoe", "'-1'"]),
    (["--db", database_folder(), "--port", "70000"], ["--port", "'70000'"]),
    (["--db", database_folder(), "--max-jobs", "0"], ["--max-jobs", "'0'"]),
    (["--db", database_folder(), "--guidelines", "strict"], ["--guidelines", "'strict'", "enforce"]),
    (["--db", database_folder(), "--guideline-scale", "0"], ["--guideline-scale", "'0'"]),
    (["--db", database_folder(), "--guideline-scale", "fast"], ["--guideline-scale", "'fast'"]),
])
def test_it_says_why_it_cannot_start(arguments, words):
    done = subprocess.run([sys.executable, SCRIPT] + arguments, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 2 and done.stdout == ""
    for word in words:
        assert word in done.stderr


def test_a_port_in_use_is_an_error_naming_it():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        done = subprocess.run([sys.executable, SCRIPT, "--db", database_folder(), "--port", str(port)],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    assert done.returncode == 2 and "port %d" % port in done.stderr


def test_sigterm_ends_a_connection_that_sends_nothing():
    # An idle client would otherwise hold the stopping service until the handler's read times out.
    logs = Logs()
    with service_process("--db", database_folder(), logs=logs) as (process, url):
        port = int(url.split(":")[2].split("/")[0])
        with socket.create_connection(("127.0.0.1", port), timeout=120) as idle:
            # Connections are accepted in order: once a later one is answered, the idle one is held.
            assert request_or_error(url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID="NONE"))[0] == 200
            process.send_signal(signal.SIGTERM)
            assert process.wait(timeout=120) == 0
            assert idle.recv(1) == b""
    stopping = logs.wait_for("open connections read no more")
    assert not stopping.startswith("blast-service: stopping: 0 ")
    assert logs.index(stopping) < logs.index(logs.wait_for("blast-service: stopped"))
    assert not [line for line in logs if "timed out" in line]  # ended, not left to time out
