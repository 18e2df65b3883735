"""What emptying the trash would give back after the picked entries went
there: a file's blocks are free only once its last name is gone, so a file
with several hard links frees nothing until every one of them is picked.

Each picked path holds some bytes on disk (every inode once, everything below
a folder included, as the cleaner measures it) and some files with several
links (itself, or those below it). A path below another picked one goes with
it and counts nothing of its own; an inode held by two picked paths counts
for the first; an inode with a link outside the pick counts for none.
"""

from __future__ import annotations

import os
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import NamedTuple

from orvalnest._engine import Entry, TrashOutcome


class Link(NamedTuple):
    """One name of a file that has several."""

    device: int
    inode: int
    links: int  # names the file has in all
    disk_usage: int
    path: bytes


class Held(NamedTuple):
    path: bytes
    disk_usage: int  # each inode once
    linked: Sequence[Link]  # the names of files with several, at or below the path


class Freed(NamedTuple):
    freed: int  # what it gives back, the pick taken as a whole
    kept: int  # what links outside the pick keep on disk


def freed(held: Sequence[Held]) -> list[Freed]:
    """What each picked path gives back, in the order given; the sum is what the pick gives back."""
    # The names of each file in the whole pick, each path once: a folder and
    # a file in it may both have been given.
    names = {(link.device, link.inode, link.path) for item in held for link in item.linked}
    picked = Counter((device, inode) for device, inode, _ in names)
    paths = {item.path for item in held}
    owner: dict[tuple[int, int], int] = {}
    result = []
    seen: set[bytes] = set()
    for index, item in enumerate(held):
        if item.path in seen or _below_any(item.path, paths):
            result.append(Freed(0, 0))
            continue
        seen.add(item.path)
        lost = kept = 0
        # The cleaner measured each inode once per path.
        for key, link in {(link.device, link.inode): link for link in item.linked}.items():
            if owner.setdefault(key, index) != index:
                lost += link.disk_usage  # counted for an earlier path
            elif picked[key] < link.links:
                kept += link.disk_usage
        result.append(Freed(max(item.disk_usage - lost - kept, 0), kept))
    return result


def _below_any(path: bytes, folders: set[bytes]) -> bool:
    parts = path.rstrip(b"/").split(b"/")
    return any(b"/".join(parts[:end]) in folders for end in range(1, len(parts)))


def link_of(path: bytes) -> Link | None:
    """The name at `path` as it is now; None when it is gone (then the measure did not count it either)."""
    try:
        info = os.lstat(path)
    except OSError:
        return None
    return Link(info.st_dev, info.st_ino, info.st_nlink, info.st_blocks * 512, path)


def held_by(outcome: TrashOutcome, below: Iterable[Entry] = ()) -> Held:
    """What a path that would be trashed holds: a file its own blocks, a folder
    what the cleaner measured below it (`measure=True`). `below`: the scanned
    entries under a folder, among which its files with several links are found."""
    path = outcome.resolved_bytes or outcome.requested_bytes
    if not outcome.is_dir:
        disk = outcome.disk_usage
        if outcome.links > 1 and outcome.device is not None and outcome.inode is not None:
            return Held(path, disk, [Link(outcome.device, outcome.inode, outcome.links, disk, path)])
        return Held(path, disk, [])
    disk = outcome.tree_disk_usage if outcome.tree_disk_usage is not None else outcome.disk_usage
    found = (link_of(entry.path_bytes) for entry in below if entry.is_hardlink)
    return Held(path, disk, [link for link in found if link is not None])


def walk(folder: Entry, children: Callable[[Entry], Sequence[Entry]]) -> Iterator[Entry]:
    """Every entry below `folder`, as `children` lists them."""
    stack = [folder]
    while stack:
        for child in children(stack.pop()):
            yield child
            if child.is_dir:
                stack.append(child)
