"""The service's own page, answered at / and at each of the API's addresses when a request
gives no CMD, as NCBI's Blast.cgi answers its search page there."""
import collections
from html import escape

from .api_pages import page as html_page

# What the page may show: the Api (its database, its store, its guidelines), the request
# journal, the API's addresses and the journal's.
Site = collections.namedtuple("Site", "api journal paths journal_path")


def page(site, form, listing):
    """(HTTP status, HTML text) of the page for a request's `form`; `listing` is whether this
    client may see the searches held and the journal (loopback clients, or --share-journal)."""
    addresses = ", ".join("<code>%s</code>" % escape(path) for path in site.paths)
    body = ("<h1>Local BLAST service</h1>\n"
            "<p>This service runs BLAST+ searches and answers NCBI's Common URL API (CMD=Put, Get, Delete "
            "and DisplayRIDs) at %s.</p>\n" % addresses)
    if listing:
        body += ("<p>The requests it answered are in its request journal, as JSON: <a href=\"%s\">%s</a>.</p>\n"
                 % (escape(site.journal_path), escape(site.journal_path)))
    return 200, html_page("Local BLAST service", body)
