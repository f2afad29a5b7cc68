"""The whole check offline: scripts/offline runs the built program with the real toolkit
against the local BLAST service, with and without injected faults."""
import os
import re
import subprocess
import sys

import pytest
from check_queries import ROW_QUERIES

REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

OFFLINE = os.path.join(REPOSITORY, "scripts", "offline")

BANNER = "Checking Tarvo.Blast.Skelda.qblast() with various queries"
# The program announces each query in its quoted form, which repr() also gives for these texts.
ANNOUNCED = ["qblast('%s', 'nr', %r, ...)" % (program, ROW_QUERIES[kind])
             for program, kind in (("blastp", "identifier"), ("blastn", "sequence"), ("blastx", "fasta"))]


def build_folder():
    folder = os.environ.get("QBLAST_BUILD_DIR", "")
    if not os.access(os.path.join(folder, "qblast-check"), os.X_OK):
        pytest.fail("QBLAST_BUILD_DIR must name the build folder holding qblast-check; it is %r" % folder)
    return folder


def offline(*service_options, build=None, environment=None):
    return subprocess.run([sys.executable, OFFLINE, build or build_folder()] + list(service_options),
                          env=dict(os.environ, **(environment or {})),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)


def last_line(text):
    lines = text.strip().splitlines()
    return lines[-1] if lines else ""


def test_the_offline_run_passes_with_exactly_the_programs_log():
    run = offline()
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [BANNER] + ANNOUNCED + ["Done"]
    assert run.stderr == ""


@pytest.mark.parametrize("options, rows, error", [
    # An HTTP failure of the nucleotide search's submission is the internet connection failing.
    (["--fail-http", "blastn:put:500"], 2, "MissingExternalDependencyError: internet connection failed"),
    # The protein search's errors are discarded, and then no result stream exists to read.
    (["--fail-job", "blastp"], 1, "NameError: global name 'handle' is not defined"),
    (["--fail-http", "blastp:results:503"], 1, "NameError: global name 'handle' is not defined"),
])
def test_a_fault_of_the_service_ends_the_run_the_programs_way(options, rows, error):
    run = offline(*options)
    assert run.returncode == 1
    assert run.stdout.splitlines() == [BANNER] + ANNOUNCED[:rows]
    assert last_line(run.stderr).endswith(error), run.stderr


SET_ASIDE = "qblast-check: the %s search failed and was set aside: "


@pytest.mark.parametrize("options, program, cause", [
    (["--fail-job", "blastp"], "blastp",
     re.compile(r"ValueError: BLAST search RID \w+ ended with status FAILED\b")),
    (["--fail-http", "blastp:results:503"], "blastp", re.compile(r"(urllib2\.)?HTTPError: HTTP Error 503: .+$")),
    # The reader is then given the nucleotide search's stream, which it has read already.
    (["--refuse", "blastx"], "blastx",
     re.compile(r"ValueError: the BLAST service refused the search: Refused by --refuse .+$")),
])
def test_a_discarded_search_error_is_named_on_standard_error(options, program, cause):
    run = offline(*options)
    assert run.returncode == 1
    named = [line for line in run.stderr.splitlines() if line.startswith(SET_ASIDE % program)]
    assert len(named) == 1, run.stderr
    assert cause.match(named[0][len(SET_ASIDE % program):]), named[0]
    assert not last_line(run.stderr).startswith("qblast-check:")


@pytest.mark.parametrize("options", [["--job-time", "blastn:1000"], ["--stall", "blastn:results:1000"]])
def test_a_stalled_search_ends_with_the_programs_own_timeout(options):
    # A deadline of its own for each search, as scripts/offline sets one: the program's error
    # comes long before the script's own limit.
    run = offline(*options, environment={"TARVO_BLAST_DEADLINE": "10"})
    assert run.returncode == 1, run.stderr
    assert run.stdout.splitlines() == [BANNER] + ANNOUNCED[:2]
    assert last_line(run.stderr).startswith("Tarvo.Blast.Skelda.SearchTimeout: "), run.stderr


@pytest.mark.parametrize("redirect", [">/dev/full", ">&-"])
def test_a_lost_log_is_a_failed_run(redirect):
    command = 'exec "$@" %s' % redirect
    run = subprocess.run(["sh", "-c", command, "sh", sys.executable, OFFLINE, build_folder()],
                         stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=120)
    assert run.returncode == 1, run.stderr
    assert re.search(r"^IOError: \[Errno \d+\] ", last_line(run.stderr)), run.stderr


# Stands in for the program: shows what it was given, names the service it was started beside,
# and ends with a status of its own.
STAND_IN = """#!/usr/bin/python3
import os, socket, sys, urllib.request
url = os.environ["TARVO_BLAST_URL"]
print(url, os.environ["TARVO_BLAST_MIN_INTERVAL"], os.environ["TARVO_BLAST_POLL_INTERVAL"],
      os.environ["TARVO_BLAST_DEADLINE"])
print(socket.getaddrinfo("www.ncbi.nlm.nih.gov", 80, 0, socket.SOCK_STREAM)[0][4][0])
with urllib.request.urlopen(url + "?CMD=Get&FORMAT_OBJECT=SearchInfo&RID=NONE", timeout=30) as answer:
    print("Status=UNKNOWN" in answer.read().decode())
for pid in filter(str.isdigit, os.listdir("/proc")):
    try:
        with open("/proc/%s/stat" % pid) as stat, open("/proc/%s/cmdline" % pid, "rb") as cmdline:
            parent, command = int(stat.read().rsplit(")", 1)[1].split()[1]), cmdline.read()
    except OSError:
        continue
    if parent == os.getppid() and b"blast_service.py" in command:
        print(pid)
sys.exit(7)
"""


def is_service(pid):
    try:
        with open("/proc/%s/cmdline" % pid, "rb") as cmdline:
            return b"blast_service.py" in cmdline.read()
    except OSError:
        return False


def stand_in_build(folder, with_database=True):
    program = folder / "qblast-check"
    program.write_text(STAND_IN)
    program.chmod(0o755)
    if with_database:
        (folder / "service").mkdir()
        (folder / "service" / "db").symlink_to(os.path.join(build_folder(), "service", "db"))
    return str(folder)


def test_the_program_gets_the_service_and_the_reliable_host_on_loopback_and_its_status_is_kept(tmp_path):
    run = offline(build=stand_in_build(tmp_path))
    assert run.returncode == 7, run.stderr
    first, address, answered, service = run.stdout.splitlines()
    url, settings = first.split(" ", 1)
    assert url.startswith("http://127.0.0.1:") and url.endswith("/Blast.cgi")
    assert (settings, address, answered) == ("0 0 120", "127.0.0.1", "True")
    # The service was stopped and reaped before the script ended.
    assert not is_service(service)


def test_a_deadline_of_the_users_own_is_kept(tmp_path):
    run = offline(build=stand_in_build(tmp_path), environment={"TARVO_BLAST_DEADLINE": "30"})
    assert run.returncode == 7, run.stderr
    assert run.stdout.split("\n", 1)[0].endswith(" 0 0 30")


def test_the_offline_script_says_what_is_missing(tmp_path):
    run = offline(build=str(tmp_path))
    assert run.returncode == 2 and "qblast-check" in run.stderr and "make build" in run.stderr
    no_database = offline(build=stand_in_build(tmp_path, with_database=False))
    assert no_database.returncode == 2 and "did not start" in no_database.stderr
    assert "cannot use the database" in no_database.stderr
    usage = subprocess.run([sys.executable, OFFLINE], capture_output=True, text=True, timeout=30)
    assert usage.returncode == 2 and "usage: scripts/offline <build-dir>" in usage.stderr
