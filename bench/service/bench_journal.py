#!/usr/bin/env python3
"""The request journal's cost per request.

- In this process: the time to journal one request (a submission with a 1 kB FASTA query, tool
  and email; a status request), into a journal that keeps the default 1000 entries; and the time
  to answer GET /journal with all of them.
- Over HTTP: status requests per second from a few clients on kept-alive connections, against a
  service that keeps the journal (--journal 1000) and one that keeps none (--journal 0); rounds
  of the two interleaved.

Loopback only; every loop is bounded in count and in time. Nothing is asserted about speed.

    bench/service/bench_journal.py [build] [--rounds N] [--requests N] [--clients N]
"""
import argparse
import concurrent.futures
import http.client
import statistics
import sys
import tempfile
import time
from pathlib import Path

from running import SERVICE, start_service, stop_service

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(SERVICE.parent))

from localblast.journal.journal import DEFAULT_SIZE, Journal  # noqa: E402

QUERY = ">bench_query a protein of the bench\n" + "\n".join(["MKTAYIAKQRQISFVKSHFSRQLEERLGLIEVQAPILSRVGDGTQDNLSGAEK"
                                                             "AVQVKVKALPDAQFEVVHSLAKWKRQTLGQHDFSAGEGLYTHMKALRPDEDRL"]
                                                            * 8)
PUT = {"CMD": ["Put"], "PROGRAM": ["blastp"], "DATABASE": ["nr"], "QUERY": [QUERY], "HITLIST_SIZE": ["10"],
       "TOOL": ["bench_journal"], "EMAIL": ["bench@localhost"]}
STATUS = {"CMD": ["Get"], "FORMAT_OBJECT": ["SearchInfo"], "RID": ["ABCDEF00001"], "TOOL": ["bench_journal"],
          "EMAIL": ["bench@localhost"]}
DEADLINE = 120


def per_record(form, count):
    """Microseconds to journal one request of `form`, the journal full."""
    journal = Journal(DEFAULT_SIZE)
    for _ in range(DEFAULT_SIZE):
        journal.record("POST", "/Blast.cgi", form, "127.0.0.1", 200, "ABCDEF00001", 1, [])
    start = time.perf_counter()
    for _ in range(count):
        journal.record("POST", "/Blast.cgi", form, "127.0.0.1", 200, "ABCDEF00001", 1, [])
    return (time.perf_counter() - start) / count * 1e6, journal


def in_process(count):
    put, journal = per_record(PUT, count)
    status, _ = per_record(STATUS, count)
    start = time.perf_counter()
    text = "".join(journal.answer(""))
    whole = time.perf_counter() - start
    print("journaling one request: %.1f us (a submission with a %d-character query), %.1f us (a status request)"
          % (put, len(QUERY), status))
    print("GET /journal with %d entries: %.1f ms, %d bytes" % (DEFAULT_SIZE, whole * 1e3, len(text)))


def client(url, count, end):
    """Status requests one after another on one connection: how many were answered."""
    port = int(url.split(":")[2].split("/")[0])
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    path = "/Blast.cgi?CMD=Get&FORMAT_OBJECT=SearchInfo&RID=ABCDEF00001&tool=bench_journal&email=bench@localhost"
    done = 0
    try:
        while done < count and time.monotonic() < end:
            connection.request("GET", path)
            answer = connection.getresponse()
            answer.read()
            if answer.status != 200:
                raise RuntimeError("HTTP %d" % answer.status)
            done += 1
    finally:
        connection.close()
    return done


def requests_per_second(url, clients, count):
    end = time.monotonic() + DEADLINE
    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(clients) as pool:
        done = sum(future.result() for future in [pool.submit(client, url, count // clients, end)
                                                  for _ in range(clients)])
    return done / (time.perf_counter() - start)


def over_http(db, rounds, count, clients):
    with tempfile.TemporaryDirectory(prefix="bench-journal-") as scratch:
        services = {size: start_service(db, scratch, "--rtoe", "0", "--journal", str(size)) for size in (DEFAULT_SIZE, 0)}
        try:
            rates = {size: [] for size in services}
            for _ in range(rounds):
                for size, (_, url) in services.items():
                    rates[size].append(requests_per_second(url, clients, count))
        finally:
            for service, _ in services.values():
                stop_service(service)
    kept, none = statistics.median(rates[DEFAULT_SIZE]), statistics.median(rates[0])
    print("status requests per second, %d clients: %.0f with the journal, %.0f without: ratio %.3f (medians of %d "
          "rounds); %.0f us a request more" % (clients, kept, none, kept / none, rounds, (1 / kept - 1 / none) * 1e6))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", nargs="?", default=str(HERE.parents[1] / "build"))
    parser.add_argument("--rounds", type=int, default=5, help="rounds of each service (default 5)")
    parser.add_argument("--requests", type=int, default=2000, help="status requests a round (default 2000)")
    parser.add_argument("--clients", type=int, default=4, help="clients at once (default 4)")
    args = parser.parse_args()
    db = Path(args.build).resolve() / "service" / "db"
    if not (db / "proteins.fasta").is_file():
        sys.exit("%s holds no database: build first" % db)
    in_process(20000)
    over_http(db, args.rounds, args.requests, args.clients)


if __name__ == "__main__":
    main()
