"""The URLs the pages link to: a search's own page, and its reports as the URL API's own results
requests (CMD=Get&RID=...&FORMAT_TYPE=...), at the API address the page was asked at."""
from urllib.parse import urlencode

from ..reports.formats import FORMATS
from ..store.job import READY


def search_page(api_path, rid):
    return "%s?%s" % (api_path, urlencode({"RID": rid}))


def report(api_path, rid, format_type):
    return "%s?%s" % (api_path, urlencode((("CMD", "Get"), ("RID", rid), ("FORMAT_TYPE", format_type))))


def reports(api_path, summary):
    """[(format name, URL)] of every report the API makes of a finished search; none before."""
    if summary.status != READY:
        return []
    return [(format.name, report(api_path, summary.rid, format.name)) for format in FORMATS.values()]
