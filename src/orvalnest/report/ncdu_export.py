"""The tree in the format of `ncdu -o`, so that `ncdu -f FILE` (or gdu) browses a scan.

The writer walks the tree with an explicit stack and writes each node as it
reaches it, so a tree of a million nodes is never held a second time as text,
and nesting is limited by the scanner's depth, not by Python's recursion limit.
"""

from __future__ import annotations

import os
from typing import TextIO

from orvalnest._native import Node, ScanResult, __version__
from orvalnest.report.json_export import quote as _quote
from orvalnest.report.output import Chunked

PSEUDO_FILESYSTEM_PREFIX = "skipped: pseudo-filesystem"


def write_ncdu(result: ScanResult, stream: TextIO, timestamp: int) -> None:
    """The tree in the format of `ncdu -o`, so `ncdu -f FILE` browses it.

    A directory is an array whose first element describes it; the root's name is
    the scanned path, the others their own names. `asize` is the apparent size;
    the disk usage (`dsize`) was never measured and is left out rather than
    guessed. Directories count 0 of their own, as they do in our totals, so
    ncdu's sums match ours.
    """
    flags, unlisted = _issue_flags(result)
    out = Chunked(stream)
    meta = f'{{"progname":"orvalnest","progver":{_quote(__version__)},"timestamp":{int(timestamp)}}}'
    out.write(f"[1,2,{meta},\n")
    root = result.root
    root_path = root.path
    # ncdu insists on a directory at the top; a root that was a symbolic link
    # (never followed) becomes an empty directory marked as not regular.
    if not root.is_dir:
        out.write(f'[{{"name":{_quote(_dir_key(root_path))},"asize":0,"notreg":true}}]]\n')
        out.flush()
        return
    out.write("[" + _ncdu_dir_info(_dir_key(root_path), _take_flag(flags, root_path)))
    stack = [_NcduFrame(root_path, root.children)]
    while stack:
        frame = stack[-1]
        child = next(frame.children, None)
        if child is None:
            # Entries whose metadata could not be read have no node; ncdu
            # shows them as unreadable items of their directory. A flag that
            # a directory node took is not such an entry.
            if unlisted:
                for name, path in unlisted.pop(_dir_key(frame.path), ()):
                    if path in flags:
                        out.write(f',{{"name":{_quote(name)},"read_error":true}}')
            out.write("]")
            stack.pop()
            continue
        name = child.name
        if child.is_dir:
            path = child.path
            out.write(",[" + _ncdu_dir_info(name, _take_flag(flags, path)))
            stack.append(_NcduFrame(path, child.children))
            continue
        size = child.size
        if size == 0 and frame.is_symlink(name):
            out.write(f',{{"name":{_quote(name)},"asize":0,"notreg":true}}')
        else:
            out.write(f',{{"name":{_quote(name)},"asize":{size}}}')
    out.write("]\n")
    out.flush()


class _NcduFrame:
    """A directory being written, and the names of its symbolic links, read on
    first need: the scanner counts a link as an empty file, and one listing of
    the directory tells the two apart without a stat per file."""

    __slots__ = ("path", "children", "_links")

    def __init__(self, path: str, children: list[Node]) -> None:
        self.path = path
        self.children = iter(children)
        self._links: frozenset[str] | None = None

    def is_symlink(self, name: str) -> bool:
        if self._links is None:
            try:
                with os.scandir(self.path) as entries:
                    self._links = frozenset(entry.name for entry in entries if entry.is_symlink())
            except OSError:
                self._links = frozenset()
        return name in self._links


def _take_flag(flags: dict[str, str], path: str) -> str | None:
    """The issue mark of a directory node, removed from `flags`: whatever is
    left there when its parent closes belongs to an entry without a node."""
    return flags.pop(path, None) if flags else None


def _ncdu_dir_info(name: str, flag: str | None) -> str:
    # Issues mark directories only: an entry without metadata has no node.
    if flag == "kernfs":
        return f'{{"name":{_quote(name)},"asize":0,"excluded":"kernfs"}}'
    if flag == "error":
        return f'{{"name":{_quote(name)},"asize":0,"read_error":true}}'
    return f'{{"name":{_quote(name)},"asize":0}}'


def _dir_key(path: str) -> str:
    return path.rstrip("/") or "/"


def _issue_flags(result: ScanResult) -> tuple[dict[str, str], dict[str, list[tuple[str, str]]]]:
    """The issues as marks by path, and as (name, path) entries by their
    directory's path: the tree walk tells which of them have a node."""
    flags: dict[str, str] = {}
    for issue in result.issues:
        if issue.message.startswith(PSEUDO_FILESYSTEM_PREFIX):
            flags[issue.path] = "kernfs"
        else:
            flags.setdefault(issue.path, "error")
    unlisted: dict[str, list[tuple[str, str]]] = {}
    for path in flags:
        parent, _, name = path.rpartition("/")
        if name:
            unlisted.setdefault(_dir_key(parent), []).append((name, path))
    return flags, unlisted
