"""QUERY read as NCBI takes it: an identifier (an accession, with or without its version, or a GI
number), a bare sequence, or FASTA text of one or more records. Sequences are checked letter by
letter here, so that BLAST+ only ever sees letters it accepts."""
import collections
import re

from ..errors import Refused
from .echo import shown


def both_cases(text):
    """The letters of `text` in both cases; only these (not, say, "ſ", whose upper case is S)."""
    return set(text) | set(text.lower())


LETTERS = {"protein": both_cases("ABCDEFGHIJKLMNOPQRSTUVWXYZ*-"),
           "nucleotide": both_cases("ACGTUNRYKMSWBDHV-")}
# An accession ("NP_062074.1", "Q9D8U8") or a GI number: sequences hold no digits. Longer texts
# are no identifiers; they are read as sequences and refused for their digits.
IDENTIFIER = re.compile(r"[A-Za-z0-9_]+(?:\.[0-9]+)?", re.ASCII)
DIGIT = re.compile(r"[0-9]", re.ASCII)
IDENTIFIER_LONGEST = 64
# Blanks between sequence letters: ASCII ones only, as BLAST+ reads them.
BLANKS = re.compile(r"\s+", re.ASCII)
RECORD = re.compile(r"\n(?=>)")
# Wrong letters named in a refusal, at most.
NAMED_LETTERS = 20

# kind: "identifier", "sequence" or "fasta"; text: the identifier, the sequence's letters, or
# the FASTA text as the query file holds it.
Query = collections.namedtuple("Query", "kind text")


def check_letters(what, sequence, molecule):
    if not sequence:
        raise Refused("%s has no sequence letters" % what)
    wrong = sorted(set(sequence) - LETTERS[molecule])
    if wrong:
        named = " ".join(shown(letter) for letter in wrong[:NAMED_LETTERS])
        more = " and %d more" % (len(wrong) - NAMED_LETTERS) if len(wrong) > NAMED_LETTERS else ""
        raise Refused("%s holds letters that are not %s sequence letters: %s%s" % (what, molecule, named, more))


def read_fasta(text, molecule):
    for number, record in enumerate(RECORD.split(text), 1):
        definition, _, body = record.partition("\n")
        check_letters("QUERY record %d (%s)" % (number, shown(definition, 60)), BLANKS.sub("", body), molecule)
    return text + "\n"


def read_query(text, molecule):
    """The Query that QUERY's `text` gives for a program searching with `molecule` queries."""
    text = text.replace("\r\n", "\n").strip()
    if not text:
        raise Refused("QUERY is missing: give an accession, a GI number, a sequence or FASTA text")
    if text.startswith(">"):
        return Query("fasta", read_fasta(text, molecule))
    if len(text) <= IDENTIFIER_LONGEST and IDENTIFIER.fullmatch(text) and DIGIT.search(text):
        return Query("identifier", text)
    sequence = BLANKS.sub("", text)
    check_letters("QUERY %s" % shown(text, 60), sequence, molecule)
    return Query("sequence", sequence)
