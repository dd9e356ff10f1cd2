"""The serial console of a QEMU boot as text: escape codes dropped, lines
split on CR LF only, what a terminal shows of a line that overwrites
itself, and the part between the begin and end markers with the status the
end line reports. Only the Python standard library is used."""

import re
from dataclasses import dataclass

BEGIN_MARKER = "==BEGIN=="
END_MARKER = "==END=="

# Only the firmware and the shell emit escapes: CSI sequences (colours,
# ESC[2J, cursor positioning such as ESC[10;01H, private ones like ESC[=3h),
# OSC strings, and ESC with an optional intermediate and one final character.
_ESCAPE = re.compile(
    r"\x1b\[[0-?]*[ -/]*[@-~]"
    r"|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)?"
    r"|\x1b[ -/]*[0-~]"
    r"|\x1b")
_RC = re.compile(r"rc=(0[xX][0-9a-fA-F]+|\d+)")


def strip_escapes(text):
    """Drop every escape sequence; CR and LF are left exactly as they came."""
    return _ESCAPE.sub("", text)


def clean(raw):
    """Serial bytes to text without escapes. Latin-1 keeps one character per
    byte, so what the terminal driver made of non-ASCII output stays visible."""
    if isinstance(raw, str):
        return strip_escapes(raw)
    return strip_escapes(raw.decode("latin-1"))


def lines(text):
    """Split on CR LF only. A bare CR (the progress line overwriting itself)
    and a bare LF stay inside the line, so a program that sends either where
    it should end a line fails a line comparison instead of passing."""
    parts = text.split("\r\n")
    if parts and parts[-1] == "":
        parts.pop()
    return parts


def visible(line):
    """What a terminal shows for one line after bare CRs have sent the cursor
    back to column 0: later text overwrites earlier text, a longer earlier
    tail stays."""
    cells = []
    column = 0
    for char in line:
        if char == "\r":
            column = 0
            continue
        if column < len(cells):
            cells[column] = char
        else:
            cells.append(char)
        column += 1
    return "".join(cells)


class MarkerMissing(ValueError):
    pass


@dataclass
class Section:
    body: str          # everything between the markers, CRs and LFs intact
    rc: int            # the %lasterror% after the end marker (None if absent)
    end_line: str      # the end marker's line, e.g. "==END== rc=0x0"


def _at_line_start(text, index):
    return index == 0 or text[index - 1] in "\r\n"


def _find_marker(text, marker, start):
    # A marker counts only at the start of a line; the end marker may follow
    # a bare CR, because the shell adds no line break after a program whose
    # last output was "Page:XX\r".
    index = text.find(marker, start)
    while index != -1 and not _at_line_start(text, index):
        index = text.find(marker, index + 1)
    return index


def extract(text, begin=BEGIN_MARKER, end=END_MARKER):
    """The part of a clean console between the begin marker's line and the
    end marker, plus the status the end line reports."""
    start = _find_marker(text, begin, 0)
    if start == -1:
        raise MarkerMissing(f"no {begin!r} line in the console:\n{text}")
    body_start = text.find("\n", start)
    body_start = len(text) if body_start == -1 else body_start + 1
    stop = _find_marker(text, end, body_start)
    if stop == -1:
        raise MarkerMissing(f"no {end!r} after {begin!r} in the console:\n{text}")
    line_end = text.find("\r\n", stop)
    end_line = text[stop:] if line_end == -1 else text[stop:line_end]
    match = _RC.search(end_line)
    rc = int(match.group(1), 0) if match else None
    return Section(text[body_start:stop], rc, end_line)
