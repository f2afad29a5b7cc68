"""BLAST+'s XML report (-outfmt 5), read from its file in bounded pieces and edited where the
NCBI web service answers differently.

BLAST+ writes every element that is edited here on a line of its own and escapes the text, so
such a line never holds a "<" inside the element's text: plain patterns over whole lines find
them safely. Only lines longer than a piece (long alignments) are read in several pieces, and
those pass through unedited.
"""
import os
import re
from xml.sax.saxutils import escape

PIECE = 64 * 1024
# The query's id and definition, in the report's header and in each iteration.
QUERY_ELEMENT = re.compile(rb"^(\s*<(BlastOutput|Iteration)_query-(ID|def)>)[^<]*(</\2_query-\3>\s*)$")
# The GI of an id that has more than a GI ("gi|9506405|ref|NP_062237.1|").
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
    """A report as a results request asks for it, read from its open file at each pass."""

    def __init__(self, stream, limit=None, show_gi=True):
        self.stream = stream
        self.limit = limit
        self.show_gi = show_gi

    def chunks(self):
        self.stream.seek(0)
        edited = pieces(self.stream)
        if self.limit:
            edited = first_hits(edited, self.limit)
        if not self.show_gi:
            edited = without_gi(edited)
        return joined(edited)

    def length(self):
        """The answer's length: the file's, or that of one pass when it is edited."""
        if self.limit is None and self.show_gi:
            return os.fstat(self.stream.fileno()).st_size
        return sum(len(chunk) for chunk in self.chunks())

    def close(self):
        self.stream.close()
