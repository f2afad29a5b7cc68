"""Received values as a page or a log line echoes them: a request may carry megabytes of anything,
and none of it may reach a terminal, a log or a page as it came."""
import itertools

# Characters of an echoed value, escapes counted: enough to recognise a value, never a flood.
SHOWN = 200


def escaped(char):
    """`char` as it stands inside a single-quoted Python string literal."""
    return "\\'" if char == "'" else repr(char)[1:-1]


def shown(text, limit=SHOWN):
    """`text` quoted, with every character that is not printable escaped as Python escapes it
    ('\\x1b', '\\u202e'), and cut to about `limit` characters; a cut value names its full length."""
    pieces, length = [], 0
    for char in itertools.islice(text, limit):
        piece = escaped(char)
        if length + len(piece) > limit:
            break
        pieces.append(piece)
        length += len(piece)
    if len(pieces) == len(text):
        return "'%s'" % "".join(pieces)
    return "'%s'... (the first %d of %d characters)" % ("".join(pieces), len(pieces), len(text))
