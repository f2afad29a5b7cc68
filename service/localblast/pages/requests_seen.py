"""The request journal as a page shows it: the latest entries, newest first, each with a few of
the fields it sent (those without a column of their own). Views of the pages themselves are
left out, counted: reloading a page would soon push every other request off it."""
import collections
import re

from . import links

SHOWN = 50
FIELDS_SHOWN = 8
# Fields with columns of their own.
COLUMNS = ("TOOL", "EMAIL", "RID")
# How the journal ends a value it has cut (journal.cut): the length it was received with.
CUT = re.compile(r"\.\.\. \[([0-9]+) characters\]\Z")

# entry: the journal's entry (a dict) with its received values as Received; fields: [(name,
# value)] shown of its other fields; more_fields: how many of them are left out; page: the URL
# of its RID's page, or "".
Row = collections.namedtuple("Row", "entry fields more_fields page")


class Received(str):
    """A value as the journal keeps it, less the note of a cut, with the length it was received
    with (`length`), which a page cutting it further names."""

    def __new__(cls, kept):
        found = CUT.search(kept)
        value = super().__new__(cls, kept[:found.start()] if found else kept)
        value.length = int(found.group(1)) if found else len(value)
        return value


def row(api_path, entry):
    fields = [(Received(name), Received(text)) for name, text in entry["fields"].items() if name not in COLUMNS]
    more = len(fields) - FIELDS_SHOWN + entry.get("fields_left_out", 0)
    shown = dict(entry, **{name: Received(entry[name]) for name in ("path", "tool", "email", "rid")})
    if entry["guidelines"]:
        shown["guidelines"] = [Received(verdict) for verdict in entry["guidelines"]]
    return Row(shown, fields[:FIELDS_SHOWN], max(more, 0),
               links.search_page(api_path, entry["rid"]) if entry["rid"] else "")


def page_view(entry):
    """Whether an entry is a view of the service's own pages: a request answered with a page,
    as every one without CMD is, and every one at /."""
    return entry["status"] == 200 and (entry["path"] == "/" or not entry["fields"].get("CMD"))


def latest(api_path, entries, shown=SHOWN):
    """(the Rows of the latest `shown` `entries` (oldest first) but views of the pages, newest
    first; how many more there are; how many views were left out)."""
    requests = [entry for entry in entries if not page_view(entry)]
    kept = requests[-shown:] if shown else []
    return ([row(api_path, entry) for entry in reversed(kept)], len(requests) - len(kept),
            len(entries) - len(requests))


def submission(entries):
    """[(name, value)] of the fields, but tool and email, of the submission among a search's
    journal `entries` (oldest first) that was answered with its RID; None when the journal no
    longer holds it. The oldest is taken: a later one naming the RID (a refused submission
    that sent it) cannot be the one that was answered with it."""
    for entry in entries:
        if entry["fields"].get("CMD", "").lower() == "put" and entry["rtoe"] is not None:
            return [(Received(name), Received(text)) for name, text in entry["fields"].items()
                    if name not in ("TOOL", "EMAIL")]
    return None
