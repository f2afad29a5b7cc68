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

import HTMLParser
import httplib
import os
import re
import sys
import time
import urllib
import urllib2

from Tarvo.Blast import _http
from Tarvo.Blast._http import AnswerTooLarge, RedirectRefused  # noqa: F401 (qblast raises them)

DEFAULT_URL = "https://blast.ncbi.nlm.nih.gov/Blast.cgi"
TOOL = "Tarvo"
DEFAULT_MIN_INTERVAL = 10.0
DEFAULT_POLL_INTERVAL = 60.0
DEFAULT_DEADLINE = 1800.0
# Far beyond the largest report of the web service's 20,000 hits with long alignments.
DEFAULT_MAX_BYTES = 1024 * 1024 * 1024
# The submission's and the status request's pages are a few kilobytes.
MAX_PAGE_BYTES = 4 * 1024 * 1024
# Seconds one request may wait without a sign of the service; the search's deadline can cut
# any wait shorter.
REQUEST_TIMEOUT = 120.0

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

# Seams for tests: a fake clock replaces both.
_clock = time.time
_sleep = time.sleep
# When this process last sent a request to a BLAST service: the pacing spans searches.
_last_request = [None]


class SearchTimeout(IOError):
    """A request stalled or a search ran past its deadline."""


def qblast(program, database, query, **options):
    """Run one BLAST search on the service and return its XML report as a byte stream.

    GI numbers are asked for unless `ncbi_gi` says otherwise: NCBI leaves them out of its
    reports by default, and callers match hits by them."""
    options.setdefault("ncbi_gi", True)
    fields = _submit_fields(program, database, query, options)
    settings = _settings(os.environ)
    search = _Search(settings, _clock())
    contact = [("email", settings["email"])] if settings["email"] else []
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


def _settings(environ):
    url = environ.get("TARVO_BLAST_URL") or DEFAULT_URL
    if not re.match(r"https?://[^/]", url):
        raise ValueError("TARVO_BLAST_URL must be an http:// or https:// address, not %r" % url)
    return {
        "url": url,
        "email": environ.get("TARVO_BLAST_EMAIL", ""),
        "min_interval": _seconds(environ, "TARVO_BLAST_MIN_INTERVAL", DEFAULT_MIN_INTERVAL, 0),
        "poll_interval": _seconds(environ, "TARVO_BLAST_POLL_INTERVAL", DEFAULT_POLL_INTERVAL, 0),
        "deadline": _seconds(environ, "TARVO_BLAST_DEADLINE", DEFAULT_DEADLINE, None),
        "max_bytes": _bytes(environ, "TARVO_BLAST_MAX_BYTES", DEFAULT_MAX_BYTES),
    }


def _bytes(environ, name, default):
    text = environ.get(name, "").strip()
    if not text:
        return default
    if not text.isdigit() or not int(text):
        raise ValueError("%s must be a whole number of bytes above 0, not %r" % (name, text))
    return int(text)


def _seconds(environ, name, default, least):
    text = environ.get(name, "").strip()
    if not text:
        return default
    try:
        value = float(text)
    except ValueError:
        raise ValueError("%s must be a number of seconds, not %r" % (name, text))
    if value != value or value in (float("inf"), float("-inf")):
        raise ValueError("%s must be a finite number of seconds, not %r" % (name, text))
    if least is None and value <= 0:
        raise ValueError("%s must be more than 0 seconds, not %r" % (name, text))
    if least is not None and value < least:
        raise ValueError("%s must be at least %g seconds, not %r" % (name, least, text))
    return value


class _Search(object):
    """One search's clock, deadline and progress line."""

    def __init__(self, settings, started):
        self.settings = settings
        self.started = started
        self.submitted = started
        self.deadline_at = started + settings["deadline"]
        self.rid = None
        self.status = "not submitted"
        self.shown = 0

    def name(self):
        return "RID %s" % _http.shown(self.rid) if self.rid else "(no RID yet)"

    def request(self, what):
        """The request named for a message: "status request for RID ..."."""
        return "%s %s" % (what, "for " + self.name() if self.rid else self.name())

    def waited(self):
        return _clock() - self.started

    def show(self):
        stream = sys.stderr
        if not self.rid or not _is_terminal(stream):
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


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _submit(search, fields):
    page = _request(search, "submission", None, urllib.urlencode(fields))
    search.submitted = _clock()
    info = _info(page)
    rid = info.get("RID", "").strip()
    if not rid:
        raise ValueError("the BLAST service refused the search: %s" % _error_text(page))
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
        page = _request(search, "status request", query, None)
        polled = _last_request[0]
        status = _info(page).get("Status", "").strip().upper()
        search.status = _http.shown(status) or "?"
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
                             % (search.request("status request"), status, _start(page)))
        when = polled + search.settings["poll_interval"]


def _results(search, fields):
    query = [("CMD", "Get"), ("RID", search.rid), ("FORMAT_TYPE", "XML")]
    query += [(field, value) for field, value in fields if field in RESULT_FIELDS]
    body = _request(search, "results request", urllib.urlencode(query), None, results=True)
    start = body.read(4096)
    body.seek(0)
    head = start.lstrip("\xef\xbb\xbf \t\r\n")
    if not head.startswith("<") or "<BlastOutput" not in head:
        raise ValueError("the %s was answered with something that is not BLAST XML: %s"
                         % (search.request("results request"), _start(start)))
    return body


def _request(search, what, query, data, results=False):
    """Send one request, no sooner than the process's pacing allows; return the body, as a
    stream for the results and as text for a page."""
    settings = search.settings
    if _last_request[0] is not None:
        _wait_until(search, _last_request[0] + settings["min_interval"], what)
    if _clock() >= search.deadline_at:
        raise _out_of_time(search, what)
    url = settings["url"] + ("?" + query if query else "")
    sent = _last_request[0] = _clock()
    request = search.request(what)
    if results:
        most, allowed = settings["max_bytes"], "that TARVO_BLAST_MAX_BYTES allows"
    else:
        most, allowed = MAX_PAGE_BYTES, "a page of the BLAST service may have"
    try:
        body = _http.fetch(url, data, request,
                           _http.Limits(_clock, REQUEST_TIMEOUT, search.deadline_at), most,
                           allowed)
    except urllib2.URLError as error:
        if isinstance(error, urllib2.HTTPError) or not isinstance(error.reason, _http.Expired):
            raise
        raise _expired(search, request, error.reason, sent)
    except _http.Expired as error:
        raise _expired(search, request, error, sent)
    except httplib.HTTPException as error:
        raise IOError("the BLAST service at %s gave no proper HTTP answer to the %s: %s"
                      % (settings["url"], request, _http.shown("%s: %s" % (
                          type(error).__name__, error))))
    return body if results else body.getvalue()


def _expired(search, request, expired, sent):
    settings = search.settings
    if expired.deadline:
        return SearchTimeout(
            "BLAST search %s ran out of time: the %s s that TARVO_BLAST_DEADLINE allows were "
            "over while the BLAST service at %s was answering the %s (%s s waited in all, %s "
            "s of them on that request)" % (
                search.name(), _span(settings["deadline"]), settings["url"], request,
                _span(search.waited()), _span(_clock() - sent)))
    return SearchTimeout("the BLAST service at %s sent nothing for %s s while answering the %s "
                         "(%s s waited in all)" % (settings["url"], _span(expired.seconds),
                                                  request, _span(search.waited())))


def _out_of_time(search, what):
    return SearchTimeout("BLAST search %s ran out of time: %s s waited (status %s), and the "
                         "next %s would be due when the %s s that TARVO_BLAST_DEADLINE allows "
                         "are over" % (search.name(), _span(search.waited()), search.status,
                                       what, _span(search.settings["deadline"])))


def _wait_until(search, when, what):
    if when >= search.deadline_at:
        raise _out_of_time(search, what)
    step = 1.0 if _is_terminal(sys.stderr) else None
    while True:
        now = _clock()
        if now >= when:
            return
        search.show()
        _sleep(min(when - now, step) if step else when - now)


def _span(seconds):
    return ("%.1f" % seconds).rstrip("0").rstrip(".")


_INFO_BLOCK = re.compile(r"QBlastInfoBegin(.*?)QBlastInfoEnd", re.S)
_INFO_FIELD = re.compile(r"^\s*(\w+)\s*=[ \t]*(.*?)\s*$", re.M)


def _info(page):
    """The key = value pairs of the page's QBlastInfo blocks; the first of a key wins."""
    fields = {}
    for block in _INFO_BLOCK.findall(page):
        for key, value in _INFO_FIELD.findall(block):
            fields.setdefault(key, value)
    return fields


_ERROR_ELEMENT = re.compile(
    r"""<(\w+)[^>]*\bclass\s*=\s*["'][^"']*error[^"']*["'][^>]*>(.*?)</\1\s*>""", re.S | re.I)


def _error_text(page):
    """The error texts of the page, else the start of its text."""
    texts = [_plain(inner) for _, inner in _ERROR_ELEMENT.findall(page)]
    texts = [text for text in texts if text]
    if texts:
        return _http.shown("; ".join(texts), 1000)
    return "the answer carried no RID and no error text: %s" % _start(page)


def _plain(markup):
    text = re.sub(r"<[^>]*>", " ", markup)
    text = HTMLParser.HTMLParser().unescape(text.decode("utf-8", "replace"))
    return " ".join(text.split()).encode("utf-8")


def _start(body, size=200):
    """The start of an answer, for an error message."""
    if not body.strip():
        return "(an empty answer)"
    text = " ".join(body[:size].split())
    return repr(text + ("..." if len(body) > size else ""))
