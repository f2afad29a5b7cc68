"""The store's record in SQLite, so that a restarted service finds its searches again: a search
is recorded before its RID is handed out, its outcome once it has one, a kept report once its
file is whole. Times are wall-clock seconds, as a restart has a clock of its own. The service
writes through it under the store's lock; it is read only at start. Without a state folder,
NoLedger records nothing."""
import contextlib
import json
import sqlite3

from ..request.submission import Search
from .folders import StoreError

VERSION = 1
SCHEMA = """
CREATE TABLE searches (
    rid TEXT PRIMARY KEY,
    program TEXT NOT NULL,
    search TEXT NOT NULL,
    submitted REAL NOT NULL,
    ready_after REAL NOT NULL,
    failure TEXT,
    attempts INTEGER NOT NULL,
    finished REAL,
    error TEXT,
    has_hits INTEGER NOT NULL,
    files TEXT NOT NULL,
    derived TEXT NOT NULL,
    fetched INTEGER NOT NULL,
    used REAL NOT NULL);
CREATE TABLE reports (
    rid TEXT NOT NULL REFERENCES searches (rid) ON DELETE CASCADE,
    shape TEXT NOT NULL,
    file TEXT NOT NULL,
    size INTEGER NOT NULL,
    used REAL NOT NULL,
    PRIMARY KEY (rid, shape));
CREATE TABLE counters (name TEXT PRIMARY KEY, value INTEGER NOT NULL);
INSERT INTO counters VALUES ('serial', 0);
"""
# JSON has no tuples: a tuple is written as {TUPLE: [...]}, so that it comes back a tuple.
TUPLE = "__tuple__"


def plain(value):
    if isinstance(value, tuple):
        return {TUPLE: [plain(item) for item in value]}
    if isinstance(value, list):
        return [plain(item) for item in value]
    if isinstance(value, dict):
        if not all(isinstance(key, str) for key in value):
            raise TypeError("a search's record holds a mapping with keys other than text: %r" % list(value)[:5])
        return {key: plain(item) for key, item in value.items()}
    return value


def rebuilt(value):
    if isinstance(value, list):
        return [rebuilt(item) for item in value]
    if isinstance(value, dict):
        if list(value) == [TUPLE]:
            return tuple(rebuilt(item) for item in value[TUPLE])
        return {key: rebuilt(item) for key, item in value.items()}
    return value


def encode_search(search):
    """The JSON text of a Search (a flat record of JSON-able values)."""
    return json.dumps(plain(search._asdict()), ensure_ascii=False, separators=(",", ":"))


def decode_search(text):
    """The Search that encode_search wrote; TypeError or ValueError when this service's Search
    cannot take it (one recorded by another version)."""
    return Search(**rebuilt(json.loads(text)))


class Ledger:
    def __init__(self, path, log=print):
        self.path = path
        self._log = log
        try:
            self._db = sqlite3.connect(path, check_same_thread=False)
        except sqlite3.Error as error:
            raise StoreError("cannot open the store's state %s: %s" % (path, error))
        try:
            self._db.execute("PRAGMA foreign_keys = ON")
            # Committed changes survive the service's crash without waiting for the disk.
            self._db.execute("PRAGMA journal_mode = WAL")
            self._db.execute("PRAGMA synchronous = NORMAL")
            version = self._db.execute("PRAGMA user_version").fetchone()[0]
            if version == 0:
                self._db.executescript("BEGIN;" + SCHEMA + "PRAGMA user_version = %d; COMMIT;" % VERSION)
            elif version != VERSION:
                raise StoreError("%s holds the state of another version of the service (its version %d; this "
                                 "one reads version %d)" % (path, version, VERSION))
            self.serial = self._db.execute("SELECT value FROM counters WHERE name = 'serial'").fetchone()[0]
        except sqlite3.Error as error:
            self._db.close()
            raise StoreError("cannot read the store's state %s: %s" % (path, error))
        except StoreError:
            self._db.close()
            raise

    encode = staticmethod(encode_search)

    def searches(self):
        """The searches recorded, as dicts, in the order they were submitted; StoreError when
        they cannot be read."""
        with self._reading():
            cursor = self._db.execute("SELECT * FROM searches ORDER BY rowid")
            names = [column[0] for column in cursor.description]
            return [dict(zip(names, row)) for row in cursor]

    def reports(self):
        """(rid, shape, file, size, used) of the reports recorded, least recently used first;
        StoreError when they cannot be read."""
        with self._reading():
            return self._db.execute("SELECT rid, shape, file, size, used FROM reports ORDER BY used").fetchall()

    @contextlib.contextmanager
    def _reading(self):
        # A damaged file often reads well enough to open: the damage shows where it is read.
        try:
            yield
        except sqlite3.Error as error:
            raise StoreError("cannot read the store's state %s: %s" % (self.path, error))

    def next_serial(self):
        self.serial += 1
        return self.serial

    def add(self, job, record, submitted, ready_after):
        """Records a new search; sqlite3.Error when it cannot."""
        with self._db:
            self._db.execute("INSERT INTO searches VALUES (?, ?, ?, ?, ?, ?, 0, NULL, NULL, 0, '{}', '{}', 0, ?)",
                             (job.rid, job.program, record, submitted, ready_after, job.failure, submitted))
            self._db.execute("UPDATE counters SET value = max(value, ?) WHERE name = 'serial'", (self.serial,))

    def _write(self, what, statement, values):
        # What a restart would find less up to date is no reason to fail the request or the
        # search that changed it: said in the log.
        try:
            with self._db:
                self._db.execute(statement, values)
        except sqlite3.Error as error:
            self._log("could not record %s in %s: %s" % (what, self.path, error))

    def started(self, job):
        self._write("that %s started" % job.rid, "UPDATE searches SET attempts = ? WHERE rid = ?",
                    (job.attempts, job.rid))

    def finished(self, job, finished, used):
        self._write("the outcome of %s" % job.rid,
                    "UPDATE searches SET finished = ?, error = ?, has_hits = ?, files = ?, used = ? WHERE rid = ?",
                    (finished, job.error, int(job.has_hits), json.dumps(job.files), used, job.rid))

    def derived(self, job):
        self._write("the files of %s" % job.rid, "UPDATE searches SET derived = ? WHERE rid = ?",
                    (json.dumps(job.derived), job.rid))

    def used(self, job, used):
        self._write("a use of %s" % job.rid, "UPDATE searches SET fetched = ?, used = ? WHERE rid = ?",
                    (int(job.fetched), used, job.rid))

    def forget(self, rid):
        self._write("that %s was dropped" % rid, "DELETE FROM searches WHERE rid = ?", (rid,))

    def add_report(self, rid, key, file, size, used):
        self._write("a report of %s" % rid, "INSERT OR REPLACE INTO reports VALUES (?, ?, ?, ?, ?)",
                    (rid, key, file, size, used))

    def report_used(self, rid, key, used):
        self._write("a use of a report of %s" % rid, "UPDATE reports SET used = ? WHERE rid = ? AND shape = ?",
                    (used, rid, key))

    def forget_report(self, rid, key):
        self._write("that a report of %s was dropped" % rid, "DELETE FROM reports WHERE rid = ? AND shape = ?",
                    (rid, key))

    def close(self):
        self._db.close()


class NoLedger:
    """Records nothing: the store of a service without a state folder ends with it."""
    serial = 0

    @staticmethod
    def encode(search):
        return None

    def searches(self):
        return []

    def reports(self):
        return []

    def next_serial(self):
        self.serial += 1
        return self.serial

    def _nothing(self, *arguments):
        pass

    add = started = finished = derived = used = forget = add_report = report_used = forget_report = close = _nothing
