"""Reader of BLAST XML reports (the NCBI_BlastOutput document type): one record per query.

parse() streams: after each piece of the input, whatever is complete in the element tree (a
query, a hit, an HSP) is turned into plain objects and its elements are dropped, so that memory
beyond the records stays flat however long the report is. Its rooms are in _reader.
"""

from Tarvo.Blast._reader import batch as _batch, reading as _reading, records as _records
from Tarvo.Blast._reader import tree as _xmltree
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
    with _xmltree.collection_paused():
        records = parse(handle)
        record = next(records, None)
        if record is None:
            raise ValueError("the BLAST XML report holds no query (no Iteration element)")
        if next(records, None) is not None:
            raise ValueError("the BLAST XML report holds more than one query; "
                             "read it with parse(), which yields one record per query")
    return record


def parse(handle):
    """Yield one record per query (Iteration) of a BLAST XML report read from handle."""
    if not hasattr(handle, "read"):
        raise TypeError("parse() needs a readable stream (an object with read()), not %s"
                        % type(handle).__name__)
    return _records_of(handle, batch=True)


def _records_of(handle, batch):
    """The records of handle's report; batch=False reads every hit by the general reading."""
    tree = _xmltree.Tree(handle, _records.KNOWN_NAMES, _reading.check_root, CHUNK_SIZE)
    reader = _reading.Reader(tree, _batch.Plans() if batch else None)
    try:
        for _ in tree.pieces():
            with _xmltree.collection_paused():
                chain = tree.chain()
                reader.advance(chain, tree.open_count(chain))
            while reader.ready:
                yield reader.ready.popleft()
    except _xmltree.ParseError as error:
        raise ValueError(_reading.parse_failure(error, tree.source, tree.open_path()))
    finally:
        reader.saved.clear()
        tree.dismantle()
