"""Client of the NCBI BLAST URL API."""


def qblast(program, database, query, **options):
    raise NotImplementedError("Tarvo.Blast.Skelda.qblast is not built yet")
