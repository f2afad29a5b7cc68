"""Reader of BLAST XML reports (the NCBI_BlastOutput document type): one record per query.

parse() streams: after each piece of the input, whatever is complete in the element tree (a
query, a hit, an HSP) is turned into plain objects and its elements are dropped, so that memory
beyond the records stays flat however long the report is; _xmltree keeps hostile input within
bounds. A hit is read by a plan made once for the layout of its elements (BLAST writes every
hit alike), and by the general reading where no plan fits.
"""

import collections
import itertools
import operator

from Tarvo.Blast import _xmltree

CHUNK_SIZE = _xmltree.CHUNK_SIZE


class _Plain(object):
    """Plain data: its fields, None where the report has none; a caller may add its own."""

    __slots__ = ("__dict__",)
    _fields = ()

    def __getstate__(self):
        state = dict(self.__dict__)
        state.update((name, getattr(self, name)) for name in self._fields)
        return state

    def __setstate__(self, state):
        for name, value in state.items():
            setattr(self, name, value)


def _make(cls, values):
    """An object of cls with its fields taken from the dict values (None where absent)."""
    thing = cls.__new__(cls)
    names = cls._fields
    map(setattr, [thing] * len(names), names, map(values.get, names))
    return thing


def _whole(text):
    return int(text)


def _number(text):
    # Scores are whole numbers in practice but the document type allows reals.
    try:
        return int(text)
    except ValueError:
        return float(text)


# (element, attribute, conversion) for the record's fields; a missing element gives None.
HEADER_FIELDS = (
    ("BlastOutput_program", "application", None),
    ("BlastOutput_version", "version", None),
    ("BlastOutput_reference", "reference", None),
    ("BlastOutput_db", "database", None),
    ("BlastOutput_query-ID", "query_id", None),
    ("BlastOutput_query-def", "query", None),
    ("BlastOutput_query-len", "query_letters", _whole),
)
PARAMETER_FIELDS = (
    ("Parameters_matrix", "matrix", None),
    ("Parameters_expect", "expect", None),
    ("Parameters_include", "include", float),
    ("Parameters_sc-match", "sc_match", _whole),
    ("Parameters_sc-mismatch", "sc_mismatch", _whole),
    ("Parameters_gap-open", "gap_open", _whole),
    ("Parameters_gap-extend", "gap_extend", _whole),
    ("Parameters_filter", "filter", None),
)
ITERATION_FIELDS = (
    ("Iteration_iter-num", "iteration_num", _whole),
    ("Iteration_message", "message", None),
)
# The Iteration's own query fields; the header's stand in where an Iteration lacks them.
QUERY_FIELDS = (
    ("Iteration_query-ID", "query_id", None),
    ("Iteration_query-def", "query", None),
    ("Iteration_query-len", "query_letters", _whole),
)
STATISTICS_FIELDS = (
    ("Statistics_db-num", "db_num", _whole),
    ("Statistics_db-len", "db_len", _whole),
    ("Statistics_hsp-len", "hsp_len", _whole),
    ("Statistics_eff-space", "eff_space", float),
    ("Statistics_kappa", "kappa", float),
    ("Statistics_lambda", "lambda_", float),
    ("Statistics_entropy", "entropy", float),
)
HEADER_AND_PARAMETER_FIELDS = HEADER_FIELDS + PARAMETER_FIELDS
HIT_FIELDS = (
    ("Hit_num", "hit_num", _whole),
    ("Hit_id", "hit_id", None),
    ("Hit_def", "hit_def", None),
    ("Hit_accession", "accession", None),
    ("Hit_len", "length", _whole),
)
HSP_FIELDS = (
    ("Hsp_num", "num", _whole),
    ("Hsp_bit-score", "bits", float),
    ("Hsp_score", "score", _number),
    ("Hsp_evalue", "expect", float),
    ("Hsp_query-from", "query_start", _whole),
    ("Hsp_query-to", "query_end", _whole),
    ("Hsp_hit-from", "sbjct_start", _whole),
    ("Hsp_hit-to", "sbjct_end", _whole),
    ("Hsp_query-frame", "query_frame", _whole),
    ("Hsp_hit-frame", "sbjct_frame", _whole),
    ("Hsp_identity", "identities", _whole),
    ("Hsp_positive", "positives", _whole),
    ("Hsp_gaps", "gaps", _whole),
    ("Hsp_align-len", "align_length", _whole),
    ("Hsp_qseq", "query", None),
    ("Hsp_hseq", "sbjct", None),
    ("Hsp_midline", "match", None),
)


def _names(*tables):
    names = []
    for table in tables:
        names += [name for _, name, _ in table if name not in names]
    return tuple(names)


class Record(_Plain):
    """One query's search: the report's header, its parameters and statistics, its hits."""

    _fields = _names(HEADER_AND_PARAMETER_FIELDS, ITERATION_FIELDS, STATISTICS_FIELDS) + (
        "alignments", "descriptions")
    __slots__ = _fields


class Alignment(_Plain):
    """One hit with its HSPs."""

    _fields = _names(HIT_FIELDS) + ("title", "hsps")
    __slots__ = _fields


class HSP(_Plain):
    """One high-scoring segment pair of a hit."""

    _fields = _names(HSP_FIELDS)
    __slots__ = _fields


class Description(_Plain):
    """One hit's summary line: its title and its best HSP's scores."""

    _fields = ("title", "accession", "num_alignments", "score", "bits", "e")
    __slots__ = _fields


def read(handle):
    """The one record of a single-query BLAST XML report."""
    # No code of the caller's runs until the record is whole, and records hold no cycles: the
    # collector need not walk the hits read so far again and again while the rest is read.
    with _xmltree.collection_paused():
        records = parse(handle)
        record = next(records, None)
        if record is None:
            raise ValueError("the BLAST XML report holds no query (no Iteration element)")
        if next(records, None) is not None:
            raise ValueError("the BLAST XML report holds more than one query; "
                             "read it with parse(), which yields one record per query")
    return record


def parse(handle):
    """Yield one record per query (Iteration) of a BLAST XML report read from handle."""
    if not hasattr(handle, "read"):
        raise TypeError("parse() needs a readable stream (an object with read()), not %s"
                        % type(handle).__name__)
    return _records(handle)


def _records(handle):
    tree = _xmltree.Tree(handle, _KNOWN_NAMES, _check_root)
    reader = _Reader(tree)
    try:
        for _ in tree.pieces():
            with _xmltree.collection_paused():
                chain = tree.chain()
                reader.advance(chain, tree.open_count(chain))
            while reader.ready:
                yield reader.ready.popleft()
    except _xmltree.ParseError as error:
        raise ValueError(_parse_failure(error, tree.source, tree.open_path()))
    finally:
        reader.saved.clear()
        tree.dismantle()


class _State(object):
    """What is read of one element so far: its fields, and where it is, for messages."""

    def __init__(self, where):
        self.where = where
        self.fields = {}


class _Kind(object):
    """How an element is read: the fields among its children, and the children that are
    elements of a kind of their own. Its state is its parent's unless begin() makes one."""

    def __init__(self, fields=(), children=None):
        self.table = dict((tag, (name, convert)) for tag, name, convert in fields)
        self.children = children or {}

    def begin(self, reader, parent):
        return parent

    def end(self, reader, state, parent):
        pass


class _Iteration(_Kind):
    def begin(self, reader, parent):
        reader.queries += 1
        state = _State("query %d" % reader.queries)
        state.record = record = _make(Record, reader.header.fields)
        record.alignments = []
        record.descriptions = []
        return state

    def end(self, reader, state, parent):
        record, fields, header = state.record, state.fields, reader.header.fields
        for _, name, _ in ITERATION_FIELDS + STATISTICS_FIELDS:
            if name in fields:
                setattr(record, name, fields[name])
        for _, name, _ in QUERY_FIELDS:
            value = fields.get(name)
            setattr(record, name, header.get(name) if value in (None, "") else value)
        reader.ready.append(record)


class _Hit(_Kind):
    def begin(self, reader, parent):
        state = _State("hit %d of %s" % (len(parent.record.alignments) + 1, parent.where))
        state.hsps = []
        return state

    def end(self, reader, state, parent):
        alignment = _make(Alignment, state.fields)
        _add_hit(parent.record, alignment, state.hsps)


class _Hsp(_Kind):
    def begin(self, reader, parent):
        return _State("HSP %d of %s" % (len(parent.hsps) + 1, parent.where))

    def end(self, reader, state, parent):
        parent.hsps.append(_make(HSP, state.fields))


def _add_hit(record, alignment, hsps):
    alignment.title = _title(alignment.hit_id, alignment.hit_def)
    alignment.hsps = hsps
    record.alignments.append(alignment)
    record.descriptions.append(_describe(alignment))


def _title(hit_id, hit_def):
    # The id and the definition joined by a blank, either alone when the other is empty.
    if hit_id and hit_def:
        return hit_id + " " + hit_def
    return hit_id or hit_def or ""


def _describe(alignment):
    best = None
    for hsp in alignment.hsps:
        if hsp.expect is not None and (best is None or hsp.expect < best.expect):
            best = hsp
    description = Description.__new__(Description)
    description.title = alignment.title
    description.accession = alignment.accession
    description.num_alignments = len(alignment.hsps)
    description.score = best.score if best else None
    description.bits = best.bits if best else None
    description.e = best.expect if best else None
    return description


# The document type as the reader walks it; other elements are read past.
_HSP = _Hsp(HSP_FIELDS)
_HIT = _Hit(HIT_FIELDS, {"Hit_hsps": _Kind(children={"Hsp": _HSP})})
_HITS = _Kind(children={"Hit": _HIT})
_ITERATION = _Iteration(ITERATION_FIELDS + QUERY_FIELDS, {
    "Iteration_hits": _HITS,
    "Iteration_stat": _Kind(children={"Statistics": _Kind(STATISTICS_FIELDS)})})
_REPORT = _Kind(HEADER_AND_PARAMETER_FIELDS, {
    "BlastOutput_param": _Kind(children={
        "Parameters": _Kind(HEADER_AND_PARAMETER_FIELDS)}),
    "BlastOutput_iterations": _Kind(children={"Iteration": _ITERATION})})
# An element the reader does not read into: another document type's, or a field's children.
_OTHER = _Kind()
_KNOWN_NAMES = frozenset(tag for table in (
    HEADER_AND_PARAMETER_FIELDS, ITERATION_FIELDS, QUERY_FIELDS, STATISTICS_FIELDS,
    HIT_FIELDS, HSP_FIELDS) for tag, _, _ in table) | frozenset([
        "BlastOutput", "BlastOutput_param", "Parameters", "BlastOutput_iterations",
        "Iteration", "Iteration_hits", "Iteration_stat", "Statistics", "Hit", "Hit_hsps",
        "Hsp", "BlastOutput_mbstat"])


class _Reader(object):
    """Turns the complete parts of the tree into records and drops their elements."""

    def __init__(self, tree):
        self.tree = tree
        self.header = _State("the report")
        self.queries = 0
        self.ready = collections.deque()
        # Open elements already partly read: id -> (element, its state).
        self.saved = {}
        self.held = None
        self.plans = _Plans()

    def advance(self, chain, open_count):
        """Read and drop every complete element; chain[:open_count] are the open ones."""
        if not chain:
            return
        if not open_count:
            self._read(_REPORT, self.header, chain[0], len(chain[0]), 0)
            return
        kind, state = _REPORT, self.header
        for depth in range(open_count):
            element = chain[depth]
            has_open_child = depth + 1 < open_count
            self._read(kind, state, element, len(element) - has_open_child, depth)
            if not has_open_child:
                return
            child = chain[depth + 1]
            kind = kind.children.get(child.tag, _OTHER)
            if kind is _HIT and child is not self.held and id(child) not in self.saved:
                # A hit cut by the end of a piece is left whole for the next, which nearly
                # always completes it, so that it too is read by the plans.
                self.held = child
                return
            state = self._state(kind, state, child)

    def _state(self, kind, state, child):
        if kind is _OTHER:
            return None
        saved = self.saved.get(id(child))
        if saved is None:
            saved = self.saved[id(child)] = (child, kind.begin(self, state))
        return saved[1]

    def _read_hits(self, hits, record):
        """Read complete hits by the plans, all at once, if all are hits that none was begun."""
        return ([hit.tag for hit in hits] == ["Hit"] * len(hits) and
                not set(self.saved).intersection(map(id, hits)) and
                self.plans.read_hits(hits, record))

    def _read(self, kind, state, element, count, depth):
        """Read the first count children of element, all complete, into state; drop them."""
        if not count:
            return
        table, children, saved = kind.table, kind.children, self.saved
        complete = element[:count]
        if kind is _HITS and self._read_hits(complete, state.record):
            del element[:count]
            return
        for child in complete:
            tag = child.tag
            sub = children.get(tag)
            if sub is not None:
                partly = saved.pop(id(child), None)
                if partly is None and sub is _HIT and self.plans.read_hits([child],
                                                                          state.record):
                    continue
                child_state = partly[1] if partly else sub.begin(self, state)
                self._read(sub, child_state, child, len(child), depth + 1)
                sub.end(self, child_state, state)
                continue
            entry = table.get(tag)
            if entry is not None:
                name, convert = entry
                text = child.text or ""
                if convert:
                    try:
                        text = convert(text.strip())
                    except ValueError:
                        raise ValueError("%s of %s is not a number: %r"
                                         % (tag, state.where, text))
                state.fields[name] = text
            elif tag not in _KNOWN_NAMES:
                self.tree.note((tag,))
            if len(child):
                self.tree.discard(child, depth + 1)
        del element[:count]


# The whole numbers a report is full of (positions, counts, frames), read without int().
_SMALL_WHOLE = dict((str(number), number) for number in range(-4, 4096))


def _small_wholes(texts):
    """The numbers of texts, all in _SMALL_WHOLE (else KeyError): an itemgetter of them all
    looks them up in one call."""
    numbers = operator.itemgetter(*texts)(_SMALL_WHOLE)
    return numbers if len(texts) > 1 else [numbers]


_flat = itertools.chain.from_iterable


class _Layout(object):
    """How to read elements whose children come in one order of tags (each a field of cls,
    once, or the one nested element of another kind): many elements at a time, the texts of
    all their children in one list, row after row, with every column converted in one go."""

    def __init__(self, cls, fields, tags, nested):
        self.tags = list(tags)
        self.width = len(tags)
        self.nested = self.tags.index(nested) if nested in tags else None
        table = dict((tag, (name, convert)) for tag, name, convert in fields)
        read = [(position, table[tag]) for position, tag in enumerate(tags) if tag in table]
        self.positions = dict((name, position) for position, (name, _) in read)
        # Whole numbers, with the conversion of any that _SMALL_WHOLE does not hold.
        self.wholes = [(position, int if convert is _whole else convert)
                       for position, (_, convert) in read if convert in (_whole, _number)]
        self.reals = [position for position, (_, convert) in read if convert is float]
        names = dict((position, name) for position, (name, _) in read)
        targets = [names.get(position) for position in range(self.width)]
        missing = [name for tag, name, _ in fields if tag not in tags]
        conversions = dict((position, "float") for position in self.reals)
        self.build = _builder(cls, targets, missing, conversions)
        # The same, looking the whole numbers up in _SMALL_WHOLE as it goes: KeyError where
        # one is not there.
        conversions.update((position, "small") for position, _ in self.wholes)
        self.build_converting = _builder(cls, targets, missing, conversions)

    def column(self, texts, name, count):
        """The values of the field name, of count objects read from texts."""
        position = self.positions.get(name)
        return [None] * count if position is None else texts[position::self.width]


def _builder(cls, targets, missing, conversions):
    """A function of (texts, count) that makes count objects of cls, one of each row of texts,
    the text at a place of a row going to the field targets names there (None: to none),
    through the conversion named at its place, and None to each missing field.

    One statement that unpacks a row into the fields sets them faster than anything that names
    them as values, so the function is compiled for the layout; the names in it are the field
    tables' own, never the document's."""
    # What the loop names are its arguments' defaults, which it finds quicker than globals.
    lines = ["def build(texts, count, new=new, cls=cls, small=small, float=float):",
             "    things = []", "    append = things.append"]
    width = len(targets)
    if width:
        lines += ["    for start in xrange(0, %d * count, %d):" % (width, width),
                  "        thing = new(cls)",
                  "        %s, = texts[start:start + %d]" % (", ".join(
                      "text%d" % position for position in range(width)), width)]
        lines += ["        thing.%s = %s" % (name, {None: "text%d", "small": "small[text%d]",
                                                 "float": "float(text%d)"}[
                                                     conversions.get(position)] % position)
                  for position, name in enumerate(targets) if name]
    else:
        lines += ["    for start in xrange(count):", "        thing = new(cls)"]
    if missing:
        lines.append("        %s = None" % " = ".join("thing." + name for name in missing))
    lines += ["        append(thing)", "    return things"]
    namespace = {"new": cls.__new__, "cls": cls, "small": _SMALL_WHOLE, "float": float}
    exec compile("\n".join(lines) + "\n", "<layout of %s>" % cls.__name__, "exec") in namespace
    return namespace["build"]


def _setter(cls, name):
    return getattr(cls, name).__set__


class _Plans(object):
    """The layouts seen, made as they first come (BLAST writes every hit and every HSP of a
    report alike, so the last one made nearly always fits)."""

    MOST = 64

    def __init__(self):
        self.made = {}
        self.last = {}

    def read_hits(self, hits, record):
        """Read complete hits into record by the layouts; False, with nothing read, where they
        do not all fit."""
        try:
            table = self._table(Alignment, HIT_FIELDS, "Hit_hsps", hits)
            if table is None:
                return False
            layout, alignments, texts, flat = table
            count = len(hits)
            if layout.nested is None:
                counts = [0] * count
                elements = []
            else:
                holders = flat[layout.nested::layout.width]
                counts = map(len, holders)
                elements = list(_flat(holders))
                if [element.tag for element in elements] != ["Hsp"] * len(elements):
                    return False
            hsps = hsp_table = None
            if elements:
                hsp_table = self._table(HSP, HSP_FIELDS, None, elements)
                if hsp_table is None:
                    return False
                hsps = hsp_table[1]
        except ValueError:
            # A field that is not a number: the general reading says which.
            return False
        _add_hits(record, alignments, (layout, texts), counts, hsps, hsp_table)
        return True

    def _table(self, cls, fields, nested, elements):
        """(layout, objects, texts, children) of elements whose children are all in one
        layout, the objects' fields set from the texts; None where no layout fits them."""
        count = len(elements)
        rows = [element[:] for element in elements]
        width = len(rows[0])
        if map(len, rows) != [width] * count:
            return None
        flat = reduce(operator.iadd, rows, [])
        tags = [child.tag for child in flat]
        layout = self.last.get(cls)
        if layout is None or layout.tags != tags[:width]:
            layout = self._layout(cls, fields, nested, tags[:width])
        if layout is None or tags != layout.tags * count:
            return None
        # Only the nested element may have children of its own.
        inner = layout.nested
        parents = filter(len, flat)
        if parents and (inner is None or parents != filter(len, flat[inner::width])):
            return None
        texts = [child.text for child in flat]
        if inner is not None:
            texts[inner::width] = ["nested"] * count
        # The builder gives an empty element no text (None), never an empty one.
        if not all(texts):
            return None
        try:
            things = layout.build_converting(texts, count)
        except KeyError:
            _convert_wholes(texts, width, layout.wholes)
            things = layout.build(texts, count)
        return layout, things, texts, flat

    def _layout(self, cls, fields, nested, tags):
        key = (cls, tuple(tags))
        layout = self.made.get(key, False)
        if layout is False:
            known = set(tag for tag, _, _ in fields)
            fits = len(set(tags)) == len(tags) and all(
                tag in known or tag == nested for tag in tags)
            layout = _Layout(cls, fields, tags, nested) if fits else None
            if len(self.made) < self.MOST:
                self.made[key] = layout
        if layout is not None:
            self.last[cls] = layout
        return layout


def _convert_wholes(texts, width, wholes):
    """Convert the columns of whole numbers of texts (rows of width) in place."""
    for position, convert in wholes:
        column = texts[position::width]
        try:
            texts[position::width] = _small_wholes(column)
        except KeyError:
            texts[position::width] = map(convert, column)


def _split(things, counts):
    """things cut into lists of the given lengths."""
    lists, start = [], 0
    for count in counts:
        lists.append(things[start:start + count])
        start += count
    return lists


_SET_TITLE, _SET_HSPS = _setter(Alignment, "title"), _setter(Alignment, "hsps")


def _add_hits(record, alignments, hit_table, counts, hsps, hsp_table):
    """Give the alignments their titles and HSPs (counts of them each, in order), and append
    them and their descriptions."""
    count = len(alignments)
    layout, texts = hit_table
    ids, definitions = layout.column(texts, "hit_id", count), layout.column(texts, "hit_def",
                                                                            count)
    if all(ids) and all(definitions):
        titles = map(operator.add, map(operator.add, ids, [" "] * count), definitions)
    else:
        titles = map(_title, ids, definitions)
    map(_SET_TITLE, alignments, titles)
    record.alignments.extend(alignments)
    if counts != [1] * count or "expect" not in hsp_table[0].positions:
        map(_SET_HSPS, alignments, _split(hsps or [], counts))
        record.descriptions.extend(map(_describe, alignments))
        return
    # One scored HSP a hit: it is the best.
    new, append = Description.__new__, record.descriptions.append
    for alignment, hsp, title in zip(alignments, hsps, titles):
        alignment.hsps = [hsp]
        description = new(Description)
        description.title = title
        description.accession = alignment.accession
        description.num_alignments = 1
        description.score = hsp.score
        description.bits = hsp.bits
        description.e = hsp.expect
        append(description)


def _check_root(tag, source):
    if tag == "BlastOutput":
        return
    name = tag.rsplit("}", 1)[-1]
    if name == "BlastXML2":
        raise ValueError("this is a BLAST XML2 report, a different document type: ask for "
                         "the BlastOutput XML (BLAST+ -outfmt 5, the web service's "
                         "FORMAT_TYPE=XML)")
    if name.lower() == "html":
        raise ValueError("this is an HTML page, not a BLAST XML report: %s" % source.start())
    raise ValueError("this XML document is a <%s>, not a BLAST XML report (whose root "
                     "element is <BlastOutput>): %s" % (name, source.start()))


def _parse_failure(error, source, path):
    if not source.head.strip():
        return "the input is empty: no BLAST XML report was read"
    lowered = source.head.lstrip().lower()
    if lowered.startswith("<!doctype html") or lowered.startswith("<html"):
        return "this is an HTML page, not a BLAST XML report: %s" % source.start()
    if source.eof:
        where = "inside <%s>" % "/".join(path) if path else "before its root element"
        return ("the BLAST XML report is cut short: it ends at line %d, column %d after %d "
                "bytes, %s" % (source.line, source.column, source.total, where))
    return "the input is not well-formed XML (%s); it starts %s" % (error, source.start())
