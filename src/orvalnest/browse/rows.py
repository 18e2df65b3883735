"""One listed entry as one line of text: mark, marker, size, share of the
folder, a bar, items below, category and the name, escaped.

The name comes last so that wide characters in it can never push another
column out of line; it is cut to the screen by cells, not by characters."""

from __future__ import annotations

from rich.text import Text

from orvalnest._native import Node
from orvalnest.browse.session import Session
from orvalnest.report.text import blocks
from orvalnest.view import lower_bound, printable, share

BAR_CELLS = 10
MARKED = "*"
MARK_FAILED = "x"

DIRECTORY_STYLE = "bold"
MARKED_STYLE = "yellow"
FAILED_STYLE = "red"


def crumb(session: Session) -> Text:
    """The folder on screen and its size, "at least" when something below it was not counted."""
    folder = session.folder
    text = Text(no_wrap=True, overflow="ellipsis")
    text.append(printable(folder.path))
    bound = "at least " if lower_bound(session.issues, folder.path) else ""
    text.append(f"  {bound}{session.size_text(session.size_of(folder))}", style="not bold")
    return text


def header(session: Session) -> Text:
    arrow = "↓" if session.descending else "↑"
    titles = {"size": f"{'size':>9}", "count": f"{'items':>8}", "name": "name"}
    titles[session.sort_key] = titles[session.sort_key].strip() + arrow
    return Text(
        f"   {titles['size']:>9} {'share':>6} {'':{BAR_CELLS}} {titles['count']:>8} {'category':<10} {titles['name']}",
        style="dim",
        no_wrap=True,
    )


def row(session: Session, node: Node, folder_size: int) -> Text:
    size = session.size_of(node)
    mark = session.marks.get(node.path)
    flag = " " if mark is None else MARK_FAILED if mark.failure else MARKED
    is_dir = node.is_dir
    items = f"{session.entries_below(node):>8}" if is_dir else " " * 8
    percent = share(size, folder_size)
    text = Text(no_wrap=True)
    text.append(
        f"{flag}{session.issues.marker(node)} {session.size_text(size):>9} {percent:5.1f}% "
        f"{blocks(percent / 100, BAR_CELLS)} {items} {node.category:<10} "
    )
    suffix = "/" if is_dir and not node.is_symlink else ""
    text.append(printable(node.name) + suffix, DIRECTORY_STYLE if is_dir else "")
    if mark is not None:
        text.stylize(FAILED_STYLE if mark.failure else MARKED_STYLE)
    return text
