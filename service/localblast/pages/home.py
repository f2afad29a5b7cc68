"""The service's own page, answered at / and at each of the API's addresses when a request
gives no CMD, as NCBI's Blast.cgi answers its search page there: a search form that submits
through the API's own CMD=Put and, for clients that may see them, the searches held and the
request journal. A request that names an RID gets that search's page instead."""
import collections

from ..programs import PROGRAMS
from ..request import fields
from . import requests_seen, search_page, searches
from .rendering import render

# What the pages may show: the Api (its catalogue of databases, its store, its guidelines), the
# request journal, the API's addresses and the journal's.
Site = collections.namedtuple("Site", "api journal paths journal_path")
# The tool the form's submissions name, which tells them apart in the journal.
TOOL = "localblast-page"
# What the form offers at first: the service's own defaults.
DEFAULTS = {"EXPECT": "10", "HITLIST_SIZE": "100"}


def common(site, listing, path):
    """What every page's layout needs: the API address its links and forms use (the one the
    page was asked at, else the first), whether the lists are shown, and the guidelines kept."""
    guidelines = site.api.guidelines
    return {"api_path": path if path in site.paths else site.paths[0], "paths": site.paths,
            "journal_path": site.journal_path, "listing": listing, "guidelines": guidelines.mode,
            "request_interval": guidelines.request_interval, "poll_interval": guidelines.poll_interval}


def databases(catalogue):
    """[(name, its molecules as words)] of the databases served."""
    molecules = collections.defaultdict(list)
    for database in catalogue.databases():
        molecules[database.name].append(database.molecule)
    return [(name, " and ".join(sorted(kinds))) for name, kinds in sorted(molecules.items())]


def page(site, form, listing, path="/"):
    """(HTTP status, HTML text) of the page for a request's `form` at `path`; `listing` is
    whether this client may see the searches held and the journal (loopback clients, or
    --share-journal)."""
    values = common(site, listing, path)
    rid = fields.text(form, "RID")
    if rid:
        return 200, search_page.render_search(site, values, rid)
    held = journal = None
    if listing:
        held = searches.latest(values["api_path"], site.api.store.summaries())
        journal = requests_seen.latest(values["api_path"], site.journal.entries())
    return 200, render("home.html", programs=list(PROGRAMS), databases=databases(site.api.database),
                       tool=TOOL, defaults=DEFAULTS, held=held, journal=journal, journal_kept=site.journal.size,
                       journal_dropped=site.journal.dropped(), **values)
