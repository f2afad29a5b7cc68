"""The store's disk budget: the bytes its searches and their reports take, against a limit
(--max-disk). The reports are kept in the order of their last use, so that the least recently
used can go first when room is needed."""
import collections
import re
import shutil

# Without --max-disk: this share of the space free on the store's file system at start, so
# that a busy service never fills the disk it shares with others.
FREE_SHARE = 0.5
UNITS = {"": 1, "K": 1024, "M": 1024 ** 2, "G": 1024 ** 3, "T": 1024 ** 4}
SIZE = re.compile(r"([0-9]{1,15})(\.[0-9]{1,6})?\s?([KMGT]?)(?:I?B)?", re.IGNORECASE | re.ASCII)


def parse_size(text):
    """Bytes of a size such as "500M", "2G", "1.5GiB" or "1000000" (K, M, G, T: powers of
    1024); None for anything else."""
    found = SIZE.fullmatch(text.strip())
    if not found:
        return None
    whole, fraction, unit = found.groups()
    return int(float(whole + (fraction or "")) * UNITS[unit.upper()])


def shown(size):
    """A size for people: "1.5 GiB", "300 KiB", "12 bytes"."""
    for unit in ("T", "G", "M", "K"):
        if size >= UNITS[unit]:
            return "%.3g %siB" % (size / UNITS[unit], unit)
    return "%d bytes" % size


def default_limit(folder, held):
    """Half the space the store may have on the file system of `folder`: what is free there,
    and the `held` bytes it already takes (a restart must not shrink the limit it grew under)."""
    return int((shutil.disk_usage(folder).free + held) * FREE_SHARE)


class DiskLimit(OSError):
    """What the store's disk limit leaves no room for; the message names the limit."""


class DiskBudget:
    def __init__(self, limit):
        self.limit = limit
        self.used = 0
        self._reports = collections.OrderedDict()    # (rid, key) -> size, least recently used first

    def fits(self, extra=0):
        return self.used + extra <= self.limit

    def take(self, size):
        self.used += size

    def give_back(self, size):
        self.used -= size

    def report_kept(self, rid, key, size):
        self._reports[(rid, key)] = size
        self.used += size

    def report_used(self, rid, key):
        self._reports.move_to_end((rid, key))

    def report_gone(self, rid, key):
        self.used -= self._reports.pop((rid, key), 0)

    def reports_size(self):
        return sum(self._reports.values())

    def least_used_report(self):
        """(rid, key) of the report asked for least recently, or None."""
        return next(iter(self._reports), None)

    def refusal(self, what, size):
        return ("keeping %s of %s would pass the store's disk limit of %s (--max-disk), and nothing "
                "else it holds can go to make room (%s in use by searches running or just made)"
                % (what, shown(size), shown(self.limit), shown(self.used)))
