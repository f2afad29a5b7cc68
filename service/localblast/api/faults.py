"""The faults the service was told to inject (see options.py), looked up by program: a
program's own entry, else the entry for "any"."""

REFUSED = "Refused by --refuse (a fault injected for testing)"


def for_program(table, program, *key):
    """The value that `table` gives for a program (or for "any"), or None."""
    found = table.get((program,) + key if key else program)
    if found is None:
        found = table.get(("any",) + key if key else "any")
    return found


class Faults:
    def __init__(self, fail_http=(), stall=(), fail_job=(), job_time=(), refuse=()):
        self.http = dict(fail_http)
        self.stall = dict(stall)
        self.failing = {program: True for program in fail_job}
        self.refusing = {program: True for program in refuse}
        self.job_time = dict(job_time)

    @classmethod
    def from_options(cls, options):
        return cls(options.fail_http, options.stall, options.fail_job, options.job_time, options.refuse)

    def http_status(self, program, step):
        return for_program(self.http, program, step)

    def stall_seconds(self, program, step):
        return for_program(self.stall, program, step) or 0.0

    def refusal(self, program):
        """The error text that answers the program's submissions instead of a search, or None."""
        return REFUSED if for_program(self.refusing, program) else None

    def job_failure(self, program):
        if for_program(self.failing, program):
            return "the search was made to fail (--fail-job)"
        return None

    def job_seconds(self, program):
        return for_program(self.job_time, program) or 0.0
