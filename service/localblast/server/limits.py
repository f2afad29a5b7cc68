"""What one request may send and how long it may take, and how many connections, threads and
held answers the server keeps: the limits a hostile or broken client meets."""
import dataclasses
import resource

HEAD_BYTES = 64 * 1024          # a request's first line and headers
BODY_BYTES = 4 * 1024 * 1024    # a POST's body: a FASTA query of a few megabytes fits
FIELDS = 1000                   # form fields of one request, query string and body together
DEFAULT_CONNECTIONS = 1000

# The open files the service needs besides its connections, so that the connections can never
# take the ones a search or a report needs: standard streams, the listener, the loop's wake-up
# pipe, the store's files...
BASE_FILES = 64
FILES_PER_THREAD = 3        # a report being sent or made: its file, blast_formatter's pipes
FILES_PER_WORKER = 4        # a search: BLAST+'s pipes and its query's file
# A connection is a socket, and waitress may spill a large body and a large answer to a file each.
FILES_PER_CONNECTION = 3
# Fewer connections than this leave the service unusable: it refuses to start instead.
FEWEST_CONNECTIONS = 8


class LimitError(Exception):
    """The limits asked for cannot be kept; the message says why."""


@dataclasses.dataclass
class Limits:
    threads: int = 8                  # threads answering requests at once
    held: int = 32                    # answers held back at once (--stall, --status-wait)
    connections: int = DEFAULT_CONNECTIONS
    head_seconds: float = 20.0        # from a request's first byte to the end of its head
    request_seconds: float = 120.0    # from its first byte to the end of its body
    idle_seconds: float = 60.0        # a connection with no request in progress
    head_bytes: int = HEAD_BYTES
    body_bytes: int = BODY_BYTES
    fields: int = FIELDS

    def described(self):
        return ("%d threads answering (and %d more for answers held back), at most %d connections, request "
                "heads within %g s and %d bytes, whole requests within %g s, bodies up to %d bytes and %d "
                "form fields, idle connections closed after %g s"
                % (self.threads, self.held, self.connections, self.head_seconds, self.head_bytes,
                   self.request_seconds, self.body_bytes, self.fields, self.idle_seconds))


def open_file_limit():
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    return soft if soft != resource.RLIM_INFINITY else 1 << 20


def connection_room(open_files, threads, held, workers):
    """How many connections fit below an open-file limit of `open_files`, the files that
    threads, held answers and searches need set aside."""
    spare = open_files - BASE_FILES - FILES_PER_THREAD * (threads + held) - FILES_PER_WORKER * workers
    return max(spare // FILES_PER_CONNECTION, 0)


def connection_cap(asked, threads, held, workers, open_files=None):
    """The connection cap: `asked` (None: the default, lowered to what the open-file limit
    leaves room for); LimitError when it does not fit."""
    open_files = open_file_limit() if open_files is None else open_files
    room = connection_room(open_files, threads, held, workers)
    if asked is None:
        if room < FEWEST_CONNECTIONS:
            raise LimitError("the open-file limit of %d leaves room for %d connections, fewer than %d: raise it "
                             "(ulimit -n) or lower --threads, --max-held or --workers"
                             % (open_files, room, FEWEST_CONNECTIONS))
        return min(DEFAULT_CONNECTIONS, room)
    if asked > room:
        raise LimitError("--max-connections %d does not fit the open-file limit of %d, which leaves room for %d "
                         "connections beside %d threads, %d held answers and %d searches (%d files each); raise "
                         "the limit (ulimit -n) or ask for fewer" % (asked, open_files, room, threads, held, workers,
                                                                    FILES_PER_CONNECTION))
    return asked
