"""The service's errors: each one's message says what went wrong and what was received."""

STOPPING = "the service is stopping"


class Refused(Exception):
    """A request the service will not carry out; the message says why, for the error page."""


class BlastFailed(Exception):
    """BLAST+ did not produce a report; the message holds its status and standard error."""


class DatabaseError(Exception):
    """The database folder is missing a file or holds one that cannot be read."""
