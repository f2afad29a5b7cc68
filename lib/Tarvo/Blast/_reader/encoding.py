"""A document's encoding, as its first bytes show it and as its XML declaration names it: the
byte order of UTF-16, and a declared encoding that expat cannot read, refused before either
expat sees the declaration that names it."""

import codecs
import re

# Encodings that expat reads by itself; any other is read through the interpreter's codecs.
_EXPAT_ENCODINGS = frozenset(["utf-8", "utf-16", "utf-16le", "utf-16be", "iso-8859-1",
                              "us-ascii"])
# The interpreter's names of the encodings expat reads by itself, and expat's.
_EXPAT_CODECS = {"utf-8": "UTF-8", "iso8859-1": "ISO-8859-1", "ascii": "US-ASCII",
                 "utf-16": "UTF-16", "utf-16-le": "UTF-16LE", "utf-16-be": "UTF-16BE"}
_ALL_BYTES = "".join(chr(code) for code in range(256))
_ASCII = _ALL_BYTES[:128].decode("ascii")
# Byte-order marks, and the byte order each stands for (None: UTF-8's, which has none).
BYTE_ORDER_MARKS = (("\xef\xbb\xbf", None), ("\xff\xfe", "le"), ("\xfe\xff", "be"))


def byte_order(head):
    """"le" or "be" for a document in UTF-16, else None, and the length of its byte-order
    mark: as expat tells, by its first bytes (a NUL first or second, without a mark)."""
    for mark, order in BYTE_ORDER_MARKS:
        if head.startswith(mark):
            return order, len(mark)
    if head[1:2] == "\0":
        return "le", 0
    if head[:1] == "\0":
        return "be", 0
    return None, 0


def _as_text(head):
    """The document's first bytes as characters, in its byte order where it is UTF-16, without
    a byte-order mark."""
    order, mark = byte_order(head)
    head = head[mark:]
    if order is None:
        return head
    return head[:len(head) // 2 * 2].decode("utf-16-" + order, "replace")


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
