"""BLAST+'s own index of its databases, read with blastdbcmd: the databases of a folder, a
sequence by identifier, the taxonomy ids a database carries. Nothing of a database is read into
the service but the lines asked for, each bounded, and every call is bounded in time.
"""
import collections
import os
import re
import subprocess
import tempfile
import threading

from ..runs import children

TOOL = "blastdbcmd"
TIMEOUT = 60
LINE = 64 * 1024
DBTYPE = {"protein": "prot", "nucleotide": "nucl"}
MOLECULE = {"Protein": "protein", "Nucleotide": "nucleotide"}
# An accession with or without its version ("NP_062074.1", "Q9D8U8") or a GI number.
IDENTIFIER = re.compile(r"[A-Za-z0-9_]+(\.[0-9]+)?", re.ASCII)
# A volume of a database that is more than one file ("nr.00"), listed beside the database.
VOLUME = re.compile(r"(.+)\.[0-9]{2,}")

# lines: what was read, each without its line end; cut: a line was longer than asked for;
# timed_out: the tool was stopped after its time.
Output = collections.namedtuple("Output", "lines status errors cut timed_out")
# seq_id: the whole id as NCBI writes it ("gi|160837788|ref|NP_001102467.1|").
Entry = collections.namedtuple("Entry", "seq_id title sequence")


class ToolFailed(Exception):
    """blastdbcmd could not be run, failed or took too long; the message says which."""


def read(arguments, folder=None, count=None, limit=LINE, timeout=TIMEOUT):
    """The Output of blastdbcmd with `arguments`, in `folder` as BLASTDB; at most `count`
    lines (None: all) of at most `limit` bytes each; the tool is stopped once they are read."""
    environment = dict(os.environ, BLASTDB=folder) if folder else None
    lines, cut = [], False
    with tempfile.TemporaryFile() as errors:
        try:
            process = children.start([TOOL] + arguments, env=environment, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=errors)
        except OSError as error:
            raise ToolFailed("could not start %s: %s" % (TOOL, error))
        expired = threading.Event()
        timer = threading.Timer(timeout, lambda: (expired.set(), process.kill()))
        timer.start()
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
        finally:
            if process.poll() is None and (cut or (count is not None and len(lines) >= count)):
                process.kill()
            process.wait()
            timer.cancel()
        return Output(lines, process.returncode, children.error_text(errors), cut, expired.is_set())


def databases(folder):
    """(name, molecule) of each database in `folder` as BLAST+ lists them, volumes of a
    database of several files left out; ToolFailed when it cannot list them."""
    output = read(["-list", folder, "-list_outfmt", "%f\t%p"])
    if output.status != 0 or output.timed_out:
        raise ToolFailed("%s -list %s failed (status %s): %s" % (TOOL, folder, output.status, output.errors))
    found = set()
    for line in output.lines:
        path, _, kind = line.rpartition("\t")
        if kind in MOLECULE:
            found.add((os.path.basename(path), MOLECULE[kind]))
    return sorted((name, molecule) for name, molecule in found
                  if not (VOLUME.fullmatch(name) and (VOLUME.fullmatch(name).group(1), molecule) in found))


def entry(database, identifier, limit):
    """The Entry of the sequence that `identifier` names in `database` (a catalogue.Database),
    or None; ToolFailed when it cannot be read or is longer than `limit` bytes."""
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
