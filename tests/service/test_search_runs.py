"""A search's run as the store drives it: deleting a running search ends its BLAST+ process at
once, freeing its worker for the next search; a failure of the service itself while running a
search is logged in full, and the client is told only that the service failed."""
import os
import time

from blast_client import request, submit, wait
from conftest import database_folder
from gates import Gate
from localblast.store.jobs import FAILED, JobStore
from logs import Logs
from service_process import service_process
from test_lifetime import Blast, finished

DEADLINE = 120


def gone(pid):
    """Waits until process `pid` has ended and been reaped; False after DEADLINE s."""
    end = time.monotonic() + DEADLINE
    while os.path.exists("/proc/%d" % pid):
        if time.monotonic() > end:
            return False
        time.sleep(0.02)
    return True


def test_deleting_a_running_search_ends_its_blast_process(tmp_path, monkeypatch):
    gate = Gate(str(tmp_path), "blastp")     # holds the search running until the test ends
    monkeypatch.setenv("PATH", str(tmp_path) + os.pathsep + os.environ["PATH"])
    logs = Logs()
    try:
        with service_process("--db", database_folder(), "--rtoe", "0", "--workers", "1", logs=logs) as (_, url):
            rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
            gate.wait_started(1)
            with open(gate.marks) as stream:
                pid = int(stream.read().split()[0])
            code, _, page = request(url, dict(CMD="Delete", RID=rid))
            assert code == 200 and "was deleted" in page
            assert gone(pid), "BLAST+ (process %d) still runs after its search was deleted" % pid
            # The one worker is free again.
            assert wait(url, submit(url, PROGRAM="blastn", DATABASE="nt", QUERY="ACGTTGCAACGTAGGT"))["Status"] \
                == "READY"
            assert wait(url, rid)["Status"] == "UNKNOWN"
    finally:
        gate.open()
    assert not [line for line in logs if "failed" in line]


def test_a_failure_of_the_service_itself_is_logged_and_the_client_told_only_that():
    logs = Logs()
    store = JobStore(Blast(FileNotFoundError(2, "No such file or directory", "/srv/private/blastdb")), 60, 10, 1,
                     log=logs)
    try:
        job = finished(store, store.submit("blastp", "search"))
        assert store.lookup(job.rid)[0] == FAILED
        assert "the service failed" in job.error
        assert not [word for word in ("/srv/private", "Traceback", "FileNotFoundError") if word in job.error]
        logged = logs.wait_for("Traceback")
        assert job.rid in logged and "/srv/private/blastdb" in logged
    finally:
        store.close()
