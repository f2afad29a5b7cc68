"""The real toolkit (as the build ships it) against the local service: the organism filter
keeps other organisms' sequences out of what the reader returns."""
import json
import os
import subprocess
import sys

import pytest

REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPOSITORY, "tests"))
sys.path.insert(0, os.path.join(REPOSITORY, "tests", "service"))
sys.path.insert(0, os.path.join(REPOSITORY, "service"))
from check_queries import ROW_QUERIES  # noqa: E402
from localblast import database  # noqa: E402
from service_process import service_process  # noqa: E402

SEARCH = """
import json, sys
from Tarvo.Blast import Skelda, Morvin
program, query, term = sys.argv[1:4]
handle = Skelda.qblast(program, "nr", query, hitlist_size=50, expect=10, entrez_query=term or None)
record = Morvin.read(handle)
print(json.dumps([alignment.hit_id for alignment in record.alignments]))
"""


def setting(name):
    value = os.environ.get(name, "")
    if not value:
        pytest.fail("%s must be set (the test is run by ctest)" % name)
    return value


def toolkit_hits(url, program, query, term):
    environment = dict(os.environ, PYTHONPATH=setting("QBLAST_BUILD_DIR"), TARVO_BLAST_URL=url,
                       TARVO_BLAST_MIN_INTERVAL="0", TARVO_BLAST_POLL_INTERVAL="0", PYTHONDONTWRITEBYTECODE="1")
    run = subprocess.run([setting("QBLAST_PYTHON2"), "-c", SEARCH, program, query, term], env=environment,
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


@pytest.mark.parametrize("program, query, term, organisms", [
    ("blastp", ROW_QUERIES["identifier"], "rat [ORGN]", {"Rattus norvegicus"}),
    ("blastn", ROW_QUERIES["sequence"], "pan [ORGN]", {"Pan troglodytes", "Pan paniscus"}),
])
def test_the_filter_excludes_other_organisms(program, query, term, organisms):
    db = database.load(setting("QBLAST_SERVICE_DB"))
    molecule = "protein" if program == "blastp" else "nucleotide"
    organism_of = {entry.seq_id: entry.organism for entry in db.entries[molecule]}
    with service_process("--db", setting("QBLAST_SERVICE_DB"), "--rtoe", "0") as (_, url):
        unfiltered = {organism_of[hit] for hit in toolkit_hits(url, program, query, "")}
        filtered = {organism_of[hit] for hit in toolkit_hits(url, program, query, term)}
    assert unfiltered - organisms
    assert filtered == organisms
