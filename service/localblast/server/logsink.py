"""The log's sink: every line it writes is escaped there, so that no caller can forget to. A
received text may hold terminal controls (ESC, BEL, CR...) that a terminal showing the log would
obey, or line breaks that would forge lines of their own."""
import logging
import re

from ..request.echo import inert

# Anything beyond printable ASCII and line feeds takes the slow path.
PLAIN = re.compile(r"[\n\x20-\x7e]*")
INDENT = "    "


def escaped(message):
    """`message` with every character that is not printable escaped (\\x1b, \\r, \\u202e), and
    each line after the first indented: no received text can start a line of the log."""
    if not PLAIN.fullmatch(message):
        message = "".join(inert(character) if character != "\n" else character
                          for character in message)
    return message.replace("\n", "\n" + INDENT)


class ToSink(logging.Handler):
    """Hands a library's log records (waitress's) to the service's own log function."""

    def __init__(self, log):
        super().__init__(logging.WARNING)
        self._log = log

    def emit(self, record):
        try:
            self._log("%s: %s" % (record.name, self.format(record)))
        except Exception:
            self.handleError(record)


def route_library_logs(log, names=("waitress",), quiet=("waitress.queue",)):
    """Sends the warnings of the named loggers to `log`; the `quiet` ones keep only errors
    (waitress warns of every request that waits for a free thread). Returns a function that
    undoes it."""
    handler = ToSink(log)
    for name in names:
        logger = logging.getLogger(name)
        logger.addHandler(handler)
        logger.setLevel(logging.WARNING)
        logger.propagate = False
    for name in quiet:
        logging.getLogger(name).setLevel(logging.ERROR)

    def undo():
        for name in names:
            logging.getLogger(name).removeHandler(handler)
    return undo
