"""The service's own pages, rendered by Jinja2 from the templates beside this file with
autoescaping on for every template, so that no value reaches a page unescaped by accident."""
import os
import time

import jinja2

from ..request import echo

TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")
# Characters of a received value a page shows, escapes counted: enough to recognise it.
SHOWN = 120


def shown(text, limit=SHOWN):
    """`text` cut to about `limit` characters, escapes counted, a cut one naming its full length
    (a `length` it carries, if it was cut before); its cost does not grow with the text's length."""
    text = text if isinstance(text, str) else str(text)
    received = getattr(text, "length", len(text))
    head, count = echo.escaped_head(text, limit, echo.inert)
    if count == received:
        return head
    return "%s... (%d characters)" % (head, received)


def when(seconds, precise=False):
    """A Unix time as the server's local time, to the second (`precise`: to the millisecond)."""
    moment = time.localtime(seconds)
    fraction = ".%03d" % int(seconds % 1 * 1000) if precise else ""
    return time.strftime("%Y-%m-%d %H:%M:%S", moment) + fraction + time.strftime(" %z", moment)


ENVIRONMENT = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES), autoescape=True,
                                 undefined=jinja2.StrictUndefined, trim_blocks=True, lstrip_blocks=True,
                                 auto_reload=False)
ENVIRONMENT.filters.update(shown=shown, when=when)


def render(template, **values):
    return ENVIRONMENT.get_template(template).render(**values)
