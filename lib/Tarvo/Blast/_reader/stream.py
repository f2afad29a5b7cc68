"""The records of a stream's BLAST XML documents, one document after another.

parse() streams: after each piece of the input, whatever is complete in the element tree (a
query, a hit, an HSP) is turned into plain objects and its elements are dropped, so that memory
beyond the records stays flat however long the report is. Each document of the stream is read
within the bounds of its own, and names are counted over them all.
"""

from Tarvo.Blast._reader import batch, reading, records, tree as _tree
from Tarvo.Blast._reader.source import Input


def records_of(handle, chunk_size, batched=True, tally=None):
    """Yield the records of handle's documents in turn, reading chunk_size bytes at a time;
    batched=False reads every hit by the general reading. tally, a dict, is told how many
    documents were begun ("documents")."""
    source = Input(handle)
    names = _tree.Names(records.KNOWN_NAMES)
    plans = batch.Plans() if batched else None
    documents = queries = 0
    while True:
        documents += 1
        if tally is not None:
            tally["documents"] = documents
        tree = _tree.Tree(source, names, reading.check_root, chunk_size)
        reader = reading.Reader(tree, plans, queries)
        try:
            for _ in tree.pieces():
                with _tree.collection_paused():
                    chain = tree.chain()
                    reader.advance(chain, tree.open_count(chain))
                while reader.ready:
                    yield reader.ready.popleft()
        except _tree.ParseError as error:
            raise _in(documents, reading.parse_failure(error, source, tree.open_path()))
        except ValueError as error:
            if documents == 1:
                raise
            raise _in(documents, str(error))
        finally:
            reader.saved.clear()
            tree.dismantle()
        if not tree.followed:
            return
        queries = reader.queries


def _in(documents, message):
    """The error of a document, naming it where it is not the stream's first."""
    if documents == 1:
        return ValueError(message)
    return ValueError("document %d of the stream: %s" % (documents, message))
