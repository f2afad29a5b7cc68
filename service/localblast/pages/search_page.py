"""A search's own page: its status, what was asked, its reports' links and, for clients that may
see the journal, the requests that named it. While it runs the page reloads itself, as NCBI's
page of a running search does, without a script."""
from . import links, requests_seen
from .rendering import render
from ..store.job import WAITING

# Seconds between reloads of a running search's page: its RTOE, within these.
RELOAD = (2, 60)


def render_search(site, values, rid):
    summary = site.api.store.summary_of(rid)
    entries = site.journal.entries(rid=rid) if summary is not None else []
    reload = None
    if summary is not None and summary.status == WAITING:
        reload = min(max(site.api.rtoe, RELOAD[0]), RELOAD[1])
    journal = requests_seen.latest(values["api_path"], entries) if values["listing"] else None
    return render("search.html", rid=rid, summary=summary, reload=reload,
                  reports=links.reports(values["api_path"], summary) if summary is not None else [],
                  submitted_with=requests_seen.submission(entries), journal=journal, **values)
