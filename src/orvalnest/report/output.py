"""Where an export goes: standard output, a device, or a regular file replaced only when complete."""

from __future__ import annotations

import errno
import io
import os
import secrets
import stat
import sys
from collections.abc import Callable
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


class Output:
    """Where one export goes, made sure of before the scan starts: a
    destination that cannot be written must cost the user a message, not
    minutes of scanning.

    "-" is standard output. A regular file is written under a temporary name
    beside it, created when the output is reserved, and renamed into place only
    when the export is complete, so an interrupted or failed export never leaves
    a truncated file where a good one was. Devices and pipes (/dev/stdout, a
    FIFO) are written directly and only checked for write permission first,
    because opening a FIFO waits for its reader.
    """

    def __init__(self, target: str) -> None:
        self.target = target
        self._destination = ""
        self._temporary: str | None = None
        self._fd: int | None = None

    @classmethod
    def reserve(cls, target: str) -> Output:
        """Raises OSError (with the reason in `strerror`) when `target` cannot be written."""
        output = cls(target)
        if target == "-":
            return output
        destination = os.path.realpath(target) if os.path.islink(target) else target
        output._destination = destination
        try:
            mode: int | None = os.stat(destination).st_mode
        except FileNotFoundError:
            mode = None
        if mode is not None and stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
        if mode is not None and not stat.S_ISREG(mode):
            if not os.access(destination, os.W_OK):
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), target)
            return output
        directory, name = os.path.split(destination)
        temporary = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.tmp")
        # O_EXCL: never write through a file or link someone else put there;
        # 0o666 lets the umask decide the final permissions, as for any new file.
        output._fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        output._temporary = temporary
        return output

    def write(self, writer: Callable[[TextIO], None]) -> None:
        if self.target == "-":
            sys.stdout.flush()
            stream = io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8", newline="\n")
            try:
                writer(stream)
                stream.flush()
            finally:
                stream.detach()
            return
        if self._fd is None:
            with open(self._destination, "w", encoding="utf-8", newline="\n") as stream:
                writer(stream)
            return
        assert self._temporary is not None
        fd, self._fd = self._fd, None
        try:
            with open(fd, "w", encoding="utf-8", newline="\n") as stream:
                writer(stream)
            os.replace(self._temporary, self._destination)
            self._temporary = None
        except BaseException:
            self.discard()
            raise

    def discard(self) -> None:
        """Removes the reserved temporary file, if any (the export is not written)."""
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
        if self._temporary is not None:
            try:
                os.unlink(self._temporary)
            except OSError:
                pass
            self._temporary = None
