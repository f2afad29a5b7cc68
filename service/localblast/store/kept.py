"""The formatted reports kept with a search: a report's key, the file it is kept in, and how it
is made so that no part of one is ever served."""
import hashlib
import json
import os
import threading

from ..files import remove

# Formatted reports kept per search: beyond it the least recently asked for is made again.
KEPT_REPORTS = 16
PART = ".part"


def report_key(shape):
    """A stable text for a report's shape (a formats.Shape, or any JSON-able value): all its
    plain fields, its format's included, so that two reports of one format name made apart (a
    Text report's alignment views, say) never share a key, and a format whose making changes
    between versions is made again rather than served as it was."""
    def plain(value):
        if hasattr(value, "_asdict"):
            return {name: plain(item) for name, item in value._asdict().items()}
        return value
    return json.dumps(plain(shape), sort_keys=True, separators=(",", ":"))


def report_file(key):
    return "report-" + hashlib.sha256(key.encode("utf-8")).hexdigest()[:20]


class Making:
    """A report being made: those who ask for it meanwhile wait for it, not make it again."""

    def __init__(self):
        self.done = threading.Event()
        self.asked = 0     # requests that came for it meanwhile


def being_made(name, making):
    """True for the name of a file of a report being made (`making`: their keys)."""
    return name.endswith(PART) or name in {report_file(key) for key in making}


def make_whole(make, path):
    """Has `make(part)` write a report under another name and renames it to `path` once it is
    whole, so that one cut short by a failure or a stop is never served, now or after a
    restart; its size."""
    part = path + PART
    try:
        make(part)
        os.replace(part, path)
    except BaseException:
        remove(part)
        raise
    return os.path.getsize(path)
