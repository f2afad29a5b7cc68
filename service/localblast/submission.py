"""A submission (CMD=Put) checked and turned into a search for BLAST+.

Everything the caller sent is checked here, so that BLAST+ only ever sees values it accepts and
a refused submission says which parameter was wrong and what was received. Parameters the
service does not use (tool, email, FORMAT_TYPE, ...) are ignored, as NCBI does.
"""
import collections
import math
import re

from . import entrez
from .database import DATABASE_NAMES
from .errors import Refused

# program -> (BLAST+ tool, molecule of the query, molecule of the database, low-complexity filter option)
PROGRAMS = {
    "blastn": ("blastn", "nucleotide", "nucleotide", "-dust"),
    "blastp": ("blastp", "protein", "protein", "-seg"),
    "blastx": ("blastx", "nucleotide", "protein", "-seg"),
    "tblastn": ("tblastn", "protein", "nucleotide", "-seg"),
    "tblastx": ("tblastx", "nucleotide", "nucleotide", "-seg"),
}
LETTERS = {"protein": set("ABCDEFGHIJKLMNOPQRSTUVWXYZ*-"),
           "nucleotide": set("ACGTUNRYKMSWBDHV-")}
# An accession ("NP_062074.1", "Q9D8U8") or a GI number: sequences hold no digits.
IDENTIFIER = re.compile(r"^(?=.*\d)[A-Za-z0-9_]+(\.\d+)?$")
NUMBER = re.compile(r"^(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$")
MATRICES = ("BLOSUM45", "BLOSUM50", "BLOSUM62", "BLOSUM80", "BLOSUM90", "PAM30", "PAM70", "PAM250")
SWITCH = {"on": True, "true": True, "yes": True, "off": False, "false": False, "no": False}
MAX_LIST = 20000
DEFAULT_HITLIST_SIZE = 100

# label: (query id or None to keep BLAST+'s, query definition) written into the report, or None.
# restriction: None, or the accessions the search is limited to (possibly none).
Search = collections.namedtuple("Search", "program tool molecule database query_text label restriction arguments")


def value(form, name):
    """The last value given for `name`, stripped; "" when absent or blank."""
    values = form.get(name)
    return values[-1].strip() if values else ""


def whole_number(name, text, low, high):
    if not re.match(r"^\d+$", text) or not low <= int(text) <= high:
        raise Refused("%s must be a whole number from %d to %d; received %r" % (name, low, high, text))
    return int(text)


def expect_value(text):
    """EXPECT as given ("10", "0.001", "1e-07"): BLAST+ echoes it in the report."""
    if not NUMBER.match(text) or not 0 < float(text) < math.inf:
        raise Refused("EXPECT must be a number greater than 0, such as 10, 0.001 or 1e-07; received %r" % text)
    return text


def switch(name, text):
    if text.lower() not in SWITCH:
        raise Refused("%s must be on or off (true/false, yes/no); received %r" % (name, text))
    return SWITCH[text.lower()]


def check_letters(what, sequence, molecule):
    if not sequence:
        raise Refused("%s has no sequence letters" % what)
    wrong = sorted(set(sequence.upper()) - LETTERS[molecule])
    if wrong:
        raise Refused("%s holds letters that are not %s sequence letters: %s"
                      % (what, molecule, " ".join(repr(letter) for letter in wrong)))


def read_fasta_query(text, molecule):
    records = re.split(r"\n(?=>)", text)
    for number, record in enumerate(records, 1):
        definition, _, body = record.partition("\n")
        check_letters("QUERY record %d (%s)" % (number, definition[:60]), "".join(body.split()), molecule)
    return text + "\n"


def read_query(database, molecule, text):
    """(text of the query file, label) for an identifier, a bare sequence or FASTA text."""
    text = text.replace("\r\n", "\n").strip()
    if not text:
        raise Refused("QUERY is missing: give an accession, a GI number, a sequence or FASTA text")
    if text.startswith(">"):
        return read_fasta_query(text, molecule), None
    if IDENTIFIER.match(text):
        entry = database.lookup(molecule, text)
        if entry is None:
            raise Refused("QUERY %r: no %s sequence with that accession or GI number in this service's "
                          "database" % (text, molecule))
        return ">%s %s\n%s\n" % (entry.seq_id, entry.title, entry.sequence), (entry.seq_id, entry.title)
    sequence = "".join(text.split())
    check_letters("QUERY %r" % text[:60], sequence, molecule)
    return sequence + "\n", (None, "No definition line")


def filter_arguments(values, option):
    """BLAST+ options for NCBI's FILTER values (one or more, like "L", "m L" or "L;m;"): F (off),
    T or L (low complexity), m (mask for the lookup only)."""
    letters = set("".join(values).replace(" ", "").replace(";", ""))
    if letters == {"F"}:
        return [option, "no"]
    unknown = letters - set("TLm")
    if unknown:
        raise Refused("FILTER %r is not supported: use F (no filter), L or T (low complexity), "
                      "optionally with m (mask for the lookup only)" % ", ".join(values))
    arguments = [option, "yes"] if letters & set("TL") else []
    return arguments + ["-soft_masking", "true" if "m" in letters else "false"]


def scoring_arguments(form, program):
    arguments = []
    word_size = value(form, "WORD_SIZE")
    if word_size:
        arguments += ["-word_size", str(whole_number("WORD_SIZE", word_size, 2, 1000))]
    gap_costs = value(form, "GAPCOSTS")
    if gap_costs:
        if not re.match(r"^\d+\s+\d+$", gap_costs):
            raise Refused("GAPCOSTS must be two whole numbers, the gap opening and extension costs "
                          "such as \"11 1\"; received %r" % gap_costs)
        opening, extension = gap_costs.split()
        arguments += ["-gapopen", opening, "-gapextend", extension]
    matrix = value(form, "MATRIX")
    if matrix and program != "blastn":    # nucleotide scoring has no matrix: ignored, as NCBI does
        if matrix.upper() not in MATRICES:
            raise Refused("MATRIX must be one of %s; received %r" % (", ".join(MATRICES), matrix))
        arguments += ["-matrix", matrix.upper()]
    if program == "blastn":
        reward, penalty = value(form, "NUCL_REWARD"), value(form, "NUCL_PENALTY")
        if reward:
            arguments += ["-reward", str(whole_number("NUCL_REWARD", reward, 1, 100))]
        if penalty:
            if not re.match(r"^-\d+$", penalty) or not -100 <= int(penalty) <= -1:
                raise Refused("NUCL_PENALTY must be a whole number from -100 to -1; received %r" % penalty)
            arguments += ["-penalty", penalty]
    return arguments


def list_size(form):
    """The smallest list size given, or None: in XML every hit is one description and one
    alignment, so the smallest of HITLIST_SIZE, DESCRIPTIONS and ALIGNMENTS is the hit limit."""
    sizes = [whole_number(name, value(form, name), 1, MAX_LIST)
             for name in ("HITLIST_SIZE", "DESCRIPTIONS", "ALIGNMENTS") if value(form, name)]
    return min(sizes) if sizes else None


def read_submission(database, form):
    """The Search for a CMD=Put form (name -> [values]); Refused says what is wrong."""
    program = value(form, "PROGRAM")
    if program.lower() not in PROGRAMS:
        raise Refused("PROGRAM must be one of %s; received %r" % (", ".join(sorted(PROGRAMS)), program))
    program = program.lower()
    tool, query_molecule, molecule, filter_option = PROGRAMS[program]
    name = value(form, "DATABASE")
    if name not in DATABASE_NAMES[molecule]:
        raise Refused("DATABASE must be one of %s for %s; received %r"
                      % (", ".join(DATABASE_NAMES[molecule]), program, name))
    query_text, label = read_query(database, query_molecule, value(form, "QUERY"))
    restriction = entrez.restriction(database, molecule, value(form, "ENTREZ_QUERY"))

    arguments = ["-evalue", expect_value(value(form, "EXPECT") or "10"),
                 "-max_target_seqs", str(list_size(form) or DEFAULT_HITLIST_SIZE)]
    megablast = value(form, "MEGABLAST")
    megablast = switch("MEGABLAST", megablast) if megablast else False
    if program == "blastn":
        arguments += ["-task", "megablast" if megablast else "blastn"]
    filters = [text.strip() for text in form.get("FILTER", []) if text.strip()]
    if filters:
        arguments += filter_arguments(filters, filter_option)
    arguments += scoring_arguments(form, program)
    return Search(program, tool, molecule, name, query_text, label, restriction, arguments)

