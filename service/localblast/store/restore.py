"""A restarted store's searches, rebuilt from its ledger and checked against its folders: a
finished search whose run's files are all there, each of the size recorded, is READY with the
reports and the files made for them that are whole; one that was running, or whose run's files
are not whole, runs again, unless stops have cut it short too often; anything in the folders
that no record names is removed."""
import json
import os
import re

from ..files import remove
from .job import Job
from .ledger import decode_search
from .listing import query_title

# Runs a search may start: one that the service's stops (or crashes) cut short this often is
# failed instead of being run again, as it may be what brings the service down.
MAX_ATTEMPTS = 3
RID = re.compile(r"[A-Z0-9]{1,40}", re.ASCII)


def whole(folder, files):
    """True if every file of `files` ({name: size}) is in `folder` with its size."""
    try:
        return all(os.path.getsize(os.path.join(folder, name)) == size for name, size in files.items())
    except OSError:
        return False


def job_of(row, at):
    """The Job a ledger's row records (`at` turns its wall-clock times into the store's clock)."""
    job = Job(row["rid"], row["program"], None, at(row["submitted"]), at(row["ready_after"]), row["failure"])
    job.attempts, job.fetched, job.used = row["attempts"], bool(row["fetched"]), at(row["used"])
    job.record = len(row["search"].encode("utf-8"))
    try:
        job.search = decode_search(row["search"])
        job.title = query_title(job.search)
    except (TypeError, ValueError) as error:
        job.error = ("the search was recorded by a version of the service whose records this one cannot read (%s)"
                     % error)
        return job
    if row["finished"] is not None:
        job.finished, job.error, job.has_hits = at(row["finished"]), row["error"], bool(row["has_hits"])
        job.files, job.derived = json.loads(row["files"]), json.loads(row["derived"])
    return job


def restored(ledger, place, at, wall, now, keep, log):
    """(jobs, reports) of a restarted store: the Jobs held, oldest first (those to run again
    without a finished time), and (job, key, path, size) of their kept reports, least recently
    used first. What is dropped goes from the ledger and the folders. `at` and `wall` turn
    wall-clock times into the store's clock and back."""
    jobs, counts = [], {"READY": 0, "FAILED": 0, "to run again": 0}
    for row in ledger.searches():
        if not RID.fullmatch(row["rid"]):
            ledger.forget(row["rid"])
            continue
        job = job_of(row, at)
        folder = place.search(job.rid)
        if job.finished is not None and now - job.done_at() > keep:
            ledger.forget(job.rid)
            continue
        if job.finished is not None and job.error is None:
            if whole(folder, job.files):
                job.folder = folder
                derived = {name: size for name, size in job.derived.items() if whole(folder, {name: size})}
                if derived != job.derived:    # made again when they are needed
                    job.derived = derived
                    ledger.derived(job)
            else:   # its results are not whole: it runs again
                job.finished, job.files, job.derived = None, {}, {}
        if job.finished is None and (job.search is None or job.attempts >= MAX_ATTEMPTS):
            job.finished = job.used = now
            job.error = job.error or ("the service stopped while this search ran, %d times; it is not run again"
                                      % job.attempts)
            ledger.finished(job, wall(now), wall(now))
        jobs.append(job)
        counts["to run again" if job.finished is None else "FAILED" if job.error else "READY"] += 1
    held = {job.rid: job for job in jobs}
    reports = []
    for rid, key, name, size, used in ledger.reports():
        job = held.get(rid)
        path = os.path.join(job.folder, name) if job is not None and job.folder is not None else None
        if path is not None and whole(job.folder, {name: size}):
            reports.append((job, key, path, size))
            job.used = max(job.used, at(used))   # a search's use is recorded with its reports'
        else:
            ledger.forget_report(rid, key)
    sweep(place, jobs, reports)
    if jobs:
        log("found %d search%s in %s: %s" % (len(jobs), "es" if len(jobs) > 1 else "", place.path, ", ".join(
            "%d %s" % (count, name) for name, count in counts.items() if count)))
    return jobs, reports


def sweep(place, jobs, reports):
    """Removes what no record names: folders of searches not held or not finished, and files a
    stop left (reports being made, a run's work) in those of finished ones."""
    kept = {job.rid: set(job.files) | set(job.derived) for job in jobs if job.folder is not None}
    for job, _, path, _ in reports:
        kept[job.rid].add(os.path.basename(path))
    for entry in os.scandir(place.searches):
        if entry.name not in kept:
            remove(entry.path)
            continue
        for inner in os.scandir(entry.path):
            if inner.name not in kept[entry.name]:
                remove(inner.path)
