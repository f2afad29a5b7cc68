"""A submission, as read from its form (reading.Submission), resolved against the catalogue of
the databases served into the search that BLAST+ runs: an identifier query looked up in the
database chosen, organism names turned into taxonomy ids. Parameters the service does not use
(tool, email, RESULTS_FILE, ...) are ignored, as NCBI does."""
import collections

from ..errors import Refused
from ..programs import PROGRAMS
from . import entrez
from .echo import shown

# label: (query id or None to keep BLAST+'s, query definition) written into the report, or None.
# database: the name of the database searched (the catalogue finds it by name and molecule).
# restriction: None, or the taxonomy ids of the organisms the search is limited to.
# show_gi, sizes ({name: size}), format_type and alignment_view: the report's GI numbers, list
# sizes, FORMAT_TYPE and ALIGNMENT_VIEW (None: not given) unless the results request says otherwise.
Search = collections.namedtuple("Search", "program tool molecule database query_text label restriction arguments "
                                          "show_gi sizes format_type alignment_view", defaults=(None,))


def query_file(catalogue, database_name, molecule, query):
    """(text of the query file, label) for a reading.Query; an identifier is looked up in the
    database asked for."""
    if query.kind == "fasta":
        return query.text, None
    if query.kind == "sequence":
        return query.text + "\n", (None, "No definition line")
    entry = catalogue.lookup(database_name, molecule, query.text)
    if entry is None:
        raise Refused("QUERY %s: no %s sequence with that accession or GI number in the database %s"
                      % (shown(query.text), molecule, database_name))
    return ">%s %s\n%s\n" % (entry.seq_id, entry.title, entry.sequence), (entry.seq_id, entry.title)


def search_for(catalogue, submission):
    """The Search of a reading.Submission; Refused names what the catalogue lacks."""
    program, database = PROGRAMS[submission.program], submission.database
    query_text, label = query_file(catalogue, database.name, program.query_molecule, submission.query)
    restriction = entrez.restriction(catalogue, database, submission.organisms)
    return Search(program=submission.program, tool=program.tool, molecule=program.molecule,
                  database=database.name, query_text=query_text, label=label, restriction=restriction,
                  arguments=submission.arguments, show_gi=submission.show_gi, sizes=submission.sizes,
                  format_type=submission.format_type, alignment_view=submission.alignment_view)
