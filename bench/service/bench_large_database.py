#!/usr/bin/env python3
"""The local BLAST service on a large database of its own: 200,000 generated proteins (about
87 MB of FASTA, in families of ten, each sequence with a taxonomy id), built with makeblastdb
-parse_seqids -taxid_map in a temporary folder, as a user builds one or fetches NCBI's.

- The service's memory (resident, and its peak) once started and after the searches: the
  service's own process, not the BLAST+ processes it runs.
- Its start-up time, to the URL printed: serving the folder (--blastdb), and serving the FASTA
  file (--fasta) the first time (building it into the cache) and the next (from the cache).
- The time from the submission to the XML report in hand, one client alone, against one
  blastp -outfmt 5 run by hand on the same query and database; rounds of the two interleaved.
- XML reports per second with 8 clients at once, against blastp -outfmt 5 by hand with as many
  at once as the machine has processors.

Ratios are service / by hand. Loopback only; every loop is bounded in count and in time.
Nothing is asserted: it reports figures.

    bench/service/bench_large_database.py [--proteins N] [--rounds N] [--clients N] [--budget SECONDS]
"""
import argparse
import os
import random
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

from bench_service import HITLIST_SIZE, rate, report_from_service, timed
from running import start_service, stop_service

LETTERS = b"AAAAACCDDDEEEEFFGGGGHHIIIKKKKLLLLLLLMMNNNPPPPQQQRRRRSSSSSSTTTTVVVVVWYY"
ORGANISMS = [(9606, "Homo sapiens"), (10090, "Mus musculus"), (10116, "Rattus norvegicus"), (7227, "Drosophila "
             "melanogaster"), (3702, "Arabidopsis thaliana"), (4932, "Saccharomyces cerevisiae"), (7955, "Danio rerio")]
FAMILY = 10
NAME = "bigprot"


def protein_letters(rng, count):
    table = bytes(LETTERS[byte % len(LETTERS)] for byte in range(256))
    return rng.randbytes(count).translate(table)


def generate(folder, proteins, seed=11):
    """Writes the FASTA file and the taxonomy id map; the first family's ancestor, as a query."""
    rng = random.Random(seed)
    fasta, taxids = folder / "proteins.fasta", folder / "taxids.txt"
    query = None
    with open(fasta, "wb") as out, open(taxids, "w") as taxid_map:
        for number in range(proteins):
            if number % FAMILY == 0:
                ancestor = bytearray(protein_letters(rng, rng.randint(170, 590)))
                query = query or bytes(ancestor)
            member = bytearray(ancestor)
            for _ in range(3):   # three stretches changed: relatives, not copies
                start, length = rng.randrange(len(member)), rng.randint(10, 30)
                member[start:start + length] = protein_letters(rng, len(member[start:start + length]))
            taxid, organism = ORGANISMS[number % len(ORGANISMS)]
            accession = "XP_%06d.1" % (number + 1)
            out.write(b">gi|%d|ref|%s| protein %d [%s]\n" % (500000000 + number, accession.encode(), number,
                                                             organism.encode()))
            for start in range(0, len(member), 80):
                out.write(bytes(member[start:start + 80]) + b"\n")
            taxid_map.write("%s %d\n" % (accession, taxid))
    return fasta, taxids, query.decode()


def start(arguments, scratch):
    """(process, url, seconds to the URL printed)."""
    began = time.perf_counter()
    service, url = start_service(None, str(scratch), "--rtoe", "0", "--status-wait", "60",
                                 "--cache", str(scratch / "cache"), *arguments, ready_timeout=600)
    return service, url, time.perf_counter() - began


def memory(service):
    """(resident MiB, peak resident MiB) of the service's own process."""
    fields = {}
    with open("/proc/%d/status" % service.pid) as stream:
        for line in stream:
            name, _, value = line.partition(":")
            fields[name] = value.split()
    return int(fields["VmRSS"][0]) / 1024, int(fields["VmHWM"][0]) / 1024


def xml_from_service(url, query):
    report_from_service(url, query, "XML", database=NAME)


def xml_by_hand(databases, query_file, out):
    # As the service runs it: EXPECT 10, the hit list's size.
    subprocess.run(["blastp", "-db", NAME, "-query", str(query_file), "-outfmt", "5", "-evalue", "10",
                    "-max_target_seqs", str(HITLIST_SIZE), "-out", str(out)], env=dict(os.environ, BLASTDB=str(databases)),
                   check=True, stderr=subprocess.DEVNULL, timeout=300)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--proteins", type=int, default=200000, help="proteins in the database (default 200000)")
    parser.add_argument("--rounds", type=int, default=5, help="rounds of Put-to-XML (default 5)")
    parser.add_argument("--clients", type=int, default=8, help="clients at once (default 8)")
    parser.add_argument("--reports", type=int, default=48, help="reports fetched at most (default 48)")
    parser.add_argument("--budget", type=float, default=120, help="seconds at most for each measure (default 120)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-large-") as scratch:
        scratch = Path(scratch)
        databases = scratch / "blastdb"
        databases.mkdir()
        began = time.perf_counter()
        fasta, taxids, query = generate(scratch, args.proteins)
        made = time.perf_counter() - began
        built = timed(lambda: subprocess.run(
            ["makeblastdb", "-in", str(fasta), "-dbtype", "prot", "-parse_seqids", "-taxid_map", str(taxids),
             "-title", NAME, "-out", str(databases / NAME)], check=True, stdout=subprocess.DEVNULL))
        print("database: %d proteins, %.1f MB of FASTA (generated in %.1f s, makeblastdb %.1f s)"
              % (args.proteins, fasta.stat().st_size / 1e6, made, built))
        query_file = scratch / "query.fasta"
        query_file.write_text(">bench_query\n%s\n" % query)

        for label, arguments in (("--fasta, first start (builds)", ["--fasta", "%s=%s" % (NAME, fasta)]),
                                 ("--fasta, next start (cached)", ["--fasta", "%s=%s" % (NAME, fasta)])):
            service, _, seconds = start(arguments, scratch)
            print("start-up %-32s %6.2f s, memory %.1f MiB (peak %.1f MiB)" % (label, seconds, *memory(service)))
            stop_service(service)
        service, url, seconds = start(["--blastdb", str(databases)], scratch)
        try:
            print("start-up %-32s %6.2f s, memory %.1f MiB (peak %.1f MiB)" % ("--blastdb", seconds, *memory(service)))
            served, by_hand = [], []
            end = time.monotonic() + args.budget
            while len(served) < args.rounds and time.monotonic() < end:
                served.append(timed(lambda: xml_from_service(url, query)))
                by_hand.append(timed(lambda: xml_by_hand(databases, query_file, scratch / "by-hand.xml")))
            print("Put to XML: service %.3f s, blastp -outfmt 5 by hand %.3f s (medians of %d rounds): ratio %.2f "
                  "(least %.2f)" % (statistics.median(served), statistics.median(by_hand), len(served),
                                    statistics.median(served) / statistics.median(by_hand),
                                    min(served) / min(by_hand)))
            processors = len(os.sched_getaffinity(0))
            per_second, failures = rate(args.clients, lambda n: xml_from_service(url, query), args.reports,
                                        args.budget)
            hand_per_second, _ = rate(processors, lambda n: xml_by_hand(databases, query_file,
                                                                        scratch / ("hand-%d.xml" % n)),
                                      args.reports, args.budget)
            print("XML reports per second: service %.2f with %d clients, by hand %.2f with %d at once: ratio %.2f%s"
                  % (per_second, args.clients, hand_per_second, processors, per_second / hand_per_second,
                     "" if not failures else "  (%d failed, e.g. %s)" % (len(failures), failures[0][:160])))
            print("service memory after the searches: %.1f MiB (peak %.1f MiB)" % memory(service))
        finally:
            stop_service(service)


if __name__ == "__main__":
    main()
