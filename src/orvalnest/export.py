"""Writing a scan to files: orvalnest's own JSON and ncdu's export format.

Both writers walk the tree with an explicit stack and write each node as they
reach it, so a tree of a million nodes is never held a second time as text or
as dictionaries, and nesting is limited by the scanner's depth, not by Python's
recursion limit.
"""

from __future__ import annotations

import io
import json.encoder
import os
import secrets
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TextIO

from orvalnest._native import Node, ScanResult, __version__

# The C-accelerated string encoder behind json.dumps(..., ensure_ascii=False):
# non-ASCII stays raw UTF-8; quotes, backslashes and control characters are
# escaped. ncdu decodes each \u escape on its own, so a character outside the
# BMP written as a surrogate pair would come back as invalid UTF-8.
_quote = json.encoder.encode_basestring  # type: ignore[attr-defined]

PSEUDO_FILESYSTEM_PREFIX = "skipped: pseudo-filesystem"
_CHUNK = 1 << 16


class _Chunked:
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


def write_json(result: ScanResult, stream: TextIO) -> None:
    """The whole tree: every node with name, path, size, is_dir, category and
    children, and the scan's issues next to it."""
    out = _Chunked(stream)
    root = result.root
    root_is_dir = root.is_dir
    out.write('{"orvalnest":' + _quote(__version__) + ',"root":' + _json_head(root, root_is_dir))
    # The children still to write of each open directory.
    stack: list[Iterator[Node]] = []
    if root_is_dir:
        stack.append(iter(root.children))
    else:
        out.write("]}")
    separator = ""  # "," once the current children array holds a node
    while stack:
        child = next(stack[-1], None)
        if child is None:
            out.write("]}")
            stack.pop()
            separator = ","
            continue
        is_dir = child.is_dir
        out.write(separator + _json_head(child, is_dir))
        if is_dir:
            stack.append(iter(child.children))
            separator = ""
        else:
            out.write("]}")
            separator = ","
    out.write(',"issues":[')
    out.write(",".join(f'{{"path":{_quote(i.path)},"message":{_quote(i.message)}}}' for i in result.issues))
    out.write("]}\n")
    out.flush()


def _json_head(node: Node, is_dir: bool) -> str:
    """A node's object up to the opening bracket of its children."""
    return (
        f'{{"name":{_quote(node.name)},"path":{_quote(node.path)},"size":{node.size},'
        f'"is_dir":{"true" if is_dir else "false"},"category":{_quote(node.category)},"children":['
    )


def write_ncdu(result: ScanResult, stream: TextIO, timestamp: int) -> None:
    """The tree in the format of `ncdu -o`, so `ncdu -f FILE` browses it.

    A directory is an array whose first element describes it; the root's name is
    the scanned path, the others their own names. `asize` is the apparent size;
    the disk usage (`dsize`) was never measured and is left out rather than
    guessed. Directories count 0 of their own, as they do in our totals, so
    ncdu's sums match ours.
    """
    flags, unlisted = _issue_flags(result)
    out = _Chunked(stream)
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
