"""Databases served by name, as a user serves them: a folder of BLAST+ databases built here with
makeblastdb -parse_seqids -taxid_map (--blastdb) with NCBI's taxonomy names (--taxonomy, a small
names.dmp), and FASTA files (--fasta), searched through the URL API as a client searches them:
by name, with identifier queries, and with organism terms by taxonomy id and by name."""
import os
import random
import shutil
import subprocess
from xml.etree import ElementTree

import pytest

from blast_client import error_text, field, hit_ids, info, request, results, search, submit, wait
from bundled_sources import organism_of_hit
from check_queries import ROW_QUERIES
from conftest import running_service
from localblast.databases import serving
from localblast.errors import Refused
from localblast.options import parse as command_line
from logs import Logs
from service_process import service_process

PROTEIN_LETTERS = "ACDEFGHIKLMNPQRSTVWY"
NUCLEOTIDE_LETTERS = "ACGT"
# Sequences of a family: (id, title, taxonomy id, share of letters changed from the ancestor).
PROTEINS = [
    ("gi|1001|ref|XP_100001.1|", "family protein 1 [Homo sapiens]", 9606, 0.05),
    ("gi|1002|ref|XP_100002.2|", "family protein 2 [Homo sapiens]", 9606, 0.15),
    ("sp|P99901.1|", "RecName: Full=Family protein 3 [Mus musculus]", 10090, 0.10),
    ("ref|XP_100004.1|", "family protein 4 [Mus musculus]", 10090, 0.20),
    ("gi|1005|gb|AAB10005.1|", "family protein 5 [Rattus norvegicus]", 10116, 0.12),
]
NUCLEOTIDES = [
    ("gi|2001|ref|NM_200001.1|", "Homo sapiens family gene 1, mRNA", 9606, 0.05),
    ("ref|NM_200002.1|", "Mus musculus family gene 2, mRNA", 10090, 0.10),
    ("gb|AC200003.1|", "Rattus norvegicus clone 3, complete sequence", 10116, 0.08),
]
ORGANISM_OF = {seq_id.rstrip("|").split("|")[-1]: taxid for seq_id, _, taxid, _ in PROTEINS + NUCLEOTIDES}
# NCBI's names.dmp: tax_id, name, unique name, name class; the rat is left out on purpose.
NAMES = [
    (9606, "Homo sapiens", "scientific name"), (9606, "human", "genbank common name"),
    (10090, "Mus musculus", "scientific name"), (10090, "house mouse", "genbank common name"),
    (7227, "Drosophila melanogaster", "scientific name"), (7227, "fruit fly", "genbank common name"),
]


def mutated(rng, sequence, letters, share):
    return "".join(rng.choice(letters) if rng.random() < share else letter for letter in sequence)


def family(rng, members, letters, length):
    """(ancestor, FASTA text, taxid map text) of a family of sequences."""
    ancestor = "".join(rng.choice(letters) for _ in range(length))
    fasta = "".join(">%s %s\n%s\n" % (seq_id, title, mutated(rng, ancestor, letters, share))
                    for seq_id, title, _, share in members)
    taxids = "".join("%s %d\n" % (seq_id.rstrip("|").split("|")[-1], taxid) for seq_id, _, taxid, _ in members)
    return ancestor, fasta, taxids


def makeblastdb(folder, name, kind, fasta, taxids):
    (folder / (name + ".fa")).write_text(fasta)
    (folder / (name + ".taxids")).write_text(taxids)
    subprocess.run(["makeblastdb", "-in", name + ".fa", "-dbtype", kind, "-parse_seqids", "-taxid_map",
                    name + ".taxids", "-title", name, "-out", str(folder / "dbs" / name)], cwd=str(folder),
                   check=True, capture_output=True, timeout=120)


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """The test's files: a folder of BLAST+ databases, two FASTA files, a names.dmp; and the
    ancestors of its families, which find every member."""
    folder = tmp_path_factory.mktemp("served")
    (folder / "dbs").mkdir()
    rng = random.Random(7)
    protein, protein_fasta, protein_taxids = family(rng, PROTEINS, PROTEIN_LETTERS, 220)
    nucleotide, nucleotide_fasta, nucleotide_taxids = family(rng, NUCLEOTIDES, NUCLEOTIDE_LETTERS, 600)
    makeblastdb(folder, "swissprot", "prot", protein_fasta, protein_taxids)
    makeblastdb(folder, "core_nt", "nucl", nucleotide_fasta, nucleotide_taxids)
    # One name for a protein and a nucleotide database: the program decides which is searched.
    makeblastdb(folder, "refseq", "prot", protein_fasta, protein_taxids)
    makeblastdb(folder, "refseq", "nucl", nucleotide_fasta, nucleotide_taxids)
    (folder / "mine.fa").write_text(">mine_1 a protein of my own\n%s\n>mine_2 another\n%s\n" % (
        mutated(rng, protein, PROTEIN_LETTERS, 0.1), mutated(rng, protein, PROTEIN_LETTERS, 0.2)))
    (folder / "reads.fa").write_text(">read_1 a read\n%s\n" % mutated(rng, nucleotide, NUCLEOTIDE_LETTERS, 0.05))
    (folder / "names.dmp").write_text("".join("%d\t|\t%s\t|\t\t|\t%s\t|\n" % name for name in NAMES))
    return folder, protein, nucleotide


def options(folder):
    return ["--blastdb", str(folder / "dbs"), "--fasta", "mine=%s" % (folder / "mine.fa"),
            "--fasta", "reads=%s" % (folder / "reads.fa"), "--taxonomy", str(folder / "names.dmp"),
            "--cache", str(folder / "cache"), "--rtoe", "0"]


@pytest.fixture(scope="module")
def served(made):
    folder, protein, nucleotide = made
    with service_process(*options(folder)) as (_, url):
        yield url, {"protein": protein, "nucleotide": nucleotide}


def accessions(report):
    return {hit.rstrip("|").split("|")[-1] for hit in hit_ids(report)}


@pytest.mark.parametrize("program, database, query, found", [
    ("blastp", "swissprot", "protein", {"XP_100001.1", "XP_100002.2", "P99901.1", "XP_100004.1", "AAB10005.1"}),
    ("blastn", "core_nt", "nucleotide", {"NM_200001.1", "NM_200002.1", "AC200003.1"}),
    ("blastp", "refseq", "protein", {"XP_100001.1", "XP_100002.2", "P99901.1", "XP_100004.1", "AAB10005.1"}),
    ("blastn", "refseq", "nucleotide", {"NM_200001.1", "NM_200002.1", "AC200003.1"}),
    ("blastp", "mine", "protein", {"mine_1", "mine_2"}),
    ("blastn", "reads", "nucleotide", {"read_1"}),
])
def test_each_database_is_searched_by_its_name(served, program, database, query, found):
    url, ancestors = served
    report = search(url, PROGRAM=program, DATABASE=database, QUERY=ancestors[query])
    assert field(report, "BlastOutput_db") == database
    assert accessions(report) == found


@pytest.mark.parametrize("query, ncbi_gi, query_id, title", [
    ("XP_100002.2", "true", "gi|1002|ref|XP_100002.2|", "family protein 2 [Homo sapiens]"),
    ("XP_100002", "false", "ref|XP_100002.2|", "family protein 2 [Homo sapiens]"),
    ("1002", "true", "gi|1002|ref|XP_100002.2|", "family protein 2 [Homo sapiens]"),
    ("P99901", "true", "sp|P99901.1|", "RecName: Full=Family protein 3 [Mus musculus]"),
])
def test_an_identifier_query_is_looked_up_in_the_database_asked_for(served, query, ncbi_gi, query_id, title):
    url, _ = served
    report = search(url, PROGRAM="blastp", DATABASE="swissprot", QUERY=query, NCBI_GI=ncbi_gi)
    assert (field(report, "BlastOutput_query-ID"), field(report, "BlastOutput_query-def")) == (query_id, title)
    assert hit_ids(report)[0] == query_id


@pytest.mark.parametrize("term, organisms", [
    ("txid10090[ORGN]", {10090}),
    ("human [ORGN]", {9606}),
    ("Homo  sapiens[Organism] OR House Mouse [orgn]", {9606, 10090}),
    ("txid10116 [ORGN]", {10116}),                 # an organism the names file does not name
    ("fruit fly [ORGN]", set()),                   # named, but without sequences here
])
@pytest.mark.parametrize("program, database, query", [
    ("blastp", "swissprot", "protein"), ("blastn", "core_nt", "nucleotide"),
])
def test_an_organism_term_keeps_its_organisms_sequences(served, term, organisms, program, database, query):
    url, ancestors = served
    report = search(url, PROGRAM=program, DATABASE=database, QUERY=ancestors[query], ENTREZ_QUERY=term)
    assert {ORGANISM_OF[accession] for accession in accessions(report)} == organisms


@pytest.mark.parametrize("program, database, query, term, organisms", [
    ("blastp", "nr", "identifier", "txid10116[ORGN]", {"Rattus norvegicus"}),
    ("blastp", "nr", "identifier", "txid10090 [ORGN] OR black rat [ORGN]", {"Mus musculus", "Rattus rattus"}),
    ("blastn", "nt", "sequence", "txid9598[Organism]", {"Pan troglodytes"}),
])
def test_the_bundled_database_filters_organisms_by_taxonomy_id(service, program, database, query, term, organisms):
    report = search(service, PROGRAM=program, DATABASE=database, QUERY=ROW_QUERIES[query], ENTREZ_QUERY=term)
    assert {organism_of_hit(hit) for hit in hit_ids(report)} == organisms


@pytest.mark.parametrize("fields, words", [
    (dict(PROGRAM="blastp", DATABASE="nr"), ["'nr' is not served", "core_nt, mine, reads, refseq, swissprot"]),
    (dict(PROGRAM="blastn", DATABASE="swissprot"), ["'swissprot' is a protein database", "blastn", "nucleotide"]),
    (dict(PROGRAM="tblastn", DATABASE="core_nt", QUERY="XP_100002.2"),
     ["XP_100002.2", "'core_nt' has no protein sequences"]),
    (dict(PROGRAM="blastp", DATABASE="swissprot", QUERY="XP_999999.1"), ["XP_999999.1", "swissprot"]),
    (dict(PROGRAM="blastp", DATABASE="mine", QUERY="XP_100001.1"), ["XP_100001.1", "mine"]),
    (dict(PROGRAM="blastp", DATABASE="swissprot", ENTREZ_QUERY="rat [ORGN]"),
     ["no organism named 'rat'", "names.dmp", "txid9606"]),
    (dict(PROGRAM="blastp", DATABASE="mine", ENTREZ_QUERY="txid9606[ORGN]"),
     ["mine", "carries no taxonomy ids", "-taxid_map"]),
])
def test_what_cannot_be_searched_is_refused_naming_the_cause(served, fields, words):
    url, ancestors = served
    fields = dict(dict(QUERY=ancestors["protein"]), **fields)
    code, _, page = request(url, dict(CMD="Put", **fields), post=True)
    assert code == 200 and "RID" not in info(page)
    for word in words:
        assert word in error_text(page)


def fasta_builds(cache):
    """The FASTA files' builds in a cache folder, as the names of their files."""
    return sorted(name for name in os.listdir(str(cache / "fasta")) if not name.startswith("."))


def test_a_fasta_file_is_served_from_the_cache_until_it_changes_and_older_builds_go(made, tmp_path):
    folder, protein, _ = made
    cache = tmp_path / "cache"
    versions = [folder / "mine.fa"]
    for number in (3, 4):
        versions.append(tmp_path / ("mine%d.fa" % number))
        versions[-1].write_text(versions[0].read_text().replace("mine_2", "mine_%d" % number))

    def start(version, logs):
        return service_process("--fasta", "mine=%s" % version, "--cache", str(cache), "--rtoe", "0", logs=logs)
    with start(versions[0], Logs()):
        pass
    logs = Logs()
    with start(versions[0], logs) as (_, url):
        assert hit_ids(search(url, PROGRAM="blastp", DATABASE="mine", QUERY=protein))
        assert [line for line in logs if "mine (protein) from" in line and "earlier start" in line]
        assert not [line for line in logs if "building" in line]
        first = fasta_builds(cache)
        # The build of the first version is in use: the next one's start keeps it.
        later = Logs()
        with start(versions[1], later) as (_, url):
            rid = submit(url, PROGRAM="blastp", DATABASE="mine", QUERY=protein)
            assert wait(url, rid)["Status"] == "READY"
            assert "mine_3" in results(url, rid)[2]
        assert [line for line in later if "building mine (protein) from %s" % versions[1] in line]
        assert len(fasta_builds(cache)) == 2 and set(first) < set(fasta_builds(cache))
    # Once no service uses them, the next build of the name removes both.
    with start(versions[2], Logs()):
        pass
    assert len(fasta_builds(cache)) == 1 and not set(fasta_builds(cache)) & set(first)


def test_lookups_and_searches_read_the_served_database_not_one_in_the_working_folder(db, tmp_path, monkeypatch):
    # BLAST+ looks for a database in its working folder before BLASTDB.
    real = db.lookup("nr", "protein", "NP_062074.1")
    (tmp_path / "nr.fa").write_text(">ref|NP_062074.1| impostor\n%s\n" % real.sequence)
    subprocess.run(["makeblastdb", "-in", "nr.fa", "-dbtype", "prot", "-parse_seqids", "-title", "nr", "-out", "nr"],
                   cwd=str(tmp_path), check=True, capture_output=True, timeout=120)
    monkeypatch.chdir(tmp_path)
    with running_service(db) as (url, _, _):
        # The organism term asks whether nr carries taxonomy ids, which the impostor does not.
        report = search(url, PROGRAM="blastp", DATABASE="nr", QUERY="NP_062074.1", ENTREZ_QUERY="txid10116[ORGN]")
    assert field(report, "BlastOutput_query-def") == real.title
    assert hit_ids(report) and b"impostor" not in ElementTree.tostring(report)


def test_databases_whose_names_blast_would_misread_are_left_out_naming_them(tmp_path):
    folder = tmp_path / "dbs"
    folder.mkdir()
    (tmp_path / "a.fa").write_text(">ref|XP_100001.1| one\nMKTAYIAKQRQISFVKSHFSRQ\n")
    for name, more in [("good", ["-parse_seqids"]), ("plain", []), ("made", [])]:
        subprocess.run(["makeblastdb", "-in", "a.fa", "-dbtype", "prot", "-title", name, "-out", "dbs/" + name]
                       + more, cwd=str(tmp_path), check=True, capture_output=True, timeout=120)
    # -out is a path, which a blank would split: names that no path gives are given by renaming files.
    for made_file in folder.glob("made.*"):
        for name in ("my db", "-evil", "a\nb"):
            shutil.copy(str(made_file), str(folder / (name + made_file.suffix)))
        made_file.unlink()
    logs = Logs()
    catalogue = serving.catalogue(command_line(["--blastdb", str(folder)]), logs)
    assert catalogue.names() == ["good", "plain"]
    assert "not serving '-evil', 'my db'" in logs.wait_for("--blastdb %s" % folder)
    assert catalogue.lookup("good", "protein", "XP_100001.1").title == "one"
    with pytest.raises(Refused, match="no protein sequence .* in the database plain, which holds no identifiers"):
        catalogue.lookup("plain", "protein", "XP_100001.1")
