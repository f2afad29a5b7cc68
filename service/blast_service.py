#!/usr/bin/python3
"""A local BLAST service on 127.0.0.1 that speaks NCBI's BLAST URL API and runs the searches
with BLAST+ on the database that the build makes (build/service/db).

    /usr/bin/python3 service/blast_service.py --db build/service/db [--port N]

It prints its URL (http://127.0.0.1:PORT/Blast.cgi) on standard output once it accepts
requests, logs to standard error, and stops on SIGTERM or Ctrl-C.
"""
import argparse
import os
import shutil
import signal
import sys
import threading

from localblast import database, faults
from localblast.api import Api
from localblast.blast_run import BlastRunner
from localblast.http_server import BlastServer
from localblast.jobs import JobStore
from localblast.submission import PROGRAMS


def whole_number(low, high):
    def parse(text):
        if not text.isdigit() or not low <= int(text) <= high:
            raise argparse.ArgumentTypeError("expected a whole number from %d to %d, received %r" % (low, high, text))
        return int(text)
    return parse


def options(arguments):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--db", required=True, metavar="FOLDER",
                        help="the database folder that the build makes (build/service/db)")
    parser.add_argument("--port", type=whole_number(0, 65535), default=0,
                        help="the port to listen on, on 127.0.0.1 (default: a free one)")
    parser.add_argument("--rtoe", type=whole_number(0, 86400), default=1, metavar="SECONDS",
                        help="the estimated time to completion that submissions answer (default 1)")
    parser.add_argument("--status-wait", type=faults.seconds, default=0, metavar="SECONDS",
                        help="hold a status request for a running search up to this long for it to "
                             "finish (default 0: answer at once, as NCBI does)")
    parser.add_argument("--keep", type=faults.seconds, default=86400, metavar="SECONDS",
                        help="how long a finished search's results are kept (default 86400)")
    parser.add_argument("--max-jobs", type=whole_number(1, 100000), default=200, metavar="N",
                        help="how many searches are held at once (default 200)")
    parser.add_argument("--workers", type=whole_number(1, 256), default=os.cpu_count() or 2, metavar="N",
                        help="how many searches run at once (default: the number of processors)")
    parser.add_argument("--job-timeout", type=faults.seconds, default=300, metavar="SECONDS",
                        help="how long one search may run before it fails (default 300)")
    faults.add_options(parser)
    return parser.parse_args(arguments)


def log(message):
    print("blast-service: %s" % message, file=sys.stderr, flush=True)


def main(arguments):
    settings = options(arguments)
    missing = sorted({tool for tool, _, _, _ in PROGRAMS.values() if shutil.which(tool) is None})
    if missing:
        log("BLAST+ programs not found on PATH: %s (Debian package ncbi-blast+)" % ", ".join(missing))
        return 2
    try:
        db = database.load(settings.db)
    except (database.DatabaseError, OSError) as error:
        log("cannot use the database: %s" % error)
        return 2
    runner = BlastRunner(db, settings.job_timeout)
    store = JobStore(runner.run, settings.keep, settings.max_jobs, settings.workers, log=log)
    api = Api(db, store, faults.Faults.from_options(settings), settings.rtoe, log, settings.status_wait)
    stopping = threading.Event()
    try:
        server = BlastServer(settings.port, api, stopping)
    except OSError as error:
        log("cannot listen on 127.0.0.1 port %d: %s" % (settings.port, error))
        return 2

    def stop(_signal, _frame):
        stopping.set()
        threading.Thread(target=server.shutdown).start()
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    log("serving %s from %s" % (server.url(), settings.db))
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
