"""BLAST+'s own index of its databases, read with blastdbcmd: the databases of a folder, a
sequence by identifier, the taxonomy ids a database carries. Nothing of a database is read into
the service but the lines asked for, each bounded, and every call is bounded in time.
"""
import collections
import os
import re
import subprocess
import tempfile

from ..request.query import IDENTIFIER
from ..runs import children

TOOL = "blastdbcmd"
TIMEOUT = 60
LINE = 64 * 1024
DBTYPE = {"protein": "prot", "nucleotide": "nucl"}
MOLECULE = {"Protein": "protein", "Nucleotide": "nucleotide"}
# blastdbcmd's answer for an identifier in a database built without -parse_seqids.
NO_IDENTIFIERS = "DB contains no accession info"
# A volume of a database that is more than one file ("nr.00"), listed beside the database.
VOLUME = re.compile(r"(.+)\.[0-9]{2,}")

# lines: what was read, each without its line end; cut: a line was longer than asked for;
# timed_out: the tool was stopped after its time.
Output = collections.namedtuple("Output", "lines status errors cut timed_out")
# seq_id: the whole id as NCBI writes it ("gi|160837788|ref|NP_001102467.1|").
Entry = collections.namedtuple("Entry", "seq_id title sequence")


class ToolFailed(Exception):
    """blastdbcmd could not be run, failed or took too long; the message says which."""


class NoIdentifiers(Exception):
    """The database holds no identifiers to look up (it was built without -parse_seqids)."""


def read(arguments, folder, count=None, limit=LINE, timeout=TIMEOUT):
    """The Output of blastdbcmd with `arguments`, with `folder` as BLASTDB and as its working
    folder (BLAST+ looks for a database there first: in the service's own, a database of that
    name would be read instead); at most `count` lines (None: all) of at most `limit` bytes
    each; the tool is stopped once they are read."""
    lines, cut, done = [], False, False
    with tempfile.TemporaryFile() as errors:
        try:
            process = children.start([TOOL] + arguments, cwd=folder, env=dict(os.environ, BLASTDB=folder),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=errors)
        except OSError as error:
            raise ToolFailed("could not start %s: %s" % (TOOL, error))
        with children.deadline(process, timeout) as expired:
            try:
                with process.stdout:
                    while count is None or len(lines) < count:
                        line = process.stdout.readline(limit + 1)
                        if not line:
                            break
                        if len(line) > limit:
                            cut = True
                            break
                        lines.append(line.rstrip(b"\n").decode("utf-8", "replace"))
                done = not cut and (count is None or len(lines) < count)
            finally:
                if not done:   # cut short, or interrupted
                    process.kill()
                process.wait()
        return Output(lines, process.returncode, children.error_text(errors), cut, expired.is_set())


def unsearchable(folder):
    """Why BLAST+ cannot find databases by name in `folder`, or None. It joins its working folder
    and BLASTDB into one search path separated by ":", so a folder whose path holds one is
    never found."""
    if ":" in os.path.abspath(folder):
        return ("BLAST+ cannot find databases in %s: its path holds a \":\", which BLAST+ reads as a "
                "separator of folders (move it, or link to it from a path without one)" % folder)
    return None


def databases(folder):
    """(name, molecule) of each database in `folder` as BLAST+ lists them, volumes of a
    database of several files left out; ToolFailed when it cannot list them. A name that holds
    a line feed is listed over two lines, neither of them a database of the folder: left out."""
    folder = os.path.abspath(folder)
    output = read(["-list", folder, "-list_outfmt", "%f\t%p"], folder)
    if output.status != 0 or output.timed_out:
        raise ToolFailed("%s -list %s failed (status %s): %s" % (TOOL, folder, output.status, output.errors))
    found = set()
    for line in output.lines:
        path, _, kind = line.rpartition("\t")
        if kind in MOLECULE and os.path.dirname(path) == folder:
            found.add((os.path.basename(path), MOLECULE[kind]))
    return sorted((name, molecule) for name, molecule in found
                  if not (VOLUME.fullmatch(name) and (VOLUME.fullmatch(name).group(1), molecule) in found))


def entry(database, identifier, limit):
    """The Entry of the sequence that `identifier` names in `database` (a catalogue.Database),
    or None; NoIdentifiers when the database has none, ToolFailed when it cannot be read or the
    sequence is longer than `limit` bytes."""
    if not IDENTIFIER.fullmatch(identifier):
        return None
    # The sequence has no blanks and the id none either; the title is the rest of the line.
    output = read(["-db", database.name, "-dbtype", DBTYPE[database.molecule], "-entry", identifier,
                   "-outfmt", "%g %i %s %t"], database.folder, count=1, limit=limit)
    if output.cut:
        raise ToolFailed("the sequence is longer than the %d letters a query may have" % limit)
    if not output.lines:
        if output.status == 1 and "not found" in output.errors:
            return None
        if output.status == 1 and NO_IDENTIFIERS in output.errors:
            raise NoIdentifiers(output.errors)
        raise ToolFailed("%s failed (status %s): %s" % (TOOL, output.status, output.errors or "no output"))
    gi, seq_id, sequence, title = (output.lines[0].split(" ", 3) + ["", "", ""])[:4]
    if gi.isdigit() and gi != "0":
        seq_id = "gi|%s|%s" % (gi, seq_id)
    return Entry(seq_id, title, sequence)


def carries_taxids(database):
    """Whether any sequence of `database` carries a taxonomy id (0 is none)."""
    output = read(["-db", database.name, "-dbtype", DBTYPE[database.molecule], "-tax_info"], database.folder,
                  count=3)
    if not output.lines:
        raise ToolFailed("%s -tax_info failed (status %s): %s" % (TOOL, output.status, output.errors))
    return any(line.split("\t")[0] not in ("", "0") for line in output.lines[1:] if not line.startswith("#"))
