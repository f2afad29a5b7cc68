"""Edits that make one document of what BLAST+ writes, where the service answers with one: SAM
with an identifier query named and without the service's folders, the Seq-align documents of
several queries joined into one, the status block of a HTML report, and a hit table on a page.
Each takes and gives (piece, whole) pairs, as edits.pieces reads them."""
from ..pages import api_pages

# A HTML report's status block, as NCBI's results page carries it, goes after the page's <BODY>.
BODY = b"<BODY"


def accession_of(seq_id):
    """The accession of an NCBI-style id ("gi|9506405|ref|NP_062074.1|" -> "NP_062074.1")."""
    return [piece for piece in seq_id.split("|") if piece][-1]


def sam_edited(edited, query_id, kept=None):
    """A SAM report with an identifier query named by its accession where BLAST+ names it Query_1
    (query_id None: kept), its command line (@PG's CL) without the service's folders, and, with
    `kept` ({b"Query_N": {hit's accession}}), only the alignments of the hits it keeps: BLAST+
    writes every hit of the search into SAM, whatever list size it is given."""
    name = accession_of(query_id).encode("utf-8") if query_id else None
    for piece, whole in edited:
        if whole and piece.startswith(b"@PG\t"):
            piece = b"\t".join(without_folders(field) if field.startswith(b"CL:") else field
                                for field in piece.split(b"\t"))
        elif whole and name and piece.startswith(b"@SQ\tSN:Query_1\t"):
            piece = b"@SQ\tSN:" + name + piece[len(b"@SQ\tSN:Query_1"):]
        elif whole and not piece.startswith(b"@"):
            fields = piece.split(b"\t", 3)
            if len(fields) == 4 and kept is not None and fields[0] not in kept.get(fields[2], ()):
                continue
            if len(fields) == 4 and name and fields[2] == b"Query_1":
                piece = b"\t".join(fields[:2] + [name] + fields[3:])
        yield piece, whole


def ranked_hits(path):
    """{b"Query_N": {hit's accession}} of a table of the hits' accessions ("-outfmt '7 saccver'"),
    where every query has a "# Query:" line, hits or not."""
    kept, number = {}, 0
    with open(path, "rb") as stream:
        for line in stream:
            if line.startswith(b"# Query:"):
                number += 1
                kept[b"Query_%d" % number] = set()
            elif line.strip() and not line.startswith(b"#"):
                kept[b"Query_%d" % number].add(line.strip())
    return kept


# The lines of BLAST+'s Seq-align documents (as JSON) that this service's edits rely on.
DOCUMENT_OPEN, DOCUMENT_CLOSE = b"{\n", b"}\n"
ALIGN_OPEN, ALIGN_CLOSE = b'      "align": [\n', b"      ]\n"
NO_SEQALIGN = b'{\n  "Seq_annot": {\n    "data": {\n      "align": [\n      ]\n    }\n  }\n}\n'


def one_seqalign(edited):
    """BLAST+'s Seq-align documents, one after another for each query with hits, as one JSON
    document: the first one's description and every query's alignments in its list (each names
    its query). Without any hit, a document with an empty list."""
    documents, place, held, tail = 0, None, None, []
    for piece, whole in edited:
        line = piece if whole else None
        if place is None and line == DOCUMENT_OPEN:
            documents, place = documents + 1, "head"
        if place == "head":
            if documents == 1:
                yield piece, whole
            if line == ALIGN_OPEN:
                place, first = "alignments", True
        elif place == "alignments" and line == ALIGN_CLOSE:
            place = "tail"
        elif place == "alignments":
            if first and held is not None:   # a later document's alignments follow the last one
                held = (held[0][:-1] + b",\n", True)
            if held is not None:
                yield held
            held, first = (piece, whole), False
        if place == "tail":
            if documents == 1:
                tail.append(piece)
            if line == DOCUMENT_CLOSE:
                place = None
    if not documents:
        yield NO_SEQALIGN, True
    if held is not None:
        yield held
    for piece in tail:
        yield piece, True


def without_folders(field):
    """A command line's words with only their file names: the service's folders are its own."""
    return b"CL:" + b" ".join(word.rpartition(b"/")[2] for word in field[len(b"CL:"):].split(b" "))


def with_status_block(edited):
    """A HTML report with the status block of a finished search after its <BODY> line."""
    added = False
    for piece, whole in edited:
        yield piece, whole
        if not added and whole and piece.startswith(BODY):
            yield api_pages.info_block(api_pages.STATUS_LAYOUT, ("Status", "READY")).encode("utf-8"), True
            added = True


def on_a_page(edited, title):
    """A text report as the preformatted text of a HTML page with the status block."""
    head, tail = api_pages.report_page(title)
    yield head.encode("utf-8"), True
    for piece, whole in edited:
        # Escaping is by bytes: a piece cut inside a UTF-8 letter stays whole when joined.
        yield (piece.replace(b"&", b"&amp;").replace(b"<", b"&lt;").replace(b">", b"&gt;"), whole)
    yield tail.encode("utf-8"), True
