"""The real toolkit (as the build ships it) against the local service: the organism filter
keeps other organisms' sequences out of what the reader returns, and the check's GI numbers come
back only to a client that asks for them, as at NCBI."""
import json
import os
import subprocess

import pytest
from bundled_sources import organism_of_hit
from check_queries import CHECK_ROWS, ROW_QUERIES
from service_process import service_process

SEARCH = """
import json, sys
from Tarvo.Blast import Skelda, Morvin
program, query, size, expect, term, ncbi_gi = json.loads(sys.argv[1])
options = dict(alignments=size, descriptions=size, hitlist_size=size, expect=expect, entrez_query=term)
if ncbi_gi is not None:
    options["ncbi_gi"] = ncbi_gi
record = Morvin.read(Skelda.qblast(program, "nr", query, **options))
print(json.dumps({"query_id": record.query_id,
                  "hit_ids": [alignment.hit_id for alignment in record.alignments],
                  "titles": [description.title for description in record.descriptions]}))
"""


def setting(name):
    value = os.environ.get(name, "")
    if not value:
        pytest.fail("%s must be set (the test is run by ctest)" % name)
    return value


def toolkit_search(url, program, query, term, size=50, expect=10, ncbi_gi=None):
    """What the toolkit's reader makes of one search through its client (ncbi_gi=None: its default)."""
    environment = dict(os.environ, PYTHONPATH=setting("QBLAST_BUILD_DIR"), TARVO_BLAST_URL=url,
                       TARVO_BLAST_MIN_INTERVAL="0", TARVO_BLAST_POLL_INTERVAL="0", PYTHONDONTWRITEBYTECODE="1")
    arguments = json.dumps([program, query, size, expect, term, ncbi_gi])
    run = subprocess.run([setting("QBLAST_PYTHON2"), "-c", SEARCH, arguments], env=environment,
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


def toolkit_hits(url, program, query, term):
    return toolkit_search(url, program, query, term or None)["hit_ids"]


@pytest.mark.parametrize("program, query, term, organisms", [
    ("blastp", ROW_QUERIES["identifier"], "rat [ORGN]", {"Rattus norvegicus"}),
    ("blastn", ROW_QUERIES["sequence"], "pan [ORGN]", {"Pan troglodytes", "Pan paniscus"}),
])
def test_the_filter_excludes_other_organisms(program, query, term, organisms):
    with service_process("--db", setting("QBLAST_SERVICE_DB"), "--rtoe", "0") as (_, url):
        unfiltered = {organism_of_hit(hit) for hit in toolkit_hits(url, program, query, "")}
        filtered = {organism_of_hit(hit) for hit in toolkit_hits(url, program, query, term)}
    assert unfiltered - organisms
    assert filtered == organisms


def pieces(identifier):
    return set(identifier.split("|"))


@pytest.fixture(scope="module")
def service_url():
    with service_process("--db", setting("QBLAST_SERVICE_DB"), "--rtoe", "0") as (_, url):
        yield url


@pytest.mark.parametrize("program, kind, expect, term, expected", CHECK_ROWS)
def test_the_checks_gi_numbers_come_back_only_when_asked_for(service_url, program, kind, expect, term, expected):
    asked = toolkit_search(service_url, program, ROW_QUERIES[kind], term, size=10, expect=expect)
    not_asked = toolkit_search(service_url, program, ROW_QUERIES[kind], term, size=10, expect=expect,
                               ncbi_gi=False)
    # The same hits either way, told apart only by their GI piece.
    assert len(asked["hit_ids"]) == len(not_asked["hit_ids"]) > 0
    found = set().union(*map(pieces, asked["hit_ids"]))
    assert found & set(expected)
    assert not set().union(*map(pieces, not_asked["hit_ids"])) & set(expected)
    assert not set().union(*(pieces(title.split()[0]) for title in not_asked["titles"])) & set(expected)
    if kind == "identifier":
        assert ROW_QUERIES[kind] in pieces(asked["query_id"])
        assert ROW_QUERIES[kind] not in pieces(not_asked["query_id"])
