"""Every report format of the URL API, read back with a real parser of its format: the hit-list
sizes and NCBI_GI of the results request (else of the submission) shape each of them, an
identifier query is named by its entry, GI numbers appear only when asked for, and each
report is made once per shape."""
import os
import random

import pytest

from blast_client import error_text, fetch, request, submit, wait
from check_queries import ROW_QUERIES
from conftest import running_service
from report_readers import (CONTENT_TYPES, READERS, html_page, read_anchored, read_html, read_html_tabular,
                            read_tabular, read_text, unzipped)
from service_process import service_process

# The identifier query of the protein search, and a hit it has in every report.
QUERY_GI, QUERY_ACCESSION, QUERY_TITLE = "160837788", "NP_001102467.1", "hypothetical protein LOC366535"
HIT_GI = "9506405"
# Its submission: 13 hits, all of them rat proteins.
PROTEIN = dict(PROGRAM="blastp", DATABASE="nr", QUERY=QUERY_GI, ENTREZ_QUERY="rat [ORGN]")
FORMATS = sorted(READERS)
# The sequence of the protein QUERY_GI names.
RAT_PROTEIN = ("PLGQQPALNFCSQNEIFAKPALNNSRKTQSLDLQLRLKYGSDRAPVRQESSPDFIDMPKVAPYALLQQWSCGDLLATLGELNPSTRCDMKHVSIIMD"
               "CSPDRQSEMAQIHKPGSDPNSLECSTYNNLSYHENNVKISRQISTALAEQGNPLWTSWADESIAAVLCSMKASMIILRCHEAPGMEPVQPLQKGRPH"
               "LATNRDLRSLMMHTYTTQPNAFDAHASANRIYLNEH")


@pytest.fixture(scope="module")
def protein_search(service):
    """The RID of a finished PROTEIN search."""
    rid = submit(service, **PROTEIN)
    assert wait(service, rid)["Status"] == "READY"
    return rid


def report(url, rid, **fields):
    """(content type, body) of a report that must be served."""
    code, headers, body = fetch(url, dict(dict(CMD="Get", RID=rid), **fields))
    assert code == 200, (code, body[:300])
    return headers.get("Content-Type", "").split(";")[0], body


def contents(format_type, body):
    """The report's text: a zip archive's files one after the other."""
    return b"".join(unzipped(body).values()) if CONTENT_TYPES[format_type] == "application/zip" else body


def read(format_type, body):
    queries = READERS[format_type](body)
    assert len(queries) == 1, queries
    return queries[0]


@pytest.mark.parametrize("format_type", FORMATS)
@pytest.mark.parametrize("show_gi", [True, False], ids=["gi", "no gi"])
def test_every_format_is_cut_to_the_hit_list_and_shows_gi_numbers_only_when_asked(
        service, protein_search, format_type, show_gi):
    content_type, body = report(service, protein_search, FORMAT_TYPE=format_type, HITLIST_SIZE="3",
                                NCBI_GI="true" if show_gi else "false")
    assert content_type == CONTENT_TYPES[format_type]
    query = read(format_type, body)
    assert len(query.descriptions) == len(query.alignments) == 3
    assert QUERY_ACCESSION in query.name and QUERY_TITLE in query.name
    body = contents(format_type, body)
    # GIs as ids ("gi|9506405|") and as HTML's anchors ("#9506405")
    assert (b"gi|" in body) is show_gi
    assert (QUERY_GI.encode() in body) is show_gi
    if format_type not in ("Tabular",):  # its hit columns are accessions, with or without GIs
        assert (HIT_GI.encode() in body) is show_gi
    if format_type == "HTML":
        anchors = html_page(body).anchors
        assert (("#" + HIT_GI) in anchors) is show_gi and ((HIT_GI in anchors) is show_gi)


@pytest.mark.parametrize("format_type, sizes, descriptions, alignments", [
    ("Text", dict(DESCRIPTIONS="5", ALIGNMENTS="2"), 5, 2),
    ("HTML", dict(DESCRIPTIONS="2", ALIGNMENTS="4"), 2, 4),
    ("Text", dict(HITLIST_SIZE="3", DESCRIPTIONS="5"), 3, 3),
    ("Text", {}, 13, 13),
    # Descriptions and alignments are for the formats that list them apart.
    ("Tabular", dict(DESCRIPTIONS="5", ALIGNMENTS="2"), 13, 13),
    ("JSON2_S", dict(DESCRIPTIONS="2"), 13, 13),
    ("XML2_S", dict(HITLIST_SIZE="4", ALIGNMENTS="1"), 4, 4),
    # In XML every hit is one description and one alignment: the smallest size rules.
    ("XML", dict(HITLIST_SIZE="4", ALIGNMENTS="2"), 2, 2),
])
def test_descriptions_and_alignments_are_cut_apart_where_a_format_lists_them_apart(
        service, protein_search, format_type, sizes, descriptions, alignments):
    query = read(format_type, report(service, protein_search, FORMAT_TYPE=format_type, **sizes)[1])
    assert (len(query.descriptions), len(query.alignments)) == (descriptions, alignments)


@pytest.mark.parametrize("on_put, on_get, hits, shows_gi", [
    (dict(HITLIST_SIZE="5", NCBI_GI="true"), {}, 5, True),
    (dict(HITLIST_SIZE="5", NCBI_GI="true"), dict(HITLIST_SIZE="2", NCBI_GI="false"), 2, False),
    (dict(NCBI_GI="false"), dict(NCBI_GI="T"), 13, True),
    ({}, {}, 13, False),
    # Alignments alone leave the hit list as long as without them.
    (dict(ALIGNMENTS="2"), {}, 13, False),
])
@pytest.mark.parametrize("format_type", ["JSON2", "Text"])
def test_the_results_requests_sizes_and_gi_rule_else_the_submissions(
        service, on_put, on_get, hits, shows_gi, format_type):
    rid = submit(service, **dict(PROTEIN, **on_put))
    assert wait(service, rid)["Status"] == "READY"
    body = report(service, rid, FORMAT_TYPE=format_type, **on_get)[1]
    assert len(read(format_type, body).descriptions) == hits
    assert (b"gi|" in contents(format_type, body)) is shows_gi


# More members of a protein family than a hit list holds by default (100).
FAMILY = 150


@pytest.fixture(scope="module")
def family(tmp_path_factory):
    """(url, query) of a service of a FASTA file of FAMILY proteins, every one of which the
    query (their ancestor) finds."""
    folder = tmp_path_factory.mktemp("family")
    rng = random.Random(11)
    letters = "ACDEFGHIKLMNPQRSTVWY"
    ancestor = "".join(rng.choice(letters) for _ in range(200))
    members = ["".join(rng.choice(letters) if rng.random() < 0.2 else letter for letter in ancestor)
               for _ in range(FAMILY)]
    (folder / "family.fa").write_text("".join(">member_%d\n%s\n" % pair for pair in enumerate(members, 1)))
    with service_process("--fasta", "family=%s" % (folder / "family.fa"), "--cache", str(folder / "cache"),
                         "--rtoe", "0") as (_, url):
        yield url, ancestor


@pytest.mark.parametrize("on_put, on_get, format_type, hits", [
    ({}, {}, "XML", 100),
    (dict(DESCRIPTIONS="150"), {}, "XML", 100),
    (dict(ALIGNMENTS="150"), {}, "XML", 100),
    (dict(DESCRIPTIONS="150"), {}, "Tabular", 100),
    (dict(ALIGNMENTS="150"), {}, "JSON2", 100),
    (dict(DESCRIPTIONS="150"), {}, "XML2_S", 100),
    (dict(DESCRIPTIONS="150"), dict(FORMAT_TYPE="Text", ALIGNMENT_VIEW="Tabular"), "Tabular", 100),
    (dict(HITLIST_SIZE="120"), {}, "XML", 120),
    (dict(HITLIST_SIZE="120"), {}, "Tabular", 120),
    (dict(DESCRIPTIONS="150"), dict(HITLIST_SIZE="130"), "JSON2_S", 130),
    # HTML and Text list DESCRIPTIONS apart from the hit list.
    (dict(DESCRIPTIONS="150"), {}, "Text", 150),
])
def test_without_hitlist_size_a_hit_list_holds_its_default_whatever_the_other_sizes(
        family, on_put, on_get, format_type, hits):
    url, ancestor = family
    rid = submit(url, PROGRAM="blastp", DATABASE="family", QUERY=ancestor, **on_put)
    assert wait(url, rid)["Status"] == "READY"
    body = report(url, rid, **dict(dict(FORMAT_TYPE=format_type), **on_get))[1]
    assert len(read(format_type, body).descriptions) == hits


@pytest.mark.parametrize("on_put, on_get, content_type", [
    ({}, {}, "text/html"),
    (dict(FORMAT_TYPE="JSON2_S"), {}, "application/json"),
    (dict(FORMAT_TYPE="json2_s"), dict(FORMAT_TYPE="Tabular"), "text/plain"),
    (dict(FORMAT_TYPE="Text"), dict(FORMAT_OBJECT="Alignment"), "text/plain"),
    (dict(FORMAT_TYPE="XML2"), dict(FORMAT_TYPE="xml"), "text/xml"),
])
def test_the_submissions_format_is_the_results_requests_default(service, on_put, on_get, content_type):
    rid = submit(service, **dict(PROTEIN, **on_put))
    assert wait(service, rid)["Status"] == "READY"
    assert report(service, rid, **on_get)[0] == content_type


@pytest.mark.parametrize("format_type", FORMATS)
def test_every_query_of_a_fasta_submission_is_in_every_format(service, format_type):
    # Two records, each a slice of the check's FASTA query; the zipped formats hold a file each.
    lines = ROW_QUERIES["fasta"].splitlines()
    fasta = ">first part\n%s\n>second part\n%s\n" % ("".join(lines[1:4]), "".join(lines[5:9]))
    rid = submit(service, PROGRAM="blastx", DATABASE="nr", QUERY=fasta, EXPECT="1e-07")
    assert wait(service, rid)["Status"] == "READY"
    queries = READERS[format_type](report(service, rid, FORMAT_TYPE=format_type)[1])
    assert [query.name.split()[-2:] for query in queries] == [["first", "part"], ["second", "part"]]


@pytest.mark.parametrize("fields, extension", [
    (dict(FORMAT_TYPE="XML2"), "zip"),
    (dict(FORMAT_TYPE="JSON2"), "zip"),
    (dict(FORMAT_TYPE="XML"), "xml"),
    (dict(FORMAT_TYPE="XML2_S"), "xml"),
    (dict(FORMAT_TYPE="JSON2_S"), "json"),
    (dict(FORMAT_TYPE="JSONSA"), "json"),
    (dict(FORMAT_TYPE="HTML"), "html"),
    (dict(FORMAT_TYPE="HTML", ALIGNMENT_VIEW="Tabular"), "html"),
    (dict(FORMAT_TYPE="Text"), "txt"),
    (dict(FORMAT_TYPE="Text", ALIGNMENT_VIEW="QueryAnchored"), "txt"),
    (dict(FORMAT_TYPE="Tabular"), "txt"),
    (dict(FORMAT_TYPE="CSV"), "csv"),
])
def test_a_results_file_is_a_download_of_the_same_report_named_for_its_form(service, protein_search, fields,
                                                                            extension):
    fields = dict(CMD="Get", RID=protein_search, **fields)
    plain, download = fetch(service, fields), fetch(service, dict(fields, RESULTS_FILE="on"))
    assert plain[0] == download[0] == 200 and plain[2] == download[2]
    assert "Content-Disposition" not in plain[1]
    assert download[1]["Content-Disposition"] == 'attachment; filename="%s.%s"' % (protein_search, extension)


@pytest.mark.parametrize("format_type, extension", [("XML2", "xml"), ("JSON2", "json")])
def test_a_zip_holds_the_queries_files_in_the_queries_order(service, format_type, extension):
    # Eleven queries: by name, RID_10 and RID_11 would come before RID_2.
    records = ["part %d" % number for number in range(1, 12)]
    fasta = "".join(">%s\n%s\n" % (title, RAT_PROTEIN[20 * number:20 * number + 20])
                    for number, title in enumerate(records))
    rid = submit(service, PROGRAM="blastp", DATABASE="nr", QUERY=fasta, HITLIST_SIZE="1")
    assert wait(service, rid)["Status"] == "READY"
    body = report(service, rid, FORMAT_TYPE=format_type)[1]
    assert list(unzipped(body)) == ["%s_%d.%s" % (rid, number, extension) for number in range(1, 12)]
    assert [query.name.split(None, 1)[1] for query in READERS[format_type](body)] == records


@pytest.mark.parametrize("fields, reader", [
    (dict(FORMAT_TYPE="Text"), read_text),
    (dict(FORMAT_TYPE="HTML"), read_html),
    (dict(FORMAT_TYPE="Tabular"), read_tabular),
    (dict(FORMAT_TYPE="Text", ALIGNMENT_VIEW="FlatQueryAnchored"), read_anchored),
    (dict(FORMAT_TYPE="HTML", ALIGNMENT_VIEW="Tabular"), read_html_tabular),
], ids=["Text", "HTML", "Tabular", "Text FlatQueryAnchored", "HTML Tabular"])
def test_without_gi_numbers_a_fasta_querys_own_definition_line_keeps_its_gi(service, fields, reader):
    # The caller's text, not an id of the database's: only an identifier query's GI is the service's.
    definition = "gi|123456|ref|XP_999999.1| a protein of the caller's"
    rid = submit(service, PROGRAM="blastp", DATABASE="nr", QUERY=">%s\n%s\n" % (definition, RAT_PROTEIN))
    assert wait(service, rid)["Status"] == "READY"
    queries = reader(report(service, rid, NCBI_GI="false", **fields)[1])
    assert [query.name for query in queries] == [definition]
    assert queries[0].descriptions and not [hit for hit in queries[0].descriptions if "gi|" in hit]


@pytest.mark.parametrize("fields, words", [
    (dict(FORMAT_TYPE="PDF"), ["FORMAT_TYPE", "'PDF'", "Tabular"]),
    (dict(FORMAT_OBJECT="Picture"), ["FORMAT_OBJECT", "'Picture'", "SearchInfo"]),
    (dict(RESULTS_FILE="please"), ["RESULTS_FILE", "'please'"]),
])
def test_a_results_request_for_no_known_report_says_what_it_received(service, protein_search, fields, words):
    code, _, page = request(service, dict(dict(CMD="Get", RID=protein_search), **fields))
    assert code == 200
    for word in words:
        assert word in error_text(page)


def test_a_report_is_made_once_for_each_shape_and_kept_with_the_search(db):
    with running_service(db) as (url, store, logs):
        rid = submit(url, **PROTEIN)
        assert wait(url, rid)["Status"] == "READY"
        first = report(url, rid, FORMAT_TYPE="Text", HITLIST_SIZE="3")[1]
        job = store.lookup(rid)[1]
        made = dict(job.formatted)
        assert report(url, rid, FORMAT_TYPE="text", HITLIST_SIZE="3")[1] == first
        assert job.formatted == made and len(made) == 1
        report(url, rid, FORMAT_TYPE="Text", HITLIST_SIZE="4")
        assert len(job.formatted) == 2 and set(made.items()) < set(job.formatted.items())
        store.delete(rid)
        assert not any(os.path.exists(path) for path in made.values())
