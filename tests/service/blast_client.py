"""A small URL API client for the tests: it talks only to the service under test on 127.0.0.1,
with bounded timeouts."""
import html
import http.client
import re
import time
import urllib.error
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ElementTree

TIMEOUT = 30
# What a client meets when the connection ends without an answer.
NO_ANSWER = (http.client.RemoteDisconnected, ConnectionResetError)


def fetch(url, fields, post=False, timeout=TIMEOUT):
    """(HTTP status, headers, body bytes) of one request; HTTP errors are answers too."""
    assert url.startswith("http://127.0.0.1:"), url
    encoded = urllib.parse.urlencode(fields)
    try:
        if post:
            response = urllib.request.urlopen(url, encoded.encode(), timeout=timeout)
        else:
            response = urllib.request.urlopen(url + "?" + encoded, timeout=timeout)
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()
    with response:
        return response.status, response.headers, response.read()


def request(url, fields, post=False, timeout=TIMEOUT):
    """(HTTP status, content type, text) of one request; HTTP errors are answers too."""
    code, headers, body = fetch(url, fields, post, timeout)
    return code, headers.get("Content-Type", ""), body.decode()


def request_or_error(url, fields, timeout=TIMEOUT):
    """What `request` answers, or the error it raised."""
    try:
        return request(url, fields, timeout=timeout)
    except Exception as error:
        return error


def info(page):
    """The key=value pairs of a page's QBlastInfo blocks."""
    fields = {}
    for block in re.findall(r"QBlastInfoBegin(.*?)QBlastInfoEnd", page, re.S):
        for key, value in re.findall(r"^\s*(\w+)\s*=\s*(.*?)\s*$", block, re.M):
            fields.setdefault(key, value)
    return fields


def error_text(page):
    inner = " ".join(re.findall(r'class="error">(.*?)</p>', page, re.S))
    return " ".join(html.unescape(re.sub(r"<[^>]+>", " ", inner)).split())


def submit(url, **fields):
    """The RID of a submission (sent as a form POST); AssertionError with the page if refused."""
    status, _, page = request(url, dict(CMD="Put", **fields), post=True)
    assert status == 200, (status, page)
    rid = info(page).get("RID")
    assert rid, "no RID: %s" % error_text(page)
    return rid


def status(url, rid):
    code, _, page = request(url, dict(CMD="Get", FORMAT_OBJECT="SearchInfo", RID=rid))
    assert code == 200, (code, page)
    return info(page)


def wait(url, rid, timeout=120, pause=0.025):
    """The first status other than WAITING; AssertionError after `timeout` real seconds (a
    search on a busy machine may take a while)."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        fields = status(url, rid)
        if fields.get("Status") != "WAITING":
            return fields
        time.sleep(pause)
    raise AssertionError("RID %s still WAITING after %s s" % (rid, timeout))


def results(url, rid, **fields):
    return request(url, dict(dict(CMD="Get", FORMAT_TYPE="XML", RID=rid), **fields))


def search(url, **fields):
    """The parsed XML report of a search that must succeed."""
    rid = submit(url, **fields)
    assert wait(url, rid).get("Status") == "READY"
    code, content_type, text = results(url, rid)
    assert code == 200 and "xml" in content_type, (code, content_type, text[:300])
    return ElementTree.fromstring(text.encode())


def hit_ids(report):
    return [element.text for element in report.iter("Hit_id")]


def field(report, name):
    return report.find(".//" + name).text


def without_gi(seq_id):
    """An id as NCBI shows it without GI numbers: "gi|9506405|ref|NP_062074.1|" -> "ref|NP_062074.1|"."""
    return seq_id.split("|", 2)[2] if seq_id.startswith("gi|") else seq_id
