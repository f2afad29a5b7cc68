"""A FASTA file served as a database (--fasta NAME=FILE): built once with makeblastdb
-parse_seqids into the cache, under a name made from the file's content, and found there again
by later starts. Each start reads the whole file once to make that name."""
import subprocess
import tempfile

from ..errors import DatabaseError
from ..runs import children
from . import cache
from .blastdbcmd import DBTYPE, unsearchable
from .catalogue import Database

MAKEBLASTDB = "makeblastdb"
# How much of the sequences tells the molecule, and how much of them must be nucleotide letters.
SAMPLE = 1024 * 1024
NUCLEOTIDE_SHARE = 0.9
NUCLEOTIDE_LETTERS = b"ACGTUNacgtun"


def examined(path):
    """(content key, molecule the letters show or None when there are none) of a FASTA file."""
    key, sample = cache.content_key(path, SAMPLE)
    letters = b"".join(line.strip() for line in sample.splitlines() if not line.startswith(b">"))
    letters = letters.replace(b"-", b"").replace(b"*", b"")
    if not letters:
        return key, None
    nucleotides = sum(letters.count(letter) for letter in NUCLEOTIDE_LETTERS)
    return key, "nucleotide" if nucleotides >= NUCLEOTIDE_SHARE * len(letters) else "protein"


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
    cause = unsearchable(cache_folder)
    if cause:
        raise DatabaseError("%s: --cache %s" % (given, cause))

    def build(folder):
        log("building %s (%s) from %s into %s" % (name, molecule, path, folder))
        make(given, molecule, path, folder, name)
    try:
        target, made = cache.entry(cache_folder, "fasta", "%s-%s-%s" % (name, molecule, key), build,
                                   lambda other: built_name(other) == name, log)
    except OSError as error:
        raise DatabaseError("%s: cannot use the cache folder %s: %s" % (given, cache_folder, error))
    if not made:
        log("serving %s (%s) from %s, built from %s on an earlier start" % (name, molecule, target, path))
    return Database(name, molecule, target)


def built_name(entry):
    """The database name of a build in the cache ("NAME-MOLECULE-KEY", where NAME may hold "-")."""
    parts = entry.rsplit("-", 2)
    return parts[0] if len(parts) == 3 else None


def make(given, molecule, path, folder, name):
    """Builds the database `name` into `folder`. makeblastdb takes -in for a list of files
    separated by blanks and -out for a path: the file comes on its standard input and the
    database is written under its plain name in its folder, so that any path works."""
    arguments = [MAKEBLASTDB, "-in", "-", "-dbtype", DBTYPE[molecule], "-parse_seqids", "-title", name, "-out", name]
    try:
        source = open(path, "rb")
    except OSError as error:
        raise DatabaseError("%s: the file cannot be read: %s" % (given, error.strerror or error))
    with source, tempfile.TemporaryFile() as errors:
        try:
            process = children.start(arguments, cwd=folder, stdin=source, stdout=subprocess.DEVNULL, stderr=errors)
        except OSError as error:
            raise DatabaseError("%s: could not start %s: %s" % (given, MAKEBLASTDB, error))
        try:
            process.wait()
        except BaseException:   # interrupted: nothing may go on writing into a build being removed
            process.kill()
            process.wait()
            raise
        if process.returncode != 0:
            text = " ".join(children.error_text(errors).split())
            raise DatabaseError("%s: %s refused the file (status %s): %s" % (given, MAKEBLASTDB, process.returncode,
                                                                           text or "no message"))
