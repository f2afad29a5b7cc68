#!/usr/bin/python3
"""A local BLAST service that speaks NCBI's BLAST URL API and runs the searches with BLAST+ on
the databases it is given (by default the bundled one that the build makes).

    /usr/bin/python3 service/blast_service.py [--port N] [--host ADDRESS] [--fasta NAME=FILE] [--blastdb FOLDER]

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
from localblast.journal.journal import Journal
from localblast.programs import TOOLS
from localblast.reports import formatting
from localblast.runs.blast import BlastRunner
from localblast.server import logsink
from localblast.server.holds import Holds
from localblast.server.httpd import BlastServer
from localblast.server.limits import LimitError
from localblast.store.budget import shown
from localblast.store.folders import StoreError
from localblast.store.jobs import JobStore


def log(message):
    # Escaped here, at the sink, whatever the caller passed on from a client.
    print("blast-service: %s" % logsink.escaped(message), file=sys.stderr, flush=True)


class Interrupted(BaseException):
    """SIGINT or SIGTERM while the service starts; args[0] is the signal's number."""


def interrupted(number, _frame):
    raise Interrupted(number)


def main(arguments):
    settings = options.parse(arguments, __doc__.split("\n\n")[0])
    # Until the service serves, a signal ends the start-up where it is, as Ctrl-C would without
    # a traceback: what it was making unwinds (a build in the cache is removed, a BLAST+ tool
    # ended), and the status says which signal it was.
    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGINT, interrupted)
    try:
        return serve(settings)
    except Interrupted as interruption:
        number = interruption.args[0]
        log("stopped by %s while starting" % signal.Signals(number).name)
        return 128 + number


def serve(settings):
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        log("BLAST+ programs not found on PATH: %s (Debian package ncbi-blast+)" % ", ".join(missing))
        return 2
    try:
        catalogue = serving.catalogue(settings, log)
    except (DatabaseError, OSError) as error:
        log("cannot use the databases: %s" % error)
        return 2
    try:
        limits = options.server_limits(settings)
    except LimitError as error:
        log("cannot start: %s" % error)
        return 2
    runner = BlastRunner(catalogue, settings.job_timeout)
    try:
        store = JobStore(runner.run, settings.keep, settings.max_jobs, settings.workers, log=log,
                         state=settings.state, max_disk=settings.max_disk, cancel=runner.cancel, start=False)
    except StoreError as error:
        log("cannot keep searches: %s" % error)
        return 2
    holds = Holds(limits.held)
    api = Api(catalogue, store, Faults.from_options(settings), settings.rtoe, log, settings.status_wait,
              functools.partial(formatting.make, runner), Guidelines(settings.guidelines, settings.guideline_scale),
              holds=holds)
    try:
        server = BlastServer(api, settings.port, settings.host, limits, Journal(settings.journal), holds,
                             settings.share_journal)
    except OSError as error:
        store.close()
        log("cannot listen on %s port %d: %s" % (settings.host, settings.port, error))
        return 2
    except Interrupted:
        store.close()
        raise

    def stopping():
        # The store first: status requests held for their searches' end are then answered at
        # once, and not cut short with the answers that the server's grace ends.
        store.stop()
        server.stop()

    def stop(_signal, _frame):
        # The signal arrives on the loop's thread, which stop() needs to close the connections.
        threading.Thread(target=stopping).start()
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    # Only now: a search found again and run by a start that then failed would count as cut
    # short by a stop, and three such starts would fail it.
    store.start()

    log("serving %s: %s" % (server.url(), "; ".join("%s (%s) in %s" % database
                                                    for database in catalogue.databases())))
    if server.beyond_loopback():
        log("listening on %s, beyond loopback: anyone who reaches it may submit searches and read them by "
            "their RID; %s" % (server.address, "the journal and the list of searches answer everyone "
                               "(--share-journal)" if settings.share_journal else "the journal and the list of "
                               "searches answer this machine only (--share-journal shares them)"))
    log("HTTP: %s" % limits.described())
    log("searches kept in %s, %s, up to %s of disk" % (
        store.folder, "found again by a restart" if store.persistent() else "removed at stop", shown(store.limit())))
    if settings.guidelines:
        log("usage guidelines: %s, intervals scaled by %g" % (settings.guidelines, settings.guideline_scale))
    print(server.url(), flush=True)
    try:
        server.serve_forever()
    finally:
        # The store first: the searches that the runner's stop cuts short are then not failed.
        store.stop()
        runner.stop()
        store.close()
        server.server_close()
    log("stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
