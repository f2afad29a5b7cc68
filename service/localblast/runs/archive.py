"""What a search's archive (BLAST+'s -outfmt 11, ASN.1 text) says without formatting a report.

The archive holds the request (the queries, their titles: the caller's text) and then the
results, whose first member is the alignments of every query. Text in quotes may hold anything
and is wrapped over lines, so lines are only taken for the archive's structure outside quotes
(a quote inside a text is doubled, which keeps the count even).
"""
PIECE = 64 * 1024
RESULTS = b"  results {"
ALIGNMENTS = b"    alignments {"


def structure(stream):
    """The lines of a binary stream that begin outside quoted text, stripped of their line end;
    read in pieces of at most PIECE bytes, so a line longer than that is never taken whole."""
    quoted, at_start = False, True
    while True:
        piece = stream.readline(PIECE)
        if not piece:
            return
        whole = at_start and piece.endswith(b"\n")
        if whole and not quoted:
            yield piece.rstrip(b"\r\n")
        quoted ^= piece.count(b'"') % 2 == 1
        at_start = piece.endswith(b"\n")


def has_hits(path):
    """Whether the archive at `path` holds an alignment of any query; read up to its first one."""
    with open(path, "rb") as stream:
        lines = structure(stream)
        for line in lines:
            if line == RESULTS:
                break
        if next(lines, None) != ALIGNMENTS:
            return False
        first = next(lines, b"").strip()
        return first not in (b"}", b"},", b"")
