"""waitress's connection, request reader and tasks, with what this service needs beyond them:

- when a request began to arrive (its deadlines count from there; the guidelines judge it by
  then, not by when its body was read);
- a request head sought in linear time however it is trickled in;
- Content-Length read as a bounded number (Python refuses to convert more than 4300 digits,
  which waitress does not expect), and chunked bodies refused as the service always has;
- refusals of the HTTP layer answered with the service's own error pages, logged and
  journaled as any other answer;
- a body that ends before its Content-Length answered as such rather than dropped;
- a refused request whose rest is still arriving read to its end before the connection closes
  (closed with bytes unread, the connection would be reset, and the refusal lost with it);
- an answer given up when the service stops: the connection closes without a word.
"""
import errno
import socket
import time

from waitress.channel import HTTPChannel
from waitress.parser import HTTPRequestParser, ParsingError
from waitress.rfc7230 import ONLY_DIGIT_RE
from waitress.task import ErrorTask, WSGITask
from waitress.utilities import (BadRequest, Error, InternalServerError, RequestEntityTooLarge,
                                RequestHeaderFieldsTooLarge)

from ..pages import api_pages
from ..pages.api_pages import HTML
from ..request import echo
from .app import ARRIVED, ARRIVED_AT, Dropped

LOGGED_LINE = 300
# Digits of a Content-Length beyond any body this service takes (leading zeros aside), and
# characters beyond any sensible one (the zeros too).
LENGTH_DIGITS = 12
LENGTH_TEXT = 40
# How long a connection lingers once a refusal is sent, reading and dropping what still comes:
# at most so many seconds, so many seconds without a byte, and so many bytes.
LINGER_SECONDS = 10.0
LINGER_QUIET = 2.0
LINGER_BYTES = 64 * 1024 * 1024


class Refusal(Error):
    """An HTTP-layer refusal with the service's own message."""

    def __init__(self, code, reason, message):
        super().__init__(message)
        self.code, self.reason = code, reason


def length_refusal(text, limit):
    """The Refusal of a Content-Length `text` that is not a number of bytes up to `limit`, or None."""
    if not ONLY_DIGIT_RE.match(text.encode("latin-1")):
        return Refusal(400, "Bad Request", "Content-Length must be a number of bytes; received %s" % echo.shown(text))
    digits = text.lstrip("0")
    if len(digits) > LENGTH_DIGITS or int(digits or "0") > limit:
        shown = "%s bytes" % text if len(text) <= LENGTH_TEXT else "a Content-Length of %d digits" % len(text)
        return Refusal(413, "Request Entity Too Large",
                       "the request body of %s exceeds this service's limit of %d bytes" % (shown, limit))
    if len(text) > LENGTH_TEXT:
        return Refusal(400, "Bad Request", "a Content-Length of %d characters (%d of them leading zeros) is longer "
                       "than this service reads" % (len(text), len(text) - len(digits)))
    return None


class RequestReader(HTTPRequestParser):
    """One request as it arrives. `began` (time.monotonic) and `arrived` (the Api's clock) are
    when its first bytes came, `arrived_at` the same as a Unix time."""

    def __init__(self, adj, clock, body_limit):
        super().__init__(adj)
        self.began = time.monotonic()
        self.arrived = clock()
        self.arrived_at = time.time()
        self.body_limit = body_limit
        self.refusal = None
        self.head_line = ""
        self._head = bytearray()

    def received(self, data):
        if self.body_rcv is None and not self.completed:
            # waitress joins and searches the whole head again for every piece that arrives:
            # a head trickled a byte at a time would cost time in the square of its length.
            start = max(len(self._head) - 3, 0)
            self._head += data
            if self._head.find(b"\r\n\r\n", start) < 0 and len(self._head) < self.adj.max_request_header_size:
                return len(data)
            buffered = len(self._head) - len(data)
            self.head_line = bytes(self._head[:LOGGED_LINE]).split(b"\r\n", 1)[0].decode("latin-1")
            head, self._head = bytes(self._head), None
            consumed = super().received(head) - buffered
        else:
            consumed = super().received(data)
        if self.completed and self.error is not None:
            self.error = self.refusal or self.own_refusal(self.error)
        return consumed

    def parse_header(self, header_plus):
        try:
            super().parse_header(header_plus)
        except ValueError:
            # A Content-Length of more digits than int() converts; the headers are read by then.
            self.refusal = length_refusal(self.headers.get("CONTENT_LENGTH", ""), self.body_limit)
            raise ParsingError(self.refusal.body if self.refusal else "Content-Length is invalid")
        except ParsingError:
            length = self.headers.get("CONTENT_LENGTH")
            self.refusal = length_refusal(length, self.body_limit) if length is not None else None
            raise
        if self.chunked:
            self.refusal = Refusal(411, "Length Required", "a POST needs a Content-Length; this service does "
                                   "not take chunked bodies")
            raise ParsingError(self.refusal.body)
        length = self.headers.get("CONTENT_LENGTH")
        if length is not None:
            self.refusal = length_refusal(length, self.body_limit)
            if self.refusal:
                raise ParsingError(self.refusal.body)

    def own_refusal(self, error):
        if isinstance(error, Refusal):
            return error
        if isinstance(error, RequestHeaderFieldsTooLarge):
            return Refusal(431, error.reason, "the request head exceeds this service's limit of %d bytes"
                           % self.adj.max_request_header_size)
        if isinstance(error, RequestEntityTooLarge):
            return Refusal(413, error.reason, "the request body exceeds this service's limit of %d bytes"
                           % self.body_limit)
        if isinstance(error, InternalServerError):
            return Refusal(500, error.reason, "the service failed to answer this request (see its log)")
        if isinstance(error, BadRequest):
            return Refusal(error.code, error.reason, "a malformed request: %s" % error.body)
        return Refusal(error.code, error.reason, str(error.body))


class AnswerTask(WSGITask):
    """A request answered by the application; one it drops closes the connection unanswered."""
    dropped = False

    def execute(self):
        try:
            super().execute()
        except Dropped:
            self.dropped = True
            self.close_on_finish = True

    def finish(self):
        if not self.dropped:
            super().finish()

    def get_environment(self):
        environ = super().get_environment()
        environ[ARRIVED] = self.request.arrived
        environ[ARRIVED_AT] = self.request.arrived_at
        return environ


class RefusalTask(ErrorTask):
    """A request refused before it reached the application, answered with an error page."""

    def execute(self):
        error = self.request.error
        if not isinstance(error, Refusal):
            error = self.request.own_refusal(error)
        # Noted first, as any answer is: a client that reads the journal once answered finds it there.
        self.channel.server.note_refusal(self.channel.addr, self.request, error.code)
        self.channel.lingers = True
        body = api_pages.error(error.body).encode("utf-8")
        self.status = "%d %s" % (error.code, error.reason)
        self.response_headers.extend([("Content-Type", HTML), ("Content-Length", str(len(body))),
                                      ("Connection", "close")])
        self.close_on_finish = True
        self.content_length = len(body)
        self.write(body)


class Connection(HTTPChannel):
    task_class = AnswerTask
    error_task_class = RefusalTask
    lingers = False     # set by a refusal: once it is sent the connection lingers, then closes
    lingering = None    # while it lingers: since when, on time.monotonic

    def __init__(self, server, sock, addr, adj, map=None):
        super().__init__(server, sock, addr, adj, map)
        clock, body_limit = server.clock, server.limits.body_bytes
        self.parser_class = lambda adj: RequestReader(adj, clock, body_limit)

    def readable(self):
        return self.lingering is not None or super().readable()

    def writable(self):
        return self.lingering is None and super().writable()

    def handle_write(self):
        if not (self.lingers and self.close_when_flushed and not self.requests):
            super().handle_write()
            return
        self._flush_exception(self._flush_some)
        if self.will_close:     # the client is gone
            self.handle_close()
        elif not self.total_outbufs_len:
            self.linger()

    def linger(self):
        """Ends the service's side of the connection, its answers all sent, and reads on until
        the client ends its side too or `lingered` says it is enough."""
        self.close_when_flushed = False
        try:
            self.socket.shutdown(socket.SHUT_WR)
        except OSError:
            self.handle_close()
            return
        self.lingering = self.last_heard = time.monotonic()
        self.dropped_bytes = 0

    def lingered(self, now):
        """Whether a lingering connection has lingered enough at `now` (time.monotonic)."""
        return now - self.lingering > LINGER_SECONDS or now - self.last_heard > LINGER_QUIET

    def handle_read(self):
        if self.lingering is not None:
            self.drop_what_comes()
            return
        try:
            data = self.socket.recv(self.adj.recv_bytes)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as error:
            if error.errno not in (errno.ECONNRESET, errno.ENOTCONN, errno.ESHUTDOWN, errno.ECONNABORTED,
                                   errno.EPIPE, errno.EBADF):
                self.logger.warning("a connection failed: %s", error)
            self.handle_close()
            return
        if data:
            self.last_activity = time.time()
            self.received(data)
        elif not self.body_cut_short():
            self.handle_close()

    def drop_what_comes(self):
        try:
            data = self.socket.recv(64 * 1024)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            self.handle_close()
            return
        self.dropped_bytes += len(data)
        if not data or self.dropped_bytes > LINGER_BYTES:
            self.handle_close()
        else:
            self.last_heard = time.monotonic()

    def body_cut_short(self):
        """Answers a request whose body ended before its Content-Length (the client closed its
        side); False if there is no such request."""
        request = self.request
        if request is None or not request.headers_finished or request.completed or self.requests:
            return False
        request.error = Refusal(400, "Bad Request", "the request body ended after %d of the %d bytes its "
                                "Content-Length announced" % (request.body_bytes_received, request.content_length))
        request.completed = True
        with self.requests_lock:
            self.requests.append(request)
            self.request = None
            self.server.add_task(self)
        return True
