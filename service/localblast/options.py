"""The service's command line, its fault options included (for testing clients: answer a
program's submission, status or results request with an HTTP status, hold such an answer back
for some seconds, refuse its submissions, make its searches fail, or make them take a given
time). PROGRAM is a program name or "any"."""
import argparse
import os

from .api.faults import REFUSED
from .databases import cache
from .databases.catalogue import NAME
from .api.guidelines import MODES
from .journal.journal import DEFAULT_SIZE
from .programs import PROGRAMS
from .request import numerals
from .server import access, limits
from .store import budget

STEPS = ("put", "status", "results")


def whole_numbers(low, high):
    """An argparse type: whole numbers from `low` to `high`."""
    def parse(text):
        number = numerals.whole_number(text, low, high)
        if number is None:
            raise argparse.ArgumentTypeError("expected a whole number from %d to %d, received %r" % (low, high, text))
        return number
    return parse


# The most seconds any option takes: a year. Timers and clocks much further off fail in the
# running service (a wait beyond threading.TIMEOUT_MAX, a time past what a timestamp holds).
MOST_SECONDS = 366 * 86400
# The most a guideline interval (60 s at most) may be scaled by: up to about a year.
MOST_SCALE = MOST_SECONDS // 60


def decimals(what, most, above_zero):
    """An argparse type: numbers from 0 (above 0 if `above_zero`) to `most`; `what` names them."""
    def parse(text):
        number = numerals.decimal(text)
        if number is None or number > most or number < 0 or (above_zero and number == 0):
            raise argparse.ArgumentTypeError("expected %s %s %d; received %r" % (
                what, "greater than 0 and at most" if above_zero else "from 0 to", most, text))
        return number
    return parse


seconds = decimals("a number of seconds", MOST_SECONDS, above_zero=False)
positive_seconds = decimals("a number of seconds", MOST_SECONDS, above_zero=True)
scale = decimals("a number such as 0.02", MOST_SCALE, above_zero=True)


def program_name(text):
    if text not in PROGRAMS and text != "any":
        raise argparse.ArgumentTypeError("%r is not a program (%s) or \"any\"" % (text, ", ".join(sorted(PROGRAMS))))
    return text


def fields(text, count, form):
    parts = text.split(":")
    if len(parts) != count:
        raise argparse.ArgumentTypeError("expected %s, received %r" % (form, text))
    return parts


def step_name(text):
    if text not in STEPS:
        raise argparse.ArgumentTypeError("%r is not one of %s" % (text, ", ".join(STEPS)))
    return text


def http_fault(text):
    """PROGRAM:STEP:STATUS, e.g. blastn:put:500."""
    program, step, status = fields(text, 3, "PROGRAM:STEP:STATUS such as blastn:put:500")
    number = numerals.whole_number(status, 400, 599)
    if number is None:
        raise argparse.ArgumentTypeError("%r is not an HTTP error status (400 to 599)" % status)
    return (program_name(program), step_name(step)), number


def stall(text):
    """PROGRAM:STEP:SECONDS, e.g. blastp:status:30."""
    program, step, duration = fields(text, 3, "PROGRAM:STEP:SECONDS such as blastp:status:30")
    return (program_name(program), step_name(step)), seconds(duration)


def job_time(text):
    """PROGRAM:SECONDS, e.g. blastx:5."""
    program, duration = fields(text, 2, "PROGRAM:SECONDS such as blastx:5")
    return program_name(program), seconds(duration)


MOLECULES = {"protein": "protein", "prot": "protein", "nucleotide": "nucleotide", "nucl": "nucleotide"}


def fasta_database(text):
    """NAME[:MOLECULE]=FILE, e.g. mine=proteins.fasta or reads:nucleotide=reads.fa: (name, molecule or None, file)."""
    given, separator, path = text.partition("=")
    name, _, molecule = given.partition(":")
    if not separator or not path:
        raise argparse.ArgumentTypeError("expected NAME=FILE or NAME:MOLECULE=FILE, received %r" % text)
    if not NAME.fullmatch(name):
        raise argparse.ArgumentTypeError("%r is not a database name: letters, digits, _ . and -, starting with a "
                                         "letter or digit" % name)
    if molecule and molecule.lower() not in MOLECULES:
        raise argparse.ArgumentTypeError("%r is not a molecule: protein or nucleotide" % molecule)
    return name, MOLECULES[molecule.lower()] if molecule else None, path


def add_database_options(parser):
    group = parser.add_argument_group("databases (without --db, --fasta or --blastdb: the bundled database)")
    group.add_argument("--db", metavar="FOLDER", default=None,
                       help="the bundled database's folder as the build makes it (default: build/service/db "
                            "beside the sources), serving nr (protein and nucleotide) and nt")
    group.add_argument("--fasta", type=fasta_database, action="append", default=[], metavar="NAME[:MOLECULE]=FILE",
                       help="serve a FASTA file as NAME, built once with makeblastdb into the cache; its molecule "
                            "is found from its letters unless given (repeatable)")
    group.add_argument("--blastdb", action="append", default=[], metavar="FOLDER",
                       help="serve every BLAST+ database in the folder under its own name, NCBI's prebuilt ones "
                            "included (repeatable)")
    group.add_argument("--taxonomy", metavar="FILE", default=None,
                       help="NCBI's taxonomy names (names.dmp of its taxdump), for organism names in ENTREZ_QUERY")
    group.add_argument("--cache", metavar="FOLDER", default=cache.default_folder(),
                       help="where databases built from FASTA files and the taxonomy names' index are kept "
                            "(default: %(default)s)")


def host_address(text):
    try:
        return access.host_address(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected an IP address such as 127.0.0.1, 0.0.0.0 or ::1; received %r" % text)


def add_server_options(parser):
    defaults = limits.Limits()
    group = parser.add_argument_group(
        "HTTP server (waitress)",
        "A request head may hold %d bytes, a body %d bytes and %d form fields (query string and body together); "
        "a Content-Length beyond that is refused whatever its digits, and chunked bodies are not taken."
        % (limits.HEAD_BYTES, limits.BODY_BYTES, limits.FIELDS))
    group.add_argument("--host", type=host_address, default="127.0.0.1", metavar="ADDRESS",
                       help="the IP address to listen on (default 127.0.0.1; 0.0.0.0 or :: for every address: "
                            "anyone who reaches it may then submit searches and read them by their RID)")
    group.add_argument("--port", type=whole_numbers(0, 65535), default=0,
                       help="the port to listen on (default: a free one)")
    group.add_argument("--threads", type=whole_numbers(1, 256), default=defaults.threads, metavar="N",
                       help="how many requests are answered at once (default %d)" % defaults.threads)
    group.add_argument("--max-held", type=whole_numbers(1, 1024), default=defaults.held, metavar="N",
                       help="how many answers --stall and --status-wait hold back at once, each in a thread "
                            "beyond --threads; beyond it a status request is answered at once and a stalled "
                            "answer with HTTP 503 (default %d)" % defaults.held)
    group.add_argument("--max-connections", type=whole_numbers(1, 1000000), default=None, metavar="N",
                       help="how many connections are kept open at once; when a new one comes, the one idle "
                            "longest is closed (default %d, or fewer as the open-file limit leaves room for: %d "
                            "files each, beside those of threads and searches)"
                            % (limits.DEFAULT_CONNECTIONS, limits.FILES_PER_CONNECTION))
    group.add_argument("--head-timeout", type=positive_seconds, default=defaults.head_seconds, metavar="SECONDS",
                       help="how long a request head (its first line and headers) may take from its first byte "
                            "to its end; a later one closes its connection (default %g)" % defaults.head_seconds)
    group.add_argument("--request-timeout", type=positive_seconds, default=defaults.request_seconds,
                       metavar="SECONDS", help="the same for a whole request, head and body (default %g)"
                       % defaults.request_seconds)
    group.add_argument("--idle-timeout", type=positive_seconds, default=defaults.idle_seconds, metavar="SECONDS",
                       help="how long a connection may stay open without a request in progress or a byte read "
                            "by its client (default %g)" % defaults.idle_seconds)
    group.add_argument("--journal", type=whole_numbers(0, 1000000), default=DEFAULT_SIZE, metavar="N",
                       help="how many requests the request journal (GET /journal) keeps, the latest (default "
                            "%d; 0 keeps none)" % DEFAULT_SIZE)
    group.add_argument("--share-journal", action="store_true",
                       help="let clients on other machines see the journal and the list of searches "
                            "(DisplayRIDs), with others' queries and e-mail addresses (default: loopback only)")


def server_limits(settings, open_files=None):
    """The Limits of parsed settings; limits.LimitError when the connections asked for do not fit."""
    connections = limits.connection_cap(settings.max_connections, settings.threads, settings.max_held,
                                        settings.workers, open_files)
    return limits.Limits(threads=settings.threads, held=settings.max_held, connections=connections,
                         head_seconds=settings.head_timeout, request_seconds=settings.request_timeout,
                         idle_seconds=settings.idle_timeout)


def disk_size(text):
    size = budget.parse_size(text)
    if not size:   # None, or 0
        raise argparse.ArgumentTypeError("expected a size such as 500M, 20G or 1.5T (powers of 1024), or a number "
                                         "of bytes, greater than 0; received %r" % text)
    return size


def add_store_options(parser):
    group = parser.add_argument_group("the searches held")
    group.add_argument("--state", metavar="DIR", default=None,
                       help="keep the searches and their reports in this folder (SQLite and a folder per search), "
                            "where a restarted service finds them again; one service at a time may hold it "
                            "(default: a temporary folder, removed at stop)")
    group.add_argument("--keep", type=seconds, default=86400, metavar="SECONDS",
                       help="how long a finished search's results are kept (default 86400)")
    group.add_argument("--max-jobs", type=whole_numbers(1, 100000), default=200, metavar="N",
                       help="how many searches are held at once (default 200)")
    group.add_argument("--max-disk", type=disk_size, default=None, metavar="SIZE",
                       help="the disk the searches and their reports may take, e.g. 20G; beyond it the least "
                            "recently used reports go first, then the least recently used finished searches "
                            "(default: half the space free on the store's file system at start)")
    group.add_argument("--workers", type=whole_numbers(1, 256), default=os.cpu_count() or 2, metavar="N",
                       help="how many searches run at once (default: the number of processors)")


def add_fault_options(parser):
    group = parser.add_argument_group("fault injection (for testing clients; PROGRAM may be \"any\")")
    group.add_argument("--fail-http", type=http_fault, action="append", default=[], metavar="PROGRAM:STEP:STATUS",
                       help="answer the program's put, status or results requests with this HTTP status")
    group.add_argument("--stall", type=stall, action="append", default=[], metavar="PROGRAM:STEP:SECONDS",
                       help="hold the program's put, status or results answers back this long")
    group.add_argument("--refuse", type=program_name, action="append", default=[], metavar="PROGRAM",
                       help="refuse the program's submissions as NCBI refuses a search: HTTP 200, a page "
                            "without an RID whose error text is \"%s\"" % REFUSED)
    group.add_argument("--fail-job", type=program_name, action="append", default=[], metavar="PROGRAM",
                       help="make the program's searches fail (status FAILED)")
    group.add_argument("--job-time", type=job_time, action="append", default=[], metavar="PROGRAM:SECONDS",
                       help="make the program's searches take at least this long")


def parse(arguments, description=None):
    """The settings of a command line; argparse's usage error (status 2) for a malformed one."""
    parser = argparse.ArgumentParser(description=description, epilog="SECONDS is at most %d (366 days)."
                                     % MOST_SECONDS)
    parser.add_argument("--rtoe", type=whole_numbers(0, 86400), default=1, metavar="SECONDS",
                        help="the estimated time to completion that submissions answer (default 1)")
    parser.add_argument("--status-wait", type=seconds, default=0, metavar="SECONDS",
                        help="hold a status request for a running search up to this long for it to "
                             "finish (default 0: answer at once, as NCBI does)")
    parser.add_argument("--job-timeout", type=positive_seconds, default=300, metavar="SECONDS",
                        help="how long one search may run before it fails (default 300)")
    parser.add_argument("--guidelines", choices=MODES, default=None,
                        help="keep NCBI's usage guidelines in view: warn logs a line for each rule a request "
                             "breaks, enforce also answers it with HTTP 429 (default: neither)")
    parser.add_argument("--guideline-scale", type=scale, default=1.0, metavar="F",
                        help="scale the guidelines' intervals (10 s between requests, 60 s between status "
                             "requests for one RID) by F, e.g. 0.02 for tests (default 1)")
    add_database_options(parser)
    add_server_options(parser)
    add_store_options(parser)
    add_fault_options(parser)
    return parser.parse_args(arguments)
