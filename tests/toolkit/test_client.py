"""The BLAST web client against a service played on 127.0.0.1 inside the test, over plain
HTTP and over TLS, well-behaved and hostile."""

import BaseHTTPServer
import SocketServer
import StringIO
import os
import re
import shutil
import select
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib2
import urlparse

# Loopback requests must not be sent to a proxy the environment may name.
for _name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
    os.environ.pop(_name, None)

from Tarvo.Blast import Skelda  # noqa: E402
from Tarvo.Blast._pacing import Pacing  # noqa: E402

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
    Requests whose path starts with /moved get the well-behaved answer whatever the script."""

    def __init__(self, clock, certificate=None):
        self.clock = clock
        self.requests = []
        self.paths = []
        self.put = (200, put_page("RID0001", 18))
        self.statuses = ["READY"]     # a status, (status, ThereAreHits), or an HTTP failure
        self.results = (200, REPORT)
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
            step, reply = "SearchInfo", (200, status_page(*status) if isinstance(status, tuple)
                                         else status_page(status))
            if isinstance(status, int):
                reply = (status, "<html>server error</html>")
        else:
            step, reply = "Results", self.results
        self.requests.append((step, self.clock.time(), handler.command, fields,
                              getattr(handler, "form", None)))
        self.paths.append(handler.path)
        if handler.path.startswith("/moved"):
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


class FieldsTest(ClientTest):
    def test_submission_carries_the_values_as_given(self):
        cases = [
            (dict(alignments=10, descriptions=10, hitlist_size=10, entrez_query="pan [ORGN]",
                  expect=10, megablast="FALSE"),
             [("ALIGNMENTS", "10"), ("DESCRIPTIONS", "10"), ("HITLIST_SIZE", "10"),
              ("ENTREZ_QUERY", "pan [ORGN]"), ("EXPECT", "10"), ("MEGABLAST", "FALSE"),
              ("NCBI_GI", "true")]),
            (dict(expect=0.001, entrez_query=None, megablast=None), [("EXPECT", "0.001"),
                                                                    ("NCBI_GI", "true")]),
            (dict(ncbi_gi=False), [("NCBI_GI", "false")]),
            (dict(ncbi_gi=None), []),
            (dict(expect=1e-07, filter="mL", word_size=11, matrix_name="BLOSUM62",
                  gapcosts="11 1", nucl_reward=1, nucl_penalty=-3, format_type="XML",
                  ncbi_gi="T", composition_based_statistics=2),
             [("EXPECT", "1e-07"), ("FILTER", "mL"), ("WORD_SIZE", "11"),
              ("MATRIX", "BLOSUM62"), ("GAPCOSTS", "11 1"), ("NUCL_REWARD", "1"),
              ("NUCL_PENALTY", "-3"), ("FORMAT_TYPE", "XML"), ("NCBI_GI", "T"),
              ("COMPOSITION_BASED_STATISTICS", "2")]),
        ]
        query = ">gi|116660609|gb|EG558220.1| a cDNA\nCTCCATTCCC\nTCTCTATTTT"
        for options, expected in cases:
            Skelda._pace.last = None
            del self.service.requests[:]
            self.qblast("blastx", "nr", query, **options)
            step, _, method, _, form = self.service.requests[0]
            self.assertEqual(("Put", "POST"), (step, method))
            self.assertEqual([("CMD", "Put"), ("PROGRAM", "blastx"), ("DATABASE", "nr"),
                              ("QUERY", query)] + expected +
                             [("tool", Skelda.TOOL), ("email", "someone@example.org")], form)

    def test_no_contact_is_sent_when_none_is_set(self):
        del os.environ["TARVO_BLAST_EMAIL"]
        self.qblast()
        form = self.service.requests[0][4]
        self.assertEqual(("tool", Skelda.TOOL), form[-1])
        self.assertNotIn("email", dict(form))

    def test_status_and_results_requests_name_the_rid(self):
        self.qblast(alignments=5, descriptions=7, hitlist_size=9, expect=0.5)
        (_, _, put_method, _, _), (_, _, status_method, status, _), (_, _, get_method, results, _) = \
            self.service.requests
        self.assertEqual(("POST", "GET", "GET"), (put_method, status_method, get_method))
        self.assertEqual({"CMD": "Get", "FORMAT_OBJECT": "SearchInfo", "RID": "RID0001"}, status)
        self.assertEqual({"CMD": "Get", "RID": "RID0001", "FORMAT_TYPE": "XML",
                          "ALIGNMENTS": "5", "DESCRIPTIONS": "7", "HITLIST_SIZE": "9",
                          "NCBI_GI": "true"}, results)

    def test_unknown_keyword_is_a_type_error_before_any_request(self):
        with self.assertRaisesRegexp(TypeError, "'hitlist'"):
            self.qblast(hitlist=10)
        self.assertEqual([], self.service.requests)

    def test_setting_that_is_not_a_number_names_the_variable(self):
        for name, values in [("TARVO_BLAST_MIN_INTERVAL", ("ten", "nan", "-1")),
                             ("TARVO_BLAST_POLL_INTERVAL", ("ten", "nan", "-1")),
                             ("TARVO_BLAST_DEADLINE", ("ten", "nan", "-1", "0")),
                             ("TARVO_BLAST_MAX_BYTES", ("ten", "1e6", "-1", "0")),
                             ("TARVO_BLAST_URL", ("ftp://127.0.0.1/", "http://127.0.0.1:0/",
                                                  "http://127.0.0.1:99999999999999999999/",
                                                  "http://127.0.0.1:8x/"))]:
            for value in values:
                os.environ[name] = value
                self.assertFails(value, ValueError, name + ".*" + re.escape(value))
                del os.environ[name]
        self.assertEqual([], self.service.requests)


class AnswersTest(ClientTest):
    def test_waiting_then_ready_returns_the_report_as_a_stream(self):
        self.service.statuses = ["WAITING", "WAITING", "READY"]
        handle = self.qblast()
        self.assertEqual(["Put", "SearchInfo", "SearchInfo", "SearchInfo", "Results"],
                         self.service.steps())
        first = handle.readline()
        self.assertEqual((b'<?xml version="1.0"?>\n', len(first)), (first, handle.tell()))
        second = handle.readline(5)
        self.assertEqual(REPORT, first + second + b"".join(line for line in handle))
        self.assertEqual((b"", [], len(REPORT)), (handle.read(), handle.readlines(),
                                                  handle.tell()))

    def test_ready_without_hits_still_fetches_and_returns_the_report(self):
        self.service.statuses = ["WAITING", ("READY", "no")]
        self.service.results = (200, NO_HITS_REPORT)
        self.assertEqual(NO_HITS_REPORT, self.qblast().read())
        self.assertEqual(["Put", "SearchInfo", "SearchInfo", "Results"], self.service.steps())

    def test_failures_name_the_rid_and_the_cause(self):
        cases = [
            ("FAILED", dict(statuses=["WAITING", "FAILED"]), ValueError,
             r"^BLAST search RID RID0001 ended with status FAILED \(the search failed at the "
             r"server\)$"),
            ("UNKNOWN", dict(statuses=["UNKNOWN"]), ValueError,
             r"^BLAST search RID RID0001 ended with status UNKNOWN \(the RID is unknown to the "
             r"server or has expired\)$"),
            ("no status", dict(statuses=[""]), ValueError, "RID0001.*without a known status"),
            ("refusal", dict(put=(200, REFUSAL_PAGE)), ValueError,
             "Message ID#24 Error: Failed to read the Blast query: Nucleotide FASTA "
             "provided for protein sequence & nothing else$"),
            ("refusal without error text", dict(put=(200, "<html><p>Busy</p></html>")),
             ValueError, "no RID.*Busy"),
            ("results as HTML", dict(results=(200, "<html><body>Expired RID</body></html>")),
             ValueError, "RID0001.*not BLAST XML.*Expired RID"),
            ("results of another format", dict(results=(200, "BLASTN 2.12.0+\nQuery= x")),
             ValueError, "not BLAST XML.*BLASTN 2.12.0"),
        ]
        for label, script, error, pattern in cases:
            self.another_service(**script)
            self.assertFails(label, error, pattern)

    def test_http_failure_at_each_step_raises_http_error_unchanged(self):
        for step, script in [("Put", dict(put=(500, "<html>down</html>"))),
                             ("SearchInfo", dict(statuses=["WAITING", 500])),
                             ("Results", dict(results=(500, "<html>down</html>")))]:
            service = self.another_service(**script)
            caught = self.assertFails(step, urllib2.HTTPError, "HTTP Error 500")
            self.assertEqual((500, "</html>", step),
                             (caught.code, caught.read()[-7:], service.steps()[-1]))


    def test_a_service_that_cannot_be_reached_is_a_url_error(self):
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        os.environ["TARVO_BLAST_URL"] = "http://127.0.0.1:%d/Blast.cgi" % closed.getsockname()[1]
        closed.close()
        self.assertFails("a closed port", urllib2.URLError, "Connection refused")


class PacingTest(ClientTest):
    def times(self):
        return [when - 1000.0 for _, when, _, _, _ in self.service.requests]

    def test_pacing_of_one_search(self):
        cases = [
            # By default the first status request waits for RTOE, then one a minute, and the
            # results request comes 10 s after the last.
            ({}, 18, ["WAITING", "WAITING", "READY"], [0, 18, 78, 138, 148]),
            ({}, 2, ["READY"], [0, 10, 20]),
            (dict(TARVO_BLAST_MIN_INTERVAL="1", TARVO_BLAST_POLL_INTERVAL="5"), 3,
             ["WAITING", "READY"], [0, 3, 8, 9]),
            (dict(TARVO_BLAST_MIN_INTERVAL="0", TARVO_BLAST_POLL_INTERVAL="0"), 1,
             ["WAITING", "READY"], [0, 1, 1, 1]),
        ]
        for environment, rtoe, statuses, expected in cases:
            os.environ.update(environment)
            service = self.another_service(put=(200, put_page("RID0001", rtoe)),
                                           statuses=statuses)
            Skelda._pace.last = None
            started = self.clock.now
            self.qblast()
            self.assertEqual(expected, [when - started for _, when, _, _, _ in service.requests])

    def test_the_interval_between_any_two_requests_spans_searches(self):
        self.service.put = (200, put_page("RID0001", 2))
        self.qblast()
        self.qblast()
        self.assertEqual([0, 10, 20, 30, 40, 50], self.times())

    def test_deadline_ends_a_search_that_stays_waiting(self):
        os.environ["TARVO_BLAST_DEADLINE"] = "180"
        self.service.statuses = ["WAITING"]
        with self.assertRaisesRegexp(Skelda.SearchTimeout,
                                     r"RID RID0001 .*138 s waited \(status WAITING\).*180 s"):
            self.qblast()
        self.assertEqual([0, 18, 78, 138], self.times())

    def test_deadline_due_with_the_next_poll_ends_the_search_before_it(self):
        # Every status request was answered: the message says so, not that one went unanswered.
        os.environ["TARVO_BLAST_DEADLINE"] = "78"
        self.service.statuses = ["WAITING"]
        with self.assertRaisesRegexp(Skelda.SearchTimeout,
                                     r"^BLAST search RID RID0001 ran out of time: 18 s waited "
                                     r"\(status WAITING\), and the next status request would "
                                     r"be due when the 78 s that TARVO_BLAST_DEADLINE allows "
                                     r"are over$"):
            self.qblast()
        self.assertEqual([0, 18], self.times())

    def test_progress_line_only_on_a_terminal(self):
        self.service.statuses = ["WAITING", "READY"]
        self.qblast()
        self.assertEqual("", sys.stderr.getvalue())
        sys.stderr = Terminal()
        Skelda._pace.last = None
        self.service.statuses = ["WAITING", "READY"]
        self.qblast()
        shown = sys.stderr.getvalue()
        self.assertIn("\rBLAST RID RID0001: WAITING, 17 s waited", shown)
        self.assertIn("\rBLAST RID RID0001: READY, 78 s waited", shown)
        self.assertTrue(shown.endswith("\n"))
        self.assertEqual(1, shown.count("\n"))


class StallTest(ClientTest):
    """A server that stops answering, or answers a byte at a time: real time, short limits.

    The limits in the messages are the ones set, so that a slow machine that spends part of
    the deadline on the earlier requests still sees the message of the request it stalls on."""

    def test_stalled_answer_ends_at_the_deadline_naming_the_request(self):
        self.real_time(TARVO_BLAST_DEADLINE="1")
        for step, request in [("Put", r"submission \(no RID yet\)"),
                              ("SearchInfo", "status request for RID RID0001"),
                              ("Results", "results request for RID RID0001")]:
            service = self.another_service(put=(200, put_page("RID0001", 0)), stall=step)
            self.assertFails(step, Skelda.SearchTimeout,
                             r"ran out of time: the 1 s that TARVO_BLAST_DEADLINE allows were "
                             r"over while the BLAST service at %s was answering the %s \("
                             % (service.url, request))
            self.assertEqual(step, service.steps()[-1], step)

    def test_a_connect_that_runs_past_a_limit_ends_naming_the_request(self):
        # A listener whose backlog is full holds every further connect.
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        waiting = []
        for _ in range(3):
            waiting.append(socket.socket())
            self.addCleanup(waiting[-1].close)
            waiting[-1].setblocking(False)
            waiting[-1].connect_ex(listener.getsockname())
        select.select([], waiting[:1], [], 10)
        self.addCleanup(setattr, Skelda, "REQUEST_TIMEOUT", Skelda.REQUEST_TIMEOUT)
        self.real_time(TARVO_BLAST_URL="http://127.0.0.1:%d/Blast.cgi" % listener.getsockname()[1])
        for label, deadline, stall, pattern in [
                ("the deadline", "1", 120, r"^BLAST search \(no RID yet\) ran out of time: the 1 s "
                 r"that TARVO_BLAST_DEADLINE allows were over while connecting to the BLAST "
                 r"service at http://127.0.0.1:\d+/Blast.cgi for the submission \(no RID yet\) "
                 r"\([\d.]+ s waited in all, [\d.]+ s of them on that request\)$"),
                ("the stall limit", "1000", 0.5, r"^the BLAST service at http://127.0.0.1:\d+/"
                 r"Blast.cgi could not be reached in 0.5 s for the submission \(no RID yet\) "
                 r"\([\d.]+ s waited in all\)$")]:
            os.environ["TARVO_BLAST_DEADLINE"] = deadline
            Skelda.REQUEST_TIMEOUT = stall
            self.assertFails(label, Skelda.SearchTimeout, pattern)

    def test_each_request_has_its_own_stall_limit(self):
        self.real_time()
        self.addCleanup(setattr, Skelda, "REQUEST_TIMEOUT", Skelda.REQUEST_TIMEOUT)
        Skelda.REQUEST_TIMEOUT = 0.5
        self.another_service(put=(200, put_page("RID0001", 0)), stall="SearchInfo")
        with self.assertRaisesRegexp(Skelda.SearchTimeout,
                                     r"sent nothing for 0.5 s while answering the status "
                                     r"request for RID RID0001 \("):
            self.qblast()

    def test_the_deadline_holds_over_an_answer_that_trickles(self):
        # Each byte comes well within the stall limit; only the deadline can end the request,
        # and without it the trickle would end, after many seconds, in a search that passed.
        self.real_time(TARVO_BLAST_DEADLINE="1")
        slow_page = put_page("RID0001", 0) + " " * 1000
        for step, script, request in [
                ("Put", dict(put=trickle(slow_page)), r"submission \(no RID yet\)"),
                ("Results", dict(put=(200, put_page("RID0001", 0)),
                                 results=trickle(REPORT + b" " * 1000)),
                 "results request for RID RID0001")]:
            service = self.another_service(**script)
            self.assertFails(step, Skelda.SearchTimeout, "TARVO_BLAST_DEADLINE allows were over "
                             "while .* was answering the %s" % request)
            self.assertEqual(step, service.steps()[-1], step)


class StreamTest(ClientTest):
    """The results are read from the service as the caller reads them, within the search's
    limits."""

    def test_the_results_are_returned_before_the_service_has_sent_them_all(self):
        rest = threading.Event()

        def halves(service, handler):
            handler.send_response(200)
            handler.send_header("Content-Length", str(len(REPORT)))
            handler.end_headers()
            # A client that waited for the whole body would find it cut short.
            if service.write(handler, REPORT[:200]) and rest.wait(10):
                service.write(handler, REPORT[200:])
        self.service.results = halves
        handle = self.qblast()
        rest.set()
        self.assertEqual(REPORT, handle.read())

    def test_a_report_far_larger_than_any_page_is_read_whole(self):
        report = REPORT + b" " * (MB * 3)
        self.service.results = (200, report)
        self.assertEqual(report, self.qblast().read())

    def test_reads_of_a_chunked_body_are_as_from_a_file(self):
        chunks = "".join("%x%s\r\n%s\r\n" % (len(REPORT[at:at + 7]), ";x=1" * (at % 2),
                                             REPORT[at:at + 7])
                         for at in range(0, len(REPORT), 7))
        self.service.results = raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                   chunks + "0\r\nX-Trailer: 1\r\n\r\n")
        handle = self.qblast()
        self.assertEqual(REPORT.splitlines(True)[:2], handle.readlines()[:2])
        handle = self.qblast()
        pieces = list(iter(lambda: handle.read(10), ""))
        self.assertEqual(REPORT, "".join(pieces))
        self.assertEqual([10] * (len(pieces) - 1), [len(piece) for piece in pieces[:-1]])
        handle.close()
        self.assertRaises(ValueError, handle.read)

    def test_the_deadline_holds_while_the_caller_reads(self):
        # The rest of the body is there to be read at once: only a deadline checked on every
        # read can end it.
        os.environ["TARVO_BLAST_DEADLINE"] = "1000"
        self.service.results = (200, REPORT + b" " * 300000)
        handle = self.qblast()
        self.clock.now += 1000
        with self.assertRaisesRegexp(Skelda.SearchTimeout,
                                     r"the 1000 s that TARVO_BLAST_DEADLINE allows were over "
                                     r"while the BLAST service at .* was answering the results "
                                     r"request for RID RID0001"):
            handle.read()


class LimitsTest(ClientTest):
    environment = dict(TARVO_BLAST_MAX_BYTES="1000")

    def test_a_results_body_past_the_limit_ends_naming_it(self):
        for rid, results, how in [
                ("RID0001", (200, REPORT + b" " * 1000),
                 "says it has %d" % (len(REPORT) + 1000)),
                ("RID0001", endless, "went on past them"),
                ("R%s%%D", endless, "went on past them")]:
            self.another_service(put=(200, put_page(rid, 18)), results=results)
            self.assertFails("%s, %s" % (rid, how), Skelda.AnswerTooLarge,
                             r"^the answer to the results request for RID %s is larger than "
                             r"the 1000 bytes that TARVO_BLAST_MAX_BYTES allows: it %s$"
                             % (rid, how))

    def test_a_body_at_the_limit_is_taken(self):
        report = REPORT + b" " * (1000 - len(REPORT))
        self.service.results = (200, report)
        self.assertEqual(report, self.qblast().read())

    def test_a_page_that_never_ends_ends_at_the_page_limit(self):
        self.another_service(put=endless)
        with self.assertRaisesRegexp(Skelda.AnswerTooLarge,
                                     r"^the answer to the submission \(no RID yet\) is larger "
                                     r"than the %d bytes a page of the BLAST service may have"
                                     % Skelda.MAX_PAGE_BYTES):
            self.qblast()

    def test_an_answer_that_is_no_http_is_an_ordinary_error_with_its_text_escaped(self):
        self.another_service(put=raw("HTTP/1.1 2x0 " + ESCAPE + "\r\n\r\n"))
        with self.assertRaises(IOError) as caught:
            self.qblast()
        message = str(caught.exception)
        self.assertNotIsInstance(caught.exception, urllib2.URLError)
        self.assertIn("gave no proper HTTP answer to the submission", message)
        self.assertIn(r"2x0 \x1b[2J", message)
        self.assertNotIn("\x1b", message)


class RedirectsTest(ClientTest):
    def test_a_redirected_results_request_is_followed_over_http(self):
        service = self.another_service(results=redirect(302, "/moved/Blast.cgi?CMD=Get"))
        self.assertEqual(REPORT, self.qblast().read())
        self.assertEqual("/moved/Blast.cgi?CMD=Get", service.paths[-1])

    def test_a_submission_redirected_by_307_or_308_is_sent_again_as_the_same_post(self):
        for code in (307, 308):
            service = self.another_service(put=redirect(code, "/moved/Blast.cgi"))
            self.assertEqual(REPORT, self.qblast().read())
            (_, _, _, _, form), (_, _, method, _, again) = service.requests[:2]
            self.assertEqual(("/moved/Blast.cgi", "POST", form), (service.paths[1], method, again))

    def test_redirects_that_are_not_followed_name_the_redirect(self):
        cases = [
            ("to ftp", dict(results=redirect(302, "ftp://127.0.0.1/report.xml")),
             r"results request for RID RID0001 \(HTTP 302\) to 'ftp://127.0.0.1/report.xml': "
             r"only http and https are followed"),
            ("the submission, by 302", dict(put=redirect(302, "/moved/Blast.cgi")),
             r"submission \(no RID yet\) \(HTTP 302\) to 'http://127.0.0.1:\d+/moved/Blast"
             r"\.cgi': that would send the form again as a GET"),
            ("the submission, by 303", dict(put=redirect(303, "/moved/Blast.cgi")),
             r"\(HTTP 303\) .* as a GET, without its fields; set TARVO_BLAST_URL"),
            ("in a loop", dict(results=redirect(301, "/Blast.cgi?again")),
             r"results request for RID RID0001 \(HTTP 301\) .* the 10 redirects it follows "
             r"were not enough"),
        ]
        for label, script, pattern in cases:
            self.another_service(**script)
            self.assertFails(label, Skelda.RedirectRefused, pattern)


class EscapesTest(ClientTest):
    """Text from the server reaches messages and the terminal with its control characters
    escaped."""

    def assertEscaped(self, text, shown, label=None):
        self.assertNotIn("\x1b", text, label)
        self.assertIn(shown, text, label)

    def test_messages_escape_what_the_server_sent(self):
        cases = [
            ("the RID", dict(put=(200, put_page("R" + ESCAPE + "ID", 0)), statuses=["FAILED"]),
             r"RID R\x1b[2JID ended with status FAILED"),
            ("the refusal", dict(put=(200, '<p class="error">bad &#27;[2J query</p>')),
             r"refused the search: bad \x1b[2J query"),
            ("the status", dict(statuses=["WAIT" + ESCAPE]),
             r"without a known status (got 'WAIT\x1b[2J')"),
            # U+009B, a control that some terminals take for the start of an escape sequence.
            ("the RID, in UTF-8", dict(put=(200, put_page("R\xc2\x9b2J", 0)), statuses=["FAILED"]),
             r"RID R\x9b2J ended with status FAILED"),
        ]
        for label, script, shown in cases:
            self.another_service(**script)
            message = str(self.assertFails(label, ValueError, ""))
            self.assertEscaped(message, shown, label)
            self.assertNotIn("\xc2\x9b", message, label)

    def test_the_reason_of_an_http_failure_is_escaped_and_its_code_kept(self):
        def failure(service, handler):
            handler.send_response(503, "Down" + ESCAPE)
            handler.send_header("Content-Length", "0")
            handler.end_headers()
        self.another_service(put=failure)
        with self.assertRaises(urllib2.HTTPError) as caught:
            self.qblast()
        self.assertEqual(503, caught.exception.code)
        self.assertEscaped(str(caught.exception), r"Down\x1b[2J")

    def test_the_progress_line_escapes_the_rid_and_the_status(self):
        sys.stderr = Terminal()
        self.another_service(put=(200, put_page("R" + ESCAPE, 18)),
                             statuses=["WAITING", "READY"])
        self.qblast()
        self.assertEscaped(sys.stderr.getvalue(), "\rBLAST RID R\\x1b[2J: WAITING")
        sys.stderr = Terminal()
        self.another_service(statuses=["WAIT" + ESCAPE])
        with self.assertRaises(ValueError):
            self.qblast()
        self.assertEscaped(sys.stderr.getvalue(), "\rBLAST RID RID0001: WAIT\\x1b[2J")


class TlsTest(ClientTest):
    """The client over TLS, trusting a certificate made for 127.0.0.1 during the test."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tarvo-tls-")
        cls.certificate = (os.path.join(cls.folder, "cert.pem"),
                           os.path.join(cls.folder, "key.pem"))
        command = ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                   "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                   "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                   "-out", cls.certificate[0], "-keyout", cls.certificate[1]]
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        err = process.communicate()[1]
        if process.returncode:
            raise AssertionError("openssl could not make a certificate: %s" % err)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        ClientTest.setUp(self)
        os.environ["SSL_CERT_FILE"] = self.certificate[0]

    def test_a_search_over_tls(self):
        self.another_service(self.certificate, statuses=["WAITING", "READY"])
        self.assertEqual(REPORT, self.qblast().read())

    def test_a_certificate_not_trusted_is_a_url_error(self):
        del os.environ["SSL_CERT_FILE"]
        service = self.another_service(self.certificate)
        self.assertFails("untrusted", urllib2.URLError, "CERTIFICATE_VERIFY_FAILED")
        self.assertEqual([], service.requests)

    def test_the_deadline_holds_over_tls_that_trickles(self):
        self.real_time(TARVO_BLAST_DEADLINE="1")
        self.another_service(self.certificate, put=(200, put_page("RID0001", 0)),
                             results=trickle(REPORT + b" " * 1000))
        with self.assertRaisesRegexp(Skelda.SearchTimeout,
                                     "TARVO_BLAST_DEADLINE allows were over while .* was "
                                     "answering the results request for RID RID0001"):
            self.qblast()

    def test_no_redirect_from_https_down_to_http(self):
        plain = self.another_service()
        self.another_service(self.certificate, results=redirect(302, plain.url + "?CMD=Get"))
        with self.assertRaisesRegexp(Skelda.RedirectRefused,
                                     "results request for RID RID0001 \\(HTTP 302\\) to "
                                     "'http://127.0.0.1:\\d+/Blast.cgi\\?CMD=Get': it is not "
                                     "followed from https down to plain http"):
            self.qblast()
        self.assertEqual([], plain.requests)


if __name__ == "__main__":
    unittest.main()
