"""Reports of one search asked for while another of its reports is being made: one already kept,
or another one, is answered without waiting for it; the same one is never made twice at once,
and when its making fails a request that waited for it makes it. In the store with stand-ins
for the formatter, then in the service run as a process with a gate in front of
blast_formatter's Text reports, as a client sees it."""
import os
import threading
import time

import pytest

from blast_client import request, submit, wait
from conftest import database_folder
from gates import Gate
from localblast.errors import BlastFailed
from localblast.store.jobs import JobStore
from localblast.store.kept import report_key
from service_process import service_process
from test_kept_reports import read, writer
from test_lifetime import Blast, finished, quiet

DEADLINE = 120


class Held:
    """Makes a report of `text` once the test lets it (or fails then, given `failure`)."""

    def __init__(self, text, failure=None):
        self.text, self.failure = text, failure
        self.started, self.released = threading.Event(), threading.Event()

    def __call__(self, path):
        self.started.set()
        assert self.released.wait(DEADLINE)
        if self.failure:
            raise self.failure
        writer([], self.text)(path)


class Asking(threading.Thread):
    """Calls `function(*arguments)` in a thread of its own; `outcome()` is what it returned or raised."""

    def __init__(self, function, *arguments):
        super().__init__(daemon=True)
        self._call, self._outcome = (lambda: function(*arguments)), None
        self.start()

    def run(self):
        try:
            self._outcome = self._call()
        except Exception as error:
            self._outcome = error

    def outcome(self):
        self.join(DEADLINE)
        assert not self.is_alive(), "no answer within %s s" % DEADLINE
        return self._outcome


def read_report(store, job, shape, make):
    return read(store.open_report(job, shape, make))


@pytest.fixture
def job():
    """(store, job) of a finished search, one of whose reports ("kept") is kept."""
    store = JobStore(Blast(), 60, 10, 1, log=quiet)
    job = finished(store, store.submit("blastp", "search"))
    assert read_report(store, job, "kept", writer([], "kept")) == b"kept"
    yield store, job
    store.close()


def test_a_kept_report_and_another_one_are_answered_while_a_report_is_made(job):
    store, job = job
    slow = Held("slow")
    making = Asking(read_report, store, job, "slow", slow)
    assert slow.started.wait(DEADLINE)
    made = []
    assert Asking(read_report, store, job, "kept", writer(made)).outcome() == b"kept"
    assert Asking(read_report, store, job, "other", writer(made, "other")).outcome() == b"other"
    assert len(made) == 1 and making.is_alive()
    slow.released.set()
    assert making.outcome() == b"slow"


def asked_meanwhile(job, shape):
    """Waits until another request waits for the report of `shape` being made."""
    end = time.monotonic() + DEADLINE
    while job.making[report_key(shape)].asked < 1:
        assert time.monotonic() < end, "no second request for the report within %s s" % DEADLINE
        time.sleep(0.01)


@pytest.mark.parametrize("failure, first, second", [
    (None, b"made once", b"made once"),
    (BlastFailed("blast_formatter ended with status 1"), BlastFailed, b"made by the second"),
])
def test_one_report_is_never_made_twice_at_once(job, failure, first, second):
    store, job = job
    held, made = Held("made once", failure), []
    making = Asking(read_report, store, job, "shape", held)
    assert held.started.wait(DEADLINE)
    waiting = Asking(read_report, store, job, "shape", writer(made, "made by the second"))
    asked_meanwhile(job, "shape")
    held.released.set()
    outcome = making.outcome()
    assert isinstance(outcome, first) if isinstance(first, type) else outcome == first
    assert waiting.outcome() == second
    assert len(made) == (1 if failure else 0)
    assert [name for name in os.listdir(job.folder) if name.endswith(".part")] == []


def test_in_the_service_reports_are_answered_while_a_text_report_is_made(tmp_path, monkeypatch):
    gate = Gate(str(tmp_path), "blast_formatter", ["-outfmt 0"])
    monkeypatch.setenv("PATH", str(tmp_path) + os.pathsep + os.environ["PATH"])
    try:
        with service_process("--db", database_folder(), "--rtoe", "0") as (_, url):
            rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
            assert wait(url, rid)["Status"] == "READY"
            xml = request(url, dict(CMD="Get", RID=rid, FORMAT_TYPE="XML"))
            text = Asking(request, url, dict(CMD="Get", RID=rid, FORMAT_TYPE="Text"))
            gate.wait_started(1)
            # Kept; cut from the kept XML report; made by blast_formatter.
            assert Asking(request, url, dict(CMD="Get", RID=rid, FORMAT_TYPE="XML")).outcome() == xml
            cut = Asking(request, url, dict(CMD="Get", RID=rid, FORMAT_TYPE="XML", HITLIST_SIZE="1")).outcome()
            table = Asking(request, url, dict(CMD="Get", RID=rid, FORMAT_TYPE="Tabular")).outcome()
            assert cut[0] == 200 and cut[2].count("<Hit>") == 1
            assert table[0] == 200 and table[2].startswith("# BLASTP")
            assert text.is_alive()
            gate.open()
            code, _, body = text.outcome()
            assert code == 200 and body.rstrip().splitlines()[-1].startswith("Window for multiple hits:")
    finally:
        gate.open()
