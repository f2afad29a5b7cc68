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


def _recording_getaddrinfo(*args):
    log(event='getaddrinfo', args=list(args))
    return _real_getaddrinfo(*args)


socket.getaddrinfo = _recording_getaddrinfo

if not plan.get('no_error_type'):
    class MissingExternalDependencyError(Exception):
        pass

if plan.get('lose_stdout'):
    del sys.stdout

if plan.get('keep_open'):
    # A file held open for the whole run, as a toolkit holds a result stream's socket.
    held = open(os.path.join(_here, plan['keep_open']), 'w')
