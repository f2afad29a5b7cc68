"""A request's form read once, into the typed value of its command: a submission (CMD=Put), a
status request, a results request, a deletion or the list of RIDs. Every field is read here,
and checked where it is read; the rest of the service reads only these values.

A refusal of a submission or a results request is kept in the value (`refusal`) rather than
raised, so that the API answers it where NCBI would: after the usage guidelines and the injected
faults have had their say."""
import collections
import re

from ..errors import Refused
from ..programs import PROGRAMS
from ..reports.formats import FORMATS, VIEWS, report_format
from . import entrez, numerals
from .echo import shown
from .fields import DEFAULT_HITLIST_SIZE, choice, list_sizes, number, switch, text, whole
from .query import read_query

# The client a request names (its tool and email, "" when absent), for the usage guidelines.
Client = collections.namedtuple("Client", "tool email")
# program: the name of a known PROGRAM in lower case, else "any" (for the injected faults).
Put = collections.namedtuple("Put", "client program submission refusal")
Status = collections.namedtuple("Status", "client rid")
# report: what a results request asks for (a Report), or None when it is refused.
Results = collections.namedtuple("Results", "client rid report refusal")
Delete = collections.namedtuple("Delete", "client rid")
ListRids = collections.namedtuple("ListRids", "client")

# A submission's fields as read: program (a key of PROGRAMS), database (the catalogue.Database
# searched, chosen by the name given and the program's molecule), query
# (a query.Query), organisms (the names of ENTREZ_QUERY's terms, or None), arguments (BLAST+'s
# options), sizes ({name: size}), show_gi, format_type and alignment_view (None: not given).
Submission = collections.namedtuple("Submission", "program database query organisms arguments sizes show_gi "
                                                  "format_type alignment_view")
# A results request's report fields; each one it leaves out (None, or absent from sizes) is the
# submission's.
Report = collections.namedtuple("Report", "format_type alignment_view sizes show_gi download")

FORMAT_OBJECTS = ("searchinfo", "alignment")
MATRICES = ("BLOSUM45", "BLOSUM50", "BLOSUM62", "BLOSUM80", "BLOSUM90", "PAM30", "PAM70", "PAM250")
GAP_COSTS = re.compile(r"([0-9]+)\s+([0-9]+)", re.ASCII)
GAP_COST_MOST = 32767
# The word sizes each BLAST+ program takes (megablast is blastn's task, with blastn's range), so
# that a value it would refuse is refused at submission rather than failing the search after an
# RID. blastn's only upper bound is C's int.
WORD_SIZES = {"blastn": (4, 2 ** 31 - 1), "blastp": (2, 7), "blastx": (2, 7), "tblastn": (2, 7), "tblastx": (2, 5)}


class BadRequest(Refused):
    """A request that names no command the API can carry out (HTTP 400)."""


def read_request(form, catalogue):
    """The typed value of a form ({UPPER-CASE NAME: [values]}) for a service of `catalogue`
    (the databases served); BadRequest without a known CMD, or without the RID a CMD=Get needs."""
    client = Client(text(form, "TOOL"), text(form, "EMAIL"))
    command = text(form, "CMD").lower()
    if command == "put":
        return read_put(form, client, catalogue)
    if command == "get":
        return read_get(form, client)
    if command == "delete":
        return Delete(client, text(form, "RID"))
    if command == "displayrids":
        return ListRids(client)
    raise BadRequest("CMD must be Put, Get, Delete or DisplayRIDs; received %s" % shown(text(form, "CMD")))


def read_get(form, client):
    rid = text(form, "RID")
    if not rid:
        raise BadRequest("RID is missing: CMD=Get needs the RID that CMD=Put answered")
    format_object = text(form, "FORMAT_OBJECT")
    if format_object.lower() == "searchinfo":
        return Status(client, rid)
    try:
        if format_object and format_object.lower() not in FORMAT_OBJECTS:
            raise Refused("FORMAT_OBJECT must be SearchInfo (the status) or Alignment (the report); received %s"
                          % shown(format_object))
        return Results(client, rid, read_report(form), None)
    except Refused as refusal:
        return Results(client, rid, None, str(refusal))


def report_names(form):
    """FORMAT_TYPE and ALIGNMENT_VIEW as the form names them (None: not given)."""
    return choice(form, "FORMAT_TYPE", list(FORMATS)), choice(form, "ALIGNMENT_VIEW", list(VIEWS))


def read_report(form):
    format_type, view = report_names(form)
    return Report(format_type, view, list_sizes(form), switch(form, "NCBI_GI"), bool(switch(form, "RESULTS_FILE")))


def read_put(form, client, catalogue):
    name = text(form, "PROGRAM").lower()
    program = name if name in PROGRAMS else "any"
    try:
        return Put(client, program, read_submission(form, catalogue), None)
    except Refused as refusal:
        return Put(client, program, None, str(refusal))


def read_submission(form, catalogue):
    """The Submission of a CMD=Put form; Refused says which field is wrong and what it received."""
    name = text(form, "PROGRAM")
    program = PROGRAMS.get(name.lower())
    if program is None:
        raise Refused("PROGRAM must be one of %s; received %s" % (", ".join(sorted(PROGRAMS)), shown(name)))
    database = catalogue.choose(text(form, "DATABASE"), program.molecule, name.lower())
    query = read_query(text(form, "QUERY"), program.query_molecule)
    organisms = entrez.organism_names(text(form, "ENTREZ_QUERY"))
    format_type, view = report_names(form)
    report_format(format_type, view, name.lower())   # a report that could never be made is refused now
    sizes = list_sizes(form)

    # Each report is cut from this search at its own sizes: it keeps as many hits as the
    # largest of them asks for, the hit list's default counted where the list is not given.
    kept = max([sizes.get("HITLIST_SIZE", DEFAULT_HITLIST_SIZE), *sizes.values()])
    arguments = ["-evalue", expect_value(text(form, "EXPECT") or "10"), "-max_target_seqs", str(kept)]
    megablast = switch(form, "MEGABLAST")   # the older way to ask blastn for megablast
    if program.task:
        arguments += ["-task", "megablast" if megablast else program.task]
    filters = [given.strip() for given in form.get("FILTER", []) if given.strip()]
    if filters:
        arguments += filter_arguments(filters, program.filter_option)
    arguments += scoring_arguments(form, program.tool)
    return Submission(program=name.lower(), database=database, query=query, organisms=organisms,
                      arguments=arguments, sizes=sizes, show_gi=bool(switch(form, "NCBI_GI")),
                      format_type=format_type, alignment_view=view)


def expect_value(given):
    """EXPECT as given ("10", "0.001", "1e-07"): BLAST+ echoes it in the report."""
    if not numerals.decimal(given):  # None, or 0
        raise Refused("EXPECT must be a number greater than 0, such as 10, 0.001 or 1e-07; received %s"
                      % shown(given))
    return given


def filter_arguments(values, option):
    """BLAST+ options for NCBI's FILTER values (one or more, like "L", "m L" or "L;m;"): F (off),
    T or L (low complexity), m (mask for the lookup only)."""
    letters = set("".join(values).replace(" ", "").replace(";", ""))
    if letters == {"F"}:
        return [option, "no"]
    if letters - set("TLm"):
        raise Refused("FILTER %s is not supported: use F (no filter), L or T (low complexity), "
                      "optionally with m (mask for the lookup only)" % shown(", ".join(values)))
    arguments = [option, "yes"] if letters & set("TL") else []
    return arguments + ["-soft_masking", "true" if "m" in letters else "false"]


def gap_costs(given):
    """BLAST+'s options for GAPCOSTS `given`: two whole numbers between ASCII blanks."""
    costs = GAP_COSTS.fullmatch(given)
    numbers = [numerals.whole_number(cost, 0, GAP_COST_MOST) for cost in costs.groups()] if costs else [None]
    if None in numbers:
        raise Refused("GAPCOSTS must be two whole numbers from 0 to %d, the gap opening and extension costs "
                      "such as \"11 1\"; received %s" % (GAP_COST_MOST, shown(given)))
    return ["-gapopen", str(numbers[0]), "-gapextend", str(numbers[1])]


def scoring_arguments(form, tool):
    """BLAST+ options for the scoring fields; `tool` is the BLAST+ program."""
    arguments = []
    word_size = number(form, "WORD_SIZE", *WORD_SIZES[tool])
    if word_size is not None:
        arguments += ["-word_size", str(word_size)]
    if text(form, "GAPCOSTS"):
        arguments += gap_costs(text(form, "GAPCOSTS"))
    # Nucleotide scoring has no matrix: ignored, as NCBI does.
    matrix = choice(form, "MATRIX", MATRICES) if tool != "blastn" else None
    if matrix:
        arguments += ["-matrix", matrix]
    if tool == "blastn":
        reward, penalty = number(form, "NUCL_REWARD", 1, 100), text(form, "NUCL_PENALTY")
        if reward is not None:
            arguments += ["-reward", str(reward)]
        if penalty:
            cost = numerals.whole_number(penalty[1:], 1, 100) if penalty.startswith("-") else None
            if cost is None:
                raise Refused("NUCL_PENALTY must be a whole number from -100 to -1; received %s" % shown(penalty))
            arguments += ["-penalty", str(-cost)]
    threshold = text(form, "THRESHOLD")
    if threshold and tool != "blastn":  # nucleotide words have no neighbours: ignored, as NCBI does
        arguments += ["-threshold", str(whole("THRESHOLD", threshold, 1, 1000))]
    return arguments
