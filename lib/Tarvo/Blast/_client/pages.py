"""What the service's HTML pages say: their QBlastInfo fields, their error texts, their message.

A page is hostile too, and up to a few MiB: every search here is a plain scan or a pattern
that cannot go back over what it has passed, so that no page takes time of its size squared."""

import bisect
import htmlentitydefs
import re

_BEGIN, _END = "QBlastInfoBegin", "QBlastInfoEnd"
_KEY = re.compile(r"\w+\Z")
# \b keeps \w+ from giving back a letter at a time when no ">" follows a long name.
_START_TAG = re.compile(r"<(\w+)\b([^<>]*)>")
_END_TAG = re.compile(r"</(\w+)\s*>")
_ERROR_CLASS = re.compile(r"""\bclass\s*=\s*["'][^"']*error[^"']*["']""", re.I)
_TAG = re.compile(r"<[^<>]*>")
_REFERENCE = re.compile(r"&(#[0-9]+|#[xX][0-9a-fA-F]+|\w{1,32});")
_NAMED = dict(htmlentitydefs.name2codepoint, apos=0x27)
# Elements whose text no reader of the page sees.
_HIDDEN = re.compile(r"<(script|style)\b", re.I)
_TITLE = re.compile(r"<title\b[^<>]*>", re.I)
# The most of a page's message that an error shows.
MESSAGE_MOST = 1000
# How NCBI's pages begin a line that tells what went wrong.
_ERROR_WORD = "Error:"


def info(page):
    """The key = value pairs of the page's QBlastInfo blocks; the first of a key wins."""
    fields = {}
    at = 0
    while True:
        begin = page.find(_BEGIN, at)
        end = page.find(_END, begin) if begin >= 0 else -1
        if end < 0:
            return fields
        for line in page[begin + len(_BEGIN):end].splitlines():
            key, equals, value = line.partition("=")
            key = key.strip()
            if equals and _KEY.match(key):
                fields.setdefault(key, value.strip())
        at = end + len(_END)


def message(page):
    """What the page says of itself: the texts of its elements of class error, else its first
    line that reads "Error:", else its title; None where it has none of these."""
    texts = error_texts(page)
    if texts:
        return "; ".join(texts)
    text = _TAG.sub(" ", _shown_part(page))
    at = text.find(_ERROR_WORD)
    if at >= 0:
        end = text.find("\n", at)
        line = _plain_start(text[text.rfind("\n", 0, at) + 1:end if end >= 0 else len(text)])
        if line:
            return line
    title = _TITLE.search(page)
    if title:
        end = page.lower().find("</title", title.end())
        return _plain_start(page[title.end():end]) if end >= 0 else None
    return None


def _plain_start(markup):
    # A message shows at most MESSAGE_MOST characters: the rest of a long line need not be
    # made plain, at a cost in memory of several times its size.
    return plain(markup[:MESSAGE_MOST * 4])


def _shown_part(page):
    """page without its scripts and styles (one that does not end takes the rest)."""
    lowered = page.lower()
    parts, at = [], 0
    while True:
        hidden = _HIDDEN.search(page, at)
        if hidden is None:
            parts.append(page[at:])
            return "".join(parts)
        parts.append(page[at:hidden.start()])
        end = lowered.find("</" + hidden.group(1).lower(), hidden.end())
        if end < 0:
            return "".join(parts)
        at = end


def error_texts(page):
    """The plain texts of the page's elements of class error, in order, empty ones left out;
    an element ends at the first end tag of its name."""
    lowered = page.lower()
    ends = {}
    for tag in _END_TAG.finditer(lowered):
        ends.setdefault(tag.group(1), []).append(tag.start())
    texts = []
    resume = 0
    for tag in _START_TAG.finditer(page):
        if tag.start() < resume or not _ERROR_CLASS.search(tag.group(2)):
            continue
        closes = ends.get(tag.group(1).lower(), ())
        index = bisect.bisect_left(closes, tag.end())
        if index == len(closes):
            continue
        text = plain(page[tag.end():closes[index]])
        if text:
            texts.append(text)
        resume = closes[index]
    return texts


def plain(markup):
    """markup's text: tags dropped, references resolved, white space made single spaces."""
    text = _TAG.sub(" ", markup).decode("utf-8", "replace")
    return " ".join(_REFERENCE.sub(_character, text).split()).encode("utf-8")


def _character(reference):
    """The character a reference stands for; a reference to none stays as written."""
    name = reference.group(1)
    if name[0] != "#":
        code = _NAMED.get(name)
    elif len(name) > 9:
        # No character has a number this long, and int() of one takes time of its square.
        code = None
    else:
        code = int(name[2:], 16) if name[1] in "xX" else int(name[1:])
    if code is None:
        return reference.group(0)
    try:
        return unichr(code)
    except ValueError:
        # Past the last character (or the last this interpreter can hold).
        return reference.group(0)

