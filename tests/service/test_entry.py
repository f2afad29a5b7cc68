"""The service's command: it listens on 127.0.0.1 only, prints its URL when ready, stops on
SIGTERM even with an answer held back, and says why it cannot start."""
import os
import signal
import socket
import subprocess
import sys
import threading

import pytest

from blast_client import request, submit, wait
from conftest import database_folder
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
        assert wait(url, submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405"))["Status"] == "READY"


def test_it_listens_on_the_port_it_is_given():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with service_process("--db", database_folder(), "--port", str(port)) as (_, url):
        assert url == "http://127.0.0.1:%d/Blast.cgi" % port


def test_sigterm_stops_it_with_an_answer_held_back():
    with service_process("--db", database_folder(), "--stall", "any:status:600") as (process, url):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        held = threading.Thread(target=lambda: swallow(request, url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo",
                                                                          RID=rid), timeout=60))
        held.start()
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=15) == 0
        held.join(15)
        assert not held.is_alive()


def swallow(function, *arguments, **keywords):
    try:
        function(*arguments, **keywords)
    except OSError:
        pass


@pytest.mark.parametrize("arguments, words", [
    (["--db", "/nonexistent/db"], ["/nonexistent/db", "catalogue.tsv"]),
    (["--db", database_folder(), "--rtoe", "soon"], ["--rtoe", "'soon'"]),
    (["--db", database_folder(), "--rtoe", "-1"], ["--rtoe", "'-1'"]),
    (["--db", database_folder(), "--port", "70000"], ["--port", "'70000'"]),
    (["--db", database_folder(), "--max-jobs", "0"], ["--max-jobs", "'0'"]),
    ([], ["--db"]),
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
