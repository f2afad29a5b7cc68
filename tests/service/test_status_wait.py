"""--status-wait: a status request for a running search is held until the search finishes and
answers READY, not WAITING at once; in the service as the Api wires it and as the command line
starts it."""
import threading
import time

from blast_client import status, submit
from conftest import database_folder, running_service
from localblast.server.limits import Limits
from service_process import service_process

SEARCH = dict(PROGRAM="blastp", DATABASE="nr", QUERY="9506405")


def gated(gate):
    """Stands around each search: it runs once `gate` is set."""
    def around(run):
        def held(search, folder):
            assert gate.wait(120)
            return run(search, folder)
        return held
    return around


def test_a_status_request_is_held_while_the_search_runs_and_answers_ready(db):
    gate = threading.Event()
    with running_service(db, status_wait=120, around_search=gated(gate)) as (url, _, logs):
        rid = submit(url, **SEARCH)
        answers = []
        asker = threading.Thread(target=lambda: answers.append(status(url, rid)["Status"]))
        asker.start()
        held = "holding the status request for %s" % rid
        end = time.monotonic() + 120
        # Either the hold begins or, were the request not held, its answer comes.
        while not answers and not any(held in line for line in logs) and time.monotonic() < end:
            asker.join(0.05)
        assert answers == [], "answered while its search was still running"
        gate.set()
        asker.join(120)
    assert answers == ["READY"]


def test_the_command_lines_status_wait_holds_the_request_until_the_search_is_done():
    # The search is made to take a second; the hold is far longer, so only an unheld request
    # could see it WAITING.
    with service_process("--db", database_folder(), "--rtoe", "0", "--status-wait", "300",
                         "--job-time", "blastp:1") as (_, url):
        rid = submit(url, **SEARCH)
        assert status(url, rid)["Status"] == "READY"


def test_beyond_the_answers_that_may_be_held_a_status_request_is_answered_at_once(db):
    gate = threading.Event()
    with running_service(db, status_wait=120, around_search=gated(gate), limits=Limits(held=1)) as (url, _, logs):
        first, second = submit(url, **SEARCH), submit(url, **SEARCH)
        answers = []
        asker = threading.Thread(target=lambda: answers.append(status(url, first)["Status"]))
        asker.start()
        logs.wait_for("holding the status request for %s" % first)
        assert status(url, second)["Status"] == "WAITING"
        assert "(--max-held)" in logs.wait_for("the status request for %s is answered at once" % second)
        gate.set()
        asker.join(120)
    assert answers == ["READY"]
