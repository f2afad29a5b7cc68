#!/usr/bin/env python3
"""Times the whole program over an instant stand-in toolkit against the floor it cannot go
below: the same interpreter starting and importing socket and urllib2. Reports the ratio of
the medians, measured in one run with the two interleaved, and each one's peak memory."""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tests" / "process"))
from conftest import passing_records  # noqa: E402  (the records that pass the table's checks)

TOOLKIT = {
    "Tarvo/__init__.py": "class MissingExternalDependencyError(Exception):\n    pass\n",
    "Tarvo/Blast/__init__.py": "",
    "Tarvo/Blast/Skelda.py": "import StringIO\n\ndef qblast(program, database, query, **options):\n"
                             "    return StringIO.StringIO(program)\n",
    "Tarvo/Blast/Morvin.py": "class Entry(object):\n    def __init__(self, **fields):\n"
                             "        self.__dict__.update(fields)\n\n"
                             "RECORDS = %s\n\n"
                             "def read(handle):\n"
                             "    fields = dict(RECORDS[handle.read()])\n"
                             "    fields['alignments'] = [Entry(**a) for a in fields['alignments']]\n"
                             "    fields['descriptions'] = [Entry(**d) for d in fields['descriptions']]\n"
                             "    return Entry(**fields)\n",
}


def timed(command, env):
    """Wall time of one run."""
    start = time.perf_counter()
    completed = subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if completed.returncode != 0:
        sys.exit("%s failed: %s" % (command[0], completed.stderr.decode()))
    return elapsed


def peak_memory(command, env, folder):
    """Peak resident memory (KiB) of one run. Measured through GNU time: a child forked from
    this (large) Python process would report this process's memory as its own peak."""
    report = folder / "peak"
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(report), *command], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return int(report.read_text().split()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("build", nargs="?", default=str(HERE.parents[1] / "build"))
    parser.add_argument("--runs", type=int, default=60)
    args = parser.parse_args()

    python2 = Path(subprocess.check_output(["pyenv", "prefix", "2.7.18"], text=True).strip()) / "bin" / "python2.7"
    records = {row["application"].lower(): row for row in passing_records()}
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        for name, text in TOOLKIT.items():
            (folder / name).parent.mkdir(parents=True, exist_ok=True)
            (folder / name).write_text(text % repr(records) if "%s" in text else text)
        shutil.copy2(Path(args.build) / "qblast-check", folder / "qblast-check")
        (folder / "hosts").write_text("127.0.0.1 www.ncbi.nlm.nih.gov\n")
        env = {"PATH": os.environ["PATH"], "LD_PRELOAD": "libnss_wrapper.so",
               "NSS_WRAPPER_HOSTS": str(folder / "hosts")}
        program = [str(folder / "qblast-check")]
        floor = [str(python2), "-c", "import socket, urllib2"]
        for command in (program, floor):  # warm the page cache
            timed(command, env)
        times = {"program": [], "floor": []}
        for _ in range(args.runs):
            times["program"].append(timed(program, env))
            times["floor"].append(timed(floor, env))
        program_peak = max(peak_memory(program, env, folder) for _ in range(3))
        floor_peak = max(peak_memory(floor, env, folder) for _ in range(3))

    program_median = statistics.median(times["program"])
    floor_median = statistics.median(times["floor"])
    print("runs each:        %d (interleaved)" % args.runs)
    print("program median:   %.2f ms, peak RSS %d KiB" % (program_median * 1e3, program_peak))
    print("floor median:     %.2f ms, peak RSS %d KiB  (python2.7 -c 'import socket, urllib2')"
          % (floor_median * 1e3, floor_peak))
    print("ratio of medians: %.3f (goal: at most 1.05)" % (program_median / floor_median))


if __name__ == "__main__":
    main()
