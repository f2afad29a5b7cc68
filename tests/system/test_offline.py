"""The whole check offline: scripts/offline runs the built program with the real toolkit
against the local BLAST service, with and without injected faults."""
import os
import subprocess
import sys

import pytest

REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPOSITORY, "tests", "service"))
from check_queries import ROW_QUERIES  # noqa: E402

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


def offline(*service_options, build=None):
    return subprocess.run([sys.executable, OFFLINE, build or build_folder()] + list(service_options),
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


def test_the_offline_script_says_what_is_missing(tmp_path):
    run = offline(build=str(tmp_path))
    assert run.returncode == 2 and "qblast-check" in run.stderr and "make build" in run.stderr
    usage = subprocess.run([sys.executable, OFFLINE], capture_output=True, text=True, timeout=30)
    assert usage.returncode == 2 and "usage: scripts/offline <build-dir>" in usage.stderr
