"""The BLAST XML reader on input made to hurt it, each case in a child process whose address
space and processor time are limited: a case that grows memory or time without bound, or
crashes the interpreter, ends the child, and the test says how.

The documents are made in the child as they are read, so that the input itself takes no room.
"""

import io
import itertools
import unittest

import bounded_child
from Tarvo.Blast import Morvin
from Tarvo.Blast._reader import bounds

# The interpreter with the reader loaded takes about 10 MB of address space, and any case here
# a fraction of a second of processor time where the reader reads it in time of its size.
ADDRESS_SPACE = 128 * 1024 * 1024

HEAD = ('<?xml version="1.0"?>\n<!DOCTYPE BlastOutput PUBLIC "-//NCBI//NCBI BlastOutput/EN" '
        '"http://www.ncbi.nlm.nih.gov/dtd/NCBI_BlastOutput.dtd">\n')
REPORT_START = HEAD + "<BlastOutput><BlastOutput_program>blastn</BlastOutput_program>"
HSP = ("<Hsp><Hsp_num>1</Hsp_num><Hsp_bit-score>40.1</Hsp_bit-score><Hsp_score>20</Hsp_score>"
       "<Hsp_evalue>0.0004</Hsp_evalue><Hsp_qseq>ACGT</Hsp_qseq><Hsp_hseq>ACGA</Hsp_hseq>"
       "%s</Hsp>")
ONE_QUERY = ("<BlastOutput_iterations><Iteration><Iteration_hits><Hit><Hit_id>h1</Hit_id>"
             "<Hit_hsps>%s</Hit_hsps></Hit></Iteration_hits></Iteration>"
             "</BlastOutput_iterations></BlastOutput>")


class Pieces(object):
    """A stream of the given pieces, generated as they are read, at most size bytes a read."""

    def __init__(self, pieces, size=None):
        self.pieces = iter(pieces)
        self.size = size
        self.rest = ""

    def read(self, size=-1):
        size = self.size or size
        while len(self.rest) < size:
            piece = next(self.pieces, None)
            if piece is None:
                break
            self.rest += piece
        data, self.rest = self.rest[:size], self.rest[size:]
        return data


def repeated(text, times, batch=10000):
    for start in range(0, times, batch):
        yield text * min(batch, times - start)


def entities(program="&g;"):
    definitions = ['<!ENTITY a "%s">' % ("a" * 64)] + [
        '<!ENTITY %s "%s">' % (name, ("&%s;" % previous) * 16)
        for previous, name in zip("abcdef", "bcdefg")]
    return (u'<?xml version="1.0" encoding="UTF-16"?>\n<!DOCTYPE BlastOutput [\n%s\n]>\n'
            u'<BlastOutput><BlastOutput_program>%s</BlastOutput_program></BlastOutput>\n'
            % ("\n".join(definitions), program))


def forged_program(encoding):
    """A report whose program an entity sets: in UTF-8 with the declaration across two reads
    of 4 bytes."""
    text = (u'<?xml version="1.0" encoding="%s"?>\n<!DOCTYPE BlastOutput [\n'
            u'<!ENTITY forged "blastn">\n]>\n<BlastOutput><BlastOutput_program>&forged;'
            u'</BlastOutput_program>' % encoding + ONE_QUERY % (HSP % ""))
    offset = text.index("<!ENTITY")
    return (text[:offset] + " " * ((2 - offset) % 4) + text[offset:]).encode(encoding)


def nested(depth, after=""):
    return Pieces([REPORT_START, "<x>", "<a>" * depth, "</a>" * depth, "</x>", after,
                   "</BlastOutput>"])


def in_a_field(inside):
    """A report of one hit whose sequence holds inside: the hit is read whole, as a plan."""
    return io.BytesIO(REPORT_START + ONE_QUERY % (
        HSP.replace("<Hsp_qseq>ACGT</Hsp_qseq>", "<Hsp_qseq>ACGT%s</Hsp_qseq>" % inside) % ""))


def utf16_attributes():
    # In UTF-16LE, U+043E (a Cyrillic o) is the byte of ">" and another: read as bytes alone,
    # each name would seem to stand after the end of a tag.
    text = REPORT_START + u"".join(u"<a \u043e%d='1'/>" % number for number in range(2000))
    return io.BytesIO((text + u"</BlastOutput>").encode("utf-16-le"))


def in_a_hit(inside):
    """A report of one hit with inside among its children."""
    return ONE_QUERY.replace("<Hit_id>h1</Hit_id>", "<Hit_id>h1</Hit_id>" + inside) % (HSP % "")


def declaring(encoding):
    return io.BytesIO('<?xml version="1.0" encoding="%s"?>\n<BlastOutput/>' % encoding)


def split_text(piece, times, where, encoding=None):
    """A report of one hit whose sequence, or the space after its HSP, is piece many times;
    in UTF-16 (little-endian, after a byte-order mark) where encoding says so."""
    before, after = (REPORT_START + ONE_QUERY % (HSP % "")).split(
        "<Hsp_qseq>ACGT" if where == "sequence" else "</Hsp>", 1)
    pieces = itertools.chain([before + ("<Hsp_qseq>ACGT" if where == "sequence" else "</Hsp>")],
                             repeated(piece, times), [after])
    if encoding:
        pieces = itertools.chain(["\xff\xfe"], (text.encode("utf-16-le") for text in pieces))
    # Reads of an odd size cut characters of UTF-16 in two.
    return Pieces(pieces, 65537 if encoding else None)


def numbered(text, count=1000000):
    """text % {"n": number} for the first count numbers, made as they are read."""
    return (text % {"n": number} for number in itertools.islice(itertools.count(), count))


def siblings(element):
    return Pieces(itertools.chain([REPORT_START], numbered(element), ["</BlastOutput>"]))


def distinct(element):
    return Pieces([REPORT_START] + [element % number for number in range(2000)] +
                  ["</BlastOutput>"])


# name: (the stream, the outcome printed, a size of the pieces the reader is given)
CASES = {
    "entities in UTF-16 with a byte-order mark":
        (lambda: io.BytesIO(entities().encode("utf-16")), "ValueError: .*declares XML entities",
         None),
    "entities in UTF-16 without a byte-order mark":
        (lambda: io.BytesIO(entities().encode("utf-16-le")),
         "ValueError: .*declares XML entities", None),
    "an entity forging the program, in UTF-16":
        (lambda: io.BytesIO(forged_program("utf-16")), "ValueError: .*declares XML entities",
         None),
    "an entity forging the program, in UTF-8 read 4 bytes at a time":
        (lambda: Pieces([forged_program("utf-8")], 4),
         "ValueError: .*declares XML entities", None),
    "an attribute list whose defaults every element would get":
        (lambda: io.BytesIO('<!DOCTYPE BlastOutput [<!ATTLIST Hit a CDATA "x">]>'
                            '<BlastOutput/>'), "ValueError: .*declares attribute lists", None),
    "200,000 nested elements":
        (lambda: nested(200000), "ValueError: this document nests elements more than 32 deep",
         None),
    "5,000 nested elements that open and close within one piece, with a sibling after them":
        (lambda: nested(5000, "<y/>"),
         "ValueError: this document nests elements more than 32 deep", None),
    "5,000 nested elements inside a field of a hit":
        (lambda: in_a_field("<a>" * 5000 + "</a>" * 5000),
         "ValueError: this document nests elements more than 32 deep", None),
    "2,000 element names inside a field of a hit":
        (lambda: in_a_field("".join("<n%d/>" % number for number in range(2000))),
         "ValueError: .*more than 1000 element and attribute names", None),
    "5 million empty siblings":
        (lambda: Pieces([REPORT_START] + list(repeated("<a/>", 5000000)) + ["</BlastOutput>"]),
         "records 0", None),
    "2 million unknown elements inside an HSP":
        (lambda: Pieces([REPORT_START, ONE_QUERY.split("%s")[0], HSP.split("%s")[0]] +
                        list(repeated("<x/>", 2000000)) +
                        [HSP.split("%s")[1], ONE_QUERY.split("%s")[1]]),
         "records 1, HSP 'ACGT' 'ACGA'", None),
    "2,000 element names":
        (lambda: distinct("<n%d/>"), "ValueError: .*more than 1000 element and attribute names",
         None),
    "2,000 attribute names":
        (lambda: distinct("<a n%d='1'/>"),
         "ValueError: .*more than 1000 element and attribute names", None),
    "2,000 attribute names in UTF-16, each after bytes of a tag end":
        (utf16_attributes, "ValueError: .*more than 1000 element and attribute names", None),
    # Expat reads a token it cannot finish again from its start with each piece: fed pieces of
    # 256 bytes, these would take it some 30 GB of reading.
    "a comment of 4 MB, in pieces of 256 bytes":
        (lambda: Pieces([REPORT_START, "<!--", "x" * (4 << 20), "-->",
                         ONE_QUERY % (HSP % "")]), "records 1, HSP 'ACGT' 'ACGA'", 256),
    "an attribute value of 4 MB, in pieces of 256 bytes":
        (lambda: Pieces([REPORT_START, "<x a='", "x" * (4 << 20), "'/>",
                         ONE_QUERY % (HSP % "")]), "records 1, HSP 'ACGT' 'ACGA'", 256),
    "a prologue of 2 MB":
        (lambda: Pieces([HEAD, "<!--", "x" * (2 << 20), "-->", "<BlastOutput/>"]),
         "ValueError: this document runs past 1048576 bytes before its root element", None),
    "a hit's definition holding 28 levels of elements, 34 from the root":
        (lambda: io.BytesIO(REPORT_START + in_a_hit(
            "<Hit_def>" + "<a>" * 28 + "</a>" * 28 + "</Hit_def>")),
         "ValueError: this document nests elements more than 32 deep", None),
    "a hit's definition holding 26 levels of elements, 32 from the root":
        (lambda: io.BytesIO(REPORT_START + in_a_hit(
            "<Hit_def>" + "<a>" * 26 + "</a>" * 26 + "</Hit_def>")),
         "records 1, HSP 'ACGT' 'ACGA'", None),
    "a Hit_len of 1.6 million digits":
        (lambda: io.BytesIO(REPORT_START + in_a_hit("<Hit_len>%s</Hit_len>" % ("7" * 1600000))),
         "ValueError: Hit_len of hit 1 of query 1 is a number of 1600000 characters", None),
    "a million siblings each declaring a prefix":
        (lambda: siblings("<a xmlns:p%(n)d='urn:x'/>"),
         "ValueError: .*more than 1000 element and attribute names.*xmlns:p", None),
    "a million siblings each named with a prefix of its own":
        (lambda: siblings("<p%(n)d:a xmlns:p%(n)d='urn:x'/>"),
         "ValueError: .*more than 1000 element and attribute names.*xmlns:p", None),
    "'AC' and a line end ten million times in a sequence":
        (lambda: split_text("AC\n", 10000000, "sequence"),
         "ValueError: this document breaks one text into more than 100000 pieces", None),
    "'AC' and a line end ten million times between elements":
        (lambda: split_text("AC\n", 10000000, "between"),
         "ValueError: this document breaks one text into more than 100000 pieces", None),
    "'AC' and a line end ten million times between elements, in UTF-16":
        (lambda: split_text(u"AC\n", 10000000, "between", "utf-16"),
         "ValueError: this document breaks one text into more than 100000 pieces", None),
    "'AC' and an empty comment four million times in a sequence":
        (lambda: split_text("AC<!---->", 4000000, "sequence"),
         "ValueError: this document breaks one text into more than 100000 pieces", None),
    "a million distinct attributes in one start tag inside a hit":
        (lambda: Pieces(itertools.chain(
            [REPORT_START, in_a_hit("<x").split("<x")[0], "<x"],
            numbered(" a%(n)d=''"),
            ["/>" + in_a_hit("<x").split("<x")[1]])),
         "ValueError: this document has more than 1\\d+ \"=\" between two tags", None),
}
# A document after another is held to the bounds of its own, and names are counted over all.
DOCUMENT = REPORT_START + ONE_QUERY % (HSP % "")
SECOND = "document 2 of the stream: "
CASES.update({
    "a second document declaring entities":
        (lambda: io.BytesIO(DOCUMENT + entities().encode("utf-8").replace("UTF-16", "UTF-8")),
         "ValueError: %s.*declares XML entities" % SECOND, None),
    "a second document of 200,000 nested elements":
        (lambda: Pieces(itertools.chain([DOCUMENT], nested(200000).pieces)),
         "ValueError: %sthis document nests elements more than 32 deep" % SECOND, None),
    "a second document of 2 MB before its root":
        (lambda: Pieces([DOCUMENT, HEAD, "<!--", "x" * (2 << 20), "-->", "<BlastOutput/>"]),
         "ValueError: %sthis document runs past 1048576 bytes before its root" % SECOND, None),
    "two documents of 600 names each":
        (lambda: Pieces([REPORT_START] + ["<a%d/>" % number for number in range(600)] +
                        ["</BlastOutput>", REPORT_START] +
                        ["<b%d/>" % number for number in range(600)] + ["</BlastOutput>"]),
         "ValueError: %s.*more than 1000 element and attribute names" % SECOND, None),
    "20,000 documents one after another":
        (lambda: Pieces(repeated(DOCUMENT, 20000, 100)),
         "records 20000, HSP 'ACGT' 'ACGA'", None),
    # Each declaration inside a document is fed apart to see whether the document has ended:
    # within one comment, a great many would have expat read the comment again and again.
    "a declaration after an end tag 400,000 times in a comment":
        (lambda: Pieces([REPORT_START, "<!--"] +
                        list(repeated('</BlastOutput><?xml version="1.0"?>', 400000)) +
                        ["-->", ONE_QUERY % (HSP % "")]), "records 1, HSP 'ACGT' 'ACGA'",
         None),
})
for _encoding in ("x-unknown", "zlib", "hex", "string_escape", "punycode"):
    CASES["a report declaring the encoding %s" % _encoding] = (
        lambda encoding=_encoding: declaring(encoding),
        "ValueError: the document declares the encoding '%s'" % _encoding, None)
CASES["a report declaring an encoding whose name holds a NUL"] = (
    lambda: declaring("a\x00b"),
    r"ValueError: the document declares the encoding 'a\\x00b', which is not one known", None)
CASES["a report in UTF-16 declaring the encoding zlib"] = (
    lambda: io.BytesIO(u'<?xml version="1.0" encoding="zlib"?>\n<BlastOutput/>'.encode("utf-16")),
    "ValueError: the document declares the encoding 'zlib'", None)


def run_case(name):
    """In the child: read the case's document within the limits; print what came of it."""
    bounded_child.hold(ADDRESS_SPACE)
    stream, _, piece = CASES[name]
    if piece:
        Morvin.CHUNK_SIZE = piece
    try:
        records = list(Morvin.parse(stream()))
    except (ValueError, MemoryError) as error:
        print("%s: %s" % (type(error).__name__, error))
        return
    hsps = [hsp for record in records for alignment in record.alignments
            for hsp in alignment.hsps]
    print("records %d%s" % (len(records), "".join(", HSP %r %r" % (hsp.query, hsp.sbjct)
                                                  for hsp in hsps)))


class TextPiecesTest(unittest.TestCase):
    def test_a_long_text_in_small_reads_is_read_and_one_of_tiny_pieces_refused(self):
        # Pieces as the tree would feed them while no element ends: 110,000 reads of 32 bytes
        # (a slow stream), then of a few bytes each, most a line end.
        for piece, refused in [("x" * 32, False), ("ACGTAC\n", True)]:
            splits = bounds.Splits(None, 1000)
            offset = 0
            try:
                for _ in range(110000):
                    splits.check(piece, offset, False)
                    offset += len(piece)
            except ValueError as error:
                self.assertTrue(refused, "%r refused: %s" % (piece, error))
                self.assertRegexpMatches(str(error), "more than 100000 pieces .* of fewer than "
                                                     "16 bytes on average")
            else:
                self.assertFalse(refused, "%r was not refused" % piece)


class HostileInputTest(unittest.TestCase):
    def test_each_case_ends_clearly_within_bounded_memory_and_time(self):
        bounded_child.check_each_case(self, "test_reader_hostile", CASES)

if __name__ == "__main__":
    unittest.main()
