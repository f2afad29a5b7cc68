"""One HTTP request to a service that is hostile until its answer is checked: every wait, the
answer's body included however slowly it trickles, ends within the request's limits; the body
may not run past a size; redirects go to http or https only, never from https down to http;
and text from the server is escaped before it can reach a terminal."""

import errno
import functools
import httplib
import io
import select
import socket
import ssl
import urllib2
import urlparse

# Redirects followed for one request.
MAX_REDIRECTS = 10
_PIECE = 64 * 1024


class AnswerTooLarge(IOError):
    """An answer of the service ran past the size allowed for it."""


class RedirectRefused(IOError):
    """The service redirected a request to where it is not followed."""


class Expired(socket.timeout):
    """A wait of a request ended without a sign of the service: deadline tells whether the
    request's deadline cut it short, else it lasted the whole stall limit."""

    def __init__(self, deadline, seconds):
        socket.timeout.__init__(self, "timed out")
        self.deadline = deadline
        self.seconds = seconds


class Limits(object):
    """How long one request may wait: each wait at most stall seconds, and all of them before
    deadline, a time of clock."""

    def __init__(self, clock, stall, deadline):
        self.clock = clock
        self.stall = stall
        self.deadline = deadline

    def wait(self):
        """Seconds the next wait may last; Expired once the deadline has passed."""
        left = self.deadline - self.clock()
        if left <= 0:
            raise Expired(True, 0)
        return min(self.stall, left)

    def expired(self, seconds):
        return Expired(seconds < self.stall, seconds)


def fetch(url, data, what, limits, most, allowed):
    """The body of the answer to a GET of url (a POST of the form data, if given), as a
    stream at its start. what names the request in messages; most is the size of body
    allowed, and allowed says who allows it ("that ... allows")."""
    opener = urllib2.build_opener(_Plain(limits), _Secure(limits), _Redirects(what),
                                  _Errors())
    answer = opener.open(urllib2.Request(url, data))
    try:
        return _body(answer, most, lambda how: AnswerTooLarge(
            "the answer to the %s is larger than the %d bytes %s: it %s"
            % (what, most, allowed, how)))
    finally:
        answer.close()


def _body(answer, most, too_large):
    length = (answer.info().getheader("content-length") or "").strip()
    if length.isdigit() and int(length) > most:
        raise too_large("says it has %s" % length)
    body = io.BytesIO()
    while True:
        piece = answer.read(min(_PIECE, most + 1 - body.tell()))
        if not piece:
            break
        body.write(piece)
        if body.tell() > most:
            raise too_large("went on past them")
    body.seek(0)
    return body


def shown(text, most=200):
    """text as it may be shown on a terminal: control characters escaped (and bytes that are
    not UTF-8), cut after most characters."""
    if isinstance(text, str):
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError:
            return _cut(text.encode("string_escape"), most)
    escaped = u"".join(
        char if u" " <= char and not u"\x7f" <= char <= u"\x9f" else
        char.encode("unicode_escape").decode("ascii") for char in text)
    return _cut(escaped, most).encode("utf-8")


def _cut(text, most):
    return text if len(text) <= most else text[:most] + "..."


class _Socket(object):
    """A connected socket, plain or TLS, whose every wait is cut at the request's limits.

    It does not block: each read or write that would is followed by a wait for the socket, so
    that a TLS record arriving a byte at a time cannot wait past the limits either."""

    def __init__(self, sock, limits):
        sock.settimeout(0.0)
        self.sock = sock
        self.limits = limits

    def recv(self, size):
        return self._retry(False, self.sock.recv, size)

    def sendall(self, data):
        sent = 0
        while sent < len(data):
            count = self._retry(True, self.sock.send, data[sent:sent + _PIECE])
            if not count:
                self._wait(True)
            sent += count

    def handshake(self):
        self._retry(False, self.sock.do_handshake)

    def makefile(self, mode="rb", bufsize=-1):
        return socket._fileobject(self, mode, bufsize)

    def close(self):
        # As with a socket's own files: the connection is closed while its answer is still
        # read through a file of it, and the socket closes once the last of them is gone.
        pass

    def _retry(self, writing, operation, *arguments):
        while True:
            try:
                return operation(*arguments)
            except ssl.SSLWantReadError:
                self._wait(False)
            except ssl.SSLWantWriteError:
                self._wait(True)
            except socket.error as error:
                if error.args[0] not in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EINTR):
                    raise
                self._wait(writing)

    def _wait(self, writing):
        poll = select.poll()
        poll.register(self.sock, select.POLLOUT if writing else select.POLLIN)
        while True:
            seconds = self.limits.wait()
            try:
                if poll.poll(max(1, int(seconds * 1000 + 0.999))):
                    return
            except select.error as error:
                if error.args[0] == errno.EINTR:
                    continue
                raise
            raise self.limits.expired(seconds)


def _connect(host, port, limits, source_address):
    seconds = limits.wait()
    try:
        return socket.create_connection((host, port), seconds, source_address)
    except socket.timeout:
        raise limits.expired(seconds)


class _Connection(httplib.HTTPConnection):
    def __init__(self, host, limits=None, **options):
        httplib.HTTPConnection.__init__(self, host, **options)
        self.limits = limits

    def connect(self):
        self.sock = _Socket(_connect(self.host, self.port, self.limits, self.source_address),
                            self.limits)
        if self._tunnel_host:
            self._tunnel()


class _SecureConnection(httplib.HTTPSConnection):
    def __init__(self, host, limits=None, **options):
        httplib.HTTPSConnection.__init__(self, host, **options)
        self.limits = limits

    def connect(self):
        raw = _connect(self.host, self.port, self.limits, self.source_address)
        if self._tunnel_host:
            self.sock = _Socket(raw, self.limits)
            self._tunnel()
        tls = self._context.wrap_socket(raw, server_hostname=self._tunnel_host or self.host,
                                        do_handshake_on_connect=False)
        self.sock = _Socket(tls, self.limits)
        self.sock.handshake()


class _Plain(urllib2.HTTPHandler):
    def __init__(self, limits):
        urllib2.HTTPHandler.__init__(self)
        self.limits = limits

    def http_open(self, request):
        return self.do_open(functools.partial(_Connection, limits=self.limits), request)


class _Secure(urllib2.HTTPSHandler):
    def __init__(self, limits):
        urllib2.HTTPSHandler.__init__(self)
        self.limits = limits

    def https_open(self, request):
        return self.do_open(functools.partial(_SecureConnection, limits=self.limits), request,
                            context=self._context)


class _Redirects(urllib2.HTTPRedirectHandler):
    """Follows a redirect to http or https, never from https down to http. A form sent as a
    POST is sent again as the same POST on 307 and 308, which mean just that; any other
    redirect of it would turn it into a GET without its form, and is refused."""

    def __init__(self, what):
        self.what = what

    def http_error_302(self, request, answer, code, message, headers):
        locations = headers.getheaders("location") or headers.getheaders("uri")
        if not locations:
            return None
        target = urlparse.urljoin(request.get_full_url(), locations[0])
        refusal = _refusal(request, code, urlparse.urlsplit(target).scheme.lower())
        followed = getattr(request, "redirects", 0) + 1
        if followed > MAX_REDIRECTS:
            refusal = "the %d redirects it follows were not enough" % MAX_REDIRECTS
        # The redirect's own body is not read: it could be endless.
        answer.close()
        if refusal:
            raise RedirectRefused("the BLAST service redirected the %s (HTTP %d) to %s: %s"
                                  % (self.what, code, shown(repr(target)), refusal))
        post = request.get_method() == "POST"
        again = urllib2.Request(target, request.get_data() if post else None, headers=dict(
            (name, value) for name, value in request.headers.items()
            if post or name.lower() not in ("content-length", "content-type")))
        again.redirects = followed
        return self.parent.open(again, timeout=request.timeout)

    http_error_301 = http_error_303 = http_error_307 = http_error_308 = http_error_302


def _refusal(request, code, scheme):
    if scheme not in ("http", "https"):
        return "only http and https are followed"
    if request.get_type() == "https" and scheme == "http":
        return "it is not followed from https down to plain http"
    if request.get_method() == "POST" and code not in (307, 308):
        return ("that would send the form again as a GET, without its fields; set "
                "TARVO_BLAST_URL to the service's new address")
    return None


class _Errors(urllib2.HTTPDefaultErrorHandler):
    """HTTP failures as urllib2 raises them, with the server's reason escaped."""

    def http_error_default(self, request, answer, code, message, headers):
        raise urllib2.HTTPError(request.get_full_url(), code, shown(message), headers, answer)
