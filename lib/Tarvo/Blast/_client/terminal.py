"""Text from a server as it may be shown on a terminal."""


def shown(text, most=200):
    """text with its control characters escaped (and bytes that are not UTF-8), cut after
    most characters."""
    if isinstance(text, str):
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError:
            return _cut(text.encode("string_escape"), most)
    escaped = u"".join(
        char if u" " <= char and not u"\x7f" <= char <= u"\x9f" else
        char.encode("unicode_escape").decode("ascii") for char in text)
    return _cut(escaped, most).encode("utf-8")


def is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _cut(text, most):
    return text if len(text) <= most else text[:most] + "..."
