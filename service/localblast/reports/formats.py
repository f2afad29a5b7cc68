"""The reports a request may ask for (FORMAT_TYPE, and ALIGNMENT_VIEW for Text and HTML), what
blast_formatter makes each of them with, and the shape of the report a results request asks for:
which report, how many hits, descriptions and alignments, and GI numbers or not."""
import collections

from ..errors import Refused
from ..pages.api_pages import HTML, TEXT
from ..request.echo import shown
from ..request.fields import DEFAULT_HITLIST_SIZE

# outfmt: blast_formatter's options; per_query: a zip of one file per query; edits: the name of
# the edits that make BLAST+'s output the service's (see edits.py); sized_by: the list sizes
# that apply to it ("lists": descriptions and alignments apart, "hits": one hit limit,
# "smallest": the smallest of the three sizes as the hit limit); view: its ALIGNMENT_VIEW, for
# the reports that have more than one.
Format = collections.namedtuple("Format", "name outfmt content_type extension per_query edits sized_by view",
                                defaults=(None,))

XML = "text/xml; charset=utf-8"
JSON = "application/json"
ZIP = "application/zip"
FORMATS = {format.name: format for format in [
    Format("HTML", ("-outfmt", "0", "-html"), HTML, "html", False, "html", "lists"),
    Format("Text", ("-outfmt", "0"), TEXT, "txt", False, "text", "lists"),
    Format("XML", ("-outfmt", "5"), XML, "xml", False, "xml", "smallest"),
    Format("Tabular", ("-outfmt", "7"), TEXT, "txt", False, "tabular", "hits"),
    Format("CSV", ("-outfmt", "10"), "text/csv; charset=utf-8", "csv", False, "tabular", "hits"),
    Format("XML2", ("-outfmt", "14"), ZIP, "zip", True, "xml2", "hits"),
    Format("XML2_S", ("-outfmt", "16"), XML, "xml", False, "xml2", "hits"),
    Format("JSON2", ("-outfmt", "13"), ZIP, "zip", True, "json", "hits"),
    Format("JSON2_S", ("-outfmt", "15"), JSON, "json", False, "json", "hits"),
    # SAM has no registered media type: plain text, which every browser and tool shows.
    Format("SAM", ("-outfmt", "17"), TEXT, "sam", False, "sam", "hits"),
    # BLAST+'s Seq-align, as its archive holds it: its documents (one per query) made one.
    Format("JSONSA", ("-outfmt", "12"), JSON, "json", False, "seqalign", "hits"),
]}
DEFAULT = "HTML"

# NCBI's alignment views and blast_formatter's outputs for them; Pairwise is the default.
VIEWS = {"Pairwise": "0", "QueryAnchored": "1", "QueryAnchoredNoIdentities": "2", "FlatQueryAnchored": "3",
         "FlatQueryAnchoredNoIdentities": "4", "Tabular": "7"}
DEFAULT_VIEW = "Pairwise"
# The reports whose layout ALIGNMENT_VIEW chooses; CSV is a hit table only.
VIEWED = ("HTML", "Text")
# The programs whose searches blast_formatter writes as SAM.
SAM_PROGRAMS = ("blastn", "megablast")

# What a report is made of: its Format and its cuts. descriptions and alignments are for the
# formats that list them apart (None: as many as the hits); hits for the others.
Shape = collections.namedtuple("Shape", "format hits descriptions alignments show_gi")


def viewed(format_type, view):
    """The Format of a Text or HTML report in ALIGNMENT_VIEW `view`."""
    plain = FORMATS[format_type]
    if view == "Tabular":
        # blast_formatter writes no HTML hit table: HTML's is Text's table, set on a page.
        return plain._replace(outfmt=("-outfmt", "7"), edits="tabular" if format_type == "Text" else "tabular-html",
                              sized_by="hits", view=view)
    outfmt = ("-outfmt", VIEWS[view]) + plain.outfmt[2:]
    return plain._replace(outfmt=outfmt, view=view)


def report_format(format_type, view, program):
    """The Format of FORMAT_TYPE and ALIGNMENT_VIEW names (None: not given) for a search of
    `program`; Refused for a pair that names no report this service makes."""
    format_type = format_type or DEFAULT
    if format_type == "SAM" and program not in SAM_PROGRAMS:
        raise Refused("FORMAT_TYPE SAM is made for %s searches only (as BLAST+ writes it); this search is %s"
                      % (" and ".join(SAM_PROGRAMS), program))
    if format_type == "CSV" and view not in (None, "Tabular"):
        raise Refused("FORMAT_TYPE CSV is the hit table (ALIGNMENT_VIEW Tabular); received ALIGNMENT_VIEW %s"
                      % shown(view))
    if format_type in VIEWED:
        return viewed(format_type, view or DEFAULT_VIEW)
    # The other reports have one layout each: a view is theirs to ignore, as NCBI ignores it.
    return FORMATS[format_type]


def smallest(*sizes):
    given = [size for size in sizes if size is not None]
    return min(given) if given else None


def shape(report, sizes, show_gi):
    """The Shape of a report of Format `report` cut to `sizes` ({name: size} of HITLIST_SIZE,
    DESCRIPTIONS and ALIGNMENTS), with GI numbers when `show_gi`."""
    hits, descriptions, alignments = (sizes.get(name) for name in ("HITLIST_SIZE", "DESCRIPTIONS", "ALIGNMENTS"))
    if report.sized_by == "lists":
        # A description and an alignment per hit: the hit list bounds both.
        return Shape(report, None, smallest(descriptions, hits), smallest(alignments, hits), show_gi)
    # The search may keep more hits than the hit list's default, for HTML's and Text's longer
    # lists; a format cut by the hit list alone shows no more than that default.
    hits = DEFAULT_HITLIST_SIZE if hits is None else hits
    if report.sized_by == "smallest":
        # In XML every hit is one description and one alignment.
        return Shape(report, smallest(hits, descriptions, alignments), None, None, show_gi)
    return Shape(report, hits, None, None, show_gi)


def requested(report, search):
    """The Shape that a results request's reading.Report asks for of `search`: its own
    FORMAT_TYPE, ALIGNMENT_VIEW, list sizes and NCBI_GI, each one it leaves out as the
    submission gave it."""
    format_type, view = report.format_type or search.format_type, report.alignment_view
    if view is None and (format_type or DEFAULT) in VIEWED:
        view = search.alignment_view   # the submission's, where it has a meaning
    chosen = report_format(format_type, view, search.program)
    show_gi = search.show_gi if report.show_gi is None else report.show_gi
    return shape(chosen, dict(search.sizes, **report.sizes), show_gi)


def formatter_arguments(shape):
    """blast_formatter's options for a Shape."""
    arguments = list(shape.format.outfmt)
    for option, size in (("-max_target_seqs", shape.hits), ("-num_descriptions", shape.descriptions),
                         ("-num_alignments", shape.alignments)):
        if size is not None:
            arguments += [option, str(size)]
    return arguments + (["-show_gis"] if shape.show_gi else [])
