"""The one reading of a scan that every front end shares: which size is shown,
the markers, sorting with its tie-break, folding the rest of a folder, and
names made safe and measured for display.
No I/O, no terminal, no HTML here: the text
report, the browser and the HTML report each draw what this module decides, so
the three never disagree about a number."""

from __future__ import annotations

import posixpath
import unicodedata
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from functools import cached_property
from typing import Literal, Protocol

from orvalnest._engine import Entry, category_totals, fold_children
from orvalnest._native import format_bytes

SortKey = Literal["size", "name", "count", "mtime"]
SORT_KEYS: tuple[SortKey, ...] = ("size", "name", "count", "mtime")

# One character in front of a name; a blank when nothing is special.
MARK_UNREADABLE = "!"  # could not be read (whole or in part)
MARK_SKIPPED = ">"  # left out on purpose: another filesystem, a pseudo-filesystem, too deep
MARK_SYMLINK = "@"
MARK_HARDLINK = "H"
MARKERS_HELP = (
    f"{MARK_UNREADABLE} could not be read, {MARK_SKIPPED} skipped (other filesystem, pseudo-filesystem, "
    f"too deep), {MARK_SYMLINK} symbolic link, {MARK_HARDLINK} file with several hard links"
)

SKIPPED_PREFIX = "skipped: "


class TreeNode(Protocol):
    """What the reports read of a scanned node: `Node` has all of it, and so has
    a browser's view of a node after a trash or a rescan."""

    @property
    def name(self) -> str: ...
    @property
    def path(self) -> str: ...
    @property
    def size(self) -> int: ...
    @property
    def disk_usage(self) -> int: ...
    @property
    def is_dir(self) -> bool: ...
    @property
    def is_symlink(self) -> bool: ...
    @property
    def is_hardlink(self) -> bool: ...
    @property
    def category(self) -> str: ...
    @property
    def children(self) -> Sequence[TreeNode]: ...


class Issue(Protocol):
    @property
    def path(self) -> str: ...
    @property
    def message(self) -> str: ...


class TreeScan(Protocol):
    """What the exports read of a scan: a `ScanResult`, or a part of one."""

    @property
    def root(self) -> TreeNode: ...
    @property
    def issues(self) -> Sequence[Issue]: ...
    @property
    def excluded(self) -> int: ...


def is_skip(message: str) -> bool:
    """True for an issue that reports an entry left out on purpose, false for
    one that could not be read."""
    return message.startswith(SKIPPED_PREFIX)


def size_of(entry: Entry, apparent: bool) -> int:
    """The size a front end shows: disk usage unless the apparent size was
    asked for, which is du's (each inode once, a folder's own length included)."""
    return entry.apparent_size if apparent else entry.disk_usage


@dataclass
class IssueIndex:
    """The scan's issues by path, to mark the nodes they concern."""

    unreadable: dict[str, str] = field(default_factory=dict)
    skipped: dict[str, str] = field(default_factory=dict)

    @classmethod
    def of(cls, issues: Iterable[Issue]) -> IssueIndex:
        index = cls()
        for issue in issues:
            target = index.skipped if is_skip(issue.message) else index.unreadable
            target.setdefault(issue.path, issue.message)
        return index

    def marker(self, node: TreeNode) -> str:
        if node.is_dir:
            path = node.path
            if path in self.unreadable or self.lost(node):
                return MARK_UNREADABLE
            if path in self.skipped:
                return MARK_SKIPPED
            return " "
        if node.is_symlink:
            return MARK_SYMLINK
        if node.is_hardlink:
            return MARK_HARDLINK
        return " "

    def lost(self, folder: TreeNode) -> list[str]:
        """Names the folder lists whose entries could not be examined: they have
        no node, so the folder was read only in part and their sizes are missing."""
        # A root given with a trailing slash ("/data/") holds "/data/x".
        names = self._unreadable_names.get(folder.path.rstrip("/") or "/")
        if not names:
            return []
        present = {child.name for child in folder.children}
        return [name for name in names if name not in present]

    @cached_property
    def _unreadable_names(self) -> dict[str, list[str]]:
        """Folder path -> names of its unreadable entries, in the scan's order."""
        names: dict[str, list[str]] = {}
        for path in self.unreadable:
            folder, name = posixpath.split(path)
            if name:  # not a root given as "/data/"
                names.setdefault(folder, []).append(name)
        return names


def marker_of(entry: Entry) -> str:
    """The marker of an entry of a tree, from its own flags: a folder read only
    in part or not at all, one left out on purpose, a link, a hard link."""
    if entry.is_dir:
        if entry.unreadable:
            return MARK_UNREADABLE
        return MARK_SKIPPED if entry.skipped else " "
    if entry.is_symlink:
        return MARK_SYMLINK
    return MARK_HARDLINK if entry.is_hardlink else " "


def is_within(path: str, folder: str) -> bool:
    """Whether `path` is `folder` or lies below it (as text: no file system involved)."""
    return path == folder or path.startswith(folder if folder.endswith("/") else folder + "/")


@dataclass(frozen=True)
class Folded:
    """The entries of a folder beyond the ones shown, as one line."""

    count: int
    size: int


# The tree's key for each order a face offers; "size" is the size shown.
_TreeKey = Literal["disk_usage", "apparent_size", "name", "entries", "mtime"]
_TREE_KEYS: dict[str, _TreeKey] = {"name": "name", "count": "entries", "mtime": "mtime"}


def fold(folder: Entry, top: int, key: SortKey, apparent: bool) -> tuple[list[Entry], Folded | None]:
    """The first `top` children of `folder` in the order asked for (0: all) and
    the rest folded into one entry. Largest, most entries or newest first, A
    first by name; ties by name. The tree does the ordering: a folder of a
    million entries costs no Python sort to show ten."""
    tree_key = _TREE_KEYS.get(key, "apparent_size" if apparent else "disk_usage")
    shown, rest, rest_disk, rest_apparent = fold_children(folder, top, tree_key)
    if not rest:
        return shown, None
    return shown, Folded(rest, rest_apparent if apparent else rest_disk)


def share(part: int, whole: int) -> float:
    """Percentage of `part` in `whole`; an empty whole has empty parts."""
    return 100.0 * part / whole if whole else 0.0


@dataclass
class Totals:
    """Counts over whole trees, not only the part that is shown. A folder count
    includes the scanned folder itself, as `find PATH -type d` counts it."""

    files: int = 0
    folders: int = 0
    by_category: dict[str, tuple[int, int]] = field(default_factory=dict)  # category -> (size, files)

    @classmethod
    def of(cls, roots: Iterable[Entry], apparent: bool = False) -> Totals:
        files = folders = 0
        sizes: dict[str, int] = {}
        counts: dict[str, int] = {}
        for root in roots:
            for category, disk, size, number in category_totals(root):
                if category == "directory":
                    folders += number
                elif number:
                    files += number
                    sizes[category] = sizes.get(category, 0) + (size if apparent else disk)
                    counts[category] = counts.get(category, 0) + number
        # Largest first; equal sizes by name, so the output is stable.
        ordered = sorted(sizes, key=lambda name: (-sizes[name], name))
        return cls(files, folders, {name: (sizes[name], counts[name]) for name in ordered})


# --- sizes as text ------------------------------------------------------

_SI_UNITS = ("B", "kB", "MB", "GB", "TB", "PB")


def format_si(size: int) -> str:
    """`size` in powers of 1000 ("1.5 kB") by the rule `format_bytes` follows in
    powers of 1024: the unit chosen before rounding (999950 bytes is "1000.0
    kB"), one decimal rounded from the exact count, an exact tie to the even digit."""
    if size < 1000:
        return f"{size} B"
    unit = 1
    while unit < len(_SI_UNITS) - 1 and size >= 1000 ** (unit + 1):
        unit += 1
    step = 1000**unit // 10
    tenths, rest = divmod(size, step)
    if rest * 2 > step or (rest * 2 == step and tenths % 2):
        tenths += 1
    return f"{tenths // 10}.{tenths % 10} {_SI_UNITS[unit]}"


def format_size(size: int, si: bool = False) -> str:
    """A size as every face prints it: powers of 1024 as the desktop app does, or of 1000 (--si)."""
    return format_si(size) if si else format_bytes(size)


_DAY = 86400


def format_age(seconds: int) -> str:
    """How long ago, in the largest unit that reads well: minutes below an
    hour, hours below a day, days below two months, months below two years,
    then years to a tenth ("2.0 y": untouched for two years)."""
    if seconds < 0:
        return "future"  # a clock set wrong, or a time set by hand
    if seconds < 3600:
        return f"{seconds // 60} min"
    if seconds < _DAY:
        return f"{seconds // 3600} h"
    days = seconds // _DAY
    if days < 60:
        return f"{days} d"
    if days < 730:
        return f"{int(days / 30.4375)} mo"
    tenths = int(seconds * 10 // (365.25 * _DAY))  # down: "2.0 y" is two years at least
    return f"{tenths // 10}.{tenths % 10} y"


# --- names as text ------------------------------------------------------

# Embeddings, overrides and isolates reorder the rest of the line on display,
# which can make a listed name look like a different one.
_BIDI_CONTROLS = frozenset("\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")
ELLIPSIS = "…"


def printable(text: str) -> str:
    """Escapes the characters that would let a file name move the cursor, break
    a line or send escape sequences to a terminal; everything else is shown as
    it is. A name is text from the disk, not something to trust."""
    if text.isprintable():
        return text
    out = []
    for char in text:
        if char.isprintable():
            out.append(char)
        elif unicodedata.category(char) in ("Cc", "Zl", "Zp") or char in _BIDI_CONTROLS:
            code = ord(char)
            out.append(f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}")
        else:
            # Other non-printables (zero-width joiners in emoji, soft hyphens)
            # are harmless on a terminal and part of real names.
            out.append(char)
    return "".join(out)


def char_width(char: str) -> int:
    """Columns a character takes on a terminal: 2 for wide (East Asian, most
    emoji), 0 for combining marks and format characters, else 1."""
    if unicodedata.combining(char) or unicodedata.category(char) in ("Mn", "Me", "Cf"):
        return 0
    return 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1


def display_width(text: str) -> int:
    if text.isascii():
        return len(text)
    width = 0
    previous = 0
    for char in text:
        if char == "\ufe0f" and previous == 1:
            # An emoji presentation selector widens a narrow symbol (☺️);
            # counting it wide is the safe side of the terminals that disagree.
            width += 1
            previous = 2
            continue
        previous = char_width(char)
        width += previous
    return width


def shorten_middle(text: str, width: int) -> str:
    """`text` cut to at most `width` columns by replacing its middle with "…":
    the start and the end of a name are what tell names apart."""
    if display_width(text) <= width:
        return text
    if width <= 0:
        return ""
    if width == 1:
        return ELLIPSIS
    room = width - 1
    head_room = (room + 1) // 2
    head, used = [], 0
    for char in text:
        w = char_width(char)
        if used + w > head_room:
            break
        head.append(char)
        used += w
    tail_room = room - used
    tail: list[str] = []
    used = 0
    for char in reversed(text[len(head) :]):
        w = char_width(char)
        if used + w > tail_room:
            break
        tail.append(char)
        used += w
    return "".join(head) + ELLIPSIS + "".join(reversed(tail))
