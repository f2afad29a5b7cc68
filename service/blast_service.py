#!/usr/bin/python3
"""A local BLAST service on 127.0.0.1 that speaks NCBI's BLAST URL API and runs the searches
with BLAST+ on the databases it is given (by default the bundled one that the build makes).

    /usr/bin/python3 service/blast_service.py [--port N] [--fasta NAME=FILE] [--blastdb FOLDER]

It prints its URL (http://127.0.0.1:PORT/Blast.cgi) on standard output once it accepts
requests, logs to standard error, and stops on SIGTERM or Ctrl-C.
"""
import functools
import shutil
import signal
import sys
import threading

from localblast import options
from localblast.api.commands import Api
from localblast.api.faults import Faults
from localblast.api.guidelines import Guidelines
from localblast.databases import serving
from localblast.errors import DatabaseError
from localblast.programs import TOOLS
from localblast.reports import formatting
from localblast.runs.blast import BlastRunner
from localblast.server.httpd import BlastServer
from localblast.store.jobs import JobStore


def log(message):
    print("blast-service: %s" % message, file=sys.stderr, flush=True)


def main(arguments):
    settings = options.parse(arguments, __doc__.split("\n\n")[0])
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        log("BLAST+ programs not found on PATH: %s (Debian package ncbi-blast+)" % ", ".join(missing))
        return 2
    try:
        catalogue = serving.catalogue(settings, log)
    except (DatabaseError, OSError) as error:
        log("cannot use the databases: %s" % error)
        return 2
    runner = BlastRunner(catalogue, settings.job_timeout)
    store = JobStore(runner.run, settings.keep, settings.max_jobs, settings.workers, log=log)
    api = Api(catalogue, store, Faults.from_options(settings), settings.rtoe, log, settings.status_wait,
              functools.partial(formatting.make, runner), Guidelines(settings.guidelines, settings.guideline_scale))
    try:
        server = BlastServer(settings.port, api)
    except OSError as error:
        store.close()
        log("cannot listen on 127.0.0.1 port %d: %s" % (settings.port, error))
        return 2

    def stop(_signal, _frame):
        # The signal arrives on serve_forever's thread, which stop() waits for.
        threading.Thread(target=server.stop).start()
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    log("serving %s: %s" % (server.url(), "; ".join("%s (%s) in %s" % database
                                                    for database in catalogue.databases())))
    if settings.guidelines:
        log("usage guidelines: %s, intervals scaled by %g" % (settings.guidelines, settings.guideline_scale))
    print(server.url(), flush=True)
    try:
        server.serve_forever()
    finally:
        runner.stop()
        store.close()
        server.server_close()
    log("stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
