# A stand-in toolkit for process tests (Python 2.7). It follows plan.json beside the program
# and writes what the program did to it into calls.jsonl there.
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
    """Passes everything on to the real sys.stdout and logs each write and flush, in order."""
    softspace = 0

    def __init__(self, stream):
        self._stream = stream

    def write(self, text):
        log(event='stdout', write=text)
        self._stream.write(text)

    def flush(self):
        log(event='stdout', flush=True)
        self._stream.flush()


if plan.get('record_stdout'):
    sys.stdout = _RecordingStdout(sys.stdout)
