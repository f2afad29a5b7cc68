"""Entrez organism terms ("rat [ORGN]", "Pan [Organism] OR txid9606 [ORGN]") turned into the
taxonomy ids that BLAST+ filters on, by the catalogue's taxonomy names. Terms of any other field
are refused.
"""
import re

from ..errors import Refused

TERM = re.compile(r'^\s*(?:"([^"]+)"|([^"\[\]]+?))\s*\[\s*(orgn|organism)\s*\]\s*$', re.IGNORECASE)
OR = re.compile(r"\s+OR\s+")


def normal(name):
    return " ".join(name.split()).lower()


def organism_names(text):
    """The organism names of an Entrez query made of organism terms joined by OR."""
    names = []
    for term in OR.split(text.strip()):
        match = TERM.match(term)
        if not match:
            raise Refused("ENTREZ_QUERY %r is not supported: this service understands organism terms "
                          "such as \"rat [ORGN]\", joined by OR; the term %r is not one" % (text, term))
        names.append(normal(match.group(1) or match.group(2)))
    return names


def restriction(catalogue, database, text):
    """None for an empty query, else the taxonomy ids of the organisms it names for a search of
    `database` (a catalogue.Database)."""
    if not text.strip():
        return None
    taxids = set()
    for name in organism_names(text):
        taxids.update(catalogue.organism_taxids(database, name))
    return sorted(taxids)
