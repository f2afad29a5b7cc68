"""The client's settings, read from the environment at every search."""

import re

from Tarvo.Blast._client import transport

DEFAULT_URL = "https://blast.ncbi.nlm.nih.gov/Blast.cgi"
DEFAULT_MIN_INTERVAL = 10.0
DEFAULT_POLL_INTERVAL = 60.0
DEFAULT_DEADLINE = 1800.0
# Far beyond the largest report of the web service's 20,000 hits with long alignments.
DEFAULT_MAX_BYTES = 1024 * 1024 * 1024


class Settings(object):
    def __init__(self, url, email, min_interval, poll_interval, deadline, max_bytes):
        self.url = url
        self.email = email
        self.min_interval = min_interval
        self.poll_interval = poll_interval
        self.deadline = deadline
        self.max_bytes = max_bytes

    @classmethod
    def read(cls, environ):
        """The settings environ gives; a ValueError names a variable whose value is wrong."""
        url = environ.get("TARVO_BLAST_URL") or DEFAULT_URL
        if not re.match(r"https?://[^/]", url):
            raise ValueError("TARVO_BLAST_URL must be an http:// or https:// address, not %r"
                             % url)
        try:
            port = transport.bad_port(url)
        except ValueError:   # such as "http://[::1/"
            raise ValueError("TARVO_BLAST_URL is not an address: %r" % url)
        if port:
            raise ValueError("TARVO_BLAST_URL must name a TCP port (1 to 65535), not %r" % url)
        return cls(url, environ.get("TARVO_BLAST_EMAIL", ""),
                   _seconds(environ, "TARVO_BLAST_MIN_INTERVAL", DEFAULT_MIN_INTERVAL, 0),
                   _seconds(environ, "TARVO_BLAST_POLL_INTERVAL", DEFAULT_POLL_INTERVAL, 0),
                   _seconds(environ, "TARVO_BLAST_DEADLINE", DEFAULT_DEADLINE, None),
                   _bytes(environ, "TARVO_BLAST_MAX_BYTES", DEFAULT_MAX_BYTES))


def _bytes(environ, name, default):
    text = environ.get(name, "").strip()
    if not text:
        return default
    if not text.isdigit() or not int(text):
        raise ValueError("%s must be a whole number of bytes above 0, not %r" % (name, text))
    return int(text)


def _seconds(environ, name, default, least):
    text = environ.get(name, "").strip()
    if not text:
        return default
    try:
        value = float(text)
    except ValueError:
        raise ValueError("%s must be a number of seconds, not %r" % (name, text))
    if value != value or value in (float("inf"), float("-inf")):
        raise ValueError("%s must be a finite number of seconds, not %r" % (name, text))
    if least is None and value <= 0:
        raise ValueError("%s must be more than 0 seconds, not %r" % (name, text))
    if least is not None and value < least:
        raise ValueError("%s must be at least %g seconds, not %r" % (name, least, text))
    return value
