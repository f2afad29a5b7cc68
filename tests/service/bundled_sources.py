"""The bundled database's sequences as its sources describe them, for the tests that check what
a search found: each one's id, and its organism (the catalogue gives each accession's taxonomy
id, the organism table each id's name)."""
import collections
import os

SOURCES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                       "service", "db")


# seq_id: the whole id ("gi|9506405|ref|NP_062074.1|"); accession: its last piece.
Entry = collections.namedtuple("Entry", "seq_id accession")
FASTA = {"protein": "proteins.fasta", "nucleotide": "nucleotides.fasta"}


def entries(molecule):
    """The Entry of each sequence of `molecule`, in the order of its FASTA source."""
    with open(os.path.join(SOURCES, FASTA[molecule]), encoding="utf-8") as stream:
        ids = [line[1:].split()[0] for line in stream if line.startswith(">")]
    return [Entry(seq_id, seq_id.rstrip("|").split("|")[-1]) for seq_id in ids]


def rows(name):
    with open(os.path.join(SOURCES, name), encoding="utf-8") as stream:
        return [line.rstrip("\n").split("\t") for line in stream if line.strip() and not line.startswith("#")]


def organism_by_accession():
    """{accession: organism}, the accession with its version ("NP_062074.1")."""
    organisms = {taxid: organism for taxid, organism, _ in rows("organisms.tsv")}
    return {accession: organisms[taxid] for accession, taxid in rows("catalogue.tsv")}


def organism_of_hit(hit_id):
    """The organism of a hit id as reports give it ("gi|9506405|ref|NP_062074.1|" or "ref|NP_062074.1|")."""
    return organism_by_accession()[hit_id.rstrip("|").split("|")[-1]]
