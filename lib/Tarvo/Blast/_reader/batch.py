"""The batch reading: complete hits read many at a time, column by column.

BLAST writes every hit of a report alike, and every HSP: the same children in the same order.
A layout, made once for such an order of tags, reads the texts of all the children of many
hits in one list, row after row, and sets each field of every object from its column in one
go, so that the work an object costs is done in C rather than in a Python loop. Hits that fit
no layout, or any field that is not what it should be, are left to the general reading, which
says what is wrong; both make the same records.
"""

import functools
import operator

from Tarvo.Blast._reader import records
from Tarvo.Blast._reader.records import HIT_FIELDS, HSP_FIELDS, MAX_NUMBER_LENGTH, HSP, Alignment


def _joined(lists):
    """The items of lists (or elements' children), in one list: each is added whole, in C."""
    joined = []
    for items in lists:
        joined += items
    return joined


# The whole numbers a report is full of (positions, counts, frames), read without int().
_SMALL_WHOLE = dict((str(value), value) for value in range(-4, 4096))


def _wholes(texts):
    """The whole numbers of texts. Those in _SMALL_WHOLE are looked up by one itemgetter of
    them all, in one call."""
    try:
        numbers = operator.itemgetter(*texts)(_SMALL_WHOLE)
    except KeyError:
        return map(int, _bounded(texts))
    return numbers if len(texts) > 1 else [numbers]


def _numbers(texts):
    """The scores of texts: whole numbers as _wholes reads them, or reals."""
    try:
        return _wholes(texts)
    except ValueError:
        return map(records.number, texts)


def _bounded(texts):
    """texts, none of them longer than a number can be (else ValueError, as in the general
    reading, which then says which)."""
    if max(map(len, texts)) > MAX_NUMBER_LENGTH:
        raise ValueError("a number too long")
    return texts


def setter(cls, name):
    # A slot's own setter, which skips the attribute lookup setattr() makes each time.
    return getattr(cls, name).__set__


# A column's conversion for the conversion of its field.
_CONVERT_COLUMN = {records.whole: _wholes, records.number: _numbers,
                   records.real: functools.partial(map, float)}


class Layout(object):
    """How to read elements whose children come in one order of tags, each a field of cls,
    once, or the one nested element of another kind."""

    def __init__(self, cls, fields, tags, nested):
        self.cls = cls
        self.tags = list(tags)
        self.width = len(tags)
        self.nested = self.tags.index(nested) if nested in tags else None
        table = dict((tag, (name, convert)) for tag, name, convert in fields)
        present = [(position, table[tag]) for position, tag in enumerate(tags) if tag in table]
        self.columns = [(position, setter(cls, name), _CONVERT_COLUMN.get(convert))
                        for position, (name, convert) in present]
        self.absent = [setter(cls, name) for tag, name, _ in fields if tag not in tags]

    def build(self, children, texts, count):
        """count objects of cls, one of each row of children and their texts; None where a
        field is empty (the builder gives it no text, the general reading an empty one) or has
        children of its own. ValueError where a number is not one."""
        width = self.width
        # An element is true when it has children: only the nested one may.
        if any(children) and any(any(children[position::width])
                                 for position, _, _ in self.columns):
            return None
        things = map(self.cls.__new__, [self.cls] * count)
        for position, set_field, convert in self.columns:
            column = texts[position::width]
            if not all(column):
                return None
            # map calls the slot's setter for each object in C, with no Python frame an object.
            map(set_field, things, convert(column) if convert else column)
        nothing = [None] * count
        for set_field in self.absent:
            map(set_field, things, nothing)
        return things


class Plans(object):
    """The layouts seen, made as they first come (the last one made nearly always fits)."""

    MOST = 64

    def __init__(self):
        self.made = {}
        self.last = {}

    def read_hits(self, hits, record):
        """Read complete hits into record; False, with nothing read, where they do not all
        fit a layout."""
        count = len(hits)
        if [hit.tag for hit in hits] != ["Hit"] * count:
            return False
        try:
            table = self._table(Alignment, HIT_FIELDS, "Hit_hsps", hits)
            if table is None:
                return False
            layout, alignments, texts, flat = table
            counts, hsps = [0] * count, []
            if layout.nested is not None:
                holders = flat[layout.nested::layout.width]
                counts = map(len, holders)
                elements = _joined(holders)
                if [element.tag for element in elements] != ["Hsp"] * len(elements):
                    return False
                if elements:
                    hsp_table = self._table(HSP, HSP_FIELDS, None, elements)
                    if hsp_table is None:
                        return False
                    hsps = hsp_table[1]
        except ValueError:
            return False
        records.add_hits(record, alignments, _split(hsps, counts))
        return True

    def _table(self, cls, fields, nested, elements):
        """(layout, objects, texts, children) of elements whose children are all in one
        layout, the objects' fields set from the texts; None where no layout fits them."""
        count = len(elements)
        width = len(elements[0])
        if map(len, elements) != [width] * count:
            return None
        flat = _joined(elements)
        tags = [child.tag for child in flat]
        layout = self.last.get(cls)
        if layout is None or layout.tags != tags[:width]:
            layout = self._layout(cls, fields, nested, tags[:width])
        if layout is None or tags != layout.tags * count:
            return None
        texts = [child.text for child in flat]
        things = layout.build(flat, texts, count)
        if things is None:
            return None
        return layout, things, texts, flat

    def _layout(self, cls, fields, nested, tags):
        key = (cls, tuple(tags))
        layout = self.made.get(key, False)
        if layout is False:
            known = set(tag for tag, _, _ in fields)
            fits = len(set(tags)) == len(tags) and all(
                tag in known or tag == nested for tag in tags)
            layout = Layout(cls, fields, tags, nested) if fits else None
            if len(self.made) < self.MOST:
                self.made[key] = layout
        if layout is not None:
            self.last[cls] = layout
        return layout


def _split(things, counts):
    """things cut into lists of the given lengths."""
    if counts == [1] * len(counts):
        # One HSP a hit, as BLAST mostly writes them.
        return [[thing] for thing in things]
    lists, start = [], 0
    for count in counts:
        lists.append(things[start:start + count])
        start += count
    return lists
