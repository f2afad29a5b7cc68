import sys
import urllib2

import Tarvo

Tarvo.log(event='import', module='Morvin')
_reads = []


class Entry(object):
    def __init__(self, fields):
        self.__dict__.update(fields)


def _record(fields):
    # JSON gives unicode; the reader under test is expected to give byte strings.
    record = Entry({})
    for name, value in fields.items():
        if name == 'omit' or name in fields.get('omit', []):
            continue
        if name in ('alignments', 'descriptions'):
            value = [Entry(dict((str(k), str(v)) for k, v in entry.items())) for entry in value]
        elif isinstance(value, unicode):
            value = str(value)
        setattr(record, str(name), value)
    return record


def read(handle):
    sys.stderr = sys.__stderr__  # as it was before a planned submission took it away
    _reads.append(handle)
    number = len(_reads)
    content = handle.read() if hasattr(handle, 'read') else repr(handle)
    Tarvo.log(event='read', content=content)
    step = Tarvo.plan['records'][number - 1]
    if step.get('raise') == 'HTTPError':
        raise urllib2.HTTPError('http://blast.example/Blast.cgi', 500, 'boom', {}, None)
    if 'return' in step:
        return step['return']
    return _record(step)
