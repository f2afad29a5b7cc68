"""The request journal (GET /journal): an entry for each request with what it sent and what it
was answered, filtered by RID, tool and time, the last N kept; it and the list of searches
answer loopback clients only unless shared. And the README's example: a client's test that
asserts what its client did."""
import json
import threading
import time
import types
import urllib.request

import pytest

from blast_client import info, request, submit
from conftest import Clock, running_service
from localblast.api.commands import Answer
from localblast.api.guidelines import Guidelines
from localblast.journal.journal import Journal
from localblast.pages.api_pages import TEXT
from localblast.server.app import Application
from localblast.server.holds import Holds
from service_calls import called, journal, raw

SEARCH = dict(PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
CONTACT = dict(tool="journal-test", email="someone@example.org")


def test_each_request_is_an_entry_of_what_it_sent_and_was_answered(db):
    clock = Clock()
    query = ">a_title " + "x" * 300 + "\nMKTAYIAKQRQISFVKSHFSRQLEERLGLIEVQ\n"
    with running_service(db, clock=clock, rtoe=5, guidelines=Guidelines("warn", 1)) as (url, _, _):
        before = time.time()
        rid = submit(url, QUERY=query, PROGRAM="blastp", DATABASE="nr", **CONTACT)
        # At once: too soon after the submission, and before its RTOE.
        request(url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID=rid))
        after = time.time()
        code, document = journal(url, rid=rid)
    assert code == 200
    put, poll = document["entries"]
    assert before - 0.001 <= put["time"] <= poll["time"] <= after + 0.001
    assert (put["method"], put["path"], put["status"], put["rid"], put["rtoe"], put["address"]) == (
        "POST", "/Blast.cgi", 200, rid, 5, "127.0.0.1")
    assert (put["tool"], put["email"], put["guidelines"]) == ("journal-test", "someone@example.org", [])
    assert put["fields"]["CMD"] == "Put" and put["fields"]["PROGRAM"] == "blastp"
    # Cut, its full length beside it.
    assert put["fields"]["QUERY"] == query.strip()[:200]
    assert put["cut"] == {"fields": {"QUERY": len(query.strip())}} and poll["cut"] == {}
    assert (poll["method"], poll["rid"], poll["rtoe"], poll["tool"], poll["email"]) == ("GET", rid, None, "", "")
    assert len(poll["guidelines"]) == 2
    assert "at most one request every 10 s" in poll["guidelines"][0]
    assert "no status request before RTOE" in poll["guidelines"][1]
    assert poll["serial"] == put["serial"] + 1


def test_without_guidelines_an_entry_has_no_verdicts(service):
    rid = submit(service, **SEARCH)
    assert [entry["guidelines"] for entry in journal(service, rid=rid)[1]["entries"]] == [None]


def test_the_journal_is_filtered_by_rid_tool_and_time(db):
    with running_service(db) as (url, _, _):
        first = submit(url, tool="one", **SEARCH)
        second = submit(url, tool="two", **SEARCH)
        request(url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID=first, tool="one"))
        entries = journal(url)[1]["entries"]
        cases = [
            (dict(rid=first), [entries[0], entries[2]]),
            (dict(tool="two"), [entries[1]]),
            (dict(since=entries[1]["time"]), entries[1:]),
            (dict(rid=first, since=entries[1]["time"]), [entries[2]]),
            (dict(RID=second), [entries[1]]),
            (dict(rid="NOSUCHRID"), []),
        ]
        for filters, expected in cases:
            assert journal(url, **filters)[1]["entries"] == expected, filters


@pytest.mark.parametrize("filters, words", [
    (dict(who="me"), ["rid, tool, since", "'who'"]),
    (dict(since="yesterday"), ["since", "'yesterday'"]),
    (dict(since="1" * 100), ["since", "..."]),
])
def test_a_filter_it_cannot_read_is_refused_naming_it(service, filters, words):
    code, document = journal(service, **filters)
    assert code == 400
    for word in words:
        assert word in document["error"]


def test_the_journal_keeps_the_latest_entries(db):
    with running_service(db, journal=Journal(3)) as (url, _, _):
        for number in range(5):
            request(url, dict(CMD="DisplayRIDs", tool="tool %d" % number))
        code, document = journal(url)
    assert code == 200 and (document["size"], document["dropped"]) == (3, 2)
    assert [entry["tool"] for entry in document["entries"]] == ["tool 2", "tool 3", "tool 4"]


def test_the_journal_answers_a_full_journal_of_the_largest_entries_small_and_an_entry_at_a_time():
    # Requests as large as a client can make them: every received text (the method, the path,
    # the RID, field names and values) of characters that JSON writes in 12 bytes each, and more
    # fields than the journal keeps.
    wide = "\U0001f600" * 300
    form = {"%03d%s" % (number, wide): [wide] for number in range(100)}
    form.update(TOOL=[wide], EMAIL=[wide])
    journal = Journal(1000)
    for _ in range(1000):
        journal.record(wide, "/" + wide, form, "127.0.0.1", 200, wide, None, ["\x07" * 5000])
    pieces = list(journal.answer(""))
    assert max(len(piece) for piece in pieces) < 12 * 1024
    document = json.loads("".join(pieces))
    assert (len(document["entries"]), document["dropped"]) == (1000, 0)
    entry = document["entries"][-1]
    assert (len(entry["fields"]), entry["fields_left_out"]) == (64, 38)
    cut = entry["cut"]
    assert [cut[key] for key in ("method", "path", "tool", "email", "rid")] == [300, 301, 300, 300, 300]
    assert set(cut["names"].values()) == {303} and set(cut["fields"].values()) == {300}
    assert cut["guidelines"] == {"0": 5000}
    name, value = next(iter(entry["fields"].items()))
    assert name.startswith("000\U0001f600") and value.startswith("\U0001f600")


def test_a_request_that_arrived_at_or_after_since_passes_the_filter():
    # Kept to the millisecond, rounded, this one's time would come before `since`.
    journal = Journal()
    journal.record("GET", "/Blast.cgi", {}, "127.0.0.1", 200, at=1700000000.0004)
    assert [entry["time"] for entry in journal.entries(since=1700000000.0003)] == [1700000000.0004]
    assert journal.entries(since=1700000000.0016) == []


def test_requests_the_http_side_refuses_are_journaled_and_the_journals_own_are_not(service):
    since = time.time()
    raw(service, b"POST /Blast.cgi HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n")
    journal(service)
    entries = journal(service, since=since)[1]["entries"]
    assert [(entry["method"], entry["path"], entry["status"]) for entry in entries] == [("POST", "/Blast.cgi", 413)]


class Api:
    """Stands in for the URL API: every command is answered, and the list of searches too; the
    page finds no database and no search."""
    rtoe = 0
    guidelines = Guidelines()
    database = store = types.SimpleNamespace(databases=list, summaries=list,
                                             summary_of=lambda rid: None)

    def answer(self, form, arrived, holds=None):
        return Answer(200, TEXT, "answered %s" % form["CMD"][-1], 0.0)

    @staticmethod
    def clock():
        return 0.0

    def log(self, message):
        pass


@pytest.mark.parametrize("address, shared, path, fields, code", [
    ("127.0.0.1", False, "/journal", {}, 200),
    ("127.0.0.9", False, "/journal", {}, 200),
    ("::1", False, "/journal", {}, 200),
    ("::ffff:127.0.0.1", False, "/journal", {}, 200),
    ("192.0.2.7", False, "/journal", {}, 403),
    ("::ffff:192.0.2.7", False, "/journal", {}, 403),
    ("2001:db8::7", False, "/journal", {}, 403),
    ("192.0.2.7", True, "/journal", {}, 200),
    ("192.0.2.7", False, "/Blast.cgi", dict(CMD="DisplayRIDs"), 403),
    ("192.0.2.7", True, "/Blast.cgi", dict(CMD="DisplayRIDs"), 200),
    ("127.0.0.1", False, "/Blast.cgi", dict(CMD="DisplayRIDs"), 200),
    ("192.0.2.7", False, "/Blast.cgi", dict(CMD="Get", RID="X"), 200),
    ("192.0.2.7", False, "/cgi-bin/blast.cgi", dict(CMD="Put", QUERY="MKT"), 200),
    ("192.0.2.7", False, "/", {}, 200),
])
def test_others_requests_are_shown_to_loopback_clients_only_unless_shared(address, shared, path, fields, code):
    application = Application(Api(), Journal(), Holds(1), threading.Event(), share_journal=shared)
    answer_code, body = called(application, address, path, fields)
    assert answer_code == code
    if code == 403:
        assert "--share-journal" in body
    if path == "/":   # the page links the journal only for those who may see it
        assert ('href="/journal"' in body) == shared


def my_client(url, pause=time.sleep):
    """A client as the README's example has it: it submits, waits RTOE, then polls politely."""
    contact = dict(tool="my_client", email="me@example.org")
    page = request(url, dict(CMD="Put", **dict(SEARCH, **contact)))[2]
    rid, rtoe = info(page)["RID"], int(info(page)["RTOE"])
    pause(rtoe)
    while info(request(url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID=rid, **contact))[2])["Status"] == "WAITING":
        pause(0.1)
    return rid


def test_a_clients_test_asserts_what_its_client_did(db):
    # The README's example: a test of a client that asserts its requests through the journal.
    # The client's pauses are turns the test hands out, and its search ends after its second
    # poll, so that it polls exactly three times.
    gate, paused, go = threading.Event(), threading.Semaphore(0), threading.Semaphore(0)

    def held(run):
        def search(query, folder):
            run(query, folder)
            assert gate.wait(120)
        return search

    def pause(seconds):
        time.sleep(seconds)
        paused.release()
        assert go.acquire(timeout=120)

    with running_service(db, rtoe=1, around_search=held) as (url, store, _):
        outcome = []
        client = threading.Thread(target=lambda: outcome.append(my_client(url, pause)))
        client.start()
        for turn in range(3):   # before each poll
            assert paused.acquire(timeout=120)
            if turn == 2:
                gate.set()
                rid = journal(url, tool="my_client")[1]["entries"][0]["rid"]
                while store.lookup(rid)[0] == "WAITING":
                    time.sleep(0.01)
            go.release()
        client.join(120)
        assert outcome == [rid]

        # As in the README:
        service = url.rsplit("/", 1)[0]
        with urllib.request.urlopen(service + "/journal?rid=" + rid) as answer:
            entries = json.load(answer)["entries"]
        put = entries[0]
        polls = [entry for entry in entries if entry["fields"].get("FORMAT_OBJECT") == "SearchInfo"]
        assert put["fields"]["CMD"] == "Put"
        assert len(polls) == 3
        assert all(poll["time"] >= put["time"] + put["rtoe"] for poll in polls)
        assert all(entry["tool"] and entry["email"] for entry in entries)
