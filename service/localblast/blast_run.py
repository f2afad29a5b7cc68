"""Runs one search with BLAST+: the query and the organism restriction go to files in a
folder of the search's own, the options to an argument list (never through a shell)."""
import os
import subprocess
import tempfile
import threading

from . import report


class BlastFailed(Exception):
    """BLAST+ did not produce a report; the message holds its status and standard error."""


def write(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w") as stream:
        stream.write(text)
    return path


class BlastRunner:
    def __init__(self, database, timeout):
        self.database = database
        self.timeout = timeout
        self._lock = threading.Lock()
        self._processes = set()
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

    def run(self, search):
        """The XML report of `search`, as text; BlastFailed when BLAST+ fails."""
        with tempfile.TemporaryDirectory(prefix="localblast-") as folder:
            output = os.path.join(folder, "report.xml")
            arguments = ([search.tool, "-query", write(folder, "query.fasta", search.query_text),
                          "-db", search.database, "-outfmt", "5", "-out", output]
                         + search.arguments + self.restriction_arguments(folder, search))
            environment = dict(os.environ, BLASTDB=self.database.blast_folder(search.molecule))
            status, errors = self.execute(arguments, folder, environment)
            if status != 0:
                raise BlastFailed("%s ended with status %s: %s" % (search.tool, status, errors.strip()))
            with open(output) as stream:
                text = stream.read()
        if search.label:
            text = report.label_query(text, *search.label)
        return text

    def execute(self, arguments, folder, environment):
        with self._lock:
            if self._stopped:
                raise BlastFailed("the service is stopping")
            try:
                process = subprocess.Popen(arguments, cwd=folder, env=environment, stdin=subprocess.DEVNULL,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
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
