"""Gates in front of BLAST+ programs, for tests of a service run as a process: a program of the
same name, first on PATH, notes that it started and waits until its gate opens, then runs the
real program. A gate is a file that the test holds locked while it is closed (flock(1) waits
for it): a program killed while it waits leaves nothing running."""
import fcntl
import os
import shlex
import shutil
import time


def shim(real, marks, gate, options):
    """The script that stands in for `real`: it waits for the gate only when run with every
    one of `options`."""
    real, marks, gate = (shlex.quote(path) for path in (real, marks, gate))
    lines = ["#!/bin/sh"]
    for option in options:
        lines.append('case " $* " in *" %s "*) ;; *) exec %s "$@" ;; esac' % (option, real))
    lines += ["echo $$ >> %s" % marks, 'exec flock -s %s %s "$@"' % (gate, real)]
    return "\n".join(lines) + "\n"


class Gate:
    """A closed gate in front of `program` (optionally only when run with all of `options`),
    in the folder `folder`, which is to be put first on PATH."""

    def __init__(self, folder, program, options=()):
        self.program = program
        self.path = os.path.join(folder, program + ".gate")
        self.marks = os.path.join(folder, program + ".started")
        real = shutil.which(program)
        assert real, "%s is not on PATH" % program
        self._lock = open(self.path, "w")
        fcntl.flock(self._lock, fcntl.LOCK_EX)
        open(self.marks, "w").close()
        script = os.path.join(folder, program)
        with open(script, "w") as stream:
            stream.write(shim(real, self.marks, self.path, options))
        os.chmod(script, 0o755)

    def started(self):
        """How many runs have reached the gate so far."""
        with open(self.marks) as stream:
            return len(stream.read().split())

    def wait_started(self, count, timeout=120):
        """Waits until `count` runs have reached the gate; AssertionError after `timeout` s."""
        end = time.monotonic() + timeout
        while self.started() < count:
            assert time.monotonic() < end, "%d runs of %s reached the gate within %s s, not %d" % (
                self.started(), self.program, timeout, count)
            time.sleep(0.02)

    def open(self):
        if not self._lock.closed:
            fcntl.flock(self._lock, fcntl.LOCK_UN)
            self._lock.close()
