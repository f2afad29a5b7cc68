"""The request journal as a page shows it: the latest entries, newest first, each with a few of
the fields it sent (those without a column of their own). Views of the pages themselves are
left out, counted: reloading a page would soon push every other request off it."""
import collections

from . import links

SHOWN = 50
FIELDS_SHOWN = 8
# Fields with columns of their own.
COLUMNS = ("TOOL", "EMAIL", "RID")

# entry: the journal's entry (a dict) with its received values as Received; fields: [(name,
# value)] shown of its other fields; more_fields: how many of them are left out; page: the URL
# of its RID's page, or "".
Row = collections.namedtuple("Row", "entry fields more_fields page")


class Received(str):
    """A value as the journal keeps it, with the length it was received with (`length`), which
    a page cutting it further names."""

    def __new__(cls, kept, length=None):
        value = super().__new__(cls, kept)
        value.length = len(kept) if length is None else length
        return value


def fields(entry, left_out=()):
    """[(name, value)] of an entry's fields, each as Received, but those named in `left_out`."""
    cut = entry["cut"]
    names, values = cut.get("names", {}), cut.get("fields", {})
    return [(Received(name, names.get(name)), Received(text, values.get(name)))
            for name, text in entry["fields"].items() if name not in left_out]


def row(api_path, entry):
    shown_fields = fields(entry, COLUMNS)
    more = len(shown_fields) - FIELDS_SHOWN + entry.get("fields_left_out", 0)
    shown = dict(entry, **{key: Received(entry[key], entry["cut"].get(key))
                           for key in ("method", "path", "tool", "email", "rid")})
    if entry["guidelines"]:
        verdicts = entry["cut"].get("guidelines", {})
        shown["guidelines"] = [Received(verdict, verdicts.get(str(index)))
                               for index, verdict in enumerate(entry["guidelines"])]
    return Row(shown, shown_fields[:FIELDS_SHOWN], max(more, 0),
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
            return fields(entry, ("TOOL", "EMAIL"))
    return None
