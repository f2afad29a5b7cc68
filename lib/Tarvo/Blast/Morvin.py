"""Reader of BLAST XML reports (the NCBI_BlastOutput document type): one record per query.

parse() streams: after each piece of the input, whatever is complete in the element tree (a
query, a hit, an HSP) is turned into plain objects and its elements are dropped, so that memory
beyond the records stays flat however long the report is. A stream of several documents, one
after another (as the older standalone BLAST programs wrote them), gives the records of each in
turn. Its rooms are in _reader.
"""

from Tarvo.Blast._reader import stream as _stream, tree as _tree
from Tarvo.Blast._reader.records import HSP, Alignment, Description, Record

__all__ = ["parse", "read", "Record", "Alignment", "HSP", "Description"]

# Bytes read and handed to the builder at a time: a piece whose elements stay in the
# processor's caches.
CHUNK_SIZE = 64 * 1024

# Records pickle, and show, under the module callers import them from.
for _cls in (Record, Alignment, HSP, Description):
    _cls.__module__ = __name__
del _cls


def read(handle):
    """The one record of a single-query BLAST XML report."""
    # No code of the caller's runs until the record is whole, and records hold no cycles: the
    # collector need not walk the hits read so far again and again while the rest is read.
    with _tree.collection_paused():
        tally = {}
        records = _records_of(_readable(handle), tally=tally)
        record = next(records, None)
        if record is None:
            raise ValueError("the BLAST XML report holds no query (no Iteration element)")
        if next(records, None) is not None:
            raise ValueError(_more_than_one(records, tally))
    return record


def _more_than_one(records, tally):
    """The message of a read() of more than one query: how many the stream holds, the rest of
    which are read to count them."""
    count = 2
    try:
        for _ in records:
            count += 1
        counted = "%d" % count
    except ValueError:
        counted = "at least %d" % count
    where = ("the BLAST XML report holds" if tally["documents"] == 1 else
             "the stream holds %d BLAST XML reports, one after another, which hold"
             % tally["documents"])
    return ("%s more than one query (%s in all); read it with parse(), which yields one record "
            "per query" % (where, counted))


def parse(handle):
    """Yield one record per query (Iteration) of a BLAST XML report read from handle, and of
    each report after it in the stream."""
    return _records_of(_readable(handle))


def _readable(handle):
    if not hasattr(handle, "read"):
        raise TypeError("parse() needs a readable stream (an object with read()), not %s"
                        % type(handle).__name__)
    return handle


def _records_of(handle, batch=True, tally=None):
    """The records of handle's reports; batch=False reads every hit by the general reading."""
    return _stream.records_of(handle, CHUNK_SIZE, batch, tally)
