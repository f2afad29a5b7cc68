"""The reader's records of fixed reports, compared whole with the records frozen beside them.

data/records/ holds reports that BLAST+ 2.12 wrote for the FASTA files in data/ (as the
BLAST+ suite runs them), a hand-made report of the document type's corners (edges.xml), and
for each the records the reader made of it: every attribute of every object, with its type
(str, unicode, int, long, float, None). A change to the reader that changes a field, a value or
a type fails here. After a deliberate change, write the frozen records anew with

    PYTHONPATH=lib python2.7 tests/toolkit/test_reader_records.py --freeze
"""

import ast
import contextlib
import glob
import io
import os
import pickle
import pprint
import random
import sys
import unittest

from Tarvo.Blast import Morvin
from Tarvo.Blast._reader import batch as _batch

RECORDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "records")


def data(value):
    """A record, or anything in it, as plain values: objects become dicts of their attributes."""
    if isinstance(value, list):
        return [data(item) for item in value]
    if type(value).__module__ == Morvin.__name__:
        names = set(getattr(value, "__dict__", ()))
        for cls in type(value).__mro__:
            names.update(getattr(cls, "__slots__", ()))
        names -= set(["__dict__", "__weakref__"])
        fields = dict((name, data(getattr(value, name))) for name in names)
        fields["__class__"] = type(value).__name__
        return fields
    return value


def records_of(stream):
    return data(list(Morvin.parse(stream)))


def reports():
    return sorted(glob.glob(os.path.join(RECORDS, "*.xml")))


def frozen(report):
    with open(report[:-len(".xml")] + ".records") as handle:
        return ast.literal_eval(handle.read())


def content(report):
    with open(report, "rb") as handle:
        return handle.read()


class Trickle(object):
    """A stream that hands out at most `size` bytes per read, as a pipe may."""

    def __init__(self, text, size):
        self.stream = io.BytesIO(text)
        self.size = size

    def read(self, size=-1):
        return self.stream.read(self.size)


def generated_report(hits, seed=5):
    """A report of one query and hits made to differ where the batch reading could go wrong:
    HSPs from none to three, numbers small, large, real and padded, a run of hits without a
    definition, and now and then an empty field, an HSP of another layout or an element BLAST
    does not write (which leave the hits read with them to the general reading)."""
    rand = random.Random(seed)

    def number():
        return rand.choice(["7", "4095", "4096", "150000", "-3", " 12\n", "99999999999999999999"])

    def hsp(index, hit):
        fields = [("Hsp_num", str(index)), ("Hsp_bit-score", rand.choice(["40.1", "1e3"])),
                  ("Hsp_score", rand.choice(["20", "55.5", "4100"])),
                  ("Hsp_evalue", rand.choice(["0.0004", "1e-180", "3", "0"]))]
        fields += [(tag, number()) for tag in ("Hsp_query-from", "Hsp_query-to", "Hsp_hit-from",
                                               "Hsp_hit-to", "Hsp_identity", "Hsp_align-len")]
        fields += [("Hsp_query-frame", rand.choice(["1", "-2"])),
                   ("Hsp_qseq", "ACGT"), ("Hsp_hseq", rand.choice(["ACGA", "AC&amp;T"])),
                   ("Hsp_midline", "|| |")]
        if hit % 997 == 0:
            fields.reverse()
        if hit % 331 == 0:
            fields.append(("Hsp_note", "not BLAST's"))
        return "<Hsp>%s</Hsp>" % "".join("<%s>%s</%s>" % (tag, text, tag)
                                         for tag, text in fields)

    parts = ['<?xml version="1.0"?>\n<BlastOutput><BlastOutput_program>blastn'
             '</BlastOutput_program><BlastOutput_iterations><Iteration><Iteration_hits>\n']
    for index in range(1, hits + 1):
        definition = ("" if 2000 <= index < 2100 else "<Hit_def/>" if index % 499 == 0 else
                      "<Hit_def>hit %d</Hit_def>" % index)
        parts.append("<Hit><Hit_num>%d</Hit_num><Hit_id>id%d</Hit_id>%s<Hit_accession>A%d"
                     "</Hit_accession><Hit_len>%s</Hit_len><Hit_hsps>%s</Hit_hsps></Hit>\n"
                     % (index, index, definition, index, number(), "".join(
                         hsp(number, index)
                         for number in range(1, rand.choice([0, 1, 1, 1, 2, 3]) + 1))))
    parts.append("</Iteration_hits></Iteration></BlastOutput_iterations></BlastOutput>\n")
    return "".join(parts)


@contextlib.contextmanager
def counted_batches():
    """Count the hits that the batch reading reads while inside."""
    read_hits, counted = _batch.Plans.read_hits, []

    def counting(plans, hits, record):
        done = read_hits(plans, hits, record)
        counted.extend(hits if done else [])
        return done
    _batch.Plans.read_hits = counting
    try:
        yield counted
    finally:
        _batch.Plans.read_hits = read_hits


class FrozenRecordsTest(unittest.TestCase):
    def assertRecords(self, expected, actual, label, differ="the records differ from the "
                                                            "frozen ones"):
        if expected != actual:
            self.fail("%s: %s\n%s" % (label, differ, "\n".join(
                _differences(expected, actual, "records"))))

    def test_every_report_gives_its_frozen_records(self):
        self.assertGreater(len(reports()), 5)
        for report in reports():
            self.assertRecords(frozen(report), records_of(io.BytesIO(content(report))),
                               os.path.basename(report))

    def test_the_same_records_with_and_without_the_batch_reading(self):
        generated = generated_report(3000)
        cases = [(os.path.basename(report), content(report), None) for report in reports()]
        cases += [("a generated report of 3000 hits", generated, None),
                  ("the same, 1000 bytes a read", generated, 1000)]
        for label, text, size in cases:
            with counted_batches() as batched:
                together = data(list(Morvin._records_of(
                    Trickle(text, size) if size else io.BytesIO(text), batch=True)))
            alone = data(list(Morvin._records_of(
                Trickle(text, size) if size else io.BytesIO(text), batch=False)))
            self.assertRecords(alone, together, label, "the batch reading's records differ "
                                                       "from the general reading's")
            if label.startswith("a generated"):
                self.assertEqual(3000, len(together[0]["alignments"]))
                # Most hits fit the layout: the batch reading was not left out.
                self.assertGreater(len(batched), 2500, label)

    def test_the_same_records_however_the_bytes_come(self):
        edges = os.path.join(RECORDS, "edges.xml")
        text = content(edges)
        expected = frozen(edges)
        unicode_text = text.decode("utf-8")
        for label, stream in [
                ("one byte per read", Trickle(text, 1)),
                ("seven bytes per read", Trickle(text, 7)),
                ("UTF-16 with a byte-order mark", io.BytesIO(unicode_text.encode("utf-16"))),
                ("UTF-16BE declared", io.BytesIO(unicode_text.replace(
                    u'<?xml version="1.0"?>', u'<?xml version="1.0" encoding="UTF-16BE"?>')
                    .encode("utf-16-be"))),
                ("a stream of text", io.StringIO(unicode_text))]:
            self.assertRecords(expected, records_of(stream), label)

    def test_records_keep_their_fields_through_pickling(self):
        edges = os.path.join(RECORDS, "edges.xml")
        records = list(Morvin.parse(io.BytesIO(content(edges))))
        for protocol in (0, 2):
            self.assertRecords(frozen(edges), data(pickle.loads(pickle.dumps(records, protocol))),
                               "pickled with protocol %d" % protocol)

    def test_a_caller_may_add_attributes_of_its_own(self):
        record = Morvin.read(io.BytesIO(content(os.path.join(RECORDS, "blastp_protein.xml"))))
        alignment, description = record.alignments[0], record.descriptions[0]
        hsp = alignment.hsps[0]
        for thing in (record, alignment, description, hsp):
            thing.note = "mine"
            self.assertEqual("mine", thing.note)
        record.alignments = record.alignments[:0]
        self.assertEqual([], record.alignments)


def _differences(expected, actual, where):
    """Where two plain values differ, down to the attribute; types count."""
    if type(expected) is not type(actual):
        return ["%s: %r (%s) became %r (%s)" % (where, expected, type(expected).__name__,
                                                 actual, type(actual).__name__)]
    if isinstance(expected, dict):
        lines = []
        for name in sorted(set(expected) | set(actual)):
            if name not in actual:
                lines.append("%s.%s: gone" % (where, name))
            elif name not in expected:
                lines.append("%s.%s: new, %r" % (where, name, actual[name]))
            else:
                lines += _differences(expected[name], actual[name], "%s.%s" % (where, name))
        return lines
    if isinstance(expected, list):
        if len(expected) != len(actual):
            return ["%s: %d items became %d" % (where, len(expected), len(actual))]
        return sum((_differences(e, a, "%s[%d]" % (where, i))
                    for i, (e, a) in enumerate(zip(expected, actual))), [])
    return [] if expected == actual else ["%s: %r became %r" % (where, expected, actual)]


def freeze():
    for report in reports():
        with open(report[:-len(".xml")] + ".records", "w") as handle:
            handle.write(pprint.pformat(records_of(io.BytesIO(content(report)))) + "\n")


if __name__ == "__main__":
    if sys.argv[1:] == ["--freeze"]:
        freeze()
    else:
        unittest.main()
