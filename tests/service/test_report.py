"""XML reports as results requests ask for them, read from their file in bounded pieces: the first
hits of each query, ids with or without GI numbers, long alignment lines intact."""
import pytest

from localblast.reports import edits

LONG = "ACGT" * (edits.PIECE // 2)   # an alignment line twice as long as a piece


def hit(number, gi):
    seq_id = "%sref|NP_%06d.1|" % ("gi|%d|" % (1000 + number) if gi else "", number)
    return ("<Hit>\n  <Hit_num>%d</Hit_num>\n  <Hit_id>%s</Hit_id>\n  <Hit_def>protein %d</Hit_def>\n"
            "  <Hit_hsps>\n    <Hsp>\n      <Hsp_qseq>%s</Hsp_qseq>\n    </Hsp>\n  </Hit_hsps>\n</Hit>\n"
            % (number, seq_id, number, LONG if number == 1 else "MKT"))


def document(hits_per_query, gi=True, queries=2):
    """A report shaped as BLAST+ writes it: the query is "gi|7|ref|NP_7.1|" in each scope."""
    query_id = "gi|7|ref|NP_7.1|" if gi else "ref|NP_7.1|"
    iterations = "".join(
        "<Iteration>\n  <Iteration_query-ID>%s</Iteration_query-ID>\n<Iteration_hits>\n%s</Iteration_hits>\n"
        "</Iteration>\n" % (query_id, "".join(hit(number, gi) for number in range(1, hits_per_query + 1)))
        for _ in range(queries))
    return ('<?xml version="1.0"?>\n<BlastOutput>\n  <BlastOutput_query-ID>%s</BlastOutput_query-ID>\n'
            "<BlastOutput_iterations>\n%s</BlastOutput_iterations>\n</BlastOutput>\n"
            % (query_id, iterations)).encode()


@pytest.mark.parametrize("limit, show_gi, hits, gi", [
    (None, True, 4, True),
    (None, False, 4, False),
    (2, True, 2, True),
    (1, False, 1, False),
    (10, True, 4, True),
], ids=["as written", "without gi", "two hits", "one hit without gi", "more than there are"])
def test_an_xml_report_keeps_the_first_hits_of_each_query_and_gi_numbers_as_asked(
        tmp_path, limit, show_gi, hits, gi):
    path = tmp_path / "report.xml"
    path.write_bytes(document(4))
    expected = document(hits, gi)
    with open(str(path), "rb") as stream:
        chunks = list(edits.edited_xml(stream, limit, show_gi))
    assert b"".join(chunks) == expected, "differs from the expected report"
    assert max(len(chunk) for chunk in chunks) <= 2 * edits.PIECE


def test_a_report_without_hits_has_none_and_one_with_hits_has_them(tmp_path):
    for hits, expected in ((0, False), (3, True)):
        path = tmp_path / ("%d.xml" % hits)
        path.write_bytes(document(hits))
        assert edits.has_hits(str(path)) is expected
