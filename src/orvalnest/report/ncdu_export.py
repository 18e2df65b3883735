"""The tree in the format of `ncdu -o`, so that `ncdu -f FILE` and `gdu -f FILE` browse a scan.

The writer walks the tree with an explicit stack and writes each node as it
reaches it, so a tree of a million nodes is never held a second time as text,
and nesting is limited by the scanner's depth, not by Python's recursion limit.

What the scan does not carry and ncdu counts is read here, for the few entries
that need it: a directory's own apparent size, and a symbolic link's or a
hard-linked file's metadata (ncdu counts a hard-linked inode once by `ino`).

The command line's ncdu export is written by the engine from the native tree
(`report/exports.py`); this writer serves the browser's scan of `Node`
objects until the browser reads the tree too.
"""

from __future__ import annotations

import fnmatch
import os
from collections.abc import Sequence
from typing import TextIO

from orvalnest._native import __version__
from orvalnest.report.json_export import quote as _json_quote
from orvalnest.report.output import Chunked
from orvalnest.report.raw_names import RawNames, join
from orvalnest.view import IssueIndex, TreeNode, TreeScan

_BLOCK = 512  # st_blocks counts 512-byte units on every system ncdu runs on


def _quote(text: str) -> str:
    # ncdu's parser refuses DEL as a raw character in a string, like the other
    # controls that the JSON encoder already escapes.
    quoted = _json_quote(text)
    return quoted.replace("\x7f", "\\u007f") if "\x7f" in quoted else quoted


def write_ncdu(result: TreeScan, stream: TextIO, timestamp: int, exclude: Sequence[str] = ()) -> None:
    """`exclude`: the patterns the scan left entries out by; they are listed
    again here (one listing per directory, only when the scan excluded
    something) so that ncdu shows them as excluded, as its own scan would."""
    writer = _NcduWriter(result, Chunked(stream), exclude if result.excluded else ())
    writer.write(timestamp)


class _NcduWriter:
    def __init__(self, result: TreeScan, out: Chunked, exclude: Sequence[str]) -> None:
        self.result = result
        self.out = out
        self.exclude = tuple(exclude)
        self.names = RawNames()
        self.issues = IssueIndex.of(result.issues)

    def write(self, timestamp: int) -> None:
        out = self.out
        meta = f'{{"progname":"orvalnest","progver":{_quote(__version__)},"timestamp":{int(timestamp)}}}'
        out.write(f"[1,2,{meta},\n")
        root = self.result.root
        root_raw = os.fsencode(root.path)
        # ncdu insists on a directory at the top.
        if not root.is_dir:
            out.write(f'[{{"name":{_quote(_dir_key(root.path))},"asize":0,"notreg":true}}]]\n')
            out.flush()
            return
        out.write("[" + self.directory_info(_dir_key(root.path), root, root_raw))
        stack: list[tuple[TreeNode, int, bytes | None]] = [(root, 0, root_raw)]
        while stack:
            directory, index, raw = stack[-1]
            children = directory.children
            if index == len(children):
                self.close(directory, raw)
                stack.pop()
                continue
            stack[-1] = (directory, index + 1, raw)
            child = children[index]
            child_raw = join(raw, self.names.child(raw, child.name))
            if child.is_dir:
                skip = self.issues.skipped.get(child.path, "")
                if skip and not skip.startswith("skipped: nested"):
                    why = "kernfs" if skip.startswith("skipped: pseudo-filesystem") else "otherfs"
                    out.write(f',\n{{"name":{_quote(child.name)},"excluded":"{why}"}}')
                    continue
                out.write(",\n[" + self.directory_info(child.name, child, child_raw))
                stack.append((child, 0, child_raw))
                continue
            out.write(",\n" + self.file_info(child, child_raw))
        out.write("]\n")
        out.flush()

    def directory_info(self, name: str, node: TreeNode, raw: bytes | None) -> str:
        own_disk = node.disk_usage - sum(child.disk_usage for child in node.children)
        stat = _lstat(raw)
        asize = stat.st_size if stat is not None else 0
        info = f'{{"name":{_quote(name)},"asize":{asize},"dsize":{max(own_disk, 0)}'
        if node.path in self.issues.unreadable:
            info += ',"read_error":true'
        return info + "}"

    def file_info(self, node: TreeNode, raw: bytes | None) -> str:
        name = _quote(node.name)
        if node.is_symlink or node.is_hardlink:
            stat = _lstat(raw)
            if stat is not None:
                sizes = f'"asize":{stat.st_size},"dsize":{stat.st_blocks * _BLOCK}'
                if node.is_symlink:
                    return f'{{"name":{name},{sizes},"notreg":true}}'
                return f'{{"name":{name},{sizes},"ino":{stat.st_ino},"hlnkc":true,"nlink":{stat.st_nlink}}}'
            if node.is_symlink:
                return f'{{"name":{name},"asize":0,"notreg":true}}'
        return f'{{"name":{name},"asize":{node.size},"dsize":{node.disk_usage}}}'

    def close(self, directory: TreeNode, raw: bytes | None) -> None:
        """Ends a directory's array with the entries that have no node."""
        out = self.out
        # Entries whose metadata could not be read: ncdu shows them as unreadable.
        for name in self.issues.lost(directory):
            out.write(f',\n{{"name":{_quote(name)},"read_error":true}}')
        if self.exclude and raw is not None:
            for name in self.excluded_names(directory, raw):
                out.write(f',\n{{"name":{_quote(name)},"excluded":"pattern"}}')
        out.write("]")

    def excluded_names(self, directory: TreeNode, raw: bytes) -> list[str]:
        """Names in the directory that the scan's patterns left out: a pattern
        without "/" matches the name, one with "/" the whole path (as du does)."""
        try:
            listing = os.listdir(raw)
        except OSError:
            return []
        present = {child.name for child in directory.children}
        found = []
        for entry in listing:
            name = entry.decode("utf-8", "replace")
            if name in present:
                continue
            path = os.fsdecode(join(raw, entry) or entry)
            if any(fnmatch.fnmatchcase(path if "/" in p else os.fsdecode(entry), p) for p in self.exclude):
                found.append(name)
        return sorted(found)


def _lstat(raw: bytes | None) -> os.stat_result | None:
    if raw is None:
        return None
    try:
        return os.lstat(raw)
    except OSError:
        return None


def _dir_key(path: str) -> str:
    return path.rstrip("/") or "/"
