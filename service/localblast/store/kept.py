"""The formatted reports kept with a search: a report's key, the file it is kept in, and how it
is made so that no part of one is ever served."""
import hashlib
import json
import os

from ..reports import edits

# Formatted reports kept per search: beyond it the least recently asked for is made again.
KEPT_REPORTS = 16


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


def make_whole(make, path):
    """Has `make(part)` write a report under another name and renames it to `path` once it is
    whole, so that one cut short by a failure or a stop is never served, now or after a
    restart; its size."""
    part = path + ".part"
    try:
        make(part)
        os.replace(part, path)
    except BaseException:
        edits.remove(part)
        raise
    return os.path.getsize(path)
