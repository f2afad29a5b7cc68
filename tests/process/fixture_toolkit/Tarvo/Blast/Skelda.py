import StringIO
import __builtin__
import sys
import urllib2

import Tarvo

Tarvo.log(event='import', module='Skelda')
_calls = []


class FixtureHTTPError(urllib2.HTTPError):
    pass


class SearchTimeout(IOError):
    """As the real client's: a stall or an overrun deadline, an IOError but no HTTP failure."""


class _BrokenStream(object):
    def write(self, text):
        raise IOError('the stand-in stderr refuses writes')


def _error(step):
    """The error a planned step raises: its type by name, with the step's text, if any."""
    name = step['raise']
    text = step.get('text', u'fixture %s' % name)
    if not step.get('unicode'):
        text = text.encode('latin-1')  # JSON carries the bytes 0x80 to 0xff as \u0080 to \u00ff
    if name == 'HTTPError':
        return urllib2.HTTPError('http://blast.example/Blast.cgi', 500, 'boom', {}, None)
    if name == 'FixtureHTTPError':
        return FixtureHTTPError('http://blast.example/Blast.cgi', 503, 'busy', {}, None)
    if name == 'URLError':
        return urllib2.URLError(text)
    if name == 'SearchTimeout':
        return SearchTimeout(text)
    return getattr(__builtin__, name)(text)


def _probe_check():
    # How the program's internet check behaves once it has answered.
    import requires_internet
    Tarvo.log(event='probe', available=repr(getattr(requires_internet.check, 'available', '<absent>')),
              again=repr(requires_internet.check()))
    for args, kwargs in (((1,), {}), ((), {'x': 1}), ((1,), {'x': 1})):
        try:
            requires_internet.check(*args, **kwargs)
        except TypeError as error:
            Tarvo.log(event='probe', refused=str(error))


def qblast(program, database, query, **keywords):
    _calls.append(program)
    number = len(_calls)
    Tarvo.log(event='qblast', args=[program, database, query],
              keywords=dict((k, [type(v).__name__, v]) for k, v in keywords.items()))
    if Tarvo.plan.get('probe_check') and number == 1:
        _probe_check()
    step = (Tarvo.plan.get('qblast') or {}).get(str(number), {})
    # The reader puts sys.stderr back.
    if step.get('stderr') == 'none':
        del sys.stderr
    elif step.get('stderr') == 'broken':
        sys.stderr = _BrokenStream()
    if 'raise' in step:
        raise _error(step)
    if step.get('return') == 'none':
        return None
    return StringIO.StringIO('stream %d' % number)
