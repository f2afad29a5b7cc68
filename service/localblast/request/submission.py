"""A submission, as read from its form (reading.Submission), resolved against the database into
the search that BLAST+ runs: the database by name, an identifier query looked up, organism names
turned into the sequences they select. Parameters the service does not use (tool, email,
RESULTS_FILE, ...) are ignored, as NCBI does."""
import collections

from ..databases.database import DATABASE_NAMES
from ..errors import Refused
from ..programs import PROGRAMS
from . import entrez
from .echo import shown

# label: (query id or None to keep BLAST+'s, query definition) written into the report, or None.
# restriction: None, or the accessions the search is limited to (possibly none).
# show_gi, sizes ({name: size}), format_type and alignment_view: the report's GI numbers, list
# sizes, FORMAT_TYPE and ALIGNMENT_VIEW (None: not given) unless the results request says otherwise.
Search = collections.namedtuple("Search", "program tool molecule database query_text label restriction arguments "
                                          "show_gi sizes format_type alignment_view", defaults=(None,))


def query_file(database, molecule, query):
    """(text of the query file, label) for a reading.Query."""
    if query.kind == "fasta":
        return query.text, None
    if query.kind == "sequence":
        return query.text + "\n", (None, "No definition line")
    entry = database.lookup(molecule, query.text)
    if entry is None:
        raise Refused("QUERY %s: no %s sequence with that accession or GI number in this service's database"
                      % (shown(query.text), molecule))
    return ">%s %s\n%s\n" % (entry.seq_id, entry.title, entry.sequence), (entry.seq_id, entry.title)


def search_for(database, submission):
    """The Search of a reading.Submission; Refused names what the database lacks."""
    program = PROGRAMS[submission.program]
    if submission.database not in DATABASE_NAMES[program.molecule]:
        raise Refused("DATABASE must be one of %s for %s; received %s"
                      % (", ".join(DATABASE_NAMES[program.molecule]), submission.program,
                         shown(submission.database)))
    query_text, label = query_file(database, program.query_molecule, submission.query)
    restriction = entrez.restriction(database, program.molecule, submission.organisms)
    return Search(program=submission.program, tool=program.tool, molecule=program.molecule,
                  database=submission.database, query_text=query_text, label=label, restriction=restriction,
                  arguments=submission.arguments, show_gi=submission.show_gi, sizes=submission.sizes,
                  format_type=submission.format_type, alignment_view=submission.alignment_view)
