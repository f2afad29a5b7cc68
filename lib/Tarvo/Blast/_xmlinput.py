"""The bytes of a document before the tree builder gets them, watched for what the builder
would act on without bound:

- Declaration: an encoding that expat cannot read, refused before either expat sees the XML
  declaration that names it.
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

import codecs
import re
from xml.parsers import expat

MAX_PROLOGUE = 1024 * 1024
# A text of more pieces than this, of fewer bytes than SMALL_PIECE each on average, is refused:
# no report's text has more than a few, and the builder keeps each piece as an object of some
# 50 bytes until the text ends. (Reads of a few bytes each make a piece each too.)
MAX_TEXT_PIECES = 100000
SMALL_PIECE = 16

# Encodings that expat reads by itself; any other is read through the interpreter's codecs.
_EXPAT_ENCODINGS = frozenset(["utf-8", "utf-16", "utf-16le", "utf-16be", "iso-8859-1",
                              "us-ascii"])
# Encodings in which "<", ">" and "=" are the bytes of their ASCII code and no other.
_ASCII_SAFE = frozenset([None, "utf-8", "utf8", "us-ascii", "ascii", "iso-8859-1", "latin-1",
                         "latin1"])
# The interpreter's names of the encodings expat reads by itself, and expat's.
_EXPAT_CODECS = {"utf-8": "UTF-8", "iso8859-1": "ISO-8859-1", "ascii": "US-ASCII",
                 "utf-16": "UTF-16", "utf-16-le": "UTF-16LE", "utf-16-be": "UTF-16BE"}
_ALL_BYTES = "".join(chr(code) for code in range(256))
_ASCII = _ALL_BYTES[:128].decode("ascii")
# What makes the builder start a new piece of a text: a line end, markup, a reference.
_SPLITTERS = "\n\r<&"
_UNICODE_SPLITTERS = dict.fromkeys(map(ord, _SPLITTERS))


def occurrences(data, byte):
    """How often byte is in data. str.replace seeks a lone byte with memchr, where count and
    find compare every byte in turn: quick where the byte is rare, as it mostly is."""
    return len(data) - len(data.replace(byte, ""))


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
        newlines = occurrences(data, "\n")
        self.line += newlines
        self.column = len(data) - data.rfind("\n") - 1 if newlines else self.column + len(data)
        return data

    def start(self, size=200):
        text = " ".join(self.head[:size].split())
        return repr(text + ("..." if self.total > size else ""))


def _named(encoding):
    shown = repr(encoding[:40] + (u"..." if len(encoding) > 40 else u""))
    return shown[1:] if shown.startswith("u") else shown


def check_encoding(encoding):
    """Refuse a declared encoding that expat cannot read, naming it (expat reads any other
    through a codec, and a codec that is unknown or not for text fails in its own ways).
    Return expat's own name for an encoding expat reads by itself under another name (expat
    would read "utf8" as one byte a character, every byte past ASCII a replacement character),
    else None."""
    name = encoding.lower()
    if name in _EXPAT_ENCODINGS:
        return None
    try:
        info = codecs.lookup(name)
    except (LookupError, ValueError, TypeError):   # TypeError: a NUL in the name
        raise ValueError("the document declares the encoding %s, which is not one known here"
                         % _named(encoding))
    if info.name in _EXPAT_CODECS:
        return _EXPAT_CODECS[info.name]
    if not getattr(info, "_is_text_encoding", True):
        raise ValueError("the document declares the encoding %s, which is not an encoding of "
                         "text" % _named(encoding))
    try:
        characters = info.decode(_ALL_BYTES, "replace")[0]
    except Exception as error:
        raise ValueError("the document declares the encoding %s, which cannot decode bytes "
                         "(%s: %s)" % (_named(encoding), type(error).__name__, error))
    if not isinstance(characters, unicode):
        raise ValueError("the document declares the encoding %s, which is not an encoding of "
                         "text" % _named(encoding))
    if len(characters) != 256:
        raise ValueError("the document declares the encoding %s, which is not one byte a "
                         "character: XML in it cannot be read here" % _named(encoding))
    if characters[:128] != _ASCII:
        raise ValueError("the document declares the encoding %s, which does not write XML's "
                         "markup as ASCII bytes: XML in it cannot be read here"
                         % _named(encoding))
    return None


_ENCODING = re.compile(r"""\sencoding\s*=\s*(?:"([^"]*)"|'([^']*)')""")


class Declaration(object):
    """Holds the document's first bytes back until its XML declaration is whole, and refuses an
    encoding it names that expat cannot read: expat hands a name it does not know to the
    interpreter's codecs, which fail in ways of their own, before any handler hears of it."""

    MOST = 1024

    def __init__(self):
        self.held = ""
        # expat's own name for the encoding declared, where it reads it under another.
        self.encoding = None

    def take(self, data):
        """The bytes to feed on, held ones first; None while the declaration is not whole."""
        held = self.held = self.held + data
        text = _as_text(held)
        if text.startswith("<?xml"[:len(text)]) and len(text) < 6:
            return held if not data else None
        if not (text.startswith("<?xml") and text[5:6].isspace()):
            return held
        end = text.find("?>")
        if end < 0:
            if data and len(held) < self.MOST:
                return None
            if data:
                raise ValueError("this document's XML declaration runs past %d bytes"
                                 % self.MOST)
            return held
        match = _ENCODING.search(text, 0, end)
        if match:
            native = check_encoding(match.group(1) if match.group(1) is not None else
                                    match.group(2))
            # Only where the bytes agree: expat finds UTF-16 by them, whatever is declared.
            if native and native.startswith("UTF-16") == isinstance(text, unicode):
                self.encoding = native
        return held


def _as_text(head):
    """The document's first bytes as characters, in its byte order where it is UTF-16, without
    a byte-order mark."""
    for mark, codec in (("\xef\xbb\xbf", None), ("\xff\xfe", "utf-16-le"),
                        ("\xfe\xff", "utf-16-be")):
        if head.startswith(mark):
            head = head[len(mark):]
            return head[:len(head) // 2 * 2].decode(codec, "replace") if codec else head
    if head[1:2] == "\0":
        return head[:len(head) // 2 * 2].decode("utf-16-le", "replace")
    if head[:1] == "\0":
        return head[:len(head) // 2 * 2].decode("utf-16-be", "replace")
    return head


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
        """"le" or "be" for a document in UTF-16, else None; as expat tells, by its first
        bytes."""
        if self.head[:2] == "\xff\xfe" or self.head[1:2] == "\0":
            return "le"
        if self.head[:2] == "\xfe\xff" or self.head[:1] == "\0":
            return "be"
        return None

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
