"""The pages the service answers with, shaped like the NCBI web service's: the QBlastInfo
comment blocks that clients read, and error text in an element of class "error"."""
from html import escape


def page(title, body):
    return ("<!DOCTYPE html>\n<html>\n<head><meta charset=\"utf-8\"><title>%s</title></head>\n"
            "<body>\n%s</body>\n</html>\n" % (escape(title), body))


def info_block(*lines):
    return "<!--\nQBlastInfoBegin\n%s\nQBlastInfoEnd\n-->\n" % "\n".join("\t" + line for line in lines)


def submitted(rid, rtoe):
    return page("BLAST submission %s" % rid,
                "<!--QBlastInfoBegin\n    RID = %s\n    RTOE = %d\nQBlastInfoEnd\n-->\n"
                "<p>Your search was submitted with the request id %s.</p>\n" % (rid, rtoe, rid))


def status(state, there_are_hits=None, detail=""):
    body = info_block("Status=%s" % state)
    if there_are_hits is not None:
        body += info_block("ThereAreHits=%s" % ("yes" if there_are_hits else "no"))
    if detail:
        body += error_paragraph(detail)
    return page("BLAST status", body)


def error_paragraph(message):
    return "<p class=\"error\">%s</p>\n" % escape(message, quote=False).replace("\n", "<br>\n")


def error(message, state=None):
    """An error page; with `state`, also the status block of a search in that state."""
    body = info_block("Status=%s" % state) if state else ""
    return page("BLAST error", body + error_paragraph(message))
