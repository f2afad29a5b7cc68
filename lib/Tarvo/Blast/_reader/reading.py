"""The general reading: the complete parts of the element tree turned into records.

How the reader knows what is complete. After each piece of the input the builder has made
every element it has seen, and told which element ended last. The chain is the root, its last
child, that one's last child, and so on: the only elements that can still be open, since
everything before a last child ended before it began. Every element of the chain before the one
that ended last is open; that one and those after it are complete. Of an open element, every
child is complete but the last, when the last is open too. For a piece that ends inside the
second hit's id,

    BlastOutput > BlastOutput_iterations > Iteration > Iteration_hits > Hit > Hit_id

with the first hit and the second's Hit_num ended last, the whole chain is open (Hit_id began
after Hit_num ended); Iteration_hits' first child, the first hit, is complete: it is read and
dropped. The second hit waits whole for the next piece (it is `held`, below); an open element
of another kind would have its complete children, here Hit_num, read and dropped now.

An open element that is partly read keeps what is read of it (its state) in `saved`, keyed by
id(), with the element beside it so that the id stays its own. An open hit is first `held`
unread: the next piece nearly always completes it, and a complete hit is read many at a time by
the batch reading. Only a hit still open after that is begun here.
"""

import collections

from Tarvo.Blast._reader import records
from Tarvo.Blast._reader.records import (
    HEADER_AND_PARAMETER_FIELDS, HIT_FIELDS, HSP_FIELDS, ITERATION_FIELDS, KNOWN_NAMES,
    QUERY_FIELDS, STATISTICS_FIELDS, HSP as _HSP_RECORD, Alignment, Record)


class _State(object):
    """What is read of one element so far: its fields, and where it is, for messages."""

    def __init__(self, where):
        self.where = where
        self.fields = {}


class _Kind(object):
    """How an element is read: the fields among its children, and the children that are
    elements of a kind of their own. Its state is its parent's unless begin() makes one."""

    def __init__(self, fields=(), children=None):
        self.table = dict((tag, (name, convert)) for tag, name, convert in fields)
        self.children = children or {}

    def begin(self, reader, parent):
        return parent

    def end(self, reader, state, parent):
        pass


class _Iteration(_Kind):
    def begin(self, reader, parent):
        reader.queries += 1
        state = _State("query %d" % reader.queries)
        state.record = record = records.make(Record, reader.header.fields)
        record.alignments = []
        record.descriptions = []
        return state

    def end(self, reader, state, parent):
        record, fields, header = state.record, state.fields, reader.header.fields
        for _, name, _ in ITERATION_FIELDS + STATISTICS_FIELDS:
            if name in fields:
                setattr(record, name, fields[name])
        for _, name, _ in QUERY_FIELDS:
            value = fields.get(name)
            setattr(record, name, header.get(name) if value in (None, "") else value)
        reader.ready.append(record)


class _Hit(_Kind):
    def begin(self, reader, parent):
        state = _State("hit %d of %s" % (len(parent.record.alignments) + 1, parent.where))
        state.hsps = []
        return state

    def end(self, reader, state, parent):
        records.add_hits(parent.record, [records.make(Alignment, state.fields)],
                          [state.hsps])


class _Hsp(_Kind):
    def begin(self, reader, parent):
        return _State("HSP %d of %s" % (len(parent.hsps) + 1, parent.where))

    def end(self, reader, state, parent):
        parent.hsps.append(records.make(_HSP_RECORD, state.fields))


# The document type as the reader walks it; other elements are read past.
_HSP = _Hsp(HSP_FIELDS)
HIT = _Hit(HIT_FIELDS, {"Hit_hsps": _Kind(children={"Hsp": _HSP})})
HITS = _Kind(children={"Hit": HIT})
_ITERATION = _Iteration(ITERATION_FIELDS + QUERY_FIELDS, {
    "Iteration_hits": HITS,
    "Iteration_stat": _Kind(children={"Statistics": _Kind(STATISTICS_FIELDS)})})
REPORT = _Kind(HEADER_AND_PARAMETER_FIELDS, {
    "BlastOutput_param": _Kind(children={
        "Parameters": _Kind(HEADER_AND_PARAMETER_FIELDS)}),
    "BlastOutput_iterations": _Kind(children={"Iteration": _ITERATION})})
# An element the reader does not read into: another document type's, or a field's children.
_OTHER = _Kind()


class Reader(object):
    """Turns the complete parts of the tree into records and drops their elements; batch,
    where given, reads complete hits many at a time."""

    def __init__(self, tree, batch=None, queries=0):
        self.tree = tree
        self.batch = batch
        self.header = _State("the report")
        # Queries read before, in the stream's documents before this one.
        self.queries = queries
        self.ready = collections.deque()
        # Open elements already partly read: id -> (element, its state).
        self.saved = {}
        self.held = None

    def advance(self, chain, open_count):
        """Read and drop every complete element; chain[:open_count] are the open ones."""
        if not chain:
            return
        if not open_count:
            self._read(REPORT, self.header, chain[0], len(chain[0]), 0)
            return
        kind, state = REPORT, self.header
        for depth in range(open_count):
            element = chain[depth]
            if depth + 1 == open_count:
                self._read(kind, state, element, len(element), depth)
                return
            # The last child is open: every one before it is complete.
            self._read(kind, state, element, len(element) - 1, depth)
            child = chain[depth + 1]
            kind = kind.children.get(child.tag, _OTHER)
            if kind is HIT and child is not self.held and id(child) not in self.saved:
                # Left whole for the next piece, which nearly always completes it.
                self.held = child
                return
            state = self._state(kind, state, child)

    def _state(self, kind, state, child):
        if kind is _OTHER:
            return None
        saved = self.saved.get(id(child))
        if saved is None:
            saved = self.saved[id(child)] = (child, kind.begin(self, state))
        return saved[1]

    def _read_batch(self, hits, record):
        """Read complete hits many at a time, if there is a batch reading and none was begun;
        False where they were not read."""
        if self.batch is None:
            return False
        if self.saved and any(id(hit) in self.saved for hit in hits):
            return False
        return self.batch.read_hits(hits, record)

    def _read(self, kind, state, element, count, depth):
        """Read the first count children of element, all complete, into state; drop them."""
        if not count:
            return
        table, children, saved = kind.table, kind.children, self.saved
        complete = element[:count]
        if kind is HITS and self._read_batch(complete, state.record):
            del element[:count]
            return
        for child in complete:
            tag = child.tag
            sub = children.get(tag)
            if sub is not None:
                partly = saved.pop(id(child), None)
                if partly is None and sub is HIT and self._read_batch([child], state.record):
                    continue
                child_state = partly[1] if partly else sub.begin(self, state)
                self._read(sub, child_state, child, len(child), depth + 1)
                sub.end(self, child_state, state)
                continue
            entry = table.get(tag)
            if entry is not None:
                name, convert = entry
                text = child.text or ""
                if convert:
                    try:
                        text = convert(text.strip())
                    except ValueError as error:
                        raise ValueError("%s of %s %s" % (tag, state.where, error))
                state.fields[name] = text
            elif tag not in KNOWN_NAMES:
                self.tree.note((tag,))
            if len(child):
                # Its nesting counts from the root: the child is one deeper than element.
                self.tree.discard(child, depth + 1)
        del element[:count]


def check_root(tag, source):
    if tag == "BlastOutput":
        return
    name = tag.rsplit("}", 1)[-1]
    if name == "BlastXML2":
        raise ValueError("this is a BLAST XML2 report, a different document type: ask for "
                         "the BlastOutput XML (BLAST+ -outfmt 5, the web service's "
                         "FORMAT_TYPE=XML)")
    if name.lower() == "html":
        raise ValueError("this is an HTML page, not a BLAST XML report: %s" % source.start())
    raise ValueError("this XML document is a <%s>, not a BLAST XML report (whose root "
                     "element is <BlastOutput>): %s" % (name, source.start()))


def parse_failure(error, source, path):
    """The message of a document the builder could not read."""
    if not source.head.strip():
        return "the input is empty: no BLAST XML report was read"
    lowered = source.head.lstrip().lower()
    if lowered.startswith("<!doctype html") or lowered.startswith("<html"):
        return "this is an HTML page, not a BLAST XML report: %s" % source.start()
    if source.eof:
        where = "inside <%s>" % "/".join(path) if path else "before its root element"
        return ("the BLAST XML report is cut short: it ends at line %d, column %d after %d "
                "bytes, %s" % (source.line, source.column, source.total, where))
    return "the input is not well-formed XML (%s); it starts %s" % (_located(error, source),
                                                                     source.start())


def _located(error, source):
    """The builder's error, where it is at a line and column of a document after the stream's
    first, with the stream's line and column."""
    if not source.document_at or not getattr(error, "position", None):
        return error
    line, column = source.position(*error.position)
    # The builder's message ends with the position: "mismatched tag: line 3, column 4".
    return "%s: line %d%s" % (str(error).rsplit(": line ", 1)[0], line,
                              "" if column is None else ", column %d" % column)
