"""A request's form as the Api takes it: its fields by upper-case name, each with the values
given in order, from the query string and a POSTed body; at most so many fields."""
from urllib.parse import parse_qsl

from ..request import numerals
from ..request.echo import shown
from .limits import FIELDS

FORM_TYPE = "application/x-www-form-urlencoded"


class FormRefused(Exception):
    """A request whose form is not read; `status` is the HTTP status that answers it."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


def field_count(text):
    # parse_qsl splits at "&" only; counted before anything is parsed, so that a body of empty
    # fields ("a=&a=&...") costs no more than reading it once.
    return text.count("&") + 1 if text else 0


def read_form(*encoded, fields=FIELDS):
    """The form of URL-encoded texts (the query string, then a POST body); FormRefused (400)
    beyond `fields` fields."""
    count = sum(field_count(text) for text in encoded)
    if count > fields:
        raise FormRefused(400, "the request holds %d form fields, more than this service's limit of %d"
                          % (count, fields))
    form = {}
    for text in encoded:
        for name, value in parse_qsl(text, keep_blank_values=True):
            form.setdefault(name.upper(), []).append(value)
    return form


def wsgi_text(text):
    """A WSGI text (bytes as Latin-1) as the UTF-8 it was sent in."""
    return text.encode("latin-1").decode("utf-8", "replace")


def request_form(environ, fields=FIELDS):
    """The form of a WSGI request; FormRefused for a POST that is not a form, or whose length
    is missing (waitress has checked the length and read the body whole)."""
    query = wsgi_text(environ.get("QUERY_STRING", ""))
    if environ.get("REQUEST_METHOD") != "POST":
        return read_form(query, fields=fields)
    length = environ.get("CONTENT_LENGTH", "")
    if not numerals.WHOLE.fullmatch(length):
        raise FormRefused(411, "a POST needs a Content-Length; received %s" % shown(length))
    content_type = environ.get("CONTENT_TYPE", FORM_TYPE)
    body = environ["wsgi.input"].read(int(length))
    # A media type is compared whole, letter case aside; parameters (a charset) are not read.
    if content_type.split(";", 1)[0].strip().lower() != FORM_TYPE:
        raise FormRefused(415, "a POST must be a form (%s); received %s" % (FORM_TYPE, shown(content_type)))
    return read_form(query, body.decode("utf-8", "replace"), fields=fields)
