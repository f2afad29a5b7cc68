"""Reader of BLAST XML reports (the NCBI_BlastOutput document type): one record per query.

parse() streams: each Hit and each Iteration is turned into plain objects and its elements
are dropped at once, so memory beyond the records stays flat however long the report is.
"""

import xml.etree.cElementTree as ElementTree

# Bytes handed to expat at a time.
CHUNK_SIZE = 64 * 1024


class Record(object):
    """One query's search: the report's header, its parameters and statistics, its hits."""


class Alignment(object):
    """One hit with its HSPs."""


class HSP(object):
    """One high-scoring segment pair of a hit."""


class Description(object):
    """One hit's summary line: its title and its best HSP's scores."""


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


def read(handle):
    """The one record of a single-query BLAST XML report."""
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
    stream = _Guarded(handle)
    path = []
    header = {}
    record = None
    queries = 0
    parents = {}
    try:
        for event, element in ElementTree.iterparse(stream, events=("start", "end")):
            tag = element.tag
            if event == "start":
                if not path:
                    _check_root(tag, stream)
                path.append(tag)
                parents[tag] = element
                if tag == "Iteration":
                    queries += 1
                    record = _new_record(header)
                continue
            path.pop()
            if tag == "Hit" and record is not None:
                _add_hit(record, element, "query %d" % queries)
                _drop_children(parents, "Iteration_hits")
            elif tag == "Iteration":
                _finish_record(record, element, header, "query %d" % queries)
                _drop_children(parents, "BlastOutput_iterations")
                yield record
                record = None
            elif len(path) == 1 or tag == "Parameters":
                _read_fields(header, element, HEADER_AND_PARAMETER_FIELDS, "the report")
    except ElementTree.ParseError as error:
        raise ValueError(_parse_failure(error, stream, path))


def _drop_children(parents, tag):
    # What was read from them lives on in the records; the elements need not.
    parent = parents.get(tag)
    if parent is not None:
        parent.clear()


def _check_root(tag, stream):
    if tag == "BlastOutput":
        return
    name = tag.rsplit("}", 1)[-1]
    if name == "BlastXML2":
        raise ValueError("this is a BLAST XML2 report, a different document type: ask for "
                         "the BlastOutput XML (BLAST+ -outfmt 5, the web service's "
                         "FORMAT_TYPE=XML)")
    if name.lower() == "html":
        raise ValueError("this is an HTML page, not a BLAST XML report: %s" % stream.start())
    raise ValueError("this XML document is a <%s>, not a BLAST XML report (whose root "
                     "element is <BlastOutput>): %s" % (name, stream.start()))


def _parse_failure(error, stream, path):
    if not stream.head.strip():
        return "the input is empty: no BLAST XML report was read"
    lowered = stream.head.lstrip().lower()
    if lowered.startswith("<!doctype html") or lowered.startswith("<html"):
        return "this is an HTML page, not a BLAST XML report: %s" % stream.start()
    if stream.eof:
        where = "inside <%s>" % "/".join(path) if path else "before its root element"
        return ("the BLAST XML report is cut short: it ends at line %d, column %d after %d "
                "bytes, %s" % (stream.line, stream.column, stream.total, where))
    return "the input is not well-formed XML (%s); it starts %s" % (error, stream.start())


def _new_record(header):
    record = Record()
    for _, name, _ in HEADER_AND_PARAMETER_FIELDS + ITERATION_FIELDS + STATISTICS_FIELDS:
        setattr(record, name, header.get(name))
    record.alignments = []
    record.descriptions = []
    return record


def _finish_record(record, element, header, where):
    _read_fields(record.__dict__, element, ITERATION_FIELDS, where)
    query = {}
    _read_fields(query, element, QUERY_FIELDS, where)
    for _, name, _ in QUERY_FIELDS:
        value = query.get(name)
        setattr(record, name, header.get(name) if value in (None, "") else value)
    statistics = element.find("Iteration_stat/Statistics")
    if statistics is not None:
        _read_fields(record.__dict__, statistics, STATISTICS_FIELDS, where)


def _add_hit(record, element, query):
    where = "hit %d of %s" % (len(record.alignments) + 1, query)
    alignment = Alignment()
    for _, name, _ in HIT_FIELDS:
        setattr(alignment, name, None)
    _read_fields(alignment.__dict__, element, HIT_FIELDS, where)
    alignment.title = " ".join(part for part in (alignment.hit_id, alignment.hit_def) if part)
    alignment.hsps = []
    for number, hsp_element in enumerate(element.findall("Hit_hsps/Hsp"), 1):
        hsp = HSP()
        for _, name, _ in HSP_FIELDS:
            setattr(hsp, name, None)
        _read_fields(hsp.__dict__, hsp_element, HSP_FIELDS, "HSP %d of %s" % (number, where))
        alignment.hsps.append(hsp)
    record.alignments.append(alignment)
    record.descriptions.append(_describe(alignment))


def _describe(alignment):
    description = Description()
    description.title = alignment.title
    description.accession = alignment.accession
    description.num_alignments = len(alignment.hsps)
    scored = [hsp for hsp in alignment.hsps if hsp.expect is not None]
    best = min(scored, key=lambda hsp: hsp.expect) if scored else None
    description.score = best.score if best else None
    description.bits = best.bits if best else None
    description.e = best.expect if best else None
    return description


def _read_fields(target, element, fields, where):
    """Copy the texts of element (or of its children) named in fields into target, converted."""
    table = _TABLES.get(fields)
    if table is None:
        table = _TABLES[fields] = dict((tag, (name, convert)) for tag, name, convert in fields)
    for child in ([element] if element.tag in table else element):
        entry = table.get(child.tag)
        if entry is None:
            continue
        name, convert = entry
        text = child.text or ""
        if convert:
            try:
                text = convert(text.strip())
            except ValueError:
                raise ValueError("%s of %s is not a number: %r" % (child.tag, where, text))
        target[name] = text


_TABLES = {}


class _Guarded(object):
    """The input as expat sees it, refusing entity declarations before expat reads them.

    The interpreter's expat does not limit entity expansion, so a document that declares
    entities could grow without bound; a BLAST report never declares any.
    """

    MARK = "<!ENTITY"

    def __init__(self, handle):
        self.handle = handle
        self.head = ""
        self.tail = ""
        self.total = 0
        self.line, self.column = 1, 0
        self.eof = False

    def read(self, size=CHUNK_SIZE):
        data = self.handle.read(CHUNK_SIZE)
        if isinstance(data, unicode):
            data = data.encode("utf-8")
        if not data:
            self.eof = True
            return ""
        if self.MARK in self.tail + data:
            raise ValueError("the document declares XML entities (<!ENTITY ...>), which a "
                             "BLAST XML report never does; it was refused unread, since "
                             "expanding them could take unbounded memory")
        if len(self.head) < 512:
            self.head += data[:512 - len(self.head)]
        self.tail = data[-len(self.MARK):]
        self.total += len(data)
        newlines = data.count("\n")
        self.line += newlines
        self.column = len(data) - data.rfind("\n") - 1 if newlines else self.column + len(data)
        return data

    def start(self, size=200):
        text = " ".join(self.head[:size].split())
        return repr(text + ("..." if self.total > size else ""))
