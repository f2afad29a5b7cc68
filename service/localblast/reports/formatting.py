"""A search's report in the shape a results request asks for, made from the search's archive by
the runner's `format` (blast_formatter) into a file of the search's folder, when it is first
asked for. XML answers are cut from one XML report of every hit the search kept, itself made on
the first request for XML and kept in the search's folder."""
import glob
import os
import re
import tempfile
import zipfile

from . import documents, edits
from .formats import formatter_arguments

# The search's whole XML report (every hit, the query named as the label says): what the XML
# answers are cut from.
WHOLE_XML = "whole-report.xml"
# blast_formatter names a query's file of a report of one file per query "NAME_2.json".
QUERY_FILE = re.compile(r"_([0-9]+)\.[a-z0-9]+$")


def make(runner, search, folder, rid, shape, target):
    """Writes the report that `shape` (a formats.Shape) asks for to the path `target`;
    BlastFailed when blast_formatter fails."""
    if shape.format.edits == "xml":
        with open(whole_xml(runner, search, folder), "rb") as stream:
            edits.write_chunks(edits.edited_xml(stream, shape.hits, shape.show_gi), target)
        return
    with tempfile.TemporaryDirectory(prefix="format-", dir=folder) as work:
        name = rid if shape.format.per_query else "%s.%s" % (rid, shape.format.extension)
        output = runner.format(search, folder, formatter_arguments(shape), os.path.join(work, name))
        if not shape.format.per_query:
            edit(output, target, shape, search.label, sam_hits(runner, search, folder, work, shape))
            return
        with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as archive:
            # In the queries' order: by name, RID_10 would come before RID_2.
            for path in sorted(glob.glob(glob.escape(output) + "_*"), key=query_number):
                edited = os.path.join(work, "edited")
                edit(path, edited, shape, search.label)
                archive.write(edited, os.path.basename(path))


def whole_xml(runner, search, folder):
    """The path of the search's labelled XML report of every hit, made if it is not there yet."""
    path = os.path.join(folder, WHOLE_XML)
    if not os.path.exists(path):
        with tempfile.TemporaryDirectory(prefix="format-", dir=folder) as work:
            output = runner.format(search, folder, ["-outfmt", "5"], os.path.join(work, "formatted.xml"))
            labelled = os.path.join(work, WHOLE_XML)
            edits.write_labelled(output, labelled, search.label)
            os.replace(labelled, path)   # whole or not at all, for a later request
    return path


def sam_hits(runner, search, folder, work, shape):
    """For a SAM report cut to a hit list: {b"Query_N": {hit's accession}} of the hits each query
    keeps, from a hit table, where blast_formatter cuts the list; else None."""
    if shape.format.edits != "sam" or shape.hits is None:
        return None
    table = runner.format(search, folder, ["-outfmt", "7 saccver", "-max_target_seqs", str(shape.hits)],
                          os.path.join(work, "hits.txt"))
    return documents.ranked_hits(table)


def query_number(path):
    found = QUERY_FILE.search(path)
    return int(found.group(1)) if found else 0


def edit(source, target, shape, label, kept=None):
    with open(source, "rb") as stream:
        edits.write_chunks(edits.edited_output(stream, shape.format.edits, label, shape.show_gi, kept), target)
