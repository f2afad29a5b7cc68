"""The service run with --state as its users run it, stopped (SIGTERM) or killed (SIGKILL) while
searches run or while reports are made, with 20 clients polling through the restart: every RID
handed out is answered again, READY with whole reports. Gates in front of BLAST+ (gates.py) hold
the searches or the reports at the moment of the stop."""
import http.client
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ElementTree

import pytest

from blast_client import error_text, info, request, submit, wait
from conftest import database_folder
from gates import Gate
from localblast.store.restore import MAX_ATTEMPTS
from logs import Logs
from service_process import SCRIPT, service_process

CLIENTS = 20
QUERY = "9506405"
DEADLINE = 300
# A Text report's last line, as BLAST+ ends it: a report cut short lacks it.
TEXT_END = "Window for multiple hits:"


class ServerError(Exception):
    """An HTTP 5xx answer."""


class Service:
    """The service's URL through restarts: clients wait while it is down and ask again once it
    is back."""

    def __init__(self):
        self._changed = threading.Condition()
        self.url, self.generation = None, 0

    def up(self, url):
        with self._changed:
            self.url, self.generation = url, self.generation + 1
            self._changed.notify_all()

    def down(self):
        with self._changed:
            self.url = None

    def ask(self, call, *arguments):
        """call(url, *arguments) against the service; asked again once the service is back when
        it went down under the request."""
        end = time.monotonic() + DEADLINE
        while True:
            with self._changed:
                assert self._changed.wait_for(lambda: self.url, DEADLINE), "the service did not come back"
                url, generation = self.url, self.generation
            try:
                return call(url, *arguments)
            except (OSError, http.client.HTTPException, ServerError):
                assert time.monotonic() < end, "no answer from the service within %s s" % DEADLINE
                with self._changed:
                    if self.url == url:   # not going down: a fault
                        raise
                    assert self._changed.wait_for(lambda: self.generation > generation, DEADLINE), \
                        "the service did not come back"


def status_of(url, rid):
    code, _, page = request(url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID=rid))
    assert code == 200, (code, page)
    return info(page).get("Status"), page


def report(url, rid, format_type):
    code, content_type, text = request(url, dict(CMD="Get", RID=rid, FORMAT_TYPE=format_type))
    if code >= 500:
        raise ServerError("HTTP %d: %s" % (code, error_text(text)))
    assert code == 200 and "QBlastInfoBegin" not in text, (code, content_type, error_text(text) or text[:300])
    return text


def ready(service, rid):
    """Polls until the search is READY: never UNKNOWN (lost) nor FAILED."""
    while True:
        status, page = service.ask(status_of, rid)
        assert status in ("WAITING", "READY"), "%s: %s %s" % (rid, status, error_text(page))
        if status == "READY":
            return
        time.sleep(0.05)   # a client's poll interval


class Clients:
    """20 clients, each submitting a search, polling it to READY and reading its reports (XML,
    then Text once every client has its XML, then XML again); `asking_text` counts those that
    ask for the Text one."""

    def __init__(self, service):
        self.service = service
        self.rids, self.outcomes = [], []
        self.asking_text = 0
        self._lock = threading.Condition()
        self._together = threading.Barrier(CLIENTS)
        self._threads = [threading.Thread(target=self._client) for _ in range(CLIENTS)]

    def start(self):
        for thread in self._threads:
            thread.start()

    def wait_until(self, condition):
        with self._lock:
            assert self._lock.wait_for(lambda: condition(self), DEADLINE), (self.rids, self.outcomes)

    def _client(self):
        try:
            rid = self.service.ask(submit_with, dict(PROGRAM="blastp", DATABASE="nr", QUERY=QUERY))
            with self._lock:
                self.rids.append(rid)
                self._lock.notify_all()
            ready(self.service, rid)
            xml = self.service.ask(report, rid, "XML")
            # Together, so that a stop while reports are made finds every client asking for one.
            self._together.wait(DEADLINE)
            with self._lock:
                self.asking_text += 1
                self._lock.notify_all()
            text = self.service.ask(report, rid, "Text")
            outcome = (rid, xml, text, self.service.ask(report, rid, "XML"))
        except BaseException as error:
            outcome = (error,)
            self._together.abort()    # the others go on to their own outcomes
        with self._lock:
            self.outcomes.append(outcome)
            self._lock.notify_all()

    def join(self):
        for thread in self._threads:
            thread.join(DEADLINE)


def submit_with(url, fields):
    return submit(url, **fields)


@pytest.fixture
def gates(tmp_path, monkeypatch):
    """Closed gates in front of blastp and of blast_formatter's Text and HTML reports."""
    made = {"search": Gate(str(tmp_path), "blastp"), "report": Gate(str(tmp_path), "blast_formatter", ["-outfmt 0"])}
    monkeypatch.setenv("PATH", str(tmp_path) + os.pathsep + os.environ["PATH"])
    yield made
    for gate in made.values():
        gate.open()


def stop(process, how):
    if how == "SIGKILL":
        process.kill()
    else:
        process.send_signal(signal.SIGTERM)
    process.wait(timeout=120)


@pytest.mark.parametrize("moment", ["search", "report"])
@pytest.mark.parametrize("how", ["SIGTERM", "SIGKILL"])
def test_a_restart_answers_every_rid_with_whole_reports(tmp_path, gates, how, moment):
    state, service, logs = str(tmp_path / "state"), Service(), Logs()
    arguments = ("--db", database_folder(), "--rtoe", "0", "--workers", "2", "--state", state)
    clients = Clients(service)
    if moment == "report":
        gates["search"].open()
    with service_process(*arguments, logs=logs) as (process, url):
        service.up(url)
        clients.start()
        clients.wait_until(lambda them: len(them.rids) == CLIENTS)
        if moment == "search":
            gates["search"].wait_started(2)     # both workers are running a search
        else:
            clients.wait_until(lambda them: them.asking_text == CLIENTS)
            gates["report"].wait_started(2)     # as many reports are being made as formatters run at once
        service.down()
        stop(process, how)
    for gate in gates.values():
        gate.open()
    with service_process(*arguments, logs=logs) as (process, url):
        service.up(url)
        clients.join()
        held = request(url, dict(CMD="DisplayRIDs"))[2]
    failures = [outcome[0] for outcome in clients.outcomes if len(outcome) == 1]
    assert not failures and len(clients.outcomes) == CLIENTS, failures
    assert sorted(line.split("\t")[0] for line in held.splitlines()) == sorted(clients.rids)
    xml = {outcome[1] for outcome in clients.outcomes} | {outcome[3] for outcome in clients.outcomes}
    assert len(xml) == 1 and ElementTree.fromstring(xml.pop().encode()).find(".//Hit") is not None
    for rid, _, text, _ in clients.outcomes:
        assert text.rstrip().splitlines()[-1].startswith(TEXT_END), (rid, text[-300:])
    assert not [line for line in logs if "failed" in line]


def test_a_state_folder_is_refused_while_a_service_holds_it_and_free_once_it_is_killed(tmp_path):
    state = str(tmp_path / "state")
    arguments = [sys.executable, SCRIPT, "--db", database_folder(), "--state", state]
    with service_process(*arguments[2:]) as (process, url):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY=QUERY)
        refused = subprocess.run(arguments, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        assert refused.returncode == 2 and refused.stdout == ""
        assert state in refused.stderr and "held by another running service (process %d)" % process.pid \
            in refused.stderr
        process.kill()
        process.wait(timeout=60)
    with service_process(*arguments[2:]) as (process, url):
        assert status_of(url, rid)[0] in ("WAITING", "READY")


@pytest.mark.parametrize("arguments, words", [
    (["--state", "{file}"], ["{file}", "cannot make the state folder"]),
    (["--max-disk", "0"], ["--max-disk", "'0'"]),
    (["--max-disk", "lots"], ["--max-disk", "'lots'", "500M"]),
    (["--max-disk", "5X"], ["--max-disk", "'5X'"]),
])
def test_it_says_why_it_cannot_keep_searches(tmp_path, arguments, words):
    file = tmp_path / "a-file"
    file.write_text("")
    arguments = [argument.format(file=file) for argument in arguments]
    done = subprocess.run([sys.executable, SCRIPT, "--db", database_folder()] + arguments, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and done.stdout == ""
    for word in words:
        assert word.format(file=file) in done.stderr


def test_starts_that_cannot_listen_run_none_of_the_searches_they_find(tmp_path, gates):
    # Were they run, the stops of such starts would cut them short, and three would fail them.
    state = str(tmp_path / "state")
    arguments = ("--db", database_folder(), "--rtoe", "0", "--state", state)
    with service_process(*arguments) as (process, url):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY=QUERY)
        gates["search"].wait_started(1)
        stop(process, "SIGKILL")
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        for _ in range(MAX_ATTEMPTS):
            done = subprocess.run([sys.executable, SCRIPT, *arguments, "--port", str(port)], stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, timeout=60)
            assert done.returncode == 2 and "port %d" % port in done.stderr
    assert gates["search"].started() == 1
    gates["search"].open()
    with service_process(*arguments) as (process, url):
        assert wait(url, rid)["Status"] == "READY"


def test_a_killed_service_s_temporary_folder_is_removed_by_the_next_one(tmp_path, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    with service_process("--db", database_folder()) as (killed, url):
        submit(url, PROGRAM="blastp", DATABASE="nr", QUERY=QUERY)
        with service_process("--db", database_folder()) as (running, _):
            folders = sorted(os.listdir(tmp_path))
            assert len(folders) == 2
            killed.kill()
            killed.wait(timeout=60)
            logs = Logs()
            with service_process("--db", database_folder(), logs=logs):
                left = set(os.listdir(tmp_path))
                logs.wait_for("left by a service that was killed")
            assert len(left & set(folders)) == 1     # the running service's own
        assert os.listdir(tmp_path) == []            # each removed its own at stop
