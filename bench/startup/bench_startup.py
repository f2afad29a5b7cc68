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

# One hit of each search's expected list, by program: with the query echoed, enough for every
# check of the program's table to pass.
EXPECTED_HIT = {"blastp": "9506405", "blastn": "37953274", "blastx": "18409071"}

# The stand-in toolkit answers at once: the search hands its arguments to the read, which makes
# the record that echoes them.
TOOLKIT = {
    "Tarvo/__init__.py": "class MissingExternalDependencyError(Exception):\n    pass\n",
    "Tarvo/Blast/__init__.py": "",
    "Tarvo/Blast/Skelda.py": "def qblast(program, database, query, expect=None, **options):\n"
                             "    return program, query, expect\n",
    "Tarvo/Blast/Morvin.py": "class Entry(object):\n    def __init__(self, **fields):\n"
                             "        self.__dict__.update(fields)\n\n"
                             "EXPECTED_HIT = %r\n\n"
                             "def read(handle):\n"
                             "    program, query, expect = handle\n"
                             "    fasta = query.startswith('>')\n"
                             "    hit = 'gi|%%s|' %% EXPECTED_HIT[program]\n"
                             "    return Entry(application=program.upper(), query_id='Query_1',\n"
                             "                 query=query[1:].split('\\n')[0] if fasta else 'No definition line',\n"
                             "                 query_letters=len(query), expect=repr(expect),\n"
                             "                 alignments=[Entry(hit_id=hit)],\n"
                             "                 descriptions=[Entry(accession='X', title=hit + ' sequence')])\n"
                             % EXPECTED_HIT,
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
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        for name, text in TOOLKIT.items():
            (folder / name).parent.mkdir(parents=True, exist_ok=True)
            (folder / name).write_text(text)
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
