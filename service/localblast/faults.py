"""Faults the service can be told to inject, for testing clients (command-line options):
answer a program's submission, status or results request with an HTTP status, hold such a
response back for some seconds, make its searches fail, or make them take a given time.
PROGRAM is a program name or "any"."""
import argparse

from .submission import PROGRAMS

STEPS = ("put", "status", "results")


def program_name(text):
    if text not in PROGRAMS and text != "any":
        raise argparse.ArgumentTypeError("%r is not a program (%s) or \"any\"" % (text, ", ".join(sorted(PROGRAMS))))
    return text


def fields(text, count, form):
    parts = text.split(":")
    if len(parts) != count:
        raise argparse.ArgumentTypeError("expected %s, received %r" % (form, text))
    return parts


def step_name(text):
    if text not in STEPS:
        raise argparse.ArgumentTypeError("%r is not one of %s" % (text, ", ".join(STEPS)))
    return text


def seconds(text):
    try:
        number = float(text)
    except ValueError:
        number = -1.0
    if not 0 <= number < float("inf"):
        raise argparse.ArgumentTypeError("%r is not a number of seconds" % text)
    return number


def http_fault(text):
    """PROGRAM:STEP:STATUS, e.g. blastn:put:500."""
    program, step, status = fields(text, 3, "PROGRAM:STEP:STATUS such as blastn:put:500")
    if not status.isdigit() or not 400 <= int(status) <= 599:
        raise argparse.ArgumentTypeError("%r is not an HTTP error status (400 to 599)" % status)
    return (program_name(program), step_name(step)), int(status)


def stall(text):
    """PROGRAM:STEP:SECONDS, e.g. blastp:status:30."""
    program, step, duration = fields(text, 3, "PROGRAM:STEP:SECONDS such as blastp:status:30")
    return (program_name(program), step_name(step)), seconds(duration)


def job_time(text):
    """PROGRAM:SECONDS, e.g. blastx:5."""
    program, duration = fields(text, 2, "PROGRAM:SECONDS such as blastx:5")
    return program_name(program), seconds(duration)


def for_program(table, program, *key):
    """The value that `table` gives for a program (or for "any"), or None."""
    found = table.get((program,) + key if key else program)
    if found is None:
        found = table.get(("any",) + key if key else "any")
    return found


def add_options(parser):
    group = parser.add_argument_group("fault injection (for testing clients)")
    group.add_argument("--fail-http", type=http_fault, action="append", default=[], metavar="PROGRAM:STEP:STATUS",
                       help="answer the program's put, status or results requests with this HTTP status")
    group.add_argument("--stall", type=stall, action="append", default=[], metavar="PROGRAM:STEP:SECONDS",
                       help="hold the program's put, status or results responses back this long")
    group.add_argument("--fail-job", type=program_name, action="append", default=[], metavar="PROGRAM",
                       help="make the program's searches fail (status FAILED)")
    group.add_argument("--job-time", type=job_time, action="append", default=[], metavar="PROGRAM:SECONDS",
                       help="make the program's searches take at least this long")


class Faults:
    def __init__(self, fail_http=(), stall=(), fail_job=(), job_time=()):
        self.http = dict(fail_http)
        self.stall = dict(stall)
        self.failing = {program: True for program in fail_job}
        self.job_time = dict(job_time)

    @classmethod
    def from_options(cls, options):
        return cls(options.fail_http, options.stall, options.fail_job, options.job_time)

    def http_status(self, program, step):
        return for_program(self.http, program, step)

    def stall_seconds(self, program, step):
        return for_program(self.stall, program, step) or 0.0

    def job_failure(self, program):
        if for_program(self.failing, program):
            return "the search was made to fail (--fail-job)"
        return None

    def job_seconds(self, program):
        return for_program(self.job_time, program) or 0.0
