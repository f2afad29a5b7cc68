"""Reading a BLAST report in each format that the URL API answers, with a real parser of that
format, into what a user relies on: the queries it describes and the hits each one lists."""
import collections
import html.parser
import io
import json
import re
import xml.etree.ElementTree as ElementTree
import zipfile

# queries: each query's id and title as the report gives them; hits: the hit ids (with the
# accession where the format gives it apart) in report order, over all queries; descriptions
# and alignments: those of the one-line list and of the alignment sections (Text and HTML).
Report = collections.namedtuple("Report", "queries hits descriptions alignments")

CONTENT_TYPES = {"HTML": "text/html", "Text": "text/plain", "Tabular": "text/plain", "XML": "text/xml",
                 "XML2_S": "text/xml", "JSON2_S": "application/json", "XML2": "application/zip",
                 "JSON2": "application/zip"}
TABULAR_COLUMNS = 12


def local(tag):
    return tag.rsplit("}", 1)[-1]


def children(element, name):
    return [child for child in element.iter() if local(child.tag) == name]


def text_of(element, name):
    found = children(element, name)
    return (found[0].text or "") if found else ""


def read_xml(body):
    root = ElementTree.fromstring(body)
    assert root.tag == "BlastOutput", root.tag
    queries = [text_of(iteration, "Iteration_query-ID") + " " + text_of(iteration, "Iteration_query-def")
               for iteration in root.iter("Iteration")]
    hits = [text_of(hit, "Hit_id") + " " + text_of(hit, "Hit_accession") for hit in root.iter("Hit")]
    return Report(queries, hits, None, None)


def read_xml2(body):
    """A document of the second XML layout: all queries' reports, or one query's."""
    root = ElementTree.fromstring(body)
    assert local(root.tag) in ("BlastXML2", "BlastOutput2"), root.tag
    queries, hits = [], []
    for search in children(root, "Search"):
        queries.append(text_of(search, "query-id") + " " + text_of(search, "query-title"))
        for hit in children(search, "Hit"):
            described = children(hit, "HitDescr")[0]
            hits.append(text_of(described, "id") + " " + text_of(described, "accession"))
    return Report(queries, hits, None, None)


def read_json2(body):
    document = json.loads(body.decode("utf-8"))
    reports = document["BlastOutput2"]
    queries, hits = [], []
    for entry in reports if isinstance(reports, list) else [reports]:
        search = entry["report"]["results"]["search"]
        queries.append("%s %s" % (search.get("query_id", ""), search.get("query_title", "")))
        for hit in search.get("hits", []):
            described = hit["description"][0]
            hits.append("%s %s" % (described["id"], described.get("accession", "")))
    return Report(queries, hits, None, None)


def read_zip(body, read_member):
    """A zip of one document per query, each read by `read_member`: the reports joined."""
    with zipfile.ZipFile(io.BytesIO(body)) as archive:
        names = archive.namelist()
        assert names, "an empty archive"
        members = [read_member(archive.read(name)) for name in names]
    for name, member in zip(names, members):
        assert len(member.queries) == 1, "%s describes %d queries, not one" % (name, len(member.queries))
    return Report([query for member in members for query in member.queries],
                  [hit for member in members for hit in member.hits], None, None)


def read_tabular(body):
    """Comment lines (# Query:, # Fields:) and rows of twelve tab-separated columns."""
    queries, subjects, fields = [], [], 0
    for number, line in enumerate(body.decode("utf-8").splitlines(), 1):
        if line.startswith("# Query: "):
            queries.append(line[len("# Query: "):])
        elif line.startswith("# Fields: "):
            fields += 1
        elif line and not line.startswith("#"):
            columns = line.split("\t")
            assert len(columns) == TABULAR_COLUMNS, "line %d has %d columns: %r" % (number, len(columns), line)
            float(columns[10]), float(columns[11])  # the E-value and the bit score
            if (len(queries), columns[1]) not in subjects:
                subjects.append((len(queries), columns[1]))
    assert queries and fields, "no '# Query:' or '# Fields:' line: %r" % body[:300]
    return Report(queries, [subject for _, subject in subjects], None, None)


def read_text(text):
    """The lines BLAST+ writes: Query=, the list after "Sequences producing significant
    alignments", and one ">" line per aligned hit."""
    queries, descriptions, alignments = [], [], []
    listing, listed = False, 0
    for line in text.splitlines():
        if line.startswith("Query="):
            queries.append(line[len("Query="):].strip())
            listing = False
        elif line.startswith("Sequences producing significant alignments"):
            listing, listed = True, 0
        elif line.startswith(">"):
            listing = False
            alignments.append(line[1:].split()[0])
        elif listing and line.strip():
            descriptions.append(line.split()[0])
            listed += 1
        elif listing and listed:
            listing = False
    assert queries, "no 'Query=' line: %r" % text[:300]
    return Report(queries, alignments or descriptions, descriptions, alignments)


class TextOfPage(html.parser.HTMLParser):
    """The text a browser shows of a page, tags dropped and references resolved."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.parts = []
        self.tags = set()

    def handle_starttag(self, tag, attributes):
        self.tags.add(tag)

    def handle_data(self, data):
        self.parts.append(data)


def read_html(body):
    page = TextOfPage()
    page.feed(body.decode("utf-8"))
    page.close()
    assert "html" in page.tags or "pre" in page.tags, "not a page: %r" % body[:300]
    return read_text("".join(page.parts))


READERS = {"HTML": read_html, "Text": lambda body: read_text(body.decode("utf-8")), "Tabular": read_tabular,
           "XML": read_xml, "XML2_S": read_xml2, "JSON2_S": read_json2,
           "XML2": lambda body: read_zip(body, read_xml2), "JSON2": lambda body: read_zip(body, read_json2)}


def read(format_type, body):
    return READERS[format_type](body)


GI = re.compile(r"(^|\|)gi\|[0-9]+\|")


def carries_gi(hit):
    return bool(GI.search(hit.split()[0]))
