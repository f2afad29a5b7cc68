"""An XML document's elements as the standard library's C tree builder makes them, read from
a stream that is hostile until read. What the builder does not bound by itself is bounded here
and, in the bytes before the builder sees them, in bounds and encoding:

- The path of open elements is at most MAX_DEPTH long, and subtrees are freed by cutting them
  apart, never by a C recursion as deep as they nest.
- Expat keeps every distinct element and attribute name for as long as it parses, so names
  beyond the ones the caller knows are counted and refused past MAX_NEW_NAMES; so are the
  prefixes that namespace declarations bind, which it keeps as well.
- A token that keeps expat from finishing any element is handed to it in growing pieces, since
  expat reads such a token again from its start with every piece it is given.
- A stream of several documents is cut where one ends and the next begins (boundary), each
  read by a Tree of its own within its own bounds; the names are counted over them all.

Parts that are here for speed alone, each safe to take out at a cost in time: the builder
reports only ends after the root's start, and the namespaces declared, for the names limit
(one end tells all that is complete); elements are
asked for their attributes only once the bytes show an attribute (bounds.Markup); cycle
collection waits while a piece is read (collection_paused).
"""

import gc
import xml.etree.cElementTree as ElementTree

from Tarvo.Blast._reader import bounds
from Tarvo.Blast._reader.boundary import Boundary
from Tarvo.Blast._reader.encoding import Declaration, byte_order

# The most bytes handed to expat at a time, while one token holds it up.
MAX_CHUNK_SIZE = 16 * 1024 * 1024
MAX_DEPTH = 32
MAX_NEW_NAMES = 1000
# Declarations inside a document (in its comments, say) after which no other is taken for the
# start of the next document: each is fed apart, and fed apart within a long comment, many
# would make expat read the comment again and again.
MAX_INNER_DECLARATIONS = 16

ParseError = ElementTree.ParseError


class Names(object):
    """The element and attribute names, and namespace prefixes, that a stream's documents use
    and its reader does not know: counted over the whole stream, and refused past
    MAX_NEW_NAMES."""

    def __init__(self, known):
        self.known = known
        self.new = set()

    def note(self, names):
        for name in names:
            if name not in self.new and name not in self.known:
                self.new.add(name)
                if len(self.new) > MAX_NEW_NAMES:
                    raise ValueError(
                        "this document uses more than %d element and attribute names that it "
                        "should not have (%s, ...)" % (MAX_NEW_NAMES, ", ".join(
                            repr(new) for new in sorted(self.new)[:5])))


class Tree(object):
    """A document's elements, read from source and fed to the builder piece by piece by
    pieces(), until the stream ends or another document begins in it.

    The builder reports each element's end; the last of them tells which elements on the chain
    (the root and, from each element on, its last child) are still open."""

    def __init__(self, source, names, check_root, chunk_size):
        self.chunk_size = chunk_size
        self.source = source
        self.names = names
        self.check_root = check_root
        self.events = []
        self._make_parsers(None)
        self.root = None
        self.last_end = None
        self.finished = False
        # Whether another document follows this one in the stream.
        self.followed = False
        self.declaration = Declaration()
        self.boundary = None
        self.inner_declarations = 0
        self.offset = 0
        self.markup = bounds.Markup()
        self.splits = None
        self.progressed = False

    def _make_parsers(self, encoding):
        """The builder and the prologue's expat, reading in encoding (None: as declared)."""
        self.parser = ElementTree.XMLParser(encoding=encoding)
        self.parser._setevents(self.events, ("start", "end", "start-ns"))
        self.prologue = bounds.Prologue(encoding)

    def pieces(self):
        """Read and build the document; yield after each piece, and once at its end."""
        size = self.chunk_size
        while not self.finished:
            self._build(self.source.read(size))
            yield
            size = self.chunk_size if self.progressed else min(2 * size, MAX_CHUNK_SIZE)

    def _build(self, data):
        """Feed data to the builder (close it at the document's end), and note what ended."""
        with collection_paused():
            if self.declaration is not None:
                ready = self.declaration.take(data)
                if ready is None:
                    self.progressed = False
                    return
                if self.declaration.encoding:
                    self._make_parsers(self.declaration.encoding)
                self.declaration = None
                self.boundary = Boundary(byte_order(ready)[0])
            else:
                ready = data
            progressed, following = self._feed_document(self.boundary.take(ready, not data))
            if following is not None or not data:
                self.parser.close()
                self.finished = True
                progressed = self._take_events() or progressed
            self.progressed = progressed
            if following is not None:
                self.followed = True
                self.source.next_document(following + self.boundary.take("", True))

    def _feed_document(self, data):
        """Feed data up to where another document begins, if one does; return whether an
        element ended, and the bytes from where the next document begins (None if none)."""
        progressed, fed, offset = False, 0, self.offset
        at = self.boundary.find(data, 0)
        # The document's own declaration begins no other.
        while at >= 0 and self.inner_declarations < MAX_INNER_DECLARATIONS:
            if offset + at:
                if at > fed:
                    self._feed(data[fed:at])
                    fed = at
                progressed = self._take_events() or progressed
                if self.root is not None and self.last_end is self.root:
                    return progressed, data[at:]
                self.inner_declarations += 1
            at = self.boundary.find(data, at + 1)
        if fed < len(data):
            self._feed(data[fed:] if fed else data)
        return self._take_events() or progressed, None

    def _feed(self, data):
        start, failure = 0, None
        if self.prologue is not None:
            if self.prologue.feed(data):
                start = len(data)
            else:
                start = max(0, self.prologue.root_at - self.offset)
                failure = self.prologue.failure
                self.markup.trusted = self.prologue.ascii_safe()
                self.splits = bounds.Splits(self.prologue.utf16(),
                                            MAX_NEW_NAMES + len(self.names.known))
                self.prologue = None
        if self.splits is not None and start < len(data):
            self.splits.check(data[start:] if start else data, self.offset + start,
                              self.progressed)
        self.offset += len(data)
        self.parser.feed(data)
        if failure:
            # Both are expat: the builder's should have failed on the same bytes. Had it not,
            # nothing would watch for declarations any more.
            raise ParseError(str(failure))
        if start < len(data) and self.markup.has_attributes(data, start):
            self.markup.trusted = False

    def _take_events(self):
        """Note what ended since the last piece; False when nothing did."""
        events = self.events
        if not events:
            return False
        if self.root is None:
            started = [element for event, element in events if event == "start"]
            if not started:
                self._note_names(events)
                return False
            self.root = started[0]
            self.parser._setevents(events, ("end", "start-ns"))
            self.check_root(self.root.tag, self.source)
        if not self.markup.trusted:
            self._note_names(events)
        return self._note_last_end()

    def _note_names(self, events):
        for event, item in events:
            if event == "start-ns":
                # Expat keeps every prefix bound, and every name written with one.
                self.note(["xmlns:" + item[0] if item[0] else "xmlns"])
            else:
                names = item.keys()
                if names:
                    self.note(names)

    def _note_last_end(self):
        """Note the element that ended last, if one did; whether one did."""
        # Only the first piece has start events among the ends.
        last = next((element for event, element in reversed(self.events) if event == "end"),
                    None)
        if last is not None:
            self.last_end = last
        del self.events[:]
        return last is not None

    def note(self, names):
        """Count names the caller does not know; too many, and the document is refused."""
        self.names.note(names)

    def chain(self):
        chain = []
        element = self.root
        while element is not None:
            chain.append(element)
            if len(chain) > MAX_DEPTH:
                raise _too_deep("/".join(outer.tag for outer in chain[:8]) + "/...")
            element = element[-1] if len(element) else None
        return chain

    def open_count(self, chain):
        """How many elements of the chain, from the root on, are still open."""
        if self.finished:
            return 0
        for depth, element in enumerate(chain):
            if element is self.last_end:
                return depth
        return len(chain)

    def open_path(self):
        """The tags of the open elements, for a message about where the input ended."""
        self._note_last_end()
        chain = self.chain()
        return [element.tag for element in chain[:self.open_count(chain)]]

    def discard(self, element, depth):
        """Drop what element holds, after noting its names; depth is element's own depth."""
        tags = []
        deepest = _dismantle(element, tags)
        self.note(tags)
        if depth + deepest >= MAX_DEPTH:
            raise _too_deep(element.tag + "/...")

    def dismantle(self):
        """Free every element left, cutting the tree apart from the root down."""
        del self.events[:]
        self.last_end = None
        if self.root is not None:
            _dismantle(self.root, [])


class collection_paused(object):
    """Cycle collection waits for the moment that a piece of the document takes to read: the
    builder's end events are tuples, thousands a piece, and reading makes lists by the
    hundred, all gone by the end of the piece, which the collector would otherwise walk again
    and again, with every young object beside them. (A class, not a generator's context: it is
    entered twice a piece.)"""

    def __enter__(self):
        self.collecting = gc.isenabled()
        gc.disable()

    def __exit__(self, *failure):
        if self.collecting:
            gc.enable()


def _too_deep(path):
    return ValueError("this document nests elements more than %d deep: <%s>"
                      % (MAX_DEPTH, path))


def _dismantle(element, tags):
    """Cut element's subtree apart, adding the tags it held to tags; return its depth below
    element."""
    deepest = 0
    stack = [(element, 0)]
    while stack:
        element, depth = stack.pop()
        if len(element):
            deepest = max(deepest, depth + 1)
            for child in element:
                tags.append(child.tag)
                stack.append((child, depth + 1))
            del element[:]
    return deepest
