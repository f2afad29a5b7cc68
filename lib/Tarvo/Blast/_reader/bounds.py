"""The bytes of a document before the tree builder gets them, watched for what the builder
would act on without bound (and, in encoding, for an encoding that expat cannot read):

- Prologue: entity and attribute-list declarations, refused before expat sees them (only the
  document type's internal subset, before the root element, can hold them; the interpreter's
  expat does not limit how far entities expand, and defaults would be copied into every
  element).
- Splits: a text broken into a great many pieces (by line ends, comments, references), each of
  which the builder keeps as an object of its own until the text ends, and a start tag of more
  attributes than the names limit allows, which expat and the builder store whole before the
  limit is looked at.
- Markup: whether the document has attributes at all (the reader's documents have none), so
  that elements need not be asked for theirs.
"""

from xml.parsers import expat

from Tarvo.Blast._reader.encoding import byte_order
from Tarvo.Blast._reader.source import occurrences

MAX_PROLOGUE = 1024 * 1024
# A text of more pieces than this, of fewer bytes than SMALL_PIECE each on average, is refused:
# no report's text has more than a few, and the builder keeps each piece as an object of some
# 50 bytes until the text ends. (Reads of a few bytes each make a piece each too.)
MAX_TEXT_PIECES = 100000
SMALL_PIECE = 16

# Encodings in which "<", ">" and "=" are the bytes of their ASCII code and no other.
_ASCII_SAFE = frozenset([None, "utf-8", "utf8", "us-ascii", "ascii", "iso-8859-1", "latin-1",
                         "latin1"])
# What makes the builder start a new piece of a text: a line end, markup, a reference.
_SPLITTERS = "\n\r<&"
_UNICODE_SPLITTERS = dict.fromkeys(map(ord, _SPLITTERS))


class _RootStarted(Exception):
    pass


class Prologue(object):
    """Reads what comes before the root element with an expat of its own, refusing the
    declarations that the builder's expat would act on without bound."""

    def __init__(self, encoding=None):
        self.parser = expat.ParserCreate(encoding, namespace_separator="}")
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

    def utf16(self):
        """"le" or "be" for a document in UTF-16, else None."""
        return byte_order(self.head)[0]

    def ascii_safe(self):
        return self.utf16() is None and self.encoding in _ASCII_SAFE

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


class Splits(object):
    """Counts, in the bytes about to be fed, the pieces of the text that is open, and the "="
    since the last "<" (a start tag cannot hold a "<", so its attributes are at most as many).

    Only pieces fed while no element ends are counted: an element's end ends the text, and so
    the count misses at most the rest of the piece where the last element ended and the piece
    after it, about two pieces. That keeps the work off the pieces of an ordinary report, in
    each of which many elements end."""

    def __init__(self, utf16, most_attributes):
        self.order = utf16
        self.most_attributes = most_attributes
        self.pieces = 0
        self.size = 0
        self.equals = 0

    def check(self, data, offset, progressed):
        """Refuse data (whose first byte is at offset in the document) where it would take
        the open text past MAX_TEXT_PIECES pieces or a start tag past the attributes allowed;
        progressed: whether an element ended in the piece before."""
        if progressed:
            self.pieces = self.size = self.equals = 0
            return
        if self.order:
            # In UTF-16 a byte of "<" may be half of another character.
            data = data[offset % 2:]
            data = data[:len(data) - len(data) % 2].decode("utf-16-" + self.order, "replace")
            kept = data.translate(_UNICODE_SPLITTERS)
        else:
            kept = data.translate(None, _SPLITTERS)
        # The builder also starts a new piece with each piece it is fed.
        self.pieces += len(data) - len(kept) + 1
        self.size += len(data)
        if self.pieces > MAX_TEXT_PIECES and self.pieces * SMALL_PIECE > self.size:
            raise ValueError("this document breaks one text into more than %d pieces (line "
                             "ends, comments or references within it) of fewer than %d bytes "
                             "on average, each of which would be kept apart until the text "
                             "ends" % (MAX_TEXT_PIECES, SMALL_PIECE))
        self._count_equals(data)

    def _count_equals(self, data):
        last = data.rfind("<")
        if self.equals + occurrences(data, "=") > self.most_attributes:
            stretches = data.split("<")
            stretches[0] = "=" * self.equals + stretches[0]
            if max(occurrences(stretch, "=") for stretch in stretches) > self.most_attributes:
                raise ValueError(
                    "this document has more than %d \"=\" between two tags: a start tag of "
                    "more attributes than the names allowed (or a text of as many \"=\")"
                    % self.most_attributes)
        self.equals = occurrences(data[last:], "=") if last >= 0 else (
            self.equals + occurrences(data, "="))


class Markup(object):
    """Watches the raw bytes for attributes, which the caller's documents do not have: an "="
    inside a tag. Until one is seen (and only in an encoding where the bytes can be trusted),
    elements need not be asked for theirs, which would cost more than building them."""

    def __init__(self):
        self.trusted = False
        self.inside = False

    def has_attributes(self, data, start):
        if not self.trusted:
            return True
        if occurrences(data, "=") and data.find("=", start) >= 0:
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
