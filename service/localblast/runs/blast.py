"""The runner: how a search is run, and how reports are made from what it leaves.

This is the one seam for running searches. A runner is an object with
- run(search, folder): runs the search and writes its archive (BLAST+'s -outfmt 11, ARCHIVE)
  into `folder`, a folder of the search's own; returns an Outcome; BlastFailed when it fails;
- format(search, folder, arguments, output): blast_formatter's report from that archive;
- cancel(folder): ends the run into `folder` (of a search deleted while it runs), which then
  raises BlastFailed, whether it has started yet or not;
- stop(): ends what is running; later calls fail at once.
The store calls only run and cancel, the reports only format. BlastRunner runs BLAST+ on this
machine; another way of running (a cluster's job queue, say) is another such object, handed to
the store and the reports in blast_service.py, and nothing of the API changes.

The query and the organism restriction go to files in a folder of the search's own, the
options to an argument list (never through a shell), and each database is found by its name
in the catalogue.
"""
import collections
import os
import subprocess
import tempfile
import threading

from ..errors import STOPPING, BlastFailed, Refused
from ..programs import FORMATTER
from . import archive, children

ARCHIVE = "search.asn"
# What a run tells without a report being made.
Outcome = collections.namedtuple("Outcome", "has_hits")
# Reports are made in the threads of the requests that ask for them: no more formatters run at
# once than the machine has processors, however many clients ask.
FORMATTERS = os.cpu_count() or 1
# BLAST+ refuses -taxids when the database holds none of the organisms: here that is a search
# without hits, as it is for an organism that has no sequences in the database.
NO_SUCH_ORGANISM = "Taxonomy ID(s) not found"
NO_SUCH_SEQUENCE = "localblast_no_such_sequence"
CANCELLED = "the search was deleted"


def write(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(text)
    return path


class BlastRunner:
    def __init__(self, catalogue, timeout):
        self.catalogue = catalogue
        self.timeout = timeout
        self._lock = threading.Lock()
        self._processes = set()
        self._runs = {}            # a run's folder -> its BLAST+ process, or None between them
        self._cancelled = set()    # folders whose runs are to end, started or not
        self._formatters = threading.BoundedSemaphore(FORMATTERS)
        self._stopped = False

    @staticmethod
    def restriction_arguments(folder, search):
        """BLAST+'s options that limit `search` to its organisms' taxonomy ids."""
        if not search.restriction:
            return []
        return ["-taxidlist", write(folder, "taxids.txt", "".join("%d\n" % taxid for taxid in search.restriction))]

    def run(self, search, folder):
        """Runs `search` into the archive in `folder`; BlastFailed when BLAST+ fails."""
        with self._lock:
            if folder in self._cancelled:
                self._cancelled.discard(folder)
                raise BlastFailed(CANCELLED)
            self._runs[folder] = None
        try:
            with tempfile.TemporaryDirectory(prefix="search-", dir=folder) as work:
                archive_path = os.path.join(work, ARCHIVE)
                arguments = ([search.tool, "-query", write(work, "query.fasta", search.query_text),
                              "-db", search.database, "-outfmt", "11", "-out", archive_path] + search.arguments)
                try:
                    self.blast(arguments + self.restriction_arguments(work, search), work, search, folder)
                except BlastFailed as failure:
                    if not search.restriction or NO_SUCH_ORGANISM not in str(failure):
                        raise
                    self.blast(arguments + ["-seqidlist", write(work, "none.txt", NO_SUCH_SEQUENCE + "\n")],
                               work, search, folder)
                outcome = Outcome(archive.has_hits(archive_path))
                os.replace(archive_path, os.path.join(folder, ARCHIVE))
            return outcome
        finally:
            with self._lock:
                del self._runs[folder]
                self._cancelled.discard(folder)

    def cancel(self, folder):
        """Ends the run into `folder`: its BLAST+ process now, or the run as it starts."""
        with self._lock:
            # A cancel that came as its run ended waits for nothing: it goes with the folder.
            self._cancelled = {other for other in self._cancelled if os.path.isdir(other)}
            self._cancelled.add(folder)
            process = self._runs.get(folder)
            if process is not None:
                process.kill()

    def format(self, search, folder, arguments, output):
        """`output`, the path of the file that blast_formatter writes from the archive in the
        search's `folder` with `arguments` (a report of one file per query: those files, named
        after it, beside it)."""
        with self._formatters:
            self.blast([FORMATTER, "-archive", os.path.join(folder, ARCHIVE)] + arguments + ["-out", output],
                       os.path.dirname(output), search)
        return output

    def environment(self, search):
        """The environment in which BLAST+ finds the search's database by its name."""
        try:
            database = self.catalogue.choose(search.database, search.molecule)
        except Refused as refusal:
            raise BlastFailed("the search's database is not served any more: %s" % refusal)
        return dict(os.environ, BLASTDB=database.folder)

    def blast(self, arguments, folder, search, run=None):
        status, errors = self.execute(arguments, folder, self.environment(search), run)
        if status != 0:
            raise BlastFailed("%s ended with status %s: %s" % (arguments[0], status, errors))

    def execute(self, arguments, folder, environment, run=None):
        """(status, standard error) of `arguments` run in `folder`, a folder of the search's own:
        BLAST+ looks for a database in its working folder before BLASTDB. `run`: the folder of
        the search's run that it is part of, which cancel ends."""
        with tempfile.TemporaryFile() as errors:
            with self._lock:
                if self._stopped:
                    raise BlastFailed(STOPPING)
                if run in self._cancelled:
                    raise BlastFailed(CANCELLED)
                try:
                    process = children.start(arguments, cwd=folder, env=environment, stdin=subprocess.DEVNULL,
                                             stdout=subprocess.DEVNULL, stderr=errors)
                except OSError as error:
                    raise BlastFailed("could not start %s: %s" % (arguments[0], error))
                self._processes.add(process)
                if run is not None:
                    self._runs[run] = process
            try:
                with children.deadline(process, self.timeout) as overran:
                    process.wait()
            finally:
                with self._lock:
                    self._processes.discard(process)
                    if run is not None:
                        self._runs[run] = None
            if overran.is_set():
                raise BlastFailed("%s took longer than %s seconds and was stopped" % (arguments[0], self.timeout))
            return process.returncode, children.error_text(errors)

    def stop(self):
        """Ends the searches that are running; later ones fail at once."""
        with self._lock:
            self._stopped = True
            for process in self._processes:
                process.kill()
