"""An answer's body, framed by its length, its chunks or the end of its connection: a chunk
size or a length is checked, not trusted, and a body cut short is an error, never an end."""

import re

from Tarvo.Blast._client.failures import Malformed, TooLarge, Truncated, own

# The most asked of a connection at once.
PIECE = 64 * 1024
# A chunk's size line, or its trailers, past which the framing is not HTTP.
MAX_LINE = 64 * 1024
_CHUNK_SIZE = re.compile(r"[0-9A-Fa-f]{1,15}\Z")


class Body(object):
    """An answer's body as the caller reads it: framed by its length, its chunks or the end of
    the connection, and never past most bytes. Its data comes straight from the socket, as
    much as has come; its lines through httplib's file, which holds nothing back."""

    def __init__(self, response, sock, most):
        self._file = response.fp
        self._sock = sock
        self._most = most
        self._announced = response.length
        self._chunked = response.chunked
        self._chunk_left = 0
        self.received = 0
        self._done = False
        self._failed = None

    def read(self, size):
        """Up to size bytes of the body, "" at its end."""
        if self._failed:
            raise self._failed
        if self._done:
            return ""
        try:
            data = self._read(size)
        except Exception as error:
            self.close()
            # A read after a failure must not look like the body's end.
            self._failed = own(error)
            raise self._failed
        self.received += len(data)
        if not data:
            self.close()
        return data

    def close(self):
        if not self._done:
            self._done = True
            self._file.close()
            self._sock.release()

    def _read(self, size):
        if self._announced is not None:
            if self._announced > self._most:
                raise TooLarge(self._most, self._announced)
            data = self._sock.recv(min(size, self._announced - self.received))
            if not data and self.received < self._announced:
                raise Truncated(self.received, self._announced)
            return data
        if self._chunked:
            return self._chunk(size)
        data = self._sock.recv(min(size, self._most + 1 - self.received))
        self._check(len(data))
        return data

    def _chunk(self, size):
        if not self._chunk_left:
            line = self._file.readline(MAX_LINE + 1)
            if len(line) > MAX_LINE:
                raise Malformed("a chunk size line past %d bytes" % MAX_LINE)
            if not line.endswith("\n"):
                raise Truncated(self.received, None)
            text = line.split(";", 1)[0].strip()
            if not _CHUNK_SIZE.match(text):
                raise Malformed("a chunk size of %r" % line[:40])
            self._chunk_left = int(text, 16)
            if not self._chunk_left:
                self._trailers()
                return ""
            self._check(self._chunk_left)
        data = self._sock.recv(min(size, self._chunk_left))
        if not data:
            raise Truncated(self.received, None)
        self._chunk_left -= len(data)
        if not self._chunk_left and self._file.readline(MAX_LINE + 1).strip():
            raise Malformed("a chunk longer than its size")
        return data

    def _trailers(self):
        left = MAX_LINE
        while True:
            line = self._file.readline(left + 1)
            left -= len(line)
            if left < 0:
                raise Malformed("trailers past %d bytes" % MAX_LINE)
            if not line.strip():
                return

    def _check(self, coming):
        if self.received + coming > self._most:
            raise TooLarge(self._most)
