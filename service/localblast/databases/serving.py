"""The catalogue the command line asks for: the bundled database (by default, or --db), FASTA
files (--fasta), folders of BLAST+ databases (--blastdb) and taxonomy names (--taxonomy).
Nothing of the databases' sequences is held: folders are listed by BLAST+; a FASTA file is read
whole on each start, for the name of its build in the cache, and built when that is not there.
"""
import os

from ..errors import DatabaseError
from . import blastdbcmd, fasta, taxonomy
from .catalogue import NAME, Catalogue, Database

# The bundled database's folder, as the build makes it: one folder per molecule, so that both
# databases can carry NCBI's name "nr", and the organism table beside them.
BUNDLED_MOLECULES = ("protein", "nucleotide")
BUILT = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))),
                     "build", "service", "db")
ORGANISMS = "organisms.tsv"


def folder_databases(folder, given, log):
    """The Database records of a folder of BLAST+ databases, those whose names BLAST+ would not
    take for one database left out with a log line; DatabaseError when it has none."""
    if not os.path.isdir(folder) or not os.access(folder, os.R_OK | os.X_OK):
        raise DatabaseError("%s: %s is not a folder that can be read" % (given, folder))
    cause = blastdbcmd.unsearchable(folder)
    if cause:
        raise DatabaseError("%s: %s" % (given, cause))
    try:
        found = blastdbcmd.databases(folder)
    except blastdbcmd.ToolFailed as failure:
        raise DatabaseError("%s: %s" % (given, failure))
    unnamed = sorted({name for name, _ in found if not NAME.fullmatch(name)})
    if unnamed:
        log("%s: not serving %s: a database's name is letters, digits, _ . and -, beginning with a letter or "
            "digit (BLAST+ reads a blank in -db as between two databases, and a leading - as an option)"
            % (given, ", ".join(repr(name) for name in unnamed)))
    found = [(name, molecule) for name, molecule in found if NAME.fullmatch(name)]
    if not found:
        raise DatabaseError("%s: %s holds no BLAST+ database (as blastdbcmd -list sees it)%s"
                            % (given, folder, " whose name can be served" if unnamed else ""))
    return [Database(name, molecule, os.path.abspath(folder)) for name, molecule in found]


def bundled(folder, log):
    """The bundled database's records and organism table; DatabaseError naming what is missing."""
    for name in BUNDLED_MOLECULES + (ORGANISMS,):
        if not os.path.exists(os.path.join(folder, name)):
            raise DatabaseError("the database folder %s has no %s (build it with cmake --build)"
                                % (folder, name))
    databases = []
    for molecule in BUNDLED_MOLECULES:
        databases += [database for database in folder_databases(os.path.join(folder, molecule), "--db %s" % folder, log)
                      if database.molecule == molecule]
    return databases, taxonomy.OrganismTable(os.path.join(folder, ORGANISMS))


def bundled_catalogue(folder, log=print):
    """The Catalogue of the bundled database in `folder` alone."""
    databases, table = bundled(folder, log)
    return Catalogue(databases, [table])


def one_each(sources):
    """The databases of every (what was given, [Database]), refusing two of one name and molecule."""
    given_by, databases = {}, []
    for given, found in sources:
        for database in found:
            key = (database.name, database.molecule)
            if key in given_by:
                raise DatabaseError("two %s databases are given the name %r: by %s and by %s"
                                    % (database.molecule, database.name, given_by[key], given))
            given_by[key] = given
            databases.append(database)
    return databases


def bundled_folder(settings):
    """The bundled database's folder: --db's, or the build's when no database option is given."""
    return settings.db or (None if settings.fasta or settings.blastdb else BUILT)


def catalogue(settings, log):
    """The Catalogue of the command line's settings (see options.add_database_options);
    DatabaseError with a line naming what cannot be served and why."""
    sources, names = [], []
    folder = bundled_folder(settings)
    if folder:
        found, table = bundled(folder, log)
        sources.append(("--db %s" % folder, found))
        names.append(table)
    for folder in settings.blastdb:
        sources.append(("--blastdb %s" % folder, folder_databases(folder, "--blastdb %s" % folder, log)))
    for name, molecule, path in settings.fasta:
        sources.append(("--fasta %s=%s" % (name, path), [fasta.served(name, molecule, path, settings.cache, log)]))
    if settings.taxonomy:
        names.append(taxonomy.NamesIndex(settings.taxonomy, settings.cache, log))
    return Catalogue(one_each(sources), names)
