"""Clients that are not our toolkit, written from NCBI's documentation only (a Perl one with LWP
and a curl one, in clients/), against the service as `make offline` starts it: each submits,
polls and fetches a report in every format, and each answer is read with a real parser of its
format."""
import collections
import os
import re
import subprocess

import pytest

from check_queries import ROW_QUERIES
from conftest import database_folder
from localblast.api.faults import REFUSED
from report_readers import CONTENT_TYPES, READERS
from service_process import service_process

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENTS = {"lwp": ["/usr/bin/perl", os.path.join(HERE, "clients", "blast_lwp.pl")],
           "curl": ["/bin/sh", os.path.join(HERE, "clients", "blast_curl.sh")]}
# NCBI's pauses (10 s between requests, a minute between polls of one RID) scaled down.
SCALE = 0.01
# A client that hangs fails its case instead of holding the suite.
RUN_LIMIT = 600
# The service's options as scripts/offline starts it, and NCBI's guidelines enforced on the same
# scale as the clients' pauses: a client that breaks one is answered HTTP 429 and fails its case.
OFFLINE = ("--port", "0", "--rtoe", "0", "--status-wait", "10")
GUIDELINES = ("--guidelines", "enforce", "--guideline-scale", str(SCALE))

Run = collections.namedtuple("Run", "status fields stderr")
GI = re.compile(r"(^|\|)gi\|[0-9]+\|")


def carries_gi(hit):
    return bool(GI.search(hit))


def fasta_entries(name):
    """accession -> sequence of one of the database's FASTA files."""
    entries, accession = {}, None
    with open(os.path.join(database_folder(), name)) as stream:
        for line in stream:
            if line.startswith(">"):
                accession = line.split("|")[3]
                entries[accession] = ""
            else:
                entries[accession] += line.strip()
    return entries


# The sequences that hold both 19-letter ends of the check's bare query.
ENDS_FOUND_IN = {"NM_001009059", "AC146779", "XM_001165512", "NM_003040", "XM_004045515"}


def queries():
    """name -> (query text, a word each query's description must hold, accessions of which at
    least one must be among the hits)."""
    nucleotides, proteins = fasta_entries("nucleotides.fasta"), fasta_entries("proteins.fasta")
    two = (">slice_one of a chimpanzee mRNA\n%s\n>slice_two of a human mRNA\n%s\n"
           % (nucleotides["NM_001009059.1"][:300], nucleotides["NM_000518.4"][:200]))
    return {
        "identifier": (ROW_QUERIES["identifier"], ["LOC366535"], {"NP_001102467"}),
        "sequence": (ROW_QUERIES["sequence"], [""], ENDS_FOUND_IN),
        "ends": (">chimp_ends the two ends\n" + ROW_QUERIES["sequence"], ["chimp_ends"], ENDS_FOUND_IN),
        "fasta": (ROW_QUERIES["fasta"], ["CR02019H04"], {"AAM63432", "NP_564935", "CBI33662", "EG558220"}),
        "protein": (">plant_protein from the database\n" + proteins["AAM63432.1"], ["plant_protein"], {"EG558220"}),
        "two": (two, ["slice_one", "slice_two"], {"NM_001009059", "NM_000518"}),
    }


def run(client, action, *arguments):
    """A client's run: its exit status, its KEY=VALUE output lines, its standard error."""
    done = subprocess.run(CLIENTS[client] + [action] + list(arguments), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=RUN_LIMIT)
    fields = dict(line.split("=", 1) for line in done.stdout.splitlines() if "=" in line)
    return Run(done.returncode, fields, done.stderr)


def manners(client, name):
    # Each case is a client of its own, as NCBI tells clients apart by tool and email.
    return ["--scale", str(SCALE), "--tool", "test_clients", "--email", "%s-%s@localhost" % (client, name),
            "--timeout", "60", "--deadline", "300"]


@pytest.fixture(scope="module")
def base():
    """The service's address without its path."""
    with service_process("--db", database_folder(), *OFFLINE, *GUIDELINES) as (_, url):
        yield url.rsplit("/", 1)[0]


@pytest.fixture(params=sorted(CLIENTS))
def client(request):
    return request.param


Case = collections.namedtuple("Case", "path program query get put sizes sizes_on gi threshold")
BLAST, BLAST_DIR, CLOUD = "/Blast.cgi", "/blast/Blast.cgi", "/cgi-bin/blast.cgi"
LISTS = dict(HITLIST_SIZE=5, DESCRIPTIONS=4, ALIGNMENTS=2)
# FORMAT_TYPE on the results request and on the submission (None: not sent); the hit-list sizes
# and where they are sent; NCBI_GI on the submission and on the results request; THRESHOLD.
CASES = {
    "html-by-default": Case(BLAST, "blastp", "identifier", None, None, LISTS, "put", (None, None), None),
    "html": Case(BLAST_DIR, "blastp", "identifier", "HTML", None, dict(DESCRIPTIONS=3, ALIGNMENTS=2), "get",
                 ("true", None), None),
    "text": Case(CLOUD, "blastn", "ends", "Text", None, dict(HITLIST_SIZE=2), "put", ("false", "true"), None),
    "text-on-put": Case(BLAST, "blastp", "identifier", None, "Text", LISTS, "get", (None, "T"), None),
    "xml": Case(BLAST_DIR, "megablast", "two", "XML", None, {}, "put", (None, None), None),
    "xml-on-put": Case(CLOUD, "blastx", "fasta", None, "XML", dict(HITLIST_SIZE=2), "put", ("true", None), "12"),
    "xml2": Case(BLAST, "blastp", "identifier", "XML2", None, dict(HITLIST_SIZE=3), "get", ("true", None), None),
    "xml2-on-put": Case(BLAST_DIR, "MEGABLAST=on", "two", None, "XML2", {}, "put", (None, None), None),
    "xml2_s": Case(CLOUD, "tblastn", "protein", "XML2_S", None, dict(HITLIST_SIZE=1), "put", ("true", "false"),
                   "13"),
    "xml2_s-on-put": Case(BLAST, "tblastx", "fasta", None, "XML2_S", dict(HITLIST_SIZE=2), "get", (None, None),
                          "14"),
    "json2": Case(BLAST_DIR, "megablast", "two", "JSON2", None, {}, "put", ("true", None), None),
    "json2-on-put": Case(CLOUD, "blastn", "sequence", None, "JSON2", dict(HITLIST_SIZE=2), "get", (None, None), None),
    "json2_s": Case(BLAST, "blastx", "fasta", "JSON2_S", None, dict(HITLIST_SIZE=2), "get", (None, "true"), "11"),
    "json2_s-on-put": Case(BLAST_DIR, "blastp", "identifier", None, "JSON2_S", dict(HITLIST_SIZE=3), "put",
                           ("true", None), None),
    "tabular": Case(CLOUD, "blastp", "identifier", "Tabular", None, dict(HITLIST_SIZE=4), "get", ("false", None),
                    None),
    "tabular-on-put": Case(BLAST, "MEGABLAST=on", "two", None, "Tabular", {}, "put", ("true", None), None),
    "the-get-format-rules": Case(BLAST_DIR, "blastn", "sequence", "Tabular", "JSON2_S", dict(HITLIST_SIZE=2), "put",
                                 (None, None), None),
}
SIZE_OPTIONS = {"HITLIST_SIZE": "--hitlist-size", "DESCRIPTIONS": "--descriptions", "ALIGNMENTS": "--alignments"}


def search_arguments(case, query_text):
    arguments = ["--database", "nr", "--query", query_text]
    if case.program == "MEGABLAST=on":
        arguments += ["--program", "blastn", "--megablast"]
    else:
        arguments += ["--program", case.program]
    for option, value in (("--format", case.get), ("--put-format", case.put), ("--threshold", case.threshold),
                          ("--ncbi-gi", case.gi[0])):
        if value is not None:
            arguments += [option, value]
    if case.gi[1] is not None:
        arguments += ["--get", "NCBI_GI=" + case.gi[1]]
    for name, size in case.sizes.items():
        arguments += [SIZE_OPTIONS[name], str(size)] if case.sizes_on == "put" else ["--get", "%s=%d" % (name, size)]
    return arguments


def shows_gi(case):
    asked = case.gi[1] if case.gi[1] is not None else case.gi[0]
    return (asked or "false").lower() in ("true", "t")


@pytest.mark.parametrize("name", sorted(CASES))
def test_a_search_completes_in_each_format_as_documented(base, client, tmp_path, name):
    case = CASES[name]
    query_text, marks, expected = queries()[case.query]
    out = tmp_path / "report"
    done = run(client, "search", "--url", base + case.path, "--out", str(out), *manners(client, name),
               *search_arguments(case, query_text))
    assert done.status == 0, done
    assert (done.fields["Status"], done.fields["ThereAreHits"]) == ("READY", "yes"), done
    format_type = case.get or case.put or "HTML"
    assert done.fields["Content-Type"].split(";")[0].strip() == CONTENT_TYPES[format_type], done
    body = out.read_bytes()
    found = READERS[format_type](body)

    assert len(found) == len(marks) and all(mark in query.name for mark, query in zip(marks, found)), (marks, found)
    hits = [hit for query in found for hit in query.alignments + query.descriptions]
    assert any(accession in hit for hit in hits for accession in expected), (expected, found)
    if format_type == "Tabular":
        assert b"\n# Fields: " in body, body[:300]

    # Each query's lists: DESCRIPTIONS and ALIGNMENTS bound those of HTML and Text, HITLIST_SIZE all.
    unbounded = 10 ** 6
    limit = case.sizes.get("HITLIST_SIZE", unbounded)
    pages = format_type in ("HTML", "Text")
    for query in found:
        for listed, name in ((query.descriptions, "DESCRIPTIONS"), (query.alignments, "ALIGNMENTS")):
            bound = min(case.sizes.get(name, unbounded) if pages else unbounded, limit)
            assert 0 < len(listed) <= bound, (query.name, name, bound, listed)

    if shows_gi(case):
        # Rows of tabular output carry accessions as BLAST+ writes them, GI or not.
        assert format_type == "Tabular" or all(map(carries_gi, hits)), hits
    else:
        assert not any(map(carries_gi, hits)), hits


@pytest.mark.parametrize("program", [["--program", "megablast"], ["--program", "blastn", "--megablast"]],
                         ids=["megablast", "MEGABLAST=on"])
def test_megablast_by_either_name_finds_no_match_shorter_than_its_word(base, client, tmp_path, program):
    # The bare query matches only in its two 19-letter ends, which blastn finds (see the table)
    # and megablast, with its 28-letter words, does not.
    out = tmp_path / "report"
    done = run(client, "search", "--url", base + BLAST, "--out", str(out), "--database", "nr",
               "--query", ROW_QUERIES["sequence"], "--format", "XML", *program, *manners(client, program[-1]))
    assert (done.status, done.fields["ThereAreHits"]) == (0, "no"), done
    assert [query.alignments for query in READERS["XML"](out.read_bytes())] == [[]]


@pytest.mark.parametrize("option", ["--alignment-object", "--results-file"])
def test_a_download_or_the_alignment_object_is_the_same_report(base, client, tmp_path, option):
    # FORMAT_OBJECT=Alignment names the report a results request answers anyway; RESULTS_FILE=on
    # asks for it as a download and changes nothing else.
    plain, asked = tmp_path / "plain", tmp_path / "asked"
    first = run(client, "search", "--url", base + BLAST, "--out", str(plain), "--program", "blastp",
                "--database", "nr", "--query", ROW_QUERIES["identifier"], "--format", "Text",
                *manners(client, option))
    assert first.status == 0, first
    second = run(client, "search", "--url", base + CLOUD, "--rid", first.fields["RID"], "--out", str(asked),
                 "--format", "Text", option, *manners(client, option + "-again"))
    assert second.status == 0, second
    assert second.fields["Content-Type"].startswith("text/plain"), second
    assert asked.read_bytes() == plain.read_bytes()


def rid_lines(client, url, tmp_path, name):
    """The lines of the DisplayRIDs answer that name a RID, by RID."""
    listing = tmp_path / "rids"
    done = run(client, "rids", "--url", url, "--out", str(listing), *manners(client, name))
    assert done.status == 0, done
    return {line.split()[0]: line for line in listing.read_text().splitlines() if line.split()}


def test_a_search_is_listed_until_deleted_then_unknown(base, client, tmp_path):
    url = base + BLAST_DIR
    done = run(client, "search", "--url", url, "--out", str(tmp_path / "report"), "--program", "blastp",
               "--database", "nr", "--query", ROW_QUERIES["identifier"], "--format", "XML",
               *manners(client, "delete"))
    assert done.status == 0, done
    rid = done.fields["RID"]
    assert "READY" in rid_lines(client, url, tmp_path, "listed").get(rid, ""), rid

    deleted = run(client, "delete", "--url", url, "--rid", rid, *manners(client, "deleting"))
    assert (deleted.status, deleted.fields.get("Deleted")) == (0, rid), deleted
    assert rid not in rid_lines(client, url, tmp_path, "gone")

    again = run(client, "search", "--url", url, "--rid", rid, "--out", str(tmp_path / "again"),
                *manners(client, "unknown"))
    assert (again.status, again.fields.get("Status")) == (1, "UNKNOWN"), again
    assert "unknown" in again.stderr and not (tmp_path / "again").exists(), again


@pytest.fixture(scope="module")
def faulty():
    """A service whose tblastn results answer HTTP 503, tblastx searches fail, blastx
    submissions are refused, blastp results are held back and blastn searches take 2 s; it
    answers status requests at once, as NCBI does, and estimates a second for every search."""
    with service_process("--db", database_folder(), "--port", "0", "--rtoe", "1", *GUIDELINES,
                         "--fail-http", "tblastn:results:503",
                         "--fail-job", "tblastx", "--refuse", "blastx", "--stall", "blastp:results:20",
                         "--job-time", "blastn:2") as (_, url):
        yield url


def test_a_client_waits_out_a_running_search(faulty, client, tmp_path):
    out = tmp_path / "report"
    done = run(client, "search", "--url", faulty, "--out", str(out), "--program", "blastn", "--database", "nr",
               "--query", ROW_QUERIES["sequence"], "--format", "XML", *manners(client, "waiting"))
    assert (done.status, done.fields["RTOE"], done.fields["Status"]) == (0, "1", "READY"), done
    assert all(query.alignments for query in READERS["XML"](out.read_bytes()))


# program, query, extra options, and what the client's standard error must say.
FAULTS = {
    "http-error": ("tblastn", "protein", [], "HTTP 503"),
    "failed-search": ("tblastx", "fasta", [], "failed"),
    "refused": ("blastx", "fasta", [], REFUSED),
    "stalled-answer": ("blastp", "identifier", ["--timeout", "2"], "no answer"),
    "answer-too-large": ("blastn", "sequence", ["--max-bytes", "2000"], "exceeds 2000 bytes"),
}


@pytest.mark.parametrize("name", sorted(FAULTS))
def test_a_client_reports_a_failure_with_its_cause_and_writes_no_report(faulty, client, tmp_path, name):
    program, query, options, message = FAULTS[name]
    out = tmp_path / "report"
    done = run(client, "search", "--url", faulty, "--out", str(out), "--program", program, "--database", "nr",
               "--query", queries()[query][0], "--format", "XML", *manners(client, name), *options)
    assert done.status == 1 and message in done.stderr, done
    assert not out.exists()
