"""The folder on screen and what is below it, written with the reports'
JSON and ncdu writers as the browser shows it: without what went to the
trash, with the folders scanned again in place of their old nodes.

The writers walk the tree themselves; the view of each node is made as they
reach it and dropped after, so no copy of the tree is ever held."""

from __future__ import annotations

import os
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Literal, NamedTuple, TextIO

from orvalnest._native import Node
from orvalnest.browse.session import Session
from orvalnest.report.json_export import write_json
from orvalnest.report.ncdu_export import write_ncdu
from orvalnest.report.output import Output
from orvalnest.view import Adjustments

ExportKind = Literal["json", "ncdu"]
KIND_NAMES: dict[ExportKind, str] = {"json": "JSON", "ncdu": "ncdu"}


class ViewNode:
    """A scanned node as the browser shows it."""

    __slots__ = ("_node", "_adjustments", "_children")

    def __init__(self, node: Node, adjustments: Adjustments) -> None:
        self._node = node
        self._adjustments = adjustments
        self._children: list[ViewNode] | None = None

    @property
    def name(self) -> str:
        return self._node.name

    @property
    def path(self) -> str:
        return self._node.path

    @property
    def size(self) -> int:
        return self._adjustments.size_of(self._node, True)

    @property
    def disk_usage(self) -> int:
        return self._adjustments.size_of(self._node, False)

    @property
    def is_dir(self) -> bool:
        return self._node.is_dir

    @property
    def is_symlink(self) -> bool:
        return self._node.is_symlink

    @property
    def is_hardlink(self) -> bool:
        return self._node.is_hardlink

    @property
    def category(self) -> str:
        return self._node.category

    @property
    def children(self) -> list[ViewNode]:
        # Kept once made: a writer reads a folder's children once per child it
        # writes, and drops the folder when it is done with it.
        if self._children is None:
            adjustments = self._adjustments
            self._children = [
                ViewNode(adjustments.current(child), adjustments)
                for child in self._node.children
                if not adjustments.is_removed(child)
            ]
        return self._children


class ViewIssue(NamedTuple):
    path: str
    message: str


@dataclass(frozen=True)
class ViewScan:
    root: ViewNode
    issues: Sequence[ViewIssue]
    excluded: int


def view_scan(session: Session) -> ViewScan:
    folder = session.folder
    issues = [ViewIssue(path, message) for path, message in session.issues.under(folder.path)]
    return ViewScan(ViewNode(folder, session.adjustments), issues, session.result.excluded)


def export_view(session: Session, kind: ExportKind, output: Output, exclude: Sequence[str]) -> None:
    """Writes the folder on screen to `output`, reserved beforehand so that a
    destination that cannot be written was refused before anything was."""
    scan = view_scan(session)
    timestamp = int(time.time())

    def write(stream: TextIO) -> None:
        if kind == "json":
            write_json(scan, stream, timestamp, os.fsencode(scan.root.path))
        else:
            write_ncdu(scan, stream, timestamp, exclude)

    output.write(write)
