"""A submission (CMD=Put) checked and turned into a search for BLAST+.

Everything the caller sent is checked here, so that BLAST+ only ever sees values it accepts and
a refused submission says which parameter was wrong and what was received. Parameters the
service does not use (tool, email, RESULTS_FILE, ...) are ignored, as NCBI does.
"""
import collections
import re

from ..errors import Refused
from ..programs import PROGRAMS
from ..reports.formats import read_format
from . import entrez, numerals
from .form import list_sizes, number_field, switch, value


def both_cases(text):
    """The letters of `text` in both cases; only these (not, say, "ſ", whose upper case is S)."""
    return set(text) | set(text.lower())


LETTERS = {"protein": both_cases("ABCDEFGHIJKLMNOPQRSTUVWXYZ*-"),
           "nucleotide": both_cases("ACGTUNRYKMSWBDHV-")}
# An accession ("NP_062074.1", "Q9D8U8") or a GI number: sequences hold no digits.
IDENTIFIER = re.compile(r"^(?=.*\d)[A-Za-z0-9_]+(\.\d+)?$", re.ASCII)
GAP_COSTS = re.compile(r"([0-9]+)\s+([0-9]+)", re.ASCII)
# Blanks between sequence letters: ASCII ones only, as BLAST+ reads them.
BLANKS = re.compile(r"\s+", re.ASCII)
MATRICES = ("BLOSUM45", "BLOSUM50", "BLOSUM62", "BLOSUM80", "BLOSUM90", "PAM30", "PAM70", "PAM250")
DEFAULT_HITLIST_SIZE = 100

# label: (query id or None to keep BLAST+'s, query definition) written into the report, or None.
# database: the name of the database searched (the catalogue finds it by name and molecule).
# restriction: None, or the taxonomy ids of the organisms the search is limited to.
# show_gi, sizes ({name: size}) and format_type: the report's GI numbers, list sizes and format
# unless the results request says otherwise.
Search = collections.namedtuple("Search", "program tool molecule database query_text label restriction arguments "
                                          "show_gi sizes format_type")


def expect_value(text):
    """EXPECT as given ("10", "0.001", "1e-07"): BLAST+ echoes it in the report."""
    if not numerals.decimal(text):  # None, or 0
        raise Refused("EXPECT must be a number greater than 0, such as 10, 0.001 or 1e-07; received %r" % text)
    return text


def check_letters(what, sequence, molecule):
    if not sequence:
        raise Refused("%s has no sequence letters" % what)
    wrong = sorted(set(sequence) - LETTERS[molecule])
    if wrong:
        raise Refused("%s holds letters that are not %s sequence letters: %s"
                      % (what, molecule, " ".join(repr(letter) for letter in wrong)))


def read_fasta_query(text, molecule):
    records = re.split(r"\n(?=>)", text)
    for number, record in enumerate(records, 1):
        definition, _, body = record.partition("\n")
        check_letters("QUERY record %d (%s)" % (number, definition[:60]), BLANKS.sub("", body), molecule)
    return text + "\n"


def read_query(catalogue, database_name, molecule, text):
    """(text of the query file, label) for an identifier (looked up in the database asked for),
    a bare sequence or FASTA text."""
    text = text.replace("\r\n", "\n").strip()
    if not text:
        raise Refused("QUERY is missing: give an accession, a GI number, a sequence or FASTA text")
    if text.startswith(">"):
        return read_fasta_query(text, molecule), None
    if IDENTIFIER.match(text):
        entry = catalogue.lookup(database_name, molecule, text)
        if entry is None:
            raise Refused("QUERY %r: no %s sequence with that accession or GI number in the database %s"
                          % (text, molecule, database_name))
        return ">%s %s\n%s\n" % (entry.seq_id, entry.title, entry.sequence), (entry.seq_id, entry.title)
    sequence = BLANKS.sub("", text)
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
    """BLAST+ options for the scoring fields; `program` is the BLAST+ tool."""
    arguments = []
    word_size = value(form, "WORD_SIZE")
    if word_size:
        arguments += ["-word_size", str(number_field("WORD_SIZE", word_size, 2, 1000))]
    gap_costs = value(form, "GAPCOSTS")
    if gap_costs:
        costs = GAP_COSTS.fullmatch(gap_costs)
        if not costs:
            raise Refused("GAPCOSTS must be two whole numbers, the gap opening and extension costs "
                          "such as \"11 1\"; received %r" % gap_costs)
        arguments += ["-gapopen", costs.group(1), "-gapextend", costs.group(2)]
    matrix = value(form, "MATRIX")
    if matrix and program != "blastn":    # nucleotide scoring has no matrix: ignored, as NCBI does
        if matrix.upper() not in MATRICES or not matrix.isascii():
            raise Refused("MATRIX must be one of %s; received %r" % (", ".join(MATRICES), matrix))
        arguments += ["-matrix", matrix.upper()]
    if program == "blastn":
        reward, penalty = value(form, "NUCL_REWARD"), value(form, "NUCL_PENALTY")
        if reward:
            arguments += ["-reward", str(number_field("NUCL_REWARD", reward, 1, 100))]
        if penalty:
            if not penalty.startswith("-") or numerals.whole_number(penalty[1:], 1, 100) is None:
                raise Refused("NUCL_PENALTY must be a whole number from -100 to -1; received %r" % penalty)
            arguments += ["-penalty", penalty]
    threshold = value(form, "THRESHOLD")
    if threshold and program != "blastn":  # nucleotide words have no neighbours: ignored, as NCBI does
        arguments += ["-threshold", str(number_field("THRESHOLD", threshold, 1, 1000))]
    return arguments


def read_submission(catalogue, form):
    """The Search for a CMD=Put form (name -> [values]); Refused says what is wrong."""
    name = value(form, "PROGRAM")
    if name.lower() not in PROGRAMS:
        raise Refused("PROGRAM must be one of %s; received %r" % (", ".join(sorted(PROGRAMS)), name))
    program = PROGRAMS[name.lower()]
    database_name = value(form, "DATABASE")
    database = catalogue.choose(database_name, program.molecule, name.lower())
    query_text, label = read_query(catalogue, database_name, program.query_molecule, value(form, "QUERY"))
    restriction = entrez.restriction(catalogue, database, value(form, "ENTREZ_QUERY"))
    format_type = read_format(value(form, "FORMAT_TYPE")).name
    sizes = list_sizes(form)

    # Each report is cut from this search at its own sizes: it keeps as many hits as the
    # largest of them asks for, the hit list's default counted where the list is not given.
    kept = max([sizes.get("HITLIST_SIZE", DEFAULT_HITLIST_SIZE), *sizes.values()])
    arguments = ["-evalue", expect_value(value(form, "EXPECT") or "10"), "-max_target_seqs", str(kept)]
    megablast = switch(form, "MEGABLAST")   # the older way to ask blastn for megablast
    if program.task:
        arguments += ["-task", "megablast" if megablast else program.task]
    filters = [text.strip() for text in form.get("FILTER", []) if text.strip()]
    if filters:
        arguments += filter_arguments(filters, program.filter_option)
    arguments += scoring_arguments(form, program.tool)
    return Search(name.lower(), program.tool, program.molecule, database_name, query_text, label, restriction,
                  arguments, switch(form, "NCBI_GI"), sizes, format_type)
