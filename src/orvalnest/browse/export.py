"""The folder on screen and what is below it, written with the reports'
JSON and ncdu writers as the browser shows it: without what went to the
trash, with the folders scanned again in place of their old entries.

The writers walk the tree themselves; the view of each entry is made as they
reach it and dropped after, so no copy of the tree is ever held. What the
view changes is the session's overlay: the removed entries and the rescanned
folders, each with the root of its new tree."""

from __future__ import annotations

import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Literal, TextIO

from orvalnest._engine import Entry, TreeIssue
from orvalnest.browse.overlay import Overlay
from orvalnest.browse.session import Session
from orvalnest.report.json_export import write_json
from orvalnest.report.ncdu_export import write_ncdu
from orvalnest.report.output import Output

ExportKind = Literal["json", "ncdu"]
KIND_NAMES: dict[ExportKind, str] = {"json": "JSON", "ncdu": "ncdu"}


class ViewNode:
    """An entry as the browser shows it, with the attributes the writers read."""

    __slots__ = ("_entry", "_overlay", "_children")

    def __init__(self, entry: Entry, overlay: Overlay) -> None:
        self._entry = entry
        self._overlay = overlay
        self._children: list[ViewNode] | None = None

    @property
    def name(self) -> str:
        return self._entry.name

    @property
    def path(self) -> str:
        return self._entry.path

    @property
    def size(self) -> int:
        return self._overlay.size(self._entry)

    @property
    def disk_usage(self) -> int:
        return self._overlay.disk_usage(self._entry)

    @property
    def is_dir(self) -> bool:
        return self._entry.is_dir

    @property
    def is_symlink(self) -> bool:
        return self._entry.is_symlink

    @property
    def is_hardlink(self) -> bool:
        return self._entry.is_hardlink

    @property
    def category(self) -> str:
        return self._entry.category

    @property
    def children(self) -> list[ViewNode]:
        # Kept once made: a writer reads a folder's children once per child it
        # writes, and drops the folder when it is done with it.
        if self._children is None:
            overlay = self._overlay
            self._children = [ViewNode(child, overlay) for child in overlay.children(self._entry)]
        return self._children


@dataclass(frozen=True)
class ViewScan:
    root: ViewNode
    issues: Sequence[TreeIssue]
    excluded: int


def view_scan(session: Session) -> ViewScan:
    folder, overlay = session.folder, session.overlay
    return ViewScan(ViewNode(folder, overlay), overlay.issues_under(folder), session.root_tree.excluded)


def export_view(session: Session, kind: ExportKind, output: Output, exclude: Sequence[str]) -> None:
    """Writes the folder on screen to `output`, reserved beforehand so that a
    destination that cannot be written was refused before anything was."""
    scan = view_scan(session)
    timestamp = int(time.time())
    root_raw = session.folder.path_bytes

    def write(stream: TextIO) -> None:
        if kind == "json":
            write_json(scan, stream, timestamp, root_raw)
        else:
            write_ncdu(scan, stream, timestamp, exclude)

    output.write(write)
