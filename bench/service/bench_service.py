#!/usr/bin/env python3
"""Times the local BLAST service against BLAST+ run by hand on the same query: a search with
-outfmt 11, then blast_formatter -archive for the format asked for.

- For each report (the formats, and a query-anchored view of Text): the time from the submission
  to the formatted report in hand, one client alone, against one search and one formatting by
  hand; rounds of the two interleaved.
- Reports per second with 20 clients at once, each submitting, polling and fetching a report
  (the eight formats of the earlier figures in turn), against searches and formattings by hand
  with as many at once as the machine has processors. The aim is a ratio of 0.95 or more.

Each figure is a ratio (service / by hand: above 1 is slower for times, below 1 fewer per second).
Loopback only; every loop is bounded in count and in time. Nothing is asserted about speed.

    bench/service/bench_service.py [build] [--rounds N] [--clients N] [--budget SECONDS] [--throughput-rounds N]
"""
import argparse
import concurrent.futures
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from pathlib import Path

from running import start_service, stop_service

HERE = Path(__file__).resolve().parent
# A report's name -> (the fields that ask for it, blast_formatter's options for it).
FORMATS = {"XML": ({}, ["-outfmt", "5"]), "HTML": ({}, ["-outfmt", "0", "-html"]), "Text": ({}, ["-outfmt", "0"]),
           "Tabular": ({}, ["-outfmt", "7"]), "XML2_S": ({}, ["-outfmt", "16"]), "JSON2_S": ({}, ["-outfmt", "15"]),
           "XML2": ({}, ["-outfmt", "14"]), "JSON2": ({}, ["-outfmt", "13"]), "CSV": ({}, ["-outfmt", "10"]),
           "JSONSA": ({}, ["-outfmt", "12"]),
           "Anchored": (dict(FORMAT_TYPE="Text", ALIGNMENT_VIEW="QueryAnchored"), ["-outfmt", "1"])}
# The reports that 20 clients ask for in turn: the eight formats of the earlier figures.
THROUGHPUT_FORMATS = ["XML", "HTML", "Text", "Tabular", "XML2_S", "JSON2_S", "XML2", "JSON2"]
HITLIST_SIZE = 10
REQUEST_TIMEOUT = 60
SEARCH_DEADLINE = 120


class Refused(Exception):
    """The service answered without the report: its text says why."""


def query_of(db):
    """The check's protein query as FASTA: the service and BLAST+ by hand do the same search."""
    lines, keep = [">bench_query"], False
    for line in (db / "proteins.fasta").read_text().splitlines():
        if line.startswith(">"):
            keep = line.startswith(">gi|160837788|")
        elif keep:
            lines.append(line)
    return "\n".join(lines) + "\n"


def request(url, fields, post=False):
    assert url.startswith("http://127.0.0.1:"), url
    data = urllib.parse.urlencode(dict(fields, tool="bench_service", email="bench@localhost"))
    try:
        with urllib.request.urlopen(url if post else url + "?" + data, data.encode() if post else None,
                                    timeout=REQUEST_TIMEOUT) as answer:
            return answer.headers.get("Content-Type", ""), answer.read()
    except urllib.error.HTTPError as error:
        raise Refused("HTTP %d: %s" % (error.code, error.read(300)))


def info(page, key):
    found = re.search(rb"^\s*" + key.encode() + rb"\s*=\s*(\S+)", page, re.M)
    return found.group(1).decode() if found else None


def report_from_service(url, query, format_type, database="nr"):
    """Submission, polling and the report; its size in bytes."""
    _, page = request(url, dict(CMD="Put", PROGRAM="blastp", DATABASE=database, QUERY=query,
                                HITLIST_SIZE=HITLIST_SIZE), post=True)
    rid = info(page, "RID")
    if not rid:
        raise Refused("no RID: %r" % page[-300:])
    end = time.monotonic() + SEARCH_DEADLINE
    status = "WAITING"
    while status == "WAITING" and time.monotonic() < end:
        status = info(request(url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID=rid))[1], "Status")
    if status != "READY":
        raise Refused("search %s ended %s" % (rid, status))
    fields = dict(dict(FORMAT_TYPE=format_type), **FORMATS[format_type][0])
    content_type, body = request(url, dict(CMD="Get", RID=rid, **fields))
    page = content_type.startswith("text/html")
    # A HTML report carries the status block of a finished search; any other page is no report.
    if page and (info(body, "Status") not in (None, "READY") or b'class="error"' in body
                 or fields["FORMAT_TYPE"] != "HTML"):
        raise Refused("%s answered instead of a report: %r" % (content_type, body[:300]))
    return len(body)


def report_by_hand(db, query_file, folder, format_type):
    archive, out = folder / "archive.asn", folder / "report"
    subprocess.run(["blastp", "-db", str(db / "protein" / "nr"), "-query", str(query_file), "-outfmt", "11",
                    "-out", str(archive)], check=True, stderr=subprocess.DEVNULL)
    subprocess.run(["blast_formatter", "-archive", str(archive), "-max_target_seqs", str(HITLIST_SIZE),
                    "-out", str(out)] + FORMATS[format_type][1], check=True, stderr=subprocess.DEVNULL)


def timed(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def latency(url, db, query, query_file, scratch, rounds, budget):
    print("%-8s %10s %10s %8s %8s  (time from submission to report: median, ratios of medians and least)"
          % ("format", "service", "by hand", "median", "least"))
    for format_type in FORMATS:
        served, by_hand = [], []
        end = time.monotonic() + budget
        try:
            while len(served) < rounds and time.monotonic() < end:
                served.append(timed(lambda: report_from_service(url, query, format_type)))
                by_hand.append(timed(lambda: report_by_hand(db, query_file, scratch, format_type)))
        except Refused as refusal:
            print("%-8s refused: %s" % (format_type, str(refusal)[:200]))
            continue
        print("%-8s %9.3fs %9.3fs %8.2f %8.2f  (%d rounds)" % (
            format_type, statistics.median(served), statistics.median(by_hand),
            statistics.median(served) / statistics.median(by_hand), min(served) / min(by_hand), len(served)))


def rate(workers, task, count, budget):
    """Tasks done per second by `workers` at once, `count` tasks at most, none started after
    `budget` seconds; and the failures."""
    end = time.monotonic() + budget
    lock, failures, done = threading.Lock(), [], [0]
    tickets = iter(range(count))

    def worker():
        while time.monotonic() < end:
            with lock:
                ticket = next(tickets, None)
            if ticket is None:
                return
            try:
                task(ticket)
            except Refused as refusal:
                with lock:
                    failures.append(str(refusal))
                continue
            with lock:
                done[0] += 1
    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        for future in [pool.submit(worker) for _ in range(workers)]:
            future.result()
    return done[0] / (time.perf_counter() - start), failures


def throughput(url, db, query, query_file, scratch, clients, count, budget, rounds):
    """Reports per second, the service's and by hand, in `rounds` rounds of the two one after the
    other: a machine whose load changes meanwhile moves both sides of a round alike."""
    names = THROUGHPUT_FORMATS
    processors = os.cpu_count() or 1
    ratios = []
    for round_number in range(1, rounds + 1):
        served, failures = rate(clients, lambda n: report_from_service(url, query, names[n % len(names)]), count,
                                budget)
        folders = [Path(tempfile.mkdtemp(dir=scratch)) for _ in range(count)]
        by_hand, _ = rate(processors, lambda n: report_by_hand(db, query_file, folders[n], names[n % len(names)]),
                          count, budget)
        ratios.append(served / by_hand)
        print("reports per second, round %d: service %.2f with %d clients, by hand %.2f with %d at once: "
              "ratio %.2f%s" % (round_number, served, clients, by_hand, processors, ratios[-1],
                                "" if not failures else "  (%d refused, e.g. %s)" % (len(failures),
                                                                                       failures[0][:160])))
    print("reports per second: ratio %.2f (median of %d rounds; least %.2f, most %.2f)"
          % (statistics.median(ratios), len(ratios), min(ratios), max(ratios)))


def settings(description, rounds, what):
    """(arguments, database folder) of a service benchmark's command line: the build, --rounds
    (`rounds` of `what` by default), --clients, --reports and --budget."""
    parser = argparse.ArgumentParser(description=description.split("\n\n")[0])
    parser.add_argument("build", nargs="?", default=str(HERE.parents[1] / "build"))
    parser.add_argument("--rounds", type=int, default=rounds, help="rounds of %s (default %d)" % (what, rounds))
    parser.add_argument("--clients", type=int, default=20, help="clients at once (default 20)")
    parser.add_argument("--reports", type=int, default=80, help="reports fetched at most (default 80)")
    parser.add_argument("--budget", type=float, default=60, help="seconds at most for each measure (default 60)")
    parser.add_argument("--throughput-rounds", type=int, default=3,
                        help="rounds of the service's and by hand's reports per second (default 3)")
    args = parser.parse_args()
    db = Path(args.build).resolve() / "service" / "db"
    if not (db / "proteins.fasta").is_file():
        sys.exit("%s holds no database: build first" % db)
    return args, db


def main():
    args, db = settings(__doc__, 5, "each format")
    query = query_of(db)
    with tempfile.TemporaryDirectory(prefix="bench-service-") as scratch:
        query_file = Path(scratch) / "query.fasta"
        query_file.write_text(query)
        # As the offline run starts it: no estimated wait, status requests held until the search ends.
        service, url = start_service(db, scratch, "--rtoe", "0", "--status-wait", "10")
        try:
            latency(url, db, query, query_file, Path(scratch), args.rounds, args.budget)
            throughput(url, db, query, query_file, scratch, args.clients, args.reports, args.budget,
                       args.throughput_rounds)
        finally:
            stop_service(service)


if __name__ == "__main__":
    main()
