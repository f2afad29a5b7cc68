"""The database's sources: what fabricate.py makes, and what loading a broken folder says."""
import filecmp
import os
import shutil
import subprocess
import sys

import pytest

from conftest import REPOSITORY, database_folder
from localblast.databases import database

SOURCES = os.path.join(REPOSITORY, "service", "db")
TEXT_FILES = ("proteins.fasta", "nucleotides.fasta", "catalogue.tsv", "organisms.tsv")


def test_the_committed_sources_are_what_the_generator_makes(tmp_path):
    subprocess.run([sys.executable, os.path.join(SOURCES, "fabricate.py"), str(tmp_path)], check=True, timeout=60,
                   env=dict(os.environ, PYTHONHASHSEED="random"))
    for name in TEXT_FILES:
        assert filecmp.cmp(os.path.join(SOURCES, name), str(tmp_path / name), shallow=False), name


def test_every_sequence_has_a_catalogued_organism_and_a_unique_accession(db):
    for molecule in database.MOLECULES:
        accessions = [entry.accession for entry in db.entries[molecule]]
        assert len(set(accessions)) == len(accessions)
        assert all(entry.organism in db.common_names for entry in db.entries[molecule])


@pytest.fixture
def copy(tmp_path):
    folder = tmp_path / "db"
    shutil.copytree(database_folder(), str(folder))
    return folder


@pytest.mark.parametrize("damage, words", [
    (lambda folder: os.remove(str(folder / "organisms.tsv")), ["organisms.tsv"]),
    (lambda folder: os.remove(str(folder / "protein" / "nr.pin")), ["nr.pin", "cmake --build"]),
    (lambda folder: (folder / "catalogue.tsv").write_text("NP_062074.1\tRattus norvegicus\n"),
     ["NP_001102467.1", "None"]),
    (lambda folder: (folder / "catalogue.tsv").write_text("NP_062074.1 Rattus norvegicus\n"),
     ["catalogue.tsv:1", "2 tab-separated fields"]),
    (lambda folder: (folder / "nucleotides.fasta").write_text("ACGT\n>x\nACGT\n"),
     ["nucleotides.fasta:1", "before the first definition line"]),
])
def test_a_broken_database_folder_is_an_error_naming_the_fault(copy, damage, words):
    damage(copy)
    with pytest.raises(database.DatabaseError) as error:
        database.load(str(copy))
    for word in words:
        assert word in str(error.value)
