#!/usr/bin/env python3
"""The store's cost per request against the number of finished searches it holds.

In this process, with a stand-in for BLAST+ that writes a small archive: the store is filled
with N finished searches, then the time of a status lookup (which first lets go of what has
expired) and of a submission and its deletion is taken, for N from 1,000 to 50,000. A cost that
grows with N is a walk of every search held under the store's lock, which every other request
waits for.

Bounded in count and in time; nothing is asserted about speed.

    bench/service/bench_store.py [build] [--sizes N,N,...] [--requests N]
"""
import argparse
import os
import random
import sys
import time

from running import SERVICE

sys.path.insert(0, str(SERVICE.parent))

from localblast.runs.blast import ARCHIVE, Outcome  # noqa: E402
from localblast.store.jobs import JobStore  # noqa: E402

DEADLINE = 300


def run(search, folder):
    with open(os.path.join(folder, ARCHIVE), "w") as stream:
        stream.write("archive of %s\n" % search)
    return Outcome(True)


def filled(size):
    store = JobStore(run, 86400, size + 10, 2, log=lambda message: None)
    rids = [store.submit("blastp", number) for number in range(size)]
    end = time.monotonic() + DEADLINE
    for rid in rids:
        while store.lookup(rid)[1].finished is None:
            if time.monotonic() > end:
                raise SystemExit("the store did not finish %d searches within %d s" % (size, DEADLINE))
            time.sleep(0.01)
    return store, rids


def per_request(size, requests):
    store, rids = filled(size)
    try:
        chosen = random.Random(size).choices(rids, k=requests)
        start = time.perf_counter()
        for rid in chosen:
            store.lookup(rid)
        lookup = (time.perf_counter() - start) / requests
        start = time.perf_counter()
        for number in range(requests):
            store.delete(store.submit("blastp", "more %d" % number))
        submission = (time.perf_counter() - start) / requests
    finally:
        store.close()
    return lookup, submission


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", nargs="?", default="build", help="unused: the store needs no build")
    parser.add_argument("--sizes", default="1000,10000,50000")
    parser.add_argument("--requests", type=int, default=2000)
    arguments = parser.parse_args()
    for size in (int(text) for text in arguments.sizes.split(",")):
        lookup, submission = per_request(size, arguments.requests)
        print("%6d finished searches held: a status lookup %.1f us, a submission and its deletion %.1f us"
              % (size, lookup * 1e6, submission * 1e6))


if __name__ == "__main__":
    main()
