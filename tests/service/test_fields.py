"""The readers every field goes through: a received value echoed quoted, escaped and cut; numbers
as NCBI takes them, of any length; Entrez organism terms however they are spaced; word sizes as
each BLAST+ program takes them."""
import pytest

from blast_client import error_text, info, request, submit, wait
from check_queries import ROW_QUERIES
from localblast.errors import Refused
from localblast.request import entrez, numerals
from localblast.request.echo import SHOWN, shown


@pytest.mark.parametrize("text, echoed", [
    ("PDF", "'PDF'"),
    ("", "''"),
    ("it's", "'it\\'s'"),
    ("back\\slash", "'back\\\\slash'"),
    ("\x1b[31mred", "'\\x1b[31mred'"),
    ("\u202eevil", "'\\u202eevil'"),          # turns text around on a terminal
    ("\u0661\u0660", "'\u0661\u0660'"),       # printable: shown as it is
    ("a" * SHOWN, "'%s'" % ("a" * SHOWN)),
    ("a" * (SHOWN + 1), "'%s'... (the first %d of %d characters)" % ("a" * SHOWN, SHOWN, SHOWN + 1)),
    # Escapes count: 50 control characters fill the 200.
    ("\x01" * 1000, "'%s'... (the first 50 of 1000 characters)" % ("\\x01" * 50)),
])
def test_a_received_value_is_echoed_quoted_escaped_and_cut(text, echoed):
    assert shown(text) == echoed


@pytest.mark.parametrize("text, number", [
    ("10", 10), ("0010", 10), ("0" * 63 + "1", 1),
    ("0", None), ("20001", None), ("1" * 65, None), ("0" * 64 + "1", None), ("9" * 5000, None),
    ("\u0661\u0660", None), ("1 0", None), ("+1", None), ("", None),
])
def test_a_whole_number_is_ascii_digits_in_range_and_of_bounded_length(text, number):
    assert numerals.whole_number(text, 1, 20000) == number


@pytest.mark.parametrize("text, number", [
    ("10", 10.0), ("0.001", 0.001), ("1e-07", 1e-07), ("1E+2", 100.0), (".5", 0.5), ("1.", 1.0),
    ("1e", None), (".", None), ("e5", None), ("1e999", None), ("inf", None), ("nan", None), ("-1", None),
    ("1" * 30000 + "x", None), ("0." + "0" * 70 + "1", None), ("\u0661", None),
])
def test_a_decimal_is_ascii_digits_finite_and_of_bounded_length(text, number):
    assert numerals.decimal(text) == number


@pytest.mark.parametrize("text, names", [
    ("rat [ORGN]", ["rat"]),
    ("Rattus  norvegicus[Organism]", ["rattus norvegicus"]),
    ("rat [ ORGN ]", ["rat"]),
    ('"chimpanzee" [ORGN]', ["chimpanzee"]),
    ("rat\t[orgn]\nOR\tHouse Mouse [ORGN]", ["rat", "house mouse"]),
    ("  ", None),
])
def test_organism_terms_are_read_however_they_are_spaced(text, names):
    assert entrez.organism_names(text) == names


@pytest.mark.parametrize("text", [
    "rat", "rat [GENE]", "rat [ORGN] OR", "OR rat [ORGN]", '" " [ORGN]', "rat [ORGN]OR mouse [ORGN]",
    "rat [ORGN] AND mouse [ORGN]", "rat [ORGN] or mouse [ORGN]", '"rat [ORGN]', "[ORGN]",
])
def test_anything_but_organism_terms_joined_by_or_is_refused(text):
    with pytest.raises(Refused, match="ENTREZ_QUERY"):
        entrez.organism_names(text)


# (program, database, a query it finds, the smallest and the largest WORD_SIZE BLAST+ 2.12 takes)
WORD_SIZES = [
    ("blastn", "nr", ROW_QUERIES["sequence"], 4, 2 ** 31 - 1),
    ("megablast", "nr", ROW_QUERIES["fasta"], 4, 2 ** 31 - 1),
    ("blastp", "nr", "9506405", 2, 7),
    ("blastx", "nr", ROW_QUERIES["fasta"], 2, 7),
    ("tblastn", "nr", "NP_564935.1", 2, 7),
    ("tblastx", "nt", ROW_QUERIES["fasta"], 2, 5),
]


@pytest.mark.parametrize("program, database, query, least, most", WORD_SIZES, ids=[row[0] for row in WORD_SIZES])
def test_a_word_size_blast_would_refuse_is_refused_at_submission(service, program, database, query, least, most):
    form = dict(PROGRAM=program, DATABASE=database, QUERY=query)
    for size in (least, most):
        assert wait(service, submit(service, WORD_SIZE=str(size), **form))["Status"] == "READY", size
    for size in (least - 1, most + 1):
        code, _, page = request(service, dict(CMD="Put", WORD_SIZE=str(size), **form), post=True)
        assert code == 200 and "RID" not in info(page), size
        assert "WORD_SIZE must be a whole number from %d to %d; received '%d'" % (least, most, size) in error_text(page)
