"""A search the store holds, the statuses it answers, and its run into a folder of its own."""
import collections
import os

from ..errors import BlastFailed
from ..files import remove
from .listing import query_title

WAITING, READY, FAILED, UNKNOWN = "WAITING", "READY", "FAILED", "UNKNOWN"
# What a client is told when the service itself fails running a search: the log has the rest,
# which names the service's own files.
SERVICE_FAILED = "the service failed while running the search (its log says why)"


class Job:
    def __init__(self, rid, program, search, submitted, ready_after, failure):
        self.rid = rid
        self.program = program
        self.search = search
        self.title = query_title(search)  # for lists of the searches held, once the query is let go
        self.submitted = submitted
        self.ready_after = ready_after    # a job made to take longer stays WAITING until then
        self.failure = failure            # a failure to report instead of running the search
        self.finished = None
        self.running = False              # taken by a worker, its run not yet over
        self.folder = None                # the search's own folder, once it has succeeded
        self.files = {}                   # its run's files (name -> size), once it has succeeded
        self.derived = {}                 # files made from them for its reports, kept beside them
        self.record = 0                   # bytes of its record in the state
        self.formatted = collections.OrderedDict()    # a report's key (report_key) -> its path
        self.making = {}                  # a report's key -> kept.Making, while it is made
        self.watch = None                 # what the guideline checker keeps of it
        self.has_hits = False
        self.error = None
        self.fetched = False
        self.dropped = False
        self.attempts = 0                 # runs started, counting those a stop cut short
        self.used = submitted             # when its results were last asked for

    def status(self, now):
        if self.finished is None or now < self.ready_after:
            return WAITING
        return FAILED if self.error is not None else READY

    def done_at(self):
        return max(self.finished, self.ready_after)

    def disk(self):
        return self.record + sum(self.files.values()) + sum(self.derived.values())

    def let_go_of_query(self):
        """Once its run is over: a query may be megabytes, and its reports need all of the search
        but that (a search that has ended never runs again; with --state its record keeps it)."""
        if getattr(self.search, "query_text", None) is not None:
            self.search = self.search._replace(query_text=None)


def own_files(folder):
    """{name: size} of the files a search's run left in its folder."""
    return {entry.name: entry.stat().st_size for entry in os.scandir(folder) if entry.is_file()}


def run_search(run, search, folder):
    """(error or None, has_hits, its own files) of `run(search, folder)` in the search's own
    folder, made afresh: a run that a stop cut short may have left one. Failures other than
    BlastFailed are raised."""
    remove(folder)
    os.mkdir(folder)
    try:
        has_hits = run(search, folder).has_hits
    except BlastFailed as failure:
        return str(failure), False, {}
    return None, has_hits, own_files(folder)
