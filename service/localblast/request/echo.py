"""Received values as a page or a log line echoes them: a request may carry megabytes of anything,
and none of it may reach a terminal, a log or a page as it came."""
import itertools

# Characters of an echoed value, escapes counted: enough to recognise a value, never a flood.
SHOWN = 200


def escaped(char):
    """`char` as it stands inside a single-quoted Python string literal."""
    return "\\'" if char == "'" else repr(char)[1:-1]


def inert(char):
    """`char` as it is if printable, else as Python writes it ('\\x1b', '\\u202e'), so that no
    control or direction character acts on a terminal or a page that shows it."""
    return char if char.isprintable() else escaped(char)


def escaped_head(text, limit, escape=escaped):
    """(the first characters of `text`, each as `escape` writes it, about `limit` characters
    with the escapes; how many characters of `text` they are), in time bounded by `limit`."""
    pieces, length = [], 0
    for char in itertools.islice(text, limit):
        piece = escape(char)
        if length + len(piece) > limit:
            break
        pieces.append(piece)
        length += len(piece)
    return "".join(pieces), len(pieces)


def shown(text, limit=SHOWN):
    """`text` quoted, with every character that is not printable escaped as Python escapes it
    ('\\x1b', '\\u202e'), and cut to about `limit` characters; a cut value names its full length."""
    head, count = escaped_head(text, limit)
    if count == len(text):
        return "'%s'" % head
    return "'%s'... (the first %d of %d characters)" % (head, count, len(text))
