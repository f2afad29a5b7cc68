"""The pages the service answers with, shaped like the NCBI web service's: the QBlastInfo
comment blocks that clients read, and error text in an element of class "error"."""
from html import escape

from ..request.echo import shown

HTML = "text/html; charset=utf-8"
TEXT = "text/plain; charset=utf-8"

# NCBI writes the submission's block and the status blocks in two layouts, and clients match
# them as written ("RID = ", "Status="): (the opening, a key = value line).
SUBMISSION_LAYOUT = ("<!--QBlastInfoBegin\n", "    %s = %s\n")
STATUS_LAYOUT = ("<!--\nQBlastInfoBegin\n", "\t%s=%s\n")


def page(title, body):
    return ("<!DOCTYPE html>\n<html>\n<head><meta charset=\"utf-8\"><title>%s</title></head>\n"
            "<body>\n%s</body>\n</html>\n" % (escape(title), body))


def report_page(title):
    """The text before and after the preformatted text of a report shown as a page, which
    carries the status block of a finished search as NCBI's results page does."""
    head, tail = page(title, info_block(STATUS_LAYOUT, ("Status", "READY")) + "<pre>\n\0</pre>\n").split("\0")
    return head, tail


def info_block(layout, *fields):
    """A QBlastInfo block of (key, value) pairs in `layout`."""
    opening, line = layout
    return opening + "".join(line % field for field in fields) + "QBlastInfoEnd\n-->\n"


def submitted(rid, rtoe):
    return page("BLAST submission %s" % rid,
                info_block(SUBMISSION_LAYOUT, ("RID", rid), ("RTOE", rtoe))
                + "<p>Your search was submitted with the request id %s.</p>\n" % rid
                # For a person who submitted from the service's page; clients read the block.
                # The query alone is replaced, so the link stays at the API address posted to.
                + "<p><a href=\"?RID=%s\">Follow the search on its page</a>.</p>\n" % escape(rid))


def status(state, there_are_hits=None, detail=""):
    body = info_block(STATUS_LAYOUT, ("Status", state))
    if there_are_hits is not None:
        body += info_block(STATUS_LAYOUT, ("ThereAreHits", "yes" if there_are_hits else "no"))
    if detail:
        body += error_paragraph(detail)
    return page("BLAST status", body)


def error_paragraph(message):
    return "<p class=\"error\">%s</p>\n" % escape(message, quote=False).replace("\n", "<br>\n")


def error(message, state=None):
    """An error page; with `state`, also the status block of a search in that state."""
    body = info_block(STATUS_LAYOUT, ("Status", state)) if state else ""
    return page("BLAST error", body + error_paragraph(message))


def unknown(rid):
    """The error page of an RID that is not held."""
    return error("RID %s is unknown: it was never issued, or its search was deleted or has expired" % shown(rid),
                 "UNKNOWN")


def rid_list(held):
    """DisplayRIDs' answer: a line "RID<tab>Status" for each (rid, status) held."""
    return "".join("%s\t%s\n" % pair for pair in held)
