"""Text from outside as an error message quotes it."""


def quoted_start(head, total=None, size=200):
    """The start of what was received, for a message: its first size bytes with their white
    space collapsed, quoted as repr() quotes them (so that control characters are escaped), and
    "..." after them where more came; total is how many bytes came, if more than head holds."""
    if not head.strip():
        return "(only white space)" if head else "(empty)"
    text = " ".join(head[:size].split())
    more = (len(head) if total is None else total) > size
    return repr(text + ("..." if more else ""))
