"""The BLAST web client against a service played on 127.0.0.1: the fields it sends, the answers
it reads, its pacing, and the server's text escaped on its way to a terminal."""

import io
import os
import re
import socket
import sys
import unittest
import urllib2

from played_service import (ESCAPE, EXPIRED_PAGE, NO_HITS_REPORT, REFUSAL_PAGE, REPORT,
                            WAITING_PAGE, ClientTest, Terminal, ncbi_page, put_page, status_page)
from Tarvo.Blast import Morvin, Skelda


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

    def test_of_a_key_that_the_blocks_of_a_page_give_twice_the_first_is_taken(self):
        cases = [
            ("the RID", dict(put=(200, put_page("RID0001", 18) + put_page("RID0002", 0))),
             ["Put", "SearchInfo", "Results"], 18),
            ("the status", dict(statuses=[status_page("WAITING") + status_page("READY"),
                                          "READY"]),
             ["Put", "SearchInfo", "SearchInfo", "Results"], 18),
        ]
        for label, script, steps, first_poll in cases:
            service = self.another_service(**script)
            Skelda._pace.last = None
            started = self.clock.now
            self.qblast()
            self.assertEqual(steps, service.steps(), label)
            self.assertEqual(["RID0001"] * (len(steps) - 1),
                             [fields["RID"] for _, _, _, fields, _ in service.requests[1:]],
                             label)
            self.assertEqual(first_poll, service.requests[1][1] - started, label)

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
                                                  "http://127.0.0.1:8x/", "http://[::1/x"))]:
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
        parts = [handle.readline(size) for size in (0, 5, 1000)]
        line = REPORT.splitlines(True)[1]
        self.assertEqual(["", line[:5], line[5:]], parts)
        self.assertEqual(REPORT, first + "".join(parts) + b"".join(line for line in handle))
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
            # A results request is answered with a status page where the status is not READY.
            ("results expired", dict(results=(200, EXPIRED_PAGE)), ValueError,
             r"^BLAST search RID RID0001 ended with status UNKNOWN \(the RID is unknown to the "
             r"server or has expired\)$"),
            ("results of a search that failed", dict(results=(200, ncbi_page("", "FAILED"))),
             ValueError, r"^BLAST search RID RID0001 ended with status FAILED \(the search "
                         r"failed at the server\)$"),
            # Other pages are quoted by what they say, never by the doctype they all start with.
            ("results as a page with an error text", dict(results=(200, ncbi_page(
                '<div class="error msInf">Message ID#31 Error: Unknown format</div>'))),
             ValueError, r"^the results request for RID RID0001 was answered with a page that "
                         r"is not BLAST XML: Message ID#31 Error: Unknown format$"),
            ("results as a page with an Error: line", dict(results=(200, ncbi_page(
                "<p>Formatting</p>\n<p><b>Error:</b> Results for RID RID0001 &amp; XML not "
                "available</p>\n<p>Error: not this one</p>"))),
             ValueError, "not BLAST XML: Error: Results for RID RID0001 & XML not available$"),
            ("results as a page with a title only", dict(results=(200, ncbi_page(
                "<p>Back soon</p>", title="Service &quot;unavailable&quot;"))),
             ValueError, 'not BLAST XML: Service "unavailable"$'),
            ("results of another format", dict(results=(200, "BLASTN 2.12.0+\nQuery= x")),
             ValueError, "not BLAST XML.*BLASTN 2.12.0"),
        ]
        for label, script, error, pattern in cases:
            self.another_service(**script)
            caught = self.assertFails(label, error, pattern)
            self.assertNotIn("DOCTYPE", str(caught), label)

    def test_what_is_not_xml_is_quoted_as_the_reader_quotes_it(self):
        # White space made single blanks, control characters escaped, cut after 200 bytes.
        for body, quoted in [("BLASTN 2.12.0+\n\n\tQuery= x" + ESCAPE, r"'BLASTN 2.12.0+ "
                                                                         r"Query= x\x1b[2J'"),
                             ("Query= " + "ACGT" * 100, "'Query= %s...'" % ("ACGT" * 50)[:193])]:
            self.another_service(results=(200, body))
            client = str(self.assertFails(body[:20], ValueError, "not BLAST XML: "))
            with self.assertRaises(ValueError) as reader:
                Morvin.read(io.BytesIO(body))
            self.assertEqual((quoted, quoted), (client.split("not BLAST XML: ")[1],
                                                str(reader.exception).split("it starts ")[1]))

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

    def test_results_answered_waiting_are_asked_for_again_a_poll_interval_later(self):
        # As a status request would be: the first after RTOE, then one a minute, and never
        # sooner than 10 s after any request.
        cases = [
            ({}, ["READY"], [WAITING_PAGE, WAITING_PAGE, REPORT],
             ["Put", "SearchInfo", "Results", "Results", "Results"], [0, 18, 28, 88, 148]),
            ({}, ["WAITING", "READY"], [WAITING_PAGE, REPORT],
             ["Put", "SearchInfo", "SearchInfo", "Results", "Results"], [0, 18, 78, 88, 148]),
            (dict(TARVO_BLAST_MIN_INTERVAL="1", TARVO_BLAST_POLL_INTERVAL="5"), ["READY"],
             [WAITING_PAGE, REPORT], ["Put", "SearchInfo", "Results", "Results"], [0, 18, 19, 24]),
        ]
        for environment, statuses, results, steps, expected in cases:
            os.environ.update(environment)
            service = self.another_service(statuses=statuses,
                                           results=[(200, body) for body in results])
            Skelda._pace.last = None
            started = self.clock.now
            self.assertEqual(REPORT, self.qblast().read())
            self.assertEqual((steps, expected), (service.steps(), [
                when - started for _, when, _, _, _ in service.requests]))

    def test_deadline_ends_a_search_whose_results_stay_waiting(self):
        os.environ["TARVO_BLAST_DEADLINE"] = "100"
        self.service.results = (200, WAITING_PAGE)
        with self.assertRaisesRegexp(Skelda.SearchTimeout,
                                     r"^BLAST search RID RID0001 ran out of time: 88 s waited "
                                     r"\(status WAITING\), and the next results request would "
                                     r"be due when the 100 s that TARVO_BLAST_DEADLINE allows "
                                     r"are over$"):
            self.qblast()
        self.assertEqual([0, 18, 28, 88], self.times())

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
            ("a results page's error text", dict(results=(200, ncbi_page(
                '<p class="error">bad' + ESCAPE + ' format</p>'))),
             r"not BLAST XML: bad\x1b[2J format"),
        ]
        for label, script, shown in cases:
            self.another_service(**script)
            message = str(self.assertFails(label, ValueError, ""))
            self.assertEscaped(message, shown, label)
            self.assertNotIn("\xc2\x9b", message, label)

    def test_a_results_page_is_quoted_cut_after_1000_characters(self):
        self.another_service(results=(200, ncbi_page("<p>Error: %s</p>" % ("x" * 3000))))
        message = str(self.assertFails("long", ValueError, r"not BLAST XML: Error: x+\.\.\.$"))
        self.assertEqual(1003, len(message.split("not BLAST XML: ")[1]))

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

if __name__ == "__main__":
    unittest.main()
