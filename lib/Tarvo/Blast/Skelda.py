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
import urllib2

from Tarvo.Blast import _http, _http_errors as failed, _pages, _terminal
from Tarvo.Blast._answer import Answer
from Tarvo.Blast._pacing import Pacing
from Tarvo.Blast._settings import Settings

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


class SearchTimeout(IOError):
    """A request stalled or a search ran past its deadline, connecting included."""


class AnswerTooLarge(IOError):
    """An answer of the service ran past the size allowed for it."""


class RedirectRefused(IOError):
    """The service redirected a request to where it is not followed."""


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

    def waited(self):
        return _pace.clock() - self.started

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
            _terminal.shown("; ".join(texts), 1000) if texts else
            "the answer carried no RID and no error text: %s" % _pages.start(page)))
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
        status = _pages.info(page).get("Status", "").strip().upper()
        search.status = _terminal.shown(status) or "?"
        search.show()
        if status == "READY":
            return
        if status in ("FAILED", "UNKNOWN"):
            raise ValueError("BLAST search %s ended with status %s%s" % (
                search.name(), status,
                " (the search failed at the server)" if status == "FAILED"
                else " (the RID is unknown to the server or has expired)"))
        if status != "WAITING":
            raise ValueError("the %s was answered without a known status (got %r): %s"
                             % (search.request("status request"), status, _pages.start(page)))
        when = polled + search.settings.poll_interval


def _results(search, fields):
    query = [("CMD", "Get"), ("RID", search.rid), ("FORMAT_TYPE", "XML")]
    query += [(field, value) for field, value in fields if field in RESULT_FIELDS]
    answer = _exchange(search, "results request", urllib.urlencode(query), None,
                       search.settings.max_bytes, "that TARVO_BLAST_MAX_BYTES allows")
    start = answer.start(RESULTS_START, "<BlastOutput")
    head = start.lstrip("\xef\xbb\xbf \t\r\n")
    if not head.startswith("<") or "<BlastOutput" not in head:
        answer.close()
        raise ValueError("the %s was answered with something that is not BLAST XML: %s"
                         % (search.request("results request"), _pages.start(start)))
    return answer


def _page(search, what, query, data):
    """The text of a page of the service (not the results)."""
    answer = _exchange(search, what, query, data, MAX_PAGE_BYTES,
                       "a page of the BLAST service may have")
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
        body = _http.fetch(url, data, _http.Timeout(_pace.clock, REQUEST_TIMEOUT,
                                                    search.deadline_at),
                           most, MAX_PAGE_BYTES)
    except failed.TransportError as error:
        raise request.worded(error)
    return Answer(body, request.worded)


class _Request(object):
    """One request of a search, sent at sent: words what went wrong with it."""

    REFUSALS = {
        "scheme": "only http and https are followed",
        "malformed": "that is not an address",
        "downgrade": "it is not followed from https down to plain http",
        "port": "its port is not a TCP port (1 to 65535)",
        "resend": "that would send the form again as a GET, without its fields; set "
                  "TARVO_BLAST_URL to the service's new address",
        "count": "the %d redirects it follows were not enough" % _http.MAX_REDIRECTS,
    }

    def __init__(self, search, name, sent, allowed):
        self.search = search
        self.name = name
        self.sent = sent
        self.allowed = allowed
        self.url = search.settings.url

    def worded(self, error):
        """The error a caller gets for a failure of the transport."""
        if isinstance(error, failed.Expired):
            return self._expired(error)
        if isinstance(error, failed.TooLarge):
            return AnswerTooLarge("the answer to the %s is larger than the %d bytes %s: it %s" % (
                self.name, error.most, self.allowed, "went on past them"
                if error.announced is None else "says it has %d" % error.announced))
        if isinstance(error, failed.Truncated):
            return IOError("the BLAST service at %s closed the connection after %d bytes of "
                           "its answer to the %s, %s" % (
                               self.url, error.received, self.name,
                               "before its last chunk" if error.announced is None
                               else "which announced %d" % error.announced))
        if isinstance(error, failed.Malformed):
            return IOError("the BLAST service at %s gave no proper HTTP answer to the %s: %s"
                           % (self.url, self.name, _terminal.shown(error.detail)))
        if isinstance(error, failed.Refused):
            return RedirectRefused("the BLAST service redirected the %s (HTTP %d) to %s: %s" % (
                self.name, error.code, _terminal.shown(repr(error.target)),
                self.REFUSALS[error.why]))
        if isinstance(error, failed.Broken):
            return IOError("the connection to the BLAST service at %s failed during the %s: %s"
                           % (self.url, self.name, _terminal.shown(str(error.reason))))
        if isinstance(error, failed.Failure):
            page = _Request(self.search, self.name, self.sent,
                            "a page of the BLAST service may have")
            return urllib2.HTTPError(error.url, error.code, _terminal.shown(error.reason),
                                     error.headers, Answer(error.body, page.worded))
        if isinstance(error, failed.Unreachable):
            # A URLError still, as urllib2 raises it, but escaped and naming what was asked.
            return urllib2.URLError("the BLAST service at %s could not be reached for the %s: %s"
                                    % (self.url, self.name, _terminal.shown(str(error.reason))))
        return error

    def _expired(self, expired):
        search = self.search
        if expired.deadline:
            return SearchTimeout(
                "BLAST search %s ran out of time: the %s s that TARVO_BLAST_DEADLINE allows "
                "were over %s (%s s waited in all, %s s of them on that request)" % (
                    search.name(), _span(search.settings.deadline), self._during(expired),
                    _span(search.waited()), _span(_pace.clock() - self.sent)))
        if expired.connecting:
            return SearchTimeout("the BLAST service at %s could not be reached in %s s for the "
                                 "%s (%s s waited in all)" % (
                                     self.url, _span(expired.seconds), self.name,
                                     _span(search.waited())))
        return SearchTimeout("the BLAST service at %s sent nothing for %s s while answering "
                             "the %s (%s s waited in all)" % (
                                 self.url, _span(expired.seconds), self.name,
                                 _span(search.waited())))

    def _during(self, expired):
        if expired.connecting:
            return "while connecting to the BLAST service at %s for the %s" % (self.url,
                                                                              self.name)
        return "while the BLAST service at %s was answering the %s" % (self.url, self.name)


def _out_of_time(search, what):
    return SearchTimeout("BLAST search %s ran out of time: %s s waited (status %s), and the "
                         "next %s would be due when the %s s that TARVO_BLAST_DEADLINE allows "
                         "are over" % (search.name(), _span(search.waited()), search.status,
                                       what, _span(search.settings.deadline)))


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


def _span(seconds):
    return ("%.1f" % seconds).rstrip("0").rstrip(".")
