"""BLAST+ processes that never outlive the service.

Each child asks the kernel to kill it when its parent dies (PR_SET_PDEATHSIG), so a service
killed outright, even with SIGKILL, takes its searches with it. The kernel ties that signal to
the thread that started the child, not to the process: a child started by a request's thread
would be killed when that thread ends. So every child is started from one thread that lives
as long as the service, and the callers only wait on them.
"""
import concurrent.futures
import ctypes
import os
import queue
import signal
import subprocess
import threading

PR_SET_PDEATHSIG = 1
# What is kept of a child's standard error for a message.
ERROR_TEXT = 4000

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
                started.set_result(subprocess.Popen(arguments, preexec_fn=_dying_with(os.getpid()), **options))
            except BaseException as error:
                started.set_exception(error)


LAUNCHER = Launcher()
start = LAUNCHER.start


def error_text(stream):
    """The start of what a child wrote to `stream` (a file opened for reading in binary), as text."""
    stream.seek(0)
    return stream.read(ERROR_TEXT).decode("utf-8", "replace").strip()
