"""One entry per request the service answered, the last so many kept, so that a client's tests
can assert what their client sent (GET /journal answers them as JSON) and the service's page can
show them. Received values are kept cut, so that the journal's size stays bounded whatever
clients send; JSON escapes every character beyond ASCII, so a terminal shows them inert."""
import collections
import json
import threading
import time
from urllib.parse import parse_qsl

from ..request import numerals
from ..request.echo import shown

DEFAULT_SIZE = 1000
VALUE_KEPT = 200    # characters of a received value: a query's title and a little of its sequence
FIELDS_KEPT = 64    # fields of one request; NCBI's whole URL API has fewer
FILTERS = ("rid", "tool", "since")
MAX_FILTERS = 20


class FilterRefused(Exception):
    """A journal request whose filters cannot be read; the message says why."""


def cut(text, limit=VALUE_KEPT):
    if len(text) <= limit:
        return text
    return "%s... [%d characters]" % (text[:limit], len(text))


def last(form, name):
    values = form.get(name)
    return cut(values[-1].strip()) if values else ""


class Journal:
    """`size` entries at most (0 keeps none); `clock` gives the Unix time of a request that
    comes without its own."""

    def __init__(self, size=DEFAULT_SIZE, clock=time.time):
        self.size = size
        self._clock = clock
        self._lock = threading.Lock()
        self._entries = collections.deque(maxlen=size or 1)
        self._serial = 0
        self._dropped = 0

    def record(self, method, path, form, address, status, rid="", rtoe=None, guidelines=None, at=None):
        """Notes one answered request: its `form` (upper-case name -> [values]), the client's
        `address`, the answer's `status` and `rid`, the RTOE a submission was answered with,
        and the guidelines' verdicts (a list of the rules it broke; None when not judged)."""
        if not self.size:
            return
        names = list(form)
        entry = {
            "serial": None,
            # Unrounded: a client filters by a time it read itself, and a time rounded down could
            # fall before it.
            "time": self._clock() if at is None else at,
            "method": method,
            "path": cut(path),
            "fields": {cut(name, 40): last(form, name) for name in names[:FIELDS_KEPT]},
            "tool": last(form, "TOOL"),
            "email": last(form, "EMAIL"),
            "address": address,
            "rid": cut(rid or ""),
            "rtoe": rtoe,
            "status": status,
            "guidelines": None if guidelines is None else [cut(verdict, 1000) for verdict in guidelines],
        }
        if len(names) > FIELDS_KEPT:
            entry["fields_left_out"] = len(names) - FIELDS_KEPT
        with self._lock:
            self._serial += 1
            entry["serial"] = self._serial
            if len(self._entries) == self.size:
                self._dropped += 1
            self._entries.append(entry)

    def entries(self, rid=None, tool=None, since=None):
        """Copies of the entries kept, oldest first; only those of `rid`, of `tool`, and at or
        after the Unix time `since`, for each that is given."""
        with self._lock:
            kept = list(self._entries) if self.size else []
        return [dict(entry, fields=dict(entry["fields"]),
                     guidelines=None if entry["guidelines"] is None else list(entry["guidelines"]))
                for entry in kept
                if (rid is None or entry["rid"] == rid) and (tool is None or entry["tool"] == tool)
                and (since is None or entry["time"] >= since)]

    def dropped(self):
        """How many entries have been let go to keep the journal's size."""
        with self._lock:
            return self._dropped

    def answer(self, query):
        """The JSON text that GET /journal?`query` answers; FilterRefused for filters it cannot read."""
        filters = read_filters(query)
        document = {"entries": self.entries(**filters), "size": self.size, "dropped": self.dropped()}
        return json.dumps(document, indent=1) + "\n"


def read_filters(query):
    """{filter: value} of a journal request's query string (rid, tool and since, in any case)."""
    if query.count("&") >= MAX_FILTERS:
        raise FilterRefused("the journal takes a few filters (%s); received %d fields"
                            % (", ".join(FILTERS), query.count("&") + 1))
    filters = {}
    for name, text in parse_qsl(query, keep_blank_values=True):
        if name.lower() not in FILTERS:
            raise FilterRefused("the journal is filtered by %s; received %s" % (", ".join(FILTERS), shown(name, 40)))
        filters[name.lower()] = text
    if "since" in filters:
        since = numerals.decimal(filters["since"]) if len(filters["since"]) <= 40 else None
        if since is None:
            raise FilterRefused("since must be a Unix time in seconds such as 1700000000.5; received %s"
                                % shown(filters["since"], 40))
        filters["since"] = since
    return filters
