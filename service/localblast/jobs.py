"""The searches the service holds, by RID: run in the background by a few worker threads, kept
for a while after they finish, at most a given number at once."""
import itertools
import queue
import secrets
import string
import threading
import time
import traceback

from .blast_run import BlastFailed
from .errors import Refused

WAITING, READY, FAILED, UNKNOWN = "WAITING", "READY", "FAILED", "UNKNOWN"
RID_LETTERS = string.ascii_uppercase + string.digits


class Job:
    def __init__(self, rid, program, search, submitted, ready_after, failure):
        self.rid = rid
        self.program = program
        self.search = search
        self.submitted = submitted
        self.ready_after = ready_after    # a job made to take longer stays WAITING until then
        self.failure = failure            # a failure to report instead of running the search
        self.finished = None
        self.report = None
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
    """`run(search)` returns the report text or raises BlastFailed; it runs on `workers`
    threads. Finished jobs are dropped `keep` seconds after they are done."""

    def __init__(self, run, keep, max_jobs, workers, clock=time.monotonic, log=print):
        self._run = run
        self.keep = keep
        self.max_jobs = max_jobs
        self._clock = clock
        self._log = log
        self._lock = threading.Lock()
        self._finished = threading.Condition(self._lock)
        self._jobs = {}
        self._serial = itertools.count(1)
        self._queue = queue.Queue()
        self._workers = [threading.Thread(target=self._work, name="blast-worker-%d" % number, daemon=True)
                         for number in range(workers)]
        for worker in self._workers:
            worker.start()

    def new_rid(self):
        # The serial number keeps an RID from ever naming two searches; the random part keeps
        # RIDs from being guessed.
        return "".join(secrets.choice(RID_LETTERS) for _ in range(6)) + "%05d" % next(self._serial)

    def submit(self, program, search, duration=0.0, failure=None):
        """The RID of a new job; Refused when the store is full of unfinished jobs."""
        with self._lock:
            now = self._clock()
            self._drop_expired(now)
            if len(self._jobs) >= self.max_jobs and not self._make_room(now):
                raise Refused("the service already holds %d searches that have not finished "
                              "(its limit); submit again when one has finished" % len(self._jobs))
            job = Job(self.new_rid(), program, search, now, now + duration, failure)
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
        """(status, job) as lookup gives them, after waiting up to `timeout` real seconds for a
        running job to finish."""
        end = time.monotonic() + timeout
        with self._finished:
            job = self._jobs.get(rid)
            while job is not None and not job.dropped and job.status(self._clock()) == WAITING:
                left = end - time.monotonic()
                if left <= 0:
                    break
                if job.finished is not None:  # made to take longer: nothing will signal its end
                    left = min(left, job.ready_after - self._clock())
                self._finished.wait(left)
        return self.lookup(rid)

    def fetched(self, job):
        """Notes that the job's results were sent: when room is needed, such jobs go first."""
        with self._lock:
            job.fetched = True

    def delete(self, rid):
        with self._lock:
            job = self._jobs.pop(rid, None)
            if job is not None:
                job.dropped = True
            return job is not None

    def count(self):
        with self._lock:
            return len(self._jobs)

    def close(self):
        for _ in self._workers:
            self._queue.put(None)

    def _drop_expired(self, now):
        for rid, job in list(self._jobs.items()):
            if job.finished is not None and now - job.done_at() > self.keep:
                job.dropped = True
                del self._jobs[rid]

    def _make_room(self, now):
        """Drops the oldest finished job, one already fetched first; False if none has finished."""
        finished = [job for job in self._jobs.values() if job.status(now) != WAITING]
        if not finished:
            return False
        oldest = min(finished, key=lambda job: (not job.fetched, job.done_at()))
        oldest.dropped = True
        del self._jobs[oldest.rid]
        return True

    def _work(self):
        while True:
            job = self._queue.get()
            if job is None:
                return
            report, error = None, job.failure
            if error is None and not job.dropped:
                try:
                    report = self._run(job.search)
                except BlastFailed as failure:
                    error = str(failure)
                except Exception:
                    error = "the service failed while running the search:\n" + traceback.format_exc()
            if error is not None:
                self._log("search %s (%s) failed: %s" % (job.rid, job.program, error))
            with self._lock:
                job.report, job.error, job.finished = report, error, self._clock()
                self._finished.notify_all()
