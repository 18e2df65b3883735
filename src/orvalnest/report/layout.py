"""Which parts of the text report come in which order, and how much of it a
terminal's first screen holds. A pipe gets the whole report, trees first, as
scripts and `less` expect. A terminal gets the totals first; and unless the
user asked for more, only as much of the trees as the window holds, with one
line on how to see the rest, so that the largest entries are what stays on
screen rather than the tail of the tree."""

from __future__ import annotations

import dataclasses
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from itertools import islice

from orvalnest._engine import Entry, TreeIssue
from orvalnest.report.summary import detail_lines, fit, fit_first, issue_count_lines, total_lines
from orvalnest.report.text import SortedChildren, Style, TreeOptions, tree_lines
from orvalnest.view import Totals, printable

# Two levels with at least this many entries a folder, else one level with as
# many as fit: two levels of two or three entries tell less than one long list.
MIN_TOP_TWO_LEVELS = 5


@dataclass(frozen=True)
class Measured:
    """One PATH of the command line, measured."""

    label: str  # what the first line of its tree names
    root: Entry | None  # None: a file given as PATH
    disk_usage: int
    size: int  # apparent, as du -b counts it
    issues: Sequence[TreeIssue] = ()
    excluded: int = 0
    seconds: float = 0.0
    counted: bool = True  # False: inside another PATH, whose totals already hold it
    incomplete: bool = False  # its totals are lower bounds


@dataclass
class _Trees:
    """The trees of every PATH, as many times as fitting needs them: each
    folder's shown children are read once."""

    measured: Sequence[Measured]
    style: Style
    ordered: SortedChildren = dataclasses.field(default_factory=dict)

    def lines(self, options: TreeOptions) -> Iterator[str]:
        for number, item in enumerate(self.measured):
            if number:
                yield ""
            if item.root is None:
                size = item.size if options.apparent else item.disk_usage
                yield fit(f"{options.units.amount(size):>10}  {printable(item.label)}", self.style.width)
            else:
                label = item.label if item.label != item.root.path else None
                yield from tree_lines(item.root, options, self.style, label, self.ordered)


def _head(measured: Sequence[Measured], options: TreeOptions, width: int | None) -> list[str]:
    counted = [item for item in measured if item.counted]
    at_least = any(item.incomplete for item in counted)
    disk, size = sum(item.disk_usage for item in counted), sum(item.size for item in counted)
    return total_lines(disk, size, options.apparent, at_least, options.units, width)


def _details(measured: Sequence[Measured], options: TreeOptions, list_issues: bool, width: int | None) -> list[str]:
    counted = [item for item in measured if item.counted]
    totals = Totals.of((item.root for item in counted if item.root is not None), options.apparent)
    totals.files += sum(1 for item in counted if item.root is None)
    shown = sum(item.size if options.apparent else item.disk_usage for item in counted)
    issues = [issue for item in counted for issue in item.issues]
    excluded = sum(item.excluded for item in counted)
    seconds = sum(item.seconds for item in measured)
    return detail_lines(totals, shown, issues, excluded, seconds, options.units, list_issues, width)


def whole_report(
    measured: Sequence[Measured],
    options: TreeOptions,
    style: Style,
    list_issues: bool,
    total_first: bool,
    trees: _Trees | None = None,
) -> Iterator[str]:
    """Every line of the report, made as they are read."""
    head = _head(measured, options, style.width)
    lines = (trees or _Trees(measured, style)).lines(options)
    if total_first:
        yield from head
        yield ""
        yield from lines
        yield ""
    else:
        yield from lines
        yield ""
        yield from head
    yield from _details(measured, options, list_issues, style.width)


def first_screen(measured: Sequence[Measured], options: TreeOptions, style: Style, rows: int) -> list[str]:
    """The report in `rows` - 1 lines (the last row is the shell's prompt): the
    whole of it when it fits, else the totals, the trees with as many levels
    and entries as fit, and a line on how to see more."""
    room = max(rows - 1, 1)
    trees = _Trees(measured, style)
    whole = list(islice(whole_report(measured, options, style, False, True, trees), room + 1))
    if len(whole) <= room:
        return whole
    head = _head(measured, options, style.width)
    issues = [issue for item in measured if item.counted for issue in item.issues]
    if issues:
        head.append(issue_count_lines(issues, False, style.width)[0])
    head.append("")
    budget = room - len(head) - 2  # a blank line and the line on how to see more
    # One level: each tree's first line, the entries that fit and the line folding the rest.
    one_level = max((budget - 3 * len(measured) + 1) // len(measured), 1)
    candidates = [(2, top) for top in range(options.top, MIN_TOP_TWO_LEVELS - 1, -1)] + [(1, 0), (1, one_level)]
    for depth, top in candidates:
        shown = list(islice(trees.lines(dataclasses.replace(options, depth=depth, top=top)), budget + 1))
        if len(shown) <= budget:
            break
    else:
        depth, top = 0, 0
        shown = list(trees.lines(dataclasses.replace(options, depth=0)))
    return [*head, *shown, "", _more(depth, top, style.width)]


def _more(depth: int, top: int, width: int | None) -> str:
    shown = f"--depth {depth} --top {top}"
    return fit_first(
        [
            f"fitted to the window ({shown}); more: --depth N --top N, or pipe into less",
            f"fitted to the window ({shown}); more: --depth N --top N, or | less",
            f"fitted ({shown}); more: --depth N --top N, or | less",
            "more: --depth N --top N, or | less",
            "more: --help",
        ],
        width,
    )
