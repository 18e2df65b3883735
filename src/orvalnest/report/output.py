"""Where an export goes: standard output, a device, or a regular file replaced only when complete."""

from __future__ import annotations

import io
import os
import secrets
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TextIO

_CHUNK = 1 << 16


class Chunked:
    """Collects small pieces and hands them to the stream in large writes."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._parts: list[str] = []
        self._size = 0

    def write(self, text: str) -> None:
        self._parts.append(text)
        self._size += len(text)
        if self._size >= _CHUNK:
            self.flush()

    def flush(self) -> None:
        self._stream.write("".join(self._parts))
        self._parts.clear()
        self._size = 0


@contextmanager
def output_stream(target: str) -> Iterator[TextIO]:
    """A UTF-8 text stream for `target` ("-" is standard output).

    A regular file is written under a temporary name beside it and renamed into
    place only when the export is complete, so an interrupted or failed export
    never leaves a truncated file where a good one was. Devices and pipes
    (/dev/stdout, a FIFO) are written directly.
    """
    if target == "-":
        sys.stdout.flush()
        stream = io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8", newline="\n")
        try:
            yield stream
            stream.flush()
        finally:
            stream.detach()
        return

    destination = os.path.realpath(target) if os.path.islink(target) else target
    try:
        special = not stat.S_ISREG(os.stat(destination).st_mode)
    except FileNotFoundError:
        special = False
    if special:
        with open(destination, "w", encoding="utf-8", newline="\n") as stream:
            yield stream
        return

    directory, name = os.path.split(destination)
    temporary = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.tmp")
    # O_EXCL: never write through a file or link someone else put there; 0o666
    # lets the umask decide the final permissions, as for any new file.
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        with open(fd, "w", encoding="utf-8", newline="\n") as stream:
            yield stream
        os.replace(temporary, destination)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
