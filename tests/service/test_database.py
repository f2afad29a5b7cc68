"""The bundled database's sources (what fabricate.py makes, and a taxonomy id for every
sequence), and the start-up that refuses what it cannot serve, with a line naming it."""
import filecmp
import os
import subprocess
import sys

import pytest

import bundled_sources
from conftest import REPOSITORY, database_folder
from localblast import options
from localblast.databases import serving
from service_process import SCRIPT

SOURCES = os.path.join(REPOSITORY, "service", "db")
TEXT_FILES = ("proteins.fasta", "nucleotides.fasta", "catalogue.tsv", "organisms.tsv")


def test_the_committed_sources_are_what_the_generator_makes(tmp_path):
    subprocess.run([sys.executable, os.path.join(SOURCES, "fabricate.py"), str(tmp_path)], check=True, timeout=60,
                   env=dict(os.environ, PYTHONHASHSEED="random"))
    for name in TEXT_FILES:
        assert filecmp.cmp(os.path.join(SOURCES, name), str(tmp_path / name), shallow=False), name


def test_every_sequence_has_one_catalogued_organism():
    accessions = [entry.accession for molecule in ("protein", "nucleotide")
                  for entry in bundled_sources.entries(molecule)]
    assert len(set(accessions)) == len(accessions)
    assert sorted(accessions) == sorted(bundled_sources.organism_by_accession())


def test_without_a_database_option_the_bundled_database_is_served():
    assert serving.bundled_folder(options.parse([])) == serving.BUILT
    assert serving.bundled_folder(options.parse(["--db", "elsewhere"])) == "elsewhere"
    assert serving.bundled_folder(options.parse(["--fasta", "mine=mine.fa"])) is None


FASTA = ">ref|XP_000001.1| one\nMKTAYIAKQRQISFVKSHFSRQ\n>ref|XP_000002.1| two\nMKTAYIAKQRQISFVKSHFSRA\n"


@pytest.fixture
def files(tmp_path):
    """Makes a file in the test's folder from its text; its path."""
    def made(name, text):
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
        return str(path)
    return made


def bundled_with_organisms(files, text):
    """A folder of the bundled database whose organism table is `text`."""
    folder = os.path.dirname(files(os.path.join("bundled", serving.ORGANISMS), text))
    for molecule in serving.BUNDLED_MOLECULES:
        os.symlink(os.path.join(database_folder(), molecule), os.path.join(folder, molecule))
    return folder


# Each case: the command line's database options (given the test's files), and words of its
# one line of refusal.
REFUSALS = [
    (lambda files: ["--db", "/nonexistent/db"], ["/nonexistent/db", "cmake --build"]),
    (lambda files: ["--blastdb", "/nonexistent/dbs"], ["--blastdb /nonexistent/dbs", "not a folder"]),
    (lambda files: ["--blastdb", os.path.dirname(files("unrelated.txt", "x"))],
     ["holds no BLAST+ database"]),
    (lambda files: ["--fasta", "mine=/nonexistent.fa"], ["--fasta mine=/nonexistent.fa", "cannot be read"]),
    (lambda files: ["--fasta", "mine=" + files("empty.fa", "")], ["empty.fa", "holds no sequences"]),
    (lambda files: ["--fasta", "mine=" + files("titles.fa", ">only a title\n")], ["titles.fa", "no sequences"]),
    (lambda files: ["--fasta", "mine=" + files("twice.fa", FASTA + FASTA)],
     ["twice.fa", "makeblastdb refused", "Duplicate seq_ids"]),
    (lambda files: ["--fasta", "mine=" + files("ids.fa", ">x|y|z|w|q odd\nMKTAYIAKQR\n")],
     ["ids.fa", "makeblastdb refused", "x|y|z|w|q"]),
    (lambda files: ["--fasta", "mine=" + files("a.fa", FASTA), "--fasta", "mine=" + files("b.fa", FASTA)],
     ["two protein databases", "'mine'", "a.fa", "b.fa"]),
    (lambda files: ["--db", database_folder(), "--fasta", "nr=" + files("a.fa", FASTA)],
     ["two protein databases", "'nr'", "--db", "a.fa"]),
    (lambda files: ["--fasta", "my db=" + files("a.fa", FASTA)], ["--fasta", "'my db' is not a database name"]),
    (lambda files: ["--fasta", "mine:rna=" + files("a.fa", FASTA)], ["--fasta", "'rna' is not a molecule"]),
    (lambda files: ["--fasta", files("a.fa", FASTA)], ["--fasta", "NAME=FILE"]),
    (lambda files: ["--db", bundled_with_organisms(files, "9606\t \thuman\n")],
     ["organisms.tsv:1", "a scientific name"]),
    (lambda files: ["--fasta", "mine=" + files("a.fa", FASTA), "--cache", files("a.fa", FASTA) + ":cache"],
     ["--fasta mine=", "--cache", "a.fa:cache", 'holds a ":"']),
    (lambda files: ["--blastdb", os.path.dirname(files(os.path.join("a:b", "x"), ""))],
     ["--blastdb", "a:b", 'holds a ":"']),
    (lambda files: ["--db", database_folder(), "--taxonomy", "/nonexistent/names.dmp"],
     ["/nonexistent/names.dmp", "cannot read"]),
    (lambda files: ["--db", database_folder(), "--taxonomy", files("names.dmp", "9606\t|\tHomo sapiens\n")],
     ["names.dmp:1", "not a line of NCBI's names.dmp"]),
    (lambda files: ["--db", database_folder(), "--taxonomy", files("names.dmp", "")],
     ["names.dmp", "holds no names"]),
]


@pytest.mark.parametrize("arguments, words", REFUSALS)
def test_start_up_refuses_what_it_cannot_serve_naming_it(tmp_path, files, arguments, words):
    done = subprocess.run([sys.executable, SCRIPT, "--cache", str(tmp_path / "cache")] + arguments(files),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and done.stdout == ""
    line = done.stderr.strip().splitlines()[-1]
    for word in words:
        assert word in line, done.stderr
