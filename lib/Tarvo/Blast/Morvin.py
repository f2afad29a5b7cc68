"""Reader of BLAST XML reports."""


def read(handle):
    raise NotImplementedError("Tarvo.Blast.Morvin.read is not built yet")


def parse(handle):
    raise NotImplementedError("Tarvo.Blast.Morvin.parse is not built yet")
