"""The BLAST XML reader's rooms:

    stream    the records of a stream's documents, one document after another
    boundary  where one document of a stream ends and the next begins
    source    the stream read, and what a message tells of it
    encoding  a document's byte order and declared encoding
    bounds    the bytes watched for what the builder would act on without bound
    tree      a document's element tree, built piece by piece and kept within bounds
    reading   the general reading, and how it decides what is complete
    batch     the batch reading of complete hits, many at a time (BLAST writes them alike)
    records   the records and the tables of the elements their fields come from
"""
