"""Entrez organism terms ("rat [ORGN]", "Pan [Organism] OR human [ORGN]") resolved against the
database's catalogue.

As in Entrez, a name matches an organism by its scientific name, its genus or one of its common
names, letter case and repeated blanks aside. Terms of any other field are refused.
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


def matching_organisms(database, name):
    matches = []
    for organism in database.organisms():
        aliases = [organism, organism.split()[0]] + database.common_names[organism]
        if name in (normal(alias) for alias in aliases):
            matches.append(organism)
    return matches


def restriction(database, molecule, text):
    """None for an empty query, else the accessions of `molecule` sequences it selects
    (possibly none: a known organism may have no sequence of that kind)."""
    if not text.strip():
        return None
    organisms = set()
    for name in organism_names(text):
        found = matching_organisms(database, name)
        if not found:
            raise Refused("ENTREZ_QUERY %r: no organism named %r in this service's catalogue "
                          "(it knows %s)" % (text, name, ", ".join(database.organisms())))
        organisms.update(found)
    return [entry.accession for entry in database.entries[molecule] if entry.organism in organisms]
