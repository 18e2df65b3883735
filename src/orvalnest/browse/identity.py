"""Which file a mark or a preview meant: its device and inode, whether it is
a folder, and its size. A name can be given to another file at any moment;
what the browser showed is what it may move, and nothing else.

The inode is what the cleaner holds a request to (it refuses an entry that
is no longer that one); the type and size are checked here as well, since an
inode number is reused as soon as it is free, and a file that grew is not the
one that was previewed. A folder's size is its contents', which the preview
measured; a folder stays the one shown as long as it is the same inode."""

from __future__ import annotations

import os
import stat
from typing import NamedTuple

from orvalnest._engine import Entry, TrashOutcome
from orvalnest.report.trash_reasons import errno_words
from orvalnest.view import format_size


class Identity(NamedTuple):
    device: int
    inode: int
    is_dir: bool
    size: int  # st_size: for a folder, of the folder itself

    @classmethod
    def of(cls, info: os.stat_result) -> Identity:
        return cls(info.st_dev, info.st_ino, stat.S_ISDIR(info.st_mode), info.st_size)

    @classmethod
    def previewed(cls, outcome: TrashOutcome) -> Identity:
        """The entry a dry run judged; one it could not examine matches no file."""
        return cls(outcome.device or 0, outcome.inode or 0, outcome.is_dir, outcome.size)

    @property
    def key(self) -> tuple[int, int]:
        return self.device, self.inode


def as_scanned(entry: Entry) -> Identity | str:
    """The identity of what `entry`'s path names now, or why it is not what the scan found there."""
    try:
        info = os.lstat(entry.path_bytes)
    except OSError as error:
        return f"it is not there any more ({errno_words(error.errno)})"
    mode = info.st_mode
    if stat.S_ISDIR(mode) != entry.is_dir or stat.S_ISLNK(mode) != entry.is_symlink:
        return f"it is {_kind(mode)} now, not what the scan found"
    if stat.S_ISREG(mode) and info.st_size != entry.size:
        return f"its size changed since the scan ({format_size(entry.size)}, now {format_size(info.st_size)})"
    return Identity.of(info)


def difference(shown: Identity, now: Identity, *, inode: bool = True, size: bool = False) -> str | None:
    """Why `now` is not the entry `shown`, in words; None when it is. The type
    always counts: an inode number is reused as soon as it is free."""
    if inode and now.key != shown.key:
        return "it is not the entry that was marked: another file has its name now"
    if now.is_dir != shown.is_dir:
        return "it is a folder now" if now.is_dir else "it is not a folder any more"
    if size and not now.is_dir and now.size != shown.size:
        return f"its size changed after the preview ({format_size(shown.size)}, now {format_size(now.size)})"
    return None


def change_since(shown: Identity, path: bytes) -> str | None:
    """Why the entry at `path` is not the one a preview showed any more; its
    inode is left to the cleaner, which checks it on the entry that moves."""
    try:
        now = Identity.of(os.lstat(path))
    except OSError as error:
        return f"it is not there any more ({errno_words(error.errno)})"
    return difference(shown, now, inode=False, size=True)


def _kind(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "a folder"
    if stat.S_ISLNK(mode):
        return "a symbolic link"
    return "a file" if stat.S_ISREG(mode) else "a special file"
