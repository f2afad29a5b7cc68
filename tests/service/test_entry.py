"""The service's command: it listens on 127.0.0.1 unless told another address (and then says
so, and shows others' requests to loopback clients only unless told to share them), prints its
URL when ready, stops on SIGTERM even with an answer held back, and says why it cannot start."""
import ipaddress
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest

from blast_client import NO_ANSWER, info, request_or_error, submit, wait
from conftest import database_folder
from gates import Gate
from localblast import options
from logs import Logs
from service_process import SCRIPT, service_process

SEARCH = dict(PROGRAM="blastp", DATABASE="nr", QUERY="9506405")


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
    logs = Logs()
    with service_process("--db", database_folder(), "--rtoe", "0", logs=logs) as (_, url):
        port = int(url.split(":")[2].split("/")[0])
        assert url == "http://127.0.0.1:%d/Blast.cgi" % port
        assert listening_addresses(port) == ["0100007F"]
    assert logs.wait_for("serving " + url) and not [line for line in logs if "beyond loopback" in line]


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


def test_sigterm_answers_a_held_status_request_with_the_status_its_search_has(tmp_path, monkeypatch):
    # A status request held for its search's end is no answer being sent: the stop gives it the
    # status at once, where cutting it after the grace left the client with no answer at all.
    gate = Gate(str(tmp_path), "blastp")
    monkeypatch.setenv("PATH", str(tmp_path) + os.pathsep + os.environ["PATH"])
    logs, outcome = Logs(), []
    try:
        with service_process("--db", database_folder(), "--rtoe", "0", "--status-wait", "600",
                             logs=logs) as (process, url):
            rid = submit(url, **SEARCH)
            gate.wait_started(1)
            held = threading.Thread(target=lambda: outcome.append(request_or_error(
                url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID=rid), timeout=120)))
            held.start()
            logs.wait_for("holding the status request for %s" % rid)
            process.send_signal(signal.SIGTERM)
            assert process.wait(timeout=120) == 0
            held.join(120)
    finally:
        gate.open()
    assert not isinstance(outcome[0], Exception), outcome
    assert outcome[0][0] == 200 and info(outcome[0][2])["Status"] == "WAITING", outcome


@pytest.mark.parametrize("arguments, words", [
    (["--db", "/nonexistent/db"], ["/nonexistent/db", "cmake --build"]),
    (["--db", database_folder(), "--rtoe", "soon"], ["--rtoe", "'soon'"]),
    (["--db", database_folder(), "--rtoe", "-1"], ["--rtoe", "'-1'"]),
    (["--db", database_folder(), "--port", "70000"], ["--port", "'70000'"]),
    (["--db", database_folder(), "--max-jobs", "0"], ["--max-jobs", "'0'"]),
    (["--db", database_folder(), "--guidelines", "strict"], ["--guidelines", "'strict'", "enforce"]),
    (["--db", database_folder(), "--guideline-scale", "0"], ["--guideline-scale", "'0'"]),
    (["--db", database_folder(), "--guideline-scale", "fast"], ["--guideline-scale", "'fast'"]),
    (["--db", database_folder(), "--host", "localhost"], ["--host", "'localhost'", "IP address"]),
    (["--db", database_folder(), "--head-timeout", "0"], ["--head-timeout", "'0'"]),
    (["--db", database_folder(), "--journal", "-1"], ["--journal", "'-1'"]),
    (["--db", database_folder(), "--max-connections", "1000000"], ["--max-connections 1000000", "open-file limit"]),
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


def non_loopback_address():
    """An IPv4 address of this machine that is not loopback, or None."""
    for destination in ("192.0.2.1", "198.51.100.1", "10.255.255.1"):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.connect((destination, 9))   # a datagram socket's connect sends nothing
            except OSError:
                continue
            address = probe.getsockname()[0]
        if not ipaddress.ip_address(address).is_loopback:
            return address
    return None


def fetched(url):
    """(HTTP status, body) of a GET to a service that is not on loopback."""
    try:
        with urllib.request.urlopen(url, timeout=30) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


@pytest.mark.parametrize("shared", [False, True])
def test_beyond_loopback_it_says_so_and_shows_others_requests_only_if_shared(shared):
    address = non_loopback_address()
    if address is None:
        pytest.skip("this machine has no address beyond loopback")
    logs = Logs()
    arguments = ["--db", database_folder(), "--rtoe", "0", "--host", address] + (["--share-journal"] if shared else [])
    with service_process(*arguments, logs=logs, url_prefix="http://%s:" % address) as (_, url):
        port = int(url.split(":")[2].split("/")[0])
        assert listening_addresses(port) == ["%08X" % struct.unpack("<I", socket.inet_aton(address))]
        assert "beyond loopback" in logs.wait_for("listening on %s" % address)
        # From this machine's own address, which is not loopback: a client like any other.
        code, page = fetched(url + "?" + urllib.parse.urlencode(dict(CMD="Put", **SEARCH)))
        rid = info(page)["RID"]
        while info(fetched(url + "?CMD=Get&FORMAT_OBJECT=SearchInfo&RID=" + rid)[1])["Status"] == "WAITING":
            time.sleep(0.05)
        assert fetched(url + "?CMD=Get&FORMAT_TYPE=XML&RID=" + rid)[0] == 200
        assert fetched(url + "?CMD=DisplayRIDs")[0] == (200 if shared else 403)
        code, document = fetched(url.replace("/Blast.cgi", "/journal"))
        assert code == (200 if shared else 403)
        assert (rid in document) == shared


@pytest.mark.parametrize("arguments", [
    ["--job-timeout", "0"], ["--job-timeout", "1e12"], ["--status-wait", "1e12"], ["--keep", "31622401"],
    ["--stall", "any:status:1e12"], ["--job-time", "blastp:1e12"], ["--head-timeout", "1e12"],
    ["--request-timeout", "1e12"], ["--idle-timeout", "1e12"], ["--guideline-scale", "1e12"],
])
def test_seconds_beyond_what_the_service_can_wait_are_refused(arguments, capsys):
    with pytest.raises(SystemExit) as stopped:
        options.parse(arguments)
    assert stopped.value.code == 2
    assert "argument %s: " % arguments[0] in capsys.readouterr().err


def test_the_longest_seconds_accepted_serve_searches():
    logs = Logs()
    longest = str(options.MOST_SECONDS)
    with service_process("--db", database_folder(), "--rtoe", "0", "--job-timeout", longest, "--status-wait", longest,
                         "--keep", longest, "--idle-timeout", longest, logs=logs) as (_, url):
        rid = submit(url, **SEARCH)
        # Held until the search is done.
        assert info(request_or_error(url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID=rid))[2])["Status"] == "READY"
    assert not [line for line in logs if "Traceback" in line or "Error" in line], list(logs)
