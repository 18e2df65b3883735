"""The listing of the folder on screen, one line per entry, with a cursor.

Lines are made when the terminal shows them (Textual's line API): a folder of
100,000 entries costs one sort and a screenful of formatting, not 100,000
widgets or table rows."""

from __future__ import annotations

from rich.style import Style
from textual import events
from textual.geometry import Size
from textual.message import Message
from textual.scroll_view import ScrollView
from textual.strip import Strip

from orvalnest._engine import Entry
from orvalnest.browse.rows import row
from orvalnest.browse.session import Session

_CURSOR = Style(reverse=True)


class EntryList(ScrollView, can_focus=True):
    DEFAULT_CSS = """
    EntryList { height: 1fr; overflow-x: hidden; }
    """

    class Opened(Message):
        """A click on the entry under the cursor: open it, as Enter does."""

    def __init__(self, session: Session, *, id: str | None = None) -> None:
        super().__init__(id=id)
        self.session = session
        self.cursor = 0

    # --- what is listed ------------------------------------------------

    def reload(self, select: Entry | None = None) -> None:
        """Lists the session's folder again, keeping the cursor on `select`
        when it is still there, else on the same line."""
        entries = self.session.entries()
        if select is not None:
            # By name: a folder scanned again lists new entries of the same names.
            name = select.name_bytes
            found = next((i for i, entry in enumerate(entries) if entry.name_bytes == name), None)
            self.cursor = found if found is not None else 0
        self.cursor = max(0, min(self.cursor, len(entries) - 1))
        self.virtual_size = Size(self.size.width, len(entries))
        self._show_cursor()
        self.refresh()

    def current(self) -> Entry | None:
        entries = self.session.entries()
        return entries[min(self.cursor, len(entries) - 1)] if entries else None

    # --- moving the cursor ---------------------------------------------

    def move(self, delta: int) -> None:
        self.go(self.cursor + delta)

    def page(self, pages: int) -> None:
        self.move(pages * max(self.scrollable_content_region.height - 1, 1))

    def go(self, index: int) -> None:
        count = len(self.session.entries())
        self.cursor = max(0, min(index, count - 1))
        self._show_cursor()
        self.refresh()

    def _show_cursor(self) -> None:
        height = self.scrollable_content_region.height
        top = round(self.scroll_offset.y)
        if self.cursor < top:
            self.scroll_to(y=self.cursor, animate=False, immediate=True)
        elif height and self.cursor >= top + height:
            self.scroll_to(y=self.cursor - height + 1, animate=False, immediate=True)

    def on_click(self, event: events.Click) -> None:
        offset = event.get_content_offset(self)
        if offset is None:
            return
        index = offset.y + round(self.scroll_offset.y)
        if index >= len(self.session.entries()):
            return
        if index == self.cursor:
            self.post_message(self.Opened())
        else:
            self.go(index)

    def on_resize(self, event: events.Resize) -> None:
        self.virtual_size = Size(event.size.width, len(self.session.entries()))
        self._show_cursor()

    # --- drawing -------------------------------------------------------

    def render_line(self, y: int) -> Strip:
        width = self.size.width
        index = y + round(self.scroll_offset.y)
        entries = self.session.entries()
        if index >= len(entries):
            return Strip.blank(width)
        session = self.session
        text = row(session, entries[index], session.size_of(session.folder), width)
        if index == self.cursor:
            text.stylize(_CURSOR)
        strip = Strip(text.render(self.app.console), text.cell_len)
        if index == self.cursor:
            return strip.adjust_cell_length(width, _CURSOR)
        return strip.adjust_cell_length(width)
