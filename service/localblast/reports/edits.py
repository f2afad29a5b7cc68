"""BLAST+'s reports, read from their files in bounded pieces and edited where the NCBI web
service answers differently: the query's id and title, and GI numbers only when asked for.

BLAST+ writes every id and title that is edited here on a line of its own and escapes the
text, so such a line never holds a "<" or an unescaped quote inside the text: plain patterns
over whole lines find them safely. Only lines longer than a piece (long alignments) are read in
several pieces, and those pass through unedited.
"""
import json
import os
import re
from xml.sax.saxutils import escape

from .documents import on_a_page, one_seqalign, sam_edited, with_status_block

PIECE = 64 * 1024
# BLAST+ names the query its own way (an identifier query Query_1); NCBI's label goes here.
QUERY_ELEMENT = re.compile(rb"^(\s*<(BlastOutput|Iteration)_query-(ID|def)>)[^<]*(</\2_query-\3>\s*)$")
# NCBI shows no GIs unless asked; an id that is only a GI keeps it, or the hit would have no id.
GI = re.compile(rb"^(\s*<(?:Hit_id|BlastOutput_query-ID|Iteration_query-ID)>)gi\|[0-9]+\|(?=[^<])")


def pieces(stream):
    """(piece, whole) for a binary stream: its lines, read at most PIECE bytes at a time; a
    longer line comes in several pieces, and `whole` is false for each of them."""
    at_start = True
    while True:
        piece = stream.readline(PIECE)
        if not piece:
            return
        ends = piece.endswith(b"\n") or len(piece) < PIECE
        yield piece, at_start and ends
        at_start = ends


def joined(edited, size=PIECE):
    """The bytes of (piece, whole) pairs in chunks of about `size` bytes (at most twice that)."""
    chunk = bytearray()
    for piece, _ in edited:
        chunk += piece
        if len(chunk) >= size:
            yield bytes(chunk)
            chunk.clear()
    if chunk:
        yield bytes(chunk)


def labelled(edited, query_id, query_def):
    """The query's id (unless None) and definition set wherever the report names them."""
    texts = {b"ID": query_id, b"def": query_def}
    for piece, whole in edited:
        match = QUERY_ELEMENT.match(piece) if whole else None
        if match and texts[match.group(3)] is not None:
            piece = match.group(1) + escape(texts[match.group(3)]).encode("utf-8") + match.group(4)
        yield piece, whole


def without_gi(edited):
    """Hit ids and query ids without their GI, as NCBI shows them unless NCBI_GI is asked for."""
    for piece, whole in edited:
        if whole and b">gi|" in piece:  # most lines are not ids: skip the pattern for them
            piece = GI.sub(rb"\1", piece)
        yield piece, whole


def first_hits(edited, limit):
    """At most `limit` hits in each iteration (the first ones, which are the best)."""
    count, dropping = 0, False
    for piece, whole in edited:
        line = piece.strip() if whole else None
        if line == b"<Iteration_hits>":
            count = 0
        elif line == b"<Hit>":
            count += 1
            dropping = count > limit
        if not dropping:
            yield piece, whole
        if line == b"</Hit>":
            dropping = False


# Where each format writes a database entry's id ("gi|9506405|ref|NP_062074.1|"), and where the
# query's (for an identifier query, the entry it names): the part before the GI. The tabular
# edits serve CSV too, whose lines also start with the query's id.
HIT_IDS = {"json": rb'\s*"id": "', "xml2": rb"\s*<id>"}
QUERY_IDS = {"text": rb"Query= ", "html": rb"<b>Query=</b> ", "tabular": rb"(?:# Query: )?",
             "json": rb'\s*"query_id": "', "xml2": rb"\s*<query-id>"}
AFTER_GI = rb")gi\|[0-9]+\|(?=[A-Za-z])"
# The query's id and title where the report names it Query_1 and so on.
QUERY_TEXTS = {"json": re.compile(rb'^(\s*"query_(id|title)": )"(?:[^"\\]|\\.)*"(,?\s*)$'),
               "xml2": re.compile(rb"^(\s*<query-(id|title)>)[^<]*(</query-\2>\s*)$")}
ESCAPE = {"json": json.dumps, "xml2": escape}


def gi_pattern(edits, identifier_query):
    """The pattern of the GIs that an edited report drops when GIs are not asked for, or None.
    A query's own definition line is the caller's text: only an identifier query's is ours."""
    places = [HIT_IDS[edits]] if edits in HIT_IDS else []
    if identifier_query and edits in QUERY_IDS:
        places.append(QUERY_IDS[edits])
    return re.compile(rb"^(" + rb"|".join(places) + AFTER_GI) if places else None


def query_named(edited, edits, query_id, query_title):
    """The query named `query_id` and `query_title` where the format names it Query_1."""
    pattern = QUERY_TEXTS.get(edits)
    texts = {b"id": query_id, b"title": query_title}
    for piece, whole in edited:
        match = pattern.match(piece) if pattern and whole else None
        if match:
            piece = match.group(1) + ESCAPE[edits](texts[match.group(2)]).encode("utf-8") + match.group(3)
        yield piece, whole


def edited_output(stream, edits, label, show_gi, kept=None):
    """The chunks of a report that blast_formatter wrote (not XML), with an identifier query
    named as `label` ((id, title) or None) says and GIs only when `show_gi`; a SAM report with
    only the hits `kept` names (see documents.sam_edited)."""
    edited = pieces(stream)
    identifier_query = label is not None and label[0] is not None
    if edits == "sam":
        return joined(sam_edited(edited, label[0] if identifier_query else None, kept))
    if edits == "seqalign":
        return joined(one_seqalign(edited))
    page = edits == "tabular-html"
    edits = "tabular" if page else edits
    if identifier_query:
        edited = query_named(edited, edits, *label)
    pattern = None if show_gi else gi_pattern(edits, identifier_query)
    if pattern:
        edited = ((pattern.sub(rb"\1", piece) if whole and b"gi|" in piece else piece, whole)
                  for piece, whole in edited)
    if edits == "html" and not show_gi:
        edited = anchored_by_accession(edited)
    if edits == "html":
        edited = with_status_block(edited)
    if page:
        edited = on_a_page(edited, "BLAST Search Results")
    return joined(edited)


# BLAST+'s HTML links a description to its alignment by an anchor named after the hit's GI, on
# lines that also name the hit's accession ("Show report for NP_062074.1").
GI_ANCHOR = re.compile(rb"(<a name=|<a href=#)[0-9]+>")
ACCESSION = re.compile(rb'Show report for ([A-Za-z0-9_.]+)"')


def anchored_by_accession(edited):
    """The HTML's anchors named after the hit's accession instead of its GI."""
    for piece, whole in edited:
        accession = ACCESSION.search(piece) if whole and b"<a " in piece else None
        if accession:
            piece = GI_ANCHOR.sub(lambda anchor: anchor.group(1) + accession.group(1) + b">", piece)
        yield piece, whole


def edited_xml(stream, limit, show_gi):
    """The chunks of the service's XML report cut to `limit` hits a query, GIs only when `show_gi`."""
    edited = pieces(stream)
    if limit:
        edited = first_hits(edited, limit)
    if not show_gi:
        edited = without_gi(edited)
    return joined(edited)


def write_chunks(chunks, target):
    with open(target, "wb") as out:
        for chunk in chunks:
            out.write(chunk)


def write_labelled(source, target, label):
    """Writes the report at path `source` to path `target`, with the query labelled as
    `label` says ((query id or None, query definition), or None to keep BLAST+'s)."""
    if label is None:
        os.replace(source, target)
        return
    with open(source, "rb") as stream, open(target, "wb") as out:
        for chunk in joined(labelled(pieces(stream), *label)):
            out.write(chunk)


def has_hits(path):
    with open(path, "rb") as stream:
        return any(whole and piece.strip() == b"<Hit>" for piece, whole in pieces(stream))


class Served:
    """A report file to send, read from its open file in bounded chunks."""

    def __init__(self, stream, filename=None):
        self.stream = stream
        self.filename = filename    # a download's name, or None

    def chunks(self):
        self.stream.seek(0)
        return iter(lambda: self.stream.read(PIECE), b"")

    def length(self):
        return os.fstat(self.stream.fileno()).st_size

    def close(self):
        self.stream.close()
