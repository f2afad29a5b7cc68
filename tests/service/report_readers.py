"""Readers of every report format the URL API answers, each with a real parser of its format
(or, for Text and Tabular, the lines BLAST+ writes): what a report says of its queries."""
import collections
import io
import json
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
    """The text of an HTML page, and every anchor's name and link."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.parts = []
        self.anchors = []

    def handle_starttag(self, tag, attributes):
        if tag == "a":
            self.anchors += [value for name, value in attributes if name in ("name", "href") and value]

    def handle_data(self, data):
        self.parts.append(data)


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


READERS = {"XML": read_xml, "XML2_S": read_xml2_s, "XML2": read_xml2, "JSON2_S": read_json2_s,
           "JSON2": read_json2, "Text": read_text, "HTML": read_html, "Tabular": read_tabular}
CONTENT_TYPES = {"XML": "text/xml", "XML2_S": "text/xml", "XML2": "application/zip", "JSON2_S": "application/json",
                 "JSON2": "application/zip", "Text": "text/plain", "HTML": "text/html", "Tabular": "text/plain"}
