"""Readers of one field of a form ({UPPER-CASE NAME: [values]}): each reads its value in time
linear in its length and refuses it with a message naming the field and echoing the value cut."""
from ..errors import Refused
from . import numerals
from .echo import shown

SWITCH = {"on": True, "true": True, "t": True, "yes": True, "off": False, "false": False, "f": False, "no": False}
MAX_LIST = 20000
LIST_SIZES = ("HITLIST_SIZE", "DESCRIPTIONS", "ALIGNMENTS")
# NCBI's hit list when HITLIST_SIZE is not given.
DEFAULT_HITLIST_SIZE = 100


def text(form, name):
    """The last value given for `name`, stripped; "" when absent or blank."""
    values = form.get(name)
    return values[-1].strip() if values else ""


def whole(name, given, low, high):
    """The whole number `given` for the field `name`; Refused unless it lies from `low` to `high`."""
    number = numerals.whole_number(given, low, high)
    if number is None:
        raise Refused("%s must be a whole number from %d to %d; received %s" % (name, low, high, shown(given)))
    return number


def number(form, name, low, high):
    """The form's whole number `name`, or None when it gives none."""
    given = text(form, name)
    return whole(name, given, low, high) if given else None


def switch(form, name):
    """The form's on/off field `name`, or None when it gives none."""
    given = text(form, name)
    if not given:
        return None
    if given.lower() not in SWITCH:
        raise Refused("%s must be on or off (true/false, t/f, yes/no); received %s" % (name, shown(given)))
    return SWITCH[given.lower()]


def list_sizes(form):
    """{name: size} of the list sizes the form gives (HITLIST_SIZE, DESCRIPTIONS, ALIGNMENTS)."""
    sizes = {name: number(form, name, 1, MAX_LIST) for name in LIST_SIZES}
    return {name: size for name, size in sizes.items() if size is not None}


def choice(form, name, names):
    """The name of `names` (canonical spellings) that the form's field `name` gives, letter case
    aside, or None when it gives none; Refused for another."""
    given = text(form, name)
    if not given:
        return None
    # ASCII only: upper() makes some other letters ASCII ones ("ſ" is "S").
    found = {known.upper(): known for known in names}.get(given.upper()) if given.isascii() else None
    if found is None:
        raise Refused("%s must be one of %s; received %s" % (name, ", ".join(names), shown(given)))
    return found
