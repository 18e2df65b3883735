"""The folder on screen and what is below it, written by the engine's JSON
and ncdu writers as the browser shows it: without what went to the trash,
with the folders scanned again in place of their old entries.

The writers walk the compact tree themselves, through the session's overlay:
the removed entries and the rescanned folders, each mapped to the root of its
new tree. Nothing of the tree is copied to write it."""

from __future__ import annotations

import time
from typing import Literal, TextIO

from orvalnest.browse.session import Session
from orvalnest.report.exports import write_json, write_ncdu
from orvalnest.report.output import Output

ExportKind = Literal["json", "ncdu"]
KIND_NAMES: dict[ExportKind, str] = {"json": "JSON", "ncdu": "ncdu"}


def export_view(session: Session, kind: ExportKind, output: Output) -> None:
    """Writes the folder on screen to `output`, reserved beforehand so that a
    destination that cannot be written was refused before anything was."""
    overlay = session.overlay
    writer = write_json if kind == "json" else write_ncdu
    timestamp = int(time.time())

    def write(stream: TextIO) -> None:
        writer(session.folder, stream, removed=overlay.removed, replaced=overlay.grafts, timestamp=timestamp)

    output.write(write)
