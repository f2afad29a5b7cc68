"""The service run as its users run it: /usr/bin/python3 service/blast_service.py, on a free port."""
import contextlib
import os
import select
import signal
import subprocess
import sys
import threading

from logs import Logs

REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(REPOSITORY, "service", "blast_service.py")


@contextlib.contextmanager
def service_process(*arguments, ready_timeout=30, logs=None, open_files=None, environment=None,
                    url_prefix="http://127.0.0.1:"):
    """(process, url) of a started service; it is stopped with SIGTERM on leaving. Its log
    lines go to `logs` (a Logs) as they come, as written (only a line feed ends one): a pipe
    nobody read would stall the service. `open_files` sets its open-file limit (with util-linux's
    prlimit, so that it holds from the start); `environment` replaces its environment."""
    logs = Logs() if logs is None else logs
    command = [sys.executable, SCRIPT] + list(arguments)
    if open_files is not None:
        command = ["prlimit", "--nofile=%d:%d" % (open_files, open_files)] + command
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=environment)
    reader = threading.Thread(target=lambda: [logs(line.rstrip(b"\n").decode("utf-8", "replace"))
                                              for line in process.stderr], daemon=True)
    reader.start()
    try:
        ready, _, _ = select.select([process.stdout], [], [], ready_timeout)
        url = process.stdout.readline().decode().strip() if ready else ""
        assert url.startswith(url_prefix), (url, process.poll(), list(logs))
        yield process, url
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        reader.join(15)
        process.stdout.close()
        process.stderr.close()
