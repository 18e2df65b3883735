"""orvalnest's own JSON export: the whole tree, written node by node as the walk reaches it."""

from __future__ import annotations

import json.encoder
from collections.abc import Iterator
from typing import TextIO

from orvalnest._native import Node, ScanResult, __version__
from orvalnest.report.output import Chunked

# The C-accelerated string encoder behind json.dumps(..., ensure_ascii=False):
# non-ASCII stays raw UTF-8; quotes, backslashes and control characters are
# escaped. ncdu decodes each \u escape on its own, so a character outside the
# BMP written as a surrogate pair would come back as invalid UTF-8.
quote = json.encoder.encode_basestring  # type: ignore[attr-defined]


def write_json(result: ScanResult, stream: TextIO) -> None:
    """The whole tree: every node with name, path, size, is_dir, category and
    children, and the scan's issues next to it."""
    out = Chunked(stream)
    root = result.root
    root_is_dir = root.is_dir
    out.write('{"orvalnest":' + quote(__version__) + ',"root":' + _json_head(root, root_is_dir))
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
    out.write(",".join(f'{{"path":{quote(i.path)},"message":{quote(i.message)}}}' for i in result.issues))
    out.write("]}\n")
    out.flush()


def _json_head(node: Node, is_dir: bool) -> str:
    """A node's object up to the opening bracket of its children."""
    return (
        f'{{"name":{quote(node.name)},"path":{quote(node.path)},"size":{node.size},'
        f'"is_dir":{"true" if is_dir else "false"},"category":{quote(node.category)},"children":['
    )
