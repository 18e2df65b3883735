"""Where an export goes: standard output, a descriptor the process already
has, a pipe or character device written in place, or a regular file replaced
only when complete. An export is never written through a symbolic link."""

from __future__ import annotations

import errno
import io
import os
import re
import secrets
import stat
import sys
from collections.abc import Callable
from typing import TextIO

_CHUNK = 1 << 16

# Names that mean a descriptor of this process (process substitution gives
# /dev/fd/63): they are links on Linux, so they are read as numbers, never followed.
_OWN_DESCRIPTOR = re.compile(r"/(?:dev|proc/self)/fd/(\d+)")
_STANDARD = {"/dev/stdout": 1, "/dev/stderr": 2}
# Folders are held only to work inside them: O_PATH needs no read permission,
# so a folder one may only pass through (mode 711) is held as well.
_FOLDER = getattr(os, "O_PATH", os.O_RDONLY) | os.O_DIRECTORY | os.O_CLOEXEC


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


def _refused(target: str, reason: str, code: int = errno.EPERM) -> OSError:
    return OSError(code, reason, target)


def _open_folder(path: str) -> int:
    """The folder as a descriptor, component by component. A link met on the
    way is followed unless someone else planted it in a sticky, world-writable
    folder such as /tmp (the rule of Linux's fs.protected_symlinks, applied
    whether or not that is switched on)."""
    folder = os.open("/" if path.startswith("/") else ".", _FOLDER)
    try:
        for part in (part for part in path.split("/") if part):
            try:
                inner = os.open(part, _FOLDER | os.O_NOFOLLOW, dir_fd=folder)
            except OSError as error:
                if error.errno not in (errno.ELOOP, errno.ENOTDIR):
                    raise
                link, around = os.stat(part, dir_fd=folder, follow_symlinks=False), os.fstat(folder)
                shared = (around.st_mode & (stat.S_ISVTX | stat.S_IWOTH)) == stat.S_ISVTX | stat.S_IWOTH
                if stat.S_ISLNK(link.st_mode) and shared and link.st_uid not in (os.geteuid(), around.st_uid):
                    raise _refused(path, f"{part} is a link another user left in a shared folder") from None
                inner = os.open(part, _FOLDER, dir_fd=folder)
            os.close(folder)
            folder = inner
    except BaseException:
        os.close(folder)
        raise
    return folder


def _can_keep_owner(info: os.stat_result) -> bool:
    if os.geteuid() == 0:
        return True
    return info.st_uid == os.geteuid() and (info.st_gid == os.getegid() or info.st_gid in os.getgroups())


class Output:
    """Where one export goes, made sure of before the scan starts: a
    destination that cannot be written must cost the user a message, not
    minutes of scanning.

    "-" is standard output; /dev/stdout, /dev/stderr and /dev/fd/N are the
    process's own descriptors. Any other name is looked at in its folder,
    without following it:

    - a symbolic link is refused: following it would let whoever made it pick
      the file to overwrite, and replacing it would undo a link made on purpose;
    - a regular file, or a name not yet taken, gets a new file: the export goes
      into an unnamed file in that folder (a hidden temporary one where the
      kernel has no O_TMPFILE), which is renamed over the name once complete,
      so an interrupted export leaves the old file or none. A replaced file
      keeps its permission bits, owner and group; a file whose owner or group
      cannot be kept (another user's, when not running as root) is refused
      rather than taken over;
    - a pipe or character device is opened once, after the scan (opening a
      pipe waits for its reader), without following links, and written in
      place if it is still a pipe or device;
    - folders and block devices are refused.
    """

    def __init__(self, target: str) -> None:
        self.target = target
        self.replaces = False  # an existing file will be replaced
        self._name = ""
        self._folder: int | None = None
        self._fd: int | None = None  # the new file, or a descriptor of this process
        self._temporary: str | None = None  # the new file's name while it has one
        self._device = False  # a pipe or device, opened when writing

    @classmethod
    def reserve(cls, target: str) -> Output:
        """Raises OSError (with the reason in `strerror`) when `target` cannot be written."""
        output = cls(target)
        if target == "-":
            return output
        try:
            output._reserve()
        except BaseException:
            output.discard()
            raise
        return output

    def _reserve(self) -> None:
        target = self.target
        number = _STANDARD.get(target)
        match = _OWN_DESCRIPTOR.fullmatch(target)
        if number is not None or match is not None:
            self._fd = os.dup(number if number is not None else int(match[1]))  # type: ignore[index]
            self._check_kind(os.fstat(self._fd))
            return
        folder, self._name = os.path.split(target)
        if not self._name:
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
        self._folder = _open_folder(folder)
        info = self._look()
        if info is not None and not stat.S_ISREG(info.st_mode):
            if not os.access(self._name, os.W_OK, dir_fd=self._folder):
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), target)
            self._device = True
            return
        self.replaces = info is not None
        self._fd = self._new_file()

    def _look(self) -> os.stat_result | None:
        """What the name is now, refused when it cannot take an export."""
        try:
            info = os.stat(self._name, dir_fd=self._folder, follow_symlinks=False)
        except FileNotFoundError:
            return None
        if stat.S_ISLNK(info.st_mode):
            reason = "it is a symbolic link; exports never go through one, give the path it points to"
            raise _refused(self.target, reason, errno.ELOOP)
        self._check_kind(info)
        if stat.S_ISREG(info.st_mode) and not _can_keep_owner(info):
            raise _refused(self.target, f"it belongs to user {info.st_uid}; replacing it would take it over")
        return info

    def _check_kind(self, info: os.stat_result) -> None:
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.target)
        if stat.S_ISBLK(info.st_mode):
            raise _refused(self.target, "it is a block device; an export would overwrite the disk")

    def _new_file(self) -> int:
        flags = os.O_WRONLY | os.O_CLOEXEC
        tmpfile = getattr(os, "O_TMPFILE", 0)
        if tmpfile and os.path.isdir("/proc/self/fd"):
            try:
                # 0o666 lets the umask decide, as for any new file.
                return os.open(".", flags | tmpfile, 0o666, dir_fd=self._folder)
            except OSError as error:
                if error.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                    raise
        self._temporary = _temporary_name()
        # O_EXCL: never write into a file or through a link someone else put there.
        return os.open(self._temporary, flags | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o666, dir_fd=self._folder)

    def write(self, writer: Callable[[TextIO], None]) -> None:
        self.write_binary(lambda fd: _write_to(fd, writer), text=writer)

    def write_binary(self, writer: Callable[[int], None], text: Callable[[TextIO], None] | None = None) -> None:
        """Hands `writer` the descriptor to write to (a saved scan is written
        natively, straight to it); `text` is the text writer behind it, for
        standard output's own stream."""
        try:
            if self.target == "-":
                if text is not None:
                    _write_stdout(text)
                else:
                    sys.stdout.flush()
                    writer(sys.stdout.fileno())
            elif self._device:
                self._write_device(writer)
            else:
                assert self._fd is not None
                if self._folder is None:  # a descriptor of this process
                    sys.stdout.flush()
                    writer(self._fd)
                else:
                    self._write_file(writer)
        finally:
            self.discard()

    def _write_device(self, writer: Callable[[int], None]) -> None:
        flags = os.O_WRONLY | os.O_NOFOLLOW | os.O_NOCTTY | os.O_CLOEXEC
        self._fd = os.open(self._name, flags, dir_fd=self._folder)
        # Swapped for a file while the scan ran, it would be written over in place.
        if stat.S_ISREG(os.fstat(self._fd).st_mode):
            raise _refused(self.target, "it was replaced by a file while the scan ran")
        self._check_kind(os.fstat(self._fd))
        writer(self._fd)

    def _write_file(self, writer: Callable[[int], None]) -> None:
        assert self._fd is not None
        writer(self._fd)
        # Looked at again: the name may have changed while the scan ran.
        old = self._look()
        if old is not None:
            if not stat.S_ISREG(old.st_mode):
                raise _refused(self.target, "it was replaced by something other than a file while the scan ran")
            os.fchmod(self._fd, stat.S_IMODE(old.st_mode) & 0o777)
            new = os.fstat(self._fd)
            if (new.st_uid, new.st_gid) != (old.st_uid, old.st_gid):
                os.fchown(self._fd, old.st_uid, old.st_gid)
        os.fsync(self._fd)
        if self._temporary is None:
            temporary = _temporary_name()
            os.link(f"/proc/self/fd/{self._fd}", temporary, dst_dir_fd=self._folder)
            self._temporary = temporary
        os.replace(self._temporary, self._name, src_dir_fd=self._folder, dst_dir_fd=self._folder)
        self._temporary = None

    def discard(self) -> None:
        """Lets go of the destination; a new file not yet renamed into place is removed."""
        if self._temporary is not None:
            try:
                os.unlink(self._temporary, dir_fd=self._folder)
            except OSError:
                pass
            self._temporary = None
        for fd in (self._fd, self._folder):
            if fd is not None:
                os.close(fd)
        self._fd = self._folder = None


def _temporary_name() -> str:
    # Short whatever the name: a 255-byte name must not make it too long.
    return f".orvalnest-{secrets.token_hex(6)}.tmp"


def _write_stdout(writer: Callable[[TextIO], None]) -> None:
    sys.stdout.flush()
    stream = io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8", newline="\n")
    try:
        writer(stream)
        stream.flush()
    finally:
        stream.detach()


def _write_to(fd: int, writer: Callable[[TextIO], None]) -> None:
    with open(fd, "w", encoding="utf-8", newline="\n", closefd=False) as stream:
        writer(stream)
