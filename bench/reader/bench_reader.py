"""Benchmark of the BLAST XML reader: its MB/s beside plain expat's on the same bytes, and its
peak memory as the report grows.

BLAST+ writes the report (families of related sequences, so every query has many hits with
long alignments); larger reports repeat its queries. Each measurement runs in a process of
its own so that its peak resident size is its own.

    python2.7 bench/reader/bench_reader.py [--queries N] [--repeat R] [--folder DIR]
"""

import argparse
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "lib"))

CHUNK = 64 * 1024


def make_report(folder, queries):
    """A BLAST+ blastn report with many hits per query; returns its path."""
    rand = random.Random(7)

    def mutate(sequence, rate):
        return "".join(rand.choice("ACGT") if rand.random() < rate else c for c in sequence)

    families = [("".join(rand.choice("ACGT") for _ in range(1500))) for _ in range(20)]
    database = os.path.join(folder, "db.fasta")
    with open(database, "w") as handle:
        for family, base in enumerate(families):
            for copy in range(50):
                handle.write(">lcl|fam%d_copy%d family %d copy %d\n%s\n" % (
                    family, copy, family, copy, mutate(base, 0.08)))
    query_file = os.path.join(folder, "queries.fasta")
    with open(query_file, "w") as handle:
        for number in range(queries):
            base = families[number % len(families)]
            start = rand.randrange(0, 400)
            handle.write(">query%d from family %d\n%s\n" % (
                number, number % len(families), mutate(base[start:start + 1000], 0.05)))
    subprocess.check_call(["makeblastdb", "-in", database, "-dbtype", "nucl", "-out",
                           os.path.join(folder, "db")], stdout=open(os.devnull, "w"))
    report = os.path.join(folder, "report.xml")
    with open(report, "wb") as handle:
        subprocess.check_call(["blastn", "-task", "blastn", "-query", query_file,
                               "-db", os.path.join(folder, "db"), "-outfmt", "5",
                               "-max_target_seqs", "100", "-num_threads", "2"], stdout=handle)
    return report


def repeat_iterations(report, times, path):
    """The report with its queries written `times` times over: a larger report of one kind."""
    with open(report, "rb") as handle:
        text = handle.read()
    start = text.index("<Iteration>")
    start = text.rindex("\n", 0, start) + 1
    end = text.index("</BlastOutput_iterations>")
    end = text.rindex("\n", 0, end) + 1
    with open(path, "wb") as handle:
        handle.write(text[:start])
        for _ in range(times):
            handle.write(text[start:end])
        handle.write(text[end:])
    return path


def measure(kind, path):
    """Run one measurement in this process: (seconds, records, peak resident KiB)."""
    started = time.time()
    records = 0
    with open(path, "rb") as handle:
        if kind == "expat":
            import xml.parsers.expat
            parser = xml.parsers.expat.ParserCreate()
            while True:
                data = handle.read(CHUNK)
                if not data:
                    break
                parser.Parse(data, False)
            parser.Parse("", True)
        else:
            from Tarvo.Blast import Morvin
            for _ in Morvin.parse(handle):
                records += 1
    seconds = time.time() - started
    return seconds, records, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def run_measurement(kind, path):
    output = subprocess.check_output([sys.executable, os.path.abspath(__file__),
                                      "--measure", kind, path])
    seconds, records, peak = output.split()
    return float(seconds), int(records), int(peak)


def main():
    arguments = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    arguments.add_argument("--queries", type=int, default=60)
    arguments.add_argument("--repeat", type=int, default=8,
                           help="the large report holds the queries this many times")
    arguments.add_argument("--folder", help="keep the reports here (default: a temporary one)")
    arguments.add_argument("--measure", nargs=2, help=argparse.SUPPRESS)
    options = arguments.parse_args()
    if options.measure:
        print("%r %d %d" % measure(*options.measure))
        return
    folder = options.folder or tempfile.mkdtemp(prefix="tarvo-bench-")
    if not os.path.isdir(folder):
        os.makedirs(folder)
    try:
        report = make_report(folder, options.queries)
        small = repeat_iterations(report, 1, os.path.join(folder, "small.xml"))
        large = repeat_iterations(report, options.repeat, os.path.join(folder, "large.xml"))
        print("%-8s %-7s %9s %8s %8s %9s %14s" % ("report", "parser", "MB", "queries", "seconds",
                                                  "MB/s", "peak RSS (MiB)"))
        for label, path in (("small", small), ("large", large)):
            megabytes = os.path.getsize(path) / 1e6
            for kind in ("expat", "reader"):
                seconds, records, peak = run_measurement(kind, path)
                print("%-8s %-7s %9.1f %8s %8.2f %9.1f %14.1f" % (
                    label, kind, megabytes, records if kind == "reader" else "-", seconds,
                    megabytes / seconds, peak / 1024.0))
    finally:
        if not options.folder:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
