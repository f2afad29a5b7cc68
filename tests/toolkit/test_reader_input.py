"""The BLAST XML reader on small hand-made reports: its fields, streaming, and bad input."""

import io
import os
import unittest

import test_reader_records
from Tarvo.Blast import Morvin
from test_reader_records import Trickle

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def data(name):
    with open(os.path.join(DATA, name), "rb") as handle:
        return handle.read()


class LineByLine(object):
    """A stream that hands out one line per read and counts what it gave."""

    def __init__(self, text):
        self.lines = io.BytesIO(text)
        self.given = 0

    def read(self, size=-1):
        line = self.lines.readline()
        self.given += len(line)
        return line


class FieldsTest(unittest.TestCase):
    def test_record_of_a_web_style_report(self):
        record = Morvin.read(io.BytesIO(data("minimal_report.xml")))
        self.assertEqual(("BLASTN", "BLASTN 2.12.0+", "nt"),
                         (record.application, record.version, record.database))
        # No Iteration_query-* here: the header's query stands in.
        self.assertEqual(("gi|37953274|ref|NM_001009059.1|", "Pan troglodytes test mRNA", 68),
                         (record.query_id, record.query, record.query_letters))
        self.assertEqual("1e-07", record.expect)
        self.assertEqual((2, -3, 5, 2, "L;m;", None),
                         (record.sc_match, record.sc_mismatch, record.gap_open,
                          record.gap_extend, record.filter, record.matrix))
        self.assertEqual((5, 6000, 408000.0, 0.41, 0.625),
                         (record.db_num, record.db_len, record.eff_space, record.kappa,
                          record.lambda_))
        [alignment] = record.alignments
        self.assertEqual(("gi|37953274|ref|NM_001009059.1|", "NM_001009059", 1200,
                          "gi|37953274|ref|NM_001009059.1| Pan troglodytes test mRNA"),
                         (alignment.hit_id, alignment.accession, alignment.length,
                          alignment.title))
        [hsp] = alignment.hsps
        self.assertEqual((40.1, 20, 0.0004, 1, 20, 101, 120, 20, None, 20),
                         (hsp.bits, hsp.score, hsp.expect, hsp.query_start, hsp.query_end,
                          hsp.sbjct_start, hsp.sbjct_end, hsp.identities, hsp.positives,
                          hsp.align_length))
        self.assertEqual("||||||||||||||||||| ", hsp.match)
        [description] = record.descriptions
        self.assertEqual((alignment.title, "NM_001009059", 20, 40.1, 0.0004, 1),
                         (description.title, description.accession, description.score,
                          description.bits, description.e, description.num_alignments))

    def test_numbers_of_hits_read_together_keep_their_values_and_types(self):
        # (Hit_len, Hsp_score, Hsp_hit-to) of hits alike but for them: small and large whole
        # numbers, one with blanks, a real score, side by side in one read of the hits.
        cases = [("1200", "20", "120", 1200, 20, 120),
                 ("150000", "20", "149999", 150000, 20, 149999),
                 (" 7\n", "55.5", "4096", 7, 55.5, 4096),
                 ("4095", "-3", "99999999999999999999", 4095, -3, 99999999999999999999)]
        one = data("minimal_report.xml")
        start, end = one.index("        <Hit>"), one.index("      </Iteration_hits>")
        hit = one[start:end]
        hits = "".join(hit.replace("<Hit_len>1200<", "<Hit_len>%s<" % length)
                       .replace("<Hsp_score>20<", "<Hsp_score>%s<" % score)
                       .replace("<Hsp_hit-to>120<", "<Hsp_hit-to>%s<" % to)
                       for length, score, to, _, _, _ in cases)
        record = Morvin.read(io.BytesIO(one[:start] + hits + one[end:]))
        read = [(alignment.length, alignment.hsps[0].score, alignment.hsps[0].sbjct_end,
                 description.score) for alignment, description in
                zip(record.alignments, record.descriptions)]
        expected = [(length, score, to, score) for _, _, _, length, score, to in cases]
        self.assertEqual(expected, read)
        self.assertEqual([map(type, values) for values in expected],
                         [map(type, values) for values in read])

    def test_parse_streams_records_before_the_report_ends(self):
        one = data("minimal_report.xml")
        start, end = one.index("    <Iteration>"), one.index("  </BlastOutput_iterations>")
        report = one[:end] + one[start:end] * 3 + one[end:]
        stream = LineByLine(report)
        records = Morvin.parse(stream)
        next(records)
        self.assertLess(stream.given, len(report) // 2)
        self.assertEqual(3, len(list(records)))
        self.assertEqual(len(report), stream.given)

    def test_read_wants_exactly_one_query(self):
        one = data("minimal_report.xml")
        start, end = one.index("    <Iteration>"), one.index("  </BlastOutput_iterations>")
        three = one[:end] + one[start:end] * 3 + one[end:]
        cases = [
            (three, r"^the BLAST XML report holds more than one query \(4 in all\); read it "
                    r"with parse\(\), which yields one record per query$"),
            (one * 3, r"^the stream holds 3 BLAST XML reports, one after another, which hold "
                      r"more than one query \(3 in all\); read it with parse\(\)"),
            (one + three, r"^the stream holds 2 BLAST XML reports, .* \(5 in all\)"),
            # Counted as far as the stream can be read.
            (three[:-len("</BlastOutput>\n")],
             r"^the BLAST XML report holds more than one query \(at least 4 in all\)"),
            (data("bad/no_iteration.xml"), "^the BLAST XML report holds no query"),
        ]
        for text, pattern in cases:
            with self.assertRaisesRegexp(ValueError, pattern):
                Morvin.read(io.BytesIO(text))
        self.assertEqual(68, Morvin.read(io.BytesIO(one + data("bad/no_iteration.xml")))
                         .query_letters)

    def test_a_stream_of_text_is_read_as_well(self):
        record = Morvin.read(io.StringIO(data("minimal_report.xml").decode("ascii")))
        self.assertEqual(68, record.query_letters)

    def test_each_encoding_expat_reads_is_read_as_declared(self):
        text = data("minimal_report.xml").decode("ascii").replace(
            u"Pan troglodytes test", u"Pan troglodytes t\xe9st")
        for declared, codec, mark in [
                ("UTF-8", "utf-8", ""), ("UTF-8", "utf-8", "\xef\xbb\xbf"),
                ("ISO-8859-1", "iso-8859-1", ""), ("windows-1252", "cp1252", ""),
                ("latin1", "latin1", ""), ("UTF-16", "utf-16", ""),
                # Names that expat would read as one byte a character, through a codec.
                ("utf8", "utf-8", ""), ("l1", "latin1", ""), ("utf16", "utf-16", "")]:
            document = mark + text.replace(u'<?xml version="1.0"?>', u'<?xml version="1.0" '
                                           u'encoding="%s"?>' % declared).encode(codec)
            for size in (None, 3):
                stream = LineByLine(document) if size is None else Trickle(document, size)
                self.assertEqual(u"Pan troglodytes t\xe9st mRNA", Morvin.read(stream).query,
                                 (declared, mark, size))

    def test_utf16_in_either_byte_order_with_or_without_a_mark(self):
        # Both the declaration's reading and the prologue's expat must find the byte order.
        text = data("minimal_report.xml").decode("ascii").replace(
            u'<?xml version="1.0"?>', u'<?xml version="1.0" encoding="UTF-16"?>')
        entity = text.replace(u'.dtd">', u'.dtd" [<!ENTITY a "b">]>')
        expected = test_reader_records.data(Morvin.read(io.BytesIO(data("minimal_report.xml"))))
        for order, mark in [("le", "\xff\xfe"), ("le", ""), ("be", "\xfe\xff"), ("be", "")]:
            label = "UTF-16%s%s" % (order.upper(), " with a mark" if mark else "")
            codec = "utf-16-" + order
            self.assertEqual(expected, test_reader_records.data(
                Morvin.read(io.BytesIO(mark + text.encode(codec)))), label)
            with self.assertRaisesRegexp(ValueError, "declares XML entities", msg=label):
                Morvin.read(Trickle(mark + entity.encode(codec), 3))

    def test_something_that_is_no_stream_is_a_type_error(self):
        with self.assertRaisesRegexp(TypeError, "readable stream.*str"):
            list(Morvin.parse(os.path.join(DATA, "minimal_report.xml")))

        class Numbers(object):
            def read(self, size=-1):
                return 7
        with self.assertRaisesRegexp(TypeError, "read\\(\\) gave int, not bytes or text"):
            list(Morvin.parse(Numbers()))


def records_alone(documents):
    """The records of each document read on its own, one document after the other."""
    return [records for document in documents for records in
            test_reader_records.data(list(Morvin.parse(io.BytesIO(document))))]


class DocumentsTest(unittest.TestCase):
    """Whole documents one after another in one stream, as the older standalone programs wrote
    them, one per query: the records of each, in order, as each gives them alone."""

    def setUp(self):
        one = data("minimal_report.xml")
        start, end = one.index("    <Iteration>"), one.index("  </BlastOutput_iterations>")
        # One of two queries among them.
        self.documents = [text.replace("Pan troglodytes test", "query %d" % number)
                          for number, text in enumerate(
                              [one, one[:end] + one[start:end] + one[end:], one])]

    def test_the_records_of_each_document_in_order(self):
        documents = self.documents
        joined = "".join(documents)
        # The second document's declaration cut between two reads at each of its bytes.
        padded = documents[0] + " " * (Morvin.CHUNK_SIZE - len(documents[0]))
        cases = [("one after another", io.BytesIO(joined)),
                 ("a byte a read", Trickle(joined, 1)),
                 ("seven bytes a read", Trickle(joined, 7)),
                 ("a line end, a comment and a byte-order mark between", io.BytesIO(
                     documents[0] + "\n<!-- next -->\n" + documents[1] +
                     "\xef\xbb\xbf" + documents[2])),
                 ("each in UTF-16", io.BytesIO("".join(
                     document.decode("ascii").encode("utf-16") for document in documents))),
                 ("a declaration in a comment of each, before and inside its root",
                  io.BytesIO("".join(document.replace(
                      "<BlastOutput>", '<!-- <?xml version="1.0"?> --><BlastOutput>').replace(
                      "<BlastOutput_iterations>",
                      '<!-- </BlastOutput><?xml version="1.0"?> --><BlastOutput_iterations>')
                      for document in documents)))]
        cases += [("the declaration cut after %d bytes" % cut,
                   io.BytesIO(padded[:len(padded) - cut] + documents[1]))
                  for cut in range(1, 7)]
        for label, stream in cases:
            expected = records_alone(documents if "cut" not in label else documents[:2])
            self.assertEqual(expected, test_reader_records.data(list(Morvin.parse(stream))),
                             label)

    def test_a_fault_in_a_later_document_names_it(self):
        first, second = self.documents[:2]
        cases = [
            (first + second.replace("<Hit_len>1200<", "<Hit_len>1.2 kb<"),
             r"^document 2 of the stream: Hit_len of hit 1 of query 2 is not a number: '1.2 kb'$"),
            (first + '<?xml version="1.0"?>\n<html><body>Busy</body></html>',
             r"^document 2 of the stream: this is an HTML page, not a BLAST XML report: "
             r"'<\?xml version=\"1.0\"\?> <html><body>Busy</body></html>'$"),
            (first + second[:300], r"^document 2 of the stream: the BLAST XML report is cut "
                                   r"short: it ends at line 68, column 36 after %d bytes, "
                                   r"inside <BlastOutput/BlastOutput_db>$" % (len(first) + 300)),
            (first + second.replace(".dtd\">", ".dtd\" [<!ENTITY a 'b'>]>"),
             r"^document 2 of the stream: the document declares XML entities"),
            # At the stream's line and column, not the document's.
            (first + second.replace("</Hit_def>", "</Hit_id>"),
             r"^document 2 of the stream: the input is not well-formed XML \(mismatched tag: "
             r"line 89, column 33\); it starts '<\?xml version=\"1.0\"\?> <!DOCTYPE"),
            (first + "   " + second.replace("?>", "?><", 1),
             r"^document 2 of the stream: the input is not well-formed XML \(not well-formed "
             r"\(invalid token\): line 63, column 25\)"),
            # Not a declaration: no document begins there.
            (first + "<BlastOutput/>", r"^the input is not well-formed XML \(junk after "
                                       r"document element: line 63, column 0\)"),
        ]
        for text, pattern in cases:
            with self.assertRaisesRegexp(ValueError, pattern):
                list(Morvin.parse(io.BytesIO(text)))


class BadInputTest(unittest.TestCase):
    CASES = [
        ("empty.xml", "input is empty"),
        ("whitespace.xml", "input is empty"),
        ("html_page.html", "HTML page, not a BLAST XML report: '<!DOCTYPE html>"),
        ("xhtml_page.xml", "HTML page, not a BLAST XML report"),
        ("truncated.xml", r"cut short: it ends at line 39, column 32 after 1650 bytes, inside "
                          r"<BlastOutput/BlastOutput_iterations/Iteration/Iteration_hits/Hit/"
                          r"Hit_hsps/Hsp/Hsp_hit-to>"),
        ("xml2_report.xml", "XML2 report, a different document type"),
        ("other_type.xml", "is a <eSearchResult>, not a BLAST XML report"),
        ("hit_length_not_a_number.xml", "Hit_len of hit 1 of query 1 is not a number: '1.2 kb'"),
        ("query_length_not_a_number.xml",
         "BlastOutput_query-len of the report is not a number: 'sixty-eight'"),
        ("not_well_formed.xml", "not well-formed XML \\(mismatched tag: line 27"),
        ("entity_expansion.xml", "declares XML entities.*refused unread"),
    ]

    def test_each_bad_input_gets_a_message_that_names_the_fault(self):
        for name, pattern in self.CASES:
            with self.assertRaisesRegexp(ValueError, pattern):
                Morvin.read(io.BytesIO(data(os.path.join("bad", name))))

    def test_a_report_cut_right_after_its_query_is_cut_short(self):
        one = data("minimal_report.xml")
        end = one.index("</Iteration>") + len("</Iteration>")
        for cut in (one[:end], one[:end] + "\n  </BlastOutput_iterations>"):
            with self.assertRaisesRegexp(ValueError, "cut short: .* bytes, inside <BlastOutput"
                                                     "(/BlastOutput_iterations)?>$"):
                Morvin.read(io.BytesIO(cut))

    def test_entity_declaration_across_two_reads_is_refused(self):
        head = '<?xml version="1.0"?>\n<!DOCTYPE BlastOutput [\n<!-- '
        pad = "x" * (Morvin.CHUNK_SIZE - len(head) - 8)
        document = head + pad + " -->" + '<!ENTITY a "b">]>\n<BlastOutput>&a;</BlastOutput>'
        self.assertEqual("<!EN", document[Morvin.CHUNK_SIZE - 4:Morvin.CHUNK_SIZE])
        with self.assertRaisesRegexp(ValueError, "declares XML entities"):
            list(Morvin.parse(io.BytesIO(document)))


if __name__ == "__main__":
    unittest.main()
