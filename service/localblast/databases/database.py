"""The database folder: the BLAST+ databases and the sequences and catalogue they were built from.

The folder (built by service/CMakeLists.txt) holds protein/nr and nucleotide/nr (with the
alias nucleotide/nt) for BLAST+, and beside them the FASTA sources, catalogue.tsv (accession
to organism) and organisms.tsv (organism to its common names). The service reads the text
files to look identifiers up and to resolve organism terms.
"""
import collections
import os

from ..errors import DatabaseError

MOLECULES = ("protein", "nucleotide")
FASTA_FILES = {"protein": "proteins.fasta", "nucleotide": "nucleotides.fasta"}
DATABASE_NAMES = {"protein": ("nr",), "nucleotide": ("nr", "nt")}
BLAST_FILES = {"protein": "nr.pin", "nucleotide": "nr.nin"}

# seq_id is the whole NCBI-style id ("gi|160837788|ref|NP_001102467.1|"), title the rest of
# the definition line.
Entry = collections.namedtuple("Entry", "seq_id title accession gi organism sequence")


class Database:
    def __init__(self, folder, entries, common_names):
        self.folder = folder
        self.entries = entries                # molecule -> [Entry] in file order
        self.common_names = common_names      # organism -> [common name]
        self._by_identifier = {molecule: index_identifiers(entries[molecule]) for molecule in MOLECULES}

    def blast_folder(self, molecule):
        return os.path.join(self.folder, molecule)

    def lookup(self, molecule, identifier):
        """The entry whose GI, accession or accession without version is `identifier`, or None."""
        return self._by_identifier[molecule].get(identifier.upper())

    def organisms(self):
        return sorted(self.common_names)


def index_identifiers(entries):
    index = {}
    for entry in entries:
        keys = [entry.accession, entry.accession.split(".")[0]]
        if entry.gi:
            keys.append(entry.gi)
        for key in keys:
            index.setdefault(key.upper(), entry)
    return index


def parse_seq_id(seq_id):
    """(accession, gi) of an NCBI-style id: "gi|N|db|ACC.V|" or a bare accession."""
    pieces = [piece for piece in seq_id.split("|") if piece]
    gi = pieces[1] if len(pieces) >= 2 and pieces[0] == "gi" else ""
    return pieces[-1], gi


def read_fasta(path):
    """[(definition line without ">", sequence)] of a FASTA file."""
    records = []
    with open(path) as stream:
        for number, line in enumerate(stream, 1):
            line = line.strip()
            if line.startswith(">"):
                records.append([line[1:], []])
            elif line:
                if not records:
                    raise DatabaseError("%s:%d: sequence before the first definition line" % (path, number))
                records[-1][1].append(line)
    return [(definition, "".join(lines)) for definition, lines in records]


def read_table(path, columns):
    """The rows of a tab-separated file with `columns` fields; "#" starts a comment line."""
    rows = []
    with open(path) as stream:
        for number, line in enumerate(stream, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) != columns:
                raise DatabaseError("%s:%d: expected %d tab-separated fields, found %d: %r"
                                    % (path, number, columns, len(fields), line))
            rows.append([field.strip() for field in fields])
    return rows


def load(folder):
    """The database in `folder`; DatabaseError names what is missing or malformed."""
    def path(*names):
        full = os.path.join(folder, *names)
        if not os.path.isfile(full):
            raise DatabaseError("the database folder %s has no %s (build it with cmake --build)"
                                % (folder, os.path.join(*names)))
        return full

    organism_of = dict(read_table(path("catalogue.tsv"), 2))
    common_names = {organism: [name.strip() for name in names.split(";") if name.strip()]
                    for organism, names in read_table(path("organisms.tsv"), 2)}
    entries = {}
    for molecule in MOLECULES:
        path(molecule, BLAST_FILES[molecule])
        entries[molecule] = []
        for definition, sequence in read_fasta(path(FASTA_FILES[molecule])):
            seq_id, _, title = definition.partition(" ")
            accession, gi = parse_seq_id(seq_id)
            organism = organism_of.get(accession)
            if organism not in common_names:
                raise DatabaseError("%s: the catalogue gives no known organism for %s (found %r)"
                                    % (folder, accession, organism))
            entries[molecule].append(Entry(seq_id, title.strip(), accession, gi, organism, sequence))
    return Database(os.path.abspath(folder), entries, common_names)
