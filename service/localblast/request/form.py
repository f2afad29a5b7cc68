"""A request's form: its fields by upper-case name, each with the values given in order."""
from urllib.parse import parse_qsl


def read_form(*encoded):
    """The form of URL-encoded texts (the query string, then a POST body)."""
    form = {}
    for text in encoded:
        for name, value in parse_qsl(text, keep_blank_values=True):
            form.setdefault(name.upper(), []).append(value)
    return form
