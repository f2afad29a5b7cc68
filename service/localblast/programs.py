"""The programs a submission may name, and how BLAST+ runs each of them."""
import collections

# tool: the BLAST+ program; task: its -task (None: the tool's own); filter_option: its
# low-complexity filter.
Program = collections.namedtuple("Program", "tool query_molecule molecule filter_option task")

PROGRAMS = {
    "blastn": Program("blastn", "nucleotide", "nucleotide", "-dust", "blastn"),
    "megablast": Program("blastn", "nucleotide", "nucleotide", "-dust", "megablast"),
    "blastp": Program("blastp", "protein", "protein", "-seg", None),
    "blastx": Program("blastx", "nucleotide", "protein", "-seg", None),
    "tblastn": Program("tblastn", "protein", "nucleotide", "-seg", None),
    "tblastx": Program("tblastx", "nucleotide", "nucleotide", "-seg", None),
}
FORMATTER = "blast_formatter"
# Every BLAST+ program the service starts.
TOOLS = sorted({program.tool for program in PROGRAMS.values()} | {FORMATTER})
