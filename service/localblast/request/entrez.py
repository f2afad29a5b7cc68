"""Entrez organism terms ("rat [ORGN]", "Pan [Organism] OR txid9606 [ORGN]") read from
ENTREZ_QUERY and turned into the taxonomy ids that BLAST+ filters on, by the catalogue's
taxonomy names. Terms of any other field are refused.

The query is split into words once (str.split is linear) and each term is matched by a pattern
whose runs end at characters they cannot take (a quote, a bracket), so that a term that fails
to match costs time linear in its length, whatever its length.
"""
import re

from ..errors import Refused
from .echo import shown

# A term's words joined by single blanks: a quoted or a bare name, then its field.
TERM = re.compile(r'(?:"([^"]+)" ?|([^"\[\]]+))\[ ?(orgn|organism) ?\]', re.IGNORECASE)
JOIN = "OR"


def normal(name):
    """`name` as Entrez compares names, letter case and repeated blanks aside; the taxonomy's
    names are kept the same way."""
    return " ".join(name.split()).lower()


def terms(text):
    """The terms of a query, each with its words joined by single blanks, split at the word OR."""
    found = [[]]
    for word in text.split():
        if word == JOIN:
            found.append([])
        else:
            found[-1].append(word)
    return [" ".join(words) for words in found]


def organism_names(text):
    """The organism names of ENTREZ_QUERY `text` (organism terms joined by OR), or None when it
    is empty."""
    if not text.strip():
        return None
    names = []
    for term in terms(text):
        match = TERM.fullmatch(term)
        name = normal(match.group(1) or match.group(2)) if match else ""
        if not name:
            raise Refused("ENTREZ_QUERY %s is not supported: this service understands organism terms "
                          "such as \"rat [ORGN]\", joined by OR; the term %s is not one" % (shown(text), shown(term)))
        names.append(name)
    return names


def restriction(catalogue, database, names):
    """None without organism names, else the taxonomy ids of the organisms they name for a
    search of `database` (a catalogue.Database)."""
    if names is None:
        return None
    taxids = set()
    for name in names:
        taxids.update(catalogue.organism_taxids(database, name))
    return sorted(taxids)
