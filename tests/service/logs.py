"""Log lines that a test can wait for: the service's (in the process or read from its standard
error) arrive from other threads."""
import threading


class Logs(list):
    def __init__(self):
        super().__init__()
        self._added = threading.Condition()

    def __call__(self, message):
        with self._added:
            self.append(message)
            self._added.notify_all()

    def wait_for(self, text, timeout=60):
        """The first line holding `text`, once there is one; AssertionError after `timeout` s."""
        def found():
            return next((line for line in self if text in line), None)
        with self._added:
            line = self._added.wait_for(found, timeout)
        assert line, "no log line holds %r within %s s; the log: %s" % (text, timeout, list(self))
        return line
