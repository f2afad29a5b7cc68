"""The searches the service holds, by RID: run in the background by a few worker threads, kept
for a while after they finish, at most a given number at once and within a disk budget (see
held.py). A search's archive and reports are files in a folder of its own in the store's folder
(see folders.py); with a state folder, the ledger (ledger.py) records them so that a restart
finds them again. Each formatted report is made once and kept with its search, a few at a time."""
import os
import secrets
import sqlite3
import string
import threading
import time
import traceback

from ..errors import STOPPING, Refused
from ..files import remove
from .budget import DiskBudget, DiskLimit, default_limit
from .folders import StoreFolder
from .held import Held
from .job import FAILED, READY, SERVICE_FAILED, UNKNOWN, WAITING, Job, own_files, run_search
from .kept import KEPT_REPORTS, Making, being_made, make_whole, report_file, report_key
from .ledger import Ledger, NoLedger
from .listing import summary
from .restore import restored
from .workers import Workers

# What the API and the tests take from the store.
__all__ = ["JobStore", "DiskLimit", "KEPT_REPORTS", "WAITING", "READY", "FAILED", "UNKNOWN"]
RID_LETTERS = string.ascii_uppercase + string.digits


class JobStore:
    """`run(search, folder)` (the runner's) writes the search's archive into `folder` and returns
    an outcome with `has_hits`, or raises BlastFailed; it runs on `workers` threads, started
    with the store unless `start` is false (then by start()). `cancel(folder)` (the runner's)
    ends the run into `folder` of a search deleted while it runs. Finished jobs are dropped
    `keep` seconds after they are done. `state`: the folder whose record a restart finds again
    (None: a temporary one, removed at close); `max_disk`: the bytes its files may take (None: a
    share of the free space). StoreError (folders.py) when the folder or its record cannot be
    used."""

    def __init__(self, run, keep, max_jobs, workers, clock=time.monotonic, log=print, state=None, max_disk=None,
                 wall=time.time, cancel=None, start=True):
        # `clock` gives the seconds that jobs age by and that held status requests wait; the
        # state records `wall` seconds, which a restart's clock is set against.
        self._run = run
        self.keep = keep
        self._clock = clock
        self._log = log
        self._offset = wall() - clock()
        self._lock = threading.Lock()
        self._finished = threading.Condition(self._lock)
        self._closed = False       # takes no more submissions, starts no more searches
        self._shut = False         # its ledger and folder are let go
        self._workers = Workers(workers, self._lock, self._started, self._run_job)
        self._place = StoreFolder(state, log)
        self.folder, self.search_folders = self._place.path, self._place.searches
        ledger = None
        try:
            ledger = NoLedger() if state is None else Ledger(self._place.database, log)
            self._ledger = ledger
            self._held = Held(self._lock, keep, max_jobs, DiskBudget(max_disk), ledger, self._workers, self._place,
                              cancel or (lambda folder: None), log)
            self._jobs, self._budget = self._held.jobs, self._held.budget
            with self._held.locked():
                self._restore()
        except BaseException:
            if ledger is not None:
                ledger.close()
            self._place.close()
            raise
        if start:
            self.start()

    def start(self):
        """Starts running the searches, those found again first. A service starts them once it
        answers requests, so that a start that fails runs none of them."""
        self._workers.start()

    def _restore(self):
        jobs, reports = restored(self._ledger, self._place, self.at, self.wall, self._clock(), self.keep, self._log)
        for job in jobs:
            if job.finished is None:
                self._workers.add(job)
            else:
                job.let_go_of_query()
            self._held.add(job)
            self._budget.take(job.disk())
        for job, key, path, size in reports:
            job.formatted[key] = path
            self._budget.report_kept(job.rid, key, size)
        if self._budget.limit is None:
            self._budget.limit = default_limit(self.folder, self._budget.used)
        self._held.fit(0, None, self._clock())    # a restart may be given a smaller limit

    def persistent(self):
        return not self._place.temporary

    def limit(self):
        return self._budget.limit

    def wall(self, moment):
        return moment + self._offset

    def at(self, wall):
        return wall - self._offset

    def new_rid(self):
        # The serial number keeps an RID from ever naming two searches, also across restarts;
        # the random part keeps RIDs from being guessed.
        return "".join(secrets.choice(RID_LETTERS) for _ in range(6)) + "%05d" % self._ledger.next_serial()

    def submit(self, program, search, duration=0.0, failure=None, watch=None):
        """The RID of a new job, once it is recorded; Refused when the store is full of
        unfinished jobs, cannot record it, or is closed."""
        record = self._ledger.encode(search)    # outside the lock: a query may be megabytes
        size = len(record.encode("utf-8")) if record else 0
        with self._held.locked():
            if self._closed:
                raise Refused(STOPPING)
            now = self._clock()
            self._held.drop_expired(now)
            if not self._held.make_room(now):
                raise Refused("the service already holds %d searches that have not finished "
                              "(its limit); submit again when one has finished" % len(self._jobs))
            if not self._held.fit(size, None, now):
                raise Refused(self._budget.refusal("this search's record", size))
            job = Job(self.new_rid(), program, search, now, now + duration, failure)
            job.watch, job.record = watch, size
            try:
                self._ledger.add(job, record, self.wall(now), self.wall(job.ready_after))
            except sqlite3.Error as error:
                self._log("could not record a search: %s" % error)
                raise Refused("the service could not record the search (%s); submit again later" % error)
            self._budget.take(size)
            self._held.add(job)
            self._workers.add(job)
        return job.rid

    def lookup(self, rid):
        """(status, job) for an RID; (UNKNOWN, None) for one never issued or dropped."""
        with self._held.locked():
            now = self._clock()
            self._held.drop_expired(now)
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
        is removed). BlastFailed when it cannot be made, DiskLimit when it cannot be kept. A
        request waits only for the making of the same report, never of another."""
        key = report_key(shape)
        while True:
            with self._held.locked():
                if job.dropped or job.folder is None:
                    return None
                path = job.formatted.get(key)
                if path is not None:
                    job.formatted.move_to_end(key)
                    self._budget.report_used(job.rid, key)
                    job.used = self._clock()
                    self._ledger.report_used(job.rid, key, self.wall(job.used))
                    return open(path, "rb")
                making = job.making.get(key)
                if making is None:
                    making = job.making[key] = Making()
                    break
                making.asked += 1
            making.done.wait()    # then kept, or to be made again if that failed
        try:
            return self._make_report(job, key, make)
        finally:
            with self._lock:
                del job.making[key]
            making.done.set()

    def _make_report(self, job, key, make):
        path = os.path.join(job.folder, report_file(key))
        try:
            size = make_whole(make, path)
        except BaseException:
            with self._held.locked():
                if job.dropped:   # its folder went while the report was being made
                    self._held.remove_later(job.folder)
                    return None
            raise
        with self._held.locked():
            if job.dropped:   # and the report may have written into it as it went
                self._held.remove_later(job.folder)
                return None
            self._count_files(job)
            if not self._held.fit(size, job, self._clock()):
                remove(path)
                raise DiskLimit(self._budget.refusal("this report", size))
            job.formatted[key] = path
            job.used = self._clock()
            self._budget.report_kept(job.rid, key, size)
            self._ledger.add_report(job.rid, key, os.path.basename(path), size, self.wall(job.used))
            while len(job.formatted) > KEPT_REPORTS:
                self._held.drop_report(job, next(iter(job.formatted)))
            return open(path, "rb")

    def _count_files(self, job):
        # What making a report left in the search's folder besides its run's files and the
        # reports (such as the XML report that XML answers are cut from) is counted, and
        # recorded so that a restart keeps it; not the reports being made, whose own are.
        known = set(job.files) | {os.path.basename(path) for path in job.formatted.values()}
        derived = {name: size for name, size in own_files(job.folder).items()
                   if name not in known and not being_made(name, job.making)}
        if derived != job.derived:
            self._budget.take(sum(derived.values()) - sum(job.derived.values()))
            job.derived = derived
            self._ledger.derived(job)

    def fetched(self, job):
        """Notes that the job's results were sent: when room is needed, such jobs go first."""
        with self._lock:
            if not job.fetched and not job.dropped:
                job.fetched = True
                self._ledger.used(job, self.wall(job.used))
                self._held.aged(job)

    def delete(self, rid):
        """True if the RID's job was held: it is dropped, and its run ended if it runs."""
        with self._held.locked():
            job = self._jobs.get(rid)
            if job is not None:
                self._held.drop(job)
            return job is not None

    def held(self):
        """(rid, status) of every job held, oldest first."""
        with self._held.locked():
            now = self._clock()
            self._held.drop_expired(now)
            return [(job.rid, job.status(now)) for job in self._jobs.values()]

    def summaries(self):
        """A listing.Summary of every job held, oldest first."""
        with self._held.locked():
            now = self._clock()
            self._held.drop_expired(now)
            return [summary(job, job.status(now), self.wall(job.submitted)) for job in self._jobs.values()]

    def summary_of(self, rid):
        """The listing.Summary of the job `rid`, or None when it is not held."""
        with self._held.locked():
            now = self._clock()
            self._held.drop_expired(now)
            job = self._jobs.get(rid)
            return None if job is None else summary(job, job.status(now), self.wall(job.submitted))

    def count(self):
        with self._lock:
            return len(self._jobs)

    def disk_used(self):
        with self._lock:
            return self._budget.used

    def stop(self):
        """Takes no more submissions, ends held status requests and starts no more searches. A
        search that the stop cuts short is not failed: a restart with the same state runs it
        again."""
        with self._lock:
            self._closed = True
            self._finished.notify_all()
            self._workers.stop()

    def close(self):
        """Stops, waits a little for the workers, and lets go of the state (a temporary
        folder is removed)."""
        self.stop()
        self._workers.join()
        with self._held.locked():
            if not self._shut:
                self._shut = True
                self._ledger.close()
                self._place.close()

    def _started(self, job):
        job.attempts += 1
        job.running = True
        self._ledger.started(job)

    def _run_job(self, job):
        folder = self._place.search(job.rid)
        if job.failure is not None:
            outcome = job.failure, False, {}
        else:
            try:
                outcome = run_search(self._run, job.search, folder)
            except Exception:
                if not job.dropped:
                    self._log("the search %s failed in the service: %s" % (job.rid, traceback.format_exc()))
                outcome = SERVICE_FAILED, False, {}
        self._finish(job, folder, *outcome)

    def _finish(self, job, folder, error, has_hits, files):
        with self._held.locked():
            job.running = False
            if self._shut:
                return
            if self._closed and error is not None and job.failure is None:
                self._log("the search %s was cut short by the stop%s" % (
                    job.rid, "; a restart runs it again" if self.persistent() else ""))
                return
            if not job.dropped and error is None:
                size = sum(files.values())
                if self._held.fit(size, job, self._clock()):
                    job.folder, job.has_hits, job.files = folder, has_hits, files
                    self._budget.take(size)
                else:
                    error = self._budget.refusal("its results", size)
            if job.dropped or error is not None:
                self._held.remove_later(folder)
            if error is not None and not job.dropped:
                self._log("search %s (%s) failed: %s" % (job.rid, job.program, error))
            job.error, job.finished = error, self._clock()
            job.used = job.done_at()
            job.let_go_of_query()
            if not job.dropped:
                self._ledger.finished(job, self.wall(job.finished), self.wall(job.used))
                self._held.aged(job)
            self._finished.notify_all()
