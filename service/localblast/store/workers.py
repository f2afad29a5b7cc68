"""The worker threads that run the searches waiting to run, oldest first. The queue holds only
searches still held: one deleted before it runs leaves it at once, with its query."""
import collections
import threading
import time

# How long stopping waits for the workers: a search the stop cut short runs again after a
# restart, so none is worth holding the stop up.
STOP_WAIT = 5.0


class Workers:
    """`count` threads; each takes the oldest search waiting, calls `started(job)` under `lock`
    (the store's), then `run(job)` outside it."""

    def __init__(self, count, lock, started, run):
        self._waiting = collections.OrderedDict()   # rid -> job, oldest first
        self._ready = threading.Condition(lock)
        self._started, self._run = started, run
        self._stopped = False
        self._started_threads = False
        self._threads = [threading.Thread(target=self._work, name="blast-worker-%d" % number, daemon=True)
                         for number in range(count)]

    def start(self):
        if not self._started_threads:
            self._started_threads = True
            for thread in self._threads:
                thread.start()

    def add(self, job):
        """Under the lock: `job` waits to run."""
        self._waiting[job.rid] = job
        self._ready.notify()

    def remove(self, rid):
        """Under the lock: the search no longer waits to run."""
        self._waiting.pop(rid, None)

    def stop(self):
        """Under the lock: no more searches start."""
        self._stopped = True
        self._ready.notify_all()

    def join(self):
        """Waits for the searches running, a few seconds at most."""
        end = time.monotonic() + STOP_WAIT    # real seconds: the store's clock may be a test's
        for thread in self._threads if self._started_threads else ():
            thread.join(max(0.0, end - time.monotonic()))

    def _next(self):
        with self._ready:
            while not self._waiting and not self._stopped:
                self._ready.wait()
            if self._stopped:
                return None
            job = self._waiting.popitem(last=False)[1]
            self._started(job)
            return job

    def _work(self):
        while True:
            job = self._next()
            if job is None:
                return
            self._run(job)
