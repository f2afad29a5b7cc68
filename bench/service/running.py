"""The service as the benchmarks run it: started on a free loopback port with its reports in a
scratch folder, and stopped."""
import os
import select
import subprocess
import sys
from pathlib import Path

SERVICE = Path(__file__).resolve().parents[2] / "service" / "blast_service.py"


def start_service(db, scratch, *arguments, ready_timeout=30):
    """(process, URL) of a service on database folder `db` (None: only the databases `arguments`
    name), with `arguments`; exits when it does not start within `ready_timeout` seconds."""
    databases = [] if db is None else ["--db", str(db)]
    service = subprocess.Popen([sys.executable, str(SERVICE)] + databases + ["--port", "0"] + list(arguments),
                               env=dict(os.environ, TMPDIR=scratch), stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    ready, _, _ = select.select([service.stdout], [], [], ready_timeout)
    url = service.stdout.readline().strip() if ready else ""
    if not url.startswith("http://127.0.0.1:"):
        service.kill()
        service.wait()
        sys.exit("the service did not start: %r" % url)
    return service, url


def stop_service(service):
    service.terminate()
    try:
        service.wait(timeout=15)
    except subprocess.TimeoutExpired:
        service.kill()
        service.wait()
