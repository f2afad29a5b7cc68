"""The URL API as clients meet it: submissions, status, XML results, GI numbers, refusals, the
organism filter and the hit limits, on real BLAST+ searches of the built database."""
import http.client
import socket
import xml.etree.ElementTree as ElementTree

import pytest

from blast_client import (error_text, field, hit_ids, info, request, results, search, status, submit, wait,
                          without_gi)
from bundled_sources import organism_of_hit
from check_queries import ROW_QUERIES
from conftest import Clock, running_service
from localblast.api.faults import Faults

# The check's three searches, as the toolkit sends them (asking for GI numbers), and what their
# reports must say about the query.
ROWS = [
    pytest.param(dict(PROGRAM="blastp", DATABASE="nr", QUERY=ROW_QUERIES["identifier"], EXPECT="0.001",
                      ENTREZ_QUERY="rat [ORGN]", HITLIST_SIZE="10", ALIGNMENTS="10", DESCRIPTIONS="10",
                      NCBI_GI="true"),
                 "gi|160837788|ref|NP_001102467.1|", "hypothetical protein LOC366535 [Rattus norvegicus]", 230,
                 {"9506405", "13592137", "37589612", "149064087", "56912225"}, id="identifier"),
    pytest.param(dict(PROGRAM="blastn", DATABASE="nr", QUERY=ROW_QUERIES["sequence"], EXPECT="10",
                      ENTREZ_QUERY="pan [ORGN]", MEGABLAST="FALSE", HITLIST_SIZE="10", NCBI_GI="true"),
                 "Query_1", "No definition line", 68, {"37953274", "51104367"}, id="sequence"),
    pytest.param(dict(PROGRAM="blastx", DATABASE="nr", QUERY=ROW_QUERIES["fasta"], EXPECT="1e-07",
                      HITLIST_SIZE="10", NCBI_GI="true"),
                 "Query_1", ROW_QUERIES["fasta"].split("\n")[0][1:], 615,
                 {"21554275", "18409071", "296087288"}, id="fasta"),
]


@pytest.mark.parametrize("fields, query_id, query_def, length, expected", ROWS)
def test_the_checks_searches_report_their_query_and_an_expected_hit(service, fields, query_id, query_def,
                                                                    length, expected):
    report = search(service, **fields)
    assert field(report, "BlastOutput_program") == fields["PROGRAM"]
    assert float(field(report, "Parameters_expect")) == float(fields["EXPECT"])
    for scope in ("BlastOutput", "Iteration"):
        assert field(report, scope + "_query-ID") == query_id
        assert field(report, scope + "_query-def") == query_def
        assert int(field(report, scope + "_query-len")) == length
    ids = hit_ids(report)
    assert 0 < len(ids) <= 10
    assert any(expected & set(hit.split("|")) for hit in ids), ids


def test_submission_answers_rid_and_rtoe_and_status_turns_ready_with_hits(service):
    code, content_type, page = request(service, dict(CMD="Put", PROGRAM="blastp", DATABASE="nr",
                                                     QUERY="NP_062074"))
    fields = info(page)
    assert (code, content_type.split(";")[0]) == (200, "text/html")
    assert fields["RID"].isalnum() and fields["RTOE"] == "0"
    assert wait(service, fields["RID"]) == {"Status": "READY", "ThereAreHits": "yes"}


def test_a_get_request_submits_too(service):
    code, _, page = request(service, dict(CMD="Put", PROGRAM="blastp", DATABASE="nr", QUERY="9506405"))
    assert code == 200 and wait(service, info(page)["RID"])["Status"] == "READY"


@pytest.mark.parametrize("query", ["EDM14338.1", "EDM14338", "edm14338.1", "149064087"])
def test_an_identifier_is_an_accession_with_or_without_version_or_a_gi(service, query):
    report = search(service, PROGRAM="blastp", DATABASE="nr", QUERY=query, HITLIST_SIZE="1")
    assert field(report, "Iteration_query-ID") == "gb|EDM14338.1|"


def report_ids(text):
    """(query id, hit ids) of an XML report."""
    report = ElementTree.fromstring(text.encode())
    return field(report, "Iteration_query-ID"), hit_ids(report)


# NCBI_GI on the submission, then on the results request ("" for not sent), and whether the
# report's ids carry GI numbers: the results request's value, when it has one, rules.
@pytest.mark.parametrize("on_put, on_get, shown", [
    ("", "", False),
    ("false", "", False),
    ("true", "", True),
    ("T", "", True),
    ("on", "", True),
    ("YES", "", True),
    ("", "true", True),
    ("false", "yes", True),
    ("true", "false", False),
    ("TRUE", "f", False),
    ("true", "off", False),
])
def test_gi_numbers_show_only_when_asked_for(service, on_put, on_get, shown):
    fields = dict(PROGRAM="blastp", DATABASE="nr", QUERY="9506405", HITLIST_SIZE="5")
    rid = submit(service, **dict(fields, NCBI_GI=on_put) if on_put else fields)
    wait(service, rid)
    with_gi = report_ids(results(service, rid, NCBI_GI="true")[2])
    assert with_gi[0] == "gi|9506405|ref|NP_062074.1|" and all(hit.startswith("gi|") for hit in with_gi[1])
    query_id, hits = report_ids(results(service, rid, **dict(NCBI_GI=on_get) if on_get else {})[2])
    if shown:
        assert (query_id, hits) == with_gi
    else:
        # The accession keeps its version; nothing else of the id changes.
        assert (query_id, hits) == (without_gi(with_gi[0]), [without_gi(hit) for hit in with_gi[1]])
        assert query_id == "ref|NP_062074.1|"


def test_without_gi_numbers_a_fasta_querys_own_definition_line_is_kept(service):
    report = search(service, PROGRAM="blastx", DATABASE="nr", QUERY=ROW_QUERIES["fasta"], HITLIST_SIZE="3")
    assert field(report, "Iteration_query-def") == ROW_QUERIES["fasta"].split("\n")[0][1:]
    assert not [hit for hit in hit_ids(report) if "gi|" in hit]


def organisms_of(report):
    return {organism_of_hit(hit) for hit in hit_ids(report)}


@pytest.mark.parametrize("program, query, term, organisms", [
    ("blastp", ROW_QUERIES["identifier"], "rat [ORGN]", {"Rattus norvegicus"}),
    ("blastp", ROW_QUERIES["identifier"], "Rattus norvegicus[Organism]", {"Rattus norvegicus"}),
    ("blastp", ROW_QUERIES["identifier"], "rattus [ORGN]", {"Rattus norvegicus", "Rattus rattus"}),
    ("blastp", ROW_QUERIES["identifier"], "house  Mouse [orgn] OR human [ORGN]", {"Mus musculus", "Homo sapiens"}),
    ("blastn", ROW_QUERIES["sequence"], "pan [ORGN]", {"Pan troglodytes", "Pan paniscus"}),
    ("blastn", ROW_QUERIES["sequence"], '"chimpanzee" [ORGN]', {"Pan troglodytes"}),
])
def test_the_organism_filter_keeps_exactly_the_organisms_named(service, program, query, term, organisms):
    unfiltered = search(service, PROGRAM=program, DATABASE="nr", QUERY=query, EXPECT="10", HITLIST_SIZE="100")
    filtered = search(service, PROGRAM=program, DATABASE="nr", QUERY=query, EXPECT="10", HITLIST_SIZE="100",
                      ENTREZ_QUERY=term)
    assert organisms_of(unfiltered) - organisms, "the database must hold others to exclude"
    assert organisms_of(filtered) == organisms


def test_an_organism_without_sequences_of_the_kind_gives_a_report_without_hits(service):
    rid = submit(service, PROGRAM="blastn", DATABASE="nt", QUERY=ROW_QUERIES["sequence"],
                 ENTREZ_QUERY="Vitis vinifera [ORGN]")
    assert wait(service, rid) == {"Status": "READY", "ThereAreHits": "no"}
    code, _, text = results(service, rid)
    assert code == 200 and "<BlastOutput" in text and "<Hit>" not in text


@pytest.mark.parametrize("fields, count", [
    (dict(HITLIST_SIZE="3"), 3),
    (dict(HITLIST_SIZE="10", DESCRIPTIONS="4"), 4),
    (dict(HITLIST_SIZE="10", ALIGNMENTS="10", DESCRIPTIONS="10"), 10),
])
def test_the_smallest_of_the_list_sizes_limits_the_hits(service, fields, count):
    report = search(service, PROGRAM="blastp", DATABASE="nr", QUERY=ROW_QUERIES["identifier"], **fields)
    assert len(hit_ids(report)) == count


def test_without_list_sizes_the_database_holds_more_hits_than_the_check_keeps(service):
    report = search(service, PROGRAM="blastp", DATABASE="nr", QUERY=ROW_QUERIES["identifier"], EXPECT="0.001")
    assert len(hit_ids(report)) > 10


def test_list_sizes_repeated_on_the_results_request_cut_the_report(service):
    rid = submit(service, PROGRAM="blastp", DATABASE="nr", QUERY=ROW_QUERIES["identifier"], HITLIST_SIZE="10")
    wait(service, rid)
    whole = results(service, rid, ALIGNMENTS="10")[2]
    cut = results(service, rid, ALIGNMENTS="10", DESCRIPTIONS="2")[2]
    assert whole.count("<Hit>") == 10 and cut.count("<Hit>") == 2
    assert cut.startswith('<?xml version="1.0"?>\n<!DOCTYPE BlastOutput') and cut.rstrip().endswith("</BlastOutput>")


@pytest.mark.parametrize("value", ["10", "0.001", "1e-07", "1E-7", ".5", "10.0", "2e+2"])
def test_the_expectation_reads_back_as_the_number_sent(service, value):
    report = search(service, PROGRAM="blastp", DATABASE="nr", QUERY="9506405", EXPECT=value)
    assert float(field(report, "Parameters_expect")) == float(value)


@pytest.mark.parametrize("fields, words", [
    (dict(PROGRAM="blastz"), ["PROGRAM", "'blastz'"]),
    (dict(PROGRAM=""), ["PROGRAM", "''"]),
    (dict(DATABASE="swissprot"), ["DATABASE", "'swissprot'"]),
    (dict(PROGRAM="blastp", DATABASE="nt"), ["DATABASE", "'nt'"]),
    (dict(QUERY=""), ["QUERY is missing"]),
    (dict(QUERY="999999999"), ["'999999999'", "no protein sequence"]),
    (dict(QUERY="MKTAY IAKQR!?"), ["'!'", "'?'"]),
    (dict(QUERY=">only a definition line"), ["QUERY record 1", "no sequence letters"]),
    (dict(QUERY=">a\nMKT\n>b\nMK1T"), ["QUERY record 2", "'1'"]),
    (dict(EXPECT="abc"), ["EXPECT", "'abc'"]),
    (dict(EXPECT="0"), ["EXPECT", "'0'"]),
    (dict(EXPECT="-1"), ["EXPECT", "'-1'"]),
    (dict(EXPECT="1_0"), ["EXPECT", "'1_0'"]),
    (dict(EXPECT="inf"), ["EXPECT", "'inf'"]),
    (dict(MEGABLAST="maybe"), ["MEGABLAST", "'maybe'"]),
    (dict(HITLIST_SIZE="ten"), ["HITLIST_SIZE", "'ten'"]),
    (dict(ALIGNMENTS="0"), ["ALIGNMENTS", "'0'"]),
    (dict(ENTREZ_QUERY="SNX2[GENE]"), ["ENTREZ_QUERY", "'SNX2[GENE]'"]),
    (dict(ENTREZ_QUERY="rat [ORGN] AND mouse [ORGN]"), ["ENTREZ_QUERY", "organism terms"]),
    (dict(ENTREZ_QUERY="None"), ["ENTREZ_QUERY", "'None'"]),
    (dict(ENTREZ_QUERY="unicorn [ORGN]"), ["'unicorn'", "Rattus norvegicus"]),
    (dict(FILTER="R"), ["FILTER", "'R'"]),
    (dict(GAPCOSTS="11"), ["GAPCOSTS", "'11'"]),
    (dict(GAPCOSTS="11 40000"), ["GAPCOSTS", "from 0 to 32767", "'11 40000'"]),
    (dict(MATRIX="BLOSUM99"), ["MATRIX", "'BLOSUM99'"]),
    (dict(PROGRAM="blastn", QUERY="ACGT", NUCL_PENALTY="3"), ["NUCL_PENALTY", "'3'"]),
    (dict(NCBI_GI="maybe"), ["NCBI_GI", "'maybe'"]),
    (dict(THRESHOLD="high"), ["THRESHOLD", "'high'"]),
    (dict(THRESHOLD="0"), ["THRESHOLD", "'0'"]),
    (dict(FORMAT_TYPE="PDF"), ["FORMAT_TYPE", "'PDF'", "JSON2_S"]),
    # Numbers are ASCII digits: other scripts' digits and blanks would reach BLAST+.
    (dict(EXPECT="\u0661\u0660"), ["EXPECT", "'\u0661\u0660'"]),
    (dict(EXPECT="1e-\u0667"), ["EXPECT", "'1e-\u0667'"]),
    (dict(GAPCOSTS="\u0661\u0661 \u0661"), ["GAPCOSTS", "'\u0661\u0661 \u0661'"]),
    (dict(GAPCOSTS="11\u20031"), ["GAPCOSTS", repr("11\u20031")]),
    (dict(HITLIST_SIZE="\u0661\u0660"), ["HITLIST_SIZE", "'\u0661\u0660'"]),
    (dict(DESCRIPTIONS="\u00b2"), ["DESCRIPTIONS", "'\u00b2'"]),
    (dict(WORD_SIZE="\uff13"), ["WORD_SIZE", "'\uff13'"]),
    (dict(PROGRAM="blastn", QUERY="ACGT", NUCL_REWARD="\u0662"), ["NUCL_REWARD", "'\u0662'"]),
    (dict(PROGRAM="blastn", QUERY="ACGT", NUCL_PENALTY="-\u0663"), ["NUCL_PENALTY", "'-\u0663'"]),
    # Letters are ASCII too, though their upper case may be.
    (dict(MATRIX="BLO\u017fUM62"), ["MATRIX", "'BLO\u017fUM62'"]),
    (dict(QUERY="MKT\u017fAY"), ["'\u017f'"]),
    (dict(QUERY=">a\nMKT\u00a0AY"), ["QUERY record 1", "'\\xa0'"]),
])
def test_a_refused_submission_answers_an_error_page_naming_the_cause(service, fields, words):
    form = dict(CMD="Put", PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
    form.update(fields)
    code, _, page = request(service, form, post=True)
    assert code == 200 and "RID" not in info(page)
    message = error_text(page)
    for word in words:
        assert word in message


def test_a_search_that_blast_rejects_fails_with_its_message(service):
    # BLOSUM62 has no statistics for these gap costs: BLAST+ itself refuses the search.
    rid = submit(service, PROGRAM="blastp", DATABASE="nr", QUERY="9506405", GAPCOSTS="1 1")
    assert wait(service, rid)["Status"] == "FAILED"
    code, _, page = results(service, rid)
    assert code == 200 and info(page)["Status"] == "FAILED" and "not supported for BLOSUM62" in error_text(page)


@pytest.mark.parametrize("fields, code, words", [
    (dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID="NOSUCHRID01"), 200, []),
    (dict(CMD="Get", FORMAT_TYPE="XML", RID="NOSUCHRID01"), 200, ["'NOSUCHRID01'", "unknown"]),
    (dict(CMD="Delete", RID="NOSUCHRID01"), 200, ["'NOSUCHRID01'", "unknown"]),
])
def test_an_rid_never_issued_is_unknown(service, fields, code, words):
    answer_code, _, page = request(service, fields)
    assert answer_code == code and info(page)["Status"] == "UNKNOWN"
    for word in words:
        assert word in error_text(page)


@pytest.mark.parametrize("fields, code, words", [
    (dict(CMD="Run"), 400, ["CMD", "'Run'"]),
    (dict(CMD="Get", FORMAT_TYPE="XML"), 400, ["RID is missing"]),
])
def test_a_malformed_request_is_answered_with_400(service, fields, code, words):
    answer_code, _, page = request(service, fields)
    assert answer_code == code
    for word in words:
        assert word in error_text(page)


def test_results_come_only_when_ready_and_only_in_a_known_format(db):
    clock = Clock()
    with running_service(db, Faults(job_time=[("blastp", 50)]), clock=clock) as (url, _, _):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
        code, content_type, page = results(url, rid)
        assert (code, content_type.split(";")[0], info(page)) == (200, "text/html", {"Status": "WAITING"})
        clock.advance(50)
        assert wait(url, rid)["Status"] == "READY"
        code, _, page = results(url, rid, FORMAT_TYPE="PDF")
        assert code == 200 and "FORMAT_TYPE" in error_text(page) and "'PDF'" in error_text(page)
        code, content_type, text = results(url, rid)
        assert (code, content_type.split(";")[0]) == (200, "text/xml") and "<BlastOutput" in text


def test_a_deleted_search_is_unknown(service):
    rid = submit(service, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
    wait(service, rid)
    assert request(service, dict(CMD="Delete", RID=rid))[0] == 200
    assert status(service, rid)["Status"] == "UNKNOWN"


@pytest.mark.parametrize("fields", [
    dict(PROGRAM="blastp", QUERY="9506405", FILTER="F"),
    dict(PROGRAM="blastp", QUERY="9506405", FILTER="L"),
    dict(PROGRAM="blastp", QUERY="9506405", FILTER="mL"),
    dict(PROGRAM="blastn", QUERY=ROW_QUERIES["sequence"], FILTER="T"),
    dict(PROGRAM="blastx", QUERY=ROW_QUERIES["fasta"], FILTER="F"),
    dict(PROGRAM="blastp", QUERY="9506405", WORD_SIZE="3", GAPCOSTS="11 1", MATRIX="BLOSUM62"),
    dict(PROGRAM="blastp", QUERY="9506405", MATRIX="pam30"),
    dict(PROGRAM="blastn", QUERY=ROW_QUERIES["sequence"], NUCL_REWARD="2", NUCL_PENALTY="-3", GAPCOSTS="5 2"),
    dict(PROGRAM="tblastn", QUERY="NP_564935.1"),
    dict(PROGRAM="tblastx", QUERY="EG558220.1", DATABASE="nt"),
    dict(PROGRAM="blastp", QUERY="9506405", THRESHOLD="13"),
    dict(PROGRAM="tblastn", QUERY="NP_564935.1", THRESHOLD="11"),
    # Nucleotide words have no neighbours: blastn and megablast ignore THRESHOLD, as NCBI does.
    dict(PROGRAM="blastn", QUERY=ROW_QUERIES["sequence"], THRESHOLD="13"),
    dict(PROGRAM="megablast", QUERY=ROW_QUERIES["fasta"], THRESHOLD="13"),
    # Nor does nucleotide scoring have a matrix: MATRIX is ignored too.
    dict(PROGRAM="blastn", QUERY=ROW_QUERIES["sequence"], MATRIX="BLOSUM62"),
])
def test_the_optional_parameters_reach_blast_in_a_form_it_accepts(service, fields):
    report = search(service, **dict(dict(DATABASE="nr"), **fields))
    assert hit_ids(report)


@pytest.mark.parametrize("fields, words", [
    (dict(ALIGNMENTS="all"), ["ALIGNMENTS", "'all'"]),
    (dict(HITLIST_SIZE="\u0665"), ["HITLIST_SIZE", "'\u0665'"]),
    (dict(NCBI_GI="sometimes"), ["NCBI_GI", "'sometimes'"]),
])
def test_a_malformed_field_of_the_results_request_is_an_error_page(service, fields, words):
    rid = submit(service, PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
    wait(service, rid)
    code, content_type, page = results(service, rid, **fields)
    assert code == 200 and content_type.startswith("text/html") and "RID" not in info(page)
    for word in words:
        assert word in error_text(page)


def post(url, headers, body):
    """(HTTP status, error text) of a POST sent as given, the body possibly shorter than announced."""
    port = int(url.split(":")[2].split("/")[0])
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.putrequest("POST", "/Blast.cgi")
        for name, value in headers.items():
            connection.putheader(name, value)
        connection.endheaders()
        connection.send(body)
        try:
            connection.sock.shutdown(socket.SHUT_WR)  # the body ends here, whatever its Content-Length says
        except OSError:
            pass  # answered and closed already, without reading the body
        response = connection.getresponse()
        return response.status, error_text(response.read().decode())
    finally:
        connection.close()


@pytest.mark.parametrize("headers, body, code, words", [
    ({}, b"CMD=Put", 411, ["Content-Length", "''"]),
    ({"Content-Length": "\u00b2"}, b"CMD=Put", 400, ["Content-Length", "'\u00b2'"]),
    ({"Content-Length": "5000000"}, b"", 413, ["5000000"]),
    ({"Content-Length": "100"}, b"CMD=Put&PROGRAM=blastp&DATABASE=nr&QUERY=MKT", 400, ["44 of the 100 bytes"]),
    ({"Content-Length": "7", "Content-Type": "text/plain"}, b"CMD=Put", 415, ["'text/plain'"]),
    ({"Content-Length": "7", "Content-Type": "application/x-www-form-urlencodedjunk"}, b"CMD=Put", 415,
     ["'application/x-www-form-urlencodedjunk'"]),
    # A form in any letter case, with parameters, is read as one.
    ({"Content-Length": "15", "Content-Type": "Application/X-WWW-Form-Urlencoded"}, b"CMD=DisplayRIDs", 200, []),
    ({"Content-Length": "15", "Content-Type": " application/x-www-form-urlencoded ; charset=UTF-8"},
     b"CMD=DisplayRIDs", 200, []),
])
def test_a_malformed_post_is_refused_with_its_cause(service, headers, body, code, words):
    answer_code, text = post(service, headers, body)
    assert answer_code == code
    for word in words:
        assert word in text
