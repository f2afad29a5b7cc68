"""Numbers as NCBI takes them: ASCII digits only. Python's own readers also take other scripts'
digits ("١٠"), which BLAST+ refuses with a usage dump."""
import math
import re

WHOLE = re.compile(r"[0-9]+", re.ASCII)
DECIMAL = re.compile(r"([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?", re.ASCII)


def whole_number(text, low, high):
    """The whole number that `text` spells, if it lies from `low` to `high`; else None."""
    if not WHOLE.fullmatch(text) or not low <= int(text) <= high:
        return None
    return int(text)


def decimal(text):
    """The finite number that `text` spells ("10", "0.001", "1e-07"); else None."""
    if not DECIMAL.fullmatch(text) or not math.isfinite(float(text)):
        return None
    return float(text)
