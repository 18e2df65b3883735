"""What the browser remembers, apart from how it is drawn: the folder on
screen and the way down to it, sorting, the size shown, the name filter, the
entries marked for the trash and what trash requests and rescans changed.

The scan stays in the engine's compact tree: only the folder on screen is
listed, from views of its entries made as they are read. A folder nothing
changed is listed in the tree's own order (largest disk usage first) without
a sort, and sorted natively by any other key."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Literal

from orvalnest._engine import Comparison, Entry, TrashOutcome, Tree
from orvalnest.browse.identity import Identity, as_scanned, difference
from orvalnest.browse.overlay import Overlay
from orvalnest.report.freed_space import Freed, Held, Link, freed, held_by, link_of, walk
from orvalnest.report.trash_summary import why_not
from orvalnest.view import format_size

SortKey = Literal["size", "name", "count", "mtime", "change"]
_NATIVE_KEYS: dict[str, Literal["disk_usage", "name", "entries", "mtime"]] = {
    "size": "disk_usage",
    "name": "name",
    "count": "entries",
    "mtime": "mtime",
}


@dataclass
class Mark:
    """An entry picked for the trash, as it was when picked; the last preview's
    view of it, and why the last request (or preview) did not move it, in words."""

    entry: Entry
    identity: Identity
    previewed: Identity | None = None
    failure: str | None = None
    linked: Sequence[Link] = ()  # the names of files with several, at or below it, as the preview found them


class Session:
    def __init__(
        self, tree: Tree, *, apparent: bool = False, si: bool = False, comparison: Comparison | None = None
    ) -> None:
        self.overlay = Overlay(tree)
        self.comparison = comparison  # of an older scan with `tree`: what the change column shows
        self.chain: list[Entry] = [tree.root]
        self.sort_key: SortKey = "size"
        self.descending = True  # each key's natural order: largest, most, newest or A first
        self.apparent = apparent
        self.si = si
        self.filter = ""
        self.marks: dict[Entry, Mark] = {}
        self._entries: Sequence[Entry] | None = None

    @property
    def folder(self) -> Entry:
        return self.chain[-1]

    @property
    def root(self) -> Entry:
        return self.chain[0]

    @property
    def root_tree(self) -> Tree:
        """The scan of the whole folder browsed (or its latest rescan): what the cleaner works inside."""
        return self.chain[0].tree

    def entries(self) -> Sequence[Entry]:
        """The folder's children as they are listed: sorted, filtered, trashed ones gone."""
        if self._entries is None:
            listing = self._sorted(self.folder)
            if self.filter:
                needle = self.filter.casefold()
                listing = [entry for entry in listing if needle in entry.name.casefold()]
            self._entries = listing
        return self._entries

    def _sorted(self, folder: Entry) -> Sequence[Entry]:
        overlay = self.overlay
        key = self.sort_key
        if key == "change":
            # Largest change first, growth or loss; what is new counts all of its size.
            children = sorted(overlay.children(folder), key=lambda entry: entry.name_bytes)
            children.sort(key=self._change_key, reverse=self.descending)
            return children
        if not overlay.touched(folder):
            if key == "size" and not self.apparent and self.descending:
                return folder.children  # the tree's own order
            native = "apparent_size" if key == "size" and self.apparent else _NATIVE_KEYS[key]
            return folder.sorted_children(native, reverse=not self.descending)
        # Something below changed: the same order, from the values as they are now.
        children = list(overlay.children(folder))
        if key == "name":
            children.sort(key=lambda entry: entry.name_bytes, reverse=not self.descending)
            return children
        value: Callable[[Entry], int] = {
            "size": overlay.apparent_size if self.apparent else overlay.disk_usage,
            "count": overlay.entries_below,
            "mtime": overlay.newest_mtime,
        }[key]
        children.sort(key=lambda entry: entry.name_bytes)  # equal values by name, whichever way the key goes
        children.sort(key=value, reverse=self.descending)
        return children

    def changed(self) -> None:
        self._entries = None

    # --- reading one entry ---------------------------------------------

    def size_of(self, entry: Entry, apparent: bool | None = None) -> int:
        """Disk usage, or du's apparent size, as it is after what the browser did."""
        if self.apparent if apparent is None else apparent:
            return self.overlay.apparent_size(entry)
        return self.overlay.disk_usage(entry)

    def change_of(self, entry: Entry) -> int | None:
        """How much `entry` grew since the compared scan (shrank, when negative),
        as it is shown now; None when that scan did not have it, or for an
        entry of a rescan, which the comparison does not cover."""
        comparison = self.comparison
        if comparison is None or entry.tree is not comparison.new:
            return None
        old = comparison.change(entry).old
        if old is None:
            return None
        return self.size_of(entry) - (old.apparent_size if self.apparent else old.disk_usage)

    def _change_key(self, entry: Entry) -> int:
        change = self.change_of(entry)
        return abs(change) if change is not None else self.size_of(entry)

    def size_text(self, size: int) -> str:
        return format_size(size, self.si)

    # --- moving --------------------------------------------------------

    def enter(self, entry: Entry) -> bool:
        """Opens `entry` if it is a folder one can look into (a link to a folder is a link)."""
        if not entry.is_dir or entry.is_symlink:
            return False
        self.chain.append(entry)
        self.filter = ""
        self.changed()
        return True

    def up(self) -> Entry | None:
        """Goes to the parent folder; returns the folder just left, to put the cursor on it."""
        if len(self.chain) == 1:
            return None
        left = self.chain.pop()
        self.filter = ""
        self.changed()
        return left

    def sort_by(self, key: SortKey) -> None:
        """The same key again flips the order; a new key starts in its natural order."""
        if key == self.sort_key:
            self.descending = not self.descending
        else:
            self.sort_key, self.descending = key, True
        self.changed()

    def toggle_apparent(self) -> None:
        self.apparent = not self.apparent
        self.changed()

    def set_filter(self, text: str) -> None:
        self.filter = text
        self.changed()

    # --- scanning again -------------------------------------------------

    def rescanned(self, tree: Tree) -> list[Mark]:
        """Puts a new scan of the folder on screen in place of the old one; the
        folders above take the difference. Marks inside it are found again in
        the new tree by their exact names, and kept only while their path still
        names what was marked; the others are dropped and returned."""
        overlay, old, new = self.overlay, self.folder, tree.root
        inside = [mark for entry, mark in self.marks.items() if overlay.within(entry, old)]
        overlay.graft(old, new)
        self.chain[-1] = new
        dropped = []
        for mark in inside:
            del self.marks[mark.entry]
            found = _descend(new, mark.entry.path_bytes[len(old.path_bytes) :])
            if found is not None and _still(mark, as_scanned(found)):
                self.marks[found] = Mark(found, mark.identity, failure=mark.failure)
            else:
                dropped.append(mark)
        self.changed()
        return dropped

    # --- marking and trashing ------------------------------------------

    def toggle_mark(self, entry: Entry) -> str | None:
        """Marks or unmarks `entry`, as its path names it now; the reason, in
        words, when what is there is not what the scan found."""
        if self.marks.pop(entry, None) is not None:
            return None
        identity = as_scanned(entry)
        if isinstance(identity, str):
            return identity
        self.marks[entry] = Mark(entry, identity)
        return None

    def _outer_marks(self) -> list[Mark]:
        # A mark inside a marked folder goes with the folder: counting or
        # requesting it again would count its bytes twice, or fail once the
        # folder has moved.
        marks, overlay = self.marks, self.overlay
        return [mark for mark in marks.values() if not any(above in marks for above in overlay.ancestors(mark.entry))]

    def marked_size(self) -> int:
        """What the marks hold, each byte once."""
        return sum(self.size_of(mark.entry) for mark in self._outer_marks())

    def request(self) -> list[Mark]:
        """The marks to hand to the cleaner, in the order they were made."""
        return self._outer_marks()

    def previewed(self, marks: Sequence[Mark], outcomes: Sequence[TrashOutcome]) -> list[Freed | None]:
        """Takes in what a dry run said of each mark: what would go is recorded
        as the preview found it, what would not keeps the reason. Returns what
        each mark that would go frees once the trash is emptied."""
        held: list[Held] = []
        for mark, outcome in zip(marks, outcomes, strict=True):
            mark.failure, mark.previewed = why_not(outcome), None
            if outcome.kind != "would-trash":
                continue
            shown = Identity.previewed(outcome)
            # The cleaner held the path to the inode marked; the type is looked at here.
            mark.failure = difference(mark.identity, shown, inode=False)
            if mark.failure is None:
                mark.previewed = shown
                # Hard links below a picked folder are found in the tree as shown.
                below = walk(mark.entry, self.overlay.children) if outcome.is_dir else ()
                held.append(held_by(outcome, below))
                mark.linked = held[-1].linked
        shares = iter(freed(held))
        return [next(shares) if mark.previewed is not None else None for mark in marks]

    def apply(self, marks: Sequence[Mark], outcomes: Sequence[TrashOutcome]) -> None:
        """Takes a finished request into account: what went to the trash leaves
        the listings and every folder above it shrinks; what did not go stays
        marked with its reason."""
        overlay = self.overlay
        went: dict[tuple[int, int], Entry] = {}
        for mark, outcome in zip(marks, outcomes, strict=True):
            if outcome.kind == "trashed":
                went.update(self._counted_links(mark, outcome))
                self.marks.pop(mark.entry, None)
                overlay.remove(mark.entry)
            else:
                mark.failure = why_not(outcome)
        if went:
            self._recount(went)
        removed = overlay.removed
        for entry in [entry for entry in self.marks if any(above in removed for above in overlay.ancestors(entry))]:
            del self.marks[entry]
        # A folder on the way down that went to the trash is left for the one above it.
        gone = next((depth for depth, entry in enumerate(self.chain) if entry in removed), None)
        if gone is not None:
            del self.chain[gone:]
        self.changed()

    def _counted_links(self, mark: Mark, outcome: TrashOutcome) -> dict[tuple[int, int], Entry]:
        """The files with several names whose counted name went with `mark`, by inode."""
        entry, overlay = mark.entry, self.overlay
        if not entry.is_dir:
            if outcome.links > 1 and outcome.device is not None and outcome.inode is not None and overlay.counts(entry):
                return {(outcome.device, outcome.inode): entry}
            return {}
        known = {link.path: (link.device, link.inode) for link in mark.linked}
        found = {}
        for below in walk(entry, overlay.children):
            key = known.get(below.path_bytes)
            if key is not None and overlay.counts(below):
                found[key] = below
        return found

    def _recount(self, went: dict[tuple[int, int], Entry]) -> None:
        # Another name of such a file may still be listed: its blocks are still
        # on the disk, and now count there. Finding it takes a look at every
        # name with several links, so it is done only when a counted one went.
        names: dict[tuple[int, int], list[Entry]] = {}
        overlay = self.overlay
        for entry in walk(self.root, overlay.children):
            if entry.is_hardlink and not entry.is_dir:
                link = link_of(entry.path_bytes)
                if link is not None and (link.device, link.inode) in went:
                    names.setdefault((link.device, link.inode), []).append(entry)
        for key, left in names.items():
            if not any(overlay.counts(name) for name in left):
                overlay.recount(went[key], left[0])


def _still(mark: Mark, now: Identity | str) -> bool:
    return isinstance(now, Identity) and difference(mark.identity, now) is None


def _descend(folder: Entry, rest: bytes) -> Entry | None:
    """The entry at the relative path `rest` below `folder`, by exact names."""
    for name in rest.split(b"/"):
        if not name:
            continue
        child = next((child for child in folder.children if child.name_bytes == name), None)
        if child is None:
            return None
        folder = child
    return folder
