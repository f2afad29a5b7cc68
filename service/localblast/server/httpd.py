"""The HTTP side: a threaded server on 127.0.0.1 that hands each request's form to the Api."""
import socket
import threading
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

from ..pages import api_pages
from ..pages.api_pages import HTML
from ..request import numerals
from ..request.form import read_form

PATH = "/Blast.cgi"
# NCBI's two addresses of the URL API, and that of its cloud images.
PATHS = (PATH, "/blast/Blast.cgi", "/cgi-bin/blast.cgi")
MAX_BODY = 4 * 1024 * 1024


class Handler(BaseHTTPRequestHandler):
    server_version = "localblast/1.0"
    timeout = 60     # a client that connects and sends nothing does not hold a thread for ever

    def do_GET(self):
        self.serve(self.server.api.clock(), urlsplit(self.path).query)

    def do_POST(self):
        # A request arrives with its first line, not once its body has been read.
        arrived = self.server.api.clock()
        text = self.headers.get("Content-Length", "")
        if not numerals.WHOLE.fullmatch(text):
            return self.send(411, api_pages.error("a POST needs a Content-Length; received %r" % text))
        length = int(text)
        if length > MAX_BODY:
            return self.send(413, api_pages.error("the request body of %s bytes exceeds this service's limit of %d"
                                              % (text, MAX_BODY)))
        content_type = self.headers.get("Content-Type", "application/x-www-form-urlencoded")
        body = self.rfile.read(length)
        if len(body) < length:
            return self.send(400, api_pages.error("the request body ended after %d of the %d bytes its Content-Length "
                                              "announced" % (len(body), length)))
        if not content_type.startswith("application/x-www-form-urlencoded"):
            return self.send(415, api_pages.error("a POST must be a form (application/x-www-form-urlencoded); "
                                              "received %r" % content_type))
        self.serve(arrived, urlsplit(self.path).query, body.decode("utf-8", "replace"))

    def serve(self, arrived, *encoded):
        if urlsplit(self.path).path not in PATHS:
            return self.send(404, api_pages.error("no such page: this service answers at %s; asked for %r"
                                              % (", ".join(PATHS), urlsplit(self.path).path)))
        try:
            answer = self.server.api.answer(read_form(*encoded), arrived)
        except Exception:
            self.server.api.log("internal error:\n" + traceback.format_exc())
            return self.send(500, api_pages.error("the service failed to answer this request (see its log)"))
        try:
            if answer.stall:
                self.server.api.log("holding an answer back %g s (--stall)" % answer.stall)
                if self.server.stopping.wait(answer.stall):
                    self.server.api.log("a held answer was dropped: the service is stopping")
                    return
            self.send(answer.status, answer.body, answer.content_type)
        finally:
            if not isinstance(answer.body, str):
                answer.body.close()

    def send(self, status, body, content_type=HTML):
        """Sends a page's text, or a report (an edits.Served) in bounded chunks; a report stops
        between two chunks when the service stops."""
        if isinstance(body, str):
            chunks = [body.encode("utf-8")]
            length = len(chunks[0])
        else:
            length, chunks = body.length(), body.chunks()
        try:
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            if getattr(body, "filename", None):
                self.send_header("Content-Disposition", "attachment; filename=\"%s\"" % body.filename)
            self.send_header("Content-Length", str(length))
            self.end_headers()
            for chunk in chunks:
                if self.server.stopping.is_set():
                    self.server.api.log("an answer was cut short: the service is stopping")
                    return
                self.wfile.write(chunk)
        except (BrokenPipeError, ConnectionResetError, socket.timeout) as error:
            # A client that gave up (a held-back answer, a slow reader) is no fault of the service's.
            self.server.api.log("the client left before the answer was sent: %s" % error)

    def log_message(self, form, *arguments):
        self.server.api.log("%s %s" % (self.address_string(), form % arguments))


class BlastServer(ThreadingHTTPServer):
    # Stopping waits for the answers being written (server_close joins the handler threads), so
    # nothing is cut off by the process ending; held answers give up and connections that are
    # still being read end, so that it is prompt (see stop).
    daemon_threads = False
    request_queue_size = 128

    def __init__(self, port, api):
        self.api = api
        self.stopping = threading.Event()     # set when the service stops: held answers give up
        self._connections = set()
        self._connections_lock = threading.Lock()
        super().__init__(("127.0.0.1", port), Handler)

    def url(self):
        return "http://127.0.0.1:%d%s" % (self.server_address[1], PATH)

    def process_request(self, request, client_address):
        with self._connections_lock:
            self._connections.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request):
        with self._connections_lock:
            self._connections.discard(request)
        super().shutdown_request(request)

    def stop(self):
        """Stops serving (from a thread other than serve_forever's): no new connections, held
        answers give up, and open connections read no more."""
        self.stopping.set()
        self.shutdown()
        with self._connections_lock:
            self.api.log("stopping: %d open connections read no more" % len(self._connections))
            for connection in self._connections:
                try:
                    connection.shutdown(socket.SHUT_RD)
                except OSError:
                    pass
