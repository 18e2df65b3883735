"""The exports of a measured tree, written by the engine straight to the
destination's descriptor: orvalnest's JSON (the README documents it) and the
format `ncdu -f` and `gdu -f` read. A tree of millions of entries is never
held a second time as text or as Python objects.

Both take an overlay for a face that shows the tree after the user acted on
it: `removed` entries are left out, `replaced` maps an entry to what shows in
its place (the root of a newer scan of that folder), and every folder above
either takes the difference in its totals."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import TextIO

from orvalnest import _engine
from orvalnest._engine import Entry


def write_json(
    root: Entry,
    stream: TextIO,
    *,
    removed: Iterable[Entry] = (),
    replaced: Mapping[Entry, Entry] | None = None,
    timestamp: int | None = None,
) -> None:
    """`root` and everything below it as orvalnest's JSON; `timestamp` is the
    scan's start unless given."""
    stream.flush()  # what the stream holds goes first
    _engine.write_json(root, stream.fileno(), timestamp=timestamp, removed=removed, replaced=replaced)


def write_ncdu(
    root: Entry,
    stream: TextIO,
    *,
    removed: Iterable[Entry] = (),
    replaced: Mapping[Entry, Entry] | None = None,
    timestamp: int | None = None,
) -> None:
    """`root` and everything below it for `ncdu -f FILE` (`ncdu -e -f` shows
    the times); what the scan's patterns left out is listed as excluded."""
    stream.flush()
    _engine.write_ncdu(root, stream.fileno(), timestamp=timestamp, removed=removed, replaced=replaced)
