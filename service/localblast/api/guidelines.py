"""NCBI's usage guidelines for its public servers, kept in view for the people who write clients:
at most one request every 10 seconds from a client, at most one status request a minute for
one RID, none before the RTOE that the submission answered, and `tool` and `email` sent with
each submission. The intervals are scaled so that a test need not wait minutes.

Requests are judged by when they arrive, with an allowance for the jitter of a busy machine (5%
of each interval, and at least 50 ms, which the arrivals of a paced client scatter by when the
intervals are scaled far down), so that a client that keeps the rules is never refused.

A client is the `tool` and `email` a request sends; a request that sends neither belongs to
the client that submitted its RID, and without an RID to everyone. Status requests (polls)
are SearchInfo requests and results requests answered WAITING; fetching a finished report is
not one."""
import collections
import threading

from ..request.echo import shown

REQUEST_INTERVAL = 10.0
POLL_INTERVAL = 60.0
ALLOWANCE = 0.05
LEAST_ALLOWANCE = 0.05
# Clients beyond this many are forgotten, the longest silent first: memory stays bounded
# whatever a flood of names, at the cost of leniency towards such a flood.
CLIENTS_KEPT = 1000
# A client's tool and email are kept to this many characters: far more than a name or an
# address takes, far less than a request may carry.
NAME_KEPT = 200
# Of which a log line shows this many.
NAME_SHOWN = 80
MODES = ("warn", "enforce")

EVERYONE = None


def shortest(interval):
    """The shortest wait that keeps an interval, allowance made."""
    return interval - max(interval * ALLOWANCE, LEAST_ALLOWANCE)


class Watch:
    """What the guidelines keep of one search: its client, and when it may first be polled and
    was last polled."""

    def __init__(self, client, first_poll):
        self.client = client
        self.first_poll = first_poll
        self.last_poll = None


def client_name(client):
    if client is EVERYONE:
        return "a client that sends neither tool nor email"
    return "the client with tool %s and email %s" % (shown(client[0], NAME_SHOWN), shown(client[1], NAME_SHOWN))


class Guidelines:
    """`mode` is "warn" (log one line per broken rule), "enforce" (also refuse the request) or
    None (keep nothing). Times are seconds of one clock, as the caller reads it."""

    def __init__(self, mode=None, scale=1.0):
        self.mode = mode
        self.request_interval = REQUEST_INTERVAL * scale
        self.poll_interval = POLL_INTERVAL * scale
        self._lock = threading.Lock()
        self._last_request = collections.OrderedDict()   # client -> when its last request arrived

    @property
    def enforced(self):
        return self.mode == "enforce"

    @staticmethod
    def client(tool, email, watch=None):
        """The client of a request that sends `tool` and `email` ("" when absent) and concerns
        the search of `watch` (or none)."""
        if tool or email:
            return (tool[:NAME_KEPT], email[:NAME_KEPT])
        return watch.client if watch is not None else EVERYONE

    def request(self, client, now):
        """The rules that a request of `client` arriving at `now` breaks (a list of texts)."""
        if self.mode is None:
            return []
        with self._lock:
            last = self._last_request.pop(client, None)
            # Requests judged out of order never move a client's time back.
            self._last_request[client] = now if last is None else max(now, last)
            self._forget()
        if last is not None and now - last < shortest(self.request_interval):
            return ['"at most one request every 10 s from a client" (scaled: %.3g s): %s sent this one %.3g s '
                    "after its last" % (self.request_interval, client_name(client), now - last)]
        return []

    def submission(self, tool, email):
        """The rules that a submission sending `tool` and `email` ("" when absent) breaks."""
        missing = [name for name, text in (("tool", tool), ("email", email)) if not text]
        if self.mode is None or not missing:
            return []
        return ['"send tool and email with each submission": this one sent no %s' % " and no ".join(missing)]

    def watch(self, client, submitted, rtoe):
        """The Watch of a search of `client` submitted at `submitted` with an RTOE of `rtoe` s."""
        return Watch(client, submitted + shortest(rtoe))

    def poll(self, rid, watch, now):
        """The rules that a status request for the search of `watch` arriving at `now` breaks."""
        if self.mode is None or watch is None:
            return []
        broken = []
        with self._lock:
            last = watch.last_poll
            watch.last_poll = now if last is None else max(now, last)
        if now < watch.first_poll:
            broken.append('"no status request before RTOE": the status request for %s came %.3g s before '
                          "its RTOE had passed" % (rid, watch.first_poll - now))
        if last is not None and now - last < shortest(self.poll_interval):
            broken.append('"at most one status request a minute for one RID" (scaled: %.3g s): the status '
                          "request for %s came %.3g s after the last" % (self.poll_interval, rid, now - last))
        return broken

    def _forget(self):
        while len(self._last_request) > CLIENTS_KEPT:
            self._last_request.popitem(last=False)
