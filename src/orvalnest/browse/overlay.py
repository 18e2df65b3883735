"""What happened to the scanned trees since they were made: the entries that
went to the trash, and the folders scanned again, each in favour of the root
of a tree of its own. The trees themselves never change; every value the
browser shows goes through here.

A folder above a change is "touched": it keeps what it lost (a negative loss
is what a rescan found in addition), and its listing is made from its
children minus the removed ones, with the rescanned ones in place. Untouched
folders are read from the tree as they are, in the tree's own order, so a
folder nobody changed costs no list and no sort.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass

from orvalnest._engine import Entry, Tree, TreeIssue


@dataclass(slots=True)
class Loss:
    disk_usage: int = 0
    apparent_size: int = 0
    size: int = 0
    entries: int = 0

    def add(self, other: Loss) -> None:
        self.disk_usage += other.disk_usage
        self.apparent_size += other.apparent_size
        self.size += other.size
        self.entries += other.entries


@dataclass(slots=True)
class _IssueLayer:
    """The issues of one tree, and the places below which they no longer hold."""

    issues: list[TreeIssue]
    gone: list[bytes]


class Overlay:
    def __init__(self, tree: Tree) -> None:
        self.removed: set[Entry] = set()
        # Folder as an older tree has it -> the root of its newest scan.
        self.grafts: dict[Entry, Entry] = {}
        self._origin: dict[Entry, Entry] = {}  # the reverse: a graft's root -> the folder it stands for
        self._lost: dict[Entry, Loss] = {}
        self._derived: dict[Entry, tuple[int, bool]] = {}  # newest time, incomplete: made again after a change
        self.recounted: set[Entry] = set()  # names that hold their file's blocks since its counted name went
        self._layers = [_IssueLayer(tree.issues, [])]

    # --- where an entry stands ---------------------------------------------

    def parent(self, entry: Entry) -> Entry | None:
        """The folder that lists `entry`: for the root of a rescan, the parent
        of the folder it stands in for."""
        origin = self._origin.get(entry)
        return entry.parent if origin is None else origin.parent

    def ancestors(self, entry: Entry) -> Iterator[Entry]:
        """The folders above `entry`, nearest first."""
        above = self.parent(entry)
        while above is not None:
            yield above
            above = self.parent(above)

    def current(self, entry: Entry) -> Entry:
        return self.grafts.get(entry, entry) if self.grafts else entry

    def children(self, folder: Entry) -> Sequence[Entry]:
        """What `folder` lists now, in its tree's order (largest disk usage first)."""
        children = folder.children
        if folder not in self._lost:
            return children
        removed, current = self.removed, self.current
        return [now for now in map(current, children) if now not in removed]

    def touched(self, folder: Entry) -> bool:
        """Whether the listing of `folder` or a value of one of its children changed."""
        return folder in self._lost

    # --- values as they are now --------------------------------------------

    def disk_usage(self, entry: Entry) -> int:
        loss = self._lost.get(entry)
        return entry.disk_usage - (loss.disk_usage if loss else 0)

    def apparent_size(self, entry: Entry) -> int:
        loss = self._lost.get(entry)
        return entry.apparent_size - (loss.apparent_size if loss else 0)

    def size(self, entry: Entry) -> int:
        loss = self._lost.get(entry)
        return entry.size - (loss.size if loss else 0)

    def entries_below(self, entry: Entry) -> int:
        loss = self._lost.get(entry)
        return entry.entries_below - (loss.entries if loss else 0)

    def newest_mtime(self, entry: Entry) -> int:
        """The newest modification time at or below `entry`."""
        return self._derive(entry)[0] if entry in self._lost else entry.newest_mtime

    def incomplete(self, entry: Entry) -> bool:
        """Whether something at or below `entry` that is still listed could not be counted."""
        return self._derive(entry)[1] if entry in self._lost else entry.incomplete

    def _derive(self, folder: Entry) -> tuple[int, bool]:
        # Made from the children as listed now: what went to the trash no
        # longer makes a folder newer, nor its totals a lower bound. Touched
        # folders first, deepest first, with a stack: a tree has no depth limit.
        derived, lost = self._derived, self._lost
        stack = [(folder, False)]
        while stack:
            current, ready = stack.pop()
            if current in derived:
                continue
            children = self.children(current)
            if not ready:
                stack.append((current, True))
                stack.extend((child, False) for child in children if child in lost)
                continue
            newest, incomplete = current.mtime, current.unreadable or current.skipped
            for child in children:
                child_newest, child_incomplete = (
                    derived[child] if child in lost else (child.newest_mtime, child.incomplete)
                )
                newest = max(newest, child_newest)
                incomplete = incomplete or child_incomplete
            derived[current] = (newest, incomplete)
        return derived[folder]

    def _loss_of(self, entry: Entry) -> Loss:
        return Loss(self.disk_usage(entry), self.apparent_size(entry), self.size(entry), self.entries_below(entry))

    def _spread(self, loss: Loss, ancestors: list[Entry]) -> None:
        for folder in ancestors:
            self._lost.setdefault(folder, Loss()).add(loss)
        self._derived.clear()

    # --- changes -----------------------------------------------------------

    def remove(self, entry: Entry) -> None:
        """`entry` went to the trash: it leaves its folder's listing, and every
        folder above loses what it held."""
        if entry in self.removed:
            return
        loss = self._loss_of(entry)
        loss.entries += 1
        self.removed.add(entry)
        self._spread(loss, list(self.ancestors(entry)))
        for layer in self._layers:
            layer.gone.append(entry.path_bytes)

    def counts(self, entry: Entry) -> bool:
        """Whether `entry` is the name whose file's blocks and length count."""
        return entry.counted or entry in self.recounted

    def recount(self, went: Entry, name: Entry) -> None:
        """`went`, the counted name of a file, went to the trash while `name`,
        another of its names, stays: the blocks now count at `name`, as a new
        scan would count them, and the folders above it take them back."""
        gain = Loss(-self.disk_usage(went), -self.apparent_size(went))
        self.recounted.add(name)
        self._spread(gain, [name, *self.ancestors(name)])

    def graft(self, folder: Entry, root: Entry) -> None:
        """`root`, the root of a new scan of `folder`, takes its place: the
        folders above change by the difference, and what was recorded inside
        the old folder is forgotten."""
        difference = self._loss_of(folder)
        difference.disk_usage -= root.disk_usage
        difference.apparent_size -= root.apparent_size
        difference.size -= root.size
        difference.entries -= root.entries_below
        ancestors = list(self.ancestors(folder))
        self._forget_within(folder)
        base = self._origin.pop(folder, folder)  # a folder scanned twice: the newest root stands in for the first
        self.grafts[base] = root
        self._origin[root] = base
        self._spread(difference, ancestors)
        for layer in self._layers:
            layer.gone.append(folder.path_bytes)
        self._layers.append(_IssueLayer(root.tree.issues, []))

    def within(self, entry: Entry, folder: Entry) -> bool:
        """Whether `entry` is `folder` or lies below it."""
        return entry == folder or any(above == folder for above in self.ancestors(entry))

    def _forget_within(self, folder: Entry) -> None:
        stale = [entry for entry in self.removed if self.within(entry, folder)]
        self.removed.difference_update(stale)
        for table in (self._lost, self.grafts):
            for entry in [entry for entry in table if self.within(entry, folder)]:
                del table[entry]
        for root in [root for root, base in self._origin.items() if root != folder and self.within(base, folder)]:
            del self._origin[root]

    # --- issues --------------------------------------------------------------

    def issues_under(self, entry: Entry) -> list[TreeIssue]:
        """The issues at or below `entry` that still hold, in scan order."""
        path = entry.path_bytes
        found = []
        for layer in self._layers:
            for issue in layer.issues:
                where = issue.path_bytes
                if is_within(where, path) and not any(is_within(where, gone) for gone in layer.gone):
                    found.append(issue)
        return found


def is_within(path: bytes, folder: bytes) -> bool:
    """Whether the path `path` is `folder` or lies below it (exact bytes, no file system involved)."""
    return path == folder or path.startswith(folder if folder.endswith(b"/") else folder + b"/")
