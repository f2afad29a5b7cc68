"""Fixtures: the built database, and a service started in this process on a free port."""
import contextlib
import functools
import os
import threading
import time

import pytest

from localblast.api.commands import Api
from localblast.api.faults import Faults
from localblast.databases import serving
from localblast.reports import formatting
from localblast.runs.blast import BlastRunner
from localblast.server.holds import Holds
from localblast.server.httpd import BlastServer
from localblast.server.limits import Limits
from localblast.store.jobs import JobStore
from logs import Logs

REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def database_folder():
    folder = os.environ.get("QBLAST_SERVICE_DB", "")
    if not os.path.isdir(folder):
        pytest.fail("QBLAST_SERVICE_DB must name the built database folder (build/service/db); "
                    "it is %r" % folder)
    return folder


@pytest.fixture(scope="session")
def db():
    return serving.bundled_catalogue(database_folder())


class Clock:
    """A clock the test moves by hand."""

    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now

    def advance(self, seconds):
        self.now += seconds


@pytest.fixture
def clock():
    return Clock()


@contextlib.contextmanager
def running_service(db, faults=None, keep=3600, max_jobs=50, workers=2, clock=time.monotonic, rtoe=0,
                    status_wait=0.0, around_search=None, guidelines=None, limits=None, journal=None, state=None,
                    max_disk=None, **server):
    """(url, store, logs) of a service in this process; stopped on leaving, as the command stops
    it. `around_search(run)` may stand around each search, e.g. to hold it running. `clock` is
    the store's and the guidelines'; `limits` (a server Limits), `journal` and `server`
    (BlastServer's keywords, e.g. share_journal) are the HTTP side's; `state` and `max_disk`
    the store's (--state, --max-disk)."""
    logs = Logs()
    limits = limits or Limits()
    runner = BlastRunner(db, timeout=60)
    run = around_search(runner.run) if around_search else runner.run
    store = JobStore(run, keep, max_jobs, workers, clock=clock, log=logs, state=state, max_disk=max_disk,
                     cancel=runner.cancel)
    holds = Holds(limits.held)
    api = Api(db, store, faults or Faults(), rtoe, logs, status_wait, functools.partial(formatting.make, runner),
              guidelines, clock, holds=holds)
    server = BlastServer(api, limits=limits, journal=journal, holds=holds, **server)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server.url(), store, logs
    finally:
        server.stop()
        store.stop()
        runner.stop()
        store.close()
        server.server_close()
        thread.join(10)


@pytest.fixture(scope="module")
def service(db):
    with running_service(db) as (url, store, logs):
        yield url
