"""The reader's records and the tables of the elements their fields come from.

Both ways of reading a hit (one by one, and many at a time) make their objects from these tables
and give each hit its title and description through add_hits(), the one place they are made.
"""

# Longer than any number a report holds; int() takes time quadratic in a number's length.
MAX_NUMBER_LENGTH = 100


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


def make(cls, values):
    """An object of cls with its fields taken from the dict values (None where absent)."""
    thing = cls.__new__(cls)
    for name in cls._fields:
        setattr(thing, name, values.get(name))
    return thing


def shown(text, size=40):
    """text as a message shows it: quoted, and cut where it is long."""
    if len(text) <= size:
        return repr(text)
    return "%r... (%d characters)" % (text[:size], len(text))


def _conversion(convert, longest=None):
    """convert, raising ValueError with the part of a message that tells what the text is."""
    def converted(text):
        if longest is not None and len(text) > longest:
            raise ValueError("is a number of %d characters, longer than any a report holds (%d):"
                             " %s" % (len(text), longest, shown(text)))
        try:
            return convert(text)
        except ValueError:
            raise ValueError("is not a number: %s" % shown(text))
    return converted


def _whole_or_real(text):
    # Scores are whole numbers in practice but the document type allows reals.
    try:
        return int(text)
    except ValueError:
        return float(text)


# int() takes time quadratic in a number's length, float() linear.
whole = _conversion(int, MAX_NUMBER_LENGTH)
number = _conversion(_whole_or_real, MAX_NUMBER_LENGTH)
real = _conversion(float)

# (element, attribute, conversion) for the record's fields; a missing element gives None.
HEADER_FIELDS = (
    ("BlastOutput_program", "application", None),
    ("BlastOutput_version", "version", None),
    ("BlastOutput_reference", "reference", None),
    ("BlastOutput_db", "database", None),
    ("BlastOutput_query-ID", "query_id", None),
    ("BlastOutput_query-def", "query", None),
    ("BlastOutput_query-len", "query_letters", whole),
)
PARAMETER_FIELDS = (
    ("Parameters_matrix", "matrix", None),
    ("Parameters_expect", "expect", None),
    ("Parameters_include", "include", real),
    ("Parameters_sc-match", "sc_match", whole),
    ("Parameters_sc-mismatch", "sc_mismatch", whole),
    ("Parameters_gap-open", "gap_open", whole),
    ("Parameters_gap-extend", "gap_extend", whole),
    ("Parameters_filter", "filter", None),
)
ITERATION_FIELDS = (
    ("Iteration_iter-num", "iteration_num", whole),
    ("Iteration_message", "message", None),
)
# The Iteration's own query fields; the header's stand in where an Iteration lacks them.
QUERY_FIELDS = (
    ("Iteration_query-ID", "query_id", None),
    ("Iteration_query-def", "query", None),
    ("Iteration_query-len", "query_letters", whole),
)
STATISTICS_FIELDS = (
    ("Statistics_db-num", "db_num", whole),
    ("Statistics_db-len", "db_len", whole),
    ("Statistics_hsp-len", "hsp_len", whole),
    ("Statistics_eff-space", "eff_space", real),
    ("Statistics_kappa", "kappa", real),
    ("Statistics_lambda", "lambda_", real),
    ("Statistics_entropy", "entropy", real),
)
HEADER_AND_PARAMETER_FIELDS = HEADER_FIELDS + PARAMETER_FIELDS
HIT_FIELDS = (
    ("Hit_num", "hit_num", whole),
    ("Hit_id", "hit_id", None),
    ("Hit_def", "hit_def", None),
    ("Hit_accession", "accession", None),
    ("Hit_len", "length", whole),
)
HSP_FIELDS = (
    ("Hsp_num", "num", whole),
    ("Hsp_bit-score", "bits", real),
    ("Hsp_score", "score", number),
    ("Hsp_evalue", "expect", real),
    ("Hsp_query-from", "query_start", whole),
    ("Hsp_query-to", "query_end", whole),
    ("Hsp_hit-from", "sbjct_start", whole),
    ("Hsp_hit-to", "sbjct_end", whole),
    ("Hsp_query-frame", "query_frame", whole),
    ("Hsp_hit-frame", "sbjct_frame", whole),
    ("Hsp_identity", "identities", whole),
    ("Hsp_positive", "positives", whole),
    ("Hsp_gaps", "gaps", whole),
    ("Hsp_align-len", "align_length", whole),
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


def _best(hsps):
    """The HSP of least e-value (the first of equals), None where none has one."""
    found = None
    for hsp in hsps:
        if hsp.expect is not None and (found is None or hsp.expect < found.expect):
            found = hsp
    return found


def add_hits(record, alignments, hsp_lists):
    """Give each alignment its title and its HSPs (a list of them each), and append them to
    record, each with its description. A hit read alone comes here as hits read together do,
    one loop for all, the same work done for each."""
    new, describe = Description.__new__, record.descriptions.append
    for alignment, hsps in zip(alignments, hsp_lists):
        hit_id, hit_def = alignment.hit_id, alignment.hit_def
        # The id and the definition joined by a blank, either alone when the other is empty.
        alignment.title = title = (hit_id + " " + hit_def if hit_id and hit_def else
                                   hit_id or hit_def or "")
        alignment.hsps = hsps
        if len(hsps) == 1 and hsps[0].expect is not None:
            best = hsps[0]
        else:
            best = _best(hsps)
        description = new(Description)
        description.title = title
        description.accession = alignment.accession
        description.num_alignments = len(hsps)
        if best is None:
            description.score = description.bits = description.e = None
        else:
            description.score = best.score
            description.bits = best.bits
            description.e = best.expect
        describe(description)
    record.alignments.extend(alignments)


# The element names of the document type that the reader reads or reads past.
KNOWN_NAMES = frozenset(tag for table in (
    HEADER_AND_PARAMETER_FIELDS, ITERATION_FIELDS, QUERY_FIELDS, STATISTICS_FIELDS,
    HIT_FIELDS, HSP_FIELDS) for tag, _, _ in table) | frozenset([
        "BlastOutput", "BlastOutput_param", "Parameters", "BlastOutput_iterations",
        "Iteration", "Iteration_hits", "Iteration_stat", "Statistics", "Hit", "Hit_hsps",
        "Hsp", "BlastOutput_mbstat"])
