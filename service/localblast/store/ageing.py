"""The finished searches held, in the order in which they became READY or FAILED, those whose
results were fetched apart: what has expired, and what goes first when room is needed, is found
without walking every search held. An entry whose search has since been dropped or fetched is
passed over where it is met, and all such are cleared once they outnumber the searches held."""
import heapq
import itertools

# Entries beyond twice the searches held, and this many more, are cleared at once.
SLACK = 64


def current(job, fetched, done_at):
    return not job.dropped and job.finished is not None and job.fetched == fetched and job.done_at() == done_at


class Finished:
    def __init__(self):
        self._heaps = {True: [], False: []}    # fetched -> [(done_at, order, job)]
        self._order = itertools.count()

    def add(self, job, held):
        """A search that has finished, or whose results were fetched; `held`: every job held (a
        dict by RID), from which the order is made again when it holds too many stale entries."""
        heapq.heappush(self._heaps[job.fetched], (job.done_at(), next(self._order), job))
        if sum(map(len, self._heaps.values())) > 2 * len(held) + SLACK:
            self._heaps = {True: [], False: []}
            for kept in held.values():
                if kept.finished is not None:
                    heapq.heappush(self._heaps[kept.fetched], (kept.done_at(), next(self._order), kept))

    def _first(self, fetched):
        heap = self._heaps[fetched]
        while heap and not current(heap[0][2], fetched, heap[0][0]):
            heapq.heappop(heap)
        return heap[0][2] if heap else None

    def expired(self, over):
        """The searches, taken out of the order, for which `over(job)` holds: it must hold for
        every search that finished before one for which it holds."""
        found = []
        for fetched, heap in self._heaps.items():
            job = self._first(fetched)
            while job is not None and over(job):
                heapq.heappop(heap)
                found.append(job)
                job = self._first(fetched)
        return found

    def oldest(self, now):
        """The search to drop first for room: the one done longest ago of those fetched, else of
        the others; None if none is done by `now`."""
        for fetched in (True, False):
            job = self._first(fetched)
            if job is not None and job.done_at() <= now:
                return job
        return None
