"""The live line on a terminal's standard error while a scan runs."""

from __future__ import annotations

import os
import time
from typing import TextIO

from orvalnest._engine import ScanProgress
from orvalnest.view import format_size, printable, shorten_middle

MIN_INTERVAL = 0.1  # a faster refresh only flickers


class ProgressLine:
    """Entries so far, size so far, elapsed time and the folder being read,
    rewritten in place at most ten times a second and erased by `clear`.
    Draws nothing unless the stream is a terminal: a log file or a pipe must
    not fill with carriage returns."""

    def __init__(self, stream: TextIO, apparent: bool, path: str, si: bool = False, doing: str = "scanning") -> None:
        self._stream = stream
        self._apparent = apparent
        self._si = si
        self._started = time.monotonic()
        self._last = 0.0
        self._drawn = False
        self._live = is_terminal(stream)
        self._width = _columns(stream) if self._live else 0
        self._draw(f"{doing} {printable(path)}")

    def __call__(self, progress: ScanProgress) -> None:
        now = time.monotonic()
        if not self._live or progress.done or now - self._last < MIN_INTERVAL:
            return
        self._last = now
        size = progress.size if self._apparent else progress.disk_usage
        head = f"scanning {progress.entries} entries, {format_size(size, self._si)}, {now - self._started:.0f} s  "
        self._draw(head + shorten_middle(printable(progress.directory), self._width - 1 - len(head)))

    def clear(self) -> None:
        if self._drawn:
            self._write("\r\x1b[K")
            self._drawn = False

    def _draw(self, line: str) -> None:
        if not self._live:
            return
        # One column spare: a line that fills the last column wraps on some terminals.
        self._write("\r" + shorten_middle(line, self._width - 1) + "\x1b[K")
        self._drawn = True

    def _write(self, text: str) -> None:
        # The callback runs inside the scan: an exception here would end it, and a
        # terminal that went away is no reason to lose the report.
        try:
            self._stream.write(text)
            self._stream.flush()
        except (OSError, ValueError):
            self._live = False


def is_terminal(stream: TextIO) -> bool:
    """Whether a person is looking at `stream`; a closed or replaced stream is not a terminal."""
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _columns(stream: TextIO) -> int:
    try:
        columns = os.get_terminal_size(stream.fileno()).columns
    except OSError:
        columns = 0
    return columns if columns > 0 else 80  # a pseudo-terminal may not know its size
