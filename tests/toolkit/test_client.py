"""The BLAST web client against a service played on 127.0.0.1 inside the test."""

import BaseHTTPServer
import SocketServer
import StringIO
import os
import sys
import threading
import unittest
import urllib2
import urlparse

# Loopback requests must not be sent to a proxy the environment may name.
for _name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
    os.environ.pop(_name, None)

from Tarvo.Blast import Skelda  # noqa: E402

REPORT = (b'<?xml version="1.0"?>\n'
          b'<!DOCTYPE BlastOutput PUBLIC "-//NCBI//NCBI BlastOutput/EN" '
          b'"http://www.ncbi.nlm.nih.gov/dtd/NCBI_BlastOutput.dtd">\n'
          b'<BlastOutput>\n  <BlastOutput_program>blastn</BlastOutput_program>\n'
          b'  <BlastOutput_iterations>\n    <Iteration>\n      <Iteration_hits>\n'
          b'      </Iteration_hits>\n    </Iteration>\n  </BlastOutput_iterations>\n'
          b'</BlastOutput>\n')


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


class FakeClock(object):
    def __init__(self):
        self.now = 1000.0

    def time(self):
        return self.now

    def sleep(self, seconds):
        assert seconds >= 0, seconds
        self.now += seconds


class Service(object):
    """Plays the URL API: answers from a script and records every request it gets."""

    def __init__(self, clock):
        self.clock = clock
        self.requests = []
        self.put = (200, put_page("RID0001", 18))
        self.statuses = ["READY"]
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

        self.server = Server(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/Blast.cgi" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,))
        self.thread.start()

    def answer(self, handler, fields):
        if fields.get("CMD") == "Put":
            step, (code, body) = "Put", self.put
        elif fields.get("FORMAT_OBJECT") == "SearchInfo":
            status = self.statuses.pop(0) if len(self.statuses) > 1 else self.statuses[0]
            step, (code, body) = "SearchInfo", (200, status_page(status))
            if isinstance(status, int):
                code, body = status, "<html>server error</html>"
        else:
            step, (code, body) = "Results", self.results
        self.requests.append((step, self.clock.time(), handler.command, fields,
                              getattr(handler, "form", None)))
        if self.stall == step:
            self.release.wait(10)
            return
        handler.send_response(code)
        handler.send_header("Content-Type", "text/html")
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)

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
        self.service = Service(self.clock)
        self.addCleanup(self.service.close)
        saved = (Skelda._clock, Skelda._sleep, Skelda._last_request[0], sys.stderr,
                 dict(os.environ))

        def restore():
            Skelda._clock, Skelda._sleep, Skelda._last_request[0], sys.stderr, environ = saved
            os.environ.clear()
            os.environ.update(environ)
        self.addCleanup(restore)
        Skelda._clock, Skelda._sleep = self.clock.time, self.clock.sleep
        Skelda._last_request[0] = None
        sys.stderr = StringIO.StringIO()
        for name in list(os.environ):
            if name.startswith("TARVO_BLAST_"):
                del os.environ[name]
        os.environ["TARVO_BLAST_URL"] = self.service.url
        os.environ["TARVO_BLAST_EMAIL"] = "someone@example.org"
        os.environ.update(self.environment)

    def another_service(self, **script):
        """A fresh service, playing the given script, that the client is pointed at."""
        service = Service(self.clock)
        self.addCleanup(service.close)
        for name, value in script.items():
            setattr(service, name, value)
        os.environ["TARVO_BLAST_URL"] = service.url
        return service

    def qblast(self, program="blastn", database="nr", query="ACGT", **options):
        return Skelda.qblast(program, database, query, **options)


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
            Skelda._last_request[0] = None
            del self.service.requests[:]
            self.qblast("blastx", "nr", query, **options)
            step, _, method, _, form = self.service.requests[0]
            self.assertEqual(("Put", "POST"), (step, method))
            self.assertEqual([("CMD", "Put"), ("PROGRAM", "blastx"), ("DATABASE", "nr"),
                              ("QUERY", query)] + expected +
                             [("tool", Skelda.TOOL), ("email", "someone@example.org")], form)

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
        for name in ("TARVO_BLAST_MIN_INTERVAL", "TARVO_BLAST_POLL_INTERVAL",
                     "TARVO_BLAST_DEADLINE"):
            for value in ("ten", "nan", "-1"):
                os.environ[name] = value
                with self.assertRaisesRegexp(ValueError, name + ".*" + value):
                    self.qblast()
                del os.environ[name]
        self.assertEqual([], self.service.requests)


class AnswersTest(ClientTest):
    def test_waiting_then_ready_returns_the_report_as_a_stream(self):
        self.service.statuses = ["WAITING", "WAITING", "READY"]
        handle = self.qblast()
        self.assertEqual(["Put", "SearchInfo", "SearchInfo", "SearchInfo", "Results"],
                         self.service.steps())
        first = handle.readline()
        self.assertEqual(b'<?xml version="1.0"?>\n', first)
        self.assertEqual(REPORT, first + b"".join(line for line in handle))
        self.assertEqual(b"", handle.read())

    def test_ready_without_hits_still_returns_the_report(self):
        self.service.statuses = ["READY"]
        self.service.results = (200, REPORT)
        self.assertEqual(REPORT, self.qblast().read())

    def test_failures_name_the_rid_and_the_cause(self):
        cases = [
            ("FAILED", dict(statuses=["WAITING", "FAILED"]), ValueError, "RID0001.*FAILED"),
            ("UNKNOWN", dict(statuses=["UNKNOWN"]), ValueError, "RID0001.*UNKNOWN"),
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
            with self.assertRaisesRegexp(error, pattern):
                self.qblast()

    def test_http_failure_at_each_step_raises_http_error_unchanged(self):
        for step, script in [("Put", dict(put=(500, "<html>down</html>"))),
                             ("SearchInfo", dict(statuses=["WAITING", 500])),
                             ("Results", dict(results=(500, "<html>down</html>")))]:
            service = self.another_service(**script)
            with self.assertRaises(urllib2.HTTPError) as caught:
                self.qblast()
            self.assertEqual(500, caught.exception.code)
            self.assertEqual(step, service.steps()[-1])


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
            Skelda._last_request[0] = None
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

    def test_progress_line_only_on_a_terminal(self):
        class Terminal(StringIO.StringIO):
            def isatty(self):
                return True
        self.service.statuses = ["WAITING", "READY"]
        self.qblast()
        self.assertEqual("", sys.stderr.getvalue())
        sys.stderr = Terminal()
        Skelda._last_request[0] = None
        self.service.statuses = ["WAITING", "READY"]
        self.qblast()
        shown = sys.stderr.getvalue()
        self.assertIn("\rBLAST RID RID0001: WAITING, 17 s waited", shown)
        self.assertIn("\rBLAST RID RID0001: READY, 78 s waited", shown)
        self.assertTrue(shown.endswith("\n"))
        self.assertEqual(1, shown.count("\n"))


class StallTest(ClientTest):
    """A server that stops answering: real time, so the limits are short."""

    def test_stalled_answer_ends_at_the_deadline_naming_the_rid(self):
        Skelda._clock, Skelda._sleep = Skelda.time.time, Skelda.time.sleep
        os.environ.update(TARVO_BLAST_DEADLINE="1", TARVO_BLAST_MIN_INTERVAL="0",
                          TARVO_BLAST_POLL_INTERVAL="0")
        for step, pattern in [("Put", "submission \\(no RID yet\\)"),
                              ("SearchInfo", "status request for RID RID0001"),
                              ("Results", "results request for RID RID0001")]:
            self.another_service(put=(200, put_page("RID0001", 0)), stall=step)
            with self.assertRaisesRegexp(Skelda.SearchTimeout,
                                         pattern + r" within 1(\.\d)? s \(1(\.\d)? s waited in all\)"):
                self.qblast()

    def test_each_request_has_its_own_timeout(self):
        Skelda._clock, Skelda._sleep = Skelda.time.time, Skelda.time.sleep
        self.addCleanup(setattr, Skelda, "REQUEST_TIMEOUT", Skelda.REQUEST_TIMEOUT)
        Skelda.REQUEST_TIMEOUT = 0.5
        os.environ.update(TARVO_BLAST_MIN_INTERVAL="0", TARVO_BLAST_POLL_INTERVAL="0")
        self.service.put = (200, put_page("RID0001", 0))
        self.service.stall = "SearchInfo"
        with self.assertRaisesRegexp(Skelda.SearchTimeout, "RID RID0001 within 0.5 s"):
            self.qblast()


if __name__ == "__main__":
    unittest.main()
