"""One listed entry as one line of text: mark, marker, size, share of the
folder, a bar, items below, modification time, category and the name, escaped.

The name comes last so that wide characters in it can never push another
column out of line; it is cut to the screen by cells, not by characters. On a
narrow screen the columns give way before the name does, the bar and the
share first, as gdu drops them; the column the listing is sorted by stays."""

from __future__ import annotations

import time

from rich.text import Text

from orvalnest._engine import Entry
from orvalnest.browse.session import Session
from orvalnest.report.text import blocks
from orvalnest.view import (
    marker_of,
    printable,
    share,
    shorten_middle,
)

BAR_CELLS = 10
MARKED = "*"
MARK_FAILED = "x"

DIRECTORY_STYLE = "bold"
MARKED_STYLE = "yellow"
FAILED_STYLE = "red"

# Columns that may be left out, in the order they go, with the cells each takes.
# The change since an older scan is there only when one was given.
_OPTIONAL = {"bar": BAR_CELLS + 1, "share": 7, "mtime": 11, "category": 11, "items": 9, "change": 10}
_SORTED_COLUMN = {"count": "items", "mtime": "mtime", "change": "change"}
_ALWAYS = 13  # mark, marker, a space, the size and a space
NAME_ROOM = 24  # cells a name keeps before the columns give way


def crumb(session: Session, width: int | None = None) -> Text:
    """The folder on screen and its size, "at least" when something below it
    was not counted. The size stays in sight: a long path gives up its middle."""
    folder = session.folder
    bound = "at least " if session.overlay.incomplete(folder) else ""
    size = f"  {bound}{session.size_text(session.size_of(folder))}"
    path = printable(folder.path)
    text = Text(shorten_middle(path, width - len(size)) if width else path, no_wrap=True, overflow="ellipsis")
    text.append(size, style="not bold")
    return text


def columns(width: int | None, keep: str | None = None, change: bool = False) -> frozenset[str]:
    """The optional columns that fit beside a name of NAME_ROOM cells; all of
    them when the width is not known. `keep` stays whatever the width."""
    shown = {column: cells for column, cells in _OPTIONAL.items() if change or column != "change"}
    for column in _OPTIONAL:
        if width is None or width - _ALWAYS - sum(shown.values()) >= NAME_ROOM:
            break
        if column != keep and column in shown:
            del shown[column]
    return frozenset(shown)


def _columns(session: Session, width: int | None) -> frozenset[str]:
    return columns(width, _SORTED_COLUMN.get(session.sort_key), session.comparison is not None)


def header(session: Session, width: int | None = None) -> Text:
    arrow = "↓" if session.descending else "↑"
    titles = {"size": f"{'size':>9}", "count": f"{'items':>8}", "mtime": "modified", "change": f"{'change':>9}"}
    titles["name"] = "name"
    titles[session.sort_key] = titles[session.sort_key].strip() + arrow
    shown = _columns(session, width)
    line = f"   {titles['size']:>9} "
    line += f"{'share':>6} " if "share" in shown else ""
    line += f"{'':{BAR_CELLS}} " if "bar" in shown else ""
    line += f"{titles['count']:>8} " if "items" in shown else ""
    line += f"{titles['mtime']:<10} " if "mtime" in shown else ""
    line += f"{'category':<10} " if "category" in shown else ""
    line += f"{titles['change']:>9} " if "change" in shown else ""
    return Text(line + titles["name"], style="dim", no_wrap=True)


def day(seconds: int) -> str:
    """A modification time as the listing shows it: the local date."""
    return time.strftime("%Y-%m-%d", time.localtime(seconds))


def change(session: Session, entry: Entry) -> str:
    """Growth since the compared scan, signed; "new" for what it did not have,
    nothing for an entry of a rescan, which it cannot be compared with."""
    comparison = session.comparison
    if comparison is None or entry.tree is not comparison.new:
        return ""
    delta = session.change_of(entry)
    if delta is None:
        return "new"
    return "=" if delta == 0 else ("+" if delta > 0 else "-") + session.size_text(abs(delta))


def row(session: Session, entry: Entry, folder_size: int, width: int | None = None) -> Text:
    overlay = session.overlay
    size = session.size_of(entry)
    mark = session.marks.get(entry)
    flag = " " if mark is None else MARK_FAILED if mark.failure else MARKED
    is_dir = entry.is_dir
    percent = share(size, folder_size)
    shown = _columns(session, width)
    line = f"{flag}{marker_of(entry)} {session.size_text(size):>9} "
    line += f"{percent:5.1f}% " if "share" in shown else ""
    line += f"{blocks(percent / 100, BAR_CELLS)} " if "bar" in shown else ""
    if "items" in shown:
        line += f"{overlay.entries_below(entry):>8} " if is_dir else " " * 9
    line += f"{day(overlay.newest_mtime(entry)):<10} " if "mtime" in shown else ""
    line += f"{entry.category:<10} " if "category" in shown else ""
    line += f"{change(session, entry):>9} " if "change" in shown else ""
    text = Text(line, no_wrap=True)
    suffix = "/" if is_dir and not entry.is_symlink else ""
    text.append(printable(entry.name) + suffix, DIRECTORY_STYLE if is_dir else "")
    if mark is not None:
        text.stylize(FAILED_STYLE if mark.failure else MARKED_STYLE)
    return text
