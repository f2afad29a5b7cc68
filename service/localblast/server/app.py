"""The service as a WSGI application: the URL API at its three addresses, the service's page,
and the request journal. Each request is logged and journaled once it is answered."""
import http
import json
import traceback

from ..api.commands import Answer
from ..journal.journal import FilterRefused, Journal
from ..pages import api_pages, home
from ..pages.api_pages import HTML
from ..reports.edits import Served
from ..request.echo import shown
from ..request.fields import text as value
from .access import is_loopback
from .form import FormRefused, request_form, wsgi_text
from .holds import Holds
from .limits import FIELDS, Limits

PATH = "/Blast.cgi"
# NCBI's two addresses of the URL API, and that of its cloud images.
PATHS = (PATH, "/blast/Blast.cgi", "/cgi-bin/blast.cgi")
JOURNAL_PATH = "/journal"
JSON = "application/json"
METHODS = ("GET", "HEAD", "POST")
# What this service's waitress adds to a request's environment (see channel.py): when its head
# began to arrive, on the Api's clock (the guidelines judge by it) and as a Unix time.
ARRIVED = "localblast.arrived"
ARRIVED_AT = "localblast.arrived_at"
LOGGED_URI = 300    # characters of a request's URI in its log line


class Dropped(Exception):
    """An answer given up without a word, since the service is stopping."""


def status_line(code):
    try:
        return "%d %s" % (code, http.HTTPStatus(code).phrase)
    except ValueError:
        return "%d Status %d" % (code, code)


class OwnPage(Answer):
    """An answer that is one of the service's own pages (not the API's), sent with a policy
    that lets it load nothing from elsewhere and run no script, whatever it came to hold."""
    __slots__ = ()


OWN_PAGE_POLICY = ("default-src 'none'; style-src 'unsafe-inline'; img-src data:; form-action 'self'; "
                   "base-uri 'none'; frame-ancestors 'none'")


def page_answer(status, text):
    return Answer(status, HTML, text, 0.0)


def json_answer(status, document):
    return Answer(status, JSON, json.dumps(document) + "\n", 0.0)


def logged(text):
    """`text` as a log line shows it: cut, naming its full length."""
    return text if len(text) <= LOGGED_URI else "%s... [%d characters]" % (text[:LOGGED_URI], len(text))


class Application:
    """`holds` bounds the answers held back at once; `stopping` (an Event) is set when the
    service stops, and held answers then give up; `share_journal` lets clients that are not on
    loopback see the journal and the lists of searches."""

    def __init__(self, api, journal=None, holds=None, stopping=None, share_journal=False, fields=FIELDS):
        self.api = api
        self.journal = journal if journal is not None else Journal()
        self.holds = holds if holds is not None else Holds(Limits.held)
        self.stopping = stopping
        self.share_journal = share_journal
        self.fields = fields
        self.site = home.Site(api, self.journal, PATHS, JOURNAL_PATH)

    def __call__(self, environ, start_response):
        arrived = environ[ARRIVED] if ARRIVED in environ else self.api.clock()
        form = {}
        try:
            form, answer = self.route(environ, arrived)
        except Exception:
            self.api.log("internal error:\n" + traceback.format_exc())
            answer = page_answer(500, api_pages.error("the service failed to answer this request (see its log)"))
        # An answer that stalls holds a slot of self.holds, taken before its command was carried out.
        stall = answer.stall
        try:
            self.note(environ, form, answer)
            if stall:
                self.hold(answer)
        finally:
            if stall:
                self.holds.give()
        return self.respond(environ, start_response, answer)

    def may_list(self, environ):
        """Whether the client may see others' requests: the journal and the searches held."""
        return self.share_journal or is_loopback(environ.get("REMOTE_ADDR", ""))

    def route(self, environ, arrived):
        """(form, Answer) of a request."""
        path, method = wsgi_text(environ.get("PATH_INFO", "")), environ["REQUEST_METHOD"]
        if path != "/" and path not in PATHS and path != JOURNAL_PATH:
            return {}, page_answer(404, api_pages.error("no such page: this service answers at %s; asked for %s"
                                                        % (", ".join(PATHS + ("/", JOURNAL_PATH)), shown(path))))
        if method not in METHODS or (path == JOURNAL_PATH and method == "POST"):
            return {}, page_answer(405, api_pages.error("%s answers GET%s; received %s"
                                                        % (path, " and POST" if path != JOURNAL_PATH else "",
                                                           shown(method))))
        if path == JOURNAL_PATH:
            return {}, self.journal_answer(environ)
        try:
            form = request_form(environ, self.fields)
        except FormRefused as refusal:
            return {}, page_answer(refusal.status, api_pages.error(str(refusal)))
        command = value(form, "CMD")
        if path == "/" or not command:
            status, text = home.page(self.site, form, self.may_list(environ), path)
            return form, OwnPage(status, HTML, text, 0.0)
        if command.lower() == "displayrids" and not self.may_list(environ):
            return form, page_answer(403, api_pages.error(
                "the list of searches answers clients on this machine only (the service was started "
                "without --share-journal); a search is read by its RID"))
        return form, self.api.answer(form, arrived, self.holds)

    def journal_answer(self, environ):
        if not self.may_list(environ):
            return json_answer(403, {"error": "the journal answers clients on this machine only (the service was "
                                              "started without --share-journal)"})
        try:
            return Answer(200, JSON, self.journal.answer(wsgi_text(environ.get("QUERY_STRING", ""))), 0.0)
        except FilterRefused as refusal:
            return json_answer(400, {"error": str(refusal)})

    def note(self, environ, form, answer, request_line=None):
        """Logs a line for an answered request, and journals it (not the journal's own)."""
        address, method = environ.get("REMOTE_ADDR", ""), environ["REQUEST_METHOD"]
        if request_line is None:
            request_line = "%s %s %s" % (method, environ.get("REQUEST_URI", ""), environ.get("SERVER_PROTOCOL", ""))
        self.api.log('%s "%s" %d' % (address, logged(request_line), answer.status))
        path = wsgi_text(environ.get("PATH_INFO", ""))
        if path == JOURNAL_PATH:
            return
        put = value(form, "CMD").lower() == "put" and answer.rid
        self.journal.record(method, path, form, address, answer.status, answer.rid,
                            self.api.rtoe if put else None, answer.guidelines, environ.get(ARRIVED_AT))

    def hold(self, answer):
        """Holds an answer back for its stall; Dropped when the service stops meanwhile."""
        self.api.log("holding an answer back %g s (--stall)" % answer.stall)
        if self.stopping is not None and self.stopping.wait(answer.stall):
            self.api.log("a held answer was dropped: the service is stopping")
            close(answer)
            raise Dropped()

    @staticmethod
    def respond(environ, start_response, answer):
        headers = [("Content-Type", answer.content_type)]
        if isinstance(answer, OwnPage):
            headers.append(("Content-Security-Policy", OWN_PAGE_POLICY))
        if answer.status == 405:
            headers.append(("Allow", "GET, HEAD" if environ.get("PATH_INFO") == JOURNAL_PATH else ", ".join(METHODS)))
        head_only = environ["REQUEST_METHOD"] == "HEAD"
        if isinstance(answer.body, str):
            body = answer.body.encode("utf-8")
            start_response(status_line(answer.status), headers + [("Content-Length", str(len(body)))])
            return [] if head_only else [body]
        if not isinstance(answer.body, Served):
            # Made as it is sent (the journal's answer), its length unknown beforehand: waitress
            # sends it chunked, and would send the chunks' end after HEAD's headers too, so HEAD
            # makes it to count its length instead.
            if head_only:
                length = sum(len(piece.encode("utf-8")) for piece in answer.body)
                start_response(status_line(answer.status), headers + [("Content-Length", str(length))])
                return []
            start_response(status_line(answer.status), headers)
            return (piece.encode("utf-8") for piece in answer.body)
        served = answer.body
        if served.filename:
            headers.append(("Content-Disposition", "attachment; filename=\"%s\"" % served.filename))
        start_response(status_line(answer.status), headers + [("Content-Length", str(served.length()))])
        if head_only:
            served.close()
            return []
        served.stream.seek(0)
        # waitress sends the file from its own loop: no thread waits on a client that reads slowly.
        return environ["wsgi.file_wrapper"](served.stream, 64 * 1024)


def close(answer):
    if not isinstance(answer.body, str):
        answer.body.close()
