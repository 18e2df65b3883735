"""What the browser remembers, apart from how it is drawn: the folder on
screen and the way down to it, sorting, the size shown, the name filter, the
entries marked for the trash and what trash requests took away.

Only the folder on screen is ever listed: its children are sorted from the
scan's own `Node`s, so a scan of a million entries costs no Python copy."""

from __future__ import annotations

from dataclasses import dataclass

from orvalnest._native import Node, ScanResult, TrashReport
from orvalnest.view import Adjustments, Counts, IssueIndex, SortKey, format_size, is_within, sorted_children


@dataclass
class Mark:
    """An entry picked for the trash, with the folders above it (root first),
    which lose its size when it goes. A failed request leaves its reason here."""

    ancestors: tuple[Node, ...]
    node: Node
    failure: str | None = None


class Session:
    def __init__(self, result: ScanResult, *, apparent: bool = False, si: bool = False) -> None:
        self.result = result
        self.issues = IssueIndex.of(result.issues)
        self.counts = Counts()
        self.adjustments = Adjustments()
        self.chain: list[Node] = [result.root]
        self.sort_key: SortKey = "size"
        self.descending = True
        self.apparent = apparent
        self.si = si
        self.filter = ""
        self.marks: dict[str, Mark] = {}
        self._entries: list[Node] | None = None

    @property
    def folder(self) -> Node:
        return self.chain[-1]

    def entries(self) -> list[Node]:
        """The folder's children as they are listed: sorted, filtered, trashed ones gone."""
        if self._entries is None:
            children = sorted_children(
                self.folder,
                self.sort_key,
                descending=self.descending,
                apparent=self.apparent,
                counts=self.counts,
                adjustments=self.adjustments,
            )
            if self.filter:
                needle = self.filter.casefold()
                children = [child for child in children if needle in child.name.casefold()]
            self._entries = children
        return self._entries

    def changed(self) -> None:
        self._entries = None

    # --- reading one entry ---------------------------------------------

    def size_of(self, node: Node, apparent: bool | None = None) -> int:
        return self.adjustments.size_of(node, self.apparent if apparent is None else apparent)

    def size_text(self, size: int) -> str:
        return format_size(size, self.si)

    def entries_below(self, node: Node) -> int:
        return self.adjustments.entries_below(node, self.counts)

    # --- moving --------------------------------------------------------

    def enter(self, node: Node) -> bool:
        """Opens `node` if it is a folder one can look into (a link to a folder is a link)."""
        if not node.is_dir or node.is_symlink:
            return False
        self.chain.append(node)
        self.filter = ""
        self.changed()
        return True

    def up(self) -> Node | None:
        """Goes to the parent folder; returns the folder just left, to put the cursor on it."""
        if len(self.chain) == 1:
            return None
        left = self.chain.pop()
        self.filter = ""
        self.changed()
        return left

    def sort_by(self, key: SortKey) -> None:
        """The same key again flips the order; a new key starts in its natural
        order, largest first or A first (the shared sort calls both "descending")."""
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

    def rescanned(self, result: ScanResult) -> None:
        """Splices a new scan of the folder on screen into the session: the
        scan's nodes stay as they are, the fresh subtree is kept beside them
        and every folder above takes the difference in size."""
        old, new = self.folder, result.root
        above = self.chain[:-1]
        if not above:
            self.result, self.issues = result, IssueIndex.of(result.issues)
            self.adjustments, self.counts = Adjustments(), Counts()
        else:
            self.adjustments.replace(above, old, new, self.counts)
            self.issues.replace_under(old.path, result.issues)
        self.chain[-1] = new
        # Marks inside the folder are found again in the fresh tree, or dropped
        # when what they marked is gone.
        for path, mark in list(self.marks.items()):
            if not is_within(path, old.path):
                continue
            found = _descend(new, path[len(old.path) :])
            if found is None:
                del self.marks[path]
            else:
                self.marks[path] = Mark((*above, *found[:-1]), found[-1], mark.failure)
        self.changed()

    # --- marking and trashing ------------------------------------------

    def toggle_mark(self, node: Node) -> bool:
        """Marks or unmarks `node`, which must be listed in the current folder; True when now marked."""
        if self.marks.pop(node.path, None) is not None:
            return False
        self.marks[node.path] = Mark(tuple(self.chain), node)
        return True

    def _outer_marks(self) -> list[Mark]:
        # A mark inside a marked folder goes with the folder: counting or
        # requesting it again would count its bytes twice, or fail once the
        # folder has moved.
        return [
            mark for mark in self.marks.values() if not any(ancestor.path in self.marks for ancestor in mark.ancestors)
        ]

    def marked_size(self) -> int:
        """What the marks hold, each byte once."""
        return sum(self.size_of(mark.node) for mark in self._outer_marks())

    def request(self) -> list[Mark]:
        """The marks to hand to the cleaner, in the order they were made."""
        return self._outer_marks()

    def apply(self, report: TrashReport) -> None:
        """Takes a finished request into account: what went to the trash leaves
        the listings and every folder above it shrinks; what failed stays marked
        with its reason."""
        if report.dry_run:
            return
        for path in report.trashed:
            mark = self.marks.pop(path, None)
            if mark is not None:
                self.adjustments.remove(mark.ancestors, mark.node, self.counts)
        for path, reason in report.failed:
            failed = self.marks.get(path)
            if failed is not None:
                failed.failure = reason
        removed = self.adjustments.removed
        for path, mark in list(self.marks.items()):
            if any(ancestor.path in removed for ancestor in mark.ancestors):
                del self.marks[path]
        self.changed()


def _descend(folder: Node, rest: str) -> list[Node] | None:
    """`folder` and the nodes down to the one at the relative path `rest`."""
    chain = [folder]
    for name in rest.split("/"):
        if not name:
            continue
        child = next((c for c in chain[-1].children if c.name == name), None)
        if child is None:
            return None
        chain.append(child)
    return chain
