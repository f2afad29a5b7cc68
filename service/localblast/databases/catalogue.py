"""The catalogue of the databases served: each name stands for a protein database, a
nucleotide database or both, and the program decides which one a search uses. Identifiers are
looked up and organisms filtered through BLAST+'s own indexes (blastdbcmd, -taxids), so the
service holds nothing of a database but its name and folder.
"""
import collections
import re
import threading

from ..errors import Refused
from ..request.echo import shown
from . import blastdbcmd

# folder: the folder BLAST+ finds the database in by its name (BLASTDB).
Database = collections.namedtuple("Database", "name molecule folder")
# A database's name: what BLAST+ takes for -db (no blanks: -db lists databases separated by
# them) and never for an option, and what a file may be named.
NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,99}", re.ASCII)
# The longest sequence an identifier query may name: as much as a query sent as text.
MAX_QUERY = 4 * 1024 * 1024
# An organism named by its taxonomy id, as Entrez writes it: txid9606.
TXID = re.compile(r"txid([0-9]{1,9})", re.ASCII | re.IGNORECASE)


class Catalogue:
    def __init__(self, databases, name_sources=()):
        """`databases`: Database records, at most one for each name and molecule;
        `name_sources`: what turns organism names into taxonomy ids (taxonomy.OrganismTable,
        taxonomy.NamesIndex)."""
        self._served = {}
        for database in databases:
            self._served.setdefault(database.name, {})[database.molecule] = database
        self.name_sources = list(name_sources)
        self._carries_taxids = {}
        self._lock = threading.Lock()

    def names(self):
        return sorted(self._served)

    def databases(self):
        return [database for name in self.names() for _, database in sorted(self._served[name].items())]

    def choose(self, name, molecule, program=None):
        """The Database served as `name` for `molecule`; Refused, naming the names served or
        what the name stands for."""
        found = self._served.get(name)
        if not name:
            raise Refused("DATABASE is missing: this service serves %s" % ", ".join(self.names()))
        if found is None:
            raise Refused("DATABASE %s is not served here; this service serves %s"
                          % (shown(name), ", ".join(self.names())))
        if molecule not in found:
            raise Refused("DATABASE %s is %s database here, and %s searches %s databases"
                          % (shown(name), " and ".join("a " + other for other in sorted(found)),
                             program or "this program", molecule))
        return found[molecule]

    def lookup(self, name, molecule, identifier):
        """The blastdbcmd.Entry that `identifier` (a GI number, an accession with or without
        its version) names among the `molecule` sequences of the database `name`, or None;
        Refused when that database has none or cannot be read."""
        found = self._served.get(name, {})
        if molecule not in found:
            raise Refused("QUERY %s is an identifier, but DATABASE %s has no %s sequences to look it up in; "
                          "send the sequence instead" % (shown(identifier), shown(name), molecule))
        try:
            return blastdbcmd.entry(found[molecule], identifier, MAX_QUERY)
        except blastdbcmd.NoIdentifiers:
            raise Refused("QUERY %s: no %s sequence with that accession or GI number in the database %s, which "
                          "holds no identifiers to look up (it was built without makeblastdb -parse_seqids); "
                          "send the sequence instead" % (shown(identifier), molecule, name))
        except blastdbcmd.ToolFailed as failure:
            raise Refused("QUERY %s could not be looked up in %s: %s" % (shown(identifier), name, failure))

    def organism_taxids(self, database, organism):
        """The taxonomy ids an organism term names (`organism`: a name or txidN), for a search
        of `database` (a Database); Refused when the name is not known or the database carries
        no taxonomy ids to filter on."""
        if not self._carries(database):
            raise Refused("ENTREZ_QUERY: the %s database %s carries no taxonomy ids, so an organism term cannot "
                          "select its sequences (build it with makeblastdb -parse_seqids -taxid_map)"
                          % (database.molecule, database.name))
        number = TXID.fullmatch(organism.strip())
        if number:
            return [int(number.group(1))]
        found = set()
        for source in self.name_sources:
            found |= source.taxids(organism)
        if not found:
            if self.name_sources:
                missing = "no organism named %s in %s" % (
                    shown(organism), " or ".join(source.describe() for source in self.name_sources))
            else:
                missing = ("no organism named %s: this service has no taxonomy names (start it with --taxonomy "
                           "names.dmp)" % shown(organism))
            raise Refused("ENTREZ_QUERY: %s; an organism may also be named by its taxonomy id, as in "
                          "txid9606[ORGN]" % missing)
        return sorted(found)

    def _carries(self, database):
        key = (database.name, database.molecule)
        with self._lock:
            known = self._carries_taxids.get(key)
        if known is None:
            try:
                known = blastdbcmd.carries_taxids(database)
            except blastdbcmd.ToolFailed as failure:
                raise Refused("ENTREZ_QUERY: the taxonomy ids of %s cannot be read: %s" % (database.name, failure))
            with self._lock:
                self._carries_taxids[key] = known
        return known
