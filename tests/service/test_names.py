"""The documented names of the URL API beyond its reports: the programs (megablast by name or by
switch), the three addresses, Delete and DisplayRIDs."""
import pytest

from blast_client import error_text, field, hit_ids, info, request, search, submit, wait
from check_queries import ROW_QUERIES
from conftest import running_service
from report_readers import READERS

PROTEIN = dict(PROGRAM="blastp", DATABASE="nr", QUERY="160837788")


@pytest.mark.parametrize("program, value, megablast", [
    ("blastn", "on", True), ("blastn", "TRUE", True), ("blastn", "Yes", True),
    ("blastn", "off", False), ("blastn", "FALSE", False), ("blastn", "no", False),
    ("megablast", "", True), ("MegaBlast", "", True),
])
def test_megablast_by_program_or_switch(service, program, value, megablast):
    # Megablast's 28-letter words cannot find the 19-base ends that blastn's 11-letter words find.
    report = search(service, PROGRAM=program, DATABASE="nr", QUERY=ROW_QUERIES["sequence"], MEGABLAST=value)
    assert bool(hit_ids(report)) is not megablast
    assert field(report, "BlastOutput_program") == "blastn"


@pytest.mark.parametrize("path", ["/Blast.cgi", "/blast/Blast.cgi", "/cgi-bin/blast.cgi"])
def test_every_address_of_the_url_api_answers_the_whole_protocol(service, path):
    url = service.replace("/Blast.cgi", path)
    rid = submit(url, PROGRAM="megablast", DATABASE="nt", QUERY=ROW_QUERIES["fasta"])
    assert wait(url, rid)["Status"] == "READY"
    code, _, table = request(url, dict(CMD="Get", RID=rid, FORMAT_TYPE="Tabular"))
    assert code == 200 and READERS["Tabular"](table.encode())[0].descriptions
    code, _, page = request(url, dict(CMD="Delete", RID=rid))
    assert code == 200 and info(request(url, dict(CMD="Get", RID=rid, FORMAT_OBJECT="SearchInfo"))[2]) == {
        "Status": "UNKNOWN"}


def test_other_paths_are_not_found(service):
    code, _, page = request(service.replace("/Blast.cgi", "/blast"), dict(CMD="Put"))
    assert code == 404 and "/Blast.cgi" in error_text(page)


def test_display_rids_lists_the_searches_held_and_their_status(db):
    with running_service(db) as (url, store, _):
        assert request(url, dict(CMD="DisplayRIDs"))[:3] == (200, "text/plain; charset=utf-8", "")
        rids = [submit(url, **PROTEIN) for _ in range(2)]
        for rid in rids:
            wait(url, rid)
        store.delete(rids[0])
        code, content_type, text = request(url, dict(CMD="DisplayRIDs"))
        assert [line.split("\t") for line in text.splitlines()] == [[rids[1], "READY"]]
