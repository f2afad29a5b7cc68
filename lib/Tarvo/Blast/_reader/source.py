"""The stream a reader reads, and what an error message tells of it."""

from Tarvo.Blast._text import quoted_start

# The most of a document's start kept for messages.
HEAD = 512


def occurrences(data, byte):
    """How often byte is in data. str.replace seeks a lone byte with memchr, where count and
    find compare every byte in turn: quick where the byte is rare, as it mostly is."""
    return len(data) - len(data.replace(byte, ""))


class Input(object):
    """The stream's bytes, and what an error message tells of them: how the document being
    read starts, how many bytes there were, where they ended. The bytes of the next document,
    read with the end of the one before it, are given back to be read again."""

    def __init__(self, handle):
        self.handle = handle
        self.head = ""
        self.total = 0
        self.line, self.column = 1, 0
        self.eof = False
        self.given_back = ""
        # Where the document being read begins: its byte, line and column in the stream.
        self.document_at = 0
        self.document_line, self.document_column = 1, 0
        # The last two pieces read, where a later document's start is looked for.
        self.previous = self.latest = ""

    def read(self, size):
        if self.given_back:
            data, self.given_back = self.given_back, ""
            return data
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
        if len(self.head) < HEAD:
            self.head += data[:HEAD - len(self.head)]
        self.total += len(data)
        newlines = occurrences(data, "\n")
        self.line += newlines
        self.column = len(data) - data.rfind("\n") - 1 if newlines else self.column + len(data)
        self.previous, self.latest = self.latest, data
        return data

    def next_document(self, data):
        """data, the last bytes read, begins another document: it is read again first."""
        self.given_back = data
        self.document_at = self.total - len(data)
        self.head = data[:HEAD]
        newlines = occurrences(data, "\n")
        self.document_line = self.line - newlines
        if not newlines:
            self.document_column = self.column - len(data)
            return
        # The column of a line begun before data: where the last pieces read show its start.
        seen = self.previous + self.latest
        at = len(seen) - len(data)
        begun = seen.rfind("\n", 0, max(at, 0)) + 1
        self.document_column = (at - begun if begun or len(seen) == self.total else None)

    def position(self, line, column):
        """The stream's line and column (None where unknown) of the document's line and
        column, as expat counts them."""
        if line > 1:
            return self.document_line + line - 1, column
        return (self.document_line, None if self.document_column is None else
                self.document_column + column)

    def start(self, size=200):
        """The document's start, quoted for a message."""
        return quoted_start(self.head, self.total - self.document_at, size)
