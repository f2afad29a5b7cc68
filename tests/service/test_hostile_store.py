"""Clients that would make the store hold more than it should, against the service run as a
process: each case ends with the store within its bounds, and another client still served."""
import os

import pytest

from blast_client import info, request, submit, wait
from conftest import database_folder
from gates import Gate
from service_process import service_process

MIB = 1024 * 1024
# The service's limit on a request body, less room for the other fields.
QUERY_LETTERS = 4 * MIB - 200
SUBMISSIONS = 60
# Reading a 4 MiB form leaves the allocator's arenas (one per busy thread) holding some tens of
# megabytes that later requests reuse: the service's size levels off after the first searches.
# 60 more queries of 4 MiB held after their deletion or failure would take 240 MiB more.
GROWTH_BOUND = 80 * MIB
DISK_LIMIT = 128 * 1024


def resident_bytes(pid):
    with open("/proc/%d/status" % pid) as stream:
        for line in stream:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS for process %d" % pid)


def folder_bytes(folder):
    return sum(os.path.getsize(os.path.join(parent, name)) for parent, _, names in os.walk(folder) for name in names)


def deleted_large_submissions(case):
    """Twice 60 submissions of a 4 MiB query, each deleted at once, with --max-jobs 5 and the one
    worker held running another search: the queries are let go of, not queued, so the second 60
    leave the service's size where the first left it."""
    query = ("ACGT" * (QUERY_LETTERS // 4 + 1))[:QUERY_LETTERS]
    sizes = []
    for _ in range(2):
        for _ in range(SUBMISSIONS):
            rid = submit(case.url, PROGRAM="blastn", DATABASE="nt", QUERY=query)
            code, _, page = request(case.url, dict(CMD="Delete", RID=rid))
            assert code == 200 and "was deleted" in page, page[:300]
        sizes.append(resident_bytes(case.process.pid))
    assert sizes[1] - sizes[0] < GROWTH_BOUND, "%d MiB, then %d MiB" % (sizes[0] // MIB, sizes[1] // MIB)


def failed_large_submissions(case):
    """Twice 60 submissions of a 4 MiB query to a program made to fail (--fail-job): the store
    keeps what lists and status pages show of the failed searches, not their queries, so the
    second 60 leave the service's size where the first left it."""
    query = ("ACGT" * (QUERY_LETTERS // 4 + 1))[:QUERY_LETTERS]
    sizes = []
    for _ in range(2):
        rids = [submit(case.url, PROGRAM="blastx", DATABASE="nr", QUERY=query) for _ in range(SUBMISSIONS)]
        assert wait(case.url, rids[-1])["Status"] == "FAILED"     # the one worker free runs them in turn
        sizes.append(resident_bytes(case.process.pid))
    assert sizes[1] - sizes[0] < GROWTH_BOUND, "%d MiB, then %d MiB" % (sizes[0] // MIB, sizes[1] // MIB)


def reports_of_many_hit_list_sizes(case):
    """One search's reports asked for with 16 hit-list sizes, in two formats, under --max-disk:
    the store's files stay within the limit, and each answer is the whole report."""
    rid = submit(case.url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
    assert wait(case.url, rid)["Status"] == "READY"
    for size in range(1, 17):
        for format_type, ending in (("XML", "</BlastOutput>"), ("Text", "Window for multiple hits: 40")):
            code, _, text = request(case.url, dict(CMD="Get", RID=rid, FORMAT_TYPE=format_type, HITLIST_SIZE=size))
            assert code == 200 and text.rstrip().endswith(ending), (size, format_type, code, text[-300:])
            assert folder_bytes(case.state) <= DISK_LIMIT + state_files(case.state)


def state_files(state):
    """The bytes of the state's own files (SQLite's), which the limit does not bound."""
    return sum(os.path.getsize(os.path.join(state, name)) for name in os.listdir(state)
               if os.path.isfile(os.path.join(state, name)))


class Case:
    def __init__(self, process, url, state):
        self.process, self.url, self.state = process, url, state


@pytest.mark.parametrize("case, arguments", [
    (deleted_large_submissions, ["--workers", "1", "--max-jobs", "5"]),
    (failed_large_submissions, ["--workers", "2", "--fail-job", "blastx"]),
    (reports_of_many_hit_list_sizes, ["--max-disk", str(DISK_LIMIT)]),
], ids=lambda value: getattr(value, "__name__", ""))
def test_the_store_stays_within_its_bounds_and_serves_others(tmp_path, monkeypatch, case, arguments):
    gate = Gate(str(tmp_path), "blastn")    # holds the only worker, and every nucleotide search
    monkeypatch.setenv("PATH", str(tmp_path) + os.pathsep + os.environ["PATH"])
    state = str(tmp_path / "state")
    try:
        with service_process("--db", database_folder(), "--rtoe", "0", "--state", state, *arguments) as (process, url):
            held = submit(url, PROGRAM="blastn", DATABASE="nt", QUERY="ACGTTGCAACGTAGGT")
            gate.wait_started(1)
            case(Case(process, url, state))
            code, _, page = request(url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID=held))
            assert code == 200 and info(page)["Status"] == "WAITING"
            listed = request(url, dict(CMD="DisplayRIDs"))[2]
            assert listed.startswith(held + "\tWAITING\n")
            assert submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
    finally:
        gate.open()
