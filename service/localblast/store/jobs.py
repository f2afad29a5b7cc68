"""The searches the service holds, by RID: run in the background by a few worker threads, kept
for a while after they finish, at most a given number at once. A search's archive and reports
are files in a folder of its own in the store's temporary folder, removed when the search is
dropped and when the store closes: reports can be far larger than the queries that asked for
them. Each formatted report is made once and kept with its search, a few at a time."""
import collections
import itertools
import os
import queue
import secrets
import shutil
import string
import tempfile
import threading
import time
import traceback

from ..errors import STOPPING, BlastFailed, Refused
from ..reports import edits
from ..reports.formatting import WHOLE_XML

WAITING, READY, FAILED, UNKNOWN = "WAITING", "READY", "FAILED", "UNKNOWN"
RID_LETTERS = string.ascii_uppercase + string.digits
# Formatted reports kept per search: beyond it the least recently asked for is made again.
KEPT_REPORTS = 16


class Job:
    def __init__(self, rid, program, search, submitted, ready_after, failure):
        self.rid = rid
        self.program = program
        self.search = search
        self.submitted = submitted
        self.ready_after = ready_after    # a job made to take longer stays WAITING until then
        self.failure = failure            # a failure to report instead of running the search
        self.finished = None
        self.folder = None                # the search's own folder, once it is run
        self.report = None                # the XML report's path, once the search has succeeded
        self.formatted = collections.OrderedDict()    # a report's shape -> its path
        self.formatting = threading.Lock()            # one report made at a time per search
        self.watch = None                 # what the guideline checker keeps of it
        self.has_hits = False
        self.error = None
        self.fetched = False
        self.dropped = False

    def status(self, now):
        if self.finished is None or now < self.ready_after:
            return WAITING
        return FAILED if self.error is not None else READY

    def done_at(self):
        return max(self.finished, self.ready_after)


class JobStore:
    """`run(search, folder)` writes the search's archive and XML report into `folder` or raises
    BlastFailed; it runs on `workers` threads. Finished jobs are dropped `keep` seconds after they are done."""

    def __init__(self, run, keep, max_jobs, workers, clock=time.monotonic, log=print):
        # `clock` gives the seconds that jobs age by and that held status requests wait.
        self._run = run
        self.keep = keep
        self.max_jobs = max_jobs
        self._clock = clock
        self._log = log
        self.folder = tempfile.mkdtemp(prefix="localblast-")
        self._lock = threading.Lock()
        self._finished = threading.Condition(self._lock)
        self._closed = False
        self._jobs = {}
        self._serial = itertools.count(1)
        self._report_numbers = itertools.count(1)
        self._queue = queue.Queue()
        self._workers = [threading.Thread(target=self._work, name="blast-worker-%d" % number, daemon=True)
                         for number in range(workers)]
        for worker in self._workers:
            worker.start()

    def new_rid(self):
        # The serial number keeps an RID from ever naming two searches; the random part keeps
        # RIDs from being guessed.
        return "".join(secrets.choice(RID_LETTERS) for _ in range(6)) + "%05d" % next(self._serial)

    def submit(self, program, search, duration=0.0, failure=None, watch=None):
        """The RID of a new job; Refused when the store is full of unfinished jobs or closed."""
        with self._lock:
            if self._closed:
                raise Refused(STOPPING)
            now = self._clock()
            self._drop_expired(now)
            if len(self._jobs) >= self.max_jobs and not self._make_room(now):
                raise Refused("the service already holds %d searches that have not finished "
                              "(its limit); submit again when one has finished" % len(self._jobs))
            job = Job(self.new_rid(), program, search, now, now + duration, failure)
            job.watch = watch
            self._jobs[job.rid] = job
        self._queue.put(job)
        return job.rid

    def lookup(self, rid):
        """(status, job) for an RID; (UNKNOWN, None) for one never issued or dropped."""
        with self._lock:
            now = self._clock()
            self._drop_expired(now)
            job = self._jobs.get(rid)
            if job is None:
                return UNKNOWN, None
            return job.status(now), job

    def wait_finished(self, rid, timeout):
        """(status, job) as lookup gives them, after waiting up to `timeout` seconds of its clock for a
        running job to finish; the wait ends when the store closes."""
        end = self._clock() + timeout
        with self._finished:
            job = self._jobs.get(rid)
            held = False
            while (job is not None and not job.dropped and not self._closed
                   and job.status(self._clock()) == WAITING):
                left = end - self._clock()
                if left <= 0:
                    break
                if job.finished is not None:  # made to take longer: nothing will signal its end
                    left = min(left, job.ready_after - self._clock())
                if not held:
                    self._log("holding the status request for %s up to %g s for its search to finish"
                              % (rid, timeout))
                    held = True
                self._finished.wait(left)
        return self.lookup(rid)

    def open_report(self, job, shape, make):
        """The job's report of `shape` opened for reading, made by `make(path)` the first time it
        is asked for; None once the job has been dropped (an open file stays readable after it
        is removed). BlastFailed when it cannot be made."""
        with job.formatting:
            with self._lock:
                if job.dropped or job.folder is None:
                    return None
                path = job.formatted.get(shape)
                if path is not None:
                    job.formatted.move_to_end(shape)
                    return open(path, "rb")
                path = os.path.join(job.folder, "report-%d" % next(self._report_numbers))
            try:
                make(path)
            except BaseException:
                edits.remove(path)
                with self._lock:
                    if job.dropped:   # its folder went while the report was being made
                        self._remove_again(job)
                        return None
                raise
            with self._lock:
                if job.dropped:
                    self._remove_again(job)
                    return None
                job.formatted[shape] = path
                while len(job.formatted) > KEPT_REPORTS:
                    edits.remove(job.formatted.popitem(last=False)[1])
                return open(path, "rb")

    def fetched(self, job):
        """Notes that the job's results were sent: when room is needed, such jobs go first."""
        with self._lock:
            job.fetched = True

    def delete(self, rid):
        with self._lock:
            job = self._jobs.get(rid)
            if job is not None:
                self._drop(job)
            return job is not None

    def held(self):
        """(rid, status) of every job held, oldest first."""
        with self._lock:
            now = self._clock()
            self._drop_expired(now)
            return [(job.rid, job.status(now)) for job in self._jobs.values()]

    def count(self):
        with self._lock:
            return len(self._jobs)

    def close(self):
        """Ends held status requests, lets the workers finish (searches still queued fail at
        once; a stuck one is not waited for long) and removes the reports' folder."""
        with self._lock:
            self._closed = True
            self._finished.notify_all()
        for _ in self._workers:
            self._queue.put(None)
        for worker in self._workers:
            worker.join(30)
        shutil.rmtree(self.folder, ignore_errors=True)

    def _drop(self, job):
        job.dropped = True
        del self._jobs[job.rid]
        if job.folder is not None:
            shutil.rmtree(job.folder, ignore_errors=True)

    @staticmethod
    def _remove_again(job):
        # A report made while its job was dropped may have written into the folder as it went.
        shutil.rmtree(job.folder, ignore_errors=True)

    def _drop_expired(self, now):
        for job in list(self._jobs.values()):
            if job.finished is not None and now - job.done_at() > self.keep:
                self._drop(job)

    def _make_room(self, now):
        """Drops the oldest finished job, one already fetched first; False if none has finished."""
        finished = [job for job in self._jobs.values() if job.status(now) != WAITING]
        if not finished:
            return False
        self._drop(min(finished, key=lambda job: (not job.fetched, job.done_at())))
        return True

    def _work(self):
        while True:
            job = self._queue.get()
            if job is None:
                return
            folder = os.path.join(self.folder, job.rid)
            error, has_hits = job.failure, False
            if error is None and self._closed:
                error = STOPPING
            if error is None and not job.dropped:
                try:
                    os.mkdir(folder)
                    has_hits = self._run(job.search, folder).has_hits
                except BlastFailed as failure:
                    error = str(failure)
                except Exception:
                    error = "the service failed while running the search:\n" + traceback.format_exc()
            if error is not None:
                self._log("search %s (%s) failed: %s" % (job.rid, job.program, error))
            with self._lock:
                if error is None and not job.dropped:
                    job.folder, job.report, job.has_hits = folder, os.path.join(folder, WHOLE_XML), has_hits
                else:
                    shutil.rmtree(folder, ignore_errors=True)
                job.error, job.finished = error, self._clock()
                self._finished.notify_all()
