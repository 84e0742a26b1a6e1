"""Text from the user's data made safe to show: short, and inert on a terminal.

Values in messages, tables and reports come straight from data files, so they
can be megabytes long or carry terminal escape sequences and bidirectional
overrides. Every message quotes a value through ``quote``; every line that
reaches a terminal goes through ``inert``.
"""
import re
from typing import Any

# How much of one value a message quotes.
QUOTE_LIMIT = 200

# C0 and C1 control characters and DEL (ESC sequences, BEL, carriage returns...),
# and the bidirectional embeddings, overrides and isolates that reorder the
# text shown after them. Marks (U+200E, U+200F) only affect neutral characters
# next to them and stay, as right-to-left text needs them.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069]")


def shorten(text: Any, limit: int = QUOTE_LIMIT) -> str:
    """``text`` cut to about ``limit`` characters, saying how long it was."""
    text = str(text)
    if len(text) <= limit:
        return text
    return "{0}\u2026 ({1} characters in all)".format(text[:limit], len(text))


def quote(value: Any, limit: int = QUOTE_LIMIT) -> str:
    """``repr(value)`` for a message, at most about ``limit`` characters of it.

    A value whose repr fails is named by its type rather than failing the message.
    """
    try:
        text = repr(value)
    except Exception:  # a hostile __repr__ must not replace the error being reported
        text = "<{0} object>".format(type(value).__name__)
    return shorten(text, limit)


def _escape(match: "re.Match[str]") -> str:
    code = ord(match.group())
    return "\\x{0:02x}".format(code) if code <= 0xff else "\\u{0:04x}".format(code)


def inert(text: Any, keep_newlines: bool = False) -> str:
    """``text`` with every control and bidirectional-override character written as an escape.

    ``\\x1b[2J`` comes out as the six characters ``\\x1b[2J``, so the text can be
    printed to a terminal without moving the cursor, ringing the bell or
    reversing the text after it. ``keep_newlines`` leaves line breaks alone
    for multi-line text whose lines were built by the caller.
    """
    text = str(text)
    if keep_newlines:
        return "\n".join(_UNSAFE.sub(_escape, line) for line in text.split("\n"))
    return _UNSAFE.sub(_escape, text)


# How much of an exception's text a one-line message keeps: room for a sentence
# quoting a few values, not for a whole data file that an exception repeated.
MESSAGE_LIMIT = 1000


def one_line(error: Any, limit: int = MESSAGE_LIMIT) -> str:
    """An exception (or any text) as one line of at most about ``limit`` characters."""
    try:
        text = " ".join(str(error).split())
    except Exception:  # a hostile __str__
        text = ""
    return shorten(text or type(error).__name__, limit)


def format_size(count: float) -> str:
    """A number of bytes as people read it: 512 bytes, 3.0 MiB, 2.0 GiB."""
    if count < 1024:
        return "{0} bytes".format(count)
    value = count / 1024
    for unit in ("KiB", "MiB", "GiB"):
        if value < 1024:
            return "{0:.1f} {1}".format(value, unit)
        value /= 1024
    return "{0:.1f} TiB".format(value)
