"""Numbers as NCBI takes them: ASCII digits only. Python's own readers also take other scripts'
digits ("١٠"), which BLAST+ refuses with a usage dump.

A number longer than LONGEST characters is refused before any pattern sees it: reading a number
costs at most its length, whatever it holds. (Python's int() refuses more than 4300 digits; no
such text gets that far.)"""
import math
import re

LONGEST = 64
WHOLE = re.compile(r"[0-9]+", re.ASCII)
# Digits, a point and digits, or a point and digits; an exponent: no run of digits can be split
# between two parts of the pattern, so a failed match gives back each character once.
DECIMAL = re.compile(r"(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][-+]?[0-9]+)?", re.ASCII)


def whole_number(text, low, high):
    """The whole number that `text` spells, if it lies from `low` to `high`; else None."""
    if len(text) > LONGEST or not WHOLE.fullmatch(text) or not low <= int(text) <= high:
        return None
    return int(text)


def decimal(text):
    """The finite number that `text` spells ("10", "0.001", "1e-07"); else None."""
    if len(text) > LONGEST or not DECIMAL.fullmatch(text) or not math.isfinite(float(text)):
        return None
    return float(text)
