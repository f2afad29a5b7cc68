"""The searches held as a page lists them: the latest few, newest first, each with its page's
and its reports' links."""
import collections

from . import links

SHOWN = 50

# summary: a store listing.Summary; page: its page's URL; reports: [(format name, URL)].
Row = collections.namedtuple("Row", "summary page reports")


def row(api_path, summary):
    return Row(summary, links.search_page(api_path, summary.rid), links.reports(api_path, summary))


def latest(api_path, summaries, shown=SHOWN):
    """(the Rows of the latest `shown` of `summaries` (oldest first), newest first; how many
    more there are)."""
    kept = summaries[-shown:] if shown else []
    return [row(api_path, summary) for summary in reversed(kept)], len(summaries) - len(kept)
