#!/usr/bin/env python3
"""Reports per second from the local BLAST service with --state (its searches recorded in
SQLite, reports renamed once whole) against without it (a temporary folder), with 20 clients at
once, each submitting, polling and fetching a report (the formats in turn).

Rounds of the two alternate, each on a service of its own (with a fresh state folder), which of
the two goes first changing every round, so that the machine's other work weighs on both alike.
The figure is the ratio of the median rates (with / without: below 1 is slower); on a busy
machine it scatters, and the service's own processor time per report, which the machine's other
work does not change, tells the cost of the state apart. Loopback only; every loop is bounded in count and in time.
Nothing is asserted about speed.

    bench/service/bench_state.py [build] [--rounds N] [--clients N] [--reports N] [--budget SECONDS]
"""
import os
import statistics
import tempfile

from bench_service import FORMATS, query_of, rate, report_from_service, settings
from running import start_service, stop_service


def processor_seconds(pid):
    """The processor time a process has used itself (its BLAST+ children not counted)."""
    with open("/proc/%d/stat" % pid) as stream:
        fields = stream.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def round_rate(db, scratch, query, clients, count, budget, state):
    """Reports per second of one service, its own processor seconds per report, and the refusals."""
    # As the offline run starts it: no estimated wait, status requests held until the search ends.
    arguments = ["--rtoe", "0", "--status-wait", "10"]
    arguments += ["--state", tempfile.mkdtemp(prefix="state-", dir=scratch)] if state else []
    service, url = start_service(db, scratch, *arguments)
    names = list(FORMATS)
    try:
        served, failures = rate(clients, lambda n: report_from_service(url, query, names[n % len(names)]), count,
                                budget)
        return served, processor_seconds(service.pid) / max(1, count - len(failures)), failures
    finally:
        stop_service(service)


def main():
    args, db = settings(__doc__, 3, "each")
    query = query_of(db)
    rates, costs, refusals = {False: [], True: []}, {False: [], True: []}, []
    with tempfile.TemporaryDirectory(prefix="bench-state-") as scratch:
        for number in range(args.rounds):
            for state in ((False, True) if number % 2 == 0 else (True, False)):
                served, cost, failures = round_rate(db, scratch, query, args.clients, args.reports, args.budget,
                                                    state)
                rates[state].append(served)
                costs[state].append(cost)
                refusals += failures
    without, with_state = statistics.median(rates[False]), statistics.median(rates[True])
    print("reports per second with %d clients (median of %d rounds): without --state %.2f, with --state %.2f: "
          "ratio %.2f%s" % (args.clients, args.rounds, without, with_state, with_state / without,
                            "" if not refusals else "  (%d refused, e.g. %s)" % (len(refusals), refusals[0][:160])))
    print("rounds without: %s; with: %s" % (" ".join("%.2f" % r for r in rates[False]),
                                            " ".join("%.2f" % r for r in rates[True])))
    print("the service's own processor time per report (median; BLAST+ not counted): without %.1f ms, with %.1f ms"
          % (1000 * statistics.median(costs[False]), 1000 * statistics.median(costs[True])))

if __name__ == "__main__":
    main()
