"""The XML answers to the check's own searches, as the toolkit asks for them, are byte for byte
what a search written straight to BLAST+'s XML gives with the service's edits (the query named,
the hits cut, GIs as asked): making reports from the search's archive changed none of them."""
import os
import subprocess

import pytest

from blast_client import fetch, submit, wait
from check_queries import CHECK_ROWS, ROW_QUERIES
from localblast.reports import edits
from localblast.request.reading import read_submission
from localblast.request.submission import search_for
from localblast.runs.blast import BlastRunner, write

SIZE = "10"


def toolkit_form(program, kind, expect, term, ncbi_gi):
    """The submission's fields as the toolkit sends them for one of the check's rows."""
    fields = dict(PROGRAM=program, DATABASE="nr", QUERY=ROW_QUERIES[kind], EXPECT=repr(expect) if isinstance(
        expect, float) else str(expect), ALIGNMENTS=SIZE, DESCRIPTIONS=SIZE, HITLIST_SIZE=SIZE, tool="Tarvo")
    if term:
        fields["ENTREZ_QUERY"] = term
    if ncbi_gi is not None:
        fields["NCBI_GI"] = ncbi_gi
    return fields


def straight_xml(db, tmp_path, fields):
    """The report of a search that BLAST+ writes as XML itself, edited as the service edits it."""
    search = search_for(db, read_submission({name.upper(): [text] for name, text in fields.items()}, db))
    runner = BlastRunner(db, timeout=120)
    folder = str(tmp_path)
    output = os.path.join(folder, "straight.xml")
    subprocess.run([search.tool, "-query", write(folder, "query.fasta", search.query_text), "-db", search.database,
                    "-outfmt", "5", "-out", output] + search.arguments + runner.restriction_arguments(folder, search),
                   env=runner.environment(search), check=True,
                   stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    labelled = os.path.join(folder, "labelled.xml")
    edits.write_labelled(output, labelled, search.label)
    show_gi = fields.get("NCBI_GI", "").lower() in ("true", "t", "on", "yes")
    with open(labelled, "rb") as stream:
        return b"".join(edits.edited_xml(stream, int(SIZE), show_gi))


@pytest.mark.parametrize("ncbi_gi", ["true", "false", None], ids=["gi", "no gi", "gi not sent"])
@pytest.mark.parametrize("program, kind, expect, term", [row[:4] for row in CHECK_ROWS], ids=lambda v: str(v))
def test_the_checks_xml_answers_are_those_of_a_search_written_as_xml(service, db, tmp_path, program, kind, expect,
                                                                     term, ncbi_gi):
    fields = toolkit_form(program, kind, expect, term, ncbi_gi)
    rid = submit(service, **fields)
    assert wait(service, rid)["Status"] == "READY"
    asked = {name: text for name, text in fields.items() if name in ("ALIGNMENTS", "DESCRIPTIONS", "HITLIST_SIZE",
                                                                     "NCBI_GI")}
    code, _, body = fetch(service, dict(CMD="Get", RID=rid, FORMAT_TYPE="XML", **asked))
    assert code == 200
    assert body == straight_xml(db, tmp_path, fields)
