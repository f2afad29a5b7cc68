"""Errors that the service turns into pages."""


class Refused(Exception):
    """A submission the service will not run; the message says why, for the error page."""
