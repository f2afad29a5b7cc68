"""A request's form (its fields by upper-case name, each with the values given in order, as
the server reads it) and the readers of the fields that submissions and results requests share."""
from ..errors import Refused
from . import numerals

SWITCH = {"on": True, "true": True, "t": True, "yes": True, "off": False, "false": False, "f": False, "no": False}
MAX_LIST = 20000
LIST_SIZES = ("HITLIST_SIZE", "DESCRIPTIONS", "ALIGNMENTS")


def value(form, name):
    """The last value given for `name`, stripped; "" when absent or blank."""
    values = form.get(name)
    return values[-1].strip() if values else ""


def number_field(name, text, low, high):
    """The whole number `text` of the field `name`; Refused unless it lies from `low` to `high`."""
    number = numerals.whole_number(text, low, high)
    if number is None:
        raise Refused("%s must be a whole number from %d to %d; received %r" % (name, low, high, text))
    return number


def switch(form, name, default=False):
    """The on/off field `name` of the form, `default` when it is absent."""
    text = value(form, name)
    if not text:
        return default
    if text.lower() not in SWITCH:
        raise Refused("%s must be on or off (true/false, t/f, yes/no); received %r" % (name, text))
    return SWITCH[text.lower()]


def list_sizes(form):
    """{name: size} of the list sizes the form gives (HITLIST_SIZE, DESCRIPTIONS, ALIGNMENTS)."""
    return {name: number_field(name, value(form, name), 1, MAX_LIST) for name in LIST_SIZES if value(form, name)}
