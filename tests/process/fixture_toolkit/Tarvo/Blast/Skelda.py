import StringIO
import __builtin__
import urllib2

import Tarvo

Tarvo.log(event='import', module='Skelda')
_calls = []


class FixtureHTTPError(urllib2.HTTPError):
    pass


def _error(name):
    if name == 'HTTPError':
        return urllib2.HTTPError('http://blast.example/Blast.cgi', 500, 'boom', {}, None)
    if name == 'FixtureHTTPError':
        return FixtureHTTPError('http://blast.example/Blast.cgi', 503, 'busy', {}, None)
    return getattr(__builtin__, name)('fixture %s' % name)


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
    if 'raise' in step:
        raise _error(step['raise'])
    if step.get('return') == 'none':
        return None
    return StringIO.StringIO('stream %d' % number)
