"""A BLAST service played on 127.0.0.1 inside a test, over plain HTTP or TLS, well-behaved or
hostile as its script says, and the base of the client's tests, which point the client at it."""

import BaseHTTPServer
import SocketServer
import StringIO
import os
import socket
import ssl
import sys
import threading
import time
import unittest
import urlparse

# Loopback requests must not be sent to a proxy the environment may name.
for _name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
    os.environ.pop(_name, None)

from Tarvo.Blast import Skelda  # noqa: E402
from Tarvo.Blast._client.pacing import Pacing  # noqa: E402

REPORT = (b'<?xml version="1.0"?>\n'
          b'<!DOCTYPE BlastOutput PUBLIC "-//NCBI//NCBI BlastOutput/EN" '
          b'"http://www.ncbi.nlm.nih.gov/dtd/NCBI_BlastOutput.dtd">\n'
          b'<BlastOutput>\n  <BlastOutput_program>blastn</BlastOutput_program>\n'
          b'  <BlastOutput_iterations>\n    <Iteration>\n      <Iteration_hits>\n'
          b'      </Iteration_hits>\n    </Iteration>\n  </BlastOutput_iterations>\n'
          b'</BlastOutput>\n')
NO_HITS_REPORT = REPORT.replace(b"      </Iteration_hits>\n",
                                b"      </Iteration_hits>\n"
                                b"      <Iteration_message>No hits found</Iteration_message>\n")
ESCAPE = "\x1b[2J"
MB = 1 << 20


def put_page(rid, rtoe):
    return ("<html><body><!--QBlastInfoBegin\n    RID = %s\n    RTOE = %s\nQBlastInfoEnd\n"
            "--></body></html>" % (rid, rtoe))


def status_page(status, hits="yes"):
    page = "<html><body><!--\nQBlastInfoBegin\n\tStatus=%s\nQBlastInfoEnd\n-->" % status
    if status == "READY":
        page += "<!--\nQBlastInfoBegin\n\tThereAreHits=%s\nQBlastInfoEnd\n-->" % hits
    return page + "</body></html>"


# Every page of NCBI's starts with this doctype: its first bytes tell nothing of what it says.
XHTML_DOCTYPE = ('<!DOCTYPE html PUBLIC "-//W3C//DTD XHTML 1.0 Transitional//EN" '
                 '"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd">\n')


def ncbi_page(body, status=None, title="NCBI Blast"):
    """A page as NCBI answers where a report was asked for: its doctype, its title, a
    QBlastInfo block with the status if given, then body."""
    block = ("<!--\nQBlastInfoBegin\n\tStatus=%s\nQBlastInfoEnd\n-->\n" % status
             if status else "")
    return ('%s<html xmlns="http://www.w3.org/1999/xhtml">\n<head><title>%s</title>\n'
            '<script type="text/javascript">var noted = "Error: in a script";</script>\n'
            '</head>\n<body>\n%s%s\n</body>\n</html>\n' % (XHTML_DOCTYPE, title, block, body))


# A results request for a search whose report is not made yet, even just after READY.
WAITING_PAGE = ncbi_page("<p>This page will be automatically updated in <b>60</b> seconds</p>",
                         "WAITING")
# A results request for an RID that has expired, or never existed.
EXPIRED_PAGE = ncbi_page("<p>Error: Results for RID RID0001 not found</p>", "UNKNOWN")

REFUSAL_PAGE = ('<html><body><div id="content"><ul class="msg"><li class="error msInf">'
                'Message ID#24 Error: Failed to read the Blast query: Nucleotide FASTA '
                'provided for protein sequence &amp; nothing else</li></ul></div></body></html>')


class Terminal(StringIO.StringIO):
    def isatty(self):
        return True


class FakeClock(object):
    def __init__(self):
        self.now = 1000.0

    def time(self):
        return self.now

    def sleep(self, seconds):
        assert seconds >= 0, seconds
        self.now += seconds


def trickle(body):
    """An answer of body (its length announced) that comes one byte every 20 ms, until the
    client has gone."""
    def answer(service, handler):
        handler.send_response(200)
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        for byte in body:
            if not service.write(handler, byte) or service.release.wait(0.02):
                return
    return answer


def endless(service, handler):
    """An answer whose body never ends, until the client has gone."""
    handler.send_response(200)
    handler.end_headers()
    while service.write(handler, "<!--" + "x" * 65536):
        pass


def redirect(code, location):
    def answer(service, handler):
        handler.send_response(code)
        handler.send_header("Location", location)
        handler.send_header("Content-Length", "0")
        handler.end_headers()
    return answer


def raw(text):
    """An answer of text as it stands, HTTP or not."""
    return lambda service, handler: service.write(handler, text)


class Service(object):
    """Plays the URL API: answers from a script and records every request it gets.

    An answer is (status, body) or a function of the service and the request's handler.
    Requests whose path starts with /moved get the well-behaved answer whatever the script, and
    so do those of /hop/N/ after N redirects more."""

    def __init__(self, clock, certificate=None):
        self.clock = clock
        self.requests = []
        self.paths = []
        self.put = (200, put_page("RID0001", 18))
        # a status, (status, ThereAreHits), a whole page, or an HTTP failure
        self.statuses = ["READY"]
        self.results = (200, REPORT)   # an answer, or a list of them as for statuses
        self.stall = None      # "Put", "SearchInfo" or "Results": that answer never comes
        self.release = threading.Event()
        service = self

        class Handler(BaseHTTPServer.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                service.answer(self, dict(urlparse.parse_qsl(urlparse.urlsplit(self.path).query)))

            def do_POST(self):
                body = self.rfile.read(int(self.headers.getheader("content-length")))
                self.form = urlparse.parse_qsl(body, keep_blank_values=True)
                service.answer(self, dict(self.form))

        class Server(SocketServer.ThreadingMixIn, BaseHTTPServer.HTTPServer):
            daemon_threads = True

            def handle_error(self, request, address):
                pass

        self.server = Server(("127.0.0.1", 0), Handler)
        scheme = "http"
        if certificate:
            self.server.socket = ssl.wrap_socket(self.server.socket, server_side=True,
                                                 certfile=certificate[0], keyfile=certificate[1])
            scheme = "https"
        self.address = "%s://127.0.0.1:%d" % (scheme, self.server.server_address[1])
        self.url = self.address + "/Blast.cgi"
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,))
        self.thread.start()

    def answer(self, handler, fields):
        if fields.get("CMD") == "Put":
            step, reply = "Put", self.put
        elif fields.get("FORMAT_OBJECT") == "SearchInfo":
            status = self.statuses.pop(0) if len(self.statuses) > 1 else self.statuses[0]
            step = "SearchInfo"
            if isinstance(status, int):
                reply = (status, "<html>server error</html>")
            elif isinstance(status, tuple):
                reply = (200, status_page(*status))
            else:
                reply = (200, status if status.startswith("<") else status_page(status))
        else:
            step = "Results"
            reply = (self.results.pop(0) if isinstance(self.results, list) and
                     len(self.results) > 1 else
                     self.results[0] if isinstance(self.results, list) else self.results)
        self.requests.append((step, self.clock.time(), handler.command, fields,
                              getattr(handler, "form", None)))
        self.paths.append(handler.path)
        hops = handler.path.split("/")[2] if handler.path.startswith("/hop/") else None
        if hops and hops != "0":
            # /hop/N/... redirects N times more before it is answered.
            reply = redirect(302, "/hop/%d/%s" % (int(hops) - 1,
                                                  handler.path.split("/", 3)[3]))
        elif hops or handler.path.startswith("/moved"):
            reply = {"Put": (200, put_page("RID0001", 0)),
                     "SearchInfo": (200, status_page("READY")), "Results": (200, REPORT)}[step]
        elif self.stall == step:
            self.release.wait(10)
            return
        if callable(reply):
            reply(self, handler)
            return
        code, body = reply
        handler.send_response(code)
        handler.send_header("Content-Type", "text/html")
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)

    def write(self, handler, data):
        """Send data; False once the client has gone or the service is closing."""
        try:
            handler.wfile.write(data)
            handler.wfile.flush()
        except (socket.error, ssl.SSLError):
            return False
        return not self.release.is_set()

    def steps(self):
        return [step for step, _, _, _, _ in self.requests]

    def close(self):
        self.release.set()
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)


class ClientTest(unittest.TestCase):
    environment = {}

    def setUp(self):
        self.clock = FakeClock()
        self.service = self.another_service()
        saved = (Skelda._pace, sys.stderr, dict(os.environ))

        def restore():
            Skelda._pace, sys.stderr, environ = saved
            os.environ.clear()
            os.environ.update(environ)
        self.addCleanup(restore)
        Skelda._pace = Pacing(self.clock.time, self.clock.sleep)
        sys.stderr = StringIO.StringIO()
        for name in list(os.environ):
            if name.startswith("TARVO_BLAST_"):
                del os.environ[name]
        os.environ["TARVO_BLAST_URL"] = self.service.url
        os.environ["TARVO_BLAST_EMAIL"] = "someone@example.org"
        os.environ.update(self.environment)

    def another_service(self, certificate=None, **script):
        """A fresh service, playing the given script, that the client is pointed at."""
        service = Service(self.clock, certificate)
        self.addCleanup(service.close)
        for name, value in script.items():
            setattr(service, name, value)
        os.environ["TARVO_BLAST_URL"] = service.url
        return service

    def qblast(self, program="blastn", database="nr", query="ACGT", **options):
        return Skelda.qblast(program, database, query, **options)

    def assertFails(self, label, error, pattern):
        """qblast raises error, with a message in which pattern is found; label names the case
        in a failure."""
        try:
            self.qblast()
        except error as caught:
            self.assertRegexpMatches(str(caught), pattern, label)
            return caught
        except Exception as other:
            self.fail("%s: %r instead of %s" % (label, other, error.__name__))
        self.fail("%s: no %s" % (label, error.__name__))

    def real_time(self, **environment):
        """Waits in real time, with no pacing."""
        Skelda._pace = Pacing(time.time, time.sleep)
        os.environ.update(TARVO_BLAST_MIN_INTERVAL="0", TARVO_BLAST_POLL_INTERVAL="0",
                          **environment)
