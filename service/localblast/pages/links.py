"""The URLs the pages link to: a search's own page, and its reports as the URL API's own results
requests (CMD=Get&RID=...&FORMAT_TYPE=...), at the API address the page was asked at."""
from urllib.parse import urlencode

from ..errors import Refused
from ..reports.formats import FORMATS, report_format
from ..store.job import READY


def search_page(api_path, rid):
    return "%s?%s" % (api_path, urlencode({"RID": rid}))


def report(api_path, rid, format_type):
    return "%s?%s" % (api_path, urlencode((("CMD", "Get"), ("RID", rid), ("FORMAT_TYPE", format_type))))


def made(format_type, program):
    """Whether the API makes a report of FORMAT_TYPE `format_type` for a search of `program`."""
    try:
        report_format(format_type, None, program)
    except Refused:
        return False
    return True


def reports(api_path, summary):
    """[(format name, URL)] of every report the API makes of a finished search; none before."""
    if summary.status != READY:
        return []
    return [(name, report(api_path, summary.rid, name)) for name in FORMATS if made(name, summary.program)]
