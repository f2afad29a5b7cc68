"""Benchmark of the BLAST XML reader against plain expat (no handlers) on the same bytes.

Two reports that BLAST+ writes here, of the two shapes the reader must be quick on:

    one   one query with 20,000 hits of one HSP each (about 36 MB), read with read()
    many  200 queries with long alignments, 50 hits each (about 47 MB), read with parse()

and, to show that parse() streams, the first quarter of the queries of the second. Each
measurement runs in a process of its own, so that its peak resident size is its own; the
processor time of expat and of the reader on one report are taken one after the other, and the
rounds repeat, since other work on the machine slows either. The figure is expat's time over
the reader's: 1 would be as fast as expat alone; its median over the rounds, and the ratio of
the least times each side took in the run, which the noise disturbs least.

With --against DIR, the reader of another copy of lib/ (today's, say) is measured in the same
rounds, so that the two are compared under the same noise.

    python2.7 bench/reader/bench_reader.py [--rounds N] [--folder DIR] [--against LIB]
"""

import argparse
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
LIB = os.path.join(HERE, "..", "..", "lib")
PIECE = 64 * 1024
GOALS = {"one": 0.30, "many": 0.40}
PEAK_GOAL_MB = 60


def mutated(rand, sequence, rate):
    return "".join(rand.choice("ACGT") if rand.random() < rate else base for base in sequence)


def letters(rand, count):
    return "".join(rand.choice("ACGT") for _ in range(count))


def blast(folder, name, subjects, queries, *options):
    """BLAST+'s XML report of the queries against the subjects, each a list of (id, text,
    sequence); returns its path."""
    def write(path, records):
        with open(path, "w") as handle:
            for identifier, text, sequence in records:
                handle.write(">%s %s\n%s\n" % (identifier, text, sequence))
    database, query_file = (os.path.join(folder, name + suffix) for suffix in ("_db", ".fasta"))
    write(database + ".fasta", subjects)
    write(query_file, queries)
    with open(os.devnull, "w") as quiet:
        subprocess.check_call(["makeblastdb", "-in", database + ".fasta", "-dbtype", "nucl",
                               "-parse_seqids", "-out", database], stdout=quiet)
    report = os.path.join(folder, name + ".xml")
    with open(report, "wb") as handle:
        subprocess.check_call(["blastn", "-query", query_file, "-db", database, "-outfmt", "5",
                               "-dust", "no", "-num_threads", "2"] + list(options), stdout=handle)
    return report


def one_query_report(folder):
    rand = random.Random(7)
    query = letters(rand, 400)
    subjects = []
    for number in range(20000):
        start, end = rand.randrange(0, 60), rand.randrange(340, 400)
        subjects.append(("lcl|rel%05d" % number, "relative %d of the query" % number,
                         letters(rand, 50) + mutated(rand, query[start:end], 0.04) +
                         letters(rand, 50)))
    return blast(folder, "one", subjects, [("query1", "the query", query)],
                 "-max_target_seqs", "20000", "-max_hsps", "1")


def many_query_report(folder):
    rand = random.Random(11)
    families = [letters(rand, 1500) for _ in range(20)]
    subjects = [("lcl|fam%02d_%02d" % (family, member), "family %d member %d" % (family, member),
                 mutated(rand, base, 0.05))
                for family, base in enumerate(families) for member in range(50)]
    queries = []
    for number in range(200):
        start = rand.randrange(0, 200)
        queries.append(("query%03d" % number, "of family %d" % (number % 20),
                        mutated(rand, families[number % 20][start:start + 1250], 0.03)))
    return blast(folder, "many", subjects, queries, "-max_target_seqs", "100")


def first_queries(report, share, path):
    """The report cut down to the first share of its queries: a smaller one of its kind."""
    with open(report, "rb") as handle:
        text = handle.read()
    starts = [index for index in _find_all(text, "<Iteration>")]
    end = text.rindex("\n", 0, starts[int(len(starts) * share)]) + 1
    tail = text.index("</BlastOutput_iterations>")
    with open(path, "wb") as handle:
        handle.write(text[:end] + text[text.rindex("\n", 0, tail) + 1:])
    return path


def _find_all(text, what):
    index = text.find(what)
    while index >= 0:
        yield index
        index = text.find(what, index + 1)


def measure(kind, path, lib):
    """In this process: (processor seconds, queries, peak resident KiB) of one reading."""
    def processor():
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return usage.ru_utime + usage.ru_stime
    sys.path.insert(0, lib)
    import xml.parsers.expat
    from Tarvo.Blast import Morvin
    started = processor()
    queries = 0
    with open(path, "rb") as handle:
        if kind == "expat":
            parser = xml.parsers.expat.ParserCreate()
            while True:
                data = handle.read(PIECE)
                if not data:
                    break
                parser.Parse(data, False)
            parser.Parse("", True)
        elif kind == "read":
            Morvin.read(handle)
            queries = 1
        else:
            for _ in Morvin.parse(handle):
                queries += 1
    seconds = processor() - started
    return seconds, queries, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def run(kind, path, lib=LIB):
    output = subprocess.check_output([sys.executable, os.path.abspath(__file__), "--measure",
                                      kind, path, lib])
    seconds, queries, peak = output.split()
    return float(seconds), int(queries), int(peak) / 1024.0


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def main():
    arguments = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    arguments.add_argument("--rounds", type=int, default=5)
    arguments.add_argument("--folder", help="keep the reports here (default: a temporary one)")
    arguments.add_argument("--against", metavar="LIB",
                           help="also measure the reader of this copy of lib/")
    arguments.add_argument("--measure", nargs=3, help=argparse.SUPPRESS)
    options = arguments.parse_args()
    if options.measure:
        print("%r %d %d" % measure(*options.measure))
        return
    folder = options.folder or tempfile.mkdtemp(prefix="tarvo-bench-")
    if not os.path.isdir(folder):
        os.makedirs(folder)
    try:
        one, many = (os.path.join(folder, name + ".xml") for name in ("one", "many"))
        one = one if os.path.exists(one) else one_query_report(folder)
        many = many if os.path.exists(many) else many_query_report(folder)
        quarter = first_queries(many, 0.25, os.path.join(folder, "many_quarter.xml"))
        shapes = [("one", "read", one), ("many", "parse", many), ("quarter", "parse", quarter)]
        sides = [("lib", LIB)] + ([("against", options.against)] if options.against else [])
        keys = [(name, side) for name, _, _ in shapes for side, _ in sides]
        ratios = dict((key, []) for key in keys)
        # Each side's least time of the run: the machine's noise only ever adds to a time.
        least = dict((key, [float("inf"), float("inf")]) for key in keys)
        peaks = dict((key, 0.0) for key in keys)
        queries = {}
        for round_number in range(options.rounds):
            for name, kind, path in shapes:
                # The sides take turns at going first, as the machine's load drifts.
                turn = sides[round_number % len(sides):] + sides[:round_number % len(sides)]
                for side, lib in turn:
                    expat_seconds = run("expat", path)[0]
                    seconds, queries[name], peak = run(kind, path, lib)
                    key = (name, side)
                    ratios[key].append(expat_seconds / seconds)
                    least[key] = [min(least[key][0], expat_seconds), min(least[key][1], seconds)]
                    peaks[key] = max(peaks[key], peak)
        print("%-8s %-8s %-6s %7s %8s %9s %22s %12s %12s %10s" % (
            "report", "lib", "reader", "MB", "queries", "ratio", "(least .. most)",
            "least times", "least s", "peak MiB"))
        for name, kind, path in shapes:
            for side, _ in sides:
                key = (name, side)
                print("%-8s %-8s %-6s %7.1f %8d %9.3f %22s %12.3f %12.3f %10.1f" % (
                    name, side, kind, os.path.getsize(path) / 1e6, queries[name],
                    median(ratios[key]), "(%.3f .. %.3f)" % (min(ratios[key]), max(ratios[key])),
                    least[key][0] / least[key][1], least[key][1], peaks[key]))
        print("goals: ratio at least %.2f (one) and %.2f (many); peak at most %d MiB on one, "
              "and on many no more than on its quarter" % (GOALS["one"], GOALS["many"],
                                                          PEAK_GOAL_MB))
    finally:
        if not options.folder:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
