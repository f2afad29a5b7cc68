"""The BLAST web client against a server made to hurt it, each case in a child process whose
address space and processor time are limited: an answer that grows memory or time without
bound, or crashes the interpreter, ends the child, and the test says how.

The server in the child sends each case's bytes as they stand, HTTP or not, generated as they
are sent, until the client has gone."""

import gzip
import io
import os
import socket
import sys
import threading
import unittest
import urllib2

import bounded_child
from played_service import REPORT, put_page, status_page

# The interpreter with the client and a server thread takes about 40 MB of address space; an
# answer read in linear time takes a fraction of the processor seconds.
ADDRESS_SPACE = 192 * 1024 * 1024
MB = b"x" * (1 << 20)
ESCAPE = "\x1b[2J"


def answer(body, status="200 OK", headers=None):
    """A well-formed answer, its length announced unless headers say otherwise."""
    headers = ["Content-Length: %d" % len(body)] if headers is None else headers
    yield "HTTP/1.1 %s\r\n%s\r\n%s" % (status, "".join(h + "\r\n" for h in headers), body)


def endless(start, block=MB):
    yield start
    while True:
        yield block


def repeated(text, size):
    """text again and again, size bytes in all, a megabyte at a time."""
    block = text * max(1, (1 << 20) // len(text))
    for _ in range(size // len(block)):
        yield block
    yield text * ((size % len(block)) // len(text))


def chained(*parts):
    for part in parts:
        for data in ([part] if isinstance(part, str) else part):
            yield data


def stalled(start):
    yield start
    threading.Event().wait(60)


def gzip_bomb():
    """A gzip body that would inflate to 300 MB, announced as such. Its time stamp is fixed: a
    quote among its bytes would change how the message quotes them."""
    packed = io.BytesIO()
    with gzip.GzipFile(fileobj=packed, mode="wb", mtime=0) as bomb:
        for _ in range(300):
            bomb.write(b"\0" * (1 << 20))
    return packed.getvalue()


REPORT_HALF = REPORT + b" " * 12000
HEAD_200 = "HTTP/1.1 200 OK\r\n"
CHUNKED = HEAD_200 + "Transfer-Encoding: chunked\r\n\r\n"
PUT_REFUSED = r"ValueError: the BLAST service refused the search: "
NO_RID = PUT_REFUSED + r"the answer carried no RID and no error text: "
NOT_HTTP = (r"IOError: the BLAST service at http://127\.0\.0\.1:\d+/Blast\.cgi gave no proper "
            r"HTTP answer to the %s: ")
SUBMISSION = r"submission \(no RID yet\)"
RESULTS = "results request for RID RID0001"
NOT_XML = r"ValueError: the %s was answered with something that is not BLAST XML: " % RESULTS

# name: (the answers by step, the outcome printed, settings of the case)
CASES = {
    "a chunked status page whose chunk size is -7fffffff, then 300 MB":
        (dict(SearchInfo=lambda: chained(CHUNKED + "-7fffffff\r\n", repeated(MB, 300 << 20))),
         NOT_HTTP % "status request for RID RID0001" + "a chunk size of '-7fffffff", {}),
    "a chunk size line without end":
        (dict(SearchInfo=lambda: endless(CHUNKED, "0" * (1 << 20))),
         NOT_HTTP % "status request for RID RID0001" + "a chunk size line past 65536 bytes", {}),
    "a chunk longer than its size":
        (dict(SearchInfo=lambda: chained(CHUNKED + "5\r\nREADY and more\r\n0\r\n\r\n")),
         NOT_HTTP % "status request for RID RID0001" + "a chunk longer than its size", {}),
    "a Content-Length twice the body, half sent, then the connection closed":
        (dict(Results=lambda: answer(REPORT_HALF, headers=[
            "Content-Length: %d" % (2 * len(REPORT_HALF))])),
         r"IOError: the BLAST service at \S+ closed the connection after %d bytes of its "
         r"answer to the %s, which announced %d$" % (len(REPORT_HALF), RESULTS,
                                                     2 * len(REPORT_HALF)), {}),
    "a chunked body cut before its last chunk":
        (dict(Results=lambda: chained(CHUNKED, "%x\r\n%s\r\n" % (len(REPORT), REPORT))),
         r"IOError: .* closed the connection after %d bytes of its answer to the %s, before "
         r"its last chunk$" % (len(REPORT), RESULTS), {}),
    "a header section of lines without a colon that never ends":
        (dict(Put=lambda: endless(HEAD_200, "no colon here\r\n" * (900 << 10 >> 4))),
         NOT_HTTP % SUBMISSION + "the header section ran past 131072 bytes", {}),
    "100 Continue without end":
        (dict(Put=lambda: endless("", "HTTP/1.1 100 Continue\r\n\r\n" * 1000)),
         NOT_HTTP % SUBMISSION + "the header section ran past 131072 bytes", {}),
    "trailers without end":
        (dict(Put=lambda: endless(CHUNKED + "5\r\nhello\r\n0\r\n", "X-Trailer: y\r\n" * 1000)),
         NOT_HTTP % SUBMISSION + "trailers past 65536 bytes", {}),
    "From lines without end":
        (dict(Put=lambda: endless(HEAD_200, "From someone\r\n" * 1000)),
         NOT_HTTP % SUBMISSION + "the header section ran past 131072 bytes", {}),
    "a results body streaming fast without end, within the size allowed":
        (dict(Results=lambda: endless(HEAD_200 + "\r\n" + REPORT)),
         r"SearchTimeout: BLAST search RID RID0001 ran out of time: the 2 s that "
         r"TARVO_BLAST_DEADLINE allows were over while the BLAST service at \S+ was answering "
         r"the %s" % RESULTS, dict(TARVO_BLAST_DEADLINE="2", TARVO_BLAST_MAX_BYTES=str(10 ** 15))),
    # Each of these took time of its size squared.
    "a Put page of QBlastInfoBegin, 100 KB of line ends, QBlastInfoEnd":
        (dict(Put=lambda: answer("QBlastInfoBegin" + "\n" * 100000 + "QBlastInfoEnd")),
         NO_RID + "'QBlastInfoBegin\.\.\.'", {}),
    "a Put page of QBlastInfoBegin 50,000 times":
        (dict(Put=lambda: answer("QBlastInfoBegin" * 50000)), NO_RID + "'QBlastInfoBegin", {}),
    "a Put page of unclosed start tags of class error, 400 KB":
        (dict(Put=lambda: answer('<p class="error"' * 25000)), NO_RID + "'<p class", {}),
    "a Put page of an element of class error holding 400 KB of unclosed tags":
        (dict(Put=lambda: answer('<p class="error">' + "<b" * 200000 + "</p>")),
         PUT_REFUSED + "<b<b<b", {}),
    "a Put page of a tag name of 400 KB":
        (dict(Put=lambda: answer("<" + "a" * 400000)), NO_RID + "'<aaa", {}),
    "a refused search whose error text holds references to no character":
        (dict(Put=lambda: answer('<p class="error">bad &#99999999999999999999; &#x110000; '
                                 '&nosuch; &amp; query &#1%s;</p>' % ("0" * 3000000))),
         PUT_REFUSED + r"bad &#99999999999999999999; &#x110000; &nosuch; & query &#10000", {}),
    "a redirect to port 99999999999999999999":
        (dict(Results=lambda: answer("", "302 Found", [
            "Location: http://127.0.0.1:99999999999999999999/Blast.cgi",
            "Content-Length: 0"])),
         r"RedirectRefused: the BLAST service redirected the %s \(HTTP 302\) to "
         r"'http://127.0.0.1:99999999999999999999/Blast.cgi': its port is not a TCP port"
         % RESULTS, {}),
    "an HTTP 500 whose body never ends, read through the HTTPError":
        (dict(Results=lambda: endless(HEAD_200.replace("200 OK", "500 Boom") + "\r\n")),
         r"HTTPError 500, its page: AnswerTooLarge: the answer to the %s is larger than the "
         r"4194304 bytes a page of the BLAST service may have: it went on past them$"
         % RESULTS, {}),
    "an HTTP 500 whose body stalls, read through the HTTPError":
        (dict(Results=lambda: stalled(HEAD_200.replace("200 OK", "500 Boom") + "\r\n<html>")),
         r"HTTPError 500, its page: SearchTimeout: BLAST search RID RID0001 ran out of time: "
         r"the 2 s .* answering the %s" % RESULTS, dict(TARVO_BLAST_DEADLINE="2")),
    # A results page is read as a page, within a page's size, and in time linear in it.
    "a results page that never ends":
        (dict(Results=lambda: endless(HEAD_200 + "\r\n<html>", "<p>waiting</p>" * 65536)),
         NOT_XML + r"'<html><p>waiting</p>", {}),
    "a results page of unclosed script start tags, 4 MB":
        (dict(Results=lambda: answer("<script" * 600000)), NOT_XML + "'<script<script", {}),
    "a results page of unclosed title start tags, then 4 MB of Error: without a line end":
        (dict(Results=lambda: answer("<title" * 100000 + "Error:" * 600000)),
         r"ValueError: the %s was answered with a page that is not BLAST XML: <title<title"
         % RESULTS, {}),
    # Guards that held before: they must keep holding.
    "an RTOE of 1e12":
        (dict(Put=lambda: answer(put_page("RID0001", "1e12"))),
         r"SearchTimeout: BLAST search RID RID0001 ran out of time: 0 s waited \(status "
         r"WAITING\), and the next status request would be due", {}),
    "a gzip bomb":
        (dict(Results=lambda: answer(gzip_bomb(), headers=["Content-Encoding: gzip"])),
         NOT_XML + r"'\\x1f\\x8b", {}),
    "control characters in a Location":
        (dict(Results=lambda: answer("", "302 Found", [
            "Location: /moved\x01" + ESCAPE + " HTTP/1.1\x0bX-Injected: 1", "Content-Length: 0"])),
         NOT_HTTP % RESULTS + r"InvalidURL: URL can't contain control characters. "
         r"'/moved\\x01\\x1b\[2J HTTP/1.1", {}),
    "a malformed status line":
        (dict(Put=lambda: answer("", "2x0 " + ESCAPE)),
         NOT_HTTP % SUBMISSION + r"BadStatusLine: HTTP/1.1 2x0 \\x1b\[2J", {}),
    "an answer that is not HTTP at all":
        (dict(Results=lambda: iter(["GARBAGE\r\n\r\n" + REPORT])),
         NOT_HTTP % RESULTS + r"BadStatusLine: GARBAGE", {}),
    "a redirect to an address that cannot be parsed":
        (dict(Results=lambda: answer("", "302 Found", ["Location: http://[::1/x",
                                                        "Content-Length: 0"])),
         r"RedirectRefused: the BLAST service redirected the %s \(HTTP 302\) to "
         r"'http://\[::1/x': that is not an address" % RESULTS, {}),
    "100,000 headers":
        (dict(Put=lambda: chained(HEAD_200, repeated("X-Header: y\r\n", 100000 * 13), "\r\n")),
         NOT_HTTP % SUBMISSION + "HTTPException: got more than 100 headers", {}),
}

GOOD = dict(Put=lambda: answer(put_page("RID0001", 0)),
            SearchInfo=lambda: answer(status_page("READY")), Results=lambda: answer(REPORT))


class RawService(object):
    """Answers each request on 127.0.0.1 with the bytes the case gives for its step."""

    def __init__(self, answers):
        self.answers = answers
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.url = "http://127.0.0.1:%d/Blast.cgi" % self.listener.getsockname()[1]
        thread = threading.Thread(target=self.serve)
        thread.daemon = True
        thread.start()

    def serve(self):
        while True:
            connection = self.listener.accept()[0]
            thread = threading.Thread(target=self.answer, args=(connection,))
            thread.daemon = True
            thread.start()

    def answer(self, connection):
        request = connection.makefile("rb").readline()
        step = ("Results" if "CMD=Get" in request and "SearchInfo" not in request
                else "SearchInfo" if "SearchInfo" in request else "Put")
        try:
            for data in (self.answers.get(step) or GOOD[step])():
                connection.sendall(data)
        except socket.error:
            pass
        connection.close()


def run_case(name):
    """In the child: one search against the case's server within the limits; print what came
    of it."""
    answers, _, settings = CASES[name]
    threading.stack_size(256 * 1024)
    service = RawService(answers)
    for variable in [variable for variable in os.environ if variable.startswith("TARVO_")]:
        del os.environ[variable]
    os.environ.update(dict(TARVO_BLAST_URL=service.url, TARVO_BLAST_MIN_INTERVAL="0",
                           TARVO_BLAST_POLL_INTERVAL="0", TARVO_BLAST_DEADLINE="8"), **settings)
    bounded_child.hold(ADDRESS_SPACE)
    from Tarvo.Blast import Skelda
    try:
        handle = Skelda.qblast("blastn", "nr", "ACGT")
        received = 0
        for piece in iter(lambda: handle.read(65536), b""):
            received += len(piece)
        print("read %d bytes" % received)
    except urllib2.HTTPError as failure:
        try:
            failure.read()
            print("HTTPError %d, its page read whole" % failure.code)
        except Exception as error:
            print("HTTPError %d, its page: %s: %s" % (failure.code, type(error).__name__, error))
    except Exception as error:
        print("%s: %s" % (type(error).__name__, error))
    # The server's threads are not waited for.
    sys.stdout.flush()
    os._exit(0)


class HostileServerTest(unittest.TestCase):
    def test_each_case_ends_clearly_within_bounded_memory_and_time(self):
        environment = dict(os.environ)
        for variable in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
            environment.pop(variable, None)
        printed = bounded_child.check_each_case(self, "test_client_hostile", CASES, environment)
        for name, out in sorted(printed.items()):
            self.assertNotIn("\x1b", out, name)

if __name__ == "__main__":
    unittest.main()
