"""orvalnest's own JSON export: the whole tree, written node by node as the walk
reaches it, so a tree of a million nodes is never held a second time as text.
The README documents the format; `JSON_FORMAT_VERSION` changes whenever a
reader would have to change.

The command line's JSON export is written by the engine from the native tree
(`report/exports.py`); this writer serves the browser's scan of `Node`
objects until the browser reads the tree too.
"""

from __future__ import annotations

import json.encoder
import os
from collections.abc import Iterator
from typing import TextIO

from orvalnest._native import __version__
from orvalnest.report.output import Chunked
from orvalnest.report.raw_names import RawNames, is_lossy, join, percent_encoded
from orvalnest.view import TreeNode, TreeScan

JSON_FORMAT_VERSION = 1

# The C-accelerated string encoder behind json.dumps(..., ensure_ascii=False):
# non-ASCII stays raw UTF-8; quotes, backslashes and control characters are
# escaped.
quote = json.encoder.encode_basestring


def write_json(result: TreeScan, stream: TextIO, timestamp: int, root_raw: bytes | None = None) -> None:
    """`root_raw`: the exact bytes of the scanned path, when the caller knows them;
    names that are not UTF-8 are then given exactly as well."""
    out = Chunked(stream)
    root = result.root
    if root_raw is not None and root_raw.decode("utf-8", "replace") != root.path:
        root_raw = None
    names = RawNames()
    out.write(
        f'{{"version":{JSON_FORMAT_VERSION},"orvalnest":{quote(__version__)},"timestamp":{int(timestamp)},'
        f'"excluded":{result.excluded},"root":'
    )
    raw_field = ""
    if root_raw is not None and is_lossy(root.path):
        raw_field = f'"path_raw":{quote(percent_encoded(root_raw))},'
    out.write(_json_head(root, raw_field))
    # The children still to write of each open directory, with its raw path.
    stack: list[tuple[Iterator[TreeNode], bytes | None]] = []
    if root.is_dir:
        stack.append((iter(root.children), root_raw if root_raw is not None else _exact(root.path)))
    else:
        out.write("]}")
    separator = ""  # "," once the current children array holds a node
    while stack:
        children, parent_raw = stack[-1]
        child = next(children, None)
        if child is None:
            out.write("]}")
            stack.pop()
            separator = ","
            continue
        name = child.name
        raw = names.child(parent_raw, name)
        raw_field = f'"name_raw":{quote(percent_encoded(raw))},' if raw is not None and is_lossy(name) else ""
        out.write(separator + _json_head(child, raw_field))
        if child.is_dir:
            stack.append((iter(child.children), join(parent_raw, raw)))
            separator = ""
        else:
            out.write("]}")
            separator = ","
    out.write(',"issues":[')
    out.write(",".join(f'{{"path":{quote(i.path)},"message":{quote(i.message)}}}' for i in result.issues))
    out.write("]}\n")
    out.flush()


def _exact(path: str) -> bytes | None:
    return None if is_lossy(path) else os.fsencode(path)


def _json_head(node: TreeNode, raw_field: str = "") -> str:
    """A node's object up to the opening bracket of its children; `raw_field`
    gives a lossy name's exact bytes (with its comma), or is empty."""
    flags = ('"is_symlink":true,' if node.is_symlink else "") + ('"is_hardlink":true,' if node.is_hardlink else "")
    return (
        f'{{"name":{quote(node.name)},"path":{quote(node.path)},"size":{node.size},"disk_usage":{node.disk_usage},'
        f'"is_dir":{"true" if node.is_dir else "false"},"category":{quote(node.category)},'
        f'{flags}{raw_field}"children":['
    )
