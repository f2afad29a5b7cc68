"""One entry per request the service answered, the last so many kept, so that a client's tests
can assert what their client sent (GET /journal answers them as JSON) and the service's page can
show them. Received text is kept cut by the bytes it takes as JSON writes it (escapes counted),
each value within a limit of its own and an entry's all together within a budget, so that the
journal and its answer stay bounded whatever clients send; a cut value's full length is kept
beside it, never inside it, so that no value can pass for one cut. JSON escapes every character
beyond ASCII, so a terminal shows them inert."""
import collections
import json
from json.encoder import encode_basestring_ascii
import threading
import time
from urllib.parse import parse_qsl

from ..request import numerals
from ..request.echo import shown
from ..request.fields import text as last

DEFAULT_SIZE = 1000
# Bytes of received text as JSON writes it (an emoji takes 12).
METHOD_KEPT = 20
NAME_KEPT = 40       # a field's name
VALUE_KEPT = 200     # any other value: a query's title and a little of its sequence
# All of an entry's received text together: what a request of the URL API sends fits whole, and
# 1000 entries answer a few megabytes at most.
ENTRY_KEPT = 4096
VERDICT_KEPT = 1000  # one of the guidelines' verdicts (the service's own words)
FIELDS_KEPT = 64     # fields of one request; NCBI's whole URL API has fewer
# The entry's own received values, kept whole or cut as the fields are.
RECEIVED = (("method", METHOD_KEPT), ("path", VALUE_KEPT), ("tool", VALUE_KEPT), ("email", VALUE_KEPT),
            ("rid", VALUE_KEPT))
FILTERS = ("rid", "tool", "since")
MAX_FILTERS = 20


class FilterRefused(Exception):
    """A journal request whose filters cannot be read; the message says why."""


def json_size(text):
    """The bytes `text` takes inside a JSON string as the journal writes it."""
    return len(encode_basestring_ascii(text)) - 2


def head(text, limit):
    """(the longest start of `text` that takes at most `limit` bytes as JSON, those bytes), in
    time bounded by `limit`."""
    start = text[:limit]
    size = json_size(start)
    if size <= limit:
        return start, size
    # A character takes 1 to 12 bytes: dropping `over` characters is enough, dropping fewer than
    # over / 12 is not.
    over = size - limit
    fits, too_long = max(len(start) - over, 0), len(start) - (over + 11) // 12 + 1
    while too_long - fits > 1:
        middle = (fits + too_long) // 2
        if json_size(start[:middle]) <= limit:
            fits = middle
        else:
            too_long = middle
    return start[:fits], json_size(start[:fits])


def shares(sizes, budget):
    """The bytes each of `sizes` may keep of `budget`: the smaller whole, and the larger ones an
    equal share of what those leave."""
    kept, left = [0] * len(sizes), budget
    order = sorted(range(len(sizes)), key=sizes.__getitem__)
    for place, index in enumerate(order):
        kept[index] = min(sizes[index], left // (len(order) - place))
        left -= kept[index]
    return kept


def kept(received, budget=ENTRY_KEPT):
    """Each (text, limit) of `received` as the journal keeps it: (its start within `limit` bytes
    of JSON, all of them together within `budget`; its full length when cut, else None)."""
    heads = [head(text, limit) for text, limit in received]
    sizes = [size for _, size in heads]
    if sum(sizes) > budget:
        heads = [head(start, share) if share < size else (start, size)
                 for (start, size), share in zip(heads, shares(sizes, budget))]
    return [(start, None if len(start) == len(text) else len(text)) for (text, _), (start, _) in zip(received, heads)]


def noted(lengths, key, length):
    """Notes in `lengths` the full `length` of the value kept under `key`, or that it was kept whole (None)."""
    if length is None:
        lengths.pop(key, None)
    else:
        lengths[key] = length


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
        and the guidelines' verdicts (a list of the rules it broke; None when not judged). The
        entry's "cut" holds the full length of each value it keeps cut: by its key, and those of
        the fields by their names under "names" and "fields"."""
        if not self.size:
            return
        names = list(form)
        taken = names[:FIELDS_KEPT]
        own = (method, path, last(form, "TOOL"), last(form, "EMAIL"), rid or "")
        values = kept([(text, limit) for text, (_, limit) in zip(own, RECEIVED)]
                      + [(name, NAME_KEPT) for name in taken] + [(last(form, name), VALUE_KEPT) for name in taken])
        # Unrounded: a client filters by a time it read itself, and a time rounded down could
        # fall before it.
        entry = {"serial": None, "time": self._clock() if at is None else at}
        lengths = {}
        for (key, _), (value, length) in zip(RECEIVED, values):
            entry[key] = value
            noted(lengths, key, length)
        entry.update(fields={}, address=address, rtoe=rtoe, status=status, guidelines=None, cut=lengths)
        names_cut, fields_cut = {}, {}
        for (name, name_length), (value, value_length) in zip(values[len(own):len(own) + len(taken)],
                                                              values[len(own) + len(taken):]):
            entry["fields"][name] = value
            noted(names_cut, name, name_length)
            noted(fields_cut, name, value_length)
        if guidelines is not None:
            verdicts = kept([(verdict, VERDICT_KEPT) for verdict in guidelines], VERDICT_KEPT * len(guidelines))
            entry["guidelines"] = [verdict for verdict, _ in verdicts]
            verdicts_cut = {str(index): length for index, (_, length) in enumerate(verdicts) if length is not None}
        else:
            verdicts_cut = {}
        for key, cut in (("names", names_cut), ("fields", fields_cut), ("guidelines", verdicts_cut)):
            if cut:
                lengths[key] = cut
        if len(names) > FIELDS_KEPT:
            entry["fields_left_out"] = len(names) - FIELDS_KEPT
        with self._lock:
            self._serial += 1
            entry["serial"] = self._serial
            if len(self._entries) == self.size:
                self._dropped += 1
            self._entries.append(entry)

    def _matching(self, rid=None, tool=None, since=None):
        """The entries kept (themselves, which are never changed once kept), oldest first; only
        those of `rid`, of `tool`, and at or after the Unix time `since`, for each that is given."""
        with self._lock:
            kept_now = list(self._entries) if self.size else []
        return [entry for entry in kept_now
                if (rid is None or entry["rid"] == rid) and (tool is None or entry["tool"] == tool)
                and (since is None or entry["time"] >= since)]

    def entries(self, rid=None, tool=None, since=None):
        """Copies of the entries kept, oldest first, filtered as `_matching` filters them."""
        return [copied(entry) for entry in self._matching(rid, tool, since)]

    def dropped(self):
        """How many entries have been let go to keep the journal's size."""
        with self._lock:
            return self._dropped

    def answer(self, query):
        """The JSON text that GET /journal?`query` answers, as pieces made one entry at a time
        while it is sent (a whole journal of the largest entries is megabytes); FilterRefused at
        once for filters it cannot read."""
        matching = self._matching(**read_filters(query))
        return streamed(matching, self.size, self.dropped())


def copied(entry):
    return dict(entry, fields=dict(entry["fields"]),
                guidelines=None if entry["guidelines"] is None else list(entry["guidelines"]),
                cut={key: dict(value) if isinstance(value, dict) else value for key, value in entry["cut"].items()})


def streamed(entries, size, dropped):
    yield '{"size": %d, "dropped": %d, "entries": [' % (size, dropped)
    for number, entry in enumerate(entries):
        yield (",\n" if number else "\n") + json.dumps(entry)
    yield "\n]}\n"


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
