"""The size tree of a text report, for a terminal or a pipe."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass

from orvalnest._engine import Entry, Tree, TreeIssue
from orvalnest.report.summary import Units
from orvalnest.view import (
    ELLIPSIS,
    SKIPPED_PREFIX,
    Folded,
    SortKey,
    display_width,
    fold,
    format_age,
    marker_of,
    printable,
    share,
    shorten_middle,
    size_of,
)

BAR_WIDTH = 20
MIN_BAR_WIDTH = 5
CATEGORY_WIDTH = 10
AGE_WIDTH = 6  # "23 mo", "12.5 y"
# Below this many columns for the tree and the name, the bar and then the
# category give way: a name cut to a few letters tells nothing.
NAME_ROOM = 30
_PARTIAL_BLOCKS = " ▏▎▍▌▋▊▉"
_ANSI_BOLD_BLUE = "\x1b[1;34m"
_ANSI_DIM = "\x1b[2m"
_ANSI_RESET = "\x1b[0m"


@dataclass(frozen=True)
class Style:
    """How fancy the output may be.

    `unicode` allows block bars and box-drawing tree lines, `colour` allows ANSI
    escapes. Both are off when the output goes to a file or a pipe, so that what
    lands there greps and diffs as plain ASCII around the names. `width` is the
    terminal's width in columns; None (a pipe) keeps every name whole.
    """

    unicode: bool = False
    colour: bool = False
    width: int | None = None

    def paint(self, text: str, code: str) -> str:
        return f"{code}{text}{_ANSI_RESET}" if self.colour and text else text


@dataclass(frozen=True)
class TreeOptions:
    depth: int = 2
    top: int = 10
    sort: SortKey = "size"
    apparent: bool = False
    exact_bytes: bool = False  # sizes as byte counts, for scripts
    si: bool = False  # powers of 1000
    age: bool = False  # a column: how long ago anything at or below changed
    now: int = 0  # what ages count from, seconds since the epoch

    @property
    def units(self) -> Units:
        return Units(self.exact_bytes, self.si)


def blocks(fraction: float, width: int) -> str:
    """`fraction` of `width` columns filled with block characters, to an eighth of a column."""
    full, rest = divmod(round(min(max(fraction, 0.0), 1.0) * width * 8), 8)
    return ("█" * full + (_PARTIAL_BLOCKS[rest] if rest else "")).ljust(width)


def bar(fraction: float, style: Style, width: int = BAR_WIDTH) -> str:
    if style.unicode:
        return "▕" + blocks(fraction, width) + "▏"
    filled = round(min(max(fraction, 0.0), 1.0) * width)
    return "[" + "#" * filled + " " * (width - filled) + "]"


@dataclass(frozen=True)
class _Layout:
    """The columns in front of the name, chosen once so that they line up."""

    size_width: int
    bar_width: int  # 0: no bar
    category: bool
    width: int | None
    age: bool = False

    @classmethod
    def choose(cls, size_width: int, width: int | None, age: bool) -> _Layout:
        if width is None:
            return cls(size_width, BAR_WIDTH, True, None, age)
        # size, "  ", "100.0%", "  ", the age and the marker with its space
        base = size_width + 2 + 6 + 2 + 2 + (AGE_WIDTH + 2 if age else 0)
        category = CATEGORY_WIDTH + 2
        for bar_width in range(BAR_WIDTH, MIN_BAR_WIDTH - 1, -5):
            if width - base - category - (bar_width + 4) >= NAME_ROOM:
                return cls(size_width, bar_width, True, width, age)
        if width - base - category >= NAME_ROOM:
            return cls(size_width, 0, True, width, age)
        return cls(size_width, 0, False, width, age)

    def line(
        self, size: str, percent: float, style: Style, age: str, category: str, marker: str, tree: str, name: str
    ) -> tuple[str, str]:
        """One line as (everything up to the name, the name); the name is
        shortened in the middle when the terminal is too narrow."""
        head = f"{size:>{self.size_width}}  {percent:5.1f}%  "
        if self.bar_width:
            head += bar(percent / 100.0, style, self.bar_width) + "  "
        if self.age:
            head += f"{age:>{AGE_WIDTH}}  "
        if self.category:
            head += f"{category:<{CATEGORY_WIDTH}}  "
        head += f"{marker or ' '} "
        if self.width is None:
            return head + tree, name
        room = self.width - display_width(head)
        if display_width(tree) + 1 > room:
            # A tree deeper than the terminal is wide: keep its right end.
            tree = ELLIPSIS + tree[len(tree) - max(room - 2, 0) :] if room > 1 else ""
        return head + tree, shorten_middle(name, room - display_width(tree))


# (folder, top) -> the children shown and the rest folded, for the options' order
SortedChildren = dict[tuple[Entry, int], tuple[list[Entry], Folded | None]]


class OwnIssues:
    """The issue each entry has of its own (a folder that could not be listed,
    or was left out), read from the tree on first need: only a folder the report
    shows, marked, needs one."""

    def __init__(self, tree: Tree) -> None:
        self._tree = tree
        self._by_entry: dict[int, TreeIssue] | None = None

    def of(self, entry: Entry) -> TreeIssue | None:
        if self._by_entry is None:
            self._by_entry = {}
            for issue in self._tree.issues:
                concerned = issue.entry
                if concerned is not None:
                    self._by_entry.setdefault(concerned.index, issue)
        return self._by_entry.get(entry.index)


class _Tree:
    def __init__(self, tree: Tree, options: TreeOptions, style: Style, ordered: SortedChildren) -> None:
        self.issues = OwnIssues(tree)
        self.options = options
        self.style = style
        self.ordered = ordered

    def size(self, entry: Entry) -> int:
        return size_of(entry, self.options.apparent)

    def amount(self, size: int) -> str:
        return self.options.units.amount(size)

    def age(self, entry: Entry) -> str:
        return format_age(self.options.now - entry.newest_mtime) if self.options.age else ""

    def label(self, entry: Entry, text: str) -> str:
        """The escaped name, and what kept a folder from being measured."""
        name = printable(text)
        if entry.is_dir and (entry.unreadable or entry.skipped):
            issue = self.issues.of(entry)
            if issue is not None and issue.skipped:
                return f"{name} ({printable(issue.message.removeprefix(SKIPPED_PREFIX))})"
            if issue is not None:
                return name + " (could not be read)"
        return name

    def entries(self, entry: Entry) -> list[Entry | Folded]:
        options = self.options
        key = entry, options.top
        known = self.ordered.get(key)
        if known is None:
            known = fold(entry, options.top, options.sort, options.apparent)
            self.ordered[key] = known
        shown, rest = known
        return [*shown, rest] if rest is not None else list(shown)


def tree_lines(
    root: Entry,
    options: TreeOptions,
    style: Style,
    root_label: str | None = None,
    ordered: SortedChildren | None = None,
) -> Iterator[str]:
    """`root` and its descendants down to `options.depth` levels, each
    directory showing its `top` first children (0: all of them) and one line
    for the rest, made as they are read: a caller that needs only the first
    lines pays only for those. `ordered` keeps each folder's shown children
    for the next call with the same sort, however `depth` changes."""
    tree = _Tree(root.tree, options, style, {} if ordered is None else ordered)
    root_size = tree.size(root)
    size_width = max(10, len(tree.amount(root_size)))
    layout = _Layout.choose(size_width, style.width, options.age)

    def emit(entry: Entry, size: int, parent_size: int, prefix: str, text: str) -> str:
        percent = share(size, parent_size) if prefix else 100.0
        marker = marker_of(entry).strip()
        label = tree.label(entry, text)
        age = tree.age(entry)
        lead, name = layout.line(tree.amount(size), percent, style, age, entry.category, marker, prefix, label)
        return lead + (style.paint(name, _ANSI_BOLD_BLUE) if entry.is_dir else name)

    yield emit(root, root_size, root_size, "", root_label if root_label is not None else root.path)
    if options.depth <= 0 or not root.is_dir:
        return
    if style.unicode:
        branch, last_branch, stem, gap = "├── ", "└── ", "│   ", "    "
    else:
        branch, last_branch, stem, gap = "|-- ", "`-- ", "|   ", "    "

    # An explicit stack of (parent size, remaining entries, prefix, level), so
    # a deep --depth cannot exhaust Python's recursion limit.
    stack: list[tuple[int, list[Entry | Folded], str, int]] = [(root_size, tree.entries(root)[::-1], "", 1)]
    while stack:
        parent_size, entries, prefix, level = stack[-1]
        if not entries:
            stack.pop()
            continue
        entry = entries.pop()
        is_last = not entries
        connector = prefix + (last_branch if is_last else branch)
        if isinstance(entry, Folded):
            text = f"{ELLIPSIS} {entry.count} more ({tree.amount(entry.size)})"
            lead, name = layout.line("", share(entry.size, parent_size), style, "", "", "", connector, text)
            yield lead + style.paint(name, _ANSI_DIM)
            continue
        size = tree.size(entry)
        yield emit(entry, size, parent_size, connector, entry.name)
        if entry.is_dir and level < options.depth:
            children = tree.entries(entry)
            if children:
                stack.append((size, children[::-1], prefix + (gap if is_last else stem), level + 1))
