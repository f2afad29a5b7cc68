"""An XML document's elements as the standard library's C tree builder makes them, read from
a stream that is hostile until read. What the builder does not bound by itself is bounded here:

- Entity declarations are refused before expat sees them (only the document type's internal
  subset, before the root element, can hold them, and the interpreter's expat does not limit
  how far entities expand), and so are attribute-list declarations, whose defaults would be
  copied into every element.
- The path of open elements is at most MAX_DEPTH long, and subtrees are freed by cutting them
  apart, never by a C recursion as deep as they nest.
- Expat keeps every distinct element and attribute name for as long as it parses, so names
  beyond the ones the caller knows are counted and refused past MAX_NEW_NAMES.
- A token that keeps expat from finishing any element is handed to it in growing pieces, since
  expat reads such a token again from its start with every piece it is given.
"""

import gc
import xml.etree.cElementTree as ElementTree
from xml.parsers import expat

# The most bytes handed to expat at a time, while one token holds it up.
MAX_CHUNK_SIZE = 16 * 1024 * 1024
MAX_DEPTH = 32
MAX_PROLOGUE = 1024 * 1024
MAX_NEW_NAMES = 1000

ParseError = ElementTree.ParseError
# Encodings in which "<", ">" and "=" are the bytes of their ASCII code and no other.
_ASCII_SAFE = frozenset([None, "utf-8", "utf8", "us-ascii", "ascii", "iso-8859-1", "latin-1",
                         "latin1"])


class Input(object):
    """The stream's bytes, and what an error message tells of them: how they start, how many
    there were, where they ended."""

    def __init__(self, handle):
        self.handle = handle
        self.head = ""
        self.total = 0
        self.line, self.column = 1, 0
        self.eof = False

    def read(self, size):
        data = self.handle.read(size)
        if isinstance(data, unicode):
            data = data.encode("utf-8")
        elif isinstance(data, bytearray):
            data = str(data)
        elif data is not None and not isinstance(data, str):
            raise TypeError("the stream's read() gave %s, not bytes or text"
                            % type(data).__name__)
        if not data:
            self.eof = True
            return ""
        if len(self.head) < 512:
            self.head += data[:512 - len(self.head)]
        self.total += len(data)
        # str.replace seeks a lone byte with memchr, where count steps through every byte.
        newlines = len(data) - len(data.replace("\n", ""))
        self.line += newlines
        self.column = len(data) - data.rfind("\n") - 1 if newlines else self.column + len(data)
        return data

    def start(self, size=200):
        text = " ".join(self.head[:size].split())
        return repr(text + ("..." if self.total > size else ""))


class Tree(object):
    """The document's elements, fed to the builder piece by piece by pieces().

    The builder reports each element's end; the last of them tells which elements on the chain
    (the root and, from each element on, its last child) are still open."""

    def __init__(self, handle, known_names, check_root, chunk_size):
        self.chunk_size = chunk_size
        self.source = Input(handle)
        self.known = known_names
        self.check_root = check_root
        self.parser = ElementTree.XMLParser()
        self.events = []
        self.parser._setevents(self.events, ("start", "end"))
        self.root = None
        self.last_end = None
        self.finished = False
        self.prologue = _Prologue()
        self.new_names = set()
        self.offset = 0
        self.markup = _Markup()

    def pieces(self):
        """Read and build the document; yield after each piece, and once at its end."""
        size = self.chunk_size
        while True:
            data = self.source.read(size)
            progressed = self._build(data)
            yield
            if not data:
                return
            size = self.chunk_size if progressed else min(2 * size, MAX_CHUNK_SIZE)

    def _build(self, data):
        """Feed data to the builder (close it when data is empty); True when an element ended."""
        with collection_paused():
            if data:
                self._feed(data)
            else:
                self.parser.close()
                self.finished = True
            return self._take_events()

    def _feed(self, data):
        start, failure = 0, None
        if self.prologue is not None:
            if self.prologue.feed(data):
                start = len(data)
            else:
                start = max(0, self.prologue.root_at - self.offset)
                failure = self.prologue.failure
                self.markup.trusted = self.prologue.ascii_safe()
                self.prologue = None
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
            self.root = events[0][1]
            self.parser._setevents(events, ("end",))
            self.check_root(self.root.tag, self.source)
        if not self.markup.trusted:
            for _, element in events:
                names = element.keys()
                if names:
                    self.note(names)
        self._note_last_end()
        return True

    def _note_last_end(self):
        # Only the first piece has start events among the ends.
        last = next((element for event, element in reversed(self.events) if event == "end"),
                    None)
        if last is not None:
            self.last_end = last
        del self.events[:]

    def note(self, names):
        """Count names the caller does not know; too many, and the document is refused."""
        for name in names:
            if name not in self.new_names and name not in self.known:
                self.new_names.add(name)
                if len(self.new_names) > MAX_NEW_NAMES:
                    raise ValueError(
                        "this document uses more than %d element and attribute names that it "
                        "should not have (%s, ...)" % (MAX_NEW_NAMES, ", ".join(
                            repr(new) for new in sorted(self.new_names)[:5])))

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


class _Markup(object):
    """Watches the raw bytes for attributes, which the caller's documents do not have: an "="
    inside a tag. Until one is seen (and only in an encoding where the bytes can be trusted),
    elements need not be asked for theirs, which would cost more than building them."""

    def __init__(self):
        self.trusted = False
        self.inside = False

    def has_attributes(self, data, start):
        if not self.trusted:
            return True
        if _may_hold(data, "=") and data.find("=", start) >= 0:
            for piece in data[start:].split("=")[:-1]:
                self._follow(piece)
                if self.inside:
                    return True
            start = data.rfind("=") + 1
        self._follow(data[start:] if start else data)
        return False

    def _follow(self, piece):
        opened, closed = piece.rfind("<"), piece.rfind(">")
        if opened != closed:
            self.inside = opened > closed


def _may_hold(data, byte):
    """False where data surely lacks byte: str.replace seeks a lone byte with memchr (find steps
    through every byte), and gives back the string itself where it finds none."""
    return data.replace(byte, "") is not data


class _RootStarted(Exception):
    pass


class _Prologue(object):
    """Reads what comes before the root element with an expat of its own, refusing the
    declarations that the builder's expat would act on without bound."""

    def __init__(self):
        self.parser = expat.ParserCreate(namespace_separator="}")
        self.parser.EntityDeclHandler = self._refuse_entities
        self.parser.UnparsedEntityDeclHandler = self._refuse_entities
        self.parser.AttlistDeclHandler = self._refuse_attributes
        self.parser.XmlDeclHandler = self._declared
        self.parser.StartElementHandler = self._root
        self.size = 0
        self.head = ""
        self.encoding = None
        self.root_at = 0
        self.failure = None

    def feed(self, data):
        """Read data; False once nothing more of the document needs reading here."""
        self.size += len(data)
        self.head = (self.head + data)[:4]
        try:
            self.parser.Parse(data, False)
        except _RootStarted:
            return False
        except expat.ExpatError as error:
            # Not XML: the tree builder, reading the same bytes, says how.
            self.root_at, self.failure = self.size, error
            return False
        if self.size > MAX_PROLOGUE:
            raise ValueError("this document runs past %d bytes before its root element "
                             "starts" % MAX_PROLOGUE)
        return True

    def ascii_safe(self):
        utf16 = self.head[:2] in ("\xff\xfe", "\xfe\xff") or "\0" in self.head
        return not utf16 and self.encoding in _ASCII_SAFE

    def _refuse_entities(self, *declaration):
        raise ValueError("the document declares XML entities (<!ENTITY ...>); it was refused "
                         "unread, since expanding them could take unbounded memory")

    def _refuse_attributes(self, *declaration):
        raise ValueError("the document declares attribute lists (<!ATTLIST ...>); it was "
                         "refused unread, since their defaults would be copied into every "
                         "element")

    def _declared(self, version, encoding, standalone):
        self.encoding = encoding.lower() if encoding else None

    def _root(self, *start):
        self.root_at = self.parser.CurrentByteIndex
        raise _RootStarted()
