"""Text rendering of a scan for a terminal or a pipe: the size tree and the summary."""

from __future__ import annotations

import unicodedata
from collections import deque
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field

from orvalnest._native import Node, ScanIssue, format_bytes

BAR_WIDTH = 20
_PARTIAL_BLOCKS = " ▏▎▍▌▋▊▉"
_ANSI_BOLD_BLUE = "\x1b[1;34m"
_ANSI_DIM = "\x1b[2m"
_ANSI_RESET = "\x1b[0m"


@dataclass(frozen=True)
class Style:
    """How fancy the output may be.

    `unicode` allows block bars and box-drawing tree lines, `colour` allows ANSI
    escapes. Both are off when the output goes to a file or a pipe, so that what
    lands there greps and diffs as plain ASCII around the names.
    """

    unicode: bool = False
    colour: bool = False

    def paint(self, text: str, code: str) -> str:
        return f"{code}{text}{_ANSI_RESET}" if self.colour and text else text


def printable(text: str) -> str:
    """Escapes the characters that would let a file name move the cursor, break
    a line or send escape sequences to the terminal; everything else is shown
    as it is. A name is text from the disk, not something to trust."""
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


# Embeddings, overrides and isolates reorder the rest of the line on display,
# which can make a listed name look like a different one.
_BIDI_CONTROLS = frozenset("\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")


def share(part: int, whole: int) -> float:
    """Percentage of `part` in `whole`; an empty whole has empty parts."""
    return 100.0 * part / whole if whole else 0.0


def bar(fraction: float, style: Style) -> str:
    fraction = min(max(fraction, 0.0), 1.0)
    if not style.unicode:
        filled = round(fraction * BAR_WIDTH)
        return "[" + "#" * filled + " " * (BAR_WIDTH - filled) + "]"
    eighths = round(fraction * BAR_WIDTH * 8)
    full, rest = divmod(eighths, 8)
    text = "█" * full + (_PARTIAL_BLOCKS[rest] if rest else "")
    return "▕" + text.ljust(BAR_WIDTH) + "▏"


def _line(size: str, percent: float, style: Style, category: str, prefix: str, name: str) -> str:
    return f"{size:>10}  {percent:5.1f}%  {bar(percent / 100.0, style)}  {category:<10}  {prefix}{name}"


def render_tree(root: Node, depth: int, top: int, style: Style, write: Callable[[str], object]) -> None:
    """Writes `root` and its descendants down to `depth` levels, each directory
    showing its `top` largest children (0: all of them) and one line for the
    rest. `write` gets one line at a time, without the line feed."""
    root_size, root_is_dir = root.size, root.is_dir
    write(_line(format_bytes(root_size), 100.0, style, root.category, "", _node_label(root.path, root_is_dir, style)))
    if depth <= 0 or not root_is_dir:
        return
    if style.unicode:
        branch, last_branch, stem, gap = "├── ", "└── ", "│   ", "    "
    else:
        branch, last_branch, stem, gap = "|-- ", "`-- ", "|   ", "    "

    # An explicit stack of (parent size, remaining lines, prefix, level), so a
    # deep --depth cannot exhaust Python's recursion limit.
    stack: list[tuple[int, deque[Node | tuple[int, int]], str, int]] = [(root_size, _entries(root, top), "", 1)]
    while stack:
        parent_size, entries, prefix, level = stack[-1]
        if not entries:
            stack.pop()
            continue
        entry = entries.popleft()
        is_last = not entries
        connector = prefix + (last_branch if is_last else branch)
        if isinstance(entry, tuple):
            count, size = entry
            text = f"… {count} more ({format_bytes(size)})"
            write(_line("", share(size, parent_size), style, "", connector, style.paint(text, _ANSI_DIM)))
            continue
        size, is_dir = entry.size, entry.is_dir
        label = _node_label(entry.name, is_dir, style)
        write(_line(format_bytes(size), share(size, parent_size), style, entry.category, connector, label))
        if is_dir and level < depth:
            children = _entries(entry, top)
            if children:
                stack.append((size, children, prefix + (gap if is_last else stem), level + 1))


def _node_label(text: str, is_dir: bool, style: Style) -> str:
    label = printable(text)
    return style.paint(label, _ANSI_BOLD_BLUE) if is_dir else label


def _entries(node: Node, top: int) -> deque[Node | tuple[int, int]]:
    """The children to show, largest first, then (count, size) of the folded rest."""
    children = node.children
    if top <= 0 or len(children) <= top:
        return deque(children)
    rest = children[top:]
    shown: deque[Node | tuple[int, int]] = deque(children[:top])
    shown.append((len(rest), sum(child.size for child in rest)))
    return shown


@dataclass
class Totals:
    """Counts over the whole tree, not only the part that was rendered."""

    files: int = 0
    directories: int = 0  # below the root
    by_category: dict[str, tuple[int, int]] = field(default_factory=dict)  # category -> (size, files)

    @classmethod
    def of(cls, root: Node) -> Totals:
        totals = cls()
        by_category: dict[str, list[int]] = {}
        stack = [root]
        while stack:
            node = stack.pop()
            if node.is_dir:
                if node is not root:
                    totals.directories += 1
                stack.extend(node.children)
                continue
            totals.files += 1
            category = node.category
            entry = by_category.get(category)
            if entry is None:
                by_category[category] = [node.size, 1]
            else:
                entry[0] += node.size
                entry[1] += 1
        # Largest first; equal sizes by name, so the output is stable.
        ordered = sorted(by_category.items(), key=lambda item: (-item[1][0], item[0]))
        totals.by_category = {name: (size, count) for name, (size, count) in ordered}
        return totals


def render_summary(
    root: Node,
    totals: Totals,
    issues: list[ScanIssue],
    seconds: float,
    list_issues: bool,
    write: Callable[[str], object],
) -> None:
    write("")
    write(f"total        {format_bytes(root.size)} ({root.size} bytes)")
    write(f"files        {totals.files}")
    write(f"directories  {totals.directories}")
    if totals.by_category:
        write("by category")
        for category, (size, count) in totals.by_category.items():
            noun = "file" if count == 1 else "files"
            write(f"  {category:<10}  {format_bytes(size):>10}  {share(size, root.size):5.1f}%  {count} {noun}")
    if not issues:
        write("issues       0")
    elif list_issues:
        write(f"issues       {len(issues)}")
        for line in issue_lines(issues):
            write("  " + line)
    else:
        write(f"issues       {len(issues)} (list them with --issues)")
    write(f"elapsed      {seconds:.2f} s")


def issue_lines(issues: Iterable[ScanIssue]) -> Iterable[str]:
    for issue in issues:
        yield f"{printable(issue.path)}: {printable(issue.message)}"
