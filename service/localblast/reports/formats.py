"""The report formats a results request may ask for (FORMAT_TYPE), and the shape of the report
it asks for: which format, how many hits, descriptions and alignments, and GI numbers or not."""
import collections

from ..errors import Refused
from ..pages.api_pages import HTML, TEXT
from ..request.form import list_sizes, switch, value

# outfmt: blast_formatter's options; per_query: a zip of one file per query; edits: the name of
# the edits that make BLAST+'s output the service's (see edits.py); sized_by: the list sizes
# that apply to it ("lists": descriptions and alignments apart, "hits": one hit limit,
# "smallest": the smallest of the three sizes as the hit limit).
Format = collections.namedtuple("Format", "name outfmt content_type extension per_query edits sized_by")

FORMATS = {format.name.upper(): format for format in [
    Format("HTML", ("-outfmt", "0", "-html"), HTML, "html", False, "html", "lists"),
    Format("Text", ("-outfmt", "0"), TEXT, "txt", False, "text", "lists"),
    Format("XML", ("-outfmt", "5"), "text/xml; charset=utf-8", "xml", False, "xml", "smallest"),
    Format("Tabular", ("-outfmt", "7"), TEXT, "txt", False, "tabular", "hits"),
    Format("XML2", ("-outfmt", "14"), "application/zip", "zip", True, "xml2", "hits"),
    Format("XML2_S", ("-outfmt", "16"), "text/xml; charset=utf-8", "xml", False, "xml2", "hits"),
    Format("JSON2", ("-outfmt", "13"), "application/zip", "zip", True, "json", "hits"),
    Format("JSON2_S", ("-outfmt", "15"), "application/json", "json", False, "json", "hits"),
]}
DEFAULT = "HTML"

# What a report is made of: formats and their cuts. descriptions and alignments are for the
# formats that list them apart; hits for the others (None: every hit the search kept).
Shape = collections.namedtuple("Shape", "format hits descriptions alignments show_gi")


def read_format(text, default=DEFAULT):
    """The Format that FORMAT_TYPE `text` names (letter case aside); Refused for another."""
    name = text or default
    # ASCII only: upper() makes some other letters ASCII ones ("ſ" is "S").
    found = FORMATS.get(name.upper()) if name.isascii() else None
    if found is None:
        names = ", ".join(known.name for known in FORMATS.values())
        raise Refused("FORMAT_TYPE must be one of %s; received %r" % (names, text))
    return found


def smallest(*sizes):
    given = [size for size in sizes if size is not None]
    return min(given) if given else None


def requested(form, search):
    """The Shape a results request asks for: its own FORMAT_TYPE, list sizes and NCBI_GI, each
    one it leaves out as the submission gave it."""
    report_format = read_format(value(form, "FORMAT_TYPE"), search.format_type)
    sizes = dict(search.sizes, **list_sizes(form))
    show_gi = switch(form, "NCBI_GI", search.show_gi)
    hits, descriptions, alignments = (sizes.get(name) for name in ("HITLIST_SIZE", "DESCRIPTIONS", "ALIGNMENTS"))
    if report_format.sized_by == "lists":
        # A description and an alignment per hit: the hit list bounds both.
        return Shape(report_format, None, smallest(descriptions, hits), smallest(alignments, hits), show_gi)
    if report_format.sized_by == "smallest":
        # In XML every hit is one description and one alignment.
        return Shape(report_format, smallest(hits, descriptions, alignments), None, None, show_gi)
    return Shape(report_format, hits, None, None, show_gi)


def formatter_arguments(shape):
    """blast_formatter's options for a Shape."""
    arguments = list(shape.format.outfmt)
    for option, size in (("-max_target_seqs", shape.hits), ("-num_descriptions", shape.descriptions),
                         ("-num_alignments", shape.alignments)):
        if size is not None:
            arguments += [option, str(size)]
    return arguments + (["-show_gis"] if shape.show_gi else [])
