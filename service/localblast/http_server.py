"""The HTTP side: a threaded server on 127.0.0.1 that hands each request's form to the Api."""
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit

from . import pages

PATH = "/Blast.cgi"
MAX_BODY = 4 * 1024 * 1024


def read_form(*encoded):
    form = {}
    for text in encoded:
        for name, value in parse_qsl(text, keep_blank_values=True):
            form.setdefault(name.upper(), []).append(value)
    return form


class Handler(BaseHTTPRequestHandler):
    server_version = "localblast/1.0"
    timeout = 60     # a client that connects and sends nothing does not hold a thread for ever

    def do_GET(self):
        self.serve(urlsplit(self.path).query)

    def do_POST(self):
        length = self.headers.get("Content-Length", "")
        if not length.isdigit():
            return self.send(411, pages.error("a POST needs a Content-Length; received %r" % length))
        if int(length) > MAX_BODY:
            return self.send(413, pages.error("the request body of %s bytes exceeds this service's limit of %d"
                                              % (length, MAX_BODY)))
        content_type = self.headers.get("Content-Type", "application/x-www-form-urlencoded")
        body = self.rfile.read(int(length))
        if not content_type.startswith("application/x-www-form-urlencoded"):
            return self.send(415, pages.error("a POST must be a form (application/x-www-form-urlencoded); "
                                              "received %r" % content_type))
        self.serve(urlsplit(self.path).query, body.decode("utf-8", "replace"))

    def serve(self, *encoded):
        if urlsplit(self.path).path != PATH:
            return self.send(404, pages.error("no such page: this service answers at %s; asked for %r"
                                              % (PATH, urlsplit(self.path).path)))
        try:
            answer = self.server.api.answer(read_form(*encoded))
        except Exception:
            self.server.api.log("internal error:\n" + traceback.format_exc())
            return self.send(500, pages.error("the service failed to answer this request (see its log)"))
        if answer.stall and self.server.stopping.wait(answer.stall):
            return
        self.send(answer.status, answer.text, answer.content_type)

    def send(self, status, text, content_type="text/html; charset=utf-8"):
        body = text.encode("utf-8")
        try:
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError) as error:
            # A client that gave up (a held-back answer) is no fault of the service's.
            self.server.api.log("the client left before the answer was sent: %s" % error)

    def log_message(self, form, *arguments):
        self.server.api.log("%s %s" % (self.address_string(), form % arguments))


class BlastServer(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128

    def __init__(self, port, api, stopping):
        self.api = api
        self.stopping = stopping     # set when the service stops: held-back answers give up
        super().__init__(("127.0.0.1", port), Handler)

    def url(self):
        return "http://127.0.0.1:%d%s" % (self.server_address[1], PATH)
