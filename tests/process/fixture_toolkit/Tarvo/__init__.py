"""A stand-in toolkit for process tests (Python 2.7). It follows plan.json beside the program
and writes what the program did to it into calls.jsonl there, one JSON event a line.

The plan's keys (all but `records` may be left out):

records        one entry for each read, in order: the record's fields (`alignments` and
               `descriptions` as lists of field dictionaries), or instead
                 raise: "HTTPError"   the read raises urllib2.HTTPError
                 return: VALUE        the read returns VALUE as it is, not a record
                 omit: [NAMES]        the record lacks these fields
qblast         the searches by call number ("1", "2", "3"), each with
                 raise: NAME          the search raises the error of that name: a built-in
                                      one, HTTPError, FixtureHTTPError (a subtype), URLError
                                      or SearchTimeout
                 text: TEXT           the raised error's text (latin-1 bytes unless unicode)
                 unicode: true        the text stays unicode
                 stderr: "none"       sys.stderr is removed first, "broken" a stream that
                                      refuses writes (the next read puts it back)
                 return: "none"       the search returns None instead of a stream
keep_open      a file of that name beside the program is held open from the first name lookup
               on, as a result stream holds its socket
no_error_type  Tarvo has no MissingExternalDependencyError
lose_stdout    sys.stdout is removed when Tarvo is imported
record_stdout  sys.stdout is replaced by a stream that logs each write and flush and passes them
               on: true; "without flush", one that has no flush; "failing flush", one whose
               flush raises IOError
probe_check    the first search logs how the program's internet check answers once it has run
"""
import json
import os
import socket
import sys

_here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
with open(os.path.join(_here, 'plan.json')) as _f:
    plan = json.load(_f)


def log(**event):
    with open(os.path.join(_here, 'calls.jsonl'), 'a') as f:
        f.write(json.dumps(event) + '\n')


_real_getaddrinfo = socket.getaddrinfo
_held = []


def _recording_getaddrinfo(*args):
    log(event='getaddrinfo', args=list(args))
    if plan.get('keep_open') and not _held:
        # A file held open for the rest of the run, as a result stream holds its socket: it
        # takes the lowest free descriptor. Opened ahead of the resolver's files, and outside
        # any import (an import holds the module's own file open meanwhile).
        _held.append(open(os.path.join(_here, plan['keep_open']), 'w'))
    return _real_getaddrinfo(*args)


socket.getaddrinfo = _recording_getaddrinfo

if not plan.get('no_error_type'):
    class MissingExternalDependencyError(Exception):
        pass

if plan.get('lose_stdout'):
    del sys.stdout


class _RecordingStdout(object):
    """Passes every write on to the real sys.stdout and logs it, in order."""
    softspace = 0

    def __init__(self, stream):
        self._stream = stream

    def write(self, text):
        log(event='stdout', write=text)
        self._stream.write(text)


class _FlushingStdout(_RecordingStdout):
    def flush(self):
        log(event='stdout', flush=True)
        self._stream.flush()


class _FailingFlushStdout(_RecordingStdout):
    def flush(self):
        log(event='stdout', flush=True)
        raise IOError('the stand-in stdout refuses to flush')


_stdout_kinds = {True: _FlushingStdout, 'without flush': _RecordingStdout,
                 'failing flush': _FailingFlushStdout}
if plan.get('record_stdout'):
    sys.stdout = _stdout_kinds[plan['record_stdout']](sys.stdout)
