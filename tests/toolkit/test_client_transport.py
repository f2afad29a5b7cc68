"""The BLAST web client's transport against a service played on 127.0.0.1, over plain HTTP and
over TLS: stalls and deadlines, the results read as they come, size limits and redirects."""

import os
import select
import shutil
import socket
import subprocess
import tempfile
import threading
import unittest
import urllib2

from played_service import (ESCAPE, MB, REPORT, ClientTest, endless, put_page, raw, redirect,
                            trickle)
from Tarvo.Blast import Skelda


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

    def test_a_body_at_the_limit_is_taken_and_one_byte_more_refused(self):
        def framed(how, body):
            if how == "announced":
                return (200, body)
            if how == "chunked":
                return raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                           "".join("%x\r\n%s\r\n" % (len(body[at:at + 300]), body[at:at + 300])
                                   for at in range(0, len(body), 300)) + "0\r\n\r\n")
            # Neither: the body ends with the connection.
            return raw("HTTP/1.1 200 OK\r\n\r\n" + body)
        for how in ("announced", "chunked", "unannounced"):
            for size, taken in ((1000, True), (1001, False)):
                report = REPORT + b" " * (size - len(REPORT))
                self.another_service(results=framed(how, report))
                label = "%s, %d bytes" % (how, size)
                if taken:
                    self.assertEqual(report, self.qblast().read(), label)
                else:
                    # Refused when qblast reads the start, or later, as the body is read.
                    with self.assertRaisesRegexp(Skelda.AnswerTooLarge,
                                                 "larger than the 1000 bytes"):
                        self.qblast().read()

    def test_a_length_announced_twice_differently_or_not_as_a_number_is_no_http(self):
        # Else the body would be taken to end with the connection, and a cut one as whole.
        cut = "HTTP/1.1 200 OK\r\n%s\r\n" + REPORT[:100]
        cases = [
            ("twice, differently", ["Content-Length: %d" % len(REPORT), "Content-Length: 100"],
             r"Content-Length given 2 times, with different values: '%d', '100'$" % len(REPORT)),
            ("in one header, twice", ["Content-Length: %d, 100" % len(REPORT)],
             r"a Content-Length of '%d, 100'$" % len(REPORT)),
            ("as a word", ["Content-Length: many"], r"a Content-Length of 'many'$"),
            ("below 0", ["Content-Length: -1"], r"a Content-Length of '-1'$"),
        ]
        for label, headers, detail in cases:
            self.another_service(results=raw(cut % "".join(h + "\r\n" for h in headers)))
            self.assertFails(label, IOError, r"gave no proper HTTP answer to the results "
                                             r"request for RID RID0001: " + detail)
        self.another_service(results=raw(cut.replace(REPORT[:100], REPORT) % (
            "Content-Length: %d\r\n" % len(REPORT) * 2)))
        self.assertEqual(REPORT, self.qblast().read(), "the same length twice")

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

    def test_ten_redirects_are_followed_and_an_eleventh_refused(self):
        # /hop/N/ redirects N more times: the first redirect and nine more are ten.
        service = self.another_service(results=redirect(302, "/hop/9/Blast.cgi?CMD=Get"))
        self.assertEqual(REPORT, self.qblast().read())
        self.assertEqual(["Results"] * 11, service.steps()[-11:])
        self.another_service(results=redirect(302, "/hop/10/Blast.cgi?CMD=Get"))
        self.assertFails("eleven", Skelda.RedirectRefused,
                         r"\(HTTP 302\) to '\S+/hop/0/Blast.cgi\?CMD=Get': the 10 redirects it "
                         r"follows were not enough$")

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

    def test_a_stall_after_the_handshake_is_a_search_timeout(self):
        self.real_time(TARVO_BLAST_DEADLINE="1")
        for step, request in [("Put", r"submission \(no RID yet\)"),
                              ("Results", "results request for RID RID0001")]:
            self.another_service(self.certificate, put=(200, put_page("RID0001", 0)), stall=step)
            self.assertFails(step, Skelda.SearchTimeout,
                             r"the 1 s that TARVO_BLAST_DEADLINE allows were over while the BLAST "
                             r"service at https://\S+ was answering the %s \(" % request)

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
