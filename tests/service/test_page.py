"""The service's own page as HTTP clients get it: a search form whose fields carry the API's own
names and post to the API address the page was asked at; every value a client sent shown
escaped and cut on every page, with nothing loaded from elsewhere; the searches held and the
journal shown only to clients that may see them; a page that stays small whatever the store and
the journal hold; a running search's page that reloads itself; the guidelines' verdicts shown
when they are kept in view."""
import collections
import html.parser
import os
import threading
import urllib.parse

import pytest

from blast_client import fetch, info, request, status, submit, wait
from conftest import database_folder, running_service
from localblast.api.commands import Api
from localblast.api.faults import Faults
from localblast.api.guidelines import Guidelines
from localblast.journal.journal import Journal
from localblast.pages import home
from localblast.programs import PROGRAMS
from localblast.reports.formats import FORMATS
from localblast.server.app import PATHS, Application
from localblast.server.holds import Holds
from localblast.store.listing import Summary
from service_calls import called, raw
from test_status_wait import gated

SEARCH = dict(PROGRAM="blastp", DATABASE="nr", QUERY="9506405")
PAGE_PATHS = ("/",) + PATHS
# The only tags the service's pages are made of: a client's value that came out as markup adds another.
TAGS = {"html", "head", "meta", "title", "link", "style", "body", "header", "nav", "main", "section", "h1", "h2",
        "p", "a", "code", "span", "br", "form", "label", "input", "select", "option", "textarea", "button", "table",
        "thead", "tbody", "tr", "th", "td", "dl", "dt", "dd"}


class PageReader(html.parser.HTMLParser):
    """A page's tags (tag, {attribute: value}), its text, and its forms: {"attributes": ...,
    "fields": [(tag, attributes)], "options": {select's name: [values]}}."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.tags, self.pieces, self.forms = [], [], []
        self._select = None
        self.feed(text)
        self.close()
        self.text = "".join(self.pieces)

    def handle_starttag(self, tag, attributes):
        attributes = dict(attributes)
        self.tags.append((tag, attributes))
        if tag == "form":
            self.forms.append({"attributes": attributes, "fields": [], "options": {}})
        elif tag in ("input", "select", "textarea") and self.forms:
            self.forms[-1]["fields"].append((tag, attributes))
            if tag == "select":
                self._select = self.forms[-1]["options"].setdefault(attributes.get("name"), [])
        elif tag == "option" and self._select is not None:
            self._select.append(attributes.get("value"))

    def handle_endtag(self, tag):
        if tag == "select":
            self._select = None

    def handle_data(self, data):
        self.pieces.append(data)


def page(url, path="/Blast.cgi", **fields):
    """(the page's HTTP headers, its text, a PageReader of it) at `path` of the service at `url`."""
    code, headers, body = fetch(urllib.parse.urljoin(url, path), fields)
    assert code == 200, (code, body[:2000])
    text = body.decode("utf-8")
    return headers, text, PageReader(text)


def followed(address, link):
    """What `page` answers for a link on the page at `address`."""
    target = urllib.parse.urlsplit(urllib.parse.urljoin(address, link))
    return page(address, target.path, **dict(urllib.parse.parse_qsl(target.query)))


def assert_inert(name, headers, text, reader):
    """Nothing on the page `name` acts but its own markup: no tag or event attribute a value
    brought in, no raw control or direction character, nothing loaded from elsewhere."""
    tags = {tag for tag, _ in reader.tags}
    assert tags <= TAGS, (name, sorted(tags - TAGS))
    events = [(tag, attribute) for tag, attributes in reader.tags for attribute in attributes
              if attribute.startswith("on")]
    assert not events, (name, events)
    assert not any(char in text for char in "\x1b\x07\u202e"), "a raw control character reached %s" % name
    for tag, attributes in reader.tags:
        for attribute in ("href", "src", "action"):
            if attribute in attributes:
                link = attributes[attribute]
                assert link == "data:," or (link[:1] in "/?#" and not link.startswith("//")), (name, tag, link)
    assert "default-src 'none'" in headers["Content-Security-Policy"], name


def form_of(reader):
    forms = [form for form in reader.forms if form["attributes"].get("method") == "post"]
    assert len(forms) == 1, reader.forms
    return forms[0]


@pytest.mark.parametrize("path", PAGE_PATHS)
def test_the_form_submits_the_apis_own_fields_to_the_api_where_the_page_was_asked(service, db, path):
    _, _, reader = page(service, path)
    form = form_of(reader)
    action = path if path in PATHS else "/Blast.cgi"
    assert form["attributes"]["action"] == action
    fields = {attributes["name"]: (tag, attributes) for tag, attributes in form["fields"]}
    assert {"CMD", "PROGRAM", "DATABASE", "QUERY", "EXPECT", "HITLIST_SIZE"} <= set(fields)
    assert fields["CMD"][1]["value"] == "Put" and fields["CMD"][1]["type"] == "hidden"
    assert form["options"]["PROGRAM"] == list(PROGRAMS)
    assert form["options"]["DATABASE"] == db.names()
    assert fields["QUERY"][0] == "textarea"

    # Sent as a browser sends it, the form is a submission the API answers with an RID, whose
    # page links to the search's own page.
    sent = {name: attributes.get("value", "") for name, (_, attributes) in fields.items()}
    sent.update(PROGRAM="blastp", DATABASE="nr", QUERY="9506405", EXPECT="0.5", HITLIST_SIZE="7")
    address = urllib.parse.urljoin(service, action)
    code, _, answer = request(address, sent, post=True)
    assert code == 200
    rid = info(answer)["RID"]
    links = [attributes["href"] for tag, attributes in PageReader(answer).tags if tag == "a"]
    assert len(links) == 1
    _, _, search = followed(address, links[0])
    assert "Search %s" % rid in search.text
    assert "EXPECT=0.5" in search.text and "HITLIST_SIZE=7" in search.text


def first_sequence(name):
    """The first sequence of the bundled database's FASTA file `name`."""
    with open(os.path.join(database_folder(), name)) as stream:
        return stream.read().split(">")[1].partition("\n")[2].replace("\n", "")


@pytest.mark.parametrize("program, database, fasta, sam", [("blastp", "nr", "proteins.fasta", False),
                                                           ("megablast", "nt", "nucleotides.fasta", True)])
def test_a_searchs_page_links_every_report_the_api_makes_of_it(service, program, database, fasta, sam):
    rid = submit(service, PROGRAM=program, DATABASE=database, QUERY=first_sequence(fasta))
    assert wait(service, rid)["Status"] == "READY"
    _, _, reader = page(service, RID=rid)
    links = {attributes.get("href") for tag, attributes in reader.tags if "FORMAT_TYPE=" in attributes.get("href", "")}
    asked = [dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(link).query)) for link in links]
    assert sorted(fields["FORMAT_TYPE"] for fields in asked) == sorted(
        name for name in FORMATS if sam or name != "SAM")
    for fields in asked:
        code, headers, body = fetch(service, fields)
        assert code == 200 and fields == dict(CMD="Get", RID=rid, FORMAT_TYPE=fields["FORMAT_TYPE"]), fields
        assert not (headers["Content-Type"].startswith("text/html") and b'class="error"' in body), (fields, body[:1000])


# Values a client sends as they come out on a page: each shown as text, none as markup.
TITLE = "<script>alert('title')</script> \x1b[31m\u202etitle"
TOOL = "<script>alert('tool')</script>"
EMAIL = "\"><img src=x onerror=alert('email')>"
REFUSED = "<b onmouseover=alert('field')>"
RID = "<script>alert('rid')</script>"
SEQUENCE = "MKTAYIAKQRQISFVKSHFSRQLEERLGLIEVQAPILSRVGDGTQDNLSGAEKAVQVKVKALPDAQFEVVHSLAKWKRQTLGQHDFSAGEGLYTHMKA"


def test_values_clients_sent_come_out_escaped_on_every_page(db):
    # One status request, answered once the search has ended (--status-wait): the page shows the
    # latest requests, and polls enough to push the submission off it would each be one.
    with running_service(db, status_wait=120) as (url, _, _):
        rid = submit(url, PROGRAM="blastp", DATABASE="nr", QUERY=">%s\n%s\n" % (TITLE, SEQUENCE), tool=TOOL,
                     email=EMAIL)
        assert status(url, rid)["Status"] == "READY"
        request(url, dict(CMD="Put", PROGRAM="blastp", DATABASE="nr", QUERY="9506405", FORMAT_TYPE=REFUSED,
                          tool=TOOL), post=True)
        request(url, {"CMD": "Get", "RID": RID, "<i>name": "<i>value"})
        pages = {path: page(url, path) for path in PAGE_PATHS}
        pages["the search's page"] = page(url, RID=rid)
        pages["an unknown RID's page"] = page(url, RID=RID)
    for name, (headers, text, reader) in pages.items():
        assert_inert(name, headers, text, reader)
    for path in PAGE_PATHS:
        shown = pages[path][2].text
        for sent in (TOOL, EMAIL, REFUSED, RID, "<I>NAME=<i>value", "<script>alert('title')</script> \\x1b[31m\\u202e"):
            assert sent in shown, (path, sent)
    search = pages["the search's page"][2].text
    assert all(sent in search for sent in (TOOL, EMAIL, "<script>alert('title')</script>")), search
    assert "RID %s is unknown" % RID in pages["an unknown RID's page"][2].text


@pytest.mark.parametrize("address, shared, listed", [
    ("127.0.0.1", False, True),
    ("::1", False, True),
    ("192.0.2.7", False, False),
    ("2001:db8::7", False, False),
    ("::ffff:192.0.2.7", False, False),
    ("192.0.2.7", True, True),
])
def test_the_lists_are_shown_to_the_clients_that_may_see_them_and_a_search_to_anyone_with_its_rid(
        db, address, shared, listed):
    with running_service(db) as (url, store, logs):
        application = Application(Api(db, store, Faults(), 0, logs), Journal(), Holds(4), threading.Event(),
                                  share_journal=shared)
        _, answer = called(application, "127.0.0.1", "/Blast.cgi",
                         dict(CMD="Put", tool="secret-tool", email="secret@example.org", **SEARCH), "POST")
        rid = info(answer)["RID"]
        assert wait(url, rid)["Status"] == "READY"

        code, front = called(application, address, "/")
        front = PageReader(front)
        assert code == 200 and form_of(front)
        tables = {attributes.get("id") for tag, attributes in front.tags if tag == "table"}
        assert tables == ({"searches-table", "journal-table"} if listed else set())
        assert ("secret-tool" in front.text) == listed and ("secret@example.org" in front.text) == listed
        assert (rid in front.text) == listed

        code, search = called(application, address, "/Blast.cgi", dict(RID=rid))
        search = PageReader(search)
        assert code == 200 and "Search %s" % rid in search.text and "READY" in search.text
        reports = [attributes["href"] for tag, attributes in search.tags
                   if tag == "a" and "FORMAT_TYPE=" in attributes.get("href", "")]
        assert any("FORMAT_TYPE=HTML" in link and "CMD=Get" in link and "RID=%s" % rid in link for link in reports)
        assert ("secret-tool" in search.text) == listed and ("secret@example.org" in search.text) == listed


class Store:
    def __init__(self, summaries):
        self._summaries = summaries

    def summaries(self):
        return list(self._summaries)

    def summary_of(self, rid):
        return next((summary for summary in self._summaries if summary.rid == rid), None)


def test_a_page_stays_small_whatever_the_store_and_the_journal_hold(db):
    # 500 searches of the longest titles the store gives, and a full journal of requests with
    # as many fields as it keeps, each as long as it keeps them, all naming one RID.
    title = "T" * 200 + "..."
    summaries = [Summary("RID%08d" % number, "blastp", "nr", title, 1.7e9 + number, "READY", True, None)
                 for number in range(500)]
    journal = Journal(1000)
    fields = {"F%038d" % number: ["\"" * 5000] for number in range(100)}
    for _ in range(1200):
        sent = dict(CMD=["Get"], RID=["RID00000499"], TOOL=["<" * 5000], EMAIL=["&" * 5000], **fields)
        journal.record("POST", "/" + "p" * 5000, sent, "127.0.0.1", 200, "RID00000499", None, ["<rule> " * 1000] * 3)
    api = collections.namedtuple("Api", "database store guidelines rtoe")(db, Store(summaries), Guidelines("warn"), 0)
    site = home.Site(api, journal, PATHS, "/journal")
    for form in ({}, {"RID": ["RID00000499"]}):
        code, text = home.page(site, form, True, "/Blast.cgi")
        assert code == 200 and len(text.encode()) < 512 * 1024, (form, len(text.encode()))
        assert text.count('<tr data-serial=') == 50
        assert "950 earlier ones not shown" in text
        assert "... (5000 characters)" in text and "... (7000 characters)" in text
        assert not any(run * 61 in text for run in ("&lt;", "&amp;", "&#34;")), "a value shown uncut"
    code, text = home.page(site, {}, True, "/Blast.cgi")
    assert text.count('<tr data-rid=') == 50 and "450 earlier ones not shown" in text
    assert "RID00000499" in text and "RID00000449" not in text     # the latest, newest first
    assert "200 let go beyond the journal's 1000" in text


def test_a_value_shown_cut_names_the_length_it_was_received_with_and_no_other(service):
    forged = "innocent... [123456 characters]"
    request(service, dict(CMD="DisplayRIDs", tool=forged, FORGED=forged, LONG="L" * 500))
    text = page(service)[2].text
    # As the tool and as a field, as sent; a value cut on the page names its own length.
    assert text.count(forged) == 2 and "FORGED=" + forged in text and "(123456 characters)" not in text
    assert "LONG=%s... (500 characters)" % ("L" * 60) in text


def test_the_journal_on_the_page_leaves_out_views_of_the_pages(db):
    with running_service(db) as (url, _, _):
        for path in PAGE_PATHS:
            page(url, path)
        page(url, RID="NONE")
        raw(url, b"POST /Blast.cgi HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n")
        request(url, dict(CMD="DisplayRIDs", tool="lister"))
        _, text, reader = page(url)
    rows = text[text.index('id="journal-table"'):].split("<tr data-serial=")[1:]
    assert len(rows) == 2 and "lister" in rows[0] and "<td>413</td>" in rows[1], rows
    assert "%d views of these pages left out" % (len(PAGE_PATHS) + 1) in reader.text


def test_a_running_searchs_page_reloads_itself_until_the_search_ends(db):
    gate = threading.Event()
    with running_service(db, rtoe=5, around_search=gated(gate)) as (url, _, _):
        rid = submit(url, **SEARCH)
        _, _, reader = page(url, RID=rid)
        assert ("meta", {"http-equiv": "refresh", "content": "5"}) in reader.tags
        assert "WAITING" in reader.text and "once the search has finished" in reader.text
        gate.set()
        assert wait(url, rid)["Status"] == "READY"
        _, _, reader = page(url, RID=rid)
        assert not [attributes for tag, attributes in reader.tags if "http-equiv" in attributes]
        assert "READY" in reader.text


@pytest.mark.parametrize("mode", [None, "warn", "enforce"])
def test_the_guidelines_verdicts_are_shown_when_they_are_kept_in_view(db, mode):
    with running_service(db, guidelines=Guidelines(mode)) as (url, _, _):
        request(url, dict(CMD="Put", **SEARCH), post=True)
        _, _, reader = page(url)
        headers = [text.strip() for text in reader.pieces]
        assert ("Guidelines" in headers) == bool(mode)
        assert ('"send tool and email with each submission": this one sent no tool and no email' in reader.text) \
            == bool(mode)
