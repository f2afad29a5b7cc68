"""The client's own errors, and the words a caller gets for a failure of the transport: which
request failed, of which search, and how."""

import urllib2

from Tarvo.Blast._client import failures as failed, transport
from Tarvo.Blast._client.answer import Answer
from Tarvo.Blast._client.terminal import shown

PAGE_ALLOWANCE = "a page of the BLAST service may have"


class SearchTimeout(IOError):
    """A request stalled or a search ran past its deadline, connecting included."""


class AnswerTooLarge(IOError):
    """An answer of the service ran past the size allowed for it."""


class RedirectRefused(IOError):
    """The service redirected a request to where it is not followed."""


class Request(object):
    """One request of a search, sent at sent: words what went wrong with it. allowed says who
    allows the size of its answer."""

    REFUSALS = {
        "scheme": "only http and https are followed",
        "malformed": "that is not an address",
        "downgrade": "it is not followed from https down to plain http",
        "port": "its port is not a TCP port (1 to 65535)",
        "resend": "that would send the form again as a GET, without its fields; set "
                  "TARVO_BLAST_URL to the service's new address",
        "count": "the %d redirects it follows were not enough" % transport.MAX_REDIRECTS,
    }

    def __init__(self, search, name, sent, allowed):
        self.search = search
        self.name = name
        self.sent = sent
        self.allowed = allowed
        self.url = search.settings.url

    def worded(self, error):
        """The error a caller gets for a failure of the transport."""
        if isinstance(error, failed.Expired):
            return self._expired(error)
        if isinstance(error, failed.TooLarge):
            return AnswerTooLarge("the answer to the %s is larger than the %d bytes %s: it %s" % (
                self.name, error.most, self.allowed, "went on past them"
                if error.announced is None else "says it has %d" % error.announced))
        if isinstance(error, failed.Truncated):
            return IOError("the BLAST service at %s closed the connection after %d bytes of "
                           "its answer to the %s, %s" % (
                               self.url, error.received, self.name,
                               "before its last chunk" if error.announced is None
                               else "which announced %d" % error.announced))
        if isinstance(error, failed.Malformed):
            return IOError("the BLAST service at %s gave no proper HTTP answer to the %s: %s"
                           % (self.url, self.name, shown(error.detail)))
        if isinstance(error, failed.Refused):
            return RedirectRefused("the BLAST service redirected the %s (HTTP %d) to %s: %s" % (
                self.name, error.code, shown(repr(error.target)), self.REFUSALS[error.why]))
        if isinstance(error, failed.Broken):
            return IOError("the connection to the BLAST service at %s failed during the %s: %s"
                           % (self.url, self.name, shown(str(error.reason))))
        if isinstance(error, failed.Failure):
            page = Request(self.search, self.name, self.sent, PAGE_ALLOWANCE)
            return urllib2.HTTPError(error.url, error.code, shown(error.reason),
                                     error.headers, Answer(error.body, page.worded))
        if isinstance(error, failed.Unreachable):
            # A URLError still, as urllib2 raises it, but escaped and naming what was asked.
            return urllib2.URLError("the BLAST service at %s could not be reached for the %s: %s"
                                    % (self.url, self.name, shown(str(error.reason))))
        return error

    def _expired(self, expired):
        search = self.search
        if expired.deadline:
            return SearchTimeout(
                "BLAST search %s ran out of time: the %s s that TARVO_BLAST_DEADLINE allows "
                "were over %s (%s s waited in all, %s s of them on that request)" % (
                    search.name(), span(search.settings.deadline), self._during(expired),
                    span(search.waited()), span(search.now() - self.sent)))
        if expired.connecting:
            return SearchTimeout("the BLAST service at %s could not be reached in %s s for the "
                                 "%s (%s s waited in all)" % (
                                     self.url, span(expired.seconds), self.name,
                                     span(search.waited())))
        return SearchTimeout("the BLAST service at %s sent nothing for %s s while answering "
                             "the %s (%s s waited in all)" % (
                                 self.url, span(expired.seconds), self.name,
                                 span(search.waited())))

    def _during(self, expired):
        if expired.connecting:
            return "while connecting to the BLAST service at %s for the %s" % (self.url,
                                                                              self.name)
        return "while the BLAST service at %s was answering the %s" % (self.url, self.name)


def out_of_time(search, what):
    """The search's deadline would be over before its next request, what, is due."""
    return SearchTimeout("BLAST search %s ran out of time: %s s waited (status %s), and the "
                         "next %s would be due when the %s s that TARVO_BLAST_DEADLINE allows "
                         "are over" % (search.name(), span(search.waited()), search.status,
                                       what, span(search.settings.deadline)))


def span(seconds):
    return ("%.1f" % seconds).rstrip("0").rstrip(".")
