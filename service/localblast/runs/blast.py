"""Runs one search with BLAST+ into its archive, and makes reports from that archive with
blast_formatter: the query and the organism restriction go to files in a folder of the
search's own, the options to an argument list (never through a shell)."""
import os
import subprocess
import tempfile
import threading

from ..errors import STOPPING, BlastFailed
from ..programs import FORMATTER
from ..reports import edits

ARCHIVE = "search.asn"
XML_REPORT = "report.xml"
# Reports are made in the threads of the requests that ask for them: no more formatters run at
# once than the machine has processors, however many clients ask.
FORMATTERS = os.cpu_count() or 1


def write(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(text)
    return path


class BlastRunner:
    def __init__(self, database, timeout):
        self.database = database
        self.timeout = timeout
        self._lock = threading.Lock()
        self._processes = set()
        self._formatters = threading.BoundedSemaphore(FORMATTERS)
        self._stopped = False

    def restriction_arguments(self, folder, search):
        if search.restriction is None:
            return []
        if search.restriction:
            return ["-seqidlist", write(folder, "seqids.txt", "\n".join(search.restriction) + "\n")]
        # An organism without sequences here: BLAST+ refuses an empty list, but searching with
        # every sequence excluded gives the report without hits that the caller expects.
        everything = [entry.accession for entry in self.database.entries[search.molecule]]
        return ["-negative_seqidlist", write(folder, "seqids.txt", "\n".join(everything) + "\n")]

    def run(self, search, folder):
        """Runs `search` into the archive in `folder` (a folder of the search's own) and writes
        its XML report there; BlastFailed when BLAST+ fails."""
        with tempfile.TemporaryDirectory(prefix="search-", dir=folder) as work:
            archive = os.path.join(work, ARCHIVE)
            arguments = ([search.tool, "-query", write(work, "query.fasta", search.query_text),
                          "-db", search.database, "-outfmt", "11", "-out", archive]
                         + search.arguments + self.restriction_arguments(work, search))
            self.blast(arguments, work, search)
            os.replace(archive, os.path.join(folder, ARCHIVE))
        output = self.format(search, folder, ["-outfmt", "5"], os.path.join(folder, "formatted.xml"))
        edits.write_labelled(output, os.path.join(folder, XML_REPORT), search.label)
        edits.remove(output)

    def format(self, search, folder, arguments, output):
        """`output`, the path of the file that blast_formatter writes from the archive in the
        search's `folder` with `arguments` (a report of one file per query: those files, named
        after it, beside it)."""
        with self._formatters:
            self.blast([FORMATTER, "-archive", os.path.join(folder, ARCHIVE)] + arguments + ["-out", output],
                       os.path.dirname(output), search)
        return output

    def blast(self, arguments, folder, search):
        environment = dict(os.environ, BLASTDB=self.database.blast_folder(search.molecule))
        status, errors = self.execute(arguments, folder, environment)
        if status != 0:
            raise BlastFailed("%s ended with status %s: %s" % (arguments[0], status, errors.strip()))

    def execute(self, arguments, folder, environment):
        with self._lock:
            if self._stopped:
                raise BlastFailed(STOPPING)
            try:
                process = subprocess.Popen(arguments, cwd=folder, env=environment, stdin=subprocess.DEVNULL,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                           errors="replace")
            except OSError as error:
                raise BlastFailed("could not start %s: %s" % (arguments[0], error))
            self._processes.add(process)
        try:
            _, errors = process.communicate(timeout=self.timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            raise BlastFailed("%s took longer than %s seconds and was stopped" % (arguments[0], self.timeout))
        finally:
            with self._lock:
                self._processes.discard(process)
        return process.returncode, errors

    def stop(self):
        """Ends the searches that are running; later ones fail at once."""
        with self._lock:
            self._stopped = True
            for process in self._processes:
                process.kill()
