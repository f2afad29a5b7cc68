"""Client of the NCBI BLAST URL API: submit a search, wait for it, fetch its XML report.

The defaults keep NCBI's usage guidelines for its public servers. A private server that
speaks the same API is reached through these environment variables, read at every call:

    TARVO_BLAST_URL            the service address (default NCBI's Blast.cgi)
    TARVO_BLAST_MIN_INTERVAL   seconds between any two requests of this process (default 10)
    TARVO_BLAST_POLL_INTERVAL  seconds between two status requests for one RID (default 60)
    TARVO_BLAST_EMAIL          the contact sent as `email` (NCBI asks for one)
    TARVO_BLAST_DEADLINE       seconds one search may take in all (default 1800)
    TARVO_BLAST_MAX_BYTES      the largest results body taken (default 1 GiB)
"""

import os
import sys
import time
import urllib

from Tarvo.Blast._text import quoted_start
from Tarvo.Blast._client import pages as _pages, terminal as _terminal, transport as _transport
from Tarvo.Blast._client.answer import Answer
from Tarvo.Blast._client.failures import TransportError
from Tarvo.Blast._client.pacing import Pacing
from Tarvo.Blast._client.settings import Settings
from Tarvo.Blast._client.wording import (PAGE_ALLOWANCE, AnswerTooLarge, RedirectRefused,
                                         Request as _Request, SearchTimeout,
                                         out_of_time as _out_of_time)

TOOL = "Tarvo"
# The submission's and the status request's pages are a few kilobytes.
MAX_PAGE_BYTES = 4 * 1024 * 1024
# Seconds one request may wait without a sign of the service; the search's deadline can cut
# any wait shorter.
REQUEST_TIMEOUT = 120.0
# The most of the results read before they are returned, to find that they are BLAST XML.
RESULTS_START = 4096

# qblast's keywords and the URL API fields they become, in the order they are sent.
SUBMIT_FIELDS = (
    ("alignments", "ALIGNMENTS"),
    ("descriptions", "DESCRIPTIONS"),
    ("hitlist_size", "HITLIST_SIZE"),
    ("entrez_query", "ENTREZ_QUERY"),
    ("expect", "EXPECT"),
    ("megablast", "MEGABLAST"),
    ("filter", "FILTER"),
    ("word_size", "WORD_SIZE"),
    ("matrix_name", "MATRIX"),
    ("gapcosts", "GAPCOSTS"),
    ("nucl_reward", "NUCL_REWARD"),
    ("nucl_penalty", "NUCL_PENALTY"),
    ("format_type", "FORMAT_TYPE"),
    ("ncbi_gi", "NCBI_GI"),
    ("composition_based_statistics", "COMPOSITION_BASED_STATISTICS"),
)
# Repeated on the results request, so that the report is cut as the submission asked.
RESULT_FIELDS = ("ALIGNMENTS", "DESCRIPTIONS", "HITLIST_SIZE", "NCBI_GI")

# The process's requests, on its clock: the pacing spans searches. Tests give it a fake clock.
_pace = Pacing(time.time, time.sleep)


# They show, and pickle, under the module callers import them from.
for _cls in (SearchTimeout, AnswerTooLarge, RedirectRefused):
    _cls.__module__ = __name__
del _cls


def qblast(program, database, query, **options):
    """Run one BLAST search on the service and return its XML report as a stream of bytes,
    read from the service as it is read (within the search's deadline and size limit).

    GI numbers are asked for unless `ncbi_gi` says otherwise: NCBI leaves them out of its
    reports by default, and callers match hits by them."""
    options.setdefault("ncbi_gi", True)
    fields = _submit_fields(program, database, query, options)
    settings = Settings.read(os.environ)
    search = _Search(settings, _pace.clock())
    contact = [("email", settings.email)] if settings.email else []
    try:
        rid, rtoe = _submit(search, fields + [("tool", TOOL)] + contact)
        search.rid = rid
        _wait_ready(search, search.submitted + rtoe)
        return _results(search, fields)
    finally:
        search.end_line()


def _submit_fields(program, database, query, options):
    known = dict(SUBMIT_FIELDS)
    for keyword in sorted(options):
        if keyword not in known:
            raise TypeError("qblast() got an unexpected keyword argument %r" % keyword)
    fields = [("CMD", "Put"), ("PROGRAM", _text(program)), ("DATABASE", _text(database)),
              ("QUERY", _text(query))]
    for keyword, field in SUBMIT_FIELDS:
        if options.get(keyword) is not None:
            fields.append((field, _text(options[keyword])))
    return fields


def _text(value):
    # The URL API spells its switches in lower case.
    if isinstance(value, bool):
        return "true" if value else "false"
    # A float goes as repr() so that the service reads back the very number given.
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, unicode):
        return value.encode("utf-8")
    return str(value)


class _Search(object):
    """One search's clock, deadline and progress line."""

    def __init__(self, settings, started):
        self.settings = settings
        self.started = started
        self.submitted = started
        self.deadline_at = started + settings.deadline
        self.rid = None
        self.status = "not submitted"
        self.shown = 0

    def name(self):
        return "RID %s" % _terminal.shown(self.rid) if self.rid else "(no RID yet)"

    def request(self, what):
        """The request named for a message: "status request for RID ..."."""
        return "%s %s" % (what, "for " + self.name() if self.rid else self.name())

    def now(self):
        return _pace.clock()

    def waited(self):
        return self.now() - self.started

    def show(self):
        stream = sys.stderr
        if not self.rid or not _terminal.is_terminal(stream):
            return
        line = "BLAST %s: %s, %d s waited" % (self.name(), self.status, self.waited())
        stream.write("\r" + line.ljust(self.shown))
        stream.flush()
        self.shown = len(line)

    def end_line(self):
        if self.shown:
            sys.stderr.write("\n")
            sys.stderr.flush()
            self.shown = 0


def _submit(search, fields):
    page = _page(search, "submission", None, urllib.urlencode(fields))
    search.submitted = _pace.clock()
    info = _pages.info(page)
    rid = info.get("RID", "").strip()
    if not rid:
        texts = _pages.error_texts(page)
        raise ValueError("the BLAST service refused the search: %s" % (
            _terminal.shown("; ".join(texts), _pages.MESSAGE_MOST) if texts else
            "the answer carried no RID and no error text: %s" % quoted_start(page)))
    try:
        rtoe = max(0.0, float(info.get("RTOE", "0")))
    except ValueError:
        rtoe = 0.0
    return rid, rtoe


def _wait_ready(search, first_poll):
    """Poll the RID's status until READY, keeping the poll interval."""
    when = first_poll
    search.status = "WAITING"
    while True:
        _wait_until(search, when, "status request")
        query = urllib.urlencode([("CMD", "Get"), ("FORMAT_OBJECT", "SearchInfo"),
                                  ("RID", search.rid)])
        page = _page(search, "status request", query, None)
        polled = _pace.last
        status = _status(search, page)
        if status == "READY":
            return
        if status != "WAITING":
            raise ValueError("the %s was answered without a known status (got %r): %s"
                             % (search.request("status request"), status, quoted_start(page)))
        when = polled + search.settings.poll_interval


def _status(search, page):
    """The search's status as page gives it, shown on the progress line; FAILED and UNKNOWN
    end the search."""
    status = _pages.info(page).get("Status", "").strip().upper()
    search.status = _terminal.shown(status) or "?"
    search.show()
    if status in ("FAILED", "UNKNOWN"):
        raise ValueError("BLAST search %s ended with status %s%s" % (
            search.name(), status,
            " (the search failed at the server)" if status == "FAILED"
            else " (the RID is unknown to the server or has expired)"))
    return status


def _results(search, fields):
    """The XML report as a stream. A results request answered with a page saying WAITING (the
    report is not made yet, even just after READY) was a status request: the next one waits
    the poll interval."""
    query = [("CMD", "Get"), ("RID", search.rid), ("FORMAT_TYPE", "XML")]
    query += [(field, value) for field, value in fields if field in RESULT_FIELDS]
    while True:
        answer = _exchange(search, "results request", urllib.urlencode(query), None,
                           search.settings.max_bytes, "that TARVO_BLAST_MAX_BYTES allows")
        polled = _pace.last
        start = answer.start(RESULTS_START, "<BlastOutput")
        head = start.lstrip("\xef\xbb\xbf \t\r\n")
        if head.startswith("<") and "<BlastOutput" in head:
            return answer
        with answer:
            page = answer.read(MAX_PAGE_BYTES)
        if _status(search, page) != "WAITING":
            raise _not_xml(search, page)
        _wait_until(search, polled + search.settings.poll_interval, "results request")


def _not_xml(search, page):
    said = _pages.message(page)
    if said:
        return ValueError("the %s was answered with a page that is not BLAST XML: %s" % (
            search.request("results request"), _terminal.shown(said, _pages.MESSAGE_MOST)))
    return ValueError("the %s was answered with something that is not BLAST XML: %s"
                      % (search.request("results request"), quoted_start(page)))


def _page(search, what, query, data):
    """The text of a page of the service (not the results)."""
    answer = _exchange(search, what, query, data, MAX_PAGE_BYTES,
                       PAGE_ALLOWANCE)
    with answer:
        return answer.read()


def _exchange(search, what, query, data, most, allowed):
    """Send one request, no sooner than the process's pacing allows; return its body, of at
    most most bytes (allowed says who allows them), as it comes."""
    settings = search.settings
    earliest = _pace.earliest(settings.min_interval)
    if earliest is not None:
        _wait_until(search, earliest, what)
    if _pace.clock() >= search.deadline_at:
        raise _out_of_time(search, what)
    url = settings.url + ("?" + query if query else "")
    request = _Request(search, search.request(what), _pace.sent(), allowed)
    try:
        body = _transport.fetch(url, data, _transport.Timeout(_pace.clock, REQUEST_TIMEOUT,
                                                              search.deadline_at),
                                most, MAX_PAGE_BYTES)
    except TransportError as error:
        raise request.worded(error)
    return Answer(body, request.worded)


def _wait_until(search, when, what):
    if when >= search.deadline_at:
        raise _out_of_time(search, what)
    step = 1.0 if _terminal.is_terminal(sys.stderr) else None
    while True:
        now = _pace.clock()
        if now >= when:
            return
        search.show()
        _pace.sleep(min(when - now, step) if step else when - now)

