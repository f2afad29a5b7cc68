"""One HTTP request to a server that is hostile until its answer is checked.

Every wait ends within the request's Timeout, and every read checks its deadline, so that an
answer streaming fast but without end is cut as surely as one that stalls. The header section
may not run past its size, nor the body (framed by framing) past its own, and redirects go to
http or https only, never from https down to http. It fails only with the exceptions of
failures, which carry what happened as data for the caller to word: nothing here knows
what the request is for."""

import errno
import httplib
import re
import select
import socket
import ssl
import urllib2
import urlparse

from Tarvo.Blast._client.framing import PIECE, Body
from Tarvo.Blast._client.failures import Expired, Failure, Malformed, Refused, Unreachable, own

# Redirects followed for one request.
MAX_REDIRECTS = 10
# Far beyond any real header section, interim 100 answers and a proxy's included; small enough
# that httplib, which joins leading "From " lines one by one, takes no time of its square.
MAX_HEAD_BYTES = 128 * 1024


class Timeout(object):
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


def fetch(url, data, timeout, most, most_failed):
    """The body of the answer to a GET of url (a POST of the form data, if given), read as it
    is asked for: at most most bytes, or most_failed for the page of an HTTP failure."""
    opener = urllib2.OpenerDirector()
    for handler in (urllib2.ProxyHandler(), urllib2.UnknownHandler(),
                    _Handler(timeout, most, most_failed), urllib2.HTTPErrorProcessor(),
                    _Redirects(), _Failures()):
        opener.add_handler(handler)
    try:
        return opener.open(urllib2.Request(url, data)).fp
    except Exception as error:
        raise own(error)


def bad_port(url):
    """The port url names if it is no TCP port, else None."""
    host = urlparse.urlsplit(url).netloc.rpartition("@")[2]
    found = re.search(r":([^:\]]*)\Z", host)
    port = found.group(1) if found else ""
    # Its length first: int() of an endless row of digits takes time of its square.
    if port and not (port.isdigit() and len(port) <= 5 and 0 < int(port) < 65536):
        return port
    return None

class _Socket(object):
    """A connected socket, plain or TLS, whose every wait is cut at the request's limits.

    It does not block: each read or write that would is followed by a wait for the socket, so
    that a TLS record arriving a byte at a time cannot wait past the limits either. Until the
    header section has been read, head_left bounds what it may bring."""

    def __init__(self, sock, timeout):
        sock.settimeout(0.0)
        self.sock = sock
        self.timeout = timeout
        self.head_left = MAX_HEAD_BYTES

    def recv(self, size):
        data = self._retry(False, self.sock.recv, size)
        if self.head_left is not None:
            self.head_left -= len(data)
            if self.head_left < 0:
                raise Malformed("the header section ran past %d bytes" % MAX_HEAD_BYTES)
        return data

    def sendall(self, data):
        sent = 0
        while sent < len(data):
            count = self._retry(True, self.sock.send, data[sent:sent + PIECE])
            if not count:
                self._wait(True)
            sent += count

    def handshake(self):
        self._retry(False, self.sock.do_handshake)

    def makefile(self, mode="rb", bufsize=-1):
        return socket._fileobject(self, mode, bufsize)

    def close(self):
        # As with a socket's own files: httplib closes the connection while its answer is
        # still read through a file of it; release() ends the socket.
        pass

    def release(self):
        self.sock.close()

    def _retry(self, writing, operation, *arguments):
        while True:
            # The deadline holds however fast the data comes, not only while it is awaited.
            self.timeout.wait()
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
            seconds = self.timeout.wait()
            try:
                if poll.poll(max(1, int(seconds * 1000 + 0.999))):
                    return
            except select.error as error:
                if error.args[0] == errno.EINTR:
                    continue
                raise
            raise self.timeout.expired(seconds)


class _Response(httplib.HTTPResponse):
    def begin(self):
        httplib.HTTPResponse.begin(self)
        self.fp._sock.head_left = None
        if not self.chunked:
            _check_length(self.msg.getheaders("content-length"))


def _check_length(values):
    """Refuse a body's length given twice with different values, or not as a number: httplib
    would take the body to end with the connection, and a cut one for a whole one."""
    if len(set(value.strip() for value in values)) > 1:
        raise Malformed("Content-Length given %d times, with different values: %s" % (
            len(values), ", ".join(repr(value[:40]) for value in values[:3])))
    if values and not values[0].strip().isdigit():
        raise Malformed("a Content-Length of %r" % values[0][:40])


class _Connection(httplib.HTTPConnection):
    """A connection over plain TCP, or over TLS when given a context."""

    response_class = _Response

    def __init__(self, host, limits, context=None):
        self.default_port = httplib.HTTPS_PORT if context else httplib.HTTP_PORT
        # strict: a status line that is not HTTP's is an error, never an HTTP/0.9 answer.
        httplib.HTTPConnection.__init__(self, host, strict=True)
        self.limits = limits
        self.context = context

    def connect(self):
        try:
            self._connect()
        except Expired as error:
            raise Expired(error.deadline, error.seconds, connecting=True)

    def _connect(self):
        if not 0 < self.port < 65536:
            raise Unreachable("port %d is not a TCP port" % self.port)
        seconds = self.limits.wait()
        try:
            raw = socket.create_connection((self.host, self.port), seconds, self.source_address)
        except socket.timeout:
            raise self.limits.expired(seconds)
        self.sock = _Socket(raw, self.limits)
        if self._tunnel_host:
            self._tunnel()
        if self.context is not None:
            tls = self.context.wrap_socket(raw, do_handshake_on_connect=False,
                                           server_hostname=self._tunnel_host or self.host)
            self.sock = _Socket(tls, self.limits)
            self.sock.handshake()


class _Handler(urllib2.HTTPHandler, urllib2.HTTPSHandler):
    """Opens http and https requests on a _Connection; the answer's file is a Body."""

    def __init__(self, timeout, most, most_failed):
        urllib2.HTTPSHandler.__init__(self)
        self.timeout, self.most, self.most_failed = timeout, most, most_failed

    def http_open(self, request):
        return self._open(request, None)

    def https_open(self, request):
        return self._open(request, ssl._create_default_https_context())

    def _open(self, request, context):
        connection = _Connection(request.get_host(), self.timeout, context)
        headers = dict(request.unredirected_hdrs)
        for name, value in request.headers.items():
            headers.setdefault(name, value)
        headers = dict((name.title(), value) for name, value in headers.items())
        headers["Connection"] = "close"
        if request._tunnel_host:
            secret = headers.pop("Proxy-Authorization", None)
            connection.set_tunnel(request._tunnel_host, headers=dict(
                [("Proxy-Authorization", secret)] if secret else []))
        try:
            connection.request(request.get_method(), request.get_selector(), request.data,
                               headers)
        except (socket.error, ssl.CertificateError) as error:
            # Refused, unresolved, a proxy's tunnel or a certificate refused (or one for another
            # host): as urllib2 has it.
            raise Unreachable(error)
        # httplib forgets the socket once it has the answer of a connection that closes.
        sock = connection.sock
        # Unbuffered, so that nothing of the body waits in httplib's file: the body is read
        # from the socket, as much as has come. An answer refused unread ends its connection.
        try:
            response = connection.getresponse()
        except Exception:
            sock.release()
            raise
        most = self.most if 200 <= response.status < 300 else self.most_failed
        return _Opened(Body(response, sock, most), response)


class _Opened(object):
    """An answer as urllib2's handlers see it: its code, reason and headers; fp its body."""

    def __init__(self, body, response):
        self.fp = body
        self.code, self.msg, self.headers = response.status, response.reason, response.msg

    def info(self):
        return self.headers

    def close(self):
        self.fp.close()

class _Redirects(urllib2.HTTPRedirectHandler):
    """Follows a redirect to http or https, never from https down to http. A form sent as a
    POST is sent again as the same POST on 307 and 308, which mean just that; any other
    redirect of it would turn it into a GET without its form, and is refused."""

    def http_error_302(self, request, answer, code, message, headers):
        locations = headers.getheaders("location") or headers.getheaders("uri")
        if not locations:
            return None
        followed = getattr(request, "redirects", 0) + 1
        try:
            target = urlparse.urljoin(request.get_full_url(), locations[0])
            why = _refusal(request, code, target)
        except ValueError:   # such as "http://[::1/"
            target, why = locations[0], "malformed"
        if followed > MAX_REDIRECTS:
            why = "count"
        # The redirect's own body is not read: it could be endless.
        answer.close()
        if why:
            raise Refused(code, target, why)
        post = request.get_method() == "POST"
        again = urllib2.Request(target, request.get_data() if post else None, headers=dict(
            (name, value) for name, value in request.headers.items()
            if post or name.lower() not in ("content-length", "content-type")))
        again.redirects = followed
        return self.parent.open(again, timeout=request.timeout)

    http_error_301 = http_error_303 = http_error_307 = http_error_308 = http_error_302


def _refusal(request, code, target):
    scheme = urlparse.urlsplit(target).scheme.lower()
    if scheme not in ("http", "https"):
        return "scheme"
    if request.get_type() == "https" and scheme == "http":
        return "downgrade"
    if bad_port(target):
        return "port"
    if request.get_method() == "POST" and code not in (307, 308):
        return "resend"
    return None


class _Failures(urllib2.BaseHandler):
    def http_error_default(self, request, answer, code, message, headers):
        raise Failure(request.get_full_url(), code, message, headers, answer.fp)
