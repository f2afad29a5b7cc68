"""Where one document of a stream ends and the next begins.

The older standalone BLAST programs wrote one XML document per query into one file, one after
another, each with its own XML declaration. A declaration cannot stand anywhere else: found
after a document's root element has ended, it begins the next document. Before that, the same
bytes can only be inside a comment, a CDATA section or an instruction of the document itself,
which is read on.
"""

from Tarvo.Blast._reader.encoding import BYTE_ORDER_MARKS
from Tarvo.Blast._reader.source import occurrences

_DECLARATION = u"<?xml"


class Boundary(object):
    """Finds, in the bytes of a document in the byte order given ("le", "be" or None), where an
    XML declaration may begin the next one (its byte-order mark included), and holds back a
    piece's last bytes where they may be the start of one."""

    def __init__(self, order):
        self.mark = _DECLARATION.encode("utf-16-" + order) if order else str(_DECLARATION)
        self.byte_order_mark = dict((order, mark) for mark, order in BYTE_ORDER_MARKS)[order]
        self.starts = (self.byte_order_mark + self.mark, self.mark)
        self.held = ""

    def take(self, data, final):
        """data after the bytes held back from the piece before it, less, unless final, a
        last few bytes that may begin a declaration: those are held for the next piece."""
        if self.held:
            data, self.held = self.held + data, ""
        tail = data[1 - len(self.starts[0]):]
        if final or (self.mark[0] not in tail and self.byte_order_mark[:1] not in tail):
            return data
        for size in range(len(self.starts[0]) - 1, 0, -1):
            tail = data[-size:]
            if len(tail) == size and any(start.startswith(tail) for start in self.starts):
                self.held = tail
                return data[:-size]
        return data

    def find(self, data, start):
        """Where in data, from start on, a declaration begins, its byte-order mark included;
        -1 where none does."""
        # Reports hold no "?" but in their declaration: a search for the byte alone, with
        # memchr, spares the search for the whole mark, which XML's letters make slow.
        if not start and not occurrences(data, "?"):
            return -1
        at = data.find(self.mark, start)
        if at < 0:
            return at
        before = at - len(self.byte_order_mark)
        return before if before >= start and data.startswith(self.byte_order_mark, before) else at
