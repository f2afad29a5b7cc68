"""Edits of BLAST+'s XML report (-outfmt 5) where the NCBI web service answers differently.

BLAST+ writes every element on a line of its own and escapes the text, so an element's
content never holds "<" and a Hit never holds "</Hit>": plain patterns find them safely.
"""
import re
from xml.sax.saxutils import escape

HIT = re.compile(r"<Hit>.*?</Hit>\n?", re.DOTALL)
ITERATION_HITS = re.compile(r"(<Iteration_hits>\n?)(.*?)(</Iteration_hits>)", re.DOTALL)


def replace_element(report, name, text):
    pattern = re.compile(r"(<%s>)[^<]*(</%s>)" % (re.escape(name), re.escape(name)))
    return pattern.sub(lambda match: match.group(1) + escape(text) + match.group(2), report)


def label_query(report, query_id, query_def):
    """The report with the query's id (unless None) and definition set, in the report's header
    and in its iterations, where readers look first."""
    for scope in ("BlastOutput", "Iteration"):
        if query_id is not None:
            report = replace_element(report, scope + "_query-ID", query_id)
        report = replace_element(report, scope + "_query-def", query_def)
    return report


def keep_hits(report, limit):
    """The report with at most `limit` hits per iteration (the first ones, which are the best)."""
    def trim(match):
        hits = HIT.findall(match.group(2))
        if len(hits) <= limit:
            return match.group(0)
        return match.group(1) + "".join(hits[:limit]) + match.group(3)
    return ITERATION_HITS.sub(trim, report)


def has_hits(report):
    return "<Hit>" in report
