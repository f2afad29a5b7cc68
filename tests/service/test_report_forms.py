"""The reports NCBI documents beyond the eight formats: ALIGNMENT_VIEW on Text and HTML, CSV,
SAM and JSONSA, each read back with a real parser of its form; HTML reports carry the status
block of a finished search; a report the service does not make is refused by name."""
import pytest

from blast_client import error_text, info, request, submit, wait
from report_readers import (anchored_rows, html_page, read_anchored, read_csv, read_html_anchored,
                            read_html_tabular, read_jsonsa, read_sam, read_tabular, read_text)
from test_formats import RAT_PROTEIN, report as served

# An identifier query of each kind: its search finds 13 rat proteins, or 5 nucleotide sequences
# (for blastn's SAM).
PROTEIN = dict(PROGRAM="blastp", DATABASE="nr", QUERY="160837788", ENTREZ_QUERY="rat [ORGN]")
NUCLEOTIDE = dict(PROGRAM="blastn", DATABASE="nt", QUERY="NM_001009059.1")
QUERY_ACCESSIONS = {"protein": "NP_001102467.1", "nucleotide": "NM_001009059.1"}
QUERY_TITLE = "hypothetical protein LOC366535"
# The rat protein with six letters left out and five put in: its hits have an insertion and a
# gap, which is where the query-anchored views differ.
GAPPED = RAT_PROTEIN[:60] + RAT_PROTEIN[66:130] + "WWWWW" + RAT_PROTEIN[130:]
ANCHORED = ["QueryAnchored", "QueryAnchoredNoIdentities", "FlatQueryAnchored", "FlatQueryAnchoredNoIdentities"]


@pytest.fixture(scope="module")
def searches(service):
    """{kind: RID} of a finished search of each kind."""
    rids = {"protein": submit(service, **PROTEIN), "nucleotide": submit(service, **NUCLEOTIDE),
            "gapped": submit(service, PROGRAM="blastp", DATABASE="nr", QUERY=GAPPED)}
    for rid in rids.values():
        assert wait(service, rid)["Status"] == "READY"
    return rids


def report(url, rid, **fields):
    """(content type, body) of a report that must be served, and not as an error page."""
    content_type, body = served(url, rid, **fields)
    assert not content_type.startswith("text/html") or b'class="error"' not in body, body[:500]
    return content_type, body


def one_query(queries):
    assert len(queries) == 1, queries
    return queries[0]


# (the search, the request's fields, its reader, content type, where the query's title shows,
# and GIs: shown "asked" for, "never" (SAM names hits by accession) or "always" (JSONSA is the
# archive's Seq-align, whose hits are named by GI where they have one)).
FORMS = [pytest.param("protein", dict(FORMAT_TYPE="Text", ALIGNMENT_VIEW=view), read_anchored, "text/plain", True,
                      "asked", id="Text " + view) for view in ANCHORED] + [
    pytest.param("protein", dict(FORMAT_TYPE="HTML", ALIGNMENT_VIEW=view), read_html_anchored, "text/html", True,
                 "asked", id="HTML " + view) for view in ANCHORED] + [
    pytest.param("protein", dict(FORMAT_TYPE="Text", ALIGNMENT_VIEW="Tabular"), read_tabular, "text/plain", True,
                 "asked", id="Text Tabular"),
    pytest.param("protein", dict(FORMAT_TYPE="html", ALIGNMENT_VIEW="tabular"), read_html_tabular, "text/html", True,
                 "asked", id="HTML Tabular"),
    pytest.param("protein", dict(FORMAT_TYPE="CSV", ALIGNMENT_VIEW="Tabular"), read_csv, "text/csv", False, "asked",
                 id="CSV"),
    pytest.param("protein", dict(FORMAT_TYPE="CSV"), read_csv, "text/csv", False, "asked", id="CSV without view"),
    pytest.param("protein", dict(FORMAT_TYPE="JSONSA"), read_jsonsa, "application/json", False, "always",
                 id="JSONSA"),
    pytest.param("nucleotide", dict(FORMAT_TYPE="SAM"), read_sam, "text/plain", False, "never", id="SAM"),
]


@pytest.mark.parametrize("kind, fields, reader, content_type, titled, gis", FORMS)
@pytest.mark.parametrize("show_gi", [True, False], ids=["gi", "no gi"])
def test_every_report_form_is_cut_to_the_hit_list_and_names_the_query(
        service, searches, kind, fields, reader, content_type, titled, gis, show_gi):
    served_type, body = report(service, searches[kind], HITLIST_SIZE="3", NCBI_GI="true" if show_gi else "false",
                               **fields)
    assert served_type == content_type
    query = one_query(reader(body))
    assert len(query.descriptions) == len(query.alignments) == 3
    if gis != "always":   # JSONSA's query is Query_1, as BLAST+ names it
        assert QUERY_ACCESSIONS[kind] in query.name
    assert (QUERY_TITLE in query.name) is titled
    # As ids ("gi|9506405|ref|...") or, in the Seq-align, as a choice of id ("gi": 9506405).
    assert (b"gi|" in body or b'"gi": ' in body) is {"asked": show_gi, "never": False, "always": True}[gis]


@pytest.mark.parametrize("form", ["Text", "HTML"])
@pytest.mark.parametrize("view, identities, flat", [
    ("QueryAnchored", True, False),
    ("QueryAnchoredNoIdentities", False, False),
    ("FlatQueryAnchored", True, True),
    ("FlatQueryAnchoredNoIdentities", False, True),
])
def test_each_query_anchored_view_shows_identities_and_insertions_as_named(
        service, searches, form, view, identities, flat):
    body = report(service, searches["gapped"], FORMAT_TYPE=form, ALIGNMENT_VIEW=view, HITLIST_SIZE="2")[1]
    text = "".join(html_page(body).parts) if form == "HTML" else body.decode()
    rows, others = anchored_rows(text)
    query_rows = [letters for name, letters in rows if name == rows[0][0]]
    hit_rows = [letters for name, letters in rows if name != rows[0][0]]
    assert query_rows and hit_rows
    # Letters the same as the query's are dots where identities are shown.
    assert any("." in letters for letters in hit_rows) is identities
    assert all(letter in ".-" for letter in hit_rows[0]) is identities
    # A hit's insertion is a gap in a flat query's row, else a marker line under the hit.
    assert any("-" in letters for letters in query_rows) is flat
    assert ("\\" in others) is not flat


@pytest.mark.parametrize("form", ["Text", "HTML"])
def test_pairwise_is_the_default_view(service, searches, form):
    default = report(service, searches["gapped"], FORMAT_TYPE=form)[1]
    assert report(service, searches["gapped"], FORMAT_TYPE=form, ALIGNMENT_VIEW="Pairwise")[1] == default
    assert read_text(default if form == "Text" else "".join(html_page(default).parts).encode())[0].alignments


def test_a_hit_table_asked_for_as_text_or_csv_is_the_tabular_report(service, searches):
    table = report(service, searches["protein"], FORMAT_TYPE="Tabular")[1]
    assert report(service, searches["protein"], FORMAT_TYPE="Text", ALIGNMENT_VIEW="Tabular")[1] == table
    rows = [line.split("\t") for line in table.decode().splitlines() if not line.startswith("#")]
    csv_body = report(service, searches["protein"], FORMAT_TYPE="CSV")[1]
    assert [line.split(",") for line in csv_body.decode().splitlines()] == rows


@pytest.mark.parametrize("fields", [
    dict(FORMAT_TYPE="HTML"),
    dict(),
    dict(FORMAT_TYPE="HTML", ALIGNMENT_VIEW="FlatQueryAnchored"),
    dict(FORMAT_TYPE="HTML", ALIGNMENT_VIEW="Tabular"),
])
def test_a_html_report_carries_the_status_block_of_a_finished_search(service, searches, fields):
    body = report(service, searches["protein"], **fields)[1]
    assert info(body.decode()) == {"Status": "READY"}


@pytest.mark.parametrize("fields", [dict(FORMAT_TYPE="Text"), dict(FORMAT_TYPE="Text", ALIGNMENT_VIEW="Tabular"),
                                    dict(FORMAT_TYPE="CSV"), dict(FORMAT_TYPE="XML"), dict(FORMAT_TYPE="JSONSA")])
def test_other_reports_carry_no_status_block(service, searches, fields):
    assert b"QBlastInfo" not in report(service, searches["protein"], **fields)[1]


def test_jsonsa_of_several_queries_is_one_document_naming_each_query(service):
    # The second record has no hit: BLAST+ writes a document for each query with hits only.
    fasta = ">gapped\n%s\n>none\nWWWWWWWWWWHHHHHHHHHH\n>whole\n%s\n" % (GAPPED, GAPPED.replace("WWWWW", ""))
    rid = submit(service, PROGRAM="blastp", DATABASE="nr", QUERY=fasta, HITLIST_SIZE="4")
    assert wait(service, rid)["Status"] == "READY"
    queries = read_jsonsa(report(service, rid, FORMAT_TYPE="JSONSA")[1])
    assert [(query.name, len(query.descriptions)) for query in queries] == [("local|Query_1", 4),
                                                                            ("local|Query_3", 4)]


def test_jsonsa_without_hits_is_a_document_without_alignments(service):
    rid = submit(service, PROGRAM="blastp", DATABASE="nr", QUERY="WWWWWWWWWWHHHHHHHHHH")
    assert wait(service, rid) == {"Status": "READY", "ThereAreHits": "no"}
    assert read_jsonsa(report(service, rid, FORMAT_TYPE="JSONSA")[1]) == []


def test_sam_names_an_identifier_query_by_its_accession_and_no_folder_of_the_service(service, searches):
    body = report(service, searches["nucleotide"], FORMAT_TYPE="SAM")[1].decode()
    header = [line.split("\t") for line in body.splitlines() if line.startswith("@")]
    assert ["@SQ", "SN:NM_001009059.1", "LN:658"] in header
    command = next(field for line in header if line[0] == "@PG" for field in line if field.startswith("CL:"))
    assert command.startswith("CL:blast_formatter ") and "/" not in command and "-outfmt 17" in command


@pytest.mark.parametrize("fields, words", [
    (dict(FORMAT_TYPE="SAM"), ["FORMAT_TYPE SAM", "blastn", "blastp"]),
    (dict(FORMAT_TYPE="CSV", ALIGNMENT_VIEW="QueryAnchored"), ["CSV", "ALIGNMENT_VIEW", "'QueryAnchored'"]),
    (dict(FORMAT_TYPE="Text", ALIGNMENT_VIEW="Sideways"), ["ALIGNMENT_VIEW", "'Sideways'", "FlatQueryAnchored"]),
    (dict(ALIGNMENT_VIEW="Tabul\u0430r"), ["ALIGNMENT_VIEW", "'Tabul\u0430r'"]),   # a Cyrillic a
])
@pytest.mark.parametrize("on", ["put", "get"])
def test_a_report_the_service_does_not_make_is_refused_by_name(service, searches, fields, words, on):
    if on == "put":
        code, _, page = request(service, dict(dict(CMD="Put", **PROTEIN), **fields), post=True)
    else:
        code, _, page = request(service, dict(dict(CMD="Get", RID=searches["protein"]), **fields))
    assert code == 200 and "RID" not in info(page)
    for word in words:
        assert word in error_text(page)


@pytest.mark.parametrize("on_put, on_get, reader", [
    (dict(FORMAT_TYPE="Text", ALIGNMENT_VIEW="Tabular"), {}, read_tabular),
    (dict(ALIGNMENT_VIEW="QueryAnchored"), dict(FORMAT_TYPE="Text"), read_anchored),
    # The submission's view is for the reports that have views: CSV is a table whatever it was.
    (dict(FORMAT_TYPE="Text", ALIGNMENT_VIEW="QueryAnchored"), dict(FORMAT_TYPE="CSV"), read_csv),
    (dict(FORMAT_TYPE="Text", ALIGNMENT_VIEW="QueryAnchored"), dict(ALIGNMENT_VIEW="Tabular"), read_tabular),
])
def test_the_submissions_view_is_the_results_requests_default(service, on_put, on_get, reader):
    rid = submit(service, **dict(PROTEIN, **on_put))
    assert wait(service, rid)["Status"] == "READY"
    assert len(one_query(reader(report(service, rid, **on_get)[1])).descriptions) == 13
