"""Answers held back (--stall, --status-wait) each hold one of the server's threads while they
wait; at most so many are held at once, and the server has that many threads beyond those
that answer, so that holding can never starve the others."""
import threading


class Holds:
    def __init__(self, limit):
        self.limit = limit
        self._slots = threading.BoundedSemaphore(limit)

    def take(self):
        """True if an answer may be held now (then `give` it back once done), False when
        `limit` are held already."""
        return self._slots.acquire(blocking=False)

    def give(self):
        self._slots.release()
