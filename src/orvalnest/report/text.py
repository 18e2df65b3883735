"""The size tree of a text report, for a terminal or a pipe."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass

from orvalnest._native import Node
from orvalnest.report.summary import Units
from orvalnest.view import (
    ELLIPSIS,
    Counts,
    Folded,
    IssueIndex,
    SortKey,
    display_width,
    fold,
    printable,
    share,
    shorten_middle,
    size_of,
    sorted_children,
)

BAR_WIDTH = 20
MIN_BAR_WIDTH = 5
CATEGORY_WIDTH = 10
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

    @classmethod
    def choose(cls, size_width: int, width: int | None) -> _Layout:
        if width is None:
            return cls(size_width, BAR_WIDTH, True, None)
        # size, "  ", "100.0%", "  " and the marker with its space
        base = size_width + 2 + 6 + 2 + 2
        category = CATEGORY_WIDTH + 2
        for bar_width in range(BAR_WIDTH, MIN_BAR_WIDTH - 1, -5):
            if width - base - category - (bar_width + 4) >= NAME_ROOM:
                return cls(size_width, bar_width, True, width)
        if width - base - category >= NAME_ROOM:
            return cls(size_width, 0, True, width)
        return cls(size_width, 0, False, width)

    def line(
        self, size: str, percent: float, style: Style, category: str, marker: str, tree: str, name: str
    ) -> tuple[str, str]:
        """One line as (everything up to the name, the name); the name is
        shortened in the middle when the terminal is too narrow."""
        head = f"{size:>{self.size_width}}  {percent:5.1f}%  "
        if self.bar_width:
            head += bar(percent / 100.0, style, self.bar_width) + "  "
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


# id of a folder -> the folder (which keeps the id valid) and its children in the order shown
SortedChildren = dict[int, tuple[Node, list[Node]]]


class _Tree:
    def __init__(self, issues: IssueIndex, options: TreeOptions, style: Style, ordered: SortedChildren) -> None:
        self.issues = issues
        self.options = options
        self.style = style
        self.counts = Counts()
        self.ordered = ordered

    def size(self, node: Node) -> int:
        return size_of(node, self.options.apparent)

    def amount(self, size: int) -> str:
        return self.options.units.amount(size)

    def label(self, node: Node, text: str) -> str:
        """The escaped name, and what kept a folder from being measured."""
        name = printable(text)
        if node.is_dir:
            path = node.path
            if path in self.issues.unreadable:
                return name + " (could not be read)"
            if path in self.issues.skipped:
                return f"{name} ({printable(self.issues.skipped[path].removeprefix('skipped: '))})"
        return name

    def entries(self, node: Node) -> list[Node | Folded]:
        options = self.options
        known = self.ordered.get(id(node))
        if known is None:
            known = node, sorted_children(node, options.sort, apparent=options.apparent, counts=self.counts)
            self.ordered[id(node)] = known
        children = known[1]
        shown, rest = fold(children, options.top, options.apparent)
        return [*shown, rest] if rest is not None else list(shown)


def tree_lines(
    root: Node,
    issues: IssueIndex,
    options: TreeOptions,
    style: Style,
    root_label: str | None = None,
    ordered: SortedChildren | None = None,
) -> Iterator[str]:
    """`root` and its descendants down to `options.depth` levels, each
    directory showing its `top` first children (0: all of them) and one line
    for the rest, made as they are read: a caller that needs only the first
    lines pays only for those. `ordered` keeps each folder's sorted children
    for the next call with the same sort, however `depth` and `top` change."""
    tree = _Tree(issues, options, style, {} if ordered is None else ordered)
    root_size = tree.size(root)
    size_width = max(10, len(tree.amount(root_size)))
    layout = _Layout.choose(size_width, style.width)

    def emit(node: Node, size: int, parent_size: int, prefix: str, text: str) -> str:
        percent = share(size, parent_size) if prefix else 100.0
        marker = issues.marker(node).strip()
        label = tree.label(node, text)
        lead, name = layout.line(tree.amount(size), percent, style, node.category, marker, prefix, label)
        return lead + (style.paint(name, _ANSI_BOLD_BLUE) if node.is_dir else name)

    yield emit(root, root_size, root_size, "", root_label if root_label is not None else root.path)
    if options.depth <= 0 or not root.is_dir:
        return
    if style.unicode:
        branch, last_branch, stem, gap = "├── ", "└── ", "│   ", "    "
    else:
        branch, last_branch, stem, gap = "|-- ", "`-- ", "|   ", "    "

    # An explicit stack of (parent size, remaining entries, prefix, level), so
    # a deep --depth cannot exhaust Python's recursion limit.
    stack: list[tuple[int, list[Node | Folded], str, int]] = [(root_size, tree.entries(root)[::-1], "", 1)]
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
            lead, name = layout.line("", share(entry.size, parent_size), style, "", "", connector, text)
            yield lead + style.paint(name, _ANSI_DIM)
            continue
        size = tree.size(entry)
        yield emit(entry, size, parent_size, connector, entry.name)
        if entry.is_dir and level < options.depth:
            children = tree.entries(entry)
            if children:
                stack.append((size, children[::-1], prefix + (gap if is_last else stem), level + 1))
