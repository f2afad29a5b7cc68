"""The URL API: CMD=Put, CMD=Get (status and reports), CMD=Delete and CMD=DisplayRIDs, answered
as the NCBI web service answers them, with the injected faults applied."""
import collections
import threading
import time

from ..errors import BlastFailed, Refused
from ..pages import api_pages
from ..pages.api_pages import HTML, TEXT
from ..reports import edits, formats
from ..request import reading
from ..request.submission import search_for
from ..store.jobs import FAILED, READY, UNKNOWN, WAITING
from .guidelines import Guidelines

# The HTTP status, the content type and the body of an answer (a page's text, an edits.Served,
# or an iterator of the pieces of a text made as it is sent), and how long it is held back; for
# the request journal, the RID it concerns and the rules of the usage guidelines it broke (None
# when they are not kept in view).
Answer = collections.namedtuple("Answer", "status content_type body stall rid guidelines", defaults=("", None))


def html(text, status=200, stall=0.0):
    return Answer(status, HTML, text, stall)


class Api:
    """`formatter(search, folder, rid, shape, path)` writes a search's report of a shape (see
    formatting.make); `guidelines` (a Guidelines) judges requests by when they arrive on `clock`."""

    def __init__(self, database, store, faults, rtoe, log=print, status_wait=0.0, formatter=None,
                 guidelines=None, clock=time.monotonic, holds=None):
        self.database = database
        self.store = store
        self.faults = faults
        self.rtoe = rtoe
        # How long a status request for a running search is held for it to finish: 0 answers at
        # once, as NCBI does; a local client polling without pause then needs no busy loop.
        self.status_wait = status_wait
        # Bounds the answers held at once, stalled ones and status requests (a server.holds.Holds;
        # None: no bound), unless a request is answered with holds of its own.
        self.holds = holds
        self.formatter = formatter
        self.guidelines = guidelines or Guidelines()
        self.clock = clock
        self.log = log
        # Of the request being answered: the guidelines' verdicts on it, the holds that bound it,
        # and the one whose answer slot it took.
        self._request = threading.local()

    def answer(self, form, arrived=None, holds=None):
        """The Answer to a request's form (upper-case name -> [values]) that arrived at
        `arrived` on the Api's clock (None: now), with the RID it concerns and the guidelines'
        verdicts on it. `holds` (None: the Api's) bounds the answers held back: one that stalls
        keeps a slot of them, which the caller gives back once it has held the answer."""
        arrived = self.clock() if arrived is None else arrived
        self._request.broken = []
        self._request.holds = holds if holds is not None else self.holds
        self._request.taken = None
        try:
            try:
                request = reading.read_request(form, self.database)
            except reading.BadRequest as refusal:
                request, answer = None, html(api_pages.error(str(refusal)), 400)
            else:
                answer = self.command(request, arrived)
        except BaseException:
            self.give_slot()
            raise
        if not answer.stall:
            self.give_slot()
        return answer._replace(rid=answer.rid or getattr(request, "rid", ""),
                               guidelines=list(self._request.broken) if self.guidelines.mode else None)

    def take_slot(self):
        """Whether the answer being made may be held back: a slot of the holds is taken for it."""
        holds = self._request.holds
        if holds is None:
            return True
        if not holds.take():
            return False
        self._request.taken = holds
        return True

    def give_slot(self):
        if self._request.taken is not None:
            self._request.taken.give()
            self._request.taken = None

    def command(self, request, arrived):
        if isinstance(request, reading.Put):
            return self.put(request, arrived)
        if isinstance(request, reading.Delete):
            return self.delete(request, arrived)
        if isinstance(request, reading.ListRids):
            return self.display_rids(request, arrived)
        return self.get(request, arrived)

    def client(self, request, job=None):
        return self.guidelines.client(request.client.tool, request.client.email, job.watch if job else None)

    def guideline_refusal(self, broken):
        """Logs each broken guideline; under enforce, the answer that refuses the request, else None."""
        self._request.broken += broken
        for rule in broken:
            self.log("guideline broken: %s" % rule)
        if broken and self.guidelines.enforced:
            return html(api_pages.error("Refused under NCBI's usage guidelines (--guidelines enforce): %s"
                                        % "; ".join(broken)), 429)
        return None

    def injected(self, program, step):
        """The injected HTTP failure of a step, or None; and how long its answer is held back.
        A slot for the held answer is taken before the step is carried out: when none is left,
        the answer is HTTP 503 and the step is not carried out (a submission is not submitted)."""
        stall = self.faults.stall_seconds(program, step)
        if stall and not self.take_slot():
            limit = self._request.holds.limit
            self.log("a stalled answer to %s's %s request is HTTP 503: %d answers are held back already (--max-held)"
                     % (program, step, limit))
            return html(api_pages.error("%d answers are held back already, this service's limit (--max-held); "
                                        "ask again later" % limit), 503), 0.0
        status = self.faults.http_status(program, step)
        if status is None:
            return None, stall
        self.log("injected HTTP %d for %s's %s request" % (status, program, step))
        return html(api_pages.error("HTTP %d (injected for %s's %s request)" % (status, program, step)),
                    status, stall), stall

    def put(self, request, arrived):
        client = self.client(request)
        refusal = self.guideline_refusal(self.guidelines.request(client, arrived) + self.guidelines.submission(
            request.client.tool, request.client.email))
        if refusal:
            return refusal
        failure, stall = self.injected(request.program, "put")
        if failure:
            return failure
        try:
            refusal = self.faults.refusal(request.program) or request.refusal
            if refusal:
                raise Refused(refusal)
            search = search_for(self.database, request.submission)
            rid = self.store.submit(request.program, search, self.faults.job_seconds(request.program),
                                    self.faults.job_failure(request.program),
                                    self.guidelines.watch(client, arrived, self.rtoe))
        except Refused as refusal:
            self.log("refused a submission: %s" % refusal)
            return html(api_pages.error(str(refusal)), stall=stall)
        self.log("search %s (%s) submitted" % (rid, request.program))
        return html(api_pages.submitted(rid, self.rtoe), stall=stall)._replace(rid=rid)

    def get(self, request, arrived):
        state, job = self.store.lookup(request.rid)
        asks_status = isinstance(request, reading.Status)
        broken = self.guidelines.request(self.client(request, job), arrived)
        if job is not None and (asks_status or state == WAITING):
            broken += self.guidelines.poll(request.rid, job.watch, arrived)
        refusal = self.guideline_refusal(broken)
        if refusal:
            return refusal
        failure, stall = self.injected(job.program if job else "any", "status" if asks_status else "results")
        if failure:
            return failure
        if asks_status:
            if state == WAITING and self.status_wait > 0:
                state, job = self.held_status(request.rid, state, job)
            return html(self.status_page(state, job), stall=stall)
        return self.results(request, state, job)._replace(stall=stall)

    def held_status(self, rid, state, job):
        """(state, job) once the running search of `rid` has finished, or --status-wait has
        passed; at once when as many status requests are held as the server allows."""
        holds = self._request.holds
        if holds is not None and not holds.take():
            self.log("the status request for %s is answered at once: %d answers are held back already "
                     "(--max-held)" % (rid, holds.limit))
            return state, job
        try:
            return self.store.wait_finished(rid, self.status_wait)
        finally:
            if holds is not None:
                holds.give()

    @staticmethod
    def status_page(state, job):
        if state == READY:
            return api_pages.status(READY, job.has_hits)
        if state == FAILED:
            return api_pages.status(FAILED, detail="The search failed: %s" % job.error)
        return api_pages.status(state)

    def results(self, request, state, job):
        rid = request.rid
        if state == UNKNOWN:
            return html(api_pages.unknown(rid))
        try:
            # Checked before the search's state, so that a malformed request says so at once.
            if request.refusal:
                raise Refused(request.refusal)
            shape = formats.requested(request.report, job.search)
        except Refused as refusal:
            return html(api_pages.error(str(refusal)))
        if state == WAITING:
            return html(api_pages.status(WAITING))
        if state == FAILED:
            return html(api_pages.error("The search %s failed: %s" % (rid, job.error), FAILED))
        try:
            stream = self.store.open_report(job, shape, lambda path: self.formatter(
                job.search, job.folder, rid, shape, path))
        except (BlastFailed, OSError) as failure:
            self.log("the %s report of %s could not be made: %s" % (shape.format.name, rid, failure))
            return html(api_pages.error("The %s report of %s could not be made: %s"
                                        % (shape.format.name, rid, failure)), 500)
        if stream is None:   # dropped since it was looked up
            return html(api_pages.unknown(rid))
        self.store.fetched(job)
        filename = "%s.%s" % (rid, shape.format.extension) if request.report.download else None
        return Answer(200, shape.format.content_type, edits.Served(stream, filename), 0.0)

    def display_rids(self, request, arrived):
        refusal = self.guideline_refusal(self.guidelines.request(self.client(request), arrived))
        return refusal or Answer(200, TEXT, api_pages.rid_list(self.store.held()), 0.0)

    def delete(self, request, arrived):
        refusal = self.guideline_refusal(self.guidelines.request(
            self.client(request, self.store.lookup(request.rid)[1]), arrived))
        if refusal:
            return refusal
        if not self.store.delete(request.rid):
            return html(api_pages.unknown(request.rid))
        return html(api_pages.page("BLAST", "<p>The search %s was deleted.</p>\n" % request.rid))

