"""The searches the store holds and how they are let go: expired once their keep time is over,
evicted for room (--max-jobs, --max-disk), or deleted. Requests hold the store's lock only for
this bookkeeping: ending a dropped search's run and removing its files wait until the lock is
let go (locked()), and what expired or goes first for room is found in ageing's order, without
walking every search held."""
import contextlib

from ..files import remove
from .ageing import Finished
from .budget import shown
from .job import WAITING


class Held:
    """`lock`: the store's; `budget`: its DiskBudget; `ledger`: its record; `workers`: its
    Workers; `place`: its StoreFolder; `cancel(folder)`: ends the run into a search's folder."""

    def __init__(self, lock, keep, max_jobs, budget, ledger, workers, place, cancel, log):
        self.jobs = {}             # by RID, oldest first
        self.keep, self.max_jobs = keep, max_jobs
        self.budget, self.ledger = budget, ledger
        self._lock, self._workers, self._place, self._cancel, self._log = lock, workers, place, cancel, log
        self._ages = Finished()
        self._ending, self._doomed = [], []    # runs to end and folders to remove once unlocked

    @contextlib.contextmanager
    def locked(self):
        """The store's lock, and then what the drops under it left to do."""
        with self._lock:
            yield
            ending, doomed = self._ending, self._doomed
            self._ending, self._doomed = [], []
        for folder in ending:
            self._cancel(folder)
        for folder in doomed:
            remove(folder)

    def add(self, job):
        self.jobs[job.rid] = job
        if job.finished is not None:
            self._ages.add(job, self.jobs)

    def aged(self, job):
        """Under the lock: `job` has finished, or its results were fetched."""
        self._ages.add(job, self.jobs)

    def remove_later(self, folder):
        """Under the lock: `folder` is removed once the lock is let go."""
        self._doomed.append(folder)

    def drop(self, job, why=None):
        if why:
            self._log("dropped the search %s: %s" % (job.rid, why))
        job.dropped = True
        del self.jobs[job.rid]
        self._workers.remove(job.rid)
        for key in job.formatted:
            self.budget.report_gone(job.rid, key)
        self.budget.give_back(job.disk())
        self.ledger.forget(job.rid)
        if job.running:
            self._ending.append(self._place.search(job.rid))
        if job.folder is not None:
            self._doomed.append(job.folder)

    def drop_report(self, job, key, why=None):
        if why:
            self._log("dropped a %s report of %s: %s" % (key, job.rid, why))
        remove(job.formatted.pop(key))   # at once: the same report may be made again into its name
        self.budget.report_gone(job.rid, key)
        self.ledger.forget_report(job.rid, key)

    def drop_expired(self, now):
        for job in self._ages.expired(lambda job: now - job.done_at() > self.keep):
            self.drop(job)

    def make_room(self, now):
        """Drops the oldest finished jobs, ones already fetched first, until there is room for
        one more; False if none can go."""
        while len(self.jobs) >= self.max_jobs:
            oldest = self._ages.oldest(now)
            if oldest is None:
                return False
            self.drop(oldest)
        return True

    def fit(self, extra, keep, now):
        """Makes room for `extra` more bytes: the least recently used reports go first, then the
        least recently used finished jobs other than `keep`. False, and nothing dropped, if that
        would not be enough."""
        if self.budget.fits(extra):
            return True
        finished = sorted((job for job in self.jobs.values() if job is not keep and job.status(now) != WAITING),
                          key=lambda job: job.used)
        if not self.budget.fits(extra - self.budget.reports_size() - sum(job.disk() for job in finished)):
            return False
        why = "the store is at its disk limit of %s (--max-disk)" % shown(self.budget.limit)
        while not self.budget.fits(extra):
            oldest = self.budget.least_used_report()
            if oldest is not None:
                self.drop_report(self.jobs[oldest[0]], oldest[1], why)
            else:
                self.drop(finished.pop(0), why)
        return True
