"""The URL API: CMD=Put, CMD=Get (status and XML results) and CMD=Delete, answered as the NCBI
web service answers them, with the injected faults applied."""
import collections

from . import pages, report
from .errors import Refused
from .form import value
from .jobs import FAILED, READY, UNKNOWN, WAITING
from .submission import list_size, read_submission, switch

# The HTTP status, the content type and the body of an answer (a page's text, or a
# report.Served), and how long it is held back.
Answer = collections.namedtuple("Answer", "status content_type body stall")
HTML = "text/html; charset=utf-8"
XML = "text/xml; charset=utf-8"


def html(text, status=200, stall=0.0):
    return Answer(status, HTML, text, stall)


def unknown(rid):
    return html(pages.error("RID %r is unknown: it was never issued or its results have expired" % rid, UNKNOWN))


class Api:
    def __init__(self, database, store, faults, rtoe, log=print, status_wait=0.0):
        self.database = database
        self.store = store
        self.faults = faults
        self.rtoe = rtoe
        # How long a status request for a running search is held for it to finish: 0 answers at
        # once, as NCBI does; a local client polling without pause then needs no busy loop.
        self.status_wait = status_wait
        self.log = log

    def answer(self, form):
        """The Answer to a request's form (upper-case name -> [values])."""
        command = value(form, "CMD").lower()
        if command == "put":
            return self.put(form)
        if command == "get":
            return self.get(form)
        if command == "delete":
            return self.delete(form)
        return html(pages.error("CMD must be Put, Get or Delete; received %r" % value(form, "CMD")), 400)

    def injected(self, program, step):
        """The injected HTTP failure of a step, or None; and how long its answer is held back."""
        stall = self.faults.stall_seconds(program, step)
        status = self.faults.http_status(program, step)
        if status is None:
            return None, stall
        self.log("injected HTTP %d for %s's %s request" % (status, program, step))
        return html(pages.error("HTTP %d (injected for %s's %s request)" % (status, program, step)),
                    status, stall), stall

    def put(self, form):
        program = value(form, "PROGRAM").lower()
        failure, stall = self.injected(program, "put")
        if failure:
            return failure
        try:
            refusal = self.faults.refusal(program)
            if refusal:
                raise Refused(refusal)
            search = read_submission(self.database, form)
            rid = self.store.submit(program, search, self.faults.job_seconds(program),
                                    self.faults.job_failure(program))
        except Refused as refusal:
            self.log("refused a submission: %s" % refusal)
            return html(pages.error(str(refusal)), stall=stall)
        self.log("search %s (%s) submitted" % (rid, program))
        return html(pages.submitted(rid, self.rtoe), stall=stall)

    def get(self, form):
        rid = value(form, "RID")
        if not rid:
            return html(pages.error("RID is missing: CMD=Get needs the RID that CMD=Put answered"), 400)
        state, job = self.store.lookup(rid)
        asks_status = value(form, "FORMAT_OBJECT").lower() == "searchinfo"
        failure, stall = self.injected(job.program if job else "any", "status" if asks_status else "results")
        if failure:
            return failure
        if asks_status:
            if state == WAITING and self.status_wait > 0:
                state, job = self.store.wait_finished(rid, self.status_wait)
            return html(self.status_page(state, job), stall=stall)
        return self.results(form, rid, state, job)._replace(stall=stall)

    @staticmethod
    def status_page(state, job):
        if state == READY:
            return pages.status(READY, job.has_hits)
        if state == FAILED:
            return pages.status(FAILED, detail="The search failed: %s" % job.error)
        return pages.status(state)

    def results(self, form, rid, state, job):
        format_type = value(form, "FORMAT_TYPE") or "HTML"
        if format_type.upper() != "XML":
            return html(pages.error("this service answers results as FORMAT_TYPE=XML only; received %r"
                                    % format_type))
        if state == UNKNOWN:
            return unknown(rid)
        if state == WAITING:
            return html(pages.status(WAITING))
        if state == FAILED:
            return html(pages.error("The search %s failed: %s" % (rid, job.error), FAILED))
        try:
            # The results request's NCBI_GI, when it has one, rules this report.
            size, show_gi = list_size(form), switch(form, "NCBI_GI", job.search.show_gi)
        except Refused as refusal:
            return html(pages.error(str(refusal)))
        stream = self.store.open_report(job)
        if stream is None:   # dropped since it was looked up
            return unknown(rid)
        self.store.fetched(job)
        return Answer(200, XML, report.Served(stream, size, show_gi), 0.0)

    def delete(self, form):
        rid = value(form, "RID")
        if not self.store.delete(rid):
            return html(pages.error("RID %r is unknown: it was never issued or has expired" % rid, UNKNOWN))
        return html(pages.page("BLAST", "<p>The search %s was deleted.</p>\n" % rid))
