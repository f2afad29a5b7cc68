"""The service run as its users run it: /usr/bin/python3 service/blast_service.py, on a free port."""
import contextlib
import os
import select
import signal
import subprocess
import sys
import tempfile

REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(REPOSITORY, "service", "blast_service.py")


@contextlib.contextmanager
def service_process(*arguments, ready_timeout=30):
    """(process, url) of a started service; it is stopped with SIGTERM on leaving. Its log goes
    to a file, which a pipe nobody reads would not be: a full pipe would stall the service."""
    log = tempfile.TemporaryFile("w+")
    process = subprocess.Popen([sys.executable, SCRIPT] + list(arguments), stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=log, text=True)
    try:
        ready, _, _ = select.select([process.stdout], [], [], ready_timeout)
        url = process.stdout.readline().strip() if ready else ""
        assert url.startswith("http://127.0.0.1:"), (url, process.poll())
        yield process, url
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        process.stdout.close()
        log.close()
