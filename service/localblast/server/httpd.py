"""The HTTP side: the service's WSGI application served by waitress (a fixed pool of threads,
request head and body size limits, idle connections timed out), with what waitress does not do:

- a deadline for a whole request head (and one for a whole request): waitress's timeout
  counts from a connection's last activity, so a head trickled a byte at a time is never late;
- connections capped below the open-file limit, the oldest idle ones shed to make room:
  waitress stops accepting at its limit, so idle or half-sent connections lock everyone out;
- a stop that ends within a few seconds whatever the clients do: waitress's own loop has no
  stop, and its threads would wait for ever on a client that reads nothing.
"""
import errno
import threading
import time

from waitress import wasyncore
from waitress.adjustments import Adjustments
from waitress.server import TcpWSGIServer
from waitress.task import ThreadedTaskDispatcher

from ..journal.journal import Journal
from . import access, logsink
from .app import ARRIVED_AT, PATH, Application, page_answer
from .channel import Connection
from .holds import Holds
from .limits import Limits

LOOP_SECONDS = 1.0      # the loop wakes at least this often: deadlines are checked once a second
GRACE_SECONDS = 2.0     # answers being sent when the service stops get this long to end
CALL_SECONDS = 5.0      # the longest a call into the loop waits for it


class BlastServer(TcpWSGIServer):
    """Serves `api` on `host` (an IP address) and `port` (0: a free one) within `limits`."""
    channel_class = Connection

    def __init__(self, api, port=0, host="127.0.0.1", limits=None, journal=None, holds=None, share_journal=False):
        self.api = api
        self.clock = api.clock
        self.limits = limits or Limits()
        self.stopping = threading.Event()     # set when the service stops: held answers give up
        self.holds = holds or Holds(self.limits.held)
        self.app = Application(api, journal if journal is not None else Journal(), self.holds, self.stopping,
                               share_journal, self.limits.fields)
        adjustments = Adjustments(
            host=host, port=port, threads=self.limits.threads + self.limits.held,
            connection_limit=self.limits.connections, channel_timeout=int(self.limits.idle_seconds) or 1,
            cleanup_interval=1, max_request_header_size=self.limits.head_bytes,
            # waitress refuses a body of its limit or more; the service takes one of its limit.
            max_request_body_size=self.limits.body_bytes + 1,
            asyncore_use_poll=True,    # select() cannot watch a descriptor numbered beyond 1023
            ident="localblast/1.0", clear_untrusted_proxy_headers=True, log_socket_errors=False)
        dispatcher = ThreadedTaskDispatcher()
        dispatcher.set_thread_count(adjustments.threads)
        self._undo_logs = logsink.route_library_logs(api.log)
        self._ended = False
        self._looping = None          # the loop's thread, once it runs
        self._loop_ended = threading.Event()
        self._at_cap = False
        self._shed = 0
        self._out_of_files = False
        self._paused_until = 0.0
        try:
            super().__init__(self.app, map={}, adj=adjustments, dispatcher=dispatcher,
                             sockinfo=adjustments.listen[0])
        except BaseException:
            self._undo_logs()
            dispatcher.shutdown(timeout=1)
            raise

    @property
    def address(self):
        return self.effective_host

    def url(self):
        return "http://%s:%s%s" % (access.url_host(self.effective_host), self.effective_port, PATH)

    def beyond_loopback(self):
        return not access.is_loopback(self.effective_host)

    # The loop. Everything that touches connections runs on its thread.

    def serve_forever(self):
        self._looping = threading.current_thread()
        try:
            while not self._ended:
                wasyncore.poll2(LOOP_SECONDS, self._map)
        finally:
            self._loop_ended.set()

    def in_loop(self, function):
        """`function()`'s result, called on the loop's thread, or here when the loop is not running."""
        if self._looping is None or self._loop_ended.is_set() or self._looping is threading.current_thread():
            return function()
        done, result = threading.Event(), []

        def call():
            try:
                result.append(function())
            finally:
                done.set()
        self.trigger.pull_trigger(call)
        while not done.wait(0.05):
            if self._loop_ended.is_set() and not done.is_set():    # it ended before it got to the call
                return function()
        return result[0] if result else None

    def readable(self):
        # Called by the loop at every turn, as waitress's own readable is, to run the upkeep.
        now = time.time()
        if now >= self.next_channel_cleanup:
            self.next_channel_cleanup = now + LOOP_SECONDS
            self.maintenance(now)
        if not self.accepting or time.monotonic() < self._paused_until:
            return False
        if len(self.active_channels) < self.limits.connections:
            if self._at_cap:
                self._at_cap = False
                self.api.log("connections are below the cap of %d again; %d idle ones were shed to make room"
                             % (self.limits.connections, self._shed))
                self._shed = 0
            return True
        return self.oldest_idle() is not None

    def handle_accept(self):
        if len(self.active_channels) >= self.limits.connections:
            if not self._at_cap:
                self._at_cap = True
                self.api.log("at the cap of %d connections: the oldest idle ones are shed to make room"
                             % self.limits.connections)
            if not self.shed_oldest_idle():
                return
        try:
            accepted = self.accept()
        except OSError as error:
            if error.errno not in (errno.EMFILE, errno.ENFILE):
                self.api.log("a connection could not be accepted: %s" % error)
                return
            # Other files took what the cap left: make room, or wait a moment rather than spin.
            if not self._out_of_files:
                self.api.log("out of open files while accepting a connection: %s" % error)
                self._out_of_files = True
            if not self.shed_oldest_idle():
                self._paused_until = time.monotonic() + LOOP_SECONDS
            return
        self._out_of_files = False
        if accepted is not None:
            connection, address = accepted
            self.set_socket_options(connection)
            self.channel_class(self, connection, self.fix_addr(address), self.adj, map=self._map)

    def shed_oldest_idle(self):
        oldest = self.oldest_idle()
        if oldest is None:
            return False
        self._shed += 1
        oldest.handle_close()
        return True

    def oldest_idle(self):
        """The connection that has been idle longest (no request being answered, nothing left
        to send), or None."""
        idle = [channel for channel in self.active_channels.values()
                if not channel.requests and not channel.total_outbufs_len]
        return min(idle, key=lambda channel: channel.last_activity) if idle else None

    def maintenance(self, now):
        """Closes connections whose request head, or whole request, is late, those idle too
        long, and those that have lingered enough after a refusal."""
        monotonic = time.monotonic()
        late = {"head": [], "request": []}
        for channel in list(self.active_channels.values()):
            request = channel.request
            if channel.lingering is not None:
                if channel.lingered(monotonic):
                    channel.handle_close()
                continue
            if channel.requests:
                continue
            if request is not None and not request.completed:
                kind = "request" if request.headers_finished else "head"
                limit = self.limits.request_seconds if request.headers_finished else self.limits.head_seconds
                if monotonic - request.began > limit:
                    late[kind].append(channel)
            elif now - channel.last_activity > self.limits.idle_seconds:
                channel.handle_close()
        for kind, what, limit in (("head", "request head", self.limits.head_seconds),
                                  ("request", "request (head and body)", self.limits.request_seconds)):
            if late[kind]:
                self.api.log("closed %d connections whose %s did not come whole within %g s (the last from %s)"
                             % (len(late[kind]), what, limit, late[kind][-1].addr[0]))
            for channel in late[kind]:
                channel.handle_close()

    def note_refusal(self, address, request, status):
        """Logs and journals a request refused before it reached the application."""
        environ = {"REMOTE_ADDR": address[0], "REQUEST_METHOD": getattr(request, "command", ""),
                   "PATH_INFO": getattr(request, "path", ""), ARRIVED_AT: request.arrived_at}
        self.app.note(environ, {}, page_answer(status, ""), request_line=request.head_line)

    # Stopping.

    def stop(self):
        """Stops serving, from a thread other than the loop's: no new connections, held answers
        give up, idle connections close at once, and answers being sent get a moment to end."""
        self.stopping.set()
        count = self.in_loop(self._stop_accepting)
        self.api.log("stopping: %s open connections read no more; answers being sent get %g s"
                     % (count, GRACE_SECONDS))
        end = time.monotonic() + GRACE_SECONDS
        while time.monotonic() < end and self.in_loop(self._busy):
            time.sleep(0.05)
        cut = self.in_loop(self._close_all)
        if cut:
            self.api.log("stopping: %d answers were cut short" % cut)
        self._ended = True
        self.pull_trigger()

    def _stop_accepting(self):
        count = len(self.active_channels)
        if self.accepting:
            self.accepting = False
            wasyncore.dispatcher.close(self)
        self._busy()
        return count

    def _busy(self):
        """Closes the idle connections; whether any are left."""
        for channel in list(self.active_channels.values()):
            if not channel.requests and not channel.total_outbufs_len:
                channel.handle_close()
        return bool(self.active_channels)

    def _close_all(self):
        channels = list(self.active_channels.values())
        for channel in channels:
            channel.handle_close()    # wakes a thread that waits to write to it
        return len(channels)

    def server_close(self):
        """Closes what is left once the loop has ended, and lets the threads go."""
        self._ended = True
        if self._looping is not None:
            self.pull_trigger()
            self._loop_ended.wait(CALL_SECONDS)
        self._close_all()
        if self.accepting:
            self._stop_accepting()
        self.trigger.close()
        self.task_dispatcher.shutdown(timeout=CALL_SECONDS)
        self._undo_logs()
