"""Every way an HTTP request can fail, as data: what timed out, which limit, which redirect.
The caller words them."""

import httplib
import socket
import ssl
import urllib2


class TransportError(Exception):
    """A request that did not end in an answer of the size and shape allowed."""


class Expired(TransportError):
    """A wait ended without a sign of the server: deadline tells whether the request's deadline
    cut it short (else it lasted the whole stall limit), connecting whether no connection was
    made yet."""

    def __init__(self, deadline, seconds, connecting=False):
        TransportError.__init__(self, deadline, seconds, connecting)
        self.deadline, self.seconds, self.connecting = deadline, seconds, connecting


class TooLarge(TransportError):
    """The answer ran past most bytes; announced is the length it declared, if that did."""

    def __init__(self, most, announced=None):
        TransportError.__init__(self, most, announced)
        self.most, self.announced = most, announced


class Truncated(TransportError):
    """The connection closed after received bytes of a body that announced more (announced is
    None for a chunked body cut before its last chunk)."""

    def __init__(self, received, announced):
        TransportError.__init__(self, received, announced)
        self.received, self.announced = received, announced


class Malformed(TransportError):
    """The answer is not HTTP; detail says where."""

    def __init__(self, detail):
        TransportError.__init__(self, detail)
        self.detail = detail


class Refused(TransportError):
    """A redirect not followed: why is "scheme", "downgrade", "resend", "count" or "port"."""

    def __init__(self, code, target, why):
        TransportError.__init__(self, code, target, why)
        self.code, self.target, self.why = code, target, why


class Unreachable(TransportError):
    """No connection could be made; reason is the socket's error."""

    def __init__(self, reason):
        TransportError.__init__(self, reason)
        self.reason = reason


class Broken(TransportError):
    """The connection failed once made; reason is the socket's error."""

    def __init__(self, reason):
        TransportError.__init__(self, reason)
        self.reason = reason


class Failure(TransportError):
    """An HTTP failure, whose page body reads within the request's limits."""

    def __init__(self, url, code, reason, headers, body):
        TransportError.__init__(self, url, code, reason)
        self.url, self.code, self.reason, self.headers, self.body = (
            url, code, reason, headers, body)


def own(error):
    """The one place where the errors of the layers below become these."""
    if isinstance(error, TransportError):
        return error
    if isinstance(error, httplib.HTTPException):
        return Malformed("%s: %s" % (type(error).__name__, error))
    if isinstance(error, urllib2.URLError):
        return Unreachable(error.reason)
    if isinstance(error, (socket.error, ssl.SSLError)):
        return Broken(error)
    return error
