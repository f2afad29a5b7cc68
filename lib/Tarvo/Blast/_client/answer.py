"""An answer's body as a file of bytes that reads it from the connection as it is asked for."""

from Tarvo.Blast._client.framing import PIECE
from Tarvo.Blast._client.failures import TransportError


class Answer(object):
    """The body of an answer, as a file of bytes that cannot seek.

    It is read from the connection as it is asked for, so that no more of it is held than the
    caller holds; worded turns a failure of the transport into the caller's own error."""

    def __init__(self, body, worded):
        self._body = body
        self._worded = worded
        self._held = ""
        self._at = 0
        self.closed = False

    def start(self, size, enough):
        """The body's start, which is read again: up to size bytes, no more once enough is
        among them, so that a body sent slowly is returned as soon as it can be judged."""
        while len(self._held) < size and enough not in self._held:
            piece = self._piece(size - len(self._held))
            if not piece:
                break
            self._held += piece
        return self._held[:size]

    def read(self, size=-1):
        """size bytes, fewer only at the end; all that is left without a size."""
        whole = size is None or size < 0
        parts = [self._take(len(self._held) if whole else size)]
        count = len(parts[0])
        while whole or count < size:
            piece = self._piece(PIECE if whole else size - count)
            if not piece:
                break
            parts.append(piece)
            count += len(piece)
        return "".join(parts)

    def readline(self, size=-1):
        """The next line, its line end included; at most size bytes of it, if given."""
        left = size if size is not None and size >= 0 else None
        parts = []
        while left != 0:
            if self._at == len(self._held):
                self._held, self._at = self._piece(PIECE), 0
                if not self._held:
                    break
            end = self._held.find("\n", self._at)
            end = len(self._held) if end < 0 else end + 1
            part = self._take(end - self._at if left is None else min(left, end - self._at))
            parts.append(part)
            if left is not None:
                left -= len(part)
            if part.endswith("\n"):
                break
        return "".join(parts)

    def readlines(self):
        return list(self)

    def tell(self):
        """How many bytes of the body have been read."""
        return self._body.received - (len(self._held) - self._at)

    def __iter__(self):
        return self

    def next(self):
        line = self.readline()
        if not line:
            raise StopIteration
        return line

    def close(self):
        if not self.closed:
            self.closed = True
            self._held, self._at = "", 0
            self._body.close()

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        self.close()

    def _take(self, size):
        data = self._held[self._at:self._at + size]
        self._at += len(data)
        return data

    def _piece(self, size):
        if self.closed:
            raise ValueError("I/O operation on closed file")
        try:
            return self._body.read(size)
        except TransportError as error:
            raise self._worded(error)
