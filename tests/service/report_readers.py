"""Readers of every report format the URL API answers, each with a real parser of its format
(or, for Text and Tabular, the lines BLAST+ writes): what a report says of its queries."""
import collections
import csv
import io
import json
import re
import xml.etree.ElementTree as ElementTree
import zipfile
from html.parser import HTMLParser

# A query's name (its id and title, as the report writes them) and the ids of its hits: as
# descriptions and as alignments (the same list where a format has only one).
Query = collections.namedtuple("Query", "name descriptions alignments")
NCBI = "{http://www.ncbi.nlm.nih.gov}"


def read_xml(body):
    report = ElementTree.fromstring(body)
    queries = []
    for iteration in report.iter("Iteration"):
        name = "%s %s" % (iteration.findtext("Iteration_query-ID"), iteration.findtext("Iteration_query-def"))
        hits = [hit.findtext("Hit_id") for hit in iteration.iter("Hit")]
        queries.append(Query(name, hits, hits))
    return queries


def xml2_queries(report):
    queries = []
    for search in report.iter(NCBI + "Search"):
        name = "%s %s" % (search.findtext(NCBI + "query-id"), search.findtext(NCBI + "query-title") or "")
        hits = [hit.findtext("%sdescription/%sHitDescr/%sid" % (NCBI, NCBI, NCBI)) for hit in search.iter(NCBI + "Hit")]
        queries.append(Query(name.strip(), hits, hits))
    return queries


def read_xml2_s(body):
    return xml2_queries(ElementTree.fromstring(body))


def json_queries(document):
    queries = []
    outputs = document["BlastOutput2"]
    # The single file lists a report per query; a query's own file is its report.
    for output in outputs if isinstance(outputs, list) else [outputs]:
        search = output["report"]["results"]["search"]
        name = "%s %s" % (search["query_id"], search.get("query_title", ""))
        hits = [hit["description"][0]["id"] for hit in search.get("hits", [])]
        queries.append(Query(name.strip(), hits, hits))
    return queries


def read_json2_s(body):
    return json_queries(json.loads(body.decode("utf-8")))


def unzipped(body):
    """The files of a zip archive, by name in its order."""
    with zipfile.ZipFile(io.BytesIO(body)) as archive:
        assert archive.testzip() is None
        return {name: archive.read(name) for name in archive.namelist()}


def zipped(body, read_file):
    """The queries of a zip archive of one file per query, in the files' order."""
    queries = []
    for name, content in unzipped(body).items():
        found = read_file(content)
        assert len(found) == 1, "%s holds %d queries" % (name, len(found))
        queries += found
    return queries


def read_xml2(body):
    return zipped(body, read_xml2_s)


def read_json2(body):
    return zipped(body, read_json2_s)


def text_queries(text):
    """The queries of a pairwise Text report: the "Query=" line and those that continue it (up
    to a blank or the "Length=" line), the description lines after "Sequences producing
    significant alignments:", and one ">" line per alignment."""
    queries = []
    lines = iter(text.splitlines())
    for line in lines:
        if line.startswith("Query= "):
            name = [line[len("Query= "):]]
            # A query without a title has its "Length=" line straight under "Query= ".
            for more in lines:
                if not more.strip() or more.startswith("Length="):
                    break
                name.append(more.strip())
            queries.append(Query(" ".join(name).strip(), [], []))
        elif line.startswith("Sequences producing significant alignments"):
            next(lines)  # the blank line under the heading
            for description in lines:
                if not description.strip():
                    break
                queries[-1].descriptions.append(description.split()[0])
        elif line.startswith(">"):
            queries[-1].alignments.append(line[1:].split()[0])
    return queries


def read_text(body):
    return text_queries(body.decode("utf-8"))


class HtmlText(HTMLParser):
    """The text of an HTML page, the text of its <pre> elements, and every anchor's name and link."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.parts = []
        self.preformatted = []
        self.anchors = []
        self.in_pre = False

    def handle_starttag(self, tag, attributes):
        if tag == "a":
            self.anchors += [value for name, value in attributes if name in ("name", "href") and value]
        self.in_pre = self.in_pre or tag == "pre"

    def handle_endtag(self, tag):
        self.in_pre = self.in_pre and tag != "pre"

    def handle_data(self, data):
        self.parts.append(data)
        if self.in_pre:
            self.preformatted.append(data)


def html_page(body):
    page = HtmlText()
    page.feed(body.decode("utf-8"))
    page.close()
    return page


def read_html(body):
    return text_queries("".join(html_page(body).parts))


def read_tabular(body):
    """The queries of a tabular report with comment lines: "# Query:" and one line of twelve
    fields per alignment (an HSP) of a hit. ("# N hits found" counts the search's hits, also
    those a hit-list size leaves out.)"""
    queries = []
    for line in body.decode("utf-8").splitlines():
        if line.startswith("# Query: "):
            queries.append(Query(line[len("# Query: "):], [], []))
        elif not line.startswith("#"):
            fields = line.split("\t")
            assert len(fields) == 12, line
            query = queries[-1]
            if fields[1] not in query.descriptions:
                query.descriptions.append(fields[1])
                query.alignments.append(fields[1])
    return queries


def read_csv(body):
    """The queries of a comma-separated hit table: one row of twelve fields per alignment, the
    query's id first (the only name the table gives it)."""
    queries = []
    for row in csv.reader(io.StringIO(body.decode("utf-8"), newline="")):
        assert len(row) == 12, row
        if not queries or queries[-1].name != row[0]:
            queries.append(Query(row[0], [], []))
        if row[1] not in queries[-1].descriptions:
            queries[-1].descriptions.append(row[1])
            queries[-1].alignments.append(row[1])
    return queries


SAM_HEADER = re.compile(r"@[A-Z][A-Z](\t[A-Za-z][A-Za-z0-9]:[ -~]+)+")
CIGAR = re.compile(r"\*|([0-9]+[MIDNSHPX=])+")


def read_sam(body):
    """The queries of a SAM report: BLAST+ makes each query a reference sequence (an @SQ line
    of the header, which comes first) and each hit's alignments the reads aligned to it, as
    tab-separated lines of eleven fields and optional tags."""
    queries, by_name, header = [], {}, True
    for line in body.decode("utf-8").splitlines():
        fields = line.split("\t")
        if line.startswith("@"):
            assert header and SAM_HEADER.fullmatch(line), line
            tags = dict(field.split(":", 1) for field in fields[1:])
            if fields[0] == "@SQ":
                assert int(tags["LN"]) > 0
                by_name[tags["SN"]] = Query(tags["SN"], [], [])
                queries.append(by_name[tags["SN"]])
            continue
        header = False
        assert len(fields) >= 11, line
        name, flag, reference, position, quality, cigar = fields[:6]
        assert int(flag) >= 0 and int(position) >= 1 and 0 <= int(quality) <= 255 and CIGAR.fullmatch(cigar)
        query = by_name[reference]
        if name not in query.descriptions:
            query.descriptions.append(name)
            query.alignments.append(name)
    return queries


def seq_id(choice):
    """A Seq-id of a Seq-align as text: "gi|9506405", "local|Query_1", "other|NP_062074.1"."""
    (kind, value), = choice.items()
    if isinstance(value, dict):
        value = value.get("str") or value.get("id") or ".".join(
            str(value[key]) for key in ("accession", "version") if key in value)
    return "%s|%s" % (kind, value)


def read_jsonsa(body):
    """The queries of a Seq-align document (JSON): each alignment names its query and its hit,
    in that order; the queries in the order of their first alignment."""
    annotation = json.loads(body.decode("utf-8"))["Seq_annot"]
    queries = {}
    for alignment in annotation["data"]["align"]:
        segments = alignment["segs"]
        ids = segments["denseg"]["ids"] if "denseg" in segments else segments["std"][0]["ids"]
        query, hit = (seq_id(choice) for choice in ids)
        found = queries.setdefault(query, Query(query, [], []))
        if hit not in found.descriptions:
            found.descriptions.append(hit)
            found.alignments.append(hit)
    return list(queries.values())


# A row of a query-anchored alignment: its sequence's name, first and last positions around its
# letters (where "." is a letter the same as the query's and "-" a gap).
ANCHORED_ROW = re.compile(r"(\S+)\s+([0-9]+)\s+([A-Za-z*.-]+)\s+([0-9]+)")


def anchored_rows(text):
    """The rows of the query-anchored alignments of a Text report, (name, letters) each, and its
    other lines below "Query=" (such as the markers of a hit's insertion)."""
    rows, others = [], []
    lines = text.splitlines()
    start = next(number for number, line in enumerate(lines) if line.startswith("Query= "))
    for line in lines[start:]:
        row = ANCHORED_ROW.fullmatch(line.strip())
        if row and line[0] != " ":
            rows.append((row.group(1), row.group(3)))
        elif line.strip():
            others.append(line.strip())
    return rows, others


def read_anchored(body):
    """The queries of a query-anchored Text report: its "Query=" line and descriptions as in the
    pairwise report, and for alignments the names of the rows under each query's row."""
    queries = text_queries(body.decode("utf-8"))
    rows, _ = anchored_rows(body.decode("utf-8"))
    query_row = rows[0][0]
    names = []
    for name, _ in rows:
        if name != query_row and name not in names:
            names.append(name)
    queries[0].alignments[:] = names
    return queries


def read_html_anchored(body):
    return read_anchored("".join(html_page(body).parts).encode("utf-8"))


def read_html_tabular(body):
    text = "".join(html_page(body).preformatted)
    # A line feed right after <pre> is no part of the text, as browsers show it.
    return read_tabular((text[1:] if text.startswith("\n") else text).encode("utf-8"))


READERS = {"XML": read_xml, "XML2_S": read_xml2_s, "XML2": read_xml2, "JSON2_S": read_json2_s,
           "JSON2": read_json2, "Text": read_text, "HTML": read_html, "Tabular": read_tabular}
CONTENT_TYPES = {"XML": "text/xml", "XML2_S": "text/xml", "XML2": "application/zip", "JSON2_S": "application/json",
                 "JSON2": "application/zip", "Text": "text/plain", "HTML": "text/html", "Tabular": "text/plain"}
