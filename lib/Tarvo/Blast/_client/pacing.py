"""The pace of a process's requests to a BLAST service."""


class Pacing(object):
    """When this process last sent a request, on clock; sleep waits. One for the process, since
    the interval between two requests spans searches."""

    def __init__(self, clock, sleep):
        self.clock = clock
        self.sleep = sleep
        self.last = None

    def earliest(self, interval):
        """When the next request may be sent, interval seconds after the last; None for now."""
        return None if self.last is None else self.last + interval

    def sent(self):
        """Notes a request sent now, and returns when."""
        self.last = self.clock()
        return self.last
