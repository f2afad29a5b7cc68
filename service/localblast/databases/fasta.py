"""A FASTA file served as a database (--fasta NAME=FILE): built once with makeblastdb
-parse_seqids into the cache, under a name made from the file's content, and found there again
by later starts."""
import hashlib
import os
import subprocess
import tempfile

from ..errors import DatabaseError
from ..runs import children
from . import cache
from .catalogue import Database

MAKEBLASTDB = "makeblastdb"
READ = 1024 * 1024
# How much of the sequences tells the molecule, and how much of them must be nucleotide letters.
SAMPLE = 1024 * 1024
NUCLEOTIDE_SHARE = 0.9
NUCLEOTIDE_LETTERS = b"ACGTUNacgtun"
DBTYPE = {"protein": "prot", "nucleotide": "nucl"}


def examined(path):
    """(content key, molecule the letters show or None when there are none) of a FASTA file."""
    digest = hashlib.sha256()
    sample = bytearray()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(READ), b""):
            digest.update(block)
            if len(sample) < SAMPLE:
                sample += block
    letters = b"".join(line.strip() for line in bytes(sample[:SAMPLE]).splitlines()
                       if not line.startswith(b">"))
    letters = letters.replace(b"-", b"").replace(b"*", b"")
    if not letters:
        return digest.hexdigest(), None
    nucleotides = sum(letters.count(letter) for letter in NUCLEOTIDE_LETTERS)
    return digest.hexdigest(), "nucleotide" if nucleotides >= NUCLEOTIDE_SHARE * len(letters) else "protein"


def served(name, molecule, path, cache_folder, log):
    """The Database of the FASTA file at `path` served as `name` (`molecule` None: found from
    its letters), built into the cache unless it is there; DatabaseError naming the file and
    the cause."""
    given = "--fasta %s=%s" % (name, path)
    try:
        key, found = examined(path)
    except OSError as error:
        raise DatabaseError("%s: the file cannot be read: %s" % (given, error.strerror or error))
    if found is None:
        raise DatabaseError("%s: the file holds no sequences" % given)
    molecule = molecule or found
    try:
        target = os.path.join(cache.folder(cache_folder, "fasta"), "%s-%s-%s" % (name, molecule, key))
    except OSError as error:
        raise DatabaseError("%s: cannot use the cache folder %s: %s" % (given, cache_folder, error))
    if os.path.isdir(target):
        log("serving %s (%s) from %s, built from %s on an earlier start" % (name, molecule, target, path))
        return Database(name, molecule, target)
    log("building %s (%s) from %s into %s" % (name, molecule, path, target))
    with cache.building(target) as building:
        os.mkdir(building)
        make(given, molecule, path, os.path.join(building, name), name)
    return Database(name, molecule, target)


def make(given, molecule, path, out, title):
    arguments = [MAKEBLASTDB, "-in", os.path.abspath(path), "-dbtype", DBTYPE[molecule], "-parse_seqids",
                 "-title", title, "-out", out]
    with tempfile.TemporaryFile() as errors:
        try:
            process = children.start(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors)
        except OSError as error:
            raise DatabaseError("%s: could not start %s: %s" % (given, MAKEBLASTDB, error))
        process.wait()
        if process.returncode != 0:
            text = " ".join(children.error_text(errors).split())
            raise DatabaseError("%s: %s refused the file (status %s): %s" % (given, MAKEBLASTDB, process.returncode,
                                                                           text or "no message"))
