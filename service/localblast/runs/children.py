"""BLAST+ processes that never outlive the service.

Each child asks the kernel to kill it when its parent dies (PR_SET_PDEATHSIG), so a service
killed outright, even with SIGKILL, takes its searches with it. The kernel ties that signal to
the thread that started the child, not to the process: a child started by a request's thread
would be killed when that thread ends. So every child is started from one thread that lives
as long as the service, and the callers only wait on them.

The signal is asked for by util-linux's setpriv, which then runs a shell that checks that the
service still lives (had it died first, nothing would signal) and becomes the BLAST+ program.
Asking for it in the service's own child instead (a preexec_fn) makes Python copy the whole
service with fork() for every child, which cost half the service's processor time per report.
"""
import concurrent.futures
import contextlib
import ctypes
import errno
import os
import queue
import shutil
import signal
import subprocess
import threading

PR_SET_PDEATHSIG = 1
# What is kept of a child's standard error for a message.
ERROR_TEXT = 4000
SETPRIV = shutil.which("setpriv")
SHELL = "/bin/sh"
# $1: the service's process id; then the program and its arguments.
PARENT_ALIVE = 'test "$PPID" = "$1" || exit 1; shift; exec "$@"'

try:
    _prctl = ctypes.CDLL(None, use_errno=True).prctl
except (OSError, AttributeError):   # not Linux: children are ended by stop() only
    _prctl = None


def _dying_with(parent):
    def prepare():
        _prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
        # The parent may have died before the request was made: nothing would signal then.
        if os.getppid() != parent:
            os._exit(1)
    return prepare if _prctl else None


def _guarded(arguments, options):
    """(arguments, Popen options) that start `arguments` dying with the service. The program
    is looked for first, so that one missing is an OSError as Popen gives it."""
    path = (options.get("env") or os.environ).get("PATH", os.defpath)
    program = shutil.which(arguments[0], path=path)
    if program is None:
        raise FileNotFoundError(errno.ENOENT, "%s: not found on PATH" % arguments[0], arguments[0])
    if SETPRIV is None or not os.path.exists(SHELL):
        return list(arguments), dict(options, preexec_fn=_dying_with(os.getpid()))
    return ([SETPRIV, "--pdeathsig", "KILL", "--", SHELL, "-c", PARENT_ALIVE, "sh", str(os.getpid()), program]
            + list(arguments[1:]), options)


class Launcher:
    def __init__(self):
        self._requests = queue.SimpleQueue()
        self._thread = None
        self._lock = threading.Lock()

    def start(self, arguments, **options):
        """A subprocess.Popen of `arguments` (Popen's keyword options apply) that dies with the
        service; OSError when it cannot be started."""
        with self._lock:
            if self._thread is None:
                self._thread = threading.Thread(target=self._serve, name="child-launcher", daemon=True)
                self._thread.start()
        started = concurrent.futures.Future()
        self._requests.put((arguments, options, started))
        return started.result()

    def _serve(self):
        while True:
            arguments, options, started = self._requests.get()
            try:
                command, popen_options = _guarded(arguments, options)
                started.set_result(subprocess.Popen(command, **popen_options))
            except BaseException as error:
                started.set_exception(error)


LAUNCHER = Launcher()
start = LAUNCHER.start


@contextlib.contextmanager
def deadline(process, seconds):
    """Kills `process` if it still runs `seconds` from now, while the block runs; yields an Event
    that is set if it did. Popen.wait with a timeout polls, sleeping up to 50 ms between looks: a
    timer ends a process that overruns instead, and a wait returns as soon as the process ends."""
    overran = threading.Event()
    timer = threading.Timer(seconds, lambda: (overran.set(), process.kill()))
    timer.start()
    try:
        yield overran
    finally:
        timer.cancel()


def error_text(stream):
    """The start of what a child wrote to `stream` (a file opened for reading in binary), as text."""
    stream.seek(0)
    return stream.read(ERROR_TEXT).decode("utf-8", "replace").strip()
