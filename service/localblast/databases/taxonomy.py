"""Organism names to taxonomy ids: the bundled database's organism table, and NCBI's taxdump
names (names.dmp) indexed once into an SQLite file of the cache, so that the service holds none
of it in memory however large it is.

Names are compared as Entrez compares them: letter case and repeated blanks aside.
"""
import contextlib
import os
import pathlib
import re
import sqlite3

from ..errors import DatabaseError, Refused
from ..request.entrez import normal
from . import cache

# names.dmp: "tax_id\t|\tname_txt\t|\tunique name\t|\tname class\t|"
SEPARATOR = "\t|\t"
BATCH = 10000
TAXID = re.compile(r"[0-9]{1,10}", re.ASCII)
INDEX = "names.sqlite"


class OrganismTable:
    """The bundled database's organisms.tsv: taxonomy id, scientific name, common names
    separated by ";". A name matches by scientific name, genus ("pan" is every Pan) or a common
    name."""

    def __init__(self, path):
        self.path = path
        self._taxids = {}
        self._organisms = []
        try:
            with open(path, encoding="utf-8") as stream:
                for number, line in enumerate(stream, 1):
                    if line.strip() and not line.startswith("#"):
                        self._add(number, line.rstrip("\n").split("\t"))
        except (OSError, UnicodeDecodeError) as error:
            raise DatabaseError("cannot read the organism table %s: %s" % (path, error))

    def _add(self, number, fields):
        if len(fields) != 3 or not TAXID.fullmatch(fields[0]) or not fields[1].strip():
            raise DatabaseError("%s:%d: expected a taxonomy id, a scientific name and common names separated "
                                "by tabs; found %r" % (self.path, number, "\t".join(fields)[:200]))
        taxid, organism = int(fields[0]), fields[1].strip()
        self._organisms.append(organism)
        for name in [organism, organism.split()[0]] + fields[2].split(";"):
            if name.strip():
                self._taxids.setdefault(normal(name), set()).add(taxid)

    def taxids(self, name):
        return self._taxids.get(normal(name), set())

    def describe(self):
        return "the bundled organism table (%s)" % ", ".join(sorted(self._organisms))


class NamesIndex:
    """NCBI's names.dmp, every name of every class, looked up in its index in the cache."""

    def __init__(self, path, cache_folder, log):
        self.path = path
        self.index = indexed(path, cache_folder, log)
        # Read-only, by a file URI: the path quoted, so that "#", "?" or "%" in it stay the path's.
        self._address = pathlib.Path(self.index).as_uri() + "?mode=ro"

    def taxids(self, name):
        """The taxonomy ids of `name`; Refused naming the cause when the index cannot be read."""
        try:
            with contextlib.closing(sqlite3.connect(self._address, uri=True)) as connection:
                return {taxid for taxid, in connection.execute("SELECT taxid FROM names WHERE name = ?",
                                                               (normal(name),))}
        except sqlite3.Error as error:
            raise Refused("ENTREZ_QUERY: %s cannot be read: %s" % (self.describe(), error))

    def describe(self):
        # Told to clients: the file's name, not where it lies on the server.
        return "the taxonomy names of %s" % os.path.basename(self.path)


def indexed(path, cache_folder, log):
    """The path of the SQLite index of the names file at `path`, made on the first start that
    is given it (older ones that no running service uses are then removed); DatabaseError
    naming the file and the fault."""
    try:
        key, _ = cache.content_key(path)
    except OSError as error:
        raise DatabaseError("cannot read the taxonomy names file %s: %s" % (path, error))

    def build(folder):
        log("indexing the taxonomy names of %s into %s (once)" % (path, folder))
        make_index(path, os.path.join(folder, INDEX))
    try:
        folder, _ = cache.entry(cache_folder, "taxonomy", "names-%s" % key, build,
                                lambda other: other.startswith("names-"), log)
    except sqlite3.Error as error:
        raise DatabaseError("cannot index the taxonomy names of %s: %s" % (path, error))
    except OSError as error:
        raise DatabaseError("cannot use the cache folder %s for the taxonomy names of %s: %s"
                            % (cache_folder, path, error))
    return os.path.join(folder, INDEX)


def make_index(path, target):
    connection = sqlite3.connect(target)
    try:
        connection.execute("CREATE TABLE names (name TEXT NOT NULL, taxid INTEGER NOT NULL)")
        batch, count = [], 0
        for count, row in enumerate(names_rows(path), 1):
            batch.append(row)
            if len(batch) >= BATCH:
                connection.executemany("INSERT INTO names VALUES (?, ?)", batch)
                batch.clear()
        if not count:
            raise DatabaseError("the taxonomy names file %s holds no names" % path)
        connection.executemany("INSERT INTO names VALUES (?, ?)", batch)
        connection.execute("CREATE INDEX by_name ON names (name)")
        connection.commit()
    finally:
        connection.close()


def names_rows(path):
    """(normal name, taxid) of each name and unique name of a names.dmp file."""
    try:
        with open(path, encoding="utf-8", errors="replace") as stream:
            for number, line in enumerate(stream, 1):
                fields = line.rstrip("\n").split(SEPARATOR)
                if len(fields) < 4 or not TAXID.fullmatch(fields[0]) or not fields[-1].endswith("\t|"):
                    raise DatabaseError("%s:%d: not a line of NCBI's names.dmp (tax_id | name | unique name | "
                                        "name class |): %r" % (path, number, line[:200]))
                for name in fields[1:3]:
                    if name.strip():
                        yield normal(name), int(fields[0])
    except OSError as error:
        raise DatabaseError("cannot read the taxonomy names file %s: %s" % (path, error))
